#include "protocol.hpp"

#include <algorithm>

namespace qlix::protocol {

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
