// The names that tie a Keras layer to a network node: "node" followed by the decimal index.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

inline constexpr std::string_view node_prefix = "node";

inline std::string node_name(std::int32_t index) {
    return std::string(node_prefix) + std::to_string(index);
}

// Layers are recognised by their first four characters alone.
inline bool is_node_name(std::string_view name) {
    return name.starts_with(node_prefix);
}

// The index of a node name: the whole rest of the name, one or more decimal digits, within the
// range of a node index. Anything else (no digits, a sign, a space, trailing text) gives nothing.
inline std::optional<std::int32_t> parse_node_index(std::string_view name) {
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
