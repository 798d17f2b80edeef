#include "device/moments.h"

moment_sums sum_moments(const double *X, const double *Y, int SIZE) {
    double SYY = 0, SXY = 0, SXX = 0;
    for (int i = 0; i < SIZE; i++) {
        SYY += Y[i] * Y[i];
        SXY += X[i] * Y[i];
        SXX += X[i] * X[i];
    }
    moment_sums m;
    m.SXX = SXX;
    m.SXY = SXY;
    m.SYY = SYY;
    return m;
}
