// OpenCV's lens model: the distortion against a value worked out from its
// documented formula, the Jacobian against differences, and the inverse.
#include <gtest/gtest.h>
#include <math.h>

#include "shared/lens_model.h"
#include "tests/points_support.h"

using namespace phaze_internal;

TEST(LensModel, DistortionIsOpenCVsWithItsJacobian) {
    lens l = {
        {1000, 0, 320, 0, 1000, 240, 0, 0, 1},
        {-0.12, 0.08, 0.0013, -0.0021, -0.015, 0.02, -0.01, 0.003, 0.001, -0.0005, 0.0007, 0.0002}};
    double xd, yd, j[4];
    distort(l, 0.31, -0.22, &xd, &yd, j);
    // Worked out in exact fractions from OpenCV's formula.
    EXPECT_NEAR(xd, 0.30355940113591046, 1e-15);
    EXPECT_NEAR(yd, -0.2152562887158074, 1e-15);
    const double h = 1e-6;
    for (int k = 0; k < 2; k++) {
        double xp, yp, xm, ym;
        distort(l, 0.31 + (k == 0 ? h : 0), -0.22 + (k == 1 ? h : 0), &xp, &yp, nullptr);
        distort(l, 0.31 - (k == 0 ? h : 0), -0.22 - (k == 1 ? h : 0), &xm, &ym, nullptr);
        EXPECT_NEAR(j[k], (xp - xm) / (2 * h), 1e-8) << "d xd / d " << (k ? "y" : "x");
        EXPECT_NEAR(j[2 + k], (yp - ym) / (2 * h), 1e-8) << "d yd / d " << (k ? "y" : "x");
    }
}

TEST(LensModel, EveryPixelOfTheSampleRigGoesBackAndForth) {
    const calibration rig = sample_rig();
    struct device {
        const lens *l;
        int width, height;
    } devices[] = {{&rig.camera, 640, 512}, {&rig.projector, 1024, 768}};
    for (const device &d : devices) {
        double worst = 0;
        for (int v = -1; v <= d.height; v += 7)
            for (int u = -1; u <= d.width; u += 5) {
                double xd, yd, x, y, point[3], u_back, v_back;
                from_pixel(*d.l, u, v, &xd, &yd);
                ASSERT_TRUE(undistort(*d.l, xd, yd, &x, &y)) << u << ", " << v;
                point[0] = 2 * x, point[1] = 2 * y, point[2] = 2;
                project(*d.l, point, &u_back, &v_back);
                worst = fmax(worst, fabs(u_back - u) + fabs(v_back - v));
            }
        EXPECT_LT(worst, 1e-9);
    }
}
