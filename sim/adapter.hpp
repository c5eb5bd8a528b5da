// One virtual adapter: its USB identity, its firmware (command interpreter,
// channel states, loopback or pairing, inbound packing) and its endpoints'
// pacing. Every member is guarded by the bus mutex (bus.hpp); the methods
// expect it to be held by the caller.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qsim {

using Clock = std::chrono::steady_clock;

inline constexpr std::size_t kPacketSize = 64;
inline constexpr int kMaxChannels = 99;
inline constexpr int kControlId = 100;
inline constexpr uint8_t kEndpointIn = 0x81;
inline constexpr uint8_t kEndpointOut = 0x01;
// Inbound bytes held for the host before further data is dropped.
inline constexpr std::size_t kPendingLimit = 1u << 20;

// Why an OUT packet was refused; index into Adapter::malformed.
enum class Malformed : int { total = 0, wrong_size, bad_count, padding, unknown_command, bad_channel, count_ };

// How the firmware answers queries (reply faults), selectable per adapter.
enum class ReplyFault : int { none = 0, silent = 1, wrong_rate = 2, garbage = 3 };
// Which replies a reply fault affects (bit mask).
enum : int { kScopeAdapter = 1, kScopeChannel = 2 };

// Counts packets per 1 ms bus frame for one endpoint: interrupt endpoints
// move one packet per frame, bulk endpoints up to 19 at full speed.
class FrameLimiter {
public:
    // True and the slot taken when a packet may move at `now`; otherwise
    // false and `next` is the start of the next frame.
    bool take(Clock::time_point now, int per_frame, Clock::time_point& next);

private:
    int64_t frame_ = -1;
    int used_ = 0;
};

struct ChannelState {
    bool open = false;
    uint32_t rate = 9600;
    // Slow-UART mode: bytes in the transmit buffer, as of `tx_since`.
    std::size_t tx_fill = 0;
    Clock::time_point tx_since{};
    std::vector<uint8_t> received;  // data bytes the host wrote to the channel
    std::vector<std::string> commands;
};

// A record waiting to go to the host. Data records may be split over
// packets; a raw packet is sent verbatim as one whole IN packet.
struct Inbound {
    enum class Kind { data, control, raw } kind;
    uint8_t id;
    std::vector<uint8_t> bytes;
    std::size_t sent = 0;
};

class Adapter {
public:
    Adapter(int id, std::string_view serial, bool has_serial, int channels, bool bulk, uint8_t address);

    // Identity and descriptors
    const int id;
    const std::string serial;
    const bool has_serial;
    const int channels;
    const bool bulk;
    const uint8_t address;
    uint8_t endpoint_attributes() const { return bulk ? 2 : 3; }
    int packets_per_frame() const { return bulk ? 19 : 1; }

    // Bus state
    bool plugged = true;
    bool kernel_driver = true;
    int open_handles = 0;
    const void* claimed_by = nullptr;  // handle holding interface 0
    uint8_t configuration = 1;

    // Fault hooks
    bool stall_in = false;
    bool stall_out = false;
    bool out_timeout = false;
    bool vanish_on_open = false;
    bool access_denied = false;      // opening a handle fails as for a user without permission
    bool claimed_elsewhere = false;  // interface 0 is held by another process
    bool not_supported = false;      // the device's driver is not one libusb can use
    ReplyFault reply_fault = ReplyFault::none;
    int fault_scope = kScopeAdapter | kScopeChannel;
    bool pairing = false;
    // Slow-UART mode: bytes each channel's transmit buffer holds (0: off, data
    // leaves at once). The buffer drains at the channel's baud rate (10 bits a
    // byte); data for a full buffer waits in the OUT endpoint, which takes no
    // further packet until the buffer drained to half, so the host's OUT
    // transfers are NAKed meanwhile.
    std::size_t uart_buffer = 0;
    static constexpr std::size_t kMinUartBuffer = kPacketSize - 2;

    // Counters
    std::array<uint64_t, static_cast<int>(Malformed::count_)> malformed{};
    uint64_t dropped_bytes = 0;
    uint64_t packets_in = 0;
    uint64_t packets_out = 0;
    std::vector<std::string> adapter_commands;

    // Woken on new inbound data, unplug and fault changes.
    std::condition_variable cv;
    FrameLimiter in_limiter;
    FrameLimiter out_limiter;
    // OUT transfers waiting for the endpoint, served first come, first
    // served as a host controller queues them.
    std::deque<uint64_t> out_queue;
    uint64_t out_tickets = 0;

    ChannelState* channel(int n) {
        return n >= 1 && n <= channels ? &channel_states_[static_cast<std::size_t>(n)] : nullptr;
    }

    // Firmware: handle one OUT packet as written by the host. In slow-UART
    // mode a data packet for a channel without room is held instead.
    void receive_packet(std::span<const uint8_t> packet, Clock::time_point now = Clock::now());
    // True when the OUT endpoint takes a packet at `now`; a held packet is
    // handled first once its channel has room for it.
    bool out_ready(Clock::time_point now);
    bool holding() const { return !held_.empty(); }
    // When the held packet fits (only meaningful while holding()).
    Clock::time_point out_ready_at() const;
    // Data arriving on a channel's serial line (delivered only while open).
    std::size_t inject(int channel, std::span<const uint8_t> data);
    void inject_packet(std::span<const uint8_t> packet);
    bool has_inbound() const { return !pending_.empty(); }
    std::size_t pending_bytes() const { return pending_bytes_; }
    // Packs the next IN packet from the pending records; returns its length.
    std::size_t build_packet(std::array<uint8_t, kPacketSize>& out);
    // Power cycle of the firmware (device reset): channels closed, input dropped.
    void reset_firmware();

private:
    void count(Malformed why);
    void command(int channel, std::string_view text);
    void adapter_command(std::string_view text);
    void channel_command(int n, std::string_view text);
    void reply(int id, std::string text, bool is_rate = false);
    void queue_data(int channel, std::span<const uint8_t> data);
    void drop_channel_input(int channel);
    int partner(int n) const;
    void take_data(int n, std::span<const uint8_t> payload, Clock::time_point now);
    static void drain(ChannelState& ch, Clock::time_point now);
    std::size_t resume_level(std::size_t count) const;

    std::vector<ChannelState> channel_states_;
    std::deque<Inbound> pending_;
    std::size_t pending_bytes_ = 0;
    std::vector<uint8_t> held_;  // OUT packet waiting for room (slow-UART mode)
};

std::optional<uint32_t> parse_rate(std::string_view text);

}  // namespace qsim
