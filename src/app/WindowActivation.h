#pragma once

#include <QByteArray>

class QWidget;

namespace corvane {

// How a window that shows on request takes the focus. On Wayland the
// compositor grants it only with the launcher's token (xdg-activation). Qt
// 6.4 takes that token from the environment alone, and unsets it there, while
// other threads (OpenSSL's tpm2 provider, the TSS libraries) may be reading
// the environment; so on Wayland the agent hands the token to the compositor
// itself and never asks Qt to activate a window. Elsewhere Qt activates.
class WindowActivation {
public:
    // In main, while it is the only thread: the token the launcher gave this
    // process, out of Qt's reach. The variable stays, empty, so that Qt's tray
    // item, which writes there the token a panel sends, replaces it in place
    // instead of growing the environment under a reader.
    static QByteArray takeLaunchToken();

    // On Wayland, begins learning the compositor's xdg-activation, without
    // waiting for it. Once the application exists.
    static void prepare();

    // The token for the next window that shows.
    static void handOver(const QByteArray& token);

    // Raises the shown window and asks for the focus.
    static void activate(QWidget& window);
};

} // namespace corvane
