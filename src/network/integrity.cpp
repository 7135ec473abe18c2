#include "network/integrity.hpp"

#include <vector>

namespace tessaron {

IntegrityFault find_integrity_fault(const Network& network) {
    const std::int32_t size = network.size;
    if (size <= 0) return {};
    // reached[k]: some node below k feeds k. Targets past the last node are never looked at.
    thread_local std::vector<char> reached;
    reached.assign(static_cast<std::size_t>(size), 0);
    for (std::int32_t i = 0; i < size; ++i) {
        if (i >= network.inputs && !reached[i]) return {IntegrityFault::no_incoming, i};
        // Targets ascend, so the last one tells whether any lies at or above i.
        const std::int32_t begin = network.out_begin(i), end = network.out_end(i);
        bool found = false;
        for (std::int32_t e = end - 1; e >= begin && network.targets[e] >= i; --e) {
            const std::int32_t k = network.targets[e];
            if (k >= size) continue;
            found = true;
            if (k > i) reached[k] = 1;
        }
        if (i < size - network.outputs && !found) return {IntegrityFault::no_outgoing, i};
    }
    return {};
}

std::string describe(const IntegrityFault& fault, const Network& network) {
    if (fault.kind == IntegrityFault::none) return "no fault";
    const char* role = fault.node < network.inputs                    ? "input"
                       : fault.node >= network.size - network.outputs ? "output"
                                                                      : "hidden";
    return std::string(role) + " node " + std::to_string(fault.node) + " has no " +
           (fault.kind == IntegrityFault::no_incoming ? "incoming" : "outgoing") + " connection";
}

}  // namespace tessaron
