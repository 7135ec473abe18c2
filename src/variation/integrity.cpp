#include "variation/integrity.hpp"

#include <cstdint>
#include <vector>

namespace tessaron {

bool is_valid(const Network& network) {
    const std::int32_t size = network.size;
    if (size <= 0) return true;
    // reached[k]: some node below k feeds k. Targets past the last node are never looked at.
    thread_local std::vector<char> reached;
    reached.assign(static_cast<std::size_t>(size), 0);
    for (std::int32_t i = 0; i < size; ++i) {
        if (i >= network.inputs && !reached[i]) return false;
        // Targets ascend, so the last one tells whether any lies at or above i.
        const std::int32_t begin = network.out_begin(i), end = network.out_end(i);
        bool found = false;
        for (std::int32_t e = end - 1; e >= begin && network.targets[e] >= i; --e) {
            const std::int32_t k = network.targets[e];
            if (k >= size) continue;
            found = true;
            if (k > i) reached[k] = 1;
        }
        if (i < size - network.outputs && !found) return false;
    }
    return true;
}

}  // namespace tessaron
