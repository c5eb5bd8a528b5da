#include "protocol.hpp"

#include <algorithm>
#include <cstring>

namespace qlix::protocol {

std::size_t build_record(std::span<std::uint8_t> out, unsigned channel, std::span<const std::uint8_t> payload,
                         std::size_t package_size) noexcept {
    std::size_t used = std::max(package_size, 2 + payload.size());
    if (channel > 0xff || payload.size() > kMaxCount || out.size() < used) return 0;
    out[0] = static_cast<std::uint8_t>(channel);
    out[1] = static_cast<std::uint8_t>(payload.size());
    if (!payload.empty()) std::memcpy(out.data() + 2, payload.data(), payload.size());
    std::memset(out.data() + 2 + payload.size(), 0, used - 2 - payload.size());
    return used;
}

std::size_t build_command(std::span<std::uint8_t> out, unsigned address, std::span<const std::uint8_t> text) noexcept {
    bool ended = !text.empty() && text.back() == '\n';
    std::size_t count = ended ? text.size() : text.size() + 1;
    std::size_t used = std::max(kPackageSize, 2 + count);
    if (address > 0xff || count > kMaxCount || out.size() < used) return 0;
    build_record(out, address, text);  // fits: checked above
    out[1] = static_cast<std::uint8_t>(count);
    out[1 + count] = '\n';  // after the text, or over its own final '\n'
    return used;
}

}  // namespace qlix::protocol
