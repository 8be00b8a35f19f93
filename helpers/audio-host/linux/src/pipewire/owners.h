// The owner types of the PipeWire backend: the library's initialisation,
// the main loop and its sources, the context, the core (the connection),
// proxies, the capture stream and the listeners (spa_hook) registered on
// them. Each is a UniqueResource of the base library that releases its
// value exactly once.
//
// Owners belong to the host's main thread, which created them; none is
// shared with another thread.
#pragma once

#include <pipewire/pipewire.h>

#include "unique_resource.h"

namespace audio_host::pipewire_host {

using vantle::UniquePointer;

// pw_init() was called; pw_deinit() follows.
struct LibraryTraits {
  using Value = bool;
  static constexpr Value invalid() { return false; }
  static bool is_valid(Value initialised) { return initialised; }
  static void close(Value) { pw_deinit(); }
};
using LibraryUse = vantle::UniqueResource<LibraryTraits>;

// A loop entered by this thread (pw_loop_enter), left on release.
struct LoopEntryTraits {
  using Value = pw_loop*;
  static constexpr Value invalid() { return nullptr; }
  static bool is_valid(Value loop) { return loop != nullptr; }
  static void close(Value loop) { pw_loop_leave(loop); }
};
using LoopEntry = vantle::UniqueResource<LoopEntryTraits>;

// A source (an I/O watch, an event) of a loop.
struct LoopSourceTraits {
  struct Value {
    pw_loop* loop = nullptr;
    spa_source* source = nullptr;
  };
  static Value invalid() { return {}; }
  static bool is_valid(const Value& value) { return value.source != nullptr; }
  static void close(const Value& value) { pw_loop_destroy_source(value.loop, value.source); }
};
using LoopSource = vantle::UniqueResource<LoopSourceTraits>;

// A listener on an object's hook list, removed on release (before the
// object it listens to is destroyed, or after: destroying an object
// removes its listeners, which then stay removed).
struct HookTraits {
  using Value = spa_hook*;
  static constexpr Value invalid() { return nullptr; }
  static bool is_valid(Value hook) { return hook != nullptr; }
  static void close(Value hook) { spa_hook_remove(hook); }
};

// A spa_hook at a fixed address with its registration: the hook is
// registered through `get()` and removed when the owner goes.
class Listener {
 public:
  Listener() = default;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener() { reset(); }
  // The hook to register; marks it registered.
  spa_hook* get() {
    reset();
    registered_ = true;
    return &hook_;
  }
  void reset() {
    if (registered_ && hook_.link.next != nullptr) {
      spa_hook_remove(&hook_);
    }
    registered_ = false;
    hook_ = spa_hook{};
  }

 private:
  spa_hook hook_{};
  bool registered_ = false;
};

void disconnect_core(pw_core* core);

using UniqueMainLoop = UniquePointer<pw_main_loop, &pw_main_loop_destroy>;
using UniqueContext = UniquePointer<pw_context, &pw_context_destroy>;
using UniqueCore = UniquePointer<pw_core, &disconnect_core>;
using UniqueProxy = UniquePointer<pw_proxy, &pw_proxy_destroy>;
using UniqueStream = UniquePointer<pw_stream, &pw_stream_destroy>;
using UniqueProperties = UniquePointer<pw_properties, &pw_properties_free>;

}  // namespace audio_host::pipewire_host
