#include "method/moments.h"

#include <math.h>

#include "math/kernel.h"

namespace phaze_internal {

void add_moments(const double *X, const double *Y, int begin, int end, moment_sums *running) {
    double SYY = running->SYY, SXY = running->SXY, SXX = running->SXX;
    for (int i = begin; i < end; i++) {
        SYY += Y[i] * Y[i];
        SXY += X[i] * Y[i];
        SXX += X[i] * X[i];
    }
    running->SXX = SXX;
    running->SXY = SXY;
    running->SYY = SYY;
}

moment_sums sum_moments(const double *X, const double *Y, int SIZE) {
    moment_sums m = {0, 0, 0};
    add_moments(X, Y, 0, SIZE, &m);
    return m;
}

int moments_form_ellipse(const moment_sums &m) {
    double lmax, lmin;
    moment_eigenvalues(m.SYY, m.SXY, m.SXX, &lmax, &lmin);
    // An axis ratio below 1e-4 is far below what 8- or 16-bit samples resolve;
    // the sums' own rounding stays orders of magnitude below it.
    return isfinite(lmax) && lmax > 0 && lmin > 1e-8 * lmax;
}

}  // namespace phaze_internal
