// Checks and fixtures shared by the tests of the variation operators.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/console.hpp"
#include "network/network.hpp"
#include "network/random.hpp"

namespace tessaron::testing {

// Every per-node array of `size` entries, both matrices size x size, every connection forward,
// none into an input, none out of an output, no bit beyond the last node, weight 0 wherever the
// bit is clear. Returns false (after reporting) at the first violation.
inline bool well_formed(const Network& network) {
    const std::int32_t n = network.size;
    const auto nodes = static_cast<std::size_t>(n);
    if (network.biases.size() != nodes || network.sums.size() != nodes ||
        network.values.size() != nodes || network.activations.size() != nodes ||
        network.weights.size() != nodes * nodes ||
        network.connections.size() != nodes * Network::words_for(n)) {
        ADD_FAILURE() << "arrays out of step with size " << n;
        return false;
    }
    for (std::int32_t from = 0; from < n; ++from) {
        for (std::int32_t to = 0; to < n; ++to) {
            const bool allowed = from < to && to >= network.inputs && from < n - network.outputs;
            if (network.connected(from, to) && !allowed) {
                ADD_FAILURE() << "connection " << from << " -> " << to << " is not allowed";
                return false;
            }
            if (!network.connected(from, to) && network.weight(from, to) != 0.0) {
                ADD_FAILURE() << "weight without connection at " << from << " -> " << to;
                return false;
            }
        }
        for (std::int32_t to = n; to < Network::words_for(n) * 64; ++to) {
            if (network.connected(from, to)) {
                ADD_FAILURE() << "bit beyond the last node in row " << from;
                return false;
            }
        }
    }
    return true;
}

// Validity checked pair by pair, as a reference for is_valid.
inline bool naive_valid(const Network& network) {
    const std::int32_t n = network.size;
    for (std::int32_t i = 0; i < n; ++i) {
        if (i < n - network.outputs) {
            bool out = false;
            for (std::int32_t j = i; j < n; ++j) out = out || network.connected(i, j);
            if (!out) return false;
        }
        if (i >= network.inputs) {
            bool in = false;
            for (std::int32_t j = 0; j < i; ++j) in = in || network.connected(j, i);
            if (!in) return false;
        }
    }
    return true;
}

// Genes equal: counts, biases, kinds, weights and connection bits.
inline bool same_genes(const Network& a, const Network& b) {
    return a.size == b.size && a.inputs == b.inputs && a.outputs == b.outputs &&
           a.biases == b.biases && a.activations == b.activations && a.weights == b.weights &&
           a.connections == b.connections;
}

// Makes the next rand() values repeatable: both once-flags are spent first, so that no seeding
// by the time happens behind the test's back.
inline void seed_rand(unsigned seed) {
    seed_activation_draws_once();
    seed_structure_draws_once();
    std::srand(seed);
}

// Collects everything written to the console while it lives.
class ConsoleCapture {
  public:
    ConsoleCapture() {
        text().clear();
        set_console_writer([](std::string_view written) { text().append(written); });
    }
    ~ConsoleCapture() { set_console_writer(nullptr); }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    // Returns what was written so far and starts afresh.
    std::string take() {
        std::string written = std::move(text());
        text().clear();
        return written;
    }

  private:
    static std::string& text() {
        static std::string written;
        return written;
    }
};

}  // namespace tessaron::testing
