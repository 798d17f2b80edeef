// Second moments of the levelled points, summed on the host.
#pragma once

struct moment_sums {
    double SXX, SXY, SYY;
};

// Serial and ascending, so every run and every flavour adds in the same order.
moment_sums sum_moments(const double *X, const double *Y, int SIZE);

// Adds elements begin to end - 1 to running sums: summing consecutive ranges in
// order gives the same bits as sum_moments.
void add_moments(const double *X, const double *Y, int begin, int end, moment_sums *running);
