// Points from exact projector coordinates of rendered scenes, and the
// geometry that must give none.
#include <gtest/gtest.h>
#include <math.h>
#include <omp.h>
#include <string.h>

#include <vector>

#include "shared/triangulation.h"
#include "tests/points_support.h"

using namespace phaze_internal;

static double distance(const double *a, const double *b) {
    return sqrt((a[0] - b[0]) * (a[0] - b[0]) + (a[1] - b[1]) * (a[1] - b[1]) +
                (a[2] - b[2]) * (a[2] - b[2]));
}

// The renderer's rays come from the same inverse of the lens model as the
// triangulation's, so its points are first checked through the forward model.
TEST(Triangulation, PointsOfRenderedScenesLieOnTheirSurfaces) {
    const calibration rig = sample_rig();
    for (scene_shape shape : {SCENE_SPHERE, SCENE_PLANE, SCENE_STEP}) {
        SCOPED_TRACE(shape);
        const scene_view view = sample_scene(shape);
        const size_t pixels = view.column.size();
        long long lit = 0, seen = 0;
        double worst_pixel = 0;
        for (size_t i = 0; i < pixels; i++) {
            const double *p = &view.xyz[3 * i];
            if (!isfinite(p[0])) continue;
            seen++;
            lit += isfinite(view.column[i]);
            double u, v;
            project(rig.camera, p, &u, &v);
            worst_pixel = fmax(worst_pixel, fabs(u - (double)(i % view.width)) +
                                                fabs(v - (double)(i / view.width)));
        }
        EXPECT_LT(worst_pixel, 1e-7);
        EXPECT_GT(lit, seen / 2);
        // The wall and the step show shadows and a face the projector cannot light.
        if (shape != SCENE_PLANE) {
            EXPECT_LT(lit, seen);
        }
        std::vector<double> xyz(3 * pixels);
        for (bool with_row : {false, true}) {
            SCOPED_TRACE(with_row ? "column and row" : "column");
            const long long points =
                triangulate(rig, view.width, view.height, view.column.data(),
                            with_row ? view.row.data() : nullptr, nullptr, xyz.data());
            EXPECT_EQ(points, lit);
            double worst = 0;
            for (size_t i = 0; i < pixels; i++) {
                if (isfinite(view.column[i]))
                    worst = fmax(worst, distance(&xyz[3 * i], &view.xyz[3 * i]));
                else
                    EXPECT_TRUE(isnan(xyz[3 * i]) && isnan(xyz[3 * i + 2])) << i;
            }
            // Exact coordinates give the points to rounding, about 1e-15 of D.
            EXPECT_LE(worst, 1e-9 * view.distance);
        }
    }
}

TEST(Triangulation, MaskedPixelsGetNoPointAndThreadsChangeNothing) {
    const calibration rig = sample_rig();
    const scene_view view = sample_scene(SCENE_SPHERE);
    const size_t pixels = view.column.size();
    std::vector<unsigned char> mask(pixels);
    for (size_t i = 0; i < pixels; i++) mask[i] = i % 3 != 0;
    std::vector<double> one(3 * pixels), two(3 * pixels);
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    triangulate(rig, view.width, view.height, view.column.data(), view.row.data(), mask.data(),
                one.data());
    omp_set_num_threads(3);
    triangulate(rig, view.width, view.height, view.column.data(), view.row.data(), mask.data(),
                two.data());
    omp_set_num_threads(threads);
    EXPECT_EQ(memcmp(one.data(), two.data(), one.size() * sizeof(double)), 0);
    for (size_t i = 0; i < pixels; i += 3) EXPECT_TRUE(isnan(one[3 * i + 1])) << i;
}

// A pinhole pair without distortion, the projector at c (camera coordinates)
// looking along the camera's axis.
static calibration pinholes(double cx, double cy, double cz) {
    calibration rig;
    memset(&rig, 0, sizeof rig);
    for (lens *l : {&rig.camera, &rig.projector}) {
        const double K[9] = {1000, 0, 320, 0, 1000, 240, 0, 0, 1};
        memcpy(l->K, K, sizeof K);
    }
    rig.R[0] = rig.R[4] = rig.R[8] = 1;
    rig.T[0] = -cx, rig.T[1] = -cy, rig.T[2] = -cz;
    return rig;
}

TEST(Triangulation, NoPointWhereTheGeometryGivesNone) {
    const double pixel[2] = {400, 300};
    const double ray[3] = {0.08, 0.06, 1};  // that pixel's
    struct row {
        const char *what;
        calibration rig;
        double depth;  // of the point whose projector pixel is given
        bool point_with_column, point_with_both;
    } rows[] = {
        {"a horizontal baseline", pinholes(100, 0, 0), 500, true, true},
        {"the point behind the camera", pinholes(100, 0, -1000), -500, false, false},
        {"the point behind the projector", pinholes(100, 0, 1000), 500, false, false},
        {"a vertical baseline: rays lie in the columns' planes", pinholes(0, 100, 0), 500, false,
         true},
        {"half a degree from vertical", pinholes(100 * tan(0.5 * M_PI / 180), 100, 0), 500, false,
         true},
        {"thirty degrees from vertical", pinholes(100 * tan(30 * M_PI / 180), 100, 0), 500, true,
         true},
        {"the projector on the ray: every ray through it", pinholes(8, 6, 100), 500, false, false},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        double truth[3], in_projector[3], u, v, point[3];
        for (int k = 0; k < 3; k++) truth[k] = r.depth * ray[k];
        for (int k = 0; k < 3; k++) in_projector[k] = truth[k] + r.rig.T[k];
        project(r.rig.projector, in_projector, &u, &v);
        EXPECT_EQ(triangulate_pixel(r.rig, pixel[0], pixel[1], u, nullptr, point),
                  r.point_with_column);
        if (r.point_with_column) {
            EXPECT_LT(distance(point, truth), 1e-9);
        }
        EXPECT_EQ(triangulate_pixel(r.rig, pixel[0], pixel[1], u, &v, point), r.point_with_both);
        if (r.point_with_both) {
            EXPECT_LT(distance(point, truth), 1e-9);
        }
    }
}

// Where the lens model folds over (a strong barrel far from the centre) the
// pixel has no ray.
TEST(Triangulation, NoRayWhereTheLensModelFolds) {
    calibration rig = pinholes(100, 0, 0);
    rig.camera.distortion[0] = -0.9;
    double x, y, point[3];
    EXPECT_TRUE(undistort(rig.camera, 0.2, 0.1, &x, &y));
    EXPECT_FALSE(undistort(rig.camera, 0.6, 0.1, &x, &y));
    EXPECT_FALSE(triangulate_pixel(rig, 320 + 600, 240 + 100, 300, nullptr, point));
}

// The step's raised edge (x0 = D / 20, z = D - D / 20) casts its shadow on the
// far level (z = D + D / 20) from x0 to where the projector's ray past the edge
// meets it; the face between the levels is turned from the projector.
TEST(Scene, TheStepCastsTheShadowItsEdgeSays) {
    const calibration rig = sample_rig();
    const scene_view view = sample_scene(SCENE_STEP);
    const double D = view.distance, x0 = D / 20, near = D - D / 20, far = D + D / 20;
    const double *R = rig.R, *T = rig.T;
    double c[3];  // the projector's centre
    for (int k = 0; k < 3; k++) c[k] = -(R[k] * T[0] + R[3 + k] * T[1] + R[6 + k] * T[2]);
    int far_points = 0, shadowed = 0, face = 0;
    for (size_t i = 0; i < view.column.size(); i++) {
        const double *p = &view.xyz[3 * i];
        const bool lit = isfinite(view.column[i]);
        if (fabs(p[0] - x0) < 1e-9 * D) {
            face++;
            EXPECT_FALSE(lit) << i;
        }
        if (fabs(p[2] - far) > 1e-9 * D) continue;
        far_points++;
        // Where the projector's rays past the edge meet z = far, at any height.
        const double x_shadow = c[0] + (far - c[2]) / (near - c[2]) * (x0 - c[0]);
        const double margin = 1e-6 * D;
        if (p[0] < x_shadow - margin) {
            EXPECT_TRUE(lit) << i;
        } else if (p[0] > x_shadow + margin) {
            EXPECT_FALSE(lit) << i;
            shadowed++;
        }
    }
    EXPECT_GT(far_points, 1000);
    EXPECT_GT(shadowed, 1000);
    EXPECT_GT(face, 100);
}
