#include "platform.h"

#include <xcb/xcb.h>

#include <cstdlib>

namespace Platform {

bool windowSystemBlendsTranslucency(const QString &windowSystem) {
    if (!windowSystem.startsWith(QLatin1String("xcb")))
        return true;

    // A connection of our own: the question is about the display, not about our windows.
    int screen = 0;
    xcb_connection_t *connection = xcb_connect(nullptr, &screen);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        // Unknown: the opaque look is the one that is readable everywhere.
        return false;
    }
    const QByteArray selection = "_NET_WM_CM_S" + QByteArray::number(screen);
    // Only an existing atom: a name no compositor ever registered means none runs.
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 1, selection.size(), selection.constData()), nullptr);
    bool owned = false;
    if (atom && atom->atom != XCB_ATOM_NONE) {
        xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
            connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
        owned = owner && owner->owner != XCB_WINDOW_NONE;
        std::free(owner);
    }
    std::free(atom);
    xcb_disconnect(connection);
    return owned;
}

} // namespace Platform
