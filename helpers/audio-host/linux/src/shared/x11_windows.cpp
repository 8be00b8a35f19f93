#include "shared/x11_windows.h"

#include <xcb/res.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "shared/owners.h"

namespace audio_host::linux_host {
namespace {

void free_reply(void* reply) {
  std::free(reply);
}
template <class T>
using Reply = UniquePointer<T, &free_reply>;

xcb_atom_t intern_atom(xcb_connection_t* connection, const char* name) {
  const xcb_intern_atom_cookie_t cookie =
      xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(std::strlen(name)), name);
  Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(connection, cookie, nullptr));
  return reply ? reply.get()->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// The 32-bit values of a property of type `type`; empty when unset.
std::vector<std::uint32_t> cardinal_values(xcb_connection_t* connection, xcb_window_t window,
                                           xcb_atom_t property, xcb_atom_t type,
                                           std::uint32_t max_values) {
  std::vector<std::uint32_t> values;
  if (property == XCB_ATOM_NONE) {
    return values;
  }
  const xcb_get_property_cookie_t cookie =
      xcb_get_property(connection, 0, window, property, type, 0, max_values);
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection, cookie, nullptr));
  if (!reply || reply.get()->format != 32) {
    return values;
  }
  const int count = xcb_get_property_value_length(reply.get()) / 4;
  const auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get()));
  values.assign(data, data + count);
  return values;
}

// The PID of the client that created `window`, as the X server knows it
// from the connection (the X-Resource extension); nullopt when the server
// cannot tell (a remote client, no extension).
std::optional<std::uint32_t> server_known_pid(xcb_connection_t* connection,
                                              xcb_res_query_client_ids_cookie_t cookie) {
  Reply<xcb_res_query_client_ids_reply_t> reply(
      xcb_res_query_client_ids_reply(connection, cookie, nullptr));
  if (!reply) {
    return std::nullopt;
  }
  // The question asks for the local PID only, so every value the server
  // returns is one: a single 32-bit number.
  for (auto ids = xcb_res_query_client_ids_ids_iterator(reply.get()); ids.rem > 0;
       xcb_res_client_id_value_next(&ids)) {
    if (xcb_res_client_id_value_value_length(ids.data) == 1) {
      const std::uint32_t pid = *xcb_res_client_id_value_value(ids.data);
      if (pid != 0) {
        return pid;
      }
    }
  }
  return std::nullopt;
}

}  // namespace

std::set<std::uint32_t> window_process_ids() {
  std::set<std::uint32_t> pids;
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') {
    return pids;
  }
  UniquePointer<xcb_connection_t, &xcb_disconnect> connection(xcb_connect(nullptr, nullptr));
  if (xcb_connection_has_error(connection.get()) != 0) {
    return pids;
  }
  xcb_connection_t* c = connection.get();
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  if (screen == nullptr) {
    return pids;
  }
  const xcb_atom_t client_list = intern_atom(c, "_NET_CLIENT_LIST");
  const xcb_atom_t wm_pid = intern_atom(c, "_NET_WM_PID");
  const xcb_query_extension_reply_t* resource_extension = xcb_get_extension_data(c, &xcb_res_id);
  const bool server_knows_pids = resource_extension != nullptr && resource_extension->present;

  std::vector<xcb_window_t> windows =
      cardinal_values(c, screen->root, client_list, XCB_ATOM_WINDOW, 65536);
  if (windows.empty()) {
    // No window manager: the root's children that are viewable.
    const xcb_query_tree_cookie_t tree_cookie = xcb_query_tree(c, screen->root);
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, tree_cookie, nullptr));
    if (!tree) {
      return pids;
    }
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    const int count = xcb_query_tree_children_length(tree.get());
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    cookies.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      cookies.push_back(xcb_get_window_attributes(c, children[i]));
    }
    for (int i = 0; i < count; ++i) {
      Reply<xcb_get_window_attributes_reply_t> attributes(
          xcb_get_window_attributes_reply(c, cookies[static_cast<std::size_t>(i)], nullptr));
      if (attributes && attributes.get()->map_state == XCB_MAP_STATE_VIEWABLE &&
          attributes.get()->override_redirect == 0) {
        windows.push_back(children[i]);
      }
    }
  }
  // Each window's process: the one the server knows from the connection
  // that made it, else what the window says (_NET_WM_PID), which any client
  // can write. The questions go out together, the answers are read after.
  std::vector<xcb_res_query_client_ids_cookie_t> server_cookies;
  if (server_knows_pids) {
    server_cookies.reserve(windows.size());
    for (const xcb_window_t window : windows) {
      const xcb_res_client_id_spec_t window_pid{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
      server_cookies.push_back(xcb_res_query_client_ids(c, 1, &window_pid));
    }
  }
  for (std::size_t i = 0; i < windows.size(); ++i) {
    std::optional<std::uint32_t> pid;
    if (server_knows_pids) {
      pid = server_known_pid(c, server_cookies[i]);
    }
    if (!pid) {
      const std::vector<std::uint32_t> declared =
          cardinal_values(c, windows[i], wm_pid, XCB_ATOM_CARDINAL, 1);
      if (!declared.empty() && declared.front() != 0) {
        pid = declared.front();
      }
    }
    if (pid) {
      pids.insert(*pid);
    }
  }
  return pids;
}

}  // namespace audio_host::linux_host
