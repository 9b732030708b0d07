#pragma once

#include "bridge/CorvaneBridge.h"
#include "wifi/WifiScanner.h"

#include <QObject>

#include <memory>

namespace corvane {

class StatusWindow;
class TrayItem;

// The one application object: the bridge, the agent's own scanner, the
// login item, the tray item and the one status window, all alive until the
// process ends.
class CorvaneDesktopAgent final : public QObject {
    Q_OBJECT

public:
    explicit CorvaneDesktopAgent(QObject* parent = nullptr);
    ~CorvaneDesktopAgent() override;

private:
    void checkStatus();

    std::unique_ptr<CorvaneBridge> m_bridge;
    std::unique_ptr<WifiScanner> m_scanner;
    std::unique_ptr<TrayItem> m_tray;
    std::unique_ptr<StatusWindow> m_statusWindow;
};

} // namespace corvane
