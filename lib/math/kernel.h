// Per-element math of the four phase kernels, written once: the CUDA kernels and
// the host loops both call these, so both flavours evaluate the same formulas in
// the same operation order.
#pragma once

#include <math.h>

namespace phaze_internal {

#ifdef __CUDACC__
#define PHAZE_HD __host__ __device__
#else
#define PHAZE_HD
#endif

constexpr int THREADS_PER_BLOCK = 64;

// One block more than the quotient, even when SIZE is a multiple of 64.
PHAZE_HD inline unsigned launch_blocks(int SIZE) {
    return (unsigned)SIZE / (unsigned)THREADS_PER_BLOCK + 1u;
}

// Pairwise differences: removes each pixel's background and puts every point
// into the plane X + Y + Z = 0.
PHAZE_HD inline void difference_point(double &x, double &y, double &z) {
    const double a = x, b = y, c = z;
    x = b - c;
    y = c - a;
    z = a - b;
}

// The two angles that turn the plane through P0, P1, P2 perpendicular to Z.
struct levelling {
    double cos_a, sin_a, cos_b, sin_b;
};

PHAZE_HD inline void plane_normal(double x0, double x1, double x2, double y0, double y1, double y2,
                                  double z0, double z1, double z2, double n[3]) {
    n[0] = (y1 - y0) * (z2 - z0) - (y2 - y0) * (z1 - z0);
    n[1] = (z1 - z0) * (x2 - x0) - (z2 - z0) * (x1 - x0);
    n[2] = (x1 - x0) * (y2 - y0) - (y1 - y0) * (x2 - x0);
}

PHAZE_HD inline levelling levelling_angles(double x0, double x1, double x2, double y0, double y1,
                                           double y2, double z0, double z1, double z2) {
    double n[3];
    plane_normal(x0, x1, x2, y0, y1, y2, z0, z1, z2, n);
    // atan of the quotient, not atan2: both angles stay in (-pi/2, pi/2), so any
    // three points of one plane give the same rotation.
    double a = atan(-(n[0] / n[2]));
    // A normal along Y (0/0) needs no turn about Y; the second angle levels it.
    if (n[0] == 0 && n[2] == 0) a = 0;
    const double cos_a = cos(a), sin_a = sin(a);
    const double nz_after_a = n[2] * cos_a - n[0] * sin_a;
    const double b = atan(-(n[1] / nz_after_a));
    levelling r;
    r.cos_a = cos_a;
    r.sin_a = sin_a;
    r.cos_b = cos(b);
    r.sin_b = sin(b);
    return r;
}

PHAZE_HD inline void level_point(const levelling &r, double &x, double &y, double &z) {
    const double x1 = x * r.cos_a + z * r.sin_a;
    const double z1 = z * r.cos_a - x * r.sin_a;
    const double y2 = y * r.cos_b + z1 * r.sin_b;
    const double z2 = z1 * r.cos_b - y * r.sin_b;
    x = x1;
    y = y2;
    z = z2;
}

// Projection along (c, s, h) that turns the ellipse of the moments into a circle.
// active is 0 when no projection is needed.
struct circle_projection {
    double c, s, h, w;
    int active;
};

// Eigenvalues of the symmetric moment matrix [[q11, q12], [q12, q22]].
PHAZE_HD inline void moment_eigenvalues(double q11, double q12, double q22, double *lmax,
                                        double *lmin) {
    double radicand = q11 * q11 - 2 * q11 * q22 + 4 * q12 * q12 + q22 * q22;
    if (radicand < 0) radicand = 0;  // it is (q11 - q22)^2 + 4 q12^2, never negative
    const double m = (q11 + q22) / 2;
    const double r = sqrt(radicand) / 2;
    const double l1 = m + r, l2 = m - r;
    if (l1 <= l2) {
        *lmax = l2;
        *lmin = l1;
    } else {
        *lmax = l1;
        *lmin = l2;
    }
}

PHAZE_HD inline circle_projection projection_from_moments(double q11, double q12, double q22) {
    double lmax, lmin;
    moment_eigenvalues(q11, q12, q22, &lmax, &lmin);
    const double k = (lmin - (q12 + q11)) / ((q12 + q22) - lmin);
    double c = 1 / sqrt(k * k + 1);
    double s = -(k * c);
    if (!(isfinite(c) && isfinite(s) && c * c + s * s > 0.5)) {
        // The eigenvector quotient breaks down when the major axis lies along Y or
        // the diagonal is equal: take the axis from its angle instead. c >= 0 as
        // above, and an axis along Y points to +Y, the quotient's limit.
        const double theta = atan2(2 * q12, q22 - q11) / 2;
        c = cos(theta);
        s = sin(theta);
        if (s == -1) s = 1;
    }
    const double root_max = sqrt(lmax), root_min = sqrt(lmin);
    const double h = root_min / sqrt(root_max * root_max - root_min * root_min);
    const double w = 1 / (h * h + (c * c + s * s));
    circle_projection p;
    p.c = c;
    p.s = s;
    p.h = h;
    p.w = w;
    // Equal axes: the ellipse already is a circle, so the points stay put.
    p.active = isfinite(h) && isfinite(w) && w > 0;
    return p;
}

PHAZE_HD inline void project_point(const circle_projection &p, double &x, double &y, double &z) {
    if (!p.active) return;
    const double d = p.w * ((x * p.c + y * p.s) + z * p.h);
    x = x - p.c * d;
    y = y - p.s * d;
    z = z - p.h * d;
}

// Polar angle of the levelled point, shifted into [0, 2 pi].
PHAZE_HD inline double polar_phase(double x, double y) { return atan2(y, x) + 3.141592653589793; }

}  // namespace phaze_internal
