#include "interchange/node_names.hpp"

#include <limits>

namespace tessaron {

std::string node_name(std::int32_t index) {
    return std::string(node_prefix) + std::to_string(index);
}

std::optional<std::int32_t> parse_node_index(std::string_view name) {
    if (!is_node_name(name)) return std::nullopt;
    const std::string_view digits = name.substr(node_prefix.size());
    if (digits.empty()) return std::nullopt;
    std::int64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace tessaron
