#include "bench/plain_way.h"

#include "device/kernel.h"
#include "device/moments.h"

static void plain_level(double *X, double *Y, double *Z, int SIZE) {
    const double x0 = X[0], x1 = X[1], x2 = X[2], y0 = Y[0], y1 = Y[1], y2 = Y[2], z0 = Z[0],
                 z1 = Z[1], z2 = Z[2];
    for (int i = 0; i < SIZE; i++) {
        const levelling r = levelling_angles(x0, x1, x2, y0, y1, y2, z0, z1, z2);
        level_point(r, X[i], Y[i], Z[i]);
    }
}

void plain_phase(double *X, double *Y, double *Z, double *phase, int SIZE) {
    for (int i = 0; i < SIZE; i++) difference_point(X[i], Y[i], Z[i]);
    plain_level(X, Y, Z, SIZE);
    const moment_sums m = sum_moments(X, Y, SIZE);
    for (int i = 0; i < SIZE; i++) {
        const circle_projection p = projection_from_moments(m.SYY, m.SXY, m.SXY, m.SXX);
        project_point(p, X[i], Y[i], Z[i]);
    }
    plain_level(X, Y, Z, SIZE);
    for (int i = 0; i < SIZE; i++) phase[i] = polar_phase(X[i], Y[i]);
}
