// What other parts of the module call on a channel (channel.cpp).
#pragma once

#include "py/core.hpp"

namespace qlix {

// `channel.read(max_size)` waiting at most `timeout` seconds (a channel
// time-out: 0 or less waits without limit) instead of the channel's own.
py::Ref read_within(PyObject* channel, PyObject* max_size, PyObject* timeout);

// Ends the reads of a channel whose adapter was lost: waiting ones wake, and
// from now on a read that finds the queue empty raises.
void mark_adapter_lost(PyObject* channel);

// In a forked child: closes a channel inherited from the parent without
// sending anything, with new locks and a new signal (a thread that held the
// old ones does not exist here). The old objects are appended to `keep`.
void close_inherited(PyObject* channel, PyObject* keep);

}  // namespace qlix
