// Reads of a shared file mapping that another process may shrink: touching a page the
// file no longer backs raises SIGBUS. Inside a guarded region that fault ends the
// region instead of the process; outside one it goes on to whatever handler was there
// before, so crash reporters still see real crashes.
#pragma once

#include <cstdint>

namespace vornel {

// Runs fn(ctx) as a guarded region and returns the address of the bus error that
// ended it, or nullptr when it ran to its end. The region is left by a jump: fn must
// only read memory and write plain bytes, owning nothing that needs destroying. The
// SIGBUS handler is installed at the first call; no call makes a system call unless
// a fault happens.
const void* run_guarded(void (*fn)(void* ctx), void* ctx);

// run_guarded for a lambda or other callable with no arguments.
template <class F>
const void* guarded(F&& body) {
  return run_guarded([](void* ctx) { (*static_cast<F*>(ctx))(); },
                     const_cast<void*>(static_cast<const void*>(&body)));
}

}  // namespace vornel
