#include "variation/integrity.hpp"

#include <cstdint>
#include <vector>

namespace tessaron {

bool is_valid(const Network& network) {
    const std::int32_t size = network.size;
    if (size <= 0) return true;
    const std::int32_t words = network.row_words();
    // Targets of rows 0 .. i-1, merged a word at a time: node i has a lower source exactly when
    // its bit is set here when row i is reached. Bits past the last node are never looked at.
    thread_local std::vector<std::uint64_t> reached;
    reached.assign(static_cast<std::size_t>(words), 0);
    for (std::int32_t i = 0; i < size; ++i) {
        const std::uint64_t* row = network.row(i);
        if (i < size - network.outputs) {
            // A target at i or above (and below size).
            bool found = false;
            for (std::int32_t w = i >> 6; w < words && !found; ++w) {
                std::uint64_t bits = row[w];
                if (w == (i >> 6)) bits &= ~std::uint64_t{0} << (i & 63);
                if (w == words - 1 && (size & 63) != 0)
                    bits &= (std::uint64_t{1} << (size & 63)) - 1;
                found = bits != 0;
            }
            if (!found) return false;
        }
        if (i >= network.inputs && !((reached[i >> 6] >> (i & 63)) & 1u)) return false;
        for (std::int32_t w = (i + 1) >> 6; w < words; ++w) reached[w] |= row[w];
    }
    return true;
}

}  // namespace tessaron
