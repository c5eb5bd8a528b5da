// Functions that play the part of the person at the bench: plug and unplug
// adapters, set their behaviour and faults, feed them serial input and look
// at what they received. Results: >= 0 on success, kUnknown for an adapter id
// that was never plugged in (or was forgotten by qlixsim_reset), kBadArgument
// for a value out of range.

#include <algorithm>
#include <cstring>
#include <new>

#include "bus.hpp"

using namespace qsim;

namespace {

constexpr int kUnknown = -1;
constexpr int kBadArgument = -2;
constexpr int kNoMemory = -3;

enum Fault : int {
    fault_stall_in = 1,
    fault_stall_out = 2,
    fault_out_timeout = 3,
    fault_vanish_on_open = 4,
    fault_kernel_driver = 5,
    fault_access_denied = 6,
    fault_claimed_elsewhere = 7,
    fault_not_supported = 8
};

enum Counter : int {
    counter_dropped = 10,
    counter_packets_in = 11,
    counter_packets_out = 12,
    counter_pending = 13,
    counter_open_handles = 14
};

template <class F>
long long on_adapter(int id, F&& body) noexcept {
    try {
        World& w = world();
        std::lock_guard lock(w.mu);
        Adapter* a = w.adapter(id);
        if (a == nullptr) return kUnknown;
        return body(w, *a);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (...) {
        return kBadArgument;
    }
}

template <class F>
long long on_world(F&& body) noexcept {
    try {
        World& w = world();
        std::lock_guard lock(w.mu);
        return body(w);
    } catch (const std::bad_alloc&) {
        return kNoMemory;
    } catch (...) {
        return kBadArgument;
    }
}

// Copies as much as fits; returns the full size so the caller can grow its buffer.
template <class T>
long long copy_out(const T& bytes, void* buffer, long long capacity) {
    const auto size = static_cast<long long>(bytes.size());
    if (buffer != nullptr && capacity > 0)
        std::memcpy(buffer, bytes.data(), static_cast<std::size_t>(std::min(size, capacity)));
    return size;
}

}  // namespace

QSIM_EXPORT int qlixsim_add_adapter(const char* serial, int channels, int bulk) {
    return static_cast<int>(on_world([&](World& w) -> long long {
        if (channels < 1 || channels > kMaxChannels) return kBadArgument;
        const std::string_view text = serial != nullptr ? std::string_view(serial) : std::string_view();
        if (text.size() > 126) return kBadArgument;
        const int id = w.next_id++;
        const auto address = static_cast<uint8_t>(w.next_address);
        w.next_address = w.next_address % 127 + 1;
        w.adapters.push_back(std::make_shared<Adapter>(id, text, serial != nullptr, channels, bulk != 0, address));
        return id;
    }));
}

QSIM_EXPORT int qlixsim_unplug(int id) {
    return static_cast<int>(on_adapter(id, [](World& w, Adapter& a) {
        w.unplug(a);
        return 0;
    }));
}

QSIM_EXPORT int qlixsim_reset(void) {
    return static_cast<int>(on_world([](World& w) {
        for (auto& a : w.adapters) w.unplug(*a);
        w.adapters.clear();
        w.paced = true;
        w.kernel_driver_supported = true;
        return 0;
    }));
}

QSIM_EXPORT int qlixsim_adapter_ids(int* ids, int capacity) {
    return static_cast<int>(on_world([&](World& w) {
        const int count = static_cast<int>(w.adapters.size());
        for (int i = 0; ids != nullptr && i < std::min(count, capacity); ++i)
            ids[i] = w.adapters[static_cast<std::size_t>(i)]->id;
        return count;
    }));
}

QSIM_EXPORT int qlixsim_is_plugged(int id) {
    return static_cast<int>(on_adapter(id, [](World&, Adapter& a) { return a.plugged ? 1 : 0; }));
}

// Length of the serial number, or kBadArgument when the adapter has none.
QSIM_EXPORT int qlixsim_serial(int id, char* buffer, int capacity) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) -> long long {
        return a.has_serial ? copy_out(a.serial, buffer, capacity) : kBadArgument;
    }));
}

QSIM_EXPORT int qlixsim_channel_count(int id) {
    return static_cast<int>(on_adapter(id, [](World&, Adapter& a) { return a.channels; }));
}

QSIM_EXPORT int qlixsim_is_bulk(int id) {
    return static_cast<int>(on_adapter(id, [](World&, Adapter& a) { return a.bulk ? 1 : 0; }));
}

// Channels wired in pairs instead of looped back; `on` < 0 only asks.
QSIM_EXPORT int qlixsim_pairing(int id, int on) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) {
        if (on >= 0) a.pairing = on != 0;
        return a.pairing ? 1 : 0;
    }));
}

// Slow-UART mode: each channel's transmit buffer in bytes (0: off; at least
// one packet's payload otherwise); a negative value only reads the setting.
QSIM_EXPORT int qlixsim_uart_buffer(int id, int bytes) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) -> long long {
        if (bytes > 1 << 20) return kBadArgument;
        if (bytes >= 0) {
            a.uart_buffer =
                bytes == 0 ? 0 : std::max<std::size_t>(static_cast<std::size_t>(bytes), Adapter::kMinUartBuffer);
            a.cv.notify_all();
        }
        return static_cast<long long>(a.uart_buffer);
    }));
}

QSIM_EXPORT int qlixsim_set_reply_fault(int id, int fault, int scope) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) -> long long {
        if (fault < 0 || fault > static_cast<int>(ReplyFault::garbage) || scope < 0 ||
            scope > (kScopeAdapter | kScopeChannel)) {
            return kBadArgument;
        }
        a.reply_fault = static_cast<ReplyFault>(fault);
        a.fault_scope = scope;
        return 0;
    }));
}

QSIM_EXPORT int qlixsim_set_fault(int id, int which, int on) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) -> long long {
        const bool value = on != 0;
        switch (which) {
            case fault_stall_in: a.stall_in = value; break;
            case fault_stall_out: a.stall_out = value; break;
            case fault_out_timeout: a.out_timeout = value; break;
            case fault_vanish_on_open: a.vanish_on_open = value; break;
            case fault_kernel_driver: a.kernel_driver = value; break;
            case fault_access_denied: a.access_denied = value; break;
            case fault_claimed_elsewhere: a.claimed_elsewhere = value; break;
            case fault_not_supported: a.not_supported = value; break;
            default: return kBadArgument;
        }
        a.cv.notify_all();
        return 0;
    }));
}

QSIM_EXPORT int qlixsim_get_fault(int id, int which) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) -> long long {
        switch (which) {
            case fault_stall_in: return a.stall_in;
            case fault_stall_out: return a.stall_out;
            case fault_out_timeout: return a.out_timeout;
            case fault_vanish_on_open: return a.vanish_on_open;
            case fault_kernel_driver: return a.kernel_driver;
            case fault_access_denied: return a.access_denied;
            case fault_claimed_elsewhere: return a.claimed_elsewhere;
            case fault_not_supported: return a.not_supported;
            default: return kBadArgument;
        }
    }));
}

QSIM_EXPORT int qlixsim_set_kernel_driver_support(int on) {
    return static_cast<int>(on_world([&](World& w) {
        w.kernel_driver_supported = on != 0;
        return 0;
    }));
}

QSIM_EXPORT int qlixsim_set_paced(int on) {
    return static_cast<int>(on_world([&](World& w) {
        w.paced = on != 0;
        for (auto& a : w.adapters) a->cv.notify_all();
        return 0;
    }));
}

QSIM_EXPORT int qlixsim_is_paced(void) {
    return static_cast<int>(on_world([](World& w) { return w.paced ? 1 : 0; }));
}

// Counters: 0 to 5 are the malformed-packet counts (total, wrong size, bad
// count, non-zero padding, unknown command, bad channel), then the Counter values.
QSIM_EXPORT long long qlixsim_counter(int id, int which) {
    return on_adapter(id, [&](World&, Adapter& a) -> long long {
        if (which >= 0 && which < static_cast<int>(Malformed::count_))
            return static_cast<long long>(a.malformed[static_cast<std::size_t>(which)]);
        switch (which) {
            case counter_dropped: return static_cast<long long>(a.dropped_bytes);
            case counter_packets_in: return static_cast<long long>(a.packets_in);
            case counter_packets_out: return static_cast<long long>(a.packets_out);
            case counter_pending: return static_cast<long long>(a.pending_bytes());
            case counter_open_handles: return a.open_handles;
            default: return kBadArgument;
        }
    });
}

// Open device handles on every adapter together.
QSIM_EXPORT int qlixsim_open_handles(void) {
    return static_cast<int>(on_world([](World& w) { return static_cast<long long>(w.handles.size()); }));
}

QSIM_EXPORT int qlixsim_inject(int id, int channel, const unsigned char* data, int length) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) -> long long {
        if (a.channel(channel) == nullptr || length < 0 || (length > 0 && data == nullptr)) return kBadArgument;
        return static_cast<long long>(a.inject(channel, {data, static_cast<std::size_t>(length)}));
    }));
}

QSIM_EXPORT int qlixsim_inject_packet(int id, const unsigned char* data, int length) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) -> long long {
        if (length < 0 || length > static_cast<int>(kPacketSize) || (length > 0 && data == nullptr))
            return kBadArgument;
        a.inject_packet({data, static_cast<std::size_t>(length)});
        return 0;
    }));
}

QSIM_EXPORT long long qlixsim_received(int id, int channel, unsigned char* buffer, long long capacity) {
    return on_adapter(id, [&](World&, Adapter& a) -> long long {
        const ChannelState* ch = a.channel(channel);
        a.out_ready(Clock::now());  // a held packet whose room came is taken first
        return ch == nullptr ? kBadArgument : copy_out(ch->received, buffer, capacity);
    });
}

QSIM_EXPORT int qlixsim_clear_received(int id, int channel) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) -> long long {
        if (channel == 0) {  // the adapter's own command log
            a.adapter_commands.clear();
            return 0;
        }
        ChannelState* ch = a.channel(channel);
        if (ch == nullptr) return kBadArgument;
        ch->received.clear();
        ch->commands.clear();
        return 0;
    }));
}

// The command texts (without their line feed) received for a channel, or for
// the adapter itself with channel 0, joined by line feeds.
QSIM_EXPORT long long qlixsim_commands(int id, int channel, char* buffer, long long capacity) {
    return on_adapter(id, [&](World&, Adapter& a) -> long long {
        const ChannelState* ch = a.channel(channel);
        if (channel != 0 && ch == nullptr) return kBadArgument;
        std::string joined;
        for (const auto& text : channel == 0 ? a.adapter_commands : ch->commands) {
            joined += text;
            joined += '\n';
        }
        return copy_out(joined, buffer, capacity);
    });
}

QSIM_EXPORT int qlixsim_channel_state(int id, int channel, int* open, unsigned int* rate) {
    return static_cast<int>(on_adapter(id, [&](World&, Adapter& a) -> long long {
        const ChannelState* ch = a.channel(channel);
        if (ch == nullptr) return kBadArgument;
        if (open != nullptr) *open = ch->open ? 1 : 0;
        if (rate != nullptr) *rate = ch->rate;
        return 0;
    }));
}
