// What the fuzz targets share: their input read front to back, and the checks whose failure is a
// finding (the process aborts, and libFuzzer keeps the input that did it).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "network/network.hpp"

namespace tessaron::fuzz {

// The input as a source of little values and then of the bytes that are left. Past its end every
// value reads as zero, so any input is a complete one.
class FuzzBytes {
  public:
    FuzzBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    template <class T>
    T take() {
        T value{};
        const std::size_t count = std::min(sizeof(T), size_ - position_);
        std::memcpy(&value, data_ + position_, count);
        position_ += count;
        return value;
    }
    std::uint8_t byte() { return take<std::uint8_t>(); }
    // A string of up to 255 bytes, its length first.
    std::string_view text() {
        const std::size_t length = std::min<std::size_t>(byte(), size_ - position_);
        const std::string_view result(reinterpret_cast<const char*>(data_ + position_), length);
        position_ += length;
        return result;
    }
    std::string_view rest() {
        const std::string_view result(reinterpret_cast<const char*>(data_ + position_),
                                      size_ - position_);
        position_ = size_;
        return result;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
};

inline void require(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

// Equal bit for bit, NaN payloads included.
inline bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

inline bool same_network(const Network& a, const Network& b) {
    return a.size == b.size && a.inputs == b.inputs && a.outputs == b.outputs &&
           same_bits(a.biases, b.biases) && a.activations == b.activations &&
           a.first_out == b.first_out && a.targets == b.targets && same_bits(a.weights, b.weights);
}

// The shape every reader must give: counts in order, node arrays of `size`, connections stored
// by source with ascending targets, each of the allowed pattern.
inline void require_well_formed(const Network& network) {
    const std::int32_t size = network.size;
    require(network.inputs >= 1 && network.outputs >= 1 &&
                size >= std::int64_t{network.inputs} + network.outputs,
            "counts");
    require(network.biases.size() == static_cast<std::size_t>(size) &&
                network.activations.size() == network.biases.size() &&
                network.first_out.size() == network.biases.size() + 1,
            "node arrays");
    require(network.first_out.front() == 0 &&
                network.first_out.back() == static_cast<std::int32_t>(network.targets.size()) &&
                network.weights.size() == network.targets.size(),
            "connection arrays");
    for (std::int32_t from = 0; from < size; ++from) {
        require(network.out_begin(from) <= network.out_end(from), "offsets ascend");
        for (std::int32_t e = network.out_begin(from); e < network.out_end(from); ++e) {
            require(
                connection_allowed(from, network.targets[e], size, network.inputs, network.outputs),
                "allowed pattern");
            require(e == network.out_begin(from) || network.targets[e - 1] < network.targets[e],
                    "targets ascend");
        }
    }
}

}  // namespace tessaron::fuzz
