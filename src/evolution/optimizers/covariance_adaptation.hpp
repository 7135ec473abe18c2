// A covariance-adapting evolution strategy over a vector of real parameters: samples are drawn
// from N(mean, sigma^2 C); the mean moves to the weighted mean of the better half, C learns the
// directions that paid (from the evolution path and the selected steps) and unlearns those of the
// worse half (an active update), and sigma grows or shrinks as the path is longer or shorter than
// a random walk's. Full C while n is small, its diagonal alone beyond (the learning rates then
// scaled up as for a separable search).
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace tessaron {

struct CovarianceDistribution {
    std::size_t n = 0;
    bool separable = false;      // C is diagonal
    std::vector<double> mean;    // n
    double sigma = 1.0;          // overall step size
    std::vector<double> matrix;  // C: n x n row-major, or its diagonal when separable
    std::vector<double> basis;   // eigenvectors of C as columns (n x n); empty when separable
    std::vector<double> scales;  // square roots of C's eigenvalues (or of its diagonal)
    std::vector<double> path_c;  // evolution path of C
    std::vector<double> path_s;  // conjugate evolution path of sigma
    std::int64_t updates = 0;    // updates since the start
    std::int64_t decomposed_at = 0;

    // From the population size.
    std::size_t lambda = 0;
    std::size_t mu = 0;
    std::vector<double> weights;           // mu positive recombination weights, summing to 1
    std::vector<double> negative_weights;  // lambda - mu, at most 0: the worse steps' in C's update
    double mu_eff = 1.0, c_c = 0.0, c_s = 0.0, c_1 = 0.0, c_mu = 0.0, damping = 1.0, chi_n = 1.0;
};

// A distribution around `mean` with C = diag(stds^2), full when n <= full_limit.
CovarianceDistribution covariance_start(std::vector<double> mean, const std::vector<double>& stds,
                                        double sigma, std::size_t lambda, std::size_t full_limit);

// Recomputes the weights and learning rates for `lambda` samples per update (lambda >= 2).
void covariance_set_population(CovarianceDistribution& d, std::size_t lambda);

// Draws `count` steps y ~ N(0, C) into `steps` (count x n, row-major). A sample is
// mean + sigma * y.
void covariance_sample(const CovarianceDistribution& d, std::size_t count, std::mt19937_64& engine,
                       std::normal_distribution<double>& normal, std::vector<double>& steps);

// One update from the steps of all lambda samples ranked best first (lambda rows of n).
void covariance_update(CovarianceDistribution& d, const std::vector<double>& ranked_steps);

// The coordinates of a changed parameter vector: new coordinate i is old coordinate
// from_old[i], or, where from_old[i] is `fresh`, a new one at fresh_mean[i] with standard deviation
// fresh_std[i] (times sigma) and no correlation. Paths follow their coordinates (fresh ones 0).
inline constexpr std::ptrdiff_t fresh_coordinate = -1;
void covariance_remap(CovarianceDistribution& d, const std::vector<std::ptrdiff_t>& from_old,
                      const std::vector<double>& fresh_mean, const std::vector<double>& fresh_std);

// C_ii: the variance of coordinate i, before sigma.
double covariance_variance(const CovarianceDistribution& d, std::size_t i);

// The largest standard deviation of a coordinate, sigma * sqrt(max C_ii).
double covariance_largest_std(const CovarianceDistribution& d);

}  // namespace tessaron
