#include "XEmbedTray.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include <cstdlib>
#include <string>
#include <string_view>

#include <xcb/xcb.h>

namespace corvane {
namespace {

constexpr std::string_view kManager = "MANAGER";

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

} // namespace

std::unique_ptr<XEmbedTray> XEmbedTray::create()
{
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    char* host = nullptr;
    int display = 0;
    int screen = 0;
    if (!connection || !xcb_parse_display(nullptr, &host, &display, &screen))
        return nullptr;
    std::free(host);

    // The tray of screen N owns the selection _NET_SYSTEM_TRAY_SN and, when it
    // starts, announces that with a MANAGER message to the root window.
    const std::string selection = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    const xcb_intern_atom_cookie_t managerCookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(kManager.size()), kManager.data());
    const xcb_intern_atom_cookie_t selectionCookie =
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(selection.size()), selection.c_str());
    const std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> manager(
        xcb_intern_atom_reply(connection, managerCookie, nullptr));
    const std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> tray(
        xcb_intern_atom_reply(connection, selectionCookie, nullptr));
    if (!manager || !tray)
        return nullptr;
    return std::unique_ptr<XEmbedTray>(new XEmbedTray(connection, manager->atom, tray->atom));
}

XEmbedTray::XEmbedTray(xcb_connection_t* connection, std::uint32_t managerAtom, std::uint32_t selectionAtom)
    : m_connection(connection)
    , m_managerAtom(managerAtom)
    , m_selectionAtom(selectionAtom)
{
    QCoreApplication::instance()->installNativeEventFilter(this);
    present();
}

XEmbedTray::~XEmbedTray()
{
    QCoreApplication::instance()->removeNativeEventFilter(this);
}

bool XEmbedTray::present()
{
    const std::unique_ptr<xcb_get_selection_owner_reply_t, FreeDeleter> owner(
        xcb_get_selection_owner_reply(m_connection, xcb_get_selection_owner(m_connection, m_selectionAtom), nullptr));
    if (!owner || owner->owner == XCB_NONE)
        return false;
    watch(owner->owner);
    return true;
}

void XEmbedTray::watch(std::uint32_t window)
{
    if (window == m_tray)
        return;
    m_tray = window;
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    // Checked, so that a window already gone is no error for Qt to print.
    xcb_discard_reply(
        m_connection, xcb_change_window_attributes_checked(m_connection, window, XCB_CW_EVENT_MASK, &mask).sequence);
    xcb_flush(m_connection);
}

bool XEmbedTray::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) == XCB_DESTROY_NOTIFY) {
        if (m_tray != 0 && static_cast<const xcb_destroy_notify_event_t*>(message)->window == m_tray) {
            m_tray = 0;
            emit ended();
        }
        return false;
    }
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto* client = static_cast<const xcb_client_message_event_t*>(message);
    if (client->type == m_managerAtom && client->format == 32 && client->data.data32[1] == m_selectionAtom) {
        watch(client->data.data32[2]);
        emit appeared();
    }
    return false;
}

} // namespace corvane
