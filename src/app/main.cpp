#include "ApplicationService.h"
#include "CorvaneDesktopAgent.h"
#include "SessionBus.h"
#include "WindowActivation.h"
#include "io/FileIo.h"
#include "io/SignalWatcher.h"

#include <QApplication>

#include <csignal>
#include <cstdlib>
#include <memory>

namespace {

// With no display at all (a headless session) the agent must still serve, so
// Qt may fall back to drawing nowhere instead of aborting. Wayland is asked
// for only where there is a compositor: Qt warns about every platform it
// cannot load, and on X11 the Wayland plugin may not even be installed.
void allowHeadlessStart()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "wayland;xcb;offscreen");
    else if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
    else
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

// SIGTERM, SIGINT and SIGHUP (a session ending, Ctrl+C, a closed terminal)
// end the event loop normally, with status 0, instead of killing the process
// mid-answer.
constexpr std::initializer_list<int> kTermination = {SIGTERM, SIGINT, SIGHUP};

} // namespace

int main(int argc, char* argv[])
{
    corvane::SignalWatcher::block(kTermination);
    const QByteArray launchToken = corvane::WindowActivation::takeLaunchToken();
    std::signal(SIGPIPE, SIG_IGN); // a log reader that went away must not end the agent
    allowHeadlessStart();
    corvane::io::raiseDescriptorLimit();
    // The TPM's software stack writes its own diagnostics to standard error;
    // the agent says in one line of its own why a TPM is not used.
    ::setenv("TSS2_LOG", "all+NONE", 0);
    // Before the application, whose platform theme may connect to the bus.
    const corvane::SessionBus::Answer busAnswer = corvane::SessionBus::ask();

    QApplication app(argc, argv);
    // The panel shows the application name as the tray item's title.
    QApplication::setApplicationName(QStringLiteral("Corvane Compliance"));
    QApplication::setDesktopFileName(corvane::ApplicationService::name());
    QApplication::setQuitOnLastWindowClosed(false);
    corvane::WindowActivation::prepare();

    // Watched before Qt touches the bus, whose daemon may never answer.
    corvane::SignalWatcher termination(kTermination, [](int) { QCoreApplication::exit(0); });
    corvane::SessionBus bus(busAnswer);
    corvane::ApplicationService service(bus);
    std::unique_ptr<corvane::CorvaneDesktopAgent> agent;
    // One agent per session, settled before a port is opened or an icon shown.
    QObject::connect(&service, &corvane::ApplicationService::settled, [&](corvane::ApplicationService::Claim claim) {
        if (claim == corvane::ApplicationService::Claim::running) {
            service.activateRunning(launchToken);
            return;
        }
        agent = std::make_unique<corvane::CorvaneDesktopAgent>();
        // Queued: the launcher has its answer before the window is made.
        QObject::connect(
            &service, &corvane::ApplicationService::activated, agent.get(),
            [&agent](const QByteArray& token) {
                corvane::WindowActivation::handOver(token);
                agent->checkStatus();
            },
            Qt::QueuedConnection);
    });
    service.claim();
    return QApplication::exec();
}
