// Checks and fixtures shared by the tests of the variation operators.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/console.hpp"
#include "network/integrity.hpp"
#include "network/network.hpp"
#include "network/random_sources.hpp"

namespace tessaron::testing {

// Every per-node array of `size` entries, the connection arrays in step (targets ascending per
// source), every connection allowed (forward, none into an input, none out of an output).
// Returns false (after reporting) at the first violation.
inline bool well_formed(const Network& network) {
    const std::int32_t n = network.size;
    const auto nodes = static_cast<std::size_t>(n);
    if (network.biases.size() != nodes || network.activations.size() != nodes ||
        network.first_out.size() != nodes + 1 || network.first_out.front() != 0 ||
        static_cast<std::size_t>(network.first_out.back()) != network.targets.size() ||
        network.weights.size() != network.targets.size()) {
        ADD_FAILURE() << "arrays out of step with size " << n;
        return false;
    }
    for (std::int32_t from = 0; from < n; ++from) {
        for (std::int32_t e = network.out_begin(from); e < network.out_end(from); ++e) {
            const std::int32_t to = network.targets[e];
            if (e > network.out_begin(from) && network.targets[e - 1] >= to) {
                ADD_FAILURE() << "targets of " << from << " not ascending";
                return false;
            }
            const bool allowed =
                from < to && to < n && to >= network.inputs && from < n - network.outputs;
            if (!allowed) {
                ADD_FAILURE() << "connection " << from << " -> " << to << " is not allowed";
                return false;
            }
        }
    }
    return true;
}

// The integrity test's first fault found pair by pair, as a reference for find_integrity_fault:
// the first node by index that lacks an incoming connection (from below) or, failing that, an
// outgoing one (at or above its own index).
inline IntegrityFault naive_fault(const Network& network) {
    const std::int32_t n = network.size;
    for (std::int32_t i = 0; i < n; ++i) {
        if (i >= network.inputs) {
            bool in = false;
            for (std::int32_t j = 0; j < i; ++j) in = in || network.connected(j, i);
            if (!in) return {IntegrityFault::no_incoming, i};
        }
        if (i < n - network.outputs) {
            bool out = false;
            for (std::int32_t j = i; j < n; ++j) out = out || network.connected(i, j);
            if (!out) return {IntegrityFault::no_outgoing, i};
        }
    }
    return {};
}

inline bool naive_valid(const Network& network) {
    return naive_fault(network).kind == IntegrityFault::none;
}

// Genes equal: counts, biases, kinds, weights and connection bits.
inline bool same_genes(const Network& a, const Network& b) {
    return a.size == b.size && a.inputs == b.inputs && a.outputs == b.outputs &&
           a.biases == b.biases && a.activations == b.activations && a.weights == b.weights &&
           a.first_out == b.first_out && a.targets == b.targets;
}

// Makes the next values of the calling thread's rand() sequence repeatable.
inline void seed_rand(unsigned seed) {
    thread_random_sources().rand.seed(seed);
}

// The next value of the calling thread's rand() sequence.
inline int next_rand() {
    return thread_random_sources().rand();
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
