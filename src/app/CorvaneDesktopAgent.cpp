#include "CorvaneDesktopAgent.h"

#include "StatusWindow.h"
#include "TrayItem.h"
#include "shell/LoginItem.h"
#include "shell/StatusCheck.h"

#include <QCoreApplication>

namespace corvane {

CorvaneDesktopAgent::CorvaneDesktopAgent(QObject* parent)
    : QObject(parent)
    , m_bridge(std::make_unique<CorvaneBridge>())
    , m_scanner(std::make_unique<WifiScanner>())
{
    m_bridge->start();
    m_scanner->requestAuthorization();
    LoginItem::forCurrentUser().registerAtLogin();

    m_tray = std::make_unique<TrayItem>();
    connect(m_tray.get(), &TrayItem::checkStatusTriggered, this, &CorvaneDesktopAgent::checkStatus);
    connect(m_tray.get(), &TrayItem::quitTriggered, qApp, [] { QCoreApplication::exit(0); });
}

CorvaneDesktopAgent::~CorvaneDesktopAgent() = default;

void CorvaneDesktopAgent::checkStatus()
{
    const std::vector<std::string> lines = corvane::checkStatus(*m_scanner);
    if (!m_statusWindow)
        m_statusWindow = std::make_unique<StatusWindow>();
    m_statusWindow->showLines(lines);
}

} // namespace corvane
