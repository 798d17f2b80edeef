// Which three points a levelling rotation takes its plane from.
#include <gtest/gtest.h>
#include <math.h>

#include "method/reference_points.h"

using namespace phaze_internal;

static reference_points points(const double P[3][3]) {
    return reference_points{
        {P[0][0], P[1][0], P[2][0]}, {P[0][1], P[1][1], P[2][1]}, {P[0][2], P[1][2], P[2][2]}};
}

// The unit normal of the points' plane.
static void direction(const reference_points &p, double n[3]) {
    plane_normal(p.x[0], p.x[1], p.x[2], p.y[0], p.y[1], p.y[2], p.z[0], p.z[1], p.z[2], n);
    const double length = sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    for (int k = 0; k < 3; k++) n[k] /= length;
}

TEST(ReferencePoints, WhichTriplesSpanAPlane) {
    const struct {
        double P[3][3];
        int spans;
    } cases[] = {
        {{{-20, 30, -10}, {1, -1, 0}, {5, 3, -8}}, 1},
        {{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 0},                    // a uniform border
        {{{87, -196, 109}, {85, -195, 110}, {81, -193, 112}}, 0},  // (224,115,28), ...
        {{{1, 1, 1}, {1, 1, 1}, {2, 5, 1}}, 0},                    // two equal pixels
        {{{0, 0, 0}, {1, 2, 3}, {2, 4, 6.000000000001}}, 0},       // collinear but for rounding
        {{{0, 0, 0}, {1, 0, 0}, {1, 1e-6, 0}}, 1},                 // thin, but a plane
        {{{NAN, 0, 0}, {1, 0, 0}, {0, 1, 0}}, 0},
    };
    for (auto &c : cases) EXPECT_EQ(spans_plane(points(c.P)), c.spans) << c.P[1][0];
}

TEST(ReferencePoints, FallbacksSpanThePlaneTheKernelsProduced) {
    const double flat[3][3] = {}, good[3][3] = {{1, 2, 3}, {-1, 0, 2}, {4, 1, -1}};
    double n[3];
    direction(first_rotation_points(points(flat)), n);
    for (int k = 0; k < 3; k++) EXPECT_NEAR(n[k], 1 / sqrt(3.0), 1e-15);

    const circle_projection tilted = projection_from_moments(1, 0.3, 5);
    const double length = sqrt(tilted.c * tilted.c + tilted.s * tilted.s + tilted.h * tilted.h);
    direction(second_rotation_points(points(flat), tilted), n);
    EXPECT_NEAR(n[0], tilted.c / length, 1e-15);
    EXPECT_NEAR(n[1], tilted.s / length, 1e-15);
    EXPECT_NEAR(n[2], tilted.h / length, 1e-15);

    direction(second_rotation_points(points(flat), projection_from_moments(2, 0, 2)), n);
    EXPECT_TRUE(n[0] == 0 && n[1] == 0 && n[2] == 1) << "a circle stays in Z = 0";

    const reference_points kept = second_rotation_points(points(good), tilted);
    EXPECT_TRUE(kept.x[1] == -1 && kept.z[2] == -1) << "points that span a plane are kept";
}
