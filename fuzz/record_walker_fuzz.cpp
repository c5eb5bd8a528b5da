// libFuzzer target over the packet record walk and the record builder.
//
// Input: one byte choosing the walk limit, then the received bytes. The walk
// must stay inside the received bytes (ASan checks every access, the bytes
// are libFuzzer's exact-size buffer), report only records that lie inside
// them, end at a control record, and end at all. The builder must produce a
// packet the walker reads back as the record that went in.
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

void round_trip(std::span<const std::uint8_t> payload, unsigned channel) {
    if (payload.size() > kMaxPayload || channel == 0) return;
    std::vector<std::uint8_t> out(kPackageSize);
    check(build_record(out.data(), out.size(), channel, payload) == kPackageSize);
    RecordWalker walker(out, kPackageSize - 2);
    Record r{};
    check(walker.next(r));
    check(r.channel == channel && r.end - r.begin == payload.size());
    check(payload.empty() || std::memcmp(out.data() + r.begin, payload.data(), payload.size()) == 0);
    for (std::size_t i = r.end; i < out.size(); ++i) check(out[i] == 0);
    check(!walker.next(r));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // Mostly the real limit (62); sometimes any other, to test the walk's own bounds.
    std::size_t max_index = data[0] < 200 ? kPackageSize - 2 : data[0] - 200u;
    std::span<const std::uint8_t> bytes(data + 1, size - 1);
    walk(bytes, max_index);
    if (!bytes.empty()) round_trip(bytes.subspan(1), bytes[0]);
    return 0;
}
