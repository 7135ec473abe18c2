#include "network/activation.hpp"

namespace tessaron {

std::optional<std::int32_t> activation_from_name(std::string_view name) {
    for (int kind = 0; kind < activation_kind_count; ++kind)
        if (activation_names[kind] == name) return kind;
    return std::nullopt;
}

std::int32_t random_activation(RandState& rand) {
    return rand() % activation_kind_count;
}

}  // namespace tessaron
