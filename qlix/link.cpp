// _Device: one opened adapter. Its USB transport, the reader thread that sorts
// incoming packets, the control channel with its commands and queries, the
// channel count and the table of open channels.
//
// All state lives in the instance __dict__ under class-qualified names, and
// every call to another object (the pyusb device, locks, channels, handlers)
// goes through Python so that fakes, mocks and subclasses are honoured.
#include <array>
#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

#include "link.hpp"
#include "channel.hpp"
#include "module.hpp"
#include "py/lock.hpp"
#include "protocol.hpp"
#include "py/arrays.hpp"

namespace qlix {

namespace {

using py::Ref;

// Instance attributes, in the order the constructor creates them.
py::Name n_dev_manager{"_Device__dev_manager"};
py::Name n_dev{"_Device__dev"};
py::Name n_channel_count_attr{"_Device__channel_count"};
py::Name n_channel_lock{"_Device__channel_lock"};
py::Name n_handlers{"_Device__io_control_handlers"};
py::Name n_handlers_protector{"_Device__io_control_handlers_protector"};
py::Name n_feedback{"_Device__io_control_master_query_feedback"};
py::Name n_master_event{"_Device__io_control_master_event"};
py::Name n_master_protector{"_Device__io_control_master_protector"};
py::Name n_ep_in{"_Device__ep_in"};
py::Name n_ep_out{"_Device__ep_out"};
py::Name n_stop_flag{"_Device__stop_flag"};
py::Name n_input_scanner{"_Device__input_scanner"};
// Made (only) once a query's wait for its reply was interrupted: that
// query's deadline.
py::Name n_master_pending{"_Device__io_control_master_pending"};
// The adapter's state (one of the three names below) and the number of USB
// transfers in progress, set before any USB call.
py::Name n_state{"_Device__state"};
py::Name n_transfers{"_Device__transfers"};
py::Name n_open{"open"};
py::Name n_closing{"closing"};
py::Name n_closed{"closed"};

// Own members called through Python.
py::Name n_device_private_read{"_Device__read"};
py::Name n_device_private_write{"_Device__write"};
py::Name n_query_channel_count{"_Device__query_channel_count"};
py::Name n_input_scanner_function{"input_scanner_function"};
py::Name n_handle_io_control_package{"handle_io_control_package"};
py::Name n_handle_channel_count_response{"handle_channel_count_response"};
py::Name n_master_basic_handler{"master_basic_handler"};
py::Name n_io_control_master_query{"io_control_master_query"};
py::Name n_send_command_raw{"_send_command_to_channel"};

// Other objects' members.
py::Name n_set{"set"};
py::Name n_is_set{"is_set"};
py::Name n_wait{"wait"};
py::Name n_start{"start"};
py::Name n_join{"join"};
py::Name n_is_kernel_driver_active{"is_kernel_driver_active"};
py::Name n_detach_kernel_driver{"detach_kernel_driver"};
py::Name n_get_active_configuration{"get_active_configuration"};
py::Name n_interfaces{"interfaces"};
py::Name n_endpoints{"endpoints"};
py::Name n_address{"bEndpointAddress"};
py::Name n_max_packet_size{"wMaxPacketSize"};
py::Name n_initialize{"initialize"};
py::Name n_close_device{"close_device"};
py::Name n_timeout_error{"USBTimeoutError"};
py::Name n_usb_error{"USBError"};
py::Name n_errno{"errno"};
py::Name n_backend_error_code{"backend_error_code"};
py::Name n_main_thread{"main_thread"};
py::Name n_current_thread{"current_thread"};
py::Name n_enumerate{"enumerate"};
py::Name n_is_alive{"is_alive"};
py::Name n_ident{"ident"};
py::Name n_daemon{"daemon"};
py::Name n_register_atexit{"_register_atexit"};
py::Name n_register{"register"};

// Module globals, read at call time.

// Keyword names.
py::Name n_endpoint{"endpoint"};
py::Name n_size_or_buffer{"size_or_buffer"};
py::Name n_data{"data"};
py::Name n_target{"target"};
py::Name n_channel_number{"channel_number"};
py::KwNames kw_read{n_endpoint, n_size_or_buffer, n_timeout};
py::KwNames kw_write{n_endpoint, n_data, n_timeout};
py::KwNames kw_data{n_data};
py::KwNames kw_target{n_target};
py::KwNames kw_channel{n_channel};
py::KwNames kw_channel_timeout{n_channel_number, n_timeout};
py::KwNames kw_baudrate{n_baudrate};

// Own members on the hot paths, called directly while they are the module's
// (see py::Member).
py::Member m_device_private_read{n_device_private_read};
py::Member m_device_private_write{n_device_private_write};
py::Member m_input_data{n_input_data};

constexpr long kControlAddressBase = 100;
constexpr long kMaxCommandBytes = static_cast<long>(protocol::kMaxPayload);  // 62
constexpr auto kExitCheckInterval = std::chrono::milliseconds(50);
// The reader's read limit, in milliseconds. A reader told to stop is woken at
// once by a reply it asks the adapter for (wake_reader), so this only bounds a
// stop that could not be announced (adapter unplugged, OUT endpoint stalled).
constexpr long kReaderReadLimit = 1000;
// Sent to wake a reader: a control query the adapter answers at once.
constexpr const char* kWakeQuery = "Echo ?";
constexpr double kWakeReplyWait = 0.5;  // as any control query's

const char* const kCloseIfIdleDoc =
    "Closes the adapter and has the registry forget it, unless one of its channels is open.\n\n"
    "For an adapter opened only to be asked (get_hid_device, the listing functions): the close of its last\n"
    "channel does the same. An adapter already closed is only forgotten; nothing is sent to it.\n"
    "Returns True when the adapter had no open channel, False when it was left open.";
const char* const kEchoDoc =
    "\n\t\t向 Hid 设备发送参数指定的字符串，然后接收从设备返回的数据，以字符串形式返回给调用者。"
    "\n\t\t正常情况下，返回的字符串应与参数内容完全相同（由调用者检测）。"
    "\n\t\t参数字符串必须要能以 UTF8 编码为字节串，并且编码所得字节串长度不超过一定长度（约57）"
    "\n\t\t";

// --- small helpers -------------------------------------------------------------

Ref serial_number(PyObject* self) { return attr(self, n_serial_number); }

bool contains(py::Borrowed container, PyObject* key) { return py::check(PySequence_Contains(container, key)) != 0; }

// `0 < channel <= self.channel_count`, else AssertionError with the range
// message (the count is read a second time for the message). Made with and
// without assertions: it keeps bytes off addresses that are no channel's. An
// unknown count (no reply, assertions off) leaves no channel in range.
void assert_channel_in_range(PyObject* self, PyObject* channel) {
    Ref count = attr(self, n_channel_count);
    Ref zero = py::integer(0);
    bool ok = count.get() != Py_None && py::check(PyObject_RichCompareBool(zero.get(), channel, Py_LT)) != 0 &&
              py::check(PyObject_RichCompareBool(channel, count.get(), Py_LE)) != 0;
    if (ok) return;
    Ref again = attr(self, n_channel_count);
    Ref serial = serial_number(self);
    assertion_failed(py::Code{"channel_out_of_range",
                              {{"channel", channel}, {"channel_count", again}, {"serial_number", serial}}},
                     "通道号超出范围 (0, ", again, "]:", serial);
}

// The bytes of a received packet. Unsigned-byte buffers (what pyusb returns)
// are read in place; anything else goes through the sequence protocol, item by
// item, with `bytes()`'s rules for the values.
class PacketBytes {
public:
    explicit PacketBytes(PyObject* package) {
        if (PyObject_CheckBuffer(package) && view_.emplace(package)) {
            data_ = std::span<const std::uint8_t>(view_->data(), static_cast<std::size_t>(view_->size()));
            return;
        }
        Ref seq = py::check(PySequence_Fast(package, "packet is not a sequence of byte values"));
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        copy_.resize(static_cast<std::size_t>(n));
        PyObject** items = PySequence_Fast_ITEMS(seq.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            long v = py::check_value(PyLong_AsLong(items[i]));
            if (v < 0 || v > 255) py::raise(PyExc_ValueError, "bytes must be in range(0, 256)");
            copy_[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
        }
        data_ = std::span<const std::uint8_t>(copy_.data(), copy_.size());
    }
    std::span<const std::uint8_t> span() const noexcept { return data_; }
    // True when the packet was read in place as unsigned bytes.
    bool in_place() const noexcept { return view_ && *view_; }

private:
    std::optional<py::ByteView> view_;
    std::vector<std::uint8_t> copy_;
    std::span<const std::uint8_t> data_;
};

// --- reader threads and process exit ---------------------------------------------

// The threads currently running an adapter's reader loop, each with its
// adapter.
PyObject* s_reader_threads = nullptr;

PyObject* reader_threads() {
    if (!s_reader_threads) s_reader_threads = py::check(PyDict_New()).release();
    return s_reader_threads;
}

// Set by threading's exit hook (below), run by the main thread once it has
// finished its program, before it waits for the other threads.
bool s_main_finished = false;

// Set by the module's atexit hook, once the non-daemon threads have ended.
// Registered after pyusb made its first device, so it runs before pyusb's own
// exit clean-up, which releases every device and the USB library itself:
// from then on the USB calls of the threads still running fail.
bool s_process_ending = false;

bool is_running_reader(py::Borrowed thread) { return py::check(PyDict_Contains(reader_threads(), thread)) != 0; }

void wake_readers_at_exit();

// Registers the current thread as a reader for the life of the loop.
class ReaderRegistration {
public:
    ReaderRegistration(py::Borrowed thread, py::Borrowed device) : thread_(Ref::borrow(thread)) {
        wake_readers_at_exit();
        py::check(PyDict_SetItem(reader_threads(), thread, device));
    }
    ReaderRegistration(const ReaderRegistration&) = delete;
    ReaderRegistration& operator=(const ReaderRegistration&) = delete;
    ~ReaderRegistration() {
        if (py::abandoned()) return;
        py::ErrorScope kept;
        if (PyDict_DelItem(s_reader_threads, thread_.get()) < 0) PyErr_Clear();
    }

private:
    Ref thread_;
};

// Makes the adapter send something, so that a reader waiting in its read
// returns at once and sees that it is to stop (or that the process is
// ending). The wake-up is a control query, sent only while no query is in
// flight (that one's reply wakes the reader anyway) and no late reply is
// awaited, and kept as a query whose reply is still to come: the next query
// waits for that reply and drops it before it sends its own, so the wake-up
// never answers a user's query. Its reply goes to no channel. Best effort:
// when it cannot be sent, the reader still stops within its read limit.
// The adapter whose wake-up the current thread is sending: the one write that
// an adapter whose close has begun still lets through (see Transfer).
thread_local PyObject* t_waking = nullptr;

struct Waking {
    explicit Waking(PyObject* self) noexcept { t_waking = self; }
    Waking(const Waking&) = delete;
    Waking& operator=(const Waking&) = delete;
    ~Waking() { t_waking = nullptr; }
};

bool wake_reader(PyObject* self) {
    bool sent = false;
    py::catch_only(PyExc_Exception, [&] {
        py::try_lock(
            attr(self, n_master_protector),
            [&](py::LockHold&) {
                if (time_left(self, n_master_pending)) return;
                py::call_method(attr(self, n_master_event), n_clear);
                Ref query = py::str(kWakeQuery), zero = py::integer(0);
                Ref wait = py::check(PyFloat_FromDouble(kWakeReplyWait));
                py::on_error(
                    [&] {
                        Waking waking(self);
                        py::call_method(self, n_send_command_raw, query.get(), zero.get());
                    },
                    [&](const py::Fetched& error) {  // an interrupted write may have sent it
                        if (!error.matches(PyExc_Exception)) set_deadline(self, n_master_pending, wait);
                    });
                set_deadline(self, n_master_pending, wait);
                sent = true;
            },
            Py_False);
    });
    return sent;
}

// threading's exit hook, run in the main thread before it waits for the
// remaining threads: wakes every reader, so that one whose adapter is still
// open finds out at once that the process is ending, instead of at the end of
// its read limit. Never raises: exit goes on whatever happens here.
Ref exit_wake_readers(PyObject* const*) {
    s_main_finished = true;
    if (!s_reader_threads) return py::none();
    try {
        Ref devices = py::check(PyDict_Values(s_reader_threads));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(devices.get()); ++i) wake_reader(PyList_GET_ITEM(devices.get(), i));
    } catch (const py::Error&) {
        PyErr_Clear();
    }
    return py::none();
}

Ref exit_mark_ending(PyObject* const*) {
    s_process_ending = true;
    return py::none();
}

// Registers exit_wake_readers with threading and exit_mark_ending with atexit,
// once per process.
void wake_readers_at_exit() {
    static bool registered = false;
    if (registered) return;
    Ref threading = py::check(PyImport_ImportModule("threading"));
    Ref module_name = py::str("ozu_qlix");
    Ref hook =
        py::make_function(py::FunctionDef{"_wake_readers_at_exit", {}, exit_wake_readers}, nullptr, module_name.get());
    // Missing (another Python) or refused (exit already under way): readers
    // then find out within their read limit.
    py::catch_only(PyExc_Exception, [&] { py::call_method(threading, n_register_atexit, hook.get()); });
    Ref ending =
        py::make_function(py::FunctionDef{"_mark_process_ending", {}, exit_mark_ending}, nullptr, module_name.get());
    py::catch_only(PyExc_Exception, [&] {
        Ref atexit = py::check(PyImport_ImportModule("atexit"));
        py::call_method(atexit, n_register, ending.get());
    });
    registered = true;
}

// True once the main thread has finished and nothing but daemon threads and
// adapter readers is left: then no reader may keep the process alive.
bool process_is_ending(py::Borrowed main_thread, py::Borrowed enumerate) {
    if (!s_main_finished && py::truth(py::call_method(main_thread, n_is_alive))) return false;
    Ref threads = py::check(PySequence_Fast(py::call(enumerate).get(), "threading.enumerate() must return a sequence"));
    Py_ssize_t n = PySequence_Fast_GET_SIZE(threads.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* t = PySequence_Fast_GET_ITEM(threads.get(), i);
        if (t == main_thread) continue;
        if (is_running_reader(t)) continue;
        if (py::truth(attr(t, n_daemon))) continue;
        if (py::truth(py::call_method(t, n_is_alive))) return false;
    }
    return true;
}

}  // namespace

// The failure of a USB call on a thread the interpreter is about to end, once
// the process is ending: pyusb's exit clean-up, not the adapter's. Raised, it
// would print a traceback from that thread during the exit (on Python 3.14 a
// thread held while it writes to stderr aborts the exit). Such a thread, not
// the main thread and not a reader, waits for the interpreter to end it
// instead; after kExitHold (something at exit waits for it after all) the
// error goes on. The closed adapter's own error goes on at once.
void hold_failure_at_exit() {
    static thread_local bool held = false;  // once: an outer call's failure is not held again
    if (!s_process_ending || held) py::throw_error();
    py::Fetched error = py::Fetched::take();
    bool hold = false;
    py::catch_only(PyExc_Exception, [&] {
        Ref threading = py::check(PyImport_ImportModule("threading"));
        Ref current = py::call_method(threading, n_current_thread);
        hold = !is_closed_adapter_error(error.get()) &&
               current.get() != py::call_method(threading, n_main_thread).get() && !is_running_reader(current);
    });
    if (hold) {
        held = true;
        py::poll_until(
            limits::kExitHold, [] { return false; },
            [] {
                py::catch_only(PyExc_Exception, [&] {
                    Ref pause = py::check(PyFloat_FromDouble(0.05));
                    py::call(host_sleep(), pause.get());
                });
            });
    }
    error.restore();
    py::throw_error();
}

namespace {

// Where the last record header of a packet may start (`_Device.PackageSize` - 2).
std::size_t record_max_index() {
    Ref package_size = py::getattr(global(g_device), n_package_size);
    long long max = PyLong_AsLongLong(package_size.get()) - 2;
    if (max == -3 && PyErr_Occurred()) py::throw_error();
    return static_cast<std::size_t>(max > 0 ? max : 0);
}

// Dispatches the records of one received packet.
void walk_packet(PyObject* self, py::Borrowed package, std::size_t max_index) {
    PacketBytes bytes(package);
    // Slices of a host array of unsigned bytes (what pyusb returns) are made
    // from its bytes directly: the same new arrays as slicing it.
    bool host_bytes = bytes.in_place() && py::is_host_array(package);
    auto cut = [&](Py_ssize_t begin, Py_ssize_t end) {
        if (host_bytes) return py::new_byte_array(bytes.span().data() + begin, end - begin);
        return py::get_slice(package, begin, end);
    };
    protocol::RecordWalker walker(bytes.span(), max_index);
    protocol::Record record{};
    Ref channels;
    while (walker.next(record)) {
        auto begin = static_cast<Py_ssize_t>(record.begin), end = static_cast<Py_ssize_t>(record.end);
        if (record.channel < protocol::kControlChannel) {
            if (!channels) channels = attr(self, n_device_channels);
            Ref key = py::integer(record.channel);
            Ref channel_obj = py::lookup(channels, key);
            if (!channel_obj) continue;  // not opened: dropped
            Ref data = cut(begin, end);
            m_input_data.call(channel_obj.get(), data.get());
        } else if (record.channel == protocol::kControlChannel) {
            Ref data = cut(begin, end);
            Ref event = attr(self, n_master_event);
            if (!py::truth(py::call_method(event, n_is_set))) {
                py::setattr(self, n_feedback, data);
                py::call_method(event, n_set);
            }
        } else {
            Ref data = cut(begin, end);
            Ref channel = py::integer(static_cast<long long>(record.channel) - kControlAddressBase);
            py::call_method_kw(self, n_handle_io_control_package, kw_channel, data.get(), channel.get());
        }
    }
}

// --- construction and transport ----------------------------------------------------

void shut_down(PyObject* self, py::Borrowed dev, py::FirstError& failed);

// The attributes set before any USB call.
void store_state(PyObject* self, PyObject* dev_manager, PyObject* dev) {
    py::setattr(self, n_dev_manager, dev_manager);
    py::setattr(self, n_dev, dev);
    py::setattr(self, n_channel_count_attr, Py_None);
    py::setattr(self, n_device_channels, py::check(PyDict_New()));
    py::setattr(self, n_channel_lock, py::call(global(g_lock)));
    py::setattr(self, n_handlers, py::check(PyDict_New()));
    py::setattr(self, n_handlers_protector, py::call(global(g_lock)));
    py::setattr(self, n_feedback, Py_None);
    py::setattr(self, n_master_event, py::call(global(g_event)));
    py::setattr(self, n_master_protector, py::call(global(g_lock)));
    py::setattr(self, n_state, n_open);
    py::setattr(self, n_transfers, py::integer(0));
}

// Detaches a kernel driver from interface 0 where the backend can.
void detach_kernel_driver(PyObject* dev) {
    Ref zero = py::integer(0);
    py::catch_only(PyExc_NotImplementedError, [&] {
        if (py::truth(py::call_method(dev, n_is_kernel_driver_active, zero.get())))
            py::call_method(dev, n_detach_kernel_driver, zero.get());
    });
}

// Endpoints of interface 0: IN first, OUT second, as the adapter lists them.
void store_endpoints(PyObject* self, PyObject* dev) {
    Ref zero = py::integer(0);
    Ref config = py::call_method(dev, n_get_active_configuration);
    Ref interfaces = py::call_method(config, n_interfaces);
    Ref interface = py::check(PyObject_GetItem(interfaces.get(), zero.get()));
    Ref one = py::integer(1);
    py::setattr(self, n_ep_in, py::check(PyObject_GetItem(py::call_method(interface, n_endpoints).get(), zero.get())));
    py::setattr(self, n_ep_out, py::check(PyObject_GetItem(py::call_method(interface, n_endpoints).get(), one.get())));
}

// Claims interface 0 of a pyusb device now, so that an adapter held by
// another process fails here, where the caller gets the error, rather than at
// the reader thread's first transfer. (Stand-ins for pyusb devices are left
// as they are: pyusb claims on the first transfer anyway.)
void claim_interface(PyObject* dev) {
    static py::Name n_claim_interface{"claim_interface"};
    if (!py::check(PyObject_IsInstance(dev, global(g_usb_device).get()))) return;
    Ref util = py::check(PyImport_ImportModule("usb.util"));
    Ref zero = py::integer(0);
    py::call_method(util, n_claim_interface, dev, zero.get());
}

void start_reader(PyObject* self) {
    py::setattr(self, n_stop_flag, Py_False);
    Ref target = attr(self, n_input_scanner_function);
    Ref thread = py::call_kw(global(g_thread), kw_target, target.get());
    py::setattr(self, n_input_scanner, thread);
    py::call_method(thread, n_start);
}

Ref device_init(PyObject* const* a) {
    PyObject *self = a[0], *dev = a[2];
    store_state(self, a[1], dev);
    // A failure from here on (Ctrl-C included) leaves nothing behind: the
    // reader, if it started, is stopped and the USB device released.
    try {
        detach_kernel_driver(dev);
        store_endpoints(self, dev);
        claim_interface(dev);
        start_reader(self);
    } catch (const py::Error&) {
        explain_open_error(dev);
        py::FirstError failed;
        failed.keep();
        failed.run([&] { shut_down(self, dev, failed); });
        failed.finish();
    }
    return py::none();
}

// The number of USB transfers in progress (0 when not counted).
long long transfers(PyObject* self) {
    Ref n = py::optional_attr(self, n_transfers);
    if (!n || !PyLong_CheckExact(n)) return 0;
    return PyLong_AsLongLong(n.get());
}

// Raises the error of a transfer refused because the adapter has closed: a
// USBError "no such device" of the module's own (no backend error code).
[[noreturn]] void raise_closed_adapter(PyObject* self) {
    Ref serial = serial_number(self);
    Ref message = py::text("USB 设备[QLIX", serial, "S]已关闭");
    Ref code = py::integer(ENODEV);
    Ref error = py::call(py::getattr(global(g_usb_core), n_usb_error), message.get(), Py_None, code.get());
    py::set_code(error.get(), {"adapter_closed", {{"serial_number", serial}}});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    py::throw_error();
}

// One USB transfer, counted while it runs. Once the adapter is closing no
// write starts (but the close's own wake-up of the reader), and once it is
// closed no read (the reader reads on until it is
// stopped, so that a query already sent gets its reply): pyusb would open the
// released device again for them, and that handle would never be released.
// The check and the count are one step under the GIL (no Python code runs
// between them), and close waits for the count to drop to 0 before it
// releases the device.
class Transfer {
public:
    Transfer(PyObject* self, bool write) : self_(self) {
        DeviceState state = device_state(self);
        bool refused = write ? state != DeviceState::open && !(state == DeviceState::closing && t_waking == self)
                             : state == DeviceState::closed;
        if (refused) raise_closed_adapter(self);
        py::setattr(self, n_transfers, py::integer(transfers(self) + 1));
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
        if (py::abandoned()) return;
        py::ErrorScope kept;
        try {
            py::setattr(self_, n_transfers, py::integer(transfers(self_) - 1));
        } catch (const py::Error&) {
            PyErr_Clear();
        }
    }

private:
    PyObject* self_;
};

Ref device_read(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* timeout = py::require_int(a[1], "timeout");
    try {
        Transfer transfer(self, false);
        Ref dev = attr(self, n_dev);
        Ref ep = attr(self, n_ep_in);
        Ref address = attr(ep, n_address);
        Ref size = attr(ep, n_max_packet_size);
        return py::call_method_kw(dev, n_read, kw_read, address.get(), size.get(), timeout);
    } catch (const py::Error&) {
        hold_failure_at_exit();
    }
}

Ref device_write(PyObject* const* a) {
    PyObject *self = a[0], *data = a[1];
    PyObject* timeout = py::require_int(a[2], "timeout");
    try {
        Transfer transfer(self, true);
        Ref dev = attr(self, n_dev);
        Ref ep = attr(self, n_ep_out);
        Ref address = attr(ep, n_address);
        return py::call_method_kw(dev, n_write, kw_write, address.get(), data, timeout);
    } catch (const py::Error&) {
        hold_failure_at_exit();
    }
}

// A short sleep between the attempts of a clean-up step.
void pause(py::FirstError& failed) {
    failed.run([&] {
        Ref pause = py::check(PyFloat_FromDouble(0.001));
        py::call(global(g_sleep), pause.get());
    });
}

// Joins a reader thread whose stop flag is set. It ends within one read
// time-out, so an interrupted join (Ctrl-C) is made again, and a thread whose
// start was interrupted is waited for until it has started; the first such
// error is kept in `failed`. Any other error (joining the current thread) is
// kept and ends the attempt.
void join_reader(py::Borrowed thread, py::FirstError& failed) {
    py::poll_until(limits::kJoinAttempts, [&] {
        py::Fetched refused{py::Fetched::nothing()};
        try {
            refused = py::catch_only(PyExc_RuntimeError, [&] { py::call_method(thread, n_join); });
        } catch (const py::Error&) {
            bool again = py::interrupted();  // interrupted: join again
            failed.keep();
            return !again;
        }
        if (!refused) return true;
        // Refused: the current thread (it stays alive), or a thread not
        // started yet (it will start in a moment).
        bool alive = false;  // asked again after an interrupted answer
        failed.run([&] { alive = py::truth(py::call_method(thread, n_is_alive)); });
        if (alive) {
            refused.restore();
            failed.keep();
            return true;
        }
        pause(failed);
        return false;
    });
}

// True when `thread` is the current thread.
bool is_current(py::Borrowed thread) {
    Ref ident = attr(thread, n_ident);
    Ref current = py::check(PyLong_FromUnsignedLong(PyThread_get_thread_ident()));
    return py::check(PyObject_RichCompareBool(ident.get(), current.get(), Py_EQ)) != 0;
}

// Waits until a reader thread whose stop flag is set has left its loop (after
// that it no longer touches the USB device). Its join is not enough: an
// interrupted Thread.join (Python 3.12) can mark a thread that still runs as
// stopped, and then joins return at once. Bounded: the loop ends within one
// read time-out.
void await_reader_end(py::Borrowed thread, py::FirstError& failed) {
    py::poll_until(
        limits::kCloseWait,
        [&] {
            bool running = false;
            failed.run_to_end([&] { running = is_running_reader(thread); });
            if (!running) return true;
            bool current = true;  // not waited for when not known
            failed.run_to_end([&] { current = is_current(thread); });
            return current;
        },
        [&] { pause(failed); });
}

// After the reader has left its loop: when it left before the reply to its
// wake-up came, takes that reply off the IN endpoint, so that the adapter's
// next opening does not find it there as the answer to its first query.
// Bounded by the reply's deadline; a USB failure ends it quietly.
void drain_wake_reply(PyObject* self) {
    py::catch_only(PyExc_Exception, [&] {
        std::size_t max_index = record_max_index();
        Ref event = attr(self, n_master_event);
        Ref timeout_error = py::getattr(global(g_usb_core), n_timeout_error);
        while (!py::truth(py::call_method(event, n_is_set))) {
            Ref left = time_left(self, n_master_pending);
            if (!left) return;
            double seconds = py::check_value(PyFloat_AsDouble(left.get()));
            Ref limit = py::integer(static_cast<long long>(seconds * 1000.0) + 1);
            Ref package;
            if (py::catch_only(timeout_error, [&] { package = m_device_private_read.call(self, limit.get()); })) return;
            walk_packet(self, package, max_index);
        }
    });
}

// The close goes on: nothing is written any more, and the reader stops.
void begin_closing(PyObject* self) {
    if (device_is_open(self)) py::setattr(self, n_state, n_closing);
    py::setattr(self, n_stop_flag, Py_True);
}

// No write starts any more; a control query already sent still gets its reply
// while the reader runs (waited for, within the longest query time-out): left
// unread, it would answer the first query of the adapter's next opening.
void stop_writes(PyObject* self, py::FirstError& failed) {
    failed.run([&] {
        if (device_is_open(self)) py::setattr(self, n_state, n_closing);
    });
    failed.run([&] {
        Ref wait = py::check(PyFloat_FromDouble(1.5));
        py::try_lock(attr(self, n_master_protector), [](py::LockHold&) {}, Py_True, wait.get());
    });
}

// Waits until the USB transfers that started before the close have ended
// (each within its time-out). Bounded.
void await_transfers(PyObject* self, py::FirstError& failed) {
    py::poll_until(
        limits::kCloseWait,
        [&] {
            long long left = 0;
            failed.run_to_end([&] { left = transfers(self); });
            return left <= 0;
        },
        [&] { pause(failed); });
}

// What a forked child inherited and must never let go: the parent's pyusb
// devices (releasing one would release the parent's claim on the adapter
// through the USB file both processes share), and the locks and signals that
// threads of the parent may have held at the fork. Strong, never released.
PyObject* s_inherited = nullptr;

bool is_inherited(PyObject* device) {
    if (!s_inherited) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(s_inherited); ++i)
        if (PyList_GET_ITEM(s_inherited, i) == device) return true;
    return false;
}

// Once nothing uses the USB device any more: releases it (unless it is the
// parent's, in a forked child); the adapter is closed.
void release_device(PyObject* self, py::Borrowed dev, py::FirstError& failed) {
    await_transfers(self, failed);
    if (!is_inherited(self)) failed.run_to_end([&] { py::call(global(g_close_usb_device), dev); });
    failed.run_to_end([&] { py::setattr(self, n_state, n_closed); });
}

// Stops the reader (if there is one), then releases the USB device; every step
// runs whatever the others raise.
void shut_down(PyObject* self, py::Borrowed dev, py::FirstError& failed) {
    stop_writes(self, failed);
    failed.run([&] { begin_closing(self); });
    Ref thread;  // none when not created: nothing to stop
    failed.run([&] { thread = py::optional_attr(self, n_input_scanner); });
    if (thread) {
        bool waiting = false;  // a reader of its own, not the current thread, still in its loop
        failed.run([&] { waiting = is_running_reader(thread) && !is_current(thread); });
        bool woken = false;
        if (waiting) failed.run([&] { woken = wake_reader(self); });
        join_reader(thread, failed);
        await_reader_end(thread, failed);
        if (woken) failed.run([&] { drain_wake_reply(self); });
    }
    release_device(self, dev, failed);
}

Ref device_close(PyObject* const* a) {
    PyObject* self = a[0];
    py::FirstError failed;
    Ref dev = attr(self, n_dev);
    shut_down(self, dev, failed);
    failed.finish();
    return py::none();
}

Ref device_serial_number_get(PyObject* const* a) { return py::result_str(attr(attr(a[0], n_dev), n_serial_number)); }

// --- channel count -----------------------------------------------------------------

Ref device_query_channel_count(PyObject* const* a) {
    PyObject* self = a[0];
    Ref command = py::str("ChannelCount?");
    Ref handler = py::getattr(global(g_device), n_handle_channel_count_response);
    Ref timeout = py::integer(1);
    Ref before = attr(self, n_feedback);  // a reply replaces it, even one that is no count
    Ref count = py::call_method(self, n_io_control_master_query, command.get(), handler.get(), timeout.get());
    py::setattr(self, n_channel_count_attr, count);
    if (asserting() && count.get() == Py_None) {
        Ref after = attr(self, n_feedback);
        Ref serial = serial_number(self);
        if (after.get() != before.get() && after.get() != Py_None)  // a reply came: not a time-out
            assertion_failed(py::Code{"channel_count_invalid", {{"serial_number", serial}}},
                             "通道数量查询结果异常:", serial);
        assertion_failed(py::Code{"channel_count_timeout", {{"serial_number", serial}}},
                         "查询设备通道数量超时:", serial);
    }
    return py::none();
}

Ref device_channel_count_get(PyObject* const* a) {
    PyObject* self = a[0];
    if (attr(self, n_channel_count_attr).get() == Py_None) py::call_method(self, n_query_channel_count);
    return py::result_int(attr(self, n_channel_count_attr));
}

Ref device_handle_channel_count_response(PyObject* const* a) {
    PyObject* package = a[0];
    Ref count;
    py::Fetched invalid = py::catch_only(PyExc_ValueError, [&] {
        count = py::check(PyNumber_Long(py::call(reinterpret_cast<PyObject*>(&PyBytes_Type), package).get()));
    });
    if (!invalid) return count;
    write_stderr(py::text("ChannelCount command feedback invalid: [", package, "]"));
    return py::none();
}

// --- reader thread --------------------------------------------------------------------

Ref device_handle_io_control_package(PyObject* const* a) {
    PyObject *self = a[0], *package = a[1];
    PyObject* channel = py::require_int(a[2], "channel");
    py::with_lock(attr(self, n_handlers_protector), [&](py::LockHold&) {
        Ref handler = py::lookup(attr(self, n_handlers), channel);
        if (!handler) return;
        py::Fetched error = py::catch_only(PyExc_Exception, [&] { py::call(handler.get(), package); });
        if (error) write_stderr(py::text("处理 IOControl 命令时出错：[", error.get(), "]:", serial_number(self)));
    });
    return py::none();
}

// The reader has failed: every open channel's reads end (with an error once
// their queue is empty). Done under the GIL, without taking any lock, so it
// cannot fail for the state of the adapter; a Python error here is reported
// and the reader's own error stays the one raised.
void channels_lost(PyObject* self) {
    py::ErrorScope kept;
    try {
        Ref channels = py::check(PySequence_List(py::call_method(attr(self, n_device_channels), n_values).get()));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(channels.get()); ++i)
            mark_adapter_lost(PyList_GET_ITEM(channels.get(), i));
    } catch (const py::Error&) {
        PyErr_WriteUnraisable(self);
    }
}

// The reader has failed: the adapter closes (its USB device released once the
// transfers in progress have ended) and leaves the registry, so that the next
// lookup opens the adapter afresh. Its channels stay in the table until they
// are closed. Errors are reported, as everything on this thread.
void close_after_failure(PyObject* self) {
    py::FirstError failed;
    failed.run([&] { begin_closing(self); });
    Ref dev;
    failed.run([&] { dev = attr(self, n_dev); });
    if (dev) release_device(self, dev, failed);
    failed.run([&] { py::call_method(attr(self, n_dev_manager), n_close_device, self); });
    try {
        failed.finish();
    } catch (const py::Error&) {
        PyErr_WriteUnraisable(self);
    }
}

Ref device_input_scanner_function(PyObject* const* a) {
    PyObject* self = a[0];
    std::size_t max_index = record_max_index();

    Ref threading = py::check(PyImport_ImportModule("threading"));
    Ref main_thread = py::call_method(threading, n_main_thread);
    Ref enumerate = attr(threading, n_enumerate);
    ReaderRegistration registration(py::call_method(threading, n_current_thread), self);
    Ref limit = py::integer(kReaderReadLimit);
    auto last_check = std::chrono::steady_clock::now();
    bool told_main_finished = false;

    for (;;) {
        if (py::truth(attr(self, n_stop_flag))) return py::none();
        auto now = std::chrono::steady_clock::now();
        // Checked at most every interval, and at once when the exit hook has
        // woken the reader.
        if (now - last_check >= kExitCheckInterval || s_main_finished != told_main_finished) {
            last_check = now;
            told_main_finished = s_main_finished;
            if (process_is_ending(main_thread, enumerate)) return py::none();
        }
        try {
            Ref package = m_device_private_read.call(self, limit.get());
            walk_packet(self, package, max_index);
        } catch (const py::Error&) {
            py::Fetched error = py::Fetched::take();
            Ref timeout_error = py::getattr(global(g_usb_core), n_timeout_error);
            if (error.matches(timeout_error)) continue;  // idle: no packet within the read time-out
            // Closing: the read was refused (or ended) because of the close, not failed.
            if (error.matches(PyExc_Exception) && !device_is_open(self)) return py::none();
            // Failed: from now on no lookup hands the adapter out (it closes below).
            if (error.matches(PyExc_Exception)) {
                try {
                    begin_closing(self);
                } catch (const py::Error&) {
                    PyErr_WriteUnraisable(self);
                }
            }
            channels_lost(self);
            if (!error.matches(PyExc_Exception)) error.restore_and_throw();
            write_stderr(
                py::text("USB 设备[QLIX", serial_number(self), "S]读取数据失败，有可能是设备已拔出：", error.get()));
            close_after_failure(self);
            return py::none();
        }
    }
}

// --- channel table and data output ------------------------------------------------------

// With the channel lock held and no channel open: closes the adapter and
// removes it from the registry (even when its close was interrupted), then
// releases the lock.
void close_adapter(PyObject* self, py::LockHold& held) {
    py::FirstError failed;
    failed.run([&] { py::call_method(self, n_close); });
    failed.run_to_end([&] { py::call_method(attr(self, n_dev_manager), n_close_device, self); });
    failed.run([&] { held.release(); });
    failed.finish();
}

// A failed open leaves nothing behind: with no channel open on it, the adapter
// closes as the close of its last channel would.
void close_if_unused(PyObject* self) {
    py::with_lock(attr(self, n_channel_lock), [&](py::LockHold& held) {
        if (!py::truth(attr(self, n_device_channels))) close_adapter(self, held);
    });
}

Ref device_open_channel(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* channel = py::require_int(a[1], "channel");
    PyObject* baudrate = py::require_int(a[2], "baudrate");
    Ref timeout = py::to_float(a[3]);
    Ref channel_obj = py::on_error(
        [&] {
            // Closed meanwhile (its last channel was closed in another thread):
            // that is what the open ran into, not the query.
            py::on_error([&] { assert_channel_in_range(self, channel); },  // may ask for the channel count
                         [&](const py::Fetched& error) {
                             if (error.matches(PyExc_Exception) && !device_is_open(self)) raise_closed_adapter(self);
                         });
            return py::with_lock(attr(self, n_channel_lock), [&](py::LockHold&) {
                // A closing adapter takes no channel: the registry hands out a fresh one.
                if (!device_is_open(self)) raise_closed_adapter(self);
                Ref channels = attr(self, n_device_channels);
                if (contains(channels, channel)) {
                    Ref serial = serial_number(self);
                    assertion_failed(py::Code{"channel_already_open",
                                              {{"channel", channel}, {"serial_number", serial}}},
                                     "通道[", channel, "]已经打开:", serial);
                }
                Ref made = py::call_kw(global(g_channel), kw_channel_timeout, self, channel, timeout.get());
                py::check(PyObject_SetItem(channels.get(), channel, made.get()));
                return made;
            });
        },
        [&] { close_if_unused(self); });

    // Any failure of the initialisation (an interruption by Ctrl-C too) closes
    // the channel again, so that it can be opened later.
    py::on_error([&] { py::call_method_kw(channel_obj, n_initialize, kw_baudrate, baudrate); },
                 [&] { py::call_method(channel_obj, n_close); });
    return channel_obj;
}

Ref device_close_channel(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* channel = py::require_int(a[1], "channel");
    py::with_lock(attr(self, n_channel_lock), [&](py::LockHold& held) {
        Ref channels = attr(self, n_device_channels);
        if (contains(channels, channel)) py::check(PyObject_DelItem(channels.get(), channel));
        if (!py::truth(channels)) close_adapter(self, held);
    });
    return py::none();
}

// Closes an adapter none of whose channels is open (one opened only to be
// asked) and has the registry forget it, as the close of its last channel
// does; an adapter with an open channel is left as it is. One closed already
// (its reader failed) is only forgotten: its USB device is released, and
// nothing is sent. True when the adapter was idle.
Ref device_close_if_idle(PyObject* const* a) {
    PyObject* self = a[0];
    bool idle = false;
    py::with_lock(attr(self, n_channel_lock), [&](py::LockHold& held) {
        idle = !py::truth(attr(self, n_device_channels));
        if (!idle) return;
        if (device_state(self) != DeviceState::closed) close_adapter(self, held);
        else py::call_method(attr(self, n_dev_manager), n_close_device, self);
    });
    return py::boolean(idle);
}

Ref device_output_data(PyObject* const* a) {
    PyObject *self = a[0], *data = a[1];
    if (asserting()) {
        Py_ssize_t n = py::check_size(PyObject_Size(data));
        if (n != static_cast<Py_ssize_t>(protocol::kPackageSize)) {
            Ref serial = serial_number(self);
            assertion_failed(py::Code{"packet_size", {{"size", static_cast<long long>(n)}, {"serial_number", serial}}},
                             "只支持长度为 ", static_cast<long long>(protocol::kPackageSize), " 的数据包:", serial);
        }
    }
    Ref size = m_device_private_write.call_kw(self, kw_data.get(), data);
    if (asserting()) {
        // size >= PackageSize; an exact int is compared by value.
        int overflow = 0;
        long long n =
            PyLong_CheckExact(size) ? py::check_value(PyLong_AsLongLongAndOverflow(size.get(), &overflow)) : 0;
        if (PyLong_CheckExact(size) && !overflow) {
            if (n < static_cast<long long>(protocol::kPackageSize))
                assertion_failed(py::Code{"short_write", {{"size", size}}});
        } else {
            Ref full = py::integer(static_cast<long long>(protocol::kPackageSize));
            if (!py::check(PyObject_RichCompareBool(size.get(), full.get(), Py_GE)))
                assertion_failed(py::Code{"short_write", {{"size", size}}});
        }
    }
    return py::none();
}

// --- control channel --------------------------------------------------------------------

Ref device_private_send_command_to_channel(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* command = py::require_str(a[1], "command");
    PyObject* channel = py::require_int(a[2], "channel");
    Ref cmd = py::check(PyUnicode_AsUTF8String(command));
    Ref code = py::str("B");

    // The identifier byte: an address outside 0..255 is refused by the byte
    // array itself, with its own OverflowError.
    Ref base = py::integer(kControlAddressBase);
    Ref ident = py::check(PyNumber_Add(channel, base.get()));
    int overflow = 0;
    long long address = py::check_value(PyLong_AsLongLongAndOverflow(ident.get(), &overflow));
    if (overflow || address < 0 || address > 255) {
        Ref header = py::check(Py_BuildValue("[Oi]", ident.get(), 0));
        py::call(global(g_array), code.get(), header.get());
        py::raise(PyExc_OverflowError, "unsigned byte integer is out of range");
    }

    // The address fits a byte, so only a count over 255 makes no packet.
    std::array<std::uint8_t, protocol::kMaxRecordSize> package;
    std::span<const std::uint8_t> text(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(cmd.get())),
                                       static_cast<std::size_t>(PyBytes_GET_SIZE(cmd.get())));
    std::size_t size = protocol::build_command(package, static_cast<unsigned>(address), text);
    if (size == 0) py::raise(PyExc_OverflowError, "unsigned byte integer is greater than maximum");
    if (asserting() && size > protocol::kPackageSize) {
        Ref serial = serial_number(self);
        assertion_failed(py::Code{"command_too_long",
                                  {{"command", command},
                                   {"max_bytes", static_cast<long long>(kMaxCommandBytes)},
                                   {"serial_number", serial}}},
                         "命令[", command, "]过长。包含命令结束符后，长度不能超过[", kMaxCommandBytes,
                         "]个字节:", serial);
    }

    Ref raw = py::check(
        PyBytes_FromStringAndSize(reinterpret_cast<const char*>(package.data()), static_cast<Py_ssize_t>(size)));
    Ref packet = py::call(global(g_array), code.get(), raw.get());
    py::call_method(self, n_device_private_write, packet.get());
    return py::none();
}

Ref device_send_command_to_channel(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* command = py::require_str(a[1], "command");
    PyObject* channel = py::require_int(a[2], "channel");
    assert_channel_in_range(self, channel);
    py::call_method(self, n_send_command_raw, command, channel);
    return py::none();
}

Ref device_io_control_master_query(PyObject* const* a) {
    PyObject *self = a[0], *command = py::require_str(a[1], "command"), *handler = a[2];
    Ref timeout = py::to_float(a[3]);
    if (asserting()) {
        Ref mark = py::str("?");
        if (!py::check(static_cast<int>(PyUnicode_Tailmatch(command, mark.get(), 0, PY_SSIZE_T_MAX, 1)))) {
            Ref serial = serial_number(self);
            assertion_failed(py::Code{"query_without_question_mark", {{"command", command}, {"serial_number", serial}}},
                             "查询指令必须要以英文问号[?]结尾:", serial);
        }
    }
    return py::with_lock(attr(self, n_master_protector), [&](py::LockHold&) {
        Ref event = attr(self, n_master_event);
        // Replies carry no query identity: the reply to a query whose wait was
        // interrupted (Ctrl-C) may still come, and would answer this one. Until
        // that query's own deadline it is waited for and dropped first.
        if (Ref left = time_left(self, n_master_pending)) {
            py::call_method(event, n_wait, left.get());
            py::setattr(self, n_master_pending, Py_None);
        }
        py::call_method(event, n_clear);
        Ref zero = py::integer(0);
        bool writing = true;
        Ref replied = py::on_error(
            [&] {
                py::call_method(self, n_send_command_raw, command, zero.get());
                writing = false;
                return py::call_method(event, n_wait, timeout.get());
            },
            [&](const py::Fetched& error) {
                // The reply may still come, unless the write failed outright
                // (an interrupted write may have sent the query).
                if (!writing || !error.matches(PyExc_Exception)) set_deadline(self, n_master_pending, timeout);
            });
        if (py::truth(replied)) return py::call(handler, attr(self, n_feedback).get());
        return py::none();
    });
}

Ref device_master_basic_handler(PyObject* const* a) {
    Ref bytes = py::call(reinterpret_cast<PyObject*>(&PyBytes_Type), a[0]);
    const char* data = PyBytes_AS_STRING(bytes.get());
    Py_ssize_t size = PyBytes_GET_SIZE(bytes.get());
    Ref text;
    if (!py::catch_only(PyExc_UnicodeDecodeError, text, [&] { return PyUnicode_DecodeUTF8(data, size, "strict"); }))
        return text;
    return py::check(PyUnicode_DecodeLatin1(data, size, "strict"));
}

Ref basic_query(PyObject* self, py::Borrowed command) {
    Ref handler = py::getattr(global(g_device), n_master_basic_handler);
    return py::result_str(py::call_method(self, n_io_control_master_query, command, handler.get()));
}

Ref device_echo(PyObject* const* a) {
    PyObject* content = py::require_str(a[1], "content");
    return basic_query(a[0], py::text("Echo ", content, "?"));
}

Ref device_firmware_version_get(PyObject* const* a) { return basic_query(a[0], py::str("Version?")); }

Ref device_set_io_control_handler_for_channel(PyObject* const* a) {
    PyObject *self = a[0], *handler = a[1];
    PyObject* channel = py::require_int(a[2], "channel");
    assert_channel_in_range(self, channel);
    py::with_lock(attr(self, n_handlers_protector),
                  [&](py::LockHold&) { py::check(PyObject_SetItem(attr(self, n_handlers).get(), channel, handler)); });
    return py::none();
}

Ref device_reset_io_control_handler_for_channel(PyObject* const* a) {
    PyObject* self = a[0];
    PyObject* channel = py::require_int(a[1], "channel");
    py::with_lock(attr(self, n_handlers_protector), [&](py::LockHold&) {
        Ref handlers = attr(self, n_handlers);
        if (contains(handlers, channel)) py::check(PyObject_DelItem(handlers.get(), channel));
    });
    return py::none();
}

// --- fork ----------------------------------------------------------------------------

// Closes, in a forked child, an adapter of the parent: closed without a
// transfer (both refuse from now on), its channels closed and forgotten.
void close_inherited_device(PyObject* device) {
    if (is_inherited(device)) return;
    py::check(PyList_Append(s_inherited, device));
    for (py::Name* name :
         {&n_dev, &n_device_channels, &n_channel_lock, &n_handlers_protector, &n_master_event, &n_master_protector}) {
        Ref old = py::optional_attr(device, *name);
        if (old) py::check(PyList_Append(s_inherited, old.get()));
    }
    py::setattr(device, n_state, n_closed);
    py::setattr(device, n_stop_flag, Py_True);
    py::setattr(device, n_transfers, py::integer(0));
    py::setattr(device, n_channel_lock, py::call(global(g_lock)));
    py::setattr(device, n_handlers_protector, py::call(global(g_lock)));
    py::setattr(device, n_master_protector, py::call(global(g_lock)));
    py::setattr(device, n_master_event, py::call(global(g_event)));
    Ref channels = py::optional_attr(device, n_device_channels);
    py::setattr(device, n_device_channels, py::check(PyDict_New()));
    if (!channels) return;
    Ref list = py::check(PySequence_List(py::call_method(channels, n_values).get()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i)
        close_inherited(PyList_GET_ITEM(list.get(), i), s_inherited);
}

// os.register_at_fork's after_in_child hook: the parent's adapters (those it
// had registered, and those whose reader ran) are closed here. An adapter
// that cannot be is reported; the others are closed all the same.
Ref after_fork_in_child(PyObject* const*) {
    if (!s_inherited) s_inherited = py::check(PyList_New(0)).release();
    Ref devices = py::check(PyList_New(0));
    if (s_reader_threads) {
        Ref running = py::check(PyDict_Values(s_reader_threads));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(running.get()); ++i)
            py::check(PyList_Append(devices.get(), PyList_GET_ITEM(running.get(), i)));
        PyDict_Clear(s_reader_threads);  // no reader runs here
    }
    forget_registered(devices, s_inherited);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(devices.get()); ++i) {
        PyObject* device = PyList_GET_ITEM(devices.get(), i);
        try {
            close_inherited_device(device);
        } catch (const py::Error&) {
            PyErr_WriteUnraisable(device);
        }
    }
    return py::none();
}

}  // namespace

void register_fork_hook(PyObject* module) {
    static py::Name n_register_at_fork{"register_at_fork"}, n_after_in_child{"after_in_child"};
    static py::KwNames kw_after_in_child{n_after_in_child};
    Ref os = py::check(PyImport_ImportModule("os"));
    Ref register_at_fork = py::optional_attr(os, n_register_at_fork);  // none on Windows: no fork there
    if (!register_at_fork) return;
    Ref module_name = py::getattr(module, n_dunder_name);
    Ref hook = py::make_function(py::FunctionDef{"_close_inherited_adapters", {}, after_fork_in_child}, nullptr,
                                 module_name.get());
    py::call_kw(register_at_fork, kw_after_in_child, hook.get());
}

// What a user can do about the USB library's refusals to open an adapter.
namespace {

constexpr const char* kAccessDenied =
    "access to the QLIX adapter (USB 0483:5750) was denied: this user may not open the USB device. On Linux, "
    "install the udev rule that \"ozu-qlix-ports --udev-rule\" prints and replug the adapter; on Windows, another "
    "process may hold it (README, \"Use a real adapter\")";
constexpr const char* kNotSupported =
    "the QLIX adapter (USB 0483:5750) cannot be opened: its driver does not support libusb. On Windows, bind the "
    "WinUSB driver to it, for instance with Zadig (README, \"Use a real adapter\")";

// pyusb's error code for the USB library's refusal in `exc` (0 when there is none).
long backend_error_code(PyObject* exc) {
    Ref usb_error = py::getattr(global(g_usb_core), n_usb_error);
    if (!PyErr_GivenExceptionMatches(exc, usb_error.get())) return 0;
    Ref code = py::optional_attr(exc, n_backend_error_code);
    if (!code || !PyLong_Check(code.get())) return 0;
    return py::check_value(PyLong_AsLong(code.get()));
}

// The same kind of error as `exc` with `message`, and with `exc` as its cause.
Ref explained(py::Borrowed exc, py::Borrowed message) {
    Ref kind = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc)));
    Ref made = backend_error_code(exc) != 0
                   ? py::call(kind.get(), message, py::getattr(exc, n_backend_error_code).get(),
                              py::getattr(exc, n_errno).get())
                   : py::call(kind.get(), message);
    PyException_SetCause(made.get(), Py_NewRef(exc));
    PyException_SetContext(made.get(), Py_NewRef(exc));
    return made;
}

// What a user can do about `exc`, a refusal to open the adapter `dev` (null when there is nothing to say),
// with the code of the refusal and the serial number the text shows (empty when it shows none).
Ref advice(py::Borrowed exc, py::Borrowed dev, const char*& kind, Ref& shown) {
    kind = "driver_not_supported";
    if (PyErr_GivenExceptionMatches(exc, PyExc_NotImplementedError)) return py::str(kNotSupported);
    long code = backend_error_code(exc);
    kind = "access_denied";
    if (code == -3) return py::str(kAccessDenied);  // LIBUSB_ERROR_ACCESS
    if (code != -6) return {};                      // LIBUSB_ERROR_BUSY
    kind = "adapter_busy";
    Ref serial;
    py::catch_only(PyExc_Exception, serial, [&] { return PyObject_GetAttr(dev, n_serial_number); });
    if (serial && PyUnicode_Check(serial.get())) shown = serial;
    else serial = py::str("(USB 0483:5750)");
    return py::text("the QLIX adapter ", serial,
                    " is busy (Resource busy): another process holds it. Only one process at a time can use an "
                    "adapter's channels: close the other program, or open every channel from one process");
}

// pyusb's "The device has no langid (permission issue, ...)" hides why a
// serial number could not be read: opening the device tells. Returns the
// error of opening it (null when it opens; it is released again then).
Ref why_unreadable(PyObject* exc, py::Borrowed dev) {
    static py::Name n_langid{"langid"};
    if (!PyErr_GivenExceptionMatches(exc, PyExc_ValueError)) return {};
    Ref text = py::check(PyObject_Str(exc));
    if (py::check_size(PyUnicode_Find(text.get(), n_langid, 0, PY_SSIZE_T_MAX, 1)) < 0) return {};
    py::Fetched opening = py::catch_only(PyExc_Exception, [&] { py::call_method(dev, n_get_active_configuration); });
    py::catch_only(PyExc_Exception, [&] { py::call(global(g_close_usb_device), dev); });
    return Ref::borrow(opening.get());
}

}  // namespace

void explain_open_error(PyObject* dev) {
    py::Fetched error = py::Fetched::take();
    if (!error || !error.matches(PyExc_Exception)) return error.restore();
    try {
        Ref cause = why_unreadable(error.get(), dev);
        if (cause) PyException_SetContext(cause.get(), Py_NewRef(error.get()));
        else cause = Ref::borrow(error.get());
        const char* kind = nullptr;
        Ref serial;
        Ref message = advice(cause, dev, kind, serial);
        if (!message) return error.restore();
        Ref replacement = explained(cause, message);
        if (serial) py::set_code(replacement.get(), {kind, {{"serial_number", serial}}});
        else py::set_code(replacement.get(), {kind});
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(replacement.get())), replacement.get());
    } catch (const py::Error&) {
        PyErr_Clear();
        error.restore();
    }
}

Ref unreadable_adapter(py::Borrowed devices) {
    Ref found;
    py::catch_only(PyExc_Exception, [&] {
        Ref it = py::check(PyObject_GetIter(devices));
        while (!found) {
            Ref dev = py::next(it);
            if (!dev) return;
            py::Fetched error = py::catch_only(PyExc_Exception, [&] { py::getattr(dev, n_serial_number); });
            if (!error) continue;
            Ref cause = why_unreadable(error.get(), dev);
            const char* kind = nullptr;
            Ref shown;
            found = advice(cause ? cause.get() : error.get(), dev, kind, shown);
        }
    });
    return found;
}

DeviceState device_state(py::Borrowed device) {
    Ref state = py::optional_attr(device, n_state);
    if (!state || state.get() == n_open.get()) return DeviceState::open;
    if (state.get() == n_closing.get()) return DeviceState::closing;
    if (state.get() == n_closed.get()) return DeviceState::closed;
    if (py::check(PyObject_RichCompareBool(state.get(), n_closing, Py_EQ))) return DeviceState::closing;
    if (py::check(PyObject_RichCompareBool(state.get(), n_closed, Py_EQ))) return DeviceState::closed;
    return DeviceState::open;
}

bool is_closed_adapter_error(PyObject* error) {
    Ref usb_error = py::getattr(global(g_usb_core), n_usb_error);
    if (!PyType_Check(usb_error.get()) || !PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(usb_error.get())))
        return false;
    Ref code = py::getattr(error, n_backend_error_code);
    Ref number = py::getattr(error, n_errno);
    Ref enodev = py::integer(ENODEV);
    return code.get() == Py_None && py::check(PyObject_RichCompareBool(number.get(), enodev.get(), Py_EQ));
}

namespace {
// Now on the clock of a pending deadline: the monotonic clock's seconds for
// None (the host's time.time was `_now`), else the value of that `_now`.
py::Ref now_on(py::Borrowed clock) {
    if (clock != Py_None) return py::call(clock);
    return py::check(
        PyFloat_FromDouble(std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count()));
}
}  // namespace

// A pending deadline is kept as (clock, until): the clock is None while `_now`
// is the host's time.time (until is then a time of the monotonic clock, which
// a wall clock set back does not move), otherwise that `_now`, which is called
// again to tell what is left.
void set_deadline(PyObject* self, PyObject* name, py::Borrowed timeout) {
    py::Ref now_fn = global(g_now);
    py::Ref clock = now_fn.get() == host_time() ? py::none() : now_fn;
    py::Ref until = py::check(PyNumber_Add(now_on(clock).get(), timeout));
    py::setattr(self, name, py::check(PyTuple_Pack(2, clock.get(), until.get())));
}

py::Ref time_left(PyObject* self, PyObject* name) {
    py::Ref pending = py::optional_attr(self, name);
    if (!pending || !PyTuple_CheckExact(pending.get()) || PyTuple_GET_SIZE(pending.get()) != 2) return {};
    PyObject* until = PyTuple_GET_ITEM(pending.get(), 1);
    py::Ref left = py::check(PyNumber_Subtract(until, now_on(PyTuple_GET_ITEM(pending.get(), 0)).get()));
    py::Ref zero = py::check(PyFloat_FromDouble(0.0));
    if (!py::check(PyObject_RichCompareBool(left.get(), zero.get(), Py_GT))) return {};
    return left;
}

py::Ref make_device_class(PyObject* module) {
    using py::Default;
    using py::FunctionDef;
    using py::Param;
    const Param self{"self"};
    return py::ClassBuilder("_Device", module)
        .attr("PackageSize", py::integer(static_cast<long long>(protocol::kPackageSize)))
        .attr("IOControlChannel", py::integer(protocol::kControlChannel))
        .method(FunctionDef{"__init__", {self, {"dev_manager"}, {"hid_handle", "_USBDevice"}}, device_init})
        .method(FunctionDef{"set_io_control_handler_for_channel",
                            {self, {"handler", "_Callable"}, {"channel", "int"}},
                            device_set_io_control_handler_for_channel})
        .method(FunctionDef{"reset_io_control_handler_for_channel",
                            {self, {"channel", "int"}},
                            device_reset_io_control_handler_for_channel})
        .method(FunctionDef{"__read", {self, {"timeout", "int", Default::integer(50)}}, device_read, "_array"})
        .method(FunctionDef{"__write", {self, {"data"}, {"timeout", "int", Default::integer(100)}}, device_write})
        .method(FunctionDef{"__query_channel_count", {self}, device_query_channel_count})
        .property(FunctionDef{"channel_count", {self}, device_channel_count_get, "int"})
        .method(FunctionDef{"close", {self}, device_close})
        .method(FunctionDef{"handle_io_control_package",
                            {self, {"package", "_array"}, {"channel", "int"}},
                            device_handle_io_control_package})
        .method(FunctionDef{"input_scanner_function", {self}, device_input_scanner_function})
        .static_method(
            FunctionDef{"handle_channel_count_response", {{"package", "_array"}}, device_handle_channel_count_response})
        .method(FunctionDef{"open_channel",
                            {self, {"channel", "int"}, {"baudrate", "int"}, {"timeout", "float"}},
                            device_open_channel})
        .method(FunctionDef{"close_channel", {self, {"channel", "int"}}, device_close_channel})
        .property(FunctionDef{"serial_number", {self}, device_serial_number_get, "str"})
        .method(FunctionDef{"output_data", {self, {"data"}}, device_output_data})
        .method(FunctionDef{"_send_command_to_channel",
                            {self, {"command", "str"}, {"channel", "int"}},
                            device_private_send_command_to_channel})
        .method(FunctionDef{"send_command_to_channel",
                            {self, {"command", "str"}, {"channel", "int"}},
                            device_send_command_to_channel})
        .method(
            FunctionDef{"io_control_master_query",
                        {self, {"command", "str"}, {"handler", "_Callable"}, {"timeout", "float", Default::real(0.5)}},
                        device_io_control_master_query})
        .static_method(FunctionDef{"master_basic_handler", {{"package", "_array"}}, device_master_basic_handler})
        .method(FunctionDef{"echo", {self, {"content", "str"}}, device_echo, "str", kEchoDoc})
        .property(FunctionDef{"firmware_version", {self}, device_firmware_version_get, "str"})
        .method(FunctionDef{"close_if_idle", {self}, device_close_if_idle, "bool", kCloseIfIdleDoc})
        .build();
}

}  // namespace qlix
