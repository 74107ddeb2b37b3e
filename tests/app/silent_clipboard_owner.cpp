// A clipboard owner that never answers: it takes the X clipboard (the
// CLIPBOARD selection) on the display named by DISPLAY, says "owning" on
// standard output, then says "request" for every program that asks for the
// clipboard's content, with the monotonic clock's microseconds when the
// question came, and leaves each one waiting. It ends when it loses the
// clipboard ("lost"), when the display goes, or when it is killed.

#include <xcb/xcb.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};

xcb_atom_t Atom(xcb_connection_t* connection, const char* name)
{
    const std::unique_ptr<xcb_intern_atom_reply_t, FreeDeleter> reply(xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply == nullptr ? xcb_atom_t{XCB_ATOM_NONE} : reply->atom;
}

}  // namespace

int main()
{
    xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection) != 0) {
        std::fprintf(stderr, "silent_clipboard_owner: cannot open the display\n");
        return 1;
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
    const xcb_window_t window = xcb_generate_id(connection);
    xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    const xcb_atom_t clipboard = Atom(connection, "CLIPBOARD");
    xcb_set_selection_owner(connection, window, clipboard, XCB_CURRENT_TIME);
    const std::unique_ptr<xcb_get_selection_owner_reply_t, FreeDeleter> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, clipboard), nullptr));
    if (owner == nullptr || owner->owner != window) {
        std::fprintf(stderr, "silent_clipboard_owner: did not get the clipboard\n");
        return 1;
    }
    std::printf("owning\n");
    std::fflush(stdout);

    while (xcb_generic_event_t* raw = xcb_wait_for_event(connection)) {
        const std::unique_ptr<xcb_generic_event_t, FreeDeleter> event(raw);
        switch (event->response_type & 0x7f) {
        case XCB_SELECTION_REQUEST:
            std::printf("request %lld\n",
                        static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                                   std::chrono::steady_clock::now().time_since_epoch())
                                                   .count()));
            std::fflush(stdout);
            break;
        case XCB_SELECTION_CLEAR:
            std::printf("lost\n");
            std::fflush(stdout);
            xcb_disconnect(connection);
            return 0;
        default:
            break;
        }
    }
    xcb_disconnect(connection);
    return 0;
}
