// Elementary functions over blocks of values, vectorised where the processor
// allows: SLEEF's atan2 within 1 ulp (AVX-512 or AVX2, chosen at run time),
// the C library's elsewhere. The library's engines call these; the fixed
// programs keep the C library's exact functions.
#pragma once

namespace phaze_internal {

// p[k] = polar_phase(x[k], y[k]) (atan2(y, x) + pi) for k < n.
void polar_phase_block(const double *x, const double *y, double *p, int n);

}  // namespace phaze_internal
