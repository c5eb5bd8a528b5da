#include "protocol.hpp"

#include <cstring>

namespace qlix::protocol {

std::size_t build_record(std::uint8_t* out, std::size_t out_size, unsigned channel,
                         std::span<const std::uint8_t> payload) noexcept {
    std::size_t used = 2 + payload.size();
    if (out_size < used || out_size < kPackageSize) return 0;
    out[0] = static_cast<std::uint8_t>(channel);
    out[1] = static_cast<std::uint8_t>(payload.size());
    if (!payload.empty()) std::memcpy(out + 2, payload.data(), payload.size());
    if (used < kPackageSize) std::memset(out + used, 0, kPackageSize - used);
    return used < kPackageSize ? kPackageSize : used;
}

}  // namespace qlix::protocol
