// What other parts of the module ask of an adapter, and the bookkeeping of
// replies that may still come (link.cpp, where replies are matched).
#pragma once

#include <chrono>

#include "py/core.hpp"

namespace qlix {

// The bounds of the module's polls and retries (see py::poll_until).
namespace limits {
// A close waits this long at most for its reader to leave its loop, and for
// the USB transfers in progress to end (each ends within its own time-out).
inline constexpr py::Limit kCloseWait{std::chrono::seconds(5)};
// Joins of a stopped reader made at most: one interrupted (Ctrl-C) is made
// again, as is one refused because the thread has not started yet.
inline constexpr py::Limit kJoinAttempts{{}, 1000};
// How long a thread whose USB call failed during the exit waits to be ended.
inline constexpr py::Limit kExitHold{std::chrono::seconds(5)};
// How long one lookup, open or listing asks the registry again when the
// adapter it found closes under it (its last channel closed in another
// thread), or waits for one still closing. Each retry follows another
// thread's close; under heavy churn several in a row happen, so the bound is
// a time, not a count of attempts.
inline constexpr py::Limit kRegistryRetry{std::chrono::seconds(10)};
}  // namespace limits

// With the error of opening the pyusb device `dev` set: when it is the USB
// library's "access denied", "busy" or "not supported", replaces it with an
// error of the same type whose message names the cause and the fix, the
// original chained as its cause. Other errors stay as they are.
void explain_open_error(PyObject* dev);

// The fix for the first of `devices` (pyusb devices) whose serial number
// cannot be read because the USB library refuses to open it (access denied,
// not supported), as explain_open_error words it; null when every one reads.
py::Ref unreadable_adapter(py::Borrowed devices);

// Run in a child process right after fork(): every adapter the parent had
// open, with its channels, is closed in the child without a USB transfer
// (their USB handles are the parent's), the registry forgets them, and their
// locks and signals are made anew (threads that held them do not exist in the
// child). Registered with os.register_at_fork where the host has it.
void register_fork_hook(PyObject* module);
// Part of it (registry.cpp): appends the registered adapters to `devices`
// and forgets them; the registry's lock is made anew, the old one kept in `keep`.
void forget_registered(py::Borrowed devices, PyObject* keep);

// The life of an adapter (`_Device__state`): open until its close begins,
// closing while it stops its reader and releases its USB device, then closed.
// An object without that state (a stand-in) counts as open. Read under the
// GIL, with no Python code run, so that a check and what follows it are one
// step for other threads.
enum class DeviceState { open, closing, closed };
DeviceState device_state(py::Borrowed device);
inline bool device_is_open(py::Borrowed device) { return device_state(device) == DeviceState::open; }

// True for the error (an exception object) that a USB transfer of a closed
// adapter raises.
bool is_closed_adapter_error(PyObject* error);

// With the error of a failed USB call set: once the process is ending (the
// non-daemon threads have ended and pyusb's exit clean-up releases the
// devices), a thread the interpreter is about to end waits for that instead of
// raising; then (or at once) the error is raised.
[[noreturn]] void hold_failure_at_exit();

// A wait for a reply was interrupted, so the reply may still come: the
// attribute `name` of `self` records until when (`_now()` + `timeout`), and
// time_left() gives what is left of it (None when nothing is pending, or the
// deadline has passed).
void set_deadline(PyObject* self, PyObject* name, py::Borrowed timeout);
py::Ref time_left(PyObject* self, PyObject* name);

}  // namespace qlix
