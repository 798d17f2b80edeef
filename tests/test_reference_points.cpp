// Which three points a levelling rotation takes its plane from.
#include <gtest/gtest.h>
#include <math.h>

#include "device/reference_points.h"

static void normal_of(const reference_points &p, double n[3]) {
    plane_normal(p.x[0], p.x[1], p.x[2], p.y[0], p.y[1], p.y[2], p.z[0], p.z[1], p.z[2], n);
}

static reference_points points(const double P[3][3]) {
    return reference_points{{P[0][0], P[1][0], P[2][0]}, {P[0][1], P[1][1], P[2][1]},
                            {P[0][2], P[1][2], P[2][2]}};
}

TEST(ReferencePoints, WhichTriplesSpanAPlane) {
    struct {
        double P[3][3];
        int spans;
    } cases[] = {
        {{{-20, 30, -10}, {1, -1, 0}, {5, 3, -8}}, 1},
        {{{0, 0, 0}, {0, 0, 0}, {0, 0, 0}}, 0},              // a uniform border
        {{{87, -196, 109}, {85, -195, 110}, {81, -193, 112}}, 0},  // (224,115,28), ...
        {{{1, 1, 1}, {1, 1, 1}, {2, 5, 1}}, 0},              // two equal pixels
        {{{0, 0, 0}, {1, 2, 3}, {2, 4, 6.000000000001}}, 0},  // collinear but for rounding
        {{{0, 0, 0}, {1, 0, 0}, {1, 1e-6, 0}}, 1},           // thin, but a plane
        {{{NAN, 0, 0}, {1, 0, 0}, {0, 1, 0}}, 0},
    };
    for (auto &c : cases) EXPECT_EQ(spans_plane(points(c.P)), c.spans) << c.P[1][0];
}

TEST(ReferencePoints, FallbacksSpanThePlaneTheKernelsProduced) {
    const double flat[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    double n[3];
    normal_of(first_rotation_points(points(flat)), n);
    EXPECT_EQ(n[0], 1); EXPECT_EQ(n[1], 1); EXPECT_EQ(n[2], 1);

    const circle_projection tilted = projection_from_moments(1, 0.3, 0.3, 5);
    normal_of(second_rotation_points(points(flat), tilted), n);
    const double length = sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    const double direction = sqrt(tilted.c * tilted.c + tilted.s * tilted.s + tilted.h * tilted.h);
    EXPECT_NEAR(n[0] / length, tilted.c / direction, 1e-15);
    EXPECT_NEAR(n[1] / length, tilted.s / direction, 1e-15);
    EXPECT_NEAR(n[2] / length, tilted.h / direction, 1e-15);

    const circle_projection circle = projection_from_moments(2, 0, 0, 2);
    normal_of(second_rotation_points(points(flat), circle), n);
    EXPECT_EQ(n[0], 0); EXPECT_EQ(n[1], 0); EXPECT_GT(n[2], 0);

    // Points that span a plane are used as they are.
    const double good[3][3] = {{1, 2, 3}, {-1, 0, 2}, {4, 1, -1}};
    const reference_points kept = second_rotation_points(points(good), tilted);
    EXPECT_EQ(kept.x[1], -1); EXPECT_EQ(kept.z[2], -1);
}
