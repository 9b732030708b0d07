#include "CorvaneDesktopAgent.h"

#include "BackgroundNotice.h"
#include "StatusWindow.h"
#include "TrayItem.h"
#include "shell/LoginItem.h"
#include "shell/StatusCheck.h"
#include "shell/StatusSummary.h"

#include <QCoreApplication>

namespace corvane {

CorvaneDesktopAgent::CorvaneDesktopAgent(QObject* parent)
    : QObject(parent)
    , m_local(std::make_unique<LocalReports>(ReportServices::createDefault(), LocalReports::Signer::session))
    , m_policy(std::make_unique<policy::PolicyFile>(policy::policyPath(), policy::PolicyFile::Reload::whenChanged))
    , m_reports(std::make_unique<SignerRelay>(*m_local, SignerClient::defaultSocket()))
    , m_bridge(std::make_unique<CorvaneBridge>(*m_reports))
    , m_scanner(std::make_unique<WifiScanner>())
    , m_summary(std::make_unique<StatusSummary>(*m_bridge, *m_local, *m_reports))
{
    // Without the system signer, the session applies the administrator's policy itself (with it, the
    // signer does, and the session only when the signer cannot answer).
    m_local->setPolicy(m_policy->policy());
    connect(m_policy.get(), &policy::PolicyFile::changed, this, [this] { m_local->setPolicy(m_policy->policy()); });
    m_bridge->start();
    m_scanner->requestAuthorization();
    LoginItem::forCurrentUser().registerAtLogin();

    m_tray = std::make_unique<TrayItem>();
    connect(m_tray.get(), &TrayItem::checkStatusTriggered, this, &CorvaneDesktopAgent::checkStatus);
    connect(m_tray.get(), &TrayItem::quitTriggered, qApp, [] { QCoreApplication::exit(0); });
    showReachability();
    connect(m_bridge.get(), &CorvaneBridge::reachabilityChanged, this, &CorvaneDesktopAgent::showReachability);

    // Where no tray shows the icon, the person learns once where the agent is.
    m_notice = std::make_unique<BackgroundNotice>();
    connect(m_tray.get(), &TrayItem::missing, m_notice.get(), &BackgroundNotice::send);
    connect(m_notice.get(), &BackgroundNotice::clicked, this, &CorvaneDesktopAgent::checkStatus);
}

CorvaneDesktopAgent::~CorvaneDesktopAgent() = default;

void CorvaneDesktopAgent::checkStatus()
{
    std::vector<std::string> diagnostic = corvane::checkStatus(*m_scanner);
    m_summary->gather([this, diagnostic = std::move(diagnostic)](std::vector<std::string> lines) {
        lines.emplace_back();
        lines.insert(lines.end(), diagnostic.begin(), diagnostic.end());
        if (!m_statusWindow) {
            m_statusWindow = std::make_unique<StatusWindow>();
            connect(m_statusWindow.get(), &StatusWindow::quitRequested, qApp, [] { QCoreApplication::exit(0); });
        }
        m_statusWindow->showLines(lines);
    });
}

void CorvaneDesktopAgent::showReachability()
{
    // Only a problem is worth the tooltip's second line.
    QString toolTip = tr("Corvane Compliance");
    if (const Reachability& reachability = m_bridge->reachability(); !reachability.serving())
        toolTip += QLatin1Char('\n') + QString::fromStdString(StatusSummary::reachabilityLine(reachability));
    m_tray->setToolTip(toolTip);
}

} // namespace corvane
