// The adapter's packet format, in plain C++ (no Python types).
//
// A packet is 64 bytes holding records: channel identifier (1 byte), count
// (1 byte), count payload bytes. Identifier 0 ends a packet; 1..99 are serial
// channels; 100 is the adapter's control channel; 100 + n is the command
// address of channel n. A record header starts only below offset 62.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace qlix::protocol {

inline constexpr std::size_t kPackageSize = 64;
inline constexpr std::size_t kMaxPayload = kPackageSize - 2;  // 62
inline constexpr unsigned kControlChannel = 100;
inline constexpr std::size_t kMaxCount = 255;                 // what a count byte holds
inline constexpr std::size_t kMaxRecordSize = 2 + kMaxCount;  // the largest one-record packet

struct Record {
    unsigned channel;   // identifier, 1..255
    std::size_t begin;  // payload offset in the packet
    std::size_t end;    // payload end, cut at the received bytes
};

// Walks the records of one received packet. `max_index` is the first offset
// at which no header may start (package size - 2). The walk never reads
// outside `bytes`: when the next identifier or count byte would lie at or past
// the received bytes, it ends quietly. A control record (identifier >= 100)
// ends the walk of its packet.
class RecordWalker {
public:
    RecordWalker(std::span<const std::uint8_t> bytes, std::size_t max_index) noexcept
        : bytes_(bytes), max_index_(max_index) {
        channel_ = bytes_.empty() ? 0u : bytes_[0];
    }

    // The next record, or false when the walk has ended.
    bool next(Record& out) noexcept {
        if (index_ >= max_index_ || channel_ == 0) return false;
        ++index_;
        if (index_ >= bytes_.size()) return end();
        std::size_t count = bytes_[index_];
        ++index_;
        std::size_t begin = index_ < bytes_.size() ? index_ : bytes_.size();
        std::size_t end = index_ + count < bytes_.size() ? index_ + count : bytes_.size();
        out = Record{channel_, begin, end};
        if (channel_ < kControlChannel) {
            index_ += count;
            channel_ = index_ < max_index_ && index_ < bytes_.size() ? bytes_[index_] : 0u;
        } else {
            channel_ = 0;
        }
        return true;
    }

private:
    bool end() noexcept {
        channel_ = 0;
        return false;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t max_index_;
    std::size_t index_ = 0;
    unsigned channel_;
};

// Builds one outbound packet holding a single record: identifier, count, payload,
// zeros up to `package_size`. Returns the bytes used (more only when the payload
// does not fit), or 0 when identifier or count exceed a byte or `out` is short.
// The payload may already lie in place at out + 2; it overlaps `out` nowhere else.
inline std::size_t build_record(std::span<std::uint8_t> out, unsigned channel, std::span<const std::uint8_t> payload,
                                std::size_t package_size = kPackageSize) noexcept {
    std::size_t used = package_size > 2 + payload.size() ? package_size : 2 + payload.size();
    if (channel > 0xff || payload.size() > kMaxCount || out.size() < used) return 0;
    out[0] = static_cast<std::uint8_t>(channel);
    out[1] = static_cast<std::uint8_t>(payload.size());
    if (!payload.empty() && payload.data() != out.data() + 2)
        std::memcpy(out.data() + 2, payload.data(), payload.size());
    std::memset(out.data() + 2 + payload.size(), 0, used - 2 - payload.size());
    return used;
}

// Builds one command packet: a record of `address` (100 + channel) holding the
// text ended by '\n' (added unless it ends so); returns as build_record does.
std::size_t build_command(std::span<std::uint8_t> out, unsigned address, std::span<const std::uint8_t> text) noexcept;

}  // namespace qlix::protocol
