#pragma once

#include "bridge/CorvaneBridge.h"
#include "policy/PolicyFile.h"
#include "report/LocalReports.h"
#include "report/SignerRelay.h"
#include "wifi/WifiScanner.h"

#include <QObject>

#include <memory>

namespace corvane {

class BackgroundNotice;
class StatusSummary;
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

    // "Check Status...": the diagnostic on standard output, and the status
    // window with the summary above it.
    void checkStatus();

private:
    void showReachability();

    std::unique_ptr<LocalReports> m_local;
    std::unique_ptr<policy::PolicyFile> m_policy;
    std::unique_ptr<SignerRelay> m_reports;
    std::unique_ptr<CorvaneBridge> m_bridge;
    std::unique_ptr<WifiScanner> m_scanner;
    std::unique_ptr<StatusSummary> m_summary;
    std::unique_ptr<TrayItem> m_tray;
    std::unique_ptr<BackgroundNotice> m_notice;
    std::unique_ptr<StatusWindow> m_statusWindow;
};

} // namespace corvane
