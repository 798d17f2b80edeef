// Eigenvalues and eigenvectors of a small symmetric matrix (the second moments
// of N frames' samples, N up to 32), by cyclic Jacobi rotations.
#pragma once

namespace phaze_internal {

// a: n x n, row-major, symmetric; destroyed. values: n eigenvalues, largest
// first; vectors: n x n, row i the unit eigenvector of values[i].
void symmetric_eigen(double *a, int n, double *values, double *vectors);

}  // namespace phaze_internal
