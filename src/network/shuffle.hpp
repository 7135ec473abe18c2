// One random permutation applied to two parallel sequences, so that the items found together at
// any position before the shuffle are found together at some position after it.
//
// The permutation comes from a rand() sequence in its current state (by default the calling
// thread's): Fisher-Yates with rejection, so every permutation is equally likely. It is applied
// along its cycles with swaps, so items are moved, never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "network/random_sources.hpp"
#include "network/sample_matrix.hpp"

namespace tessaron {

// Fills `permutation` with a uniformly random permutation of 0 .. n-1, drawn from `rand`.
void draw_permutation(std::size_t n, std::vector<std::size_t>& permutation,
                      RandState& rand = thread_random_sources().rand);

// Marks of the cycles already walked, reused from call to call on each thread.
std::vector<char>& permutation_marks(std::size_t n);

// Moves the item at every position x to position permutation[x]: swap_at(i, j) must exchange
// the items at positions i and j of every sequence concerned (and must not itself apply a
// permutation: the marks are shared on the thread).
template <class SwapAt>
void apply_permutation(std::span<const std::size_t> permutation, SwapAt&& swap_at) {
    const std::size_t n = permutation.size();
    std::vector<char>& done = permutation_marks(n);
    for (std::size_t start = 0; start < n; ++start) {
        if (done[start]) continue;
        done[start] = 1;
        // The item that belongs at `next` is always the one parked at `start`.
        for (std::size_t next = permutation[start]; next != start; next = permutation[next]) {
            swap_at(start, next);
            done[next] = 1;
        }
    }
}

inline void check_same_length(std::size_t first, std::size_t second) {
    if (first != second)
        throw InvalidData("cannot shuffle sequences of different lengths together (" +
                          std::to_string(first) + " and " + std::to_string(second) + ")");
}

// Reorders two vectors of equal length by one random permutation.
template <class A, class B>
void shuffle_together(std::vector<A>& first, std::vector<B>& second,
                      RandState& rand = thread_random_sources().rand) {
    check_same_length(first.size(), second.size());
    thread_local std::vector<std::size_t> permutation;
    draw_permutation(first.size(), permutation, rand);
    apply_permutation(permutation, [&](std::size_t i, std::size_t j) {
        using std::swap;
        swap(first[i], first[j]);
        swap(second[i], second[j]);
    });
}

// Reorders the rows of two sample tables of the same row count by one random permutation.
void shuffle_together(SampleMatrix& first, SampleMatrix& second,
                      RandState& rand = thread_random_sources().rand);

}  // namespace tessaron
