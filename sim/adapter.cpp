#include "adapter.hpp"

#include <algorithm>
#include <charconv>

namespace qsim {

namespace {

constexpr std::string_view kVersion = "QLIX-SIM 1.0";
// Reply sent in place of the real one by the garbage fault: not a number and
// not valid UTF-8.
constexpr std::string_view kGarbage = "garbage\xfe#";

bool take_prefix(std::string_view& text, std::string_view prefix) {
    if (text.substr(0, prefix.size()) != prefix) return false;
    text.remove_prefix(prefix.size());
    return true;
}

}  // namespace

std::optional<uint32_t> parse_rate(std::string_view text) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc{} || ptr != end || value == 0) return std::nullopt;
    return value;
}

bool FrameLimiter::take(Clock::time_point now, int per_frame, Clock::time_point& next) {
    using std::chrono::microseconds;
    const int64_t us = std::chrono::duration_cast<microseconds>(now.time_since_epoch()).count();
    const int64_t frame = us / 1000;
    if (frame != frame_) {
        frame_ = frame;
        used_ = 0;
    }
    if (used_ < per_frame) {
        ++used_;
        return true;
    }
    next = Clock::time_point(std::chrono::duration_cast<Clock::duration>(microseconds((frame + 1) * 1000)));
    return false;
}

Adapter::Adapter(int id_, std::string_view serial_, bool has_serial_, int channels_, bool bulk_, uint8_t address_)
    : id(id_), serial(serial_), has_serial(has_serial_), channels(channels_), bulk(bulk_), address(address_),
      channel_states_(static_cast<std::size_t>(channels_) + 1) {}

void Adapter::count(Malformed why) {
    ++malformed[static_cast<std::size_t>(Malformed::total)];
    ++malformed[static_cast<std::size_t>(why)];
}

void Adapter::drain(ChannelState& ch, Clock::time_point now) {
    if (ch.tx_fill == 0 || now <= ch.tx_since) return;
    const double per_byte = 10.0 / ch.rate;  // seconds: start bit, 8 data bits, stop bit
    const auto bytes = static_cast<std::size_t>(std::chrono::duration<double>(now - ch.tx_since).count() / per_byte);
    if (bytes >= ch.tx_fill) {
        ch.tx_fill = 0;
        return;
    }
    ch.tx_fill -= bytes;
    ch.tx_since += std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(per_byte * static_cast<double>(bytes)));
}

bool Adapter::out_ready(Clock::time_point now) {
    if (held_.empty()) return true;
    ChannelState& ch = *channel(held_[0]);
    drain(ch, now);
    if (ch.tx_fill > resume_level(held_[1])) return false;
    const std::vector<uint8_t> packet = std::move(held_);
    held_.clear();
    take_data(packet[0], std::span(packet).subspan(2, packet[1]), now);
    return true;
}

// Once full, the OUT endpoint is armed again only when the buffer has drained
// to half (and the held packet fits), as flow control with a low-water mark does.
std::size_t Adapter::resume_level(std::size_t count) const {
    const std::size_t size = std::max(uart_buffer, kMinUartBuffer);
    return std::min(size - count, size / 2);
}

Clock::time_point Adapter::out_ready_at() const {
    const ChannelState& ch = channel_states_[held_[0]];
    const std::size_t excess = ch.tx_fill - std::min(ch.tx_fill, resume_level(held_[1]));
    const double seconds = 10.0 * static_cast<double>(excess) / ch.rate;
    return ch.tx_since + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void Adapter::take_data(int n, std::span<const uint8_t> payload, Clock::time_point now) {
    ChannelState& ch = *channel(n);
    if (uart_buffer != 0) {
        if (ch.tx_fill == 0) ch.tx_since = now;
        ch.tx_fill += payload.size();
    }
    ch.received.insert(ch.received.end(), payload.begin(), payload.end());
    queue_data(partner(n), payload);
}

void Adapter::receive_packet(std::span<const uint8_t> packet, Clock::time_point now) {
    ++packets_out;
    if (packet.size() != kPacketSize) return count(Malformed::wrong_size);
    const int id_byte = packet[0];
    const std::size_t n = packet[1];
    if (id_byte == 0) return count(Malformed::bad_channel);
    if (n > kPacketSize - 2) return count(Malformed::bad_count);
    const auto payload = packet.subspan(2, n);
    const auto padding = packet.subspan(2 + n);
    if (std::any_of(padding.begin(), padding.end(), [](uint8_t b) { return b != 0; })) return count(Malformed::padding);
    if (id_byte < kControlId) {
        if (id_byte > channels) return count(Malformed::bad_channel);
        ChannelState& ch = *channel(id_byte);
        if (!ch.open) {
            dropped_bytes += payload.size();
            return;
        }
        if (uart_buffer != 0) {
            drain(ch, now);
            if (ch.tx_fill + n > std::max(uart_buffer, kMinUartBuffer)) {
                held_.assign(packet.begin(), packet.end());
                return;
            }
        }
        take_data(id_byte, payload, now);
        return;
    }
    const int target = id_byte - kControlId;
    if (target > channels) return count(Malformed::bad_channel);
    if (payload.empty() || payload.back() != '\n') return count(Malformed::unknown_command);
    const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size() - 1);
    command(target, text);
}

void Adapter::command(int target, std::string_view text) {
    if (target == 0) {
        adapter_commands.emplace_back(text);
        adapter_command(text);
    } else {
        channel(target)->commands.emplace_back(text);
        channel_command(target, text);
    }
}

void Adapter::adapter_command(std::string_view text) {
    if (text == "ChannelCount?") return reply(kControlId, std::to_string(channels));
    if (text == "Version?") return reply(kControlId, std::string(kVersion));
    std::string_view echo = text;
    if (take_prefix(echo, "Echo ") && !echo.empty() && echo.back() == '?') {
        echo.remove_suffix(1);
        return reply(kControlId, std::string(echo));
    }
    count(Malformed::unknown_command);
}

void Adapter::channel_command(int n, std::string_view text) {
    ChannelState& ch = *channel(n);
    std::string_view arg = text;
    if (text == "Config?") return reply(kControlId + n, std::to_string(ch.rate), true);
    if (take_prefix(arg, "Config ")) {
        if (auto rate = parse_rate(arg)) {
            ch.rate = *rate;
            return;
        }
    } else if (text == "OpenChannel") {
        ch.open = true;
        return;
    } else if (text == "CloseChannel") {
        ch.open = false;
        drop_channel_input(n);
        return;
    } else if (text == "FlushInput") {
        drop_channel_input(n);
        return;
    }
    count(Malformed::unknown_command);
}

void Adapter::reply(int reply_id, std::string text, bool is_rate) {
    const int scope = reply_id == kControlId ? kScopeAdapter : kScopeChannel;
    if ((fault_scope & scope) != 0) {
        switch (reply_fault) {
            case ReplyFault::silent: return;
            case ReplyFault::garbage: text = kGarbage; break;
            case ReplyFault::wrong_rate:
                if (is_rate) text = std::to_string(static_cast<uint64_t>(channel(reply_id - kControlId)->rate) * 2);
                break;
            case ReplyFault::none: break;
        }
    }
    Inbound record{Inbound::Kind::control, static_cast<uint8_t>(reply_id), {text.begin(), text.end()}};
    if (record.bytes.size() > kPacketSize - 2) record.bytes.resize(kPacketSize - 2);
    pending_bytes_ += record.bytes.size();
    pending_.push_back(std::move(record));
    cv.notify_all();
}

int Adapter::partner(int n) const {
    if (!pairing) return n;
    const int other = n % 2 == 1 ? n + 1 : n - 1;
    return other <= channels ? other : n;
}

void Adapter::queue_data(int n, std::span<const uint8_t> data) {
    const ChannelState* ch = channel(n);
    if (ch == nullptr || !ch->open) {
        dropped_bytes += data.size();
        return;
    }
    const std::size_t room = pending_bytes_ < kPendingLimit ? kPendingLimit - pending_bytes_ : 0;
    const std::size_t take = std::min(room, data.size());
    dropped_bytes += data.size() - take;
    if (take == 0) return;
    data = data.first(take);
    if (!pending_.empty() && pending_.back().kind == Inbound::Kind::data && pending_.back().id == n) {
        auto& bytes = pending_.back().bytes;
        bytes.insert(bytes.end(), data.begin(), data.end());
    } else {
        pending_.push_back({Inbound::Kind::data, static_cast<uint8_t>(n), {data.begin(), data.end()}});
    }
    pending_bytes_ += take;
    cv.notify_all();
}

std::size_t Adapter::inject(int n, std::span<const uint8_t> data) {
    const std::size_t before = dropped_bytes;
    queue_data(n, data);
    return data.size() - static_cast<std::size_t>(dropped_bytes - before);
}

void Adapter::inject_packet(std::span<const uint8_t> packet) {
    pending_.push_back({Inbound::Kind::raw, 0, {packet.begin(), packet.end()}});
    pending_bytes_ += packet.size();
    cv.notify_all();
}

void Adapter::drop_channel_input(int n) {
    std::deque<Inbound> kept;
    for (auto& record : pending_)
        if (record.kind == Inbound::Kind::data && record.id == n) pending_bytes_ -= record.bytes.size() - record.sent;
        else kept.push_back(std::move(record));
    pending_.swap(kept);
}

void Adapter::reset_firmware() {
    for (int n = 1; n <= channels; ++n) {
        channel(n)->open = false;
        channel(n)->rate = 9600;
    }
    pending_.clear();
    pending_bytes_ = 0;
    held_.clear();
    for (auto& ch : channel_states_) ch.tx_fill = 0;
}

std::size_t Adapter::build_packet(std::array<uint8_t, kPacketSize>& out) {
    out.fill(0);
    std::size_t at = 0;
    while (!pending_.empty()) {
        Inbound& record = pending_.front();
        if (record.kind == Inbound::Kind::raw) {
            if (at != 0) break;
            const std::size_t size = std::min(record.bytes.size(), kPacketSize);
            std::copy_n(record.bytes.begin(), size, out.begin());
            pending_bytes_ -= record.bytes.size();
            pending_.pop_front();
            ++packets_in;
            return size;
        }
        if (record.kind == Inbound::Kind::control) {
            // A control record ends the packet; it may fill it to the last byte.
            if (at > kPacketSize - 3 || at + 2 + record.bytes.size() > kPacketSize) break;
            out[at] = record.id;
            out[at + 1] = static_cast<uint8_t>(record.bytes.size());
            std::copy(record.bytes.begin(), record.bytes.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 2));
            at = kPacketSize;
            pending_bytes_ -= record.bytes.size();
            pending_.pop_front();
            break;
        }
        // A data record leaves room for the identifier byte that follows it,
        // and that byte must lie below offset 62 to be read as a header.
        const std::size_t room = at + 3 < kPacketSize ? kPacketSize - 3 - at : 0;
        if (room == 0) break;
        const std::size_t size = std::min(room, record.bytes.size() - record.sent);
        out[at] = record.id;
        out[at + 1] = static_cast<uint8_t>(size);
        const auto from = record.bytes.begin() + static_cast<std::ptrdiff_t>(record.sent);
        std::copy_n(from, size, out.begin() + static_cast<std::ptrdiff_t>(at + 2));
        at += 2 + size;
        record.sent += size;
        pending_bytes_ -= size;
        if (record.sent < record.bytes.size()) break;
        pending_.pop_front();
    }
    ++packets_in;
    return kPacketSize;
}

}  // namespace qsim
