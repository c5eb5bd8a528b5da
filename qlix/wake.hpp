// Wake-ups for threads waiting on a channel: input arrived, the channel
// closed, its adapter was lost, a reply was handled, or a read was cancelled.
//
// Each channel keeps one signal object in its __dict__ (`_Channel__in_signal`).
// A signal counts events; a waiter takes the count, checks its condition and
// then sleeps, with the GIL released, until the count moves on or its deadline
// passes. Notifying is one atomic increment when nobody sleeps and no
// `on_event` callable is set (Python's event-loop support sets one to keep a
// descriptor's readiness in step with the channel).
//
// The signal object also reads: `read(channel, max_size, timeout)` is
// channel.read(max_size) with a time-out of its own, for a caller that must
// not lend the channel a time-out (the pyserial port's inter-byte waits).
//
// Sleeps use the interpreter's own lock primitive, which a signal handler
// interrupts on POSIX (so Ctrl-C reaches a read waiting on the main thread).
// Windows locks cannot be interrupted: there the main thread sleeps at most
// 50 ms at a time and checks for signals between sleeps.
#pragma once

#include <chrono>
#include <optional>

#include "py/core.hpp"

namespace qlix::wake {

using Clock = std::chrono::steady_clock;

struct Signal;

// A new signal object.
py::Ref make_signal();
// The signal an object is, or null (any other object: no wake-ups).
Signal* as_signal(py::Borrowed o) noexcept;

// The event count; take it before checking the condition waited for.
unsigned long long events(const Signal& s) noexcept;
// Counts an event, wakes every waiter, then runs the signal's on_event
// callable when one is set. Runs with the GIL held.
void notify(Signal& s);
// Marks the channel's adapter as lost and wakes every waiter.
void mark_lost(Signal& s);
bool lost(const Signal& s) noexcept;
// The number of cancel() calls so far: a read ends when it changes.
unsigned long long cancels(const Signal& s) noexcept;

// Sleeps, with the GIL released, until the event count differs from `seen`
// or `deadline` (none: no limit) passes. Returns early for a signal handler
// that must run, after running it (its exception is thrown as py::Error).
void wait(Signal& s, unsigned long long seen, std::optional<Clock::time_point> deadline);

}  // namespace qlix::wake
