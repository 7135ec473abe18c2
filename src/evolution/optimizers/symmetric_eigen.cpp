#include "evolution/optimizers/symmetric_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace tessaron {
namespace {

// The classic two-step method (as in EISPACK's tred2 and tql2), on a row-major n x n array `v`
// that starts as the matrix and ends as the eigenvectors.
struct Work {
    std::size_t n;
    std::vector<double>& v;
    std::vector<double>& d;  // diagonal, then eigenvalues
    std::vector<double> e;   // off-diagonal

    double& at(std::size_t row, std::size_t col) { return v[row * n + col]; }
};

void scale_row_to_zero(Work& w, std::size_t i) {
    w.e[i] = w.d[i - 1];
    for (std::size_t j = 0; j < i; ++j) {
        w.d[j] = w.at(i - 1, j);
        w.at(i, j) = 0.0;
        w.at(j, i) = 0.0;
    }
}

// One Householder step: annihilates row i left of its subdiagonal.
void householder_step(Work& w, std::size_t i, double scale) {
    double h = 0.0;
    for (std::size_t k = 0; k < i; ++k) {
        w.d[k] /= scale;
        h += w.d[k] * w.d[k];
    }
    double f = w.d[i - 1];
    double g = f > 0 ? -std::sqrt(h) : std::sqrt(h);
    w.e[i] = scale * g;
    h -= f * g;
    w.d[i - 1] = f - g;
    for (std::size_t j = 0; j < i; ++j) w.e[j] = 0.0;
    for (std::size_t j = 0; j < i; ++j) {
        f = w.d[j];
        w.at(j, i) = f;
        g = w.e[j] + w.at(j, j) * f;
        for (std::size_t k = j + 1; k < i; ++k) {
            g += w.at(k, j) * w.d[k];
            w.e[k] += w.at(k, j) * f;
        }
        w.e[j] = g;
    }
    f = 0.0;
    for (std::size_t j = 0; j < i; ++j) {
        w.e[j] /= h;
        f += w.e[j] * w.d[j];
    }
    const double hh = f / (h + h);
    for (std::size_t j = 0; j < i; ++j) w.e[j] -= hh * w.d[j];
    for (std::size_t j = 0; j < i; ++j) {
        f = w.d[j];
        g = w.e[j];
        for (std::size_t k = j; k < i; ++k) w.at(k, j) -= f * w.e[k] + g * w.d[k];
        w.d[j] = w.at(i - 1, j);
        w.at(i, j) = 0.0;
    }
    w.d[i] = h;
}

void accumulate_transformations(Work& w) {
    const std::size_t n = w.n;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        w.at(n - 1, i) = w.at(i, i);
        w.at(i, i) = 1.0;
        const double h = w.d[i + 1];
        if (h != 0.0) {
            for (std::size_t k = 0; k <= i; ++k) w.d[k] = w.at(k, i + 1) / h;
            for (std::size_t j = 0; j <= i; ++j) {
                double g = 0.0;
                for (std::size_t k = 0; k <= i; ++k) g += w.at(k, i + 1) * w.at(k, j);
                for (std::size_t k = 0; k <= i; ++k) w.at(k, j) -= g * w.d[k];
            }
        }
        for (std::size_t k = 0; k <= i; ++k) w.at(k, i + 1) = 0.0;
    }
    for (std::size_t j = 0; j < n; ++j) {
        w.d[j] = w.at(n - 1, j);
        w.at(n - 1, j) = 0.0;
    }
    w.at(n - 1, n - 1) = 1.0;
    w.e[0] = 0.0;
}

void tridiagonalise(Work& w) {
    const std::size_t n = w.n;
    for (std::size_t j = 0; j < n; ++j) w.d[j] = w.at(n - 1, j);
    for (std::size_t i = n - 1; i > 0; --i) {
        double scale = 0.0;
        for (std::size_t k = 0; k < i; ++k) scale += std::fabs(w.d[k]);
        if (scale == 0.0)
            scale_row_to_zero(w, i);
        else
            householder_step(w, i, scale);
        if (scale == 0.0) w.d[i] = 0.0;
    }
    accumulate_transformations(w);
}

// One implicit QL sweep on the block l .. m.
void ql_sweep(Work& w, std::size_t l, std::size_t m, double& shift) {
    const std::size_t n = w.n;
    double g = w.d[l];
    double p = (w.d[l + 1] - g) / (2.0 * w.e[l]);
    double r = std::hypot(p, 1.0);
    if (p < 0) r = -r;
    w.d[l] = w.e[l] / (p + r);
    w.d[l + 1] = w.e[l] * (p + r);
    const double dl1 = w.d[l + 1];
    double h = g - w.d[l];
    for (std::size_t i = l + 2; i < n; ++i) w.d[i] -= h;
    shift += h;
    p = w.d[m];
    double c = 1.0, c2 = 1.0, c3 = 1.0, s = 0.0, s2 = 0.0;
    const double el1 = w.e[l + 1];
    for (std::size_t i = m; i-- > l;) {
        c3 = c2;
        c2 = c;
        s2 = s;
        g = c * w.e[i];
        h = c * p;
        r = std::hypot(p, w.e[i]);
        w.e[i + 1] = s * r;
        s = w.e[i] / r;
        c = p / r;
        p = c * w.d[i] - s * g;
        w.d[i + 1] = h + s * (c * g + s * w.d[i]);
        for (std::size_t k = 0; k < n; ++k) {
            h = w.at(k, i + 1);
            w.at(k, i + 1) = s * w.at(k, i) + c * h;
            w.at(k, i) = c * w.at(k, i) - s * h;
        }
    }
    p = -s * s2 * c3 * el1 * w.e[l] / dl1;
    w.e[l] = s * p;
    w.d[l] = c * p;
}

bool diagonalise(Work& w) {
    const std::size_t n = w.n;
    for (std::size_t i = 1; i < n; ++i) w.e[i - 1] = w.e[i];
    w.e[n - 1] = 0.0;
    double shift = 0.0, largest = 0.0;
    const double eps = std::ldexp(1.0, -52);
    for (std::size_t l = 0; l < n; ++l) {
        largest = std::max(largest, std::fabs(w.d[l]) + std::fabs(w.e[l]));
        std::size_t m = l;
        while (m < n && !(std::fabs(w.e[m]) <= eps * largest)) ++m;
        if (m == n) return false;  // NaN: nothing is ever small enough
        for (int sweeps = 0; m > l && std::fabs(w.e[l]) > eps * largest; ++sweeps) {
            if (sweeps == 60) return false;
            ql_sweep(w, l, m, shift);
        }
        w.d[l] += shift;
        w.e[l] = 0.0;
    }
    return true;
}

}  // namespace

bool symmetric_eigen(const std::vector<double>& matrix, std::size_t n, SymmetricEigen& result) {
    result.values.assign(n, 0.0);
    result.vectors.assign(n * n, 0.0);
    if (n == 0) return true;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j)
            result.vectors[i * n + j] = result.vectors[j * n + i] = matrix[i * n + j];
    for (double x : result.vectors)
        if (!std::isfinite(x)) return false;
    Work work{n, result.vectors, result.values, std::vector<double>(n, 0.0)};
    tridiagonalise(work);
    if (!diagonalise(work)) return false;
    // Ascending order, columns moved with their values.
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return result.values[a] < result.values[b];
    });
    SymmetricEigen sorted{std::vector<double>(n), std::vector<double>(n * n)};
    for (std::size_t j = 0; j < n; ++j) {
        sorted.values[j] = result.values[order[j]];
        for (std::size_t k = 0; k < n; ++k)
            sorted.vectors[k * n + j] = result.vectors[k * n + order[j]];
    }
    result = std::move(sorted);
    return true;
}

}  // namespace tessaron
