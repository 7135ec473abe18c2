// The names that tie a layer of an exported model to a network node: "node" followed by the
// decimal index.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessaron {

inline constexpr std::string_view node_prefix = "node";

std::string node_name(std::int32_t index);

// Layers are recognised by their first four characters alone.
inline bool is_node_name(std::string_view name) {
    return name.starts_with(node_prefix);
}

// The index of a node name: the whole rest of the name, one or more decimal digits, within the
// range of a node index. Anything else (no digits, a sign, a space, trailing text) gives nothing.
std::optional<std::int32_t> parse_node_index(std::string_view name);

}  // namespace tessaron
