#include "shared/triangulation.h"

#include <math.h>

namespace phaze_internal {

// Where the camera ray's point at depth t lands in the projector: its pixel,
// and the gradients of the pixel's column and row over projector coordinates.
struct projector_view {
    double point[3];  // projector coordinates
    double u, v;
    double grad_u[3], grad_v[3];
};

static bool view_along(const calibration &rig, const double a[3], double t, projector_view *p) {
    for (int k = 0; k < 3; k++) p->point[k] = t * a[k] + rig.T[k];
    const double z = p->point[2];
    if (!(z > 0)) return false;
    const double x = p->point[0] / z, y = p->point[1] / z;
    double xd, yd, j[4];
    distort(rig.projector, x, y, &xd, &yd, j);
    to_pixel(rig.projector, xd, yd, &p->u, &p->v);
    const double *K = rig.projector.K;
    const double u_x = K[0] * j[0] + K[1] * j[2], u_y = K[0] * j[1] + K[1] * j[3];
    const double v_x = K[4] * j[2], v_y = K[4] * j[3];
    p->grad_u[0] = u_x / z, p->grad_u[1] = u_y / z, p->grad_u[2] = -(u_x * x + u_y * y) / z;
    p->grad_v[0] = v_x / z, p->grad_v[1] = v_y / z, p->grad_v[2] = -(v_x * x + v_y * y) / z;
    return true;
}

static double dot(const double a[3], const double b[3]) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

double nearest_to_projector_ray(const calibration &rig, const double d[3], const double q[3]) {
    // In camera coordinates: the projector's centre c and its ray e.
    const double *R = rig.R, *T = rig.T;
    double c[3], e[3];
    for (int k = 0; k < 3; k++) {
        c[k] = -(R[k] * T[0] + R[3 + k] * T[1] + R[6 + k] * T[2]);
        e[k] = R[k] * q[0] + R[3 + k] * q[1] + R[6 + k] * q[2];
    }
    const double dd = dot(d, d), de = dot(d, e), ee = dot(e, e), det = dd * ee - de * de;
    return det > 0 ? (dot(d, c) * ee - dot(e, c) * de) / det : NAN;
}

// Sine of the angle between a direction and a surface of normal n.
static double sine_to_surface(const double direction[3], const double n[3]) {
    return fabs(dot(direction, n)) / sqrt(dot(direction, direction) * dot(n, n));
}

static double sine_between(const double a[3], const double b[3]) {
    const double cross[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                             a[0] * b[1] - a[1] * b[0]};
    return sqrt(dot(cross, cross) / (dot(a, a) * dot(b, b)));
}

// A first depth: the ray against the column's plane of a projector without
// distortion, or (with a row) the point nearest to the projector's ray through
// the undistorted pixel.
static double first_depth(const calibration &rig, const double d[3], const double a[3], double u,
                          const double *v) {
    const lens &p = rig.projector;
    const double *T = rig.T;
    double xd, yd, x, y;
    if (v != nullptr) {
        from_pixel(p, u, *v, &xd, &yd);
        if (undistort(p, xd, yd, &x, &y)) {
            const double q[3] = {x, y, 1};
            return nearest_to_projector_ray(rig, d, q);
        }
    }
    const double U = u - p.K[2];
    return -(p.K[0] * T[0] + p.K[1] * T[1] - U * T[2]) / (p.K[0] * a[0] + p.K[1] * a[1] - U * a[2]);
}

bool triangulate_pixel(const calibration &rig, double x, double y, double u, const double *v,
                       double point[3]) {
    double xd, yd, d[3] = {0, 0, 1};
    from_pixel(rig.camera, x, y, &xd, &yd);
    if (!undistort(rig.camera, xd, yd, &d[0], &d[1])) return false;
    double a[3];  // the ray's direction in projector coordinates
    for (int k = 0; k < 3; k++) a[k] = dot(rig.R + 3 * k, d);
    double t = first_depth(rig, d, a, u, v);
    if (!(t > 0 && isfinite(t))) return false;
    // Newton's method on the column (Gauss-Newton on column and row) along the
    // ray; each step that would pass the camera halves the depth instead.
    projector_view p;
    bool converged = false;
    for (int iteration = 0; iteration < 50 && !converged; iteration++) {
        if (!view_along(rig, a, t, &p)) return false;
        const double du = dot(p.grad_u, a), ru = p.u - u;
        double step;
        if (v != nullptr) {
            const double dv = dot(p.grad_v, a), rv = p.v - *v;
            step = (ru * du + rv * dv) / (du * du + dv * dv);
        } else {
            step = ru / du;
        }
        if (!isfinite(step)) return false;
        converged = fabs(step) <= 1e-14 * t;
        t = t - step > 0 ? t - step : 0.5 * t;
    }
    if (!converged || !view_along(rig, a, t, &p)) return false;
    const double sine = v != nullptr ? sine_between(a, p.point) : sine_to_surface(a, p.grad_u);
    if (!(sine >= sin(MIN_TRIANGULATION_ANGLE))) return false;
    // A column no point of the ray projects onto leaves Newton at a turning point.
    if (v == nullptr && !(fabs(p.u - u) <= 1e-6 * (1 + fabs(u)))) return false;
    for (int k = 0; k < 3; k++) point[k] = t * d[k];
    return true;
}

long long triangulate(const calibration &rig, int width, int height, const double *column,
                      const double *row, const unsigned char *mask, double *xyz) {
    long long points = 0;
#pragma omp parallel for schedule(dynamic, 8) reduction(+ : points)
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const size_t i = (size_t)y * width + x;
            double *point = xyz + 3 * i;
            const bool wanted = (mask == nullptr || mask[i] != 0) && isfinite(column[i]) &&
                                (row == nullptr || isfinite(row[i]));
            if (wanted && triangulate_pixel(rig, x, y, column[i], row ? row + i : nullptr, point)) {
                points++;
            } else {
                point[0] = point[1] = point[2] = NAN;
            }
        }
    return points;
}

}  // namespace phaze_internal
