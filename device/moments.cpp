#include "device/moments.h"

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
