// libFuzzer target over the packet record walk and the packet builders.
//
// Input: one byte choosing the walk limit (and the package size of the built
// data packets), then the received bytes. The walk must stay inside the
// received bytes (ASan checks every access, the bytes are libFuzzer's
// exact-size buffer), report only records that lie inside them, end at a
// control record, and end at all. The builders (data records and commands)
// must write only inside their exact-size output, refuse what a header byte
// cannot hold, and produce a packet the walker reads back as the record that
// went in.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "protocol.hpp"

using namespace qlix::protocol;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void walk(std::span<const std::uint8_t> bytes, std::size_t max_index) {
    RecordWalker walker(bytes, max_index);
    Record r{};
    std::size_t records = 0;
    std::size_t last_begin = 0;
    bool ended_by_control = false;
    while (walker.next(r)) {
        check(!ended_by_control);
        check(r.channel != 0 && r.channel <= 255);
        check(r.begin <= r.end && r.end <= bytes.size());
        check(r.begin >= 2 && r.begin < max_index + 2);
        check(records == 0 || r.begin > last_begin);
        check(r.end - r.begin <= 255);
        check(bytes[r.begin - 2] == r.channel);  // the header is where the record says
        check(r.end - r.begin == std::min<std::size_t>(bytes[r.begin - 1], bytes.size() - r.begin));
        // Touch the payload: ASan reports any byte outside the buffer.
        volatile std::uint8_t sink = 0;
        for (std::size_t i = r.begin; i < r.end; ++i) sink = static_cast<std::uint8_t>(sink ^ bytes[i]);
        ended_by_control = r.channel >= kControlChannel;
        last_begin = r.begin;
        check(++records <= max_index);
    }
    check(!walker.next(r));  // an ended walk stays ended
}

// A built packet holds one record of `channel` with `payload`, then only
// zeros, and the walker reads that record back.
void read_back(std::span<const std::uint8_t> packet, unsigned channel, std::span<const std::uint8_t> payload) {
    check(packet[0] == channel && packet[1] == payload.size());
    for (std::size_t i = 2 + payload.size(); i < packet.size(); ++i) check(packet[i] == 0);
    if (channel == 0 || packet.size() <= 2) return;  // identifier 0 ends a packet: nothing to read
    RecordWalker walker(packet, packet.size() - 2);
    Record r{};
    check(walker.next(r));
    check(r.channel == channel && r.begin == 2 && r.end - r.begin == payload.size());
    check(payload.empty() || std::memcmp(packet.data() + r.begin, payload.data(), payload.size()) == 0);
    check(!walker.next(r));
}

// An output one byte short is refused and left as it was.
template <class Build>
void refuses_short_output(std::size_t needed, Build&& build) {
    std::vector<std::uint8_t> short_out(needed - 1, 0xa5);
    check(build(std::span<std::uint8_t>(short_out)) == 0);
    for (std::uint8_t b : short_out) check(b == 0xa5);
}

void round_trip(std::span<const std::uint8_t> payload, unsigned channel, std::size_t package_size) {
    std::size_t needed = std::max(package_size, 2 + payload.size());
    auto build = [&](std::span<std::uint8_t> out) { return build_record(out, channel, payload, package_size); };
    std::vector<std::uint8_t> out(needed);  // exactly the size needed: ASan sees any write past it
    if (channel > kMaxCount || payload.size() > kMaxCount) {
        check(build(out) == 0);
        return;
    }
    refuses_short_output(needed, build);
    check(build(out) == needed);
    read_back(out, channel, payload);
    // The same packet from a payload already in place.
    std::vector<std::uint8_t> in_place(needed);
    std::copy(payload.begin(), payload.end(), in_place.begin() + 2);
    std::span<const std::uint8_t> placed = std::span(in_place).subspan(2, payload.size());
    check(build_record(in_place, channel, placed, package_size) == needed && in_place == out);
}

// A command packet is the record build_record makes of the text ended by '\n'.
void command_round_trip(std::span<const std::uint8_t> text, unsigned address) {
    std::vector<std::uint8_t> payload(text.begin(), text.end());
    if (payload.empty() || payload.back() != '\n') payload.push_back('\n');
    std::size_t needed = std::max(kPackageSize, 2 + payload.size());
    auto build = [&](std::span<std::uint8_t> out) { return build_command(out, address, text); };
    std::vector<std::uint8_t> out(needed), expected(needed);
    if (address > kMaxCount || payload.size() > kMaxCount) {
        check(build(out) == 0);
        return;
    }
    refuses_short_output(needed, build);
    check(build(out) == needed);
    check(build_record(expected, address, payload) == needed && out == expected);
    read_back(out, address, payload);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // Mostly the real limit (62); sometimes any other, to test the walk's own bounds.
    std::size_t max_index = data[0] < 200 ? kPackageSize - 2 : data[0] - 200u;
    std::span<const std::uint8_t> bytes(data + 1, size - 1);
    walk(bytes, max_index);
    if (bytes.empty()) return 0;
    // The first byte is the built packets' identifier; now and then one past a byte.
    unsigned ident = bytes[0] + (data[0] % 16 == 15 ? 256u : 0u);
    round_trip(bytes.subspan(1), ident, max_index + 2);
    command_round_trip(bytes.subspan(1), ident);
    return 0;
}
