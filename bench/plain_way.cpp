#include "bench/plain_way.h"

#include "device/kernel.h"
#include "device/moments.h"
#include "device/reference_points.h"

static void plain_level(double *X, double *Y, double *Z, int SIZE, const reference_points &p) {
    for (int i = 0; i < SIZE; i++) {
        const levelling r = levelling_angles(p.x[0], p.x[1], p.x[2], p.y[0], p.y[1], p.y[2],
                                             p.z[0], p.z[1], p.z[2]);
        level_point(r, X[i], Y[i], Z[i]);
    }
}

void plain_phase(double *X, double *Y, double *Z, double *phase, int SIZE) {
    for (int i = 0; i < SIZE; i++) difference_point(X[i], Y[i], Z[i]);
    plain_level(X, Y, Z, SIZE, first_rotation_points(first_pixels(X, Y, Z)));
    const moment_sums m = sum_moments(X, Y, SIZE);
    for (int i = 0; i < SIZE; i++) {
        const circle_projection p = projection_from_moments(m.SYY, m.SXY, m.SXY, m.SXX);
        project_point(p, X[i], Y[i], Z[i]);
    }
    const circle_projection p = projection_from_moments(m.SYY, m.SXY, m.SXY, m.SXX);
    plain_level(X, Y, Z, SIZE, second_rotation_points(first_pixels(X, Y, Z), p));
    for (int i = 0; i < SIZE; i++) phase[i] = polar_phase(X[i], Y[i]);
}
