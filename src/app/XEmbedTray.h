#pragma once

#include <QAbstractNativeEventFilter>
#include <QObject>

#include <cstdint>
#include <memory>

struct xcb_connection_t;

namespace corvane {

// The XEmbed system tray of the X screen (trayer, i3bar, older panels): is
// one running, when does one start and when does it end. Asked here rather than through
// QSystemTrayIcon::isSystemTrayAvailable(), which would make Qt settle its
// choice between D-Bus and XEmbed on the spot.
class XEmbedTray final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT

public:
    // None unless the application runs on X11.
    static std::unique_ptr<XEmbedTray> create();
    ~XEmbedTray() override;

    // Also watches the running tray, to tell when it ends.
    bool present();
    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    void appeared();
    void ended();

private:
    XEmbedTray(xcb_connection_t* connection, std::uint32_t managerAtom, std::uint32_t selectionAtom);

    // Asks the X server to tell when the tray's window is destroyed.
    void watch(std::uint32_t window);

    xcb_connection_t* m_connection;
    std::uint32_t m_managerAtom;
    std::uint32_t m_selectionAtom;
    std::uint32_t m_tray = 0; // the window of the tray being watched
};

} // namespace corvane
