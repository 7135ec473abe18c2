// Largest error of activation_exp and activation_tanh, in ulps of the result, over random points
// of every binade of the argument and over the edge regions, measured against the long double
// library functions (64-bit significands, so their own error is below 0.001 ulp of a double).
// Also counts the results that differ from the library's double exp/tanh by more than 1 ulp.
// Usage: activation_accuracy [points per binade, default 1000000]
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>

#include "network/activation_math.hpp"

using namespace tessaron;

namespace {

static_assert(std::numeric_limits<long double>::digits >= 64, "needs an extended long double");

// |value - exact| in units of the last place of the double nearest to `exact`.
double ulp_error(double value, long double exact) {
    const double rounded = static_cast<double>(exact);
    if (std::isnan(value) || std::isinf(value) || std::isinf(rounded))
        return value == rounded ? 0.0 : std::numeric_limits<double>::infinity();
    int exponent = 0;
    std::frexp(rounded == 0.0 ? std::numeric_limits<double>::denorm_min() : rounded, &exponent);
    const int ulp_exponent = std::max(exponent - 53, -1074);
    return static_cast<double>(std::fabs(static_cast<long double>(value) - exact) /
                               std::ldexp(1.0L, ulp_exponent));
}

// How many doubles lie strictly between a and b, plus one (0 when equal).
std::uint64_t ulp_distance(double a, double b) {
    auto key = [](double v) {
        const auto bits = std::bit_cast<std::int64_t>(v);
        return bits < 0 ? std::numeric_limits<std::int64_t>::min() - bits : bits;
    };
    const std::int64_t ka = key(a), kb = key(b);
    return ka > kb ? static_cast<std::uint64_t>(ka) - static_cast<std::uint64_t>(kb)
                   : static_cast<std::uint64_t>(kb) - static_cast<std::uint64_t>(ka);
}

struct Tally {
    double worst = 0.0;
    double worst_at = 0.0;
    std::uint64_t points = 0;
    std::uint64_t beyond_one_ulp_of_libm = 0;
};

template <class Ours, class Exact, class Libm>
void check(Tally& tally, double x, Ours ours, Exact exact, Libm libm) {
    const double value = ours(x);
    const double error = ulp_error(value, exact(static_cast<long double>(x)));
    if (error > tally.worst) {
        tally.worst = error;
        tally.worst_at = x;
    }
    if (ulp_distance(value, libm(x)) > 1) ++tally.beyond_one_ulp_of_libm;
    ++tally.points;
}

void print(const char* name, const char* region, const Tally& tally) {
    std::printf("%-5s %-34s %11llu points  max %.4f ulp (at %a)  >1 ulp from libm: %llu\n", name,
                region, static_cast<unsigned long long>(tally.points), tally.worst, tally.worst_at,
                static_cast<unsigned long long>(tally.beyond_one_ulp_of_libm));
}

template <class Ours, class Exact, class Libm>
void scan(const char* name, Ours ours, Exact exact, Libm libm, int lowest_binade,
          int highest_binade, double limit, long points) {
    std::mt19937_64 engine(2024);
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    for (int sign = 1; sign >= -1; sign -= 2) {
        Tally side;
        for (int binade = lowest_binade; binade <= highest_binade; ++binade) {
            for (long i = 0; i < points; ++i) {
                const double x = sign * std::ldexp(unit(engine), binade);
                if (std::fabs(x) > limit) continue;
                check(side, x, ours, exact, libm);
            }
        }
        print(name, sign > 0 ? "positive binades" : "negative binades", side);
    }
    // Subnormal arguments, a handful per binade.
    Tally tiny;
    for (int binade = -1074; binade < -1022; ++binade)
        for (int sign = 1; sign >= -1; sign -= 2)
            for (int i = 0; i < 1000; ++i)
                check(tiny, sign * std::ldexp(unit(engine), binade), ours, exact, libm);
    print(name, "subnormal arguments", tiny);
}

}  // namespace

int main(int argc, char** argv) {
    const long points = argc > 1 ? std::atol(argv[1]) : 1000000;
    auto exp_ours = [](double x) { return activation_exp(x); };
    auto exp_exact = [](long double x) { return std::exp(x); };
    auto exp_libm = [](double x) { return std::exp(x); };
    auto tanh_ours = [](double x) { return activation_tanh(x); };
    auto tanh_exact = [](long double x) { return std::tanh(x); };
    auto tanh_libm = [](double x) { return std::tanh(x); };

    std::printf("%ld random points per binade of |x|\n", points);
    scan("exp", exp_ours, exp_exact, exp_libm, -60, 9, 746.0, points);
    scan("tanh", tanh_ours, tanh_exact, tanh_libm, -60, 5, 40.0, points);

    std::mt19937_64 engine(7);
    auto uniform_scan = [&](const char* name, auto ours, auto exact, auto libm, double low,
                            double high, const char* region) {
        std::uniform_real_distribution<double> draw(low, high);
        Tally tally;
        for (long i = 0; i < points * 4; ++i) check(tally, draw(engine), ours, exact, libm);
        print(name, region, tally);
    };
    uniform_scan("exp", exp_ours, exp_exact, exp_libm, -746.0, 710.0, "uniform on [-746, 710]");
    uniform_scan("exp", exp_ours, exp_exact, exp_libm, -745.2, -708.3,
                 "subnormal results [-745.2, -708.3]");
    uniform_scan("exp", exp_ours, exp_exact, exp_libm, 709.0, 709.79,
                 "near overflow [709, 709.79]");
    uniform_scan("exp", exp_ours, exp_exact, exp_libm, -1.0, 1.0, "uniform on [-1, 1]");
    uniform_scan("tanh", tanh_ours, tanh_exact, tanh_libm, -20.0, 20.0, "uniform on [-20, 20]");
    uniform_scan("tanh", tanh_ours, tanh_exact, tanh_libm, -1.0, 1.0, "uniform on [-1, 1]");
    uniform_scan("tanh", tanh_ours, tanh_exact, tanh_libm, 0.0078, 0.0313,
                 "lowest table binades [0.0078, 0.0313]");

    // Arguments next to the points where exp's table step changes, (k + 1/2) ln 2 / 32.
    Tally steps;
    for (int k = -34475; k <= 32775; ++k) {
        double x = (k + 0.5) * 0x1.62e42fefa39efp-6;
        for (int i = 0; i < 4; ++i) x = std::nextafter(x, -1e300);
        for (int i = 0; i < 8; ++i, x = std::nextafter(x, 1e300))
            if (x >= -746.0 && x <= 710.0) check(steps, x, exp_ours, exp_exact, exp_libm);
    }
    print("exp", "next to (k + 1/2) ln 2 / 32", steps);
    // Next to the points where tanh's table entry changes, 2^e (1 + i/32), and its midpoints.
    Tally parts;
    for (int e = -7; e <= 5; ++e)
        for (int i = 0; i < 64; ++i) {
            double x = std::ldexp(1.0 + i / 64.0, e);
            for (int n = 0; n < 64; ++n) x = std::nextafter(x, -1e300);
            for (int n = 0; n < 128; ++n, x = std::nextafter(x, 1e300))
                check(parts, x, tanh_ours, tanh_exact, tanh_libm);
        }
    print("tanh", "next to 2^e (1 + i/64)", parts);
    return 0;
}
