#include "evolution/optimizers/covariance_adaptation.hpp"

#include <algorithm>
#include <cmath>

#include "evolution/optimizers/symmetric_eigen.hpp"

namespace tessaron {
namespace {

// sigma stays in this range: at 0 it could never grow again, and beyond it only overflows.
constexpr double smallest_sigma = 1e-20;
constexpr double largest_sigma = 1e20;
// C's eigenvalues are kept above this share of the largest, so that whitening stays finite.
constexpr double smallest_condition = 1e-14;

double expected_norm(std::size_t n) {
    const double k = static_cast<double>(n);
    return std::sqrt(k) * (1.0 - 1.0 / (4.0 * k) + 1.0 / (21.0 * k * k));
}

// Eigenvalues from C again: now and then, as often as C changes by a tenth of itself.
void decompose(CovarianceDistribution& d) {
    d.decomposed_at = d.updates;
    const std::size_t n = d.n;
    if (d.separable) {
        for (std::size_t i = 0; i < n; ++i) d.scales[i] = std::sqrt(std::max(d.matrix[i], 0.0));
    } else {
        SymmetricEigen eigen;
        if (!symmetric_eigen(d.matrix, n, eigen)) {
            // Not finite: start over from the diagonal it had, as far as it was usable.
            for (std::size_t i = 0; i < n; ++i)
                for (std::size_t j = 0; j < n; ++j)
                    d.matrix[i * n + j] = i == j ? d.scales[i] * d.scales[i] : 0.0;
            symmetric_eigen(d.matrix, n, eigen);
        }
        d.basis = std::move(eigen.vectors);
        for (std::size_t i = 0; i < n; ++i) d.scales[i] = std::sqrt(std::max(eigen.values[i], 0.0));
    }
    const double largest = *std::max_element(d.scales.begin(), d.scales.end());
    const double floor = largest > 0.0 ? largest * std::sqrt(smallest_condition) : 1.0;
    for (double& s : d.scales) s = std::max(s, floor);
}

bool due_for_decomposition(const CovarianceDistribution& d) {
    if (d.separable) return true;
    const double gap = static_cast<double>(d.lambda) / ((d.c_1 + d.c_mu) * d.n * 10.0);
    return static_cast<double>(d.updates - d.decomposed_at) >= std::max(gap, 1.0);
}

// C^(-1/2) y.
std::vector<double> whiten(const CovarianceDistribution& d, const std::vector<double>& y) {
    const std::size_t n = d.n;
    std::vector<double> result(n, 0.0);
    if (d.separable) {
        for (std::size_t i = 0; i < n; ++i) result[i] = y[i] / d.scales[i];
        return result;
    }
    std::vector<double> rotated(n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) rotated[j] += d.basis[i * n + j] * y[i];
    for (std::size_t j = 0; j < n; ++j) rotated[j] /= d.scales[j];
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) result[i] += d.basis[i * n + j] * rotated[j];
    return result;
}

double norm(const std::vector<double>& v) {
    double sum = 0.0;
    for (double x : v) sum += x * x;
    return std::sqrt(sum);
}

// The lower Cholesky factor of a full C, row-major; empty where it is not positive definite.
std::vector<double> cholesky_factor(const std::vector<double>& matrix, std::size_t n) {
    std::vector<double> lower(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            double sum = matrix[i * n + j];
            for (std::size_t k = 0; k < j; ++k) sum -= lower[i * n + k] * lower[j * n + k];
            if (i == j) {
                if (!(sum > 0.0)) return {};
                lower[i * n + i] = std::sqrt(sum);
            } else {
                lower[i * n + j] = sum / lower[j * n + j];
            }
        }
    return lower;
}

bool positive_definite(const CovarianceDistribution& d, const std::vector<double>& matrix) {
    if (!d.separable) return !cholesky_factor(matrix, d.n).empty();
    return std::all_of(matrix.begin(), matrix.end(), [](double v) { return v > 0.0; });
}

// y' C^-1 y, by forward substitution through C's Cholesky factor.
double squared_mahalanobis(const std::vector<double>& lower, const double* y, std::size_t n,
                           std::vector<double>& solved) {
    double squares = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double sum = y[i];
        for (std::size_t k = 0; k < i; ++k) sum -= lower[i * n + k] * solved[k];
        solved[i] = sum / lower[i * n + i];
        squares += solved[i] * solved[i];
    }
    return squares;
}

// Each worse step's squared Mahalanobis length: under the decomposition it was drawn from, or
// under C as it is now (0 where C is not positive definite, and the step then takes nothing).
std::vector<double> worse_lengths(const CovarianceDistribution& d,
                                  const std::vector<double>& ranked, bool as_drawn) {
    const std::size_t n = d.n;
    const std::vector<double> lower =
        as_drawn || d.separable ? std::vector<double>{} : cholesky_factor(d.matrix, n);
    std::vector<double> lengths, y(n), solved(n);
    for (std::size_t k = 0; k < d.negative_weights.size(); ++k) {
        std::copy_n(ranked.begin() + static_cast<std::ptrdiff_t>((d.mu + k) * n), n, y.begin());
        double squares = 0.0;
        if (as_drawn) {
            for (double v : whiten(d, y)) squares += v * v;
        } else if (d.separable) {
            for (std::size_t i = 0; i < n && squares >= 0.0; ++i)
                squares = d.matrix[i] > 0.0 ? squares + y[i] * y[i] / d.matrix[i] : -1.0;
        } else if (!lower.empty()) {
            squares = squared_mahalanobis(lower, y.data(), n, solved);
        }
        lengths.push_back(std::max(squares, 0.0));
    }
    return lengths;
}

// C after the update, each worse step weighted by n over its squared length (so that no long
// unlucky step can take more variance than C has in its direction).
std::vector<double> updated_matrix(const CovarianceDistribution& d,
                                   const std::vector<double>& ranked, double keep,
                                   const std::vector<double>& worse_squares) {
    const std::size_t n = d.n;
    std::vector<double> weights = d.weights;
    for (std::size_t k = 0; k < worse_squares.size(); ++k)
        weights.push_back(worse_squares[k] > 0.0
                              ? d.negative_weights[k] * static_cast<double>(n) / worse_squares[k]
                              : 0.0);
    const std::size_t rows = weights.size();
    std::vector<double> matrix(d.matrix.size());
    if (d.separable) {
        for (std::size_t i = 0; i < n; ++i) {
            double rank_mu = 0.0;
            for (std::size_t k = 0; k < rows; ++k)
                rank_mu += weights[k] * ranked[k * n + i] * ranked[k * n + i];
            matrix[i] = keep * d.matrix[i] + d.c_1 * d.path_c[i] * d.path_c[i] + d.c_mu * rank_mu;
        }
        return matrix;
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            double rank_mu = 0.0;
            for (std::size_t k = 0; k < rows; ++k)
                rank_mu += weights[k] * ranked[k * n + i] * ranked[k * n + j];
            const double value =
                keep * d.matrix[i * n + j] + d.c_1 * d.path_c[i] * d.path_c[j] + d.c_mu * rank_mu;
            matrix[i * n + j] = value;
            matrix[j * n + i] = value;
        }
    return matrix;
}

// The worse steps' lengths are measured as they were drawn, as the strategy does; but that
// decomposition may be generations old, and where C has shrunk since, they would take more
// variance than C has left. C would then lose its positive definiteness: the update is made
// again with the lengths under C as it is now, which cannot.
void update_matrix(CovarianceDistribution& d, const std::vector<double>& ranked, bool held) {
    const double lost = held ? 0.0 : d.c_1 * d.c_c * (2.0 - d.c_c);
    double weight_sum = 1.0;
    for (double w : d.negative_weights) weight_sum += w;
    const double keep = 1.0 - d.c_1 - d.c_mu * weight_sum + lost;
    std::vector<double> matrix = updated_matrix(d, ranked, keep, worse_lengths(d, ranked, true));
    if (!positive_definite(d, matrix))
        matrix = updated_matrix(d, ranked, keep, worse_lengths(d, ranked, false));
    d.matrix = std::move(matrix);
}

}  // namespace

void covariance_set_population(CovarianceDistribution& d, std::size_t lambda) {
    const double n = static_cast<double>(std::max<std::size_t>(d.n, 1));
    d.lambda = std::max<std::size_t>(lambda, 2);
    d.mu = d.lambda / 2;
    d.weights.assign(d.mu, 0.0);
    double sum = 0.0, squares = 0.0;
    for (std::size_t i = 0; i < d.mu; ++i) {
        d.weights[i] = std::log((static_cast<double>(d.lambda) + 1.0) / 2.0) -
                       std::log(static_cast<double>(i + 1));
        sum += d.weights[i];
    }
    for (double& w : d.weights) {
        w /= sum;
        squares += w * w;
    }
    const double mu_eff = d.mu_eff = 1.0 / squares;
    d.c_c = (4.0 + mu_eff / n) / (n + 4.0 + 2.0 * mu_eff / n);
    d.c_s = (mu_eff + 2.0) / (n + mu_eff + 5.0);
    d.c_1 = 2.0 / ((n + 1.3) * (n + 1.3) + mu_eff);
    d.c_mu = std::min(1.0 - d.c_1,
                      2.0 * (mu_eff - 2.0 + 1.0 / mu_eff) / ((n + 2.0) * (n + 2.0) + mu_eff));
    if (d.separable) {
        // A diagonal has n entries to learn, not n^2: it may learn (n + 2) / 3 times as fast.
        const double faster = (n + 2.0) / 3.0;
        d.c_1 = std::min(1.0, d.c_1 * faster);
        d.c_mu = std::min(1.0 - d.c_1, d.c_mu * faster);
    }
    // The worse half's weights: the log-rank weights continued past the better half, scaled so
    // that C's total shrink stays within what the positive update and definiteness allow.
    d.negative_weights.clear();
    double negative_sum = 0.0, negative_squares = 0.0;
    for (std::size_t i = d.mu; i < d.lambda; ++i) {
        const double w = std::log((static_cast<double>(d.lambda) + 1.0) / 2.0) -
                         std::log(static_cast<double>(i + 1));
        d.negative_weights.push_back(w);
        negative_sum += w;
        negative_squares += w * w;
    }
    if (negative_sum < 0.0) {
        const double mu_eff_minus = negative_sum * negative_sum / negative_squares;
        const double share =
            std::min({1.0 + d.c_1 / d.c_mu, 1.0 + 2.0 * mu_eff_minus / (mu_eff + 2.0),
                      (1.0 - d.c_1 - d.c_mu) / (n * d.c_mu)});
        for (double& w : d.negative_weights) w *= share / -negative_sum;
    }
    d.damping = 1.0 + 2.0 * std::max(0.0, std::sqrt((mu_eff - 1.0) / (n + 1.0)) - 1.0) + d.c_s;
    d.chi_n = expected_norm(std::max<std::size_t>(d.n, 1));
}

CovarianceDistribution covariance_start(std::vector<double> mean, const std::vector<double>& stds,
                                        double sigma, std::size_t lambda, std::size_t full_limit) {
    CovarianceDistribution d;
    d.n = mean.size();
    d.separable = d.n > full_limit;
    d.mean = std::move(mean);
    d.sigma = std::clamp(sigma, smallest_sigma, largest_sigma);
    d.matrix.assign(d.separable ? d.n : d.n * d.n, 0.0);
    for (std::size_t i = 0; i < d.n; ++i)
        d.matrix[d.separable ? i : i * d.n + i] = stds[i] * stds[i];
    d.scales.assign(d.n, 1.0);
    d.path_c.assign(d.n, 0.0);
    d.path_s.assign(d.n, 0.0);
    covariance_set_population(d, lambda);
    if (d.n > 0) decompose(d);
    return d;
}

void covariance_sample(const CovarianceDistribution& d, std::size_t count, std::mt19937_64& engine,
                       std::normal_distribution<double>& normal, std::vector<double>& steps) {
    const std::size_t n = d.n;
    steps.assign(count * n, 0.0);
    std::vector<double> z(n);
    for (std::size_t k = 0; k < count; ++k) {
        double* y = steps.data() + k * n;
        for (std::size_t j = 0; j < n; ++j) z[j] = d.scales[j] * normal(engine);
        if (d.separable) {
            std::copy(z.begin(), z.end(), y);
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (std::size_t j = 0; j < n; ++j) sum += d.basis[i * n + j] * z[j];
            y[i] = sum;
        }
    }
}

void covariance_update(CovarianceDistribution& d, const std::vector<double>& ranked) {
    const std::size_t n = d.n;
    if (n == 0) return;
    std::vector<double> y_w(n, 0.0);
    for (std::size_t k = 0; k < d.mu; ++k)
        for (std::size_t i = 0; i < n; ++i) y_w[i] += d.weights[k] * ranked[k * n + i];
    for (std::size_t i = 0; i < n; ++i) d.mean[i] += d.sigma * y_w[i];

    const std::vector<double> white = whiten(d, y_w);
    const double s_rate = std::sqrt(d.c_s * (2.0 - d.c_s) * d.mu_eff);
    for (std::size_t i = 0; i < n; ++i)
        d.path_s[i] = (1.0 - d.c_s) * d.path_s[i] + s_rate * white[i];
    ++d.updates;
    const double length = norm(d.path_s);
    const double settled =
        std::sqrt(1.0 - std::pow(1.0 - d.c_s, 2.0 * static_cast<double>(d.updates)));
    const bool held = length / settled < (1.4 + 2.0 / (static_cast<double>(n) + 1.0)) * d.chi_n;
    const double c_rate = held ? std::sqrt(d.c_c * (2.0 - d.c_c) * d.mu_eff) : 0.0;
    for (std::size_t i = 0; i < n; ++i) d.path_c[i] = (1.0 - d.c_c) * d.path_c[i] + c_rate * y_w[i];
    update_matrix(d, ranked, held);

    d.sigma *= std::exp(std::min(1.0, (d.c_s / d.damping) * (length / d.chi_n - 1.0)));
    d.sigma = std::clamp(d.sigma, smallest_sigma, largest_sigma);
    if (due_for_decomposition(d)) decompose(d);
}

void covariance_remap(CovarianceDistribution& d, const std::vector<std::ptrdiff_t>& from_old,
                      const std::vector<double>& fresh_mean, const std::vector<double>& fresh_std) {
    const std::size_t old_n = d.n, n = from_old.size();
    const auto pick = [&](const std::vector<double>& old, std::size_t i, double fresh) {
        return from_old[i] == fresh_coordinate ? fresh : old[static_cast<std::size_t>(from_old[i])];
    };
    std::vector<double> mean(n), path_c(n), path_s(n);
    for (std::size_t i = 0; i < n; ++i) {
        mean[i] = pick(d.mean, i, fresh_mean[i]);
        path_c[i] = pick(d.path_c, i, 0.0);
        path_s[i] = pick(d.path_s, i, 0.0);
    }
    std::vector<double> matrix(d.separable ? n : n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::ptrdiff_t oi = from_old[i];
        if (d.separable) {
            matrix[i] = oi == fresh_coordinate ? fresh_std[i] * fresh_std[i]
                                               : d.matrix[static_cast<std::size_t>(oi)];
            continue;
        }
        for (std::size_t j = 0; j < n; ++j) {
            const std::ptrdiff_t oj = from_old[j];
            if (oi == fresh_coordinate || oj == fresh_coordinate)
                matrix[i * n + j] = i == j ? fresh_std[i] * fresh_std[i] : 0.0;
            else
                matrix[i * n + j] =
                    d.matrix[static_cast<std::size_t>(oi) * old_n + static_cast<std::size_t>(oj)];
        }
    }
    d.n = n;
    d.mean = std::move(mean);
    d.path_c = std::move(path_c);
    d.path_s = std::move(path_s);
    d.matrix = std::move(matrix);
    d.scales.assign(n, 1.0);
    covariance_set_population(d, d.lambda);
    if (n > 0) decompose(d);
}

double covariance_variance(const CovarianceDistribution& d, std::size_t i) {
    return d.separable ? d.matrix[i] : d.matrix[i * d.n + i];
}

double covariance_largest_std(const CovarianceDistribution& d) {
    double largest = 0.0;
    for (std::size_t i = 0; i < d.n; ++i) largest = std::max(largest, covariance_variance(d, i));
    return d.sigma * std::sqrt(largest);
}

}  // namespace tessaron
