#include "variation/integrity.hpp"

#include <vector>

namespace tessaron {

bool is_valid(const Network& network) {
    const std::int32_t size = network.size;
    if (size <= 0) return true;
    // One pass over the set bits: whether each node has a forward target, and a lower source.
    std::vector<char> has_target(size, 0), has_source(size, 0);
    for (std::int32_t from = 0; from < size; ++from) {
        for_each_target(
            network, from,
            [&](std::int32_t to) {
                has_target[from] = 1;
                if (from < to) has_source[to] = 1;
            },
            from);
    }
    for (std::int32_t i = 0; i < size; ++i) {
        if (i < size - network.outputs && !has_target[i]) return false;
        if (i >= network.inputs && !has_source[i]) return false;
    }
    return true;
}

}  // namespace tessaron
