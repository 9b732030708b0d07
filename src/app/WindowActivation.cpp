#include "WindowActivation.h"

#include "xdg-activation-v1-client-protocol.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>
#include <qpa/qplatformnativeinterface.h>

#include <wayland-client.h>

#include <cstdlib>
#include <cstring>
#include <utility>

namespace corvane {
namespace {

constexpr const char* kTokenVariable = "XDG_ACTIVATION_TOKEN";

// The compositor's xdg-activation, learnt on a queue of the agent's own: Qt's
// connection reads the registry's answer as it comes, and it is taken in when
// a window shows. Kept to the end of the process, like Qt's connection.
struct Wayland {
    wl_display* display = nullptr;
    wl_event_queue* queue = nullptr;
    wl_registry* registry = nullptr;
    xdg_activation_v1* activation = nullptr;
};

Wayland s_wayland;
QByteArray s_token;

void announced(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t /*version*/)
{
    auto* wayland = static_cast<Wayland*>(data);
    if (!wayland->activation && std::strcmp(interface, xdg_activation_v1_interface.name) == 0)
        wayland->activation =
            static_cast<xdg_activation_v1*>(wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
}

void withdrawn(void* /*data*/, wl_registry* /*registry*/, uint32_t /*name*/)
{
}

const wl_registry_listener kRegistryListener{announced, withdrawn};

} // namespace

QByteArray WindowActivation::takeLaunchToken()
{
    const char* value = std::getenv(kTokenVariable);
    QByteArray token(value ? value : "");
    ::setenv(kTokenVariable, "", 1);
    return token;
}

void WindowActivation::prepare()
{
    QPlatformNativeInterface* native = QGuiApplication::platformNativeInterface();
    if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland")) || !native)
        return;
    auto* display = static_cast<wl_display*>(native->nativeResourceForIntegration("wl_display"));
    if (!display)
        return;
    s_wayland.display = display;
    s_wayland.queue = wl_display_create_queue(display);
    auto* onQueue = static_cast<wl_display*>(wl_proxy_create_wrapper(display));
    wl_proxy_set_queue(reinterpret_cast<wl_proxy*>(onQueue), s_wayland.queue);
    s_wayland.registry = wl_display_get_registry(onQueue);
    wl_proxy_wrapper_destroy(onQueue);
    wl_registry_add_listener(s_wayland.registry, &kRegistryListener, &s_wayland);
    wl_display_flush(display);
}

void WindowActivation::handOver(const QByteArray& token)
{
    s_token = token;
}

void WindowActivation::activate(QWidget& window)
{
    window.raise();
    QByteArray token = std::exchange(s_token, QByteArray());
    if (!s_wayland.display) {
        window.activateWindow();
        return;
    }
    // Without a launcher's, the one a panel gave Qt's tray item, read only.
    if (token.isEmpty())
        token = qgetenv(kTokenVariable);
    wl_display_dispatch_queue_pending(s_wayland.display, s_wayland.queue);
    auto* surface = static_cast<wl_surface*>(
        QGuiApplication::platformNativeInterface()->nativeResourceForWindow("surface", window.windowHandle()));
    if (s_wayland.activation && surface && !token.isEmpty()) {
        xdg_activation_v1_activate(s_wayland.activation, token.constData(), surface);
        wl_display_flush(s_wayland.display);
    }
}

} // namespace corvane
