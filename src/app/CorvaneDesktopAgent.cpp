#include "CorvaneDesktopAgent.h"

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
    connect(m_tray.get(), &TrayItem::checkStatusTriggered, this, [this] { checkStatus(*m_scanner); });
    connect(m_tray.get(), &TrayItem::quitTriggered, qApp, [] { QCoreApplication::exit(0); });
}

CorvaneDesktopAgent::~CorvaneDesktopAgent() = default;

} // namespace corvane
