// The USB library's C functions over the virtual bus. Every entry point
// catches everything: no C++ exception crosses into the caller.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>
#include <optional>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <timeapi.h>

#include <thread>
#endif

#include "bus.hpp"

using namespace qsim;

namespace {

template <class F>
int guarded(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return LIBUSB_ERROR_NO_MEM;
    } catch (...) {
        return LIBUSB_ERROR_OTHER;
    }
}

template <class F>
void guarded_void(F&& body) noexcept {
    try {
        body();
    } catch (...) {
    }
}

using Lock = std::unique_lock<std::mutex>;
using Deadline = std::optional<Clock::time_point>;

#ifdef _WIN32
// Windows ends timed waits on its timer tick: every 15.6 ms by default, and
// even at the finest period (1 ms) up to a couple of ms late, too coarse for
// 1 ms USB frames. So the timer runs at its finest period (for the rest of
// the process), and a wait ending within 2 ms (the wait for the next frame
// always does) yields the processor with the bus unlocked, in short slices
// after each of which the caller looks at the adapter again. Longer waits
// (transfer time limits) sleep on the condition variable.
constexpr auto kSpinWithin = std::chrono::milliseconds(2);
constexpr auto kSlice = std::chrono::microseconds(100);

void wait_until(Adapter& a, Lock& lock, Clock::time_point until) {
    static const bool fine_period = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)fine_period;
    const auto now = Clock::now();
    if (until - now > kSpinWithin) {
        a.cv.wait_until(lock, until);
        return;
    }
    const auto slice_end = std::min(until, now + kSlice);
    lock.unlock();
    while (Clock::now() < slice_end) std::this_thread::yield();
    lock.lock();
}
#else
void wait_until(Adapter& a, Lock& lock, Clock::time_point until) { a.cv.wait_until(lock, until); }
#endif

// Waits on the adapter until woken, `until` (if any) or the deadline; may
// return early, as the callers look at the adapter again in any case.
void wait(Adapter& a, Lock& lock, Deadline until) {
    if (until) wait_until(a, lock, *until);
    else a.cv.wait(lock);
}

Deadline earliest(Deadline a, Clock::time_point b) { return a && *a < b ? a : Deadline(b); }

int read_in(World& w, Adapter& a, Lock& lock, unsigned char* data, int length, int& done, Deadline deadline) {
    std::array<uint8_t, kPacketSize> packet{};
    for (;;) {
        if (!a.plugged) return LIBUSB_ERROR_NO_DEVICE;
        if (a.stall_in) return LIBUSB_ERROR_PIPE;
        const auto now = Clock::now();
        Deadline wake = deadline;
        if (!a.out_ready(now)) wake = earliest(wake, a.out_ready_at());  // the held packet's echo is due then
        if (a.has_inbound()) {
            Clock::time_point next{};
            if (!w.paced || a.in_limiter.take(now, a.packets_per_frame(), next)) {
                const std::size_t size = a.build_packet(packet);
                const std::size_t room = static_cast<std::size_t>(length - done);
                const std::size_t copied = std::min(size, room);
                std::copy_n(packet.begin(), copied, data + done);
                done += static_cast<int>(copied);
                if (size > room) return LIBUSB_ERROR_OVERFLOW;
                if (size < kPacketSize || done == length) return LIBUSB_SUCCESS;
                continue;
            }
            wake = earliest(deadline, next);
        }
        if (deadline && now >= *deadline) return LIBUSB_ERROR_TIMEOUT;
        wait(a, lock, wake);
    }
}

// Takes a place in the adapter's OUT queue for one packet; leaving it (on
// success, error or time-out) lets the next transfer in line go.
class OutTurn {
public:
    explicit OutTurn(Adapter& a) : a_(a), ticket_(a.out_tickets++) { a_.out_queue.push_back(ticket_); }
    OutTurn(const OutTurn&) = delete;
    OutTurn& operator=(const OutTurn&) = delete;
    ~OutTurn() {
        auto it = std::find(a_.out_queue.begin(), a_.out_queue.end(), ticket_);
        if (it != a_.out_queue.end()) a_.out_queue.erase(it);
        a_.cv.notify_all();
    }
    bool first() const { return !a_.out_queue.empty() && a_.out_queue.front() == ticket_; }
    std::size_t ahead() const {
        auto it = std::find(a_.out_queue.begin(), a_.out_queue.end(), ticket_);
        return static_cast<std::size_t>(it - a_.out_queue.begin());
    }

private:
    Adapter& a_;
    uint64_t ticket_;
};

// A host controller moves queued OUT packets on its own, whether or not the
// threads that queued them get the processor. So a transfer times out only
// when the device holds the bus up (NAKs), or when the packets ahead of it and
// its own would not have fitted in the frames up to its deadline; a thread
// that merely ran late, or waited behind one, still sends.
bool out_of_time(const World& w, const Adapter& a, const OutTurn& turn, Clock::time_point start, int done,
                 Clock::time_point deadline) {
    if (a.out_timeout || a.holding()) return true;
    if (!w.paced) return false;
    const auto packets = static_cast<long long>(done / static_cast<int>(kPacketSize) + turn.ahead() + 1);
    const long long frames = (packets + a.packets_per_frame() - 1) / a.packets_per_frame();
    return start + std::chrono::milliseconds(frames) > deadline;
}

int write_out(World& w, Adapter& a, Lock& lock, const unsigned char* data, int length, int& done, Deadline deadline) {
    const auto start = Clock::now();
    do {
        OutTurn turn(a);
        for (;;) {
            if (!a.plugged) return LIBUSB_ERROR_NO_DEVICE;
            if (a.stall_out) return LIBUSB_ERROR_PIPE;
            const auto now = Clock::now();
            const bool ready = a.out_ready(now);
            const bool late = deadline && now >= *deadline;
            if (late && out_of_time(w, a, turn, start, done, *deadline)) return LIBUSB_ERROR_TIMEOUT;
            Deadline wake = late ? std::nullopt : deadline;  // none: until the adapter changes
            if (!ready) {
                wake = earliest(wake, a.out_ready_at());
            } else if (!a.out_timeout && turn.first()) {
                Clock::time_point next{};
                if (!w.paced || a.out_limiter.take(now, a.packets_per_frame(), next)) break;
                wake = earliest(wake, next);
            }
            wait(a, lock, wake);
        }
        const int chunk = std::min<int>(static_cast<int>(kPacketSize), length - done);
        a.receive_packet({data + done, static_cast<std::size_t>(chunk)}, Clock::now());
        done += chunk;
    } while (done < length);
    return LIBUSB_SUCCESS;
}

// Where kernel drivers cannot be managed (Windows), none stands in the way.
int claim(const World& w, Adapter& a, libusb_device_handle* h) {
    if (a.claimed_by == h) return LIBUSB_SUCCESS;
    if (a.claimed_by != nullptr || (a.kernel_driver && w.kernel_driver_supported)) return LIBUSB_ERROR_BUSY;
    a.claimed_by = h;
    return LIBUSB_SUCCESS;
}

int transfer(libusb_device_handle* dev_handle, unsigned char endpoint, unsigned char* data, int length,
             int* transferred, unsigned int timeout) {
    if (transferred != nullptr) *transferred = 0;
    if (length < 0 || (length > 0 && data == nullptr)) return LIBUSB_ERROR_INVALID_PARAM;
    World& w = world();
    Lock lock(w.mu);
    libusb_device_handle* h = w.handle(dev_handle);
    if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
    // The adapter is kept alive by this reference while the call waits,
    // even if the handle is closed meanwhile.
    const std::shared_ptr<Adapter> adapter = h->adapter;
    Adapter& a = *adapter;
    if (!a.plugged) return LIBUSB_ERROR_NO_DEVICE;
    if (endpoint != kEndpointIn && endpoint != kEndpointOut) return LIBUSB_ERROR_NOT_FOUND;
    // Like the operating system, an unclaimed interface is claimed on first use.
    if (const int r = claim(w, a, h); r != LIBUSB_SUCCESS) return r;
    Deadline deadline;
    if (timeout != 0) deadline = Clock::now() + std::chrono::milliseconds(timeout);
    int done = 0;
    const int r = endpoint == kEndpointIn ? read_in(w, a, lock, data, length, done, deadline)
                                          : write_out(w, a, lock, data, length, done, deadline);
    if (transferred != nullptr) *transferred = done;
    return r;
}

// Answers the standard requests a device supports on its control pipe.
int control_in(Adapter& a, uint8_t request_type, uint8_t request, uint16_t value, std::vector<uint8_t>& reply) {
    const int recipient = request_type & 0x1f;
    if ((request_type & 0x60) != 0) return LIBUSB_ERROR_PIPE;
    if (recipient == 0 && request == USB_REQ_GET_DESCRIPTOR) {
        const auto type = static_cast<uint8_t>(value >> 8);
        const auto index = static_cast<uint8_t>(value & 0xff);
        if (type == USB_DT_DEVICE && index == 0) reply = device_descriptor_bytes(a);
        else if (type == USB_DT_CONFIG && index == 0) reply = config_descriptor_bytes(a);
        else if (type == USB_DT_STRING) reply = string_descriptor_bytes(a, index);
        return reply.empty() ? LIBUSB_ERROR_PIPE : LIBUSB_SUCCESS;
    }
    if (recipient == 0 && request == USB_REQ_GET_CONFIGURATION) reply = {a.configuration};
    else if (request == USB_REQ_GET_STATUS && recipient <= 2) reply = {0, 0};
    else if (recipient == 1 && request == USB_REQ_GET_INTERFACE) reply = {0};
    else return LIBUSB_ERROR_PIPE;
    return LIBUSB_SUCCESS;
}

int control_out(Adapter& a, uint8_t request_type, uint8_t request, uint16_t value, uint16_t index) {
    if (request_type == 0 && request == USB_REQ_SET_CONFIGURATION && value <= 1) {
        a.configuration = static_cast<uint8_t>(value);
        return LIBUSB_SUCCESS;
    }
    if (request_type == 1 && request == USB_REQ_SET_INTERFACE && value == 0 && index == 0) return LIBUSB_SUCCESS;
    return LIBUSB_ERROR_PIPE;
}

// Looks the handle up and checks that its adapter is still plugged in.
template <class F>
int with_handle(libusb_device_handle* dev_handle, F&& body) {
    return guarded([&]() -> int {
        World& w = world();
        std::lock_guard lock(w.mu);
        libusb_device_handle* h = w.handle(dev_handle);
        if (h == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
        if (!h->adapter->plugged) return LIBUSB_ERROR_NO_DEVICE;
        return body(w, h, *h->adapter);
    });
}

template <class F>
int with_device(libusb_device* device, F&& body) {
    return guarded([&]() -> int {
        World& w = world();
        std::lock_guard lock(w.mu);
        libusb_device* dev = w.device(device);
        if (dev == nullptr) return LIBUSB_ERROR_INVALID_PARAM;
        return body(w, dev, *dev->adapter);
    });
}

const char* error_text(int code) {
    switch (code) {
        case LIBUSB_SUCCESS: return "Success";
        case LIBUSB_ERROR_IO: return "Input/Output Error";
        case LIBUSB_ERROR_INVALID_PARAM: return "Invalid parameter";
        case LIBUSB_ERROR_ACCESS: return "Access denied (insufficient permissions)";
        case LIBUSB_ERROR_NO_DEVICE: return "No such device (it may have been disconnected)";
        case LIBUSB_ERROR_NOT_FOUND: return "Entity not found";
        case LIBUSB_ERROR_BUSY: return "Resource busy";
        case LIBUSB_ERROR_TIMEOUT: return "Operation timed out";
        case LIBUSB_ERROR_OVERFLOW: return "Overflow";
        case LIBUSB_ERROR_PIPE: return "Pipe error";
        case LIBUSB_ERROR_INTERRUPTED: return "System call interrupted (perhaps due to signal)";
        case LIBUSB_ERROR_NO_MEM: return "Insufficient memory";
        case LIBUSB_ERROR_NOT_SUPPORTED: return "Operation not supported or unimplemented on this platform";
        default: return "Other error";
    }
}

}  // namespace

// ---- library and context ----

QSIM_EXPORT int QSIM_CALL libusb_init(libusb_context** ctx) {
    return guarded([&] {
        World& w = world();
        std::lock_guard lock(w.mu);
        if (ctx == nullptr) {
            if (w.default_ctx != nullptr) {
                ++w.default_ctx->users;
                return static_cast<int>(LIBUSB_SUCCESS);
            }
        }
        auto owned = std::make_unique<libusb_context>();
        libusb_context* made = owned.get();
        w.contexts.emplace(made, std::move(owned));
        if (ctx == nullptr) w.default_ctx = made;
        else *ctx = made;
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT void QSIM_CALL libusb_exit(libusb_context* ctx) {
    guarded_void([&] {
        World& w = world();
        std::lock_guard lock(w.mu);
        libusb_context* c = w.context(ctx);
        if (c == nullptr || (c == w.default_ctx && --c->users > 0)) return;
        w.destroy(c);
    });
}

QSIM_EXPORT void QSIM_CALL libusb_set_debug(libusb_context*, int) {}

QSIM_EXPORT const char* QSIM_CALL libusb_strerror(int code) { return error_text(code); }

QSIM_EXPORT const char* QSIM_CALL libusb_error_name(int code) { return error_text(code); }

QSIM_EXPORT int QSIM_CALL libusb_handle_events(libusb_context*) { return LIBUSB_SUCCESS; }

// ---- enumeration ----

QSIM_EXPORT std::ptrdiff_t QSIM_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
    return guarded([&] {
        if (list == nullptr) return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        World& w = world();
        std::lock_guard lock(w.mu);
        libusb_context* c = w.context(ctx);
        if (c == nullptr) return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        std::vector<std::shared_ptr<Adapter>> present;
        std::copy_if(w.adapters.begin(), w.adapters.end(), std::back_inserter(present),
                     [](const auto& a) { return a->plugged; });
        auto array = std::make_unique<libusb_device*[]>(present.size() + 1);
        for (std::size_t i = 0; i < present.size(); ++i) array[i] = w.device_for(c, present[i]);
        array[present.size()] = nullptr;
        libusb_device** made = array.get();
        w.lists.emplace(made, std::make_pair(c, std::move(array)));
        *list = made;
        return static_cast<int>(present.size());
    });
}

QSIM_EXPORT void QSIM_CALL libusb_free_device_list(libusb_device** list, int unref_devices) {
    guarded_void([&] {
        World& w = world();
        std::lock_guard lock(w.mu);
        auto it = w.lists.find(list);
        if (it == w.lists.end()) return;
        if (unref_devices != 0)
            for (libusb_device** p = list; *p != nullptr; ++p) w.unref(*p);
        w.lists.erase(it);
    });
}

QSIM_EXPORT libusb_device* QSIM_CALL libusb_ref_device(libusb_device* dev) {
    libusb_device* result = nullptr;
    guarded([&] {
        World& w = world();
        std::lock_guard lock(w.mu);
        if (w.device(dev) != nullptr) {
            ++dev->refs;
            result = dev;
        }
        return 0;
    });
    return result;
}

QSIM_EXPORT void QSIM_CALL libusb_unref_device(libusb_device* dev) {
    guarded_void([&] {
        World& w = world();
        std::lock_guard lock(w.mu);
        w.unref(dev);
    });
}

QSIM_EXPORT libusb_device* QSIM_CALL libusb_get_parent(libusb_device*) {
    return nullptr;  // the root hub is not modelled
}

QSIM_EXPORT uint8_t QSIM_CALL libusb_get_bus_number(libusb_device* dev) {
    return with_device(dev, [](World&, libusb_device*, Adapter&) { return 1; }) == 1 ? 1 : 0;
}

QSIM_EXPORT uint8_t QSIM_CALL libusb_get_device_address(libusb_device* dev) {
    const int r = with_device(dev, [](World&, libusb_device*, Adapter& a) { return static_cast<int>(a.address); });
    return r > 0 ? static_cast<uint8_t>(r) : 0;
}

QSIM_EXPORT uint8_t QSIM_CALL libusb_get_port_number(libusb_device* dev) { return libusb_get_device_address(dev); }

QSIM_EXPORT int QSIM_CALL libusb_get_port_numbers(libusb_device* dev, uint8_t* numbers, int length) {
    return with_device(dev, [&](World&, libusb_device*, Adapter& a) {
        if (numbers == nullptr || length < 1) return static_cast<int>(LIBUSB_ERROR_OVERFLOW);
        numbers[0] = a.address;
        return 1;
    });
}

QSIM_EXPORT int QSIM_CALL libusb_get_device_speed(libusb_device* dev) {
    const int r =
        with_device(dev, [](World&, libusb_device*, Adapter&) { return static_cast<int>(LIBUSB_SPEED_FULL); });
    return r > 0 ? r : 0;
}

QSIM_EXPORT int QSIM_CALL libusb_get_device_descriptor(libusb_device* dev, libusb_device_descriptor* desc) {
    return with_device(dev, [&](World&, libusb_device*, Adapter& a) {
        if (desc == nullptr) return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        *desc = device_descriptor(a);
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                                       libusb_config_descriptor** config) {
    return with_device(dev, [&](World& w, libusb_device* d, Adapter& a) {
        if (config == nullptr) return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        if (index != 0) return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        auto block = config_descriptor(a);
        libusb_config_descriptor* made = &block->config;
        w.configs.emplace(made, std::make_pair(d->ctx, std::move(block)));
        *config = made;
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_get_active_config_descriptor(libusb_device* dev, libusb_config_descriptor** config) {
    return libusb_get_config_descriptor(dev, 0, config);
}

QSIM_EXPORT void QSIM_CALL libusb_free_config_descriptor(libusb_config_descriptor* config) {
    guarded_void([&] {
        World& w = world();
        std::lock_guard lock(w.mu);
        w.configs.erase(config);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_get_max_packet_size(libusb_device* dev, unsigned char endpoint) {
    return with_device(dev, [&](World&, libusb_device*, Adapter&) {
        return endpoint == kEndpointIn || endpoint == kEndpointOut ? static_cast<int>(kPacketSize)
                                                                   : static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_get_max_iso_packet_size(libusb_device* dev, unsigned char endpoint) {
    return libusb_get_max_packet_size(dev, endpoint);
}

// ---- handles ----

QSIM_EXPORT int QSIM_CALL libusb_open(libusb_device* device, libusb_device_handle** handle) {
    return with_device(device, [&](World& w, libusb_device* dev, Adapter& a) {
        if (handle == nullptr) return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        if (a.vanish_on_open) {
            a.vanish_on_open = false;
            w.unplug(a);
        }
        if (!a.plugged) return static_cast<int>(LIBUSB_ERROR_NO_DEVICE);
        // What libusb answers when the device node is not the user's (Linux), or
        // when the device's driver is not one libusb can use (Windows).
        if (a.access_denied) return static_cast<int>(LIBUSB_ERROR_ACCESS);
        if (a.not_supported) return static_cast<int>(LIBUSB_ERROR_NOT_SUPPORTED);
        auto owned = std::make_unique<libusb_device_handle>(libusb_device_handle{dev, dev->adapter});
        ++dev->refs;
        ++a.open_handles;
        libusb_device_handle* made = owned.get();
        w.handles.emplace(made, std::move(owned));
        *handle = made;
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT void QSIM_CALL libusb_close(libusb_device_handle* handle) {
    guarded_void([&] {
        World& w = world();
        std::lock_guard lock(w.mu);
        w.close(handle);
    });
}

QSIM_EXPORT libusb_device* QSIM_CALL libusb_get_device(libusb_device_handle* handle) {
    libusb_device* result = nullptr;
    guarded([&] {
        World& w = world();
        std::lock_guard lock(w.mu);
        if (w.handle(handle) != nullptr) result = handle->dev;
        return 0;
    });
    return result;
}

QSIM_EXPORT int QSIM_CALL libusb_get_configuration(libusb_device_handle* handle, int* config) {
    return with_handle(handle, [&](World&, libusb_device_handle*, Adapter& a) {
        if (config == nullptr) return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        *config = a.configuration;
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_set_configuration(libusb_device_handle* handle, int configuration) {
    return with_handle(handle, [&](World&, libusb_device_handle*, Adapter& a) {
        if (configuration != 1 && configuration != 0 && configuration != -1)
            return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        if (a.claimed_by != nullptr && configuration != a.configuration) return static_cast<int>(LIBUSB_ERROR_BUSY);
        a.configuration = static_cast<uint8_t>(configuration == 1 ? 1 : 0);
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
    return with_handle(handle, [&](World& w, libusb_device_handle* h, Adapter& a) {
        if (interface_number != 0 || a.configuration != 1) return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        if (a.claimed_elsewhere)  // another process's handle holds it
            return static_cast<int>(LIBUSB_ERROR_BUSY);
        return claim(w, a, h);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_release_interface(libusb_device_handle* handle, int interface_number) {
    return with_handle(handle, [&](World&, libusb_device_handle* h, Adapter& a) {
        if (interface_number != 0 || a.claimed_by != h) return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        a.claimed_by = nullptr;
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_set_interface_alt_setting(libusb_device_handle* handle, int interface_number,
                                                           int alternate_setting) {
    return with_handle(handle, [&](World&, libusb_device_handle* h, Adapter& a) {
        if (interface_number != 0 || a.claimed_by != h || alternate_setting != 0)
            return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char endpoint) {
    return with_handle(handle, [&](World&, libusb_device_handle*, Adapter& a) {
        if (endpoint == kEndpointIn) a.stall_in = false;
        else if (endpoint == kEndpointOut) a.stall_out = false;
        else return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        a.cv.notify_all();
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_reset_device(libusb_device_handle* handle) {
    return with_handle(handle, [&](World&, libusb_device_handle*, Adapter& a) {
        a.reset_firmware();
        a.stall_in = a.stall_out = false;
        a.cv.notify_all();
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_kernel_driver_active(libusb_device_handle* handle, int interface_number) {
    return with_handle(handle, [&](World& w, libusb_device_handle*, Adapter& a) {
        if (!w.kernel_driver_supported) return static_cast<int>(LIBUSB_ERROR_NOT_SUPPORTED);
        if (interface_number != 0) return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        return a.kernel_driver ? 1 : 0;
    });
}

QSIM_EXPORT int QSIM_CALL libusb_detach_kernel_driver(libusb_device_handle* handle, int interface_number) {
    return with_handle(handle, [&](World& w, libusb_device_handle*, Adapter& a) {
        if (!w.kernel_driver_supported) return static_cast<int>(LIBUSB_ERROR_NOT_SUPPORTED);
        if (interface_number != 0 || !a.kernel_driver) return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        a.kernel_driver = false;
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_attach_kernel_driver(libusb_device_handle* handle, int interface_number) {
    return with_handle(handle, [&](World& w, libusb_device_handle*, Adapter& a) {
        if (!w.kernel_driver_supported) return static_cast<int>(LIBUSB_ERROR_NOT_SUPPORTED);
        if (interface_number != 0) return static_cast<int>(LIBUSB_ERROR_NOT_FOUND);
        if (a.kernel_driver || a.claimed_by != nullptr) return static_cast<int>(LIBUSB_ERROR_BUSY);
        a.kernel_driver = true;
        return static_cast<int>(LIBUSB_SUCCESS);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t index,
                                                             unsigned char* data, int length) {
    return with_handle(handle, [&](World&, libusb_device_handle*, Adapter& a) {
        if (data == nullptr || length <= 0) return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        bool found = false;
        const std::string text = index == 0 ? std::string() : string_of(a, index, found);
        if (!found) return static_cast<int>(LIBUSB_ERROR_PIPE);
        const int size = std::min(static_cast<int>(text.size()), length - 1);
        for (int i = 0; i < size; ++i) {
            const auto c = static_cast<unsigned char>(text[static_cast<std::size_t>(i)]);
            data[i] = c < 0x80 ? c : '?';
        }
        data[size] = 0;
        return size;
    });
}

// ---- transfers ----

QSIM_EXPORT int QSIM_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t request_type, uint8_t request,
                                                  uint16_t value, uint16_t index, unsigned char* data, uint16_t length,
                                                  unsigned int) {
    return with_handle(handle, [&](World&, libusb_device_handle*, Adapter& a) {
        if ((request_type & USB_ENDPOINT_IN) == 0) return control_out(a, request_type, request, value, index);
        std::vector<uint8_t> reply;
        if (const int r = control_in(a, request_type, request, value, reply); r != LIBUSB_SUCCESS) return r;
        if (data == nullptr && length > 0) return static_cast<int>(LIBUSB_ERROR_INVALID_PARAM);
        const std::size_t size = std::min<std::size_t>(reply.size(), length);
        std::copy_n(reply.begin(), size, data);
        return static_cast<int>(size);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                               unsigned char* data, int length, int* transferred,
                                               unsigned int timeout) {
    return guarded([&] { return transfer(handle, endpoint, data, length, transferred, timeout); });
}

QSIM_EXPORT int QSIM_CALL libusb_interrupt_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                                    unsigned char* data, int length, int* transferred,
                                                    unsigned int timeout) {
    return guarded([&] { return transfer(handle, endpoint, data, length, transferred, timeout); });
}

// Asynchronous transfers are not supported: they can be allocated and freed,
// but submitting one fails.

QSIM_EXPORT libusb_transfer* QSIM_CALL libusb_alloc_transfer(int iso_packets) {
    libusb_transfer* result = nullptr;
    guarded([&] {
        if (iso_packets < 0) return 0;
        const std::size_t extra = static_cast<std::size_t>(iso_packets) * sizeof(libusb_iso_packet_descriptor);
        const std::size_t count = 1 + (extra + sizeof(libusb_transfer) - 1) / sizeof(libusb_transfer);
        auto owned = std::make_unique<libusb_transfer[]>(count);
        owned[0].num_iso_packets = iso_packets;
        World& w = world();
        std::lock_guard lock(w.mu);
        result = owned.get();
        w.transfers.emplace(result, std::move(owned));
        return 0;
    });
    return result;
}

QSIM_EXPORT void QSIM_CALL libusb_free_transfer(libusb_transfer* transfer) {
    guarded_void([&] {
        World& w = world();
        std::lock_guard lock(w.mu);
        w.transfers.erase(transfer);
    });
}

QSIM_EXPORT int QSIM_CALL libusb_submit_transfer(libusb_transfer*) { return LIBUSB_ERROR_NOT_SUPPORTED; }

QSIM_EXPORT int QSIM_CALL libusb_cancel_transfer(libusb_transfer*) { return LIBUSB_ERROR_NOT_FOUND; }
