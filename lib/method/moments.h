// Second moments of the levelled points, summed on the host.
#pragma once

namespace phaze_internal {

struct moment_sums {
    double SXX, SXY, SYY;
};

// Serial and ascending, so every run and every flavour adds in the same order.
moment_sums sum_moments(const double *X, const double *Y, int SIZE);

// Adds elements begin to end - 1 to running sums: summing consecutive ranges in
// order gives the same bits as sum_moments.
void add_moments(const double *X, const double *Y, int begin, int end, moment_sums *running);

// 1 when the levelled points lie on an ellipse: its smaller axis is more than
// rounding noise beside the larger one. Two equal frames put every point on a
// line, frames without modulation put them all at the origin; neither holds a
// phase.
int moments_form_ellipse(const moment_sums &m);

}  // namespace phaze_internal
