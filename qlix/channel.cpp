// _Channel: one serial channel of an adapter. Bringing it up, the baud-rate
// exchange, the input queue filled by the reader thread, reads with time-outs
// and writes cut into 64-byte packets.
//
// All state lives in the instance __dict__ under the class-qualified private
// names, and every call on the device, the queue, the lock and the module
// globals goes through Python, so fakes, mocks and subclasses are honoured.
#include <array>
#include <chrono>
#include <climits>
#include <cstring>
#include <limits>
#include <optional>

#include "channel.hpp"
#include "link.hpp"
#include "module.hpp"
#include "protocol.hpp"
#include "py/lock.hpp"
#include "py/arrays.hpp"
#include "wake.hpp"

namespace qlix {

namespace {

py::Name n_device{"_Channel__device"};
py::Name n_channel_attr{"_Channel__channel"};
py::Name n_timeout_attr{"_Channel__timeout"};
py::Name n_in_deque{"_Channel__in_deque"};
py::Name n_in_deque_lock{"_Channel__in_deque_lock"};
py::Name n_baudrate_attr{"_Channel__baudrate"};
py::Name n_channel_private_read{"_Channel__read"};
py::Name n_in_signal{"_Channel__in_signal"};
// Made (only) once a baud-rate change was interrupted after asking for the
// rate: until when its reply may still come.
py::Name n_config_pending{"_Channel__config_pending"};
// Serialises baud-rate changes of the channel: each waits for its own reply.
py::Name n_config_lock{"_Channel__config_lock"};

py::Name n_append{"append"};
py::Name n_popleft{"popleft"};
py::Name n_extend{"extend"};
py::Name n_encode{"encode"};
py::Name n_update_baudrate{"_update_baudrate"};
py::Name n_send_command{"send_command_to_channel"};
py::Name n_set_handler{"set_io_control_handler_for_channel"};
py::Name n_reset_handler{"reset_io_control_handler_for_channel"};
py::Name n_close_channel{"close_channel"};
py::Name n_output_data{"output_data"};
py::Name n_typecode_b{"B"};

// Own members, called directly while they are the module's (see py::Member).
py::Member m_timeout{n_timeout};
py::Member m_channel_private_read{n_channel_private_read};
py::Member m_output_data{n_output_data};
py::Member m_input_data{n_input_data};
py::Member m_update_baudrate{n_update_baudrate};

// --- small helpers -------------------------------------------------------------

// `with self.__in_deque_lock: return body(hold)`
template <class F>
auto with_queue_lock(PyObject* self, F&& body) {
    return py::with_lock(attr(self, n_in_deque_lock), std::forward<F>(body));
}

// A new zero-filled array of `size` bytes of the host's array type.
py::Ref zero_array(Py_ssize_t size) { return py::new_byte_array(nullptr, size); }

// Items per block of a deque: indexing within the first block is direct.
constexpr Py_ssize_t kDequeBlock = 64;

// True for chunks whose length is read without running Python code.
bool plain_length(py::Borrowed o) { return PyBytes_CheckExact(o) || PyByteArray_CheckExact(o) || py::is_host_array(o); }

// New unsigned-byte arrays. While the module global `_array` is the host's own
// array type, a new array is made directly (py::new_byte_array): the same
// result as `_array("B", ...)` without parsing constructor arguments. Any
// other `_array` (a test's stand-in, a subclass) is called as usual.
py::Ref new_byte_array() {
    py::Ref array_type = global(g_array);
    if (array_type.get() == py::host_array_type()) return zero_array(0);
    return py::call(array_type.get(), n_typecode_b.get());
}

// A new unsigned-byte array holding `size` bytes from `bytes`, made as
// `array_type("B", bytes(...))` would make it.
py::Ref byte_array_of(PyObject* array_type, const unsigned char* bytes, Py_ssize_t size) {
    if (array_type == py::host_array_type()) return py::new_byte_array(bytes, size);
    py::Ref raw = py::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes), size));
    return py::call(array_type, n_typecode_b.get(), raw.get());
}

py::Ref slice(py::Borrowed seq, py::Borrowed start, py::Borrowed stop) {
    py::Ref s = py::check(PySlice_New(start, stop, nullptr));
    return py::check(PyObject_GetItem(seq, s.get()));
}

// The int value of an exact int, clamped to the range of long long (a larger
// limit behaves the same as "no limit" for every length a queue can hold).
long long clamped(py::Borrowed v) {
    int overflow = 0;
    long long r = py::check_value(PyLong_AsLongLongAndOverflow(v, &overflow));
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    return r;
}

[[noreturn]] void closed_error(PyObject* self) {
    py::Ref name = attr(self, n_name);
    assertion_failed(py::Code{"channel_closed", {{"port_name", name}}}, "设备[", name, "]已关闭");
}

// collections.deque, the queue type the module creates.
PyObject* s_host_deque = nullptr;
PyObject* host_deque() { return host_object(s_host_deque, "collections", "deque"); }

// A read's deadline: _now() + timeout (the channel's, or one given to the read)
// when the timeout is greater than 0, otherwise (0, negative, NaN) positive
// infinity; computed once. While `_now` is the host's time.time and the
// timeout a float, the deadline is taken on the monotonic clock instead of
// calling `_now`, so that a wall clock set back meanwhile does not lengthen
// the wait (nor one set forward shorten it); any other `_now` is called as
// usual, and its value compared with the deadline.
class Deadline {
public:
    explicit Deadline(const py::Ref& timeout) {
        bool limited;
        if (PyFloat_CheckExact(timeout)) {
            limited = PyFloat_AS_DOUBLE(timeout.get()) > 0.0;  // false for NaN, as `nan > 0` is
        } else {
            py::Ref zero = py::integer(0);
            limited = py::check(PyObject_RichCompareBool(timeout.get(), zero.get(), Py_GT)) != 0;
        }
        if (!limited) return;
        py::Ref now_fn = global(g_now);
        if (now_fn.get() == host_time() && PyFloat_CheckExact(timeout)) {
            monotonic_ = true;
            double seconds = PyFloat_AS_DOUBLE(timeout.get());
            // Longer than the clock can count (infinity too): no limit, as
            // far as any read can tell.
            if (seconds < kLongestTimeout)
                end_ = wake::Clock::now() +
                       std::chrono::ceil<wake::Clock::duration>(std::chrono::duration<double>(seconds));
            return;
        }
        py::Ref now = py::call(now_fn.get());
        deadline_ = py::check(PyNumber_Add(now.get(), timeout.get()));
    }

    // The deadline on the monotonic clock (none: no limit), or false when it
    // is held as a Python value (a replaced `_now`, a timeout that is no float).
    bool steady(std::optional<wake::Clock::time_point>& out) const {
        if (deadline_) return false;
        out = end_;
        return true;
    }

    // True when there is still time before the deadline.
    bool before() {
        if (monotonic_) return !end_ || wake::Clock::now() < *end_;
        py::Ref now_fn = global(g_now);
        if (!deadline_) {
            if (now_fn.get() == host_time()) return true;  // time.time() < inf
            deadline_ = py::check(PyFloat_FromDouble(std::numeric_limits<double>::infinity()));
        }
        py::Ref now = py::call(now_fn.get());
        return py::check(PyObject_RichCompareBool(now.get(), deadline_.get(), Py_LT)) != 0;
    }

private:
    static constexpr double kLongestTimeout = 1e9;  // seconds, some 31 years

    bool monotonic_ = false;                      // taken on the monotonic clock
    std::optional<wake::Clock::time_point> end_;  // then: none for no limit
    py::Ref deadline_;                            // otherwise: on `_now`'s clock (none: infinity)
};

void poll_sleep() {
    py::Ref interval = py::check(PyFloat_FromDouble(0.01));
    py::call(global(g_sleep).get(), interval.get());
}

// The channel's signal object (kept alive by the Ref), or an empty Ref.
py::Ref signal_object(PyObject* self) { return py::optional_attr(self, n_in_signal); }

void notify_channel(PyObject* self) {
    py::Ref obj = signal_object(self);
    if (wake::Signal* s = wake::as_signal(obj)) wake::notify(*s);
}

// How a waiting thread waits, decided once when the waiter is made: it
// sleeps until its channel's signal wakes it or the deadline (converted to the
// steady clock once) passes, when `wakes` (every change of the awaited
// condition notifies the signal) and the clock globals are the host's;
// otherwise it calls `_sleep(0.01)` in polls, as a replaced clock, queue or
// member expects, and reads the deadline through `_now`. Adapter loss and
// cancelling end the wait either way.
class Waiter {
public:
    enum class Waited { woken, polled, timed_out };

    Waiter(PyObject* self, Deadline& deadline, bool wakes)
        : obj_(signal_object(self)), signal_(wake::as_signal(obj_)), deadline_(deadline) {
        if (signal_) cancels_ = wake::cancels(*signal_);
        sleeps_ = signal_ && wakes && host_clock() && deadline.steady(until_);
    }

    // The event count, taken before the condition is checked.
    unsigned long long mark() const { return signal_ ? wake::events(*signal_) : 0; }
    bool cancelled() const { return signal_ && wake::cancels(*signal_) != cancels_; }
    bool lost() const { return signal_ && wake::lost(*signal_); }

    // One wait for a condition checked after mark() returned `seen` (0 when
    // no mark was taken: the count then differs and the wait returns at once
    // unless no event ever came, so the condition is checked again).
    Waited wait(unsigned long long seen) {
        if (!sleeps_) {
            if (!deadline_.before()) return Waited::timed_out;
            poll_sleep();
            return Waited::polled;
        }
        if (until_ && wake::Clock::now() >= *until_) return Waited::timed_out;
        wake::wait(*signal_, seen, until_);
        return Waited::woken;
    }

private:
    py::Ref obj_;
    wake::Signal* signal_;
    Deadline& deadline_;
    std::optional<wake::Clock::time_point> until_;
    unsigned long long cancels_ = 0;
    bool sleeps_ = false;
};

// Whether the reads of a channel are woken by everything that fills its queue:
// the queue is the module's deque, filled only through the module's
// input_data, and emptied through the module's __read.
bool reads_wake(PyObject* self) {
    if (!m_input_data.own(self) || !m_channel_private_read.own(self)) return false;
    py::Ref queue = attr(self, n_in_deque);
    return reinterpret_cast<PyObject*>(Py_TYPE(queue)) == host_deque();
}

// A read's wait after a poll found the queue empty, `seen` being the event
// count taken before that poll. The waiter is made at the first empty poll
// (reads served from the queue never need one). A cancelled read ends; on a
// lost adapter a read that took bytes returns them, one that took none
// raises. Returns false when the read ends.
bool wait_after_empty_poll(PyObject* self, std::optional<Waiter>& waiter, unsigned long long seen, Deadline& deadline,
                           bool have_data) {
    if (!waiter) waiter.emplace(self, deadline, reads_wake(self));
    if (waiter->cancelled()) return false;
    if (waiter->lost()) {
        if (have_data) return false;
        py::Ref name = attr(self, n_name);
        py::raise_text(PyExc_OSError, py::Code{"disconnected", {{"port_name", name}}}, "设备[", name, "]已断开");
    }
    return waiter->wait(seen) != Waiter::Waited::timed_out;
}

void send_command(PyObject* self, const char* command) {
    py::Ref device = attr(self, n_device);
    py::Ref channel = attr(self, n_channel_attr);
    py::Ref text = py::str(command);
    py::call_method(device.get(), n_send_command, text.get(), channel.get());
}

// --- lifecycle and baud rate ---------------------------------------------------

py::Ref channel_init(PyObject* const* a) {
    PyObject* self = a[0];
    py::require_int(a[2], "channel_number");
    py::Ref timeout = py::to_float(a[3]);
    py::setattr(self, n_device, a[1]);
    py::setattr(self, n_channel_attr, a[2]);
    py::setattr(self, n_timeout_attr, timeout);
    py::setattr(self, n_in_deque, py::call(global(g_deque).get()));
    py::setattr(self, n_in_deque_lock, py::call(global(g_lock).get()));
    py::setattr(self, n_baudrate_attr, Py_None);
    py::setattr(self, n_in_signal, wake::make_signal());
    py::setattr(self, n_config_lock, py::call(global(g_lock).get()));
    return py::none();
}

// Reply handler for "Config?": the payload is the decimal rate, possibly
// surrounded by whitespace. Runs on the reader thread.
py::Ref channel_update_baudrate(PyObject* const* a) {
    PyObject* self = a[0];
    py::Ref raw = py::check(PyBytes_FromObject(a[1]));
    py::Ref feedback =
        py::check(PyUnicode_DecodeLatin1(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), nullptr));
    py::Ref rate;
    if (py::catch_only(PyExc_ValueError, rate, [&] { return PyLong_FromUnicodeObject(feedback.get(), 10); })) {
        write_stderr(py::text("波特率查询结果异常:", attr(self, n_name), "：[", feedback, "]"));
        return py::none();
    }
    py::setattr(self, n_baudrate_attr, rate);
    notify_channel(self);
    return py::none();
}

py::Ref channel_initialize(PyObject* const* a) {
    PyObject* self = a[0];
    py::require_int(a[1], "baudrate");
    py::setattr(self, n_baudrate, a[1]);
    send_command(self, "OpenChannel");
    py::call_method(self, n_reset_input_buffer);
    return py::none();
}

py::Ref channel_baudrate_get(PyObject* const* a) { return py::result_int(attr(a[0], n_baudrate_attr)); }

bool channel_open(PyObject* self) {
    return with_queue_lock(self, [&](py::LockHold&) { return attr(self, n_in_deque).get() != Py_None; });
}

py::Ref baudrate_exchange(PyObject* self, PyObject* value);

// Sets the rate and waits up to one second for the adapter to confirm it. A
// closed channel sends nothing (its next open sets its own rate). Changes on
// one channel run one after the other, each with its own reply.
py::Ref channel_baudrate_set(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* value = py::require_int(a[1], "value");
    if (!channel_open(self)) closed_error(self);
    return py::with_lock(attr(self, n_config_lock), [&](py::LockHold&) { return baudrate_exchange(self, value); });
}

py::Ref baudrate_exchange(PyObject* self, PyObject* value) {
    py::setattr(self, n_baudrate_attr, Py_None);
    py::Ref device = attr(self, n_device);
    py::Ref channel = attr(self, n_channel_attr);

    py::Ref handler = attr(self, n_update_baudrate);
    py::call_method(device.get(), n_set_handler, handler.get(), channel.get());
    py::FirstError failed;
    bool asked = false;  // "Config?" may have gone out: its reply may come
    py::Ref one = py::integer(1);
    failed.run([&] {
        // The adapter answers in order, and a reply carries no query: the
        // reply to a change whose wait was interrupted may still come, before
        // this one's. A first reply that is not the rate asked for is then
        // taken for that one and set aside; if no other comes, it was this
        // change's own.
        bool stale = static_cast<bool>(time_left(self, n_config_pending));
        py::Ref set_aside;
        py::Ref config = py::text("Config ", value);
        py::call_method(device.get(), n_send_command, config.get(), channel.get());
        Deadline deadline(py::check(PyFloat_FromDouble(1.0)));
        py::Ref query = py::str("Config?");
        asked = true;
        try {
            py::call_method(device.get(), n_send_command, query.get(), channel.get());
        } catch (const py::Error&) {
            // A failed write sent nothing; an interrupted one may have.
            if (!py::interrupted()) asked = false;
            throw;
        }

        // Until the reply has been stored or `deadline` passes. The reply
        // handler notifies the channel's signal once it has run.
        Waiter waiter(self, deadline, m_update_baudrate.own(self));
        for (;;) {
            auto seen = waiter.mark();
            py::Ref reported = attr(self, n_baudrate_attr);
            if (reported.get() != Py_None) {
                bool other = stale && py::check(PyObject_RichCompareBool(reported.get(), value, Py_NE));
                if (stale) py::setattr(self, n_config_pending, Py_None);
                stale = false;
                if (!other) break;
                set_aside = reported;
                py::setattr(self, n_baudrate_attr, Py_None);
            }
            if (waiter.wait(seen) == Waiter::Waited::timed_out) break;
        }
        if (set_aside && attr(self, n_baudrate_attr).get() == Py_None) py::setattr(self, n_baudrate_attr, set_aside);
    });
    // The handler is reset on every way out, an interruption (Ctrl-C)
    // included; no reply is stored after that.
    failed.run_to_end([&] { py::call_method(device.get(), n_reset_handler, channel.get()); });
    if (failed.failed()) {
        // The rate stays unknown; a reply asked for and not stored yet may
        // still come (until this change's deadline).
        failed.run([&] {
            if (asked && attr(self, n_baudrate_attr).get() == Py_None) set_deadline(self, n_config_pending, one);
            py::setattr(self, n_baudrate_attr, Py_None);
        });
    }
    failed.finish();

    py::Ref reported = attr(self, n_baudrate_attr);
    if (reported.get() == Py_None) {
        py::Ref name = attr(self, n_name);
        py::raise_text(PyExc_OSError, py::Code{"baud_timeout", {{"port_name", name}, {"baudrate", value}}},
                       "设置波特率超时:", name, ":目标值 = ", value);
    }
    if (py::check(PyObject_RichCompareBool(reported.get(), value, Py_NE))) {
        py::Ref name = attr(self, n_name);
        py::raise_text(PyExc_OSError,
                       py::Code{"baud_refused",
                                {{"port_name", name}, {"baudrate", value}, {"current_baudrate", reported}}},
                       "设置波特率失败:", name, ":当前值 = ", reported, ":目标值 = ", value);
    }
    return py::none();
}

py::Ref channel_name_get(PyObject* const* a) {
    PyObject* self = a[0];
    py::Ref device = attr(self, n_device);
    py::Ref serial = py::getattr(device, n_serial_number);
    return py::result_str(py::text("QLIX", serial, "S", attr(self, n_channel_attr)));
}

// True when the adapter's table of open channels holds this very channel
// under its number (false for a stand-in adapter without that table).
bool still_in_table(PyObject* self, py::Borrowed device, py::Borrowed channel) {
    py::Ref table = py::optional_attr(device, n_device_channels);
    if (!table || !PyDict_Check(table.get())) return false;
    return py::lookup(table, channel).get() == self;
}

py::Ref channel_close(PyObject* const* a) {
    PyObject* self = a[0];
    bool was_open = with_queue_lock(self, [&](py::LockHold&) {
        bool open = attr(self, n_in_deque).get() != Py_None;
        py::setattr(self, n_in_deque, Py_None);
        return open;
    });
    if (!was_open) {
        // Closed before: nothing is sent, since the channel number may belong
        // to another port by now. Only a close that was interrupted before the
        // channel left the adapter's table is finished.
        py::Ref device = attr(self, n_device);
        py::Ref channel = attr(self, n_channel_attr);
        if (still_in_table(self, device, channel)) py::call_method(device.get(), n_close_channel, channel.get());
        return py::none();
    }
    // From here on the channel leaves the adapter's table whatever happens: an
    // error of "CloseChannel" (the adapter may be gone) is ignored, and an
    // interruption (Ctrl-C) is raised again once the channel has left it.
    py::FirstError failed;
    failed.run([&] {
        notify_channel(self);  // waiting reads see the closed channel now
        py::catch_only(PyExc_Exception, [&] { send_command(self, "CloseChannel"); });
    });
    failed.run([&] {
        py::Ref device = attr(self, n_device);
        py::call_method(device.get(), n_close_channel, attr(self, n_channel_attr).get());
    });
    failed.finish();
    return py::none();
}

py::Ref channel_is_open_get(PyObject* const* a) { return py::boolean(channel_open(a[0])); }

// --- input queue -----------------------------------------------------------------

py::Ref channel_in_waiting_get(PyObject* const* a) {
    long long total = 0;
    with_queue_lock(a[0], [&](py::LockHold&) {
        py::Ref queue = attr(a[0], n_in_deque);
        if (queue.get() == Py_None) return;
        Py_ssize_t n = py::check_size(PyObject_Size(queue.get()));
        Py_ssize_t i = 0;
        // A deque is walked with its iterator (indexing it is linear in the
        // position) while the chunks' lengths run no Python code that could
        // change it; then by position, as for any other sequence.
        if (n > kDequeBlock && reinterpret_cast<PyObject*>(Py_TYPE(queue)) == host_deque()) {
            py::Ref it = py::check(PyObject_GetIter(queue.get()));
            for (; i < n; ++i) {
                py::Ref chunk = py::next(it);
                if (!chunk) break;
                if (!plain_length(chunk)) {
                    total += py::check_size(PyObject_Size(chunk.get()));
                    ++i;
                    break;
                }
                total += py::check_size(PyObject_Size(chunk.get()));
            }
        }
        for (; i < n; ++i) {
            py::Ref chunk = py::check(PySequence_GetItem(queue.get(), i));
            total += py::check_size(PyObject_Size(chunk.get()));
        }
    });
    return py::result_int(py::integer(total));
}

py::Ref channel_input_data(PyObject* const* a) {
    bool open = with_queue_lock(a[0], [&](py::LockHold&) {
        py::Ref queue = attr(a[0], n_in_deque);
        if (queue.get() != Py_None) py::call_method(queue.get(), n_append, a[1]);
        return queue.get() != Py_None;
    });
    if (open) notify_channel(a[0]);
    return py::none();
}

py::Ref channel_reset_input_buffer(PyObject* const* a) {
    PyObject* self = a[0];
    // A closed channel sends nothing: its number may belong to another port by now.
    if (!channel_open(self)) closed_error(self);
    send_command(self, "FlushInput");
    bool open = with_queue_lock(self, [&](py::LockHold&) {
        py::Ref queue = attr(self, n_in_deque);
        if (queue.get() != Py_None) py::call_method(queue.get(), n_clear);
        return queue.get() != Py_None;
    });
    if (!open) closed_error(self);
    return py::none();
}

py::Ref channel_flush_input(PyObject* const* a) {
    py::call_method(a[0], n_reset_input_buffer);
    return py::none();
}

// --- reads -----------------------------------------------------------------------

// The number of bytes of a chunk up to and including the first `end` byte
// (all of them when there is none), for chunks whose bytes are read in place;
// 1 for any other chunk, which is then taken a byte at a time.
Py_ssize_t through_terminator(py::Borrowed chunk, Py_ssize_t length, long long end) {
    if (!plain_length(chunk)) return 1;
    py::ByteView view(chunk);
    if (!view || view.size() < length) return 1;
    if (end < 0 || end > 255) return length;
    const void* at = std::memchr(view.data(), static_cast<int>(end), static_cast<size_t>(length));
    return at ? static_cast<const unsigned char*>(at) - view.data() + 1 : length;
}

// Takes at most `max_size` bytes from the front chunk, and with `end` >= 0 no
// bytes past the first `end` byte; never waits. What __read does, for a size
// found by looking at the chunk.
py::Ref take(PyObject* self, long long max_size, long long end) {
    py::Ref chunk;  // outlives the hold: a chunk cut in two is let go with the lock released
    return with_queue_lock(self, [&](py::LockHold& hold) -> py::Ref {
        py::Ref queue = attr(self, n_in_deque);
        if (queue.get() == Py_None) closed_error(self);
        if (py::check_size(PyObject_Size(queue.get())) == 0) {
            hold.release();
            return new_byte_array();
        }
        chunk = py::check(PySequence_GetItem(queue.get(), 0));
        Py_ssize_t length = py::check_size(PyObject_Size(chunk.get()));
        long long size = max_size;
        if (end >= 0 && length > 0) size = std::min<long long>(size, through_terminator(chunk, length, end));
        if (static_cast<long long>(length) <= size) {
            py::call_method(queue.get(), n_popleft);
            return chunk;
        }
        py::Ref head, tail;
        if (plain_length(chunk)) {  // slicing that cannot see the slice object: cached bounds
            auto cut = static_cast<Py_ssize_t>(size);
            head = py::get_slice(chunk, 0, cut);
            tail = py::get_slice(chunk, cut, length);
        } else {
            py::Ref cut = py::integer(size);
            head = slice(chunk, Py_None, cut);
            tail = slice(chunk, cut, Py_None);
        }
        py::check(PySequence_SetItem(queue.get(), 0, tail.get()));
        return head;
    });
}

py::Ref channel_private_read(PyObject* const* a) { return take(a[0], clamped(py::require_int(a[1], "max_size")), -1); }

// One `__read` call from read/read_until. When the channel was closed after
// this read already took bytes from the queue, the read ends and returns
// them (a null result here) instead of losing them with the error; the next
// read reports the closed channel.
// While __read is the module's own (`own`), its body runs directly, and with
// `end` >= 0 (read_until) takes as many bytes as __read(1) calls would take
// up to the terminator.
py::Ref call_private_read(PyObject* self, long long max_size, bool have_data, bool own, long long end = -1) {
    try {
        if (own) return take(self, max_size, end);
        py::Ref n = py::integer(max_size);
        return m_channel_private_read.call(self, n.get());
    } catch (const py::Error&) {
        py::Fetched error = py::Fetched::take();
        if (!have_data || attr(self, n_in_deque).get() != Py_None) error.restore_and_throw();
        return py::Ref();
    }
}

// result.extend(part); for two host arrays, their in-place concatenation (the
// same extension, without looking the method up).
void extend(py::Borrowed result, py::Borrowed part) {
    if (py::is_host_array(result) && py::is_host_array(part)) {
        py::check(PySequence_InPlaceConcat(result, part));
        return;
    }
    py::call_method(result, n_extend, part);
}

// channel.read(max_size) until `deadline`.
py::Ref read(PyObject* self, long long max_size, Deadline deadline) {
    // A result of the host's array type is made when first needed (making it
    // runs no code), and the first part becomes the result when it already is
    // such an array that nothing else can reach: the same new array's bytes.
    py::Ref array_type = global(g_array);
    py::Ref result = array_type.get() == py::host_array_type() ? py::Ref() : py::call(array_type, n_typecode_b.get());
    long long have = 0;
    bool own = m_channel_private_read.own(self);
    std::optional<Waiter> waiter;
    while (have < max_size) {
        auto seen = waiter ? waiter->mark() : 0;
        py::Ref part = call_private_read(self, max_size - have, have > 0, own);
        if (!part) break;
        if (py::check_size(PyObject_Size(part.get())) > 0) {
            if (!result && py::is_unshared(part) && py::is_host_byte_array(part)) {
                result = std::move(part);
            } else {
                if (!result) result = zero_array(0);
                extend(result, part);
            }
            have = py::check_size(PyObject_Size(result.get()));
        } else if (!wait_after_empty_poll(self, waiter, seen, deadline, have > 0)) {
            break;
        }
    }
    if (!result) result = zero_array(0);
    return result;
}

py::Ref channel_read(PyObject* const* a) {
    long long max_size = clamped(py::require_int(a[1], "max_size"));
    return read(a[0], max_size, Deadline(m_timeout.get(a[0])));
}

// The character code of a one-character terminator, refused as ord() would.
py::Ref terminator_code(PyObject* expected) {
    if (PyBytes_Check(expected) || PyByteArray_Check(expected)) {
        Py_ssize_t n = PyBytes_Check(expected) ? PyBytes_GET_SIZE(expected) : PyByteArray_GET_SIZE(expected);
        if (n != 1) {
            PyErr_Format(PyExc_TypeError, "ord() expected a character, but string of length %zd found", n);
            py::throw_error();
        }
        const char* s = PyBytes_Check(expected) ? PyBytes_AS_STRING(expected) : PyByteArray_AS_STRING(expected);
        return py::integer(static_cast<unsigned char>(s[0]));
    }
    if (PyUnicode_Check(expected)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(expected);
        if (n != 1) {
            PyErr_Format(PyExc_ValueError,
                         "only single character unicode strings can be converted to Py_UCS4, got length %zd", n);
            py::throw_error();
        }
        return py::integer(static_cast<long long>(PyUnicode_READ_CHAR(expected, 0)));
    }
    PyErr_Format(PyExc_TypeError, "ord() expected string of length 1, but %.200s found", Py_TYPE(expected)->tp_name);
    py::throw_error();
}

py::Ref channel_read_until(PyObject* const* a) {
    PyObject* self = a[0];
    long long size = 4294967296LL;
    if (a[2] != Py_None) size = clamped(py::require_int(a[2], "size"));
    py::Ref end = terminator_code(a[1]);
    Deadline deadline(m_timeout.get(self));
    py::Ref result = new_byte_array();
    long long have = 0;
    // While __read is the module's own, each step takes up to the terminator
    // at once (the same bytes as one __read(1) per byte).
    bool own = m_channel_private_read.own(self);
    long long scan_for = own ? clamped(end) : -1;
    std::optional<Waiter> waiter;
    while (have < size) {
        auto seen = waiter ? waiter->mark() : 0;
        py::Ref part = call_private_read(self, own ? size - have : 1, have > 0, own, scan_for);
        if (!part) break;
        Py_ssize_t got = py::check_size(PyObject_Size(part.get()));
        if (got > 0) {
            extend(result.get(), part.get());
            have = py::check_size(PyObject_Size(result.get()));
            py::Ref last = py::check(PySequence_GetItem(part.get(), got - 1));
            if (py::check(PyObject_RichCompareBool(last.get(), end.get(), Py_EQ))) break;
        } else if (!wait_after_empty_poll(self, waiter, seen, deadline, have > 0)) {
            break;
        }
    }
    return result;
}

py::Ref channel_timeout_get(PyObject* const* a) { return attr(a[0], n_timeout_attr); }

py::Ref channel_timeout_set(PyObject* const* a) {
    py::Ref value = py::to_float(a[1]);
    py::setattr(a[0], n_timeout_attr, value);
    return py::none();
}

// --- write -----------------------------------------------------------------------

// Fills `out` with data[start:start+out.size()] when that can be done straight
// from memory with the same result as slicing the data and extending a byte
// array with it; false when the data must go the general way (other types,
// values a byte array would refuse, fewer bytes than `out`: the data shrank).
bool copy_payload(PyObject* data, PyObject* array_type, Py_ssize_t start, std::span<std::uint8_t> out) {
    auto count = static_cast<Py_ssize_t>(out.size());
    if (PyList_CheckExact(data)) {
        if (PyList_GET_SIZE(data) - start < count) return false;
        PyObject** items = PySequence_Fast_ITEMS(data) + start;
        for (std::uint8_t& byte : out) {
            PyObject* item = *items++;
            int overflow = 0;
            long v = PyLong_CheckExact(item) ? PyLong_AsLongAndOverflow(item, &overflow) : -1;
            if (overflow || v < 0 || v > 255) return false;
            byte = static_cast<std::uint8_t>(v);
        }
        return true;
    }
    if (PyBytes_CheckExact(data)) {
        if (PyBytes_GET_SIZE(data) - start < count) return false;
        std::memcpy(out.data(), PyBytes_AS_STRING(data) + start, out.size());
        return true;
    }
    if (!PyByteArray_CheckExact(data) && reinterpret_cast<PyObject*>(Py_TYPE(data)) != array_type) return false;
    py::ByteView view(data, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS);
    if (!view || view.size() - start < count) return false;
    std::memcpy(out.data(), view.data() + start, out.size());
    return true;
}

// One package the general way: a two-byte array extended with the slice and
// the zero padding, so any error is the byte array's own.
py::Ref general_package(PyObject* array_type, PyObject* data, PyObject* channel, Py_ssize_t start, Py_ssize_t count,
                        Py_ssize_t max_count) {
    py::Ref head = py::check(Py_BuildValue("[On]", channel, count));
    py::Ref package = py::call(array_type, n_typecode_b.get(), head.get());
    py::Ref piece = slice(data, py::check(PyLong_FromSsize_t(start)), py::check(PyLong_FromSsize_t(start + count)));
    py::call_method(package.get(), n_extend, piece.get());
    if (count < max_count) {
        py::Ref zeros = py::call(reinterpret_cast<PyObject*>(&PyBytes_Type), py::integer(max_count - count).get());
        py::call_method(package.get(), n_extend, zeros.get());
    }
    return package;
}

// One package of data[start:start+count] padded to `max_count` payload bytes:
// built in C++ when there is an identifier byte (>= 0) and copy_payload can
// read the payload, otherwise the general way.
py::Ref package_of(py::Borrowed array_type, py::Borrowed data, py::Borrowed channel, long identifier, Py_ssize_t start,
                   Py_ssize_t count, Py_ssize_t max_count) {
    std::array<std::uint8_t, protocol::kMaxRecordSize> package;  // every byte used is written first
    auto payload = std::span(package).subspan(2, identifier < 0 ? 0 : static_cast<std::size_t>(count));
    if (identifier < 0 || !copy_payload(data, array_type, start, payload))
        return general_package(array_type, data, channel, start, count, max_count);
    std::size_t size = protocol::build_record(package, static_cast<unsigned>(identifier), payload,  // in place
                                              static_cast<std::size_t>(max_count) + 2);
    return byte_array_of(array_type, package.data(), static_cast<Py_ssize_t>(size));
}

// The payload bytes of a package: _Device.PackageSize - 2 as an index (clamped
// to the index range, as Python's index conversion without an error type clamps).
Py_ssize_t payload_per_package() {
    py::Ref package_size = py::class_attr(global(g_device), n_package_size);
    Py_ssize_t plain = PyLong_CheckExact(package_size) ? PyLong_AsSsize_t(package_size.get()) : -1;
    if (plain != -1 && plain > PY_SSIZE_T_MIN + 1) return plain - 2;
    PyErr_Clear();  // an int outside Py_ssize_t's range (no other error is set here) is clamped below
    py::Ref two = py::integer(2);
    return py::check_size(
        PyNumber_AsSsize_t(py::check(PyNumber_Subtract(package_size.get(), two.get())).get(), nullptr));
}

// The channel number as its packages' identifier byte, or -1 when they are built
// the general way (no int in 0..255, or `max_count` does not fit the count byte).
long identifier_byte(py::Borrowed channel, Py_ssize_t max_count) {
    int overflow = 0;
    long byte = PyLong_Check(channel) ? py::check_value(PyLong_AsLongAndOverflow(channel, &overflow)) : -1;
    bool fits = !overflow && byte >= 0 && byte <= 255 && max_count <= static_cast<Py_ssize_t>(protocol::kMaxCount);
    return fits ? byte : -1;
}

py::Ref channel_write(PyObject* const* a) {
    PyObject* self = a[0];
    if (attr(self, n_in_deque).get() == Py_None) closed_error(self);
    py::Ref data = py::Ref::borrow(a[1]);
    if (PyUnicode_Check(data)) data = py::call_method(data.get(), n_encode, py::str("utf8").get());  // text as UTF-8
    Py_ssize_t size = py::check_size(PyObject_Size(data.get()));
    Py_ssize_t max_count = payload_per_package();
    py::Ref device = attr(self, n_device);
    py::Ref channel = attr(self, n_channel_attr);
    py::Ref array_type = global(g_array);
    long identifier = identifier_byte(channel, max_count);
    Py_ssize_t start = 0, count;
    while ((count = std::min(size - start, max_count)) > 0) {
        // Closed meanwhile (in another thread): no package goes out after the
        // close, whose channel may be opened again by another port.
        if (start > 0 && attr(self, n_in_deque).get() == Py_None) closed_error(self);
        py::Ref package = package_of(array_type, data, channel, identifier, start, count, max_count);
        m_output_data.call(device.get(), package.get());
        start += count;
    }
    return py::check(PyLong_FromSsize_t(start));
}

constexpr const char* kReadDoc =
    "\n\t\t从输入缓存中读取数据。"
    "\n\t\t如果缓存中没有数据，返回空数组（长度为零的数组，不是 None）。"
    "\n\t\t如果返回的数组非空，但长度比 max_size 小，调用者需要再次调用此函数，"
    "\n\t\t直到满足了所需的数据长度，或者返回的是空数组。"
    "\n\t\t";

}  // namespace

py::Ref read_within(PyObject* channel, PyObject* max_size, PyObject* timeout) {
    long long size = clamped(py::require_int(max_size, "max_size"));
    return read(channel, size, Deadline(py::to_float(timeout)));
}

void mark_adapter_lost(PyObject* channel) {
    py::Ref obj = signal_object(channel);
    if (wake::Signal* s = wake::as_signal(obj)) wake::mark_lost(*s);
}

void close_inherited(PyObject* channel, PyObject* keep) {
    for (py::Name* name : {&n_in_deque_lock, &n_config_lock, &n_in_signal}) {
        py::Ref old = py::optional_attr(channel, *name);
        if (old) py::check(PyList_Append(keep, old.get()));
    }
    py::setattr(channel, n_in_deque_lock, py::call(global(g_lock).get()));
    py::setattr(channel, n_config_lock, py::call(global(g_lock).get()));
    py::setattr(channel, n_in_signal, wake::make_signal());
    py::setattr(channel, n_in_deque, Py_None);
}

py::Ref make_channel_class(PyObject* module) {
    using py::Default;
    using py::FunctionDef;
    return py::ClassBuilder("_Channel", module)
        .method(FunctionDef{
            "__init__",
            {{"self"}, {"device", "_Device"}, {"channel_number", "int"}, {"timeout", "float", Default::real(-1.0)}},
            channel_init})
        .method(FunctionDef{"_update_baudrate", {{"self"}, {"package", "_array"}}, channel_update_baudrate})
        .method(FunctionDef{"initialize", {{"self"}, {"baudrate", "int"}}, channel_initialize})
        .property(FunctionDef{"baudrate", {{"self"}}, channel_baudrate_get, "int"},
                  FunctionDef{"baudrate", {{"self"}, {"value", "int"}}, channel_baudrate_set})
        .property(FunctionDef{"name", {{"self"}}, channel_name_get, "str"})
        .method(FunctionDef{"close", {{"self"}}, channel_close})
        .property(FunctionDef{"is_open", {{"self"}}, channel_is_open_get, "bool"})
        .property(FunctionDef{"in_waiting", {{"self"}}, channel_in_waiting_get, "int"})
        .method(FunctionDef{"input_data", {{"self"}, {"data"}}, channel_input_data})
        .method(FunctionDef{"read_until",
                            {{"self"}, {"expected", nullptr, Default::bytes("\n")}, {"size", "int", Default::none()}},
                            channel_read_until,
                            "_array"})
        .method(FunctionDef{"read", {{"self"}, {"max_size", "int"}}, channel_read})
        .method(FunctionDef{"__read", {{"self"}, {"max_size", "int"}}, channel_private_read, nullptr, kReadDoc})
        .method(FunctionDef{"write", {{"self"}, {"data", "_Iterable"}}, channel_write, "int"})
        .property(FunctionDef{"timeout", {{"self"}}, channel_timeout_get, "float"},
                  FunctionDef{"timeout", {{"self"}, {"value", "float"}}, channel_timeout_set})
        .method(FunctionDef{"flush_input", {{"self"}}, channel_flush_input})
        .method(FunctionDef{"reset_input_buffer", {{"self"}}, channel_reset_input_buffer})
        .build();
}

}  // namespace qlix
