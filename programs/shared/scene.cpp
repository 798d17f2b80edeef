#include "shared/scene.h"

#include "shared/triangulation.h"

#include <math.h>

namespace phaze_internal {

// A sphere, or a plane kept where bound_normal[k] . X <= bound_offset[k].
struct surface {
    bool sphere;
    double centre[3];  // a plane: one of its points
    double normal[3];  // a plane's
    double radius;     // a sphere's
    int bounds;
    double bound_normal[2][3], bound_offset[2];
};

struct scene {
    int count = 0;
    surface surfaces[3];
};

static double dot(const double a[3], const double b[3]) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

static surface plane(double px, double py, double pz, double nx, double ny, double nz) {
    const double length = sqrt(nx * nx + ny * ny + nz * nz);
    return surface{false, {px, py, pz}, {nx / length, ny / length, nz / length}, 0, 0, {}, {}};
}

static surface bounded(surface s, double nx, double ny, double nz, double offset) {
    s.bound_normal[s.bounds][0] = nx, s.bound_normal[s.bounds][1] = ny;
    s.bound_normal[s.bounds][2] = nz, s.bound_offset[s.bounds] = offset;
    s.bounds++;
    return s;
}

// Sizes as fractions of the distance D, so that any rig's unit fits.
static scene scene_of(scene_shape shape, double D) {
    scene s;
    if (shape == SCENE_PLANE) {
        s.surfaces[s.count++] = plane(0, 0, D, 0.35, -0.2, -1);  // turned about both axes
    } else if (shape == SCENE_SPHERE) {
        const double r = 0.15 * D;
        s.surfaces[s.count++] = surface{true, {0, 0, D}, {0, 0, 0}, r, 0, {}, {}};
        s.surfaces[s.count++] = plane(0, 0, D + 2 * r, 0, 0, -1);  // the wall behind it
    } else {
        // The near level right of x0, the far one left of it, and the face
        // between them, turned to the camera and away from a projector on
        // the right, so that both a shadow and an unlit face are seen.
        const double h = 0.1 * D, x0 = 0.05 * D;
        s.surfaces[s.count++] = bounded(plane(0, 0, D - h / 2, 0, 0, -1), -1, 0, 0, -x0);
        s.surfaces[s.count++] = bounded(plane(0, 0, D + h / 2, 0, 0, -1), 1, 0, 0, x0);
        s.surfaces[s.count++] =
            bounded(bounded(plane(x0, 0, D, -1, 0, 0), 0, 0, 1, D + h / 2), 0, 0, -1, -(D - h / 2));
    }
    return s;
}

// The nearest s > s_min where origin + s direction meets the surface; INFINITY if none.
static double hit(const surface &f, const double origin[3], const double direction[3],
                  double s_min) {
    if (f.sphere) {
        double oc[3];
        for (int k = 0; k < 3; k++) oc[k] = origin[k] - f.centre[k];
        const double a = dot(direction, direction), b = dot(oc, direction);
        const double c = dot(oc, oc) - f.radius * f.radius;
        const double discriminant = b * b - a * c;
        if (discriminant < 0) return INFINITY;
        const double root = sqrt(discriminant);
        const double near = (-b - root) / a, far = (-b + root) / a;
        return near > s_min ? near : far > s_min ? far : INFINITY;
    }
    const double along = dot(f.normal, direction);
    if (along == 0) return INFINITY;
    double to_plane[3];
    for (int k = 0; k < 3; k++) to_plane[k] = f.centre[k] - origin[k];
    const double s = dot(f.normal, to_plane) / along;
    if (!(s > s_min)) return INFINITY;
    double point[3];
    for (int k = 0; k < 3; k++) point[k] = origin[k] + s * direction[k];
    for (int b = 0; b < f.bounds; b++)
        if (dot(f.bound_normal[b], point) > f.bound_offset[b]) return INFINITY;
    return s;
}

static double first_hit(const scene &s, const double origin[3], const double direction[3],
                        double s_min, int *which) {
    double best = INFINITY;
    for (int k = 0; k < s.count; k++) {
        const double at = hit(s.surfaces[k], origin, direction, s_min);
        if (at < best) best = at, *which = k;
    }
    return best;
}

static void normal_at(const surface &f, const double point[3], double n[3]) {
    for (int k = 0; k < 3; k++) n[k] = f.sphere ? (point[k] - f.centre[k]) / f.radius : f.normal[k];
}

// The ray of a pixel in camera coordinates (z = 1), or false.
static bool ray_of(const lens &l, double u, double v, double ray[3]) {
    double xd, yd;
    from_pixel(l, u, v, &xd, &yd);
    ray[2] = 1;
    return undistort(l, xd, yd, &ray[0], &ray[1]);
}

// Where the rays through the centres of the two images pass closest, as a
// depth along the camera's.
static double default_distance(const calibration &rig, const scene_options &o) {
    double d[3], q[3];
    if (!ray_of(rig.camera, 0.5 * (o.width - 1), 0.5 * (o.height - 1), d) ||
        !ray_of(rig.projector, 0.5 * (o.projector_width - 1), 0.5 * (o.projector_height - 1), q))
        return NAN;
    return nearest_to_projector_ray(rig, d, q);
}

int render_scene(const calibration &rig, const scene_options &o, scene_view *view,
                 std::string *reason) {
    if (o.width <= 0 || o.height <= 0 || o.projector_width <= 0 || o.projector_height <= 0) {
        *reason = "the camera's and the projector's images must have sizes above 0";
        return 1;
    }
    const double D = o.distance > 0 ? o.distance : default_distance(rig, o);
    if (!(D > 0 && isfinite(D))) {
        *reason =
            "the rays through the centres of the camera's and the projector's images do "
            "not meet in front of the camera: give a distance";
        return 1;
    }
    const scene world = scene_of(o.shape, D);
    const size_t pixels = (size_t)o.width * o.height;
    view->width = o.width, view->height = o.height, view->distance = D;
    view->xyz.assign(3 * pixels, NAN);
    view->column.assign(pixels, NAN);
    view->row.assign(pixels, NAN);
    const double *R = rig.R, *T = rig.T;
    double projector_centre[3];
    for (int k = 0; k < 3; k++)
        projector_centre[k] = -(R[k] * T[0] + R[3 + k] * T[1] + R[6 + k] * T[2]);
#pragma omp parallel for schedule(dynamic, 8)
    for (int y = 0; y < o.height; y++)
        for (int x = 0; x < o.width; x++) {
            const size_t i = (size_t)y * o.width + x;
            const double camera_centre[3] = {0, 0, 0};
            double ray[3];
            int which = -1;
            if (!ray_of(rig.camera, x, y, ray)) continue;
            const double t = first_hit(world, camera_centre, ray, 0, &which);
            if (!isfinite(t)) continue;
            double point[3], n[3], from_projector[3], in_projector[3];
            for (int k = 0; k < 3; k++) point[k] = t * ray[k];
            for (int k = 0; k < 3; k++) view->xyz[3 * i + k] = point[k];
            normal_at(world.surfaces[which], point, n);
            const double turn = dot(n, point) > 0 ? -1 : 1;  // the side the camera sees
            for (int k = 0; k < 3; k++) from_projector[k] = point[k] - projector_centre[k];
            if (!(turn * dot(n, from_projector) < 0)) continue;
            int blocker;
            if (first_hit(world, projector_centre, from_projector, 1e-9, &blocker) < 1 - 1e-9)
                continue;
            for (int k = 0; k < 3; k++) in_projector[k] = dot(R + 3 * k, point) + T[k];
            if (!(in_projector[2] > 0)) continue;
            double u, v;
            project(rig.projector, in_projector, &u, &v);
            if (!(u >= -0.5 && u < o.projector_width - 0.5 && v >= -0.5 &&
                  v < o.projector_height - 0.5))
                continue;
            // Far outside the lens's field its model folds back into the image.
            double xd, yd, x_back, y_back;
            from_pixel(rig.projector, u, v, &xd, &yd);
            const double x_true = in_projector[0] / in_projector[2];
            const double y_true = in_projector[1] / in_projector[2];
            if (!undistort(rig.projector, xd, yd, &x_back, &y_back) ||
                fabs(x_back - x_true) + fabs(y_back - y_true) > 1e-9)
                continue;
            view->column[i] = u, view->row[i] = v;
        }
    return 0;
}

bool scene_shape_of(const std::string &name, scene_shape *shape) {
    if (name == "plane")
        *shape = SCENE_PLANE;
    else if (name == "sphere")
        *shape = SCENE_SPHERE;
    else if (name == "step")
        *shape = SCENE_STEP;
    else
        return false;
    return true;
}

}  // namespace phaze_internal
