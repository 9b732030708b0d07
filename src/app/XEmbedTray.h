#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <memory>

struct xcb_connection_t;

namespace corvane {

// The XEmbed system tray of the X screen (trayer, i3bar, older panels): is
// one running, and when does one start. Asked here rather than through
// QSystemTrayIcon::isSystemTrayAvailable(), which would make Qt settle its
// choice between D-Bus and XEmbed on the spot.
class XEmbedTray final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    // None unless the application runs on X11.
    static std::unique_ptr<XEmbedTray> create();
    ~XEmbedTray() override;

    bool present() const;
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    void appeared();

private:
    XEmbedTray(xcb_connection_t* connection, std::uint32_t managerAtom, std::uint32_t selectionAtom);

    xcb_connection_t* m_connection;
    std::uint32_t m_managerAtom;
    std::uint32_t m_selectionAtom;
};

} // namespace corvane
