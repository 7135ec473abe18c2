#include "network/shuffle.hpp"

#include <algorithm>
#include <numeric>

#include "network/rand_range.hpp"

namespace tessaron {

void draw_permutation(std::size_t n, std::vector<std::size_t>& permutation, RandState& rand) {
    permutation.resize(n);
    std::iota(permutation.begin(), permutation.end(), std::size_t{0});
    for (std::size_t i = 1; i < n; ++i) {
        const auto r = static_cast<std::size_t>(uniform_below(i + 1, rand_radix, rand));
        if (r != i) std::swap(permutation[i], permutation[r]);
    }
}

std::vector<char>& permutation_marks(std::size_t n) {
    thread_local std::vector<char> marks;
    marks.assign(n, 0);
    return marks;
}

void shuffle_together(SampleMatrix& first, SampleMatrix& second, RandState& rand) {
    check_same_length(static_cast<std::size_t>(first.rows), static_cast<std::size_t>(second.rows));
    thread_local std::vector<std::size_t> permutation;
    draw_permutation(static_cast<std::size_t>(first.rows), permutation, rand);
    apply_permutation(permutation, [&](std::size_t i, std::size_t j) {
        const auto a = static_cast<std::int32_t>(i), b = static_cast<std::int32_t>(j);
        std::swap_ranges(first.row(a), first.row(a) + first.cols, first.row(b));
        std::swap_ranges(second.row(a), second.row(a) + second.cols, second.row(b));
    });
}

}  // namespace tessaron
