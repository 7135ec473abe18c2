// Eigenvalues and eigenvectors of a small symmetric matrix: Householder reduction to tridiagonal
// form, then the implicit QL iteration. Used by the covariance search to draw from, and to whiten
// by, its covariance matrix; a few hundred dimensions at most, decomposed now and then.
#pragma once

#include <cstddef>
#include <vector>

namespace tessaron {

struct SymmetricEigen {
    std::vector<double> values;   // ascending
    std::vector<double> vectors;  // n x n, row-major: column j is the vector of values[j]
};

// Decomposes the n x n row-major symmetric matrix `matrix` (only its lower triangle is read).
// Returns false, leaving `result` unspecified, when the iteration does not converge (a matrix
// that is not finite).
bool symmetric_eigen(const std::vector<double>& matrix, std::size_t n, SymmetricEigen& result);

}  // namespace tessaron
