// An X11 application for the listing tests: one top-level window with its
// own PID in _NET_WM_PID (or, with --no-pid, without the property, as some
// programs make them), mapped (or, with --unmapped, never mapped). Prints
// "ready" on standard output once the window exists, then runs until it is
// killed.
#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  bool mapped = true;
  bool with_pid = true;
  for (int i = 1; i < argc; ++i) {
    mapped = mapped && std::strcmp(argv[i], "--unmapped") != 0;
    with_pid = with_pid && std::strcmp(argv[i], "--no-pid") != 0;
  }
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection) != 0) {
    std::fprintf(stderr, "x11-window-helper: no display\n");
    return 1;
  }
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection)).data;
  const xcb_window_t window = xcb_generate_id(connection);
  xcb_create_window(connection, XCB_COPY_FROM_PARENT, window, screen->root, 10, 10, 200, 100, 1,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, 0, nullptr);
  if (with_pid) {
    const char* name = "_NET_WM_PID";
    xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
        connection,
        xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(std::strlen(name)), name),
        nullptr);
    const std::uint32_t pid = static_cast<std::uint32_t>(getpid());
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, atom->atom, XCB_ATOM_CARDINAL,
                        32, 1, &pid);
    free(atom);
  }
  const std::string title = "audio host test window";
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING,
                      8, static_cast<std::uint32_t>(title.size()), title.data());
  if (mapped) {
    xcb_map_window(connection, window);
  }
  // A round trip: the server has done all of the above.
  free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  std::printf("ready\n");
  std::fflush(stdout);
  while (xcb_generic_event_t* event = xcb_wait_for_event(connection)) {
    free(event);
  }
  xcb_disconnect(connection);
  return 0;
}
