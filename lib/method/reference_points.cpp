#include "method/reference_points.h"

#include <math.h>

namespace phaze_internal {

reference_points first_pixels(const double *X, const double *Y, const double *Z) {
    reference_points p;
    for (int k = 0; k < 3; k++) {
        p.x[k] = X[k];
        p.y[k] = Y[k];
        p.z[k] = Z[k];
    }
    return p;
}

int spans_plane(const reference_points &p) {
    double n[3];
    plane_normal(p.x[0], p.x[1], p.x[2], p.y[0], p.y[1], p.y[2], p.z[0], p.z[1], p.z[2], n);
    const double e1 = hypot(hypot(p.x[1] - p.x[0], p.y[1] - p.y[0]), p.z[1] - p.z[0]);
    const double e2 = hypot(hypot(p.x[2] - p.x[0], p.y[2] - p.y[0]), p.z[2] - p.z[0]);
    const double normal = hypot(hypot(n[0], n[1]), n[2]);
    // |n| = |e1| |e2| sin(angle between the edges)
    return isfinite(normal) && normal > 1e-9 * e1 * e2;
}

reference_points plane_through_origin(double nx, double ny, double nz) {
    // u is perpendicular to n; v = n x u completes the pair, and u x v points along n.
    double u[3] = {-ny, nx, 0};
    if (nx == 0 && ny == 0) u[0] = 1;
    const double v[3] = {ny * u[2] - nz * u[1], nz * u[0] - nx * u[2], nx * u[1] - ny * u[0]};
    reference_points p = {{0, u[0], v[0]}, {0, u[1], v[1]}, {0, u[2], v[2]}};
    return p;
}

reference_points first_rotation_points(const reference_points &fetched) {
    if (spans_plane(fetched)) return fetched;
    const reference_points diagonal = {{0, 1, 1}, {0, -1, 0}, {0, 0, -1}};
    return diagonal;
}

reference_points second_rotation_points(const reference_points &fetched,
                                        const circle_projection &projection) {
    if (spans_plane(fetched)) return fetched;
    if (!projection.active) return plane_through_origin(0, 0, 1);
    return plane_through_origin(projection.c, projection.s, projection.h);
}

levelling levelling_of(const reference_points &p) {
    return levelling_angles(p.x[0], p.x[1], p.x[2], p.y[0], p.y[1], p.y[2], p.z[0], p.z[1], p.z[2]);
}

}  // namespace phaze_internal
