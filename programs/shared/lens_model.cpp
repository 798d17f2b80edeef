#include "shared/lens_model.h"

#include <math.h>

namespace phaze_internal {

void distort(const lens &l, double x, double y, double *xd, double *yd, double jacobian[4]) {
    const double *c = l.distortion;
    const double k1 = c[0], k2 = c[1], p1 = c[2], p2 = c[3], k3 = c[4], k4 = c[5], k5 = c[6],
                 k6 = c[7], s1 = c[8], s2 = c[9], s3 = c[10], s4 = c[11];
    const double r2 = x * x + y * y;
    const double numerator = 1 + r2 * (k1 + r2 * (k2 + r2 * k3));
    const double denominator = 1 + r2 * (k4 + r2 * (k5 + r2 * k6));
    const double radial = numerator / denominator;
    *xd = x * radial + 2 * p1 * x * y + p2 * (r2 + 2 * x * x) + r2 * (s1 + r2 * s2);
    *yd = y * radial + p1 * (r2 + 2 * y * y) + 2 * p2 * x * y + r2 * (s3 + r2 * s4);
    if (jacobian == nullptr) return;
    const double numerator_r2 = k1 + r2 * (2 * k2 + r2 * 3 * k3);
    const double denominator_r2 = k4 + r2 * (2 * k5 + r2 * 3 * k6);
    const double radial_r2 =
        (numerator_r2 * denominator - numerator * denominator_r2) / (denominator * denominator);
    const double prism_x = s1 + 2 * r2 * s2, prism_y = s3 + 2 * r2 * s4;
    jacobian[0] = radial + 2 * x * x * radial_r2 + 2 * p1 * y + 6 * p2 * x + 2 * x * prism_x;
    jacobian[1] = 2 * x * y * radial_r2 + 2 * p1 * x + 2 * p2 * y + 2 * y * prism_x;
    jacobian[2] = 2 * x * y * radial_r2 + 2 * p1 * x + 2 * p2 * y + 2 * x * prism_y;
    jacobian[3] = radial + 2 * y * y * radial_r2 + 6 * p1 * y + 2 * p2 * x + 2 * y * prism_y;
}

bool undistort(const lens &l, double xd, double yd, double *x, double *y) {
    double ux = xd, uy = yd;
    for (int iteration = 0; iteration < 40; iteration++) {
        double dx, dy, j[4];
        distort(l, ux, uy, &dx, &dy, j);
        const double determinant = j[0] * j[3] - j[1] * j[2];
        if (!(determinant > 0)) return false;
        const double ex = dx - xd, ey = dy - yd;
        const double step_x = (j[3] * ex - j[1] * ey) / determinant;
        const double step_y = (j[0] * ey - j[2] * ex) / determinant;
        ux -= step_x, uy -= step_y;
        if (!(fabs(ux) < 1e3 && fabs(uy) < 1e3)) return false;  // diverging, or not a number
        if (fabs(step_x) + fabs(step_y) <= 1e-15 * (1 + fabs(ux) + fabs(uy))) break;
    }
    double dx, dy;
    distort(l, ux, uy, &dx, &dy, nullptr);
    if (!(fabs(dx - xd) + fabs(dy - yd) <= 1e-12 * (1 + fabs(xd) + fabs(yd)))) return false;
    *x = ux, *y = uy;
    return true;
}

void to_pixel(const lens &l, double xd, double yd, double *u, double *v) {
    *u = l.K[0] * xd + l.K[1] * yd + l.K[2];
    *v = l.K[4] * yd + l.K[5];
}

void from_pixel(const lens &l, double u, double v, double *xd, double *yd) {
    *yd = (v - l.K[5]) / l.K[4];
    *xd = (u - l.K[2] - l.K[1] * *yd) / l.K[0];
}

void project(const lens &l, const double point[3], double *u, double *v) {
    double xd, yd;
    distort(l, point[0] / point[2], point[1] / point[2], &xd, &yd, nullptr);
    to_pixel(l, xd, yd, u, v);
}

}  // namespace phaze_internal
