// The per-element math against values worked out by hand.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <vector>

#include "device/kernel.h"
#include "device/moments.h"
#include "host/write_results.h"

static const double PI = 3.141592653589793;

static bool same_projection(const circle_projection &a, const circle_projection &b) {
    return memcmp(&a.c, &b.c, sizeof a.c) == 0 && memcmp(&a.s, &b.s, sizeof a.s) == 0 &&
           memcmp(&a.h, &b.h, sizeof a.h) == 0 && memcmp(&a.w, &b.w, sizeof a.w) == 0 &&
           a.active == b.active;
}

TEST(DifferenceTransform, CancelsBackgroundAndLandsInThePlane) {
    struct {
        double in[3], out[3];
    } cases[] = {
        {{10, 20, 40}, {-20, 30, -10}},
        {{77, 77, 77}, {0, 0, 0}},
        {{0, 255, 0}, {255, 0, -255}},
    };
    for (auto &c : cases) {
        double x = c.in[0], y = c.in[1], z = c.in[2];
        difference_point(x, y, z);
        EXPECT_EQ(x, c.out[0]);
        EXPECT_EQ(y, c.out[1]);
        EXPECT_EQ(z, c.out[2]);
        EXPECT_EQ(x + y + z, 0);
    }
}

TEST(LaunchShape, AlwaysOneBlockMoreThanTheQuotient) {
    EXPECT_EQ(launch_blocks(5), 1u);
    EXPECT_EQ(launch_blocks(63), 1u);
    EXPECT_EQ(launch_blocks(64), 2u);
    EXPECT_EQ(launch_blocks(65), 2u);
    EXPECT_EQ(launch_blocks(4096 * 4096), 262145u);
}

static void rotate(const double P[3][3], double &x, double &y, double &z) {
    const levelling r = levelling_angles(P[0][0], P[1][0], P[2][0], P[0][1], P[1][1], P[2][1],
                                         P[0][2], P[1][2], P[2][2]);
    level_point(r, x, y, z);
}

TEST(LevellingRotation, KnownPlanes) {
    // Already level: nothing moves.
    const double level[3][3] = {{1, 2, 5}, {-3, 4, 5}, {7, 1, 5}};
    double x = 3.5, y = -2.25, z = 5;
    rotate(level, x, y, z);
    EXPECT_EQ(x, 3.5);
    EXPECT_EQ(y, -2.25);
    EXPECT_EQ(z, 5);

    // The plane X + Y + Z = 0 always gives alpha = -pi/4, beta = atan(-1/sqrt 2).
    const double diagonal[3][3] = {{-20, 30, -10}, {1, -1, 0}, {5, 3, -8}};
    const levelling r = levelling_angles(-20, 1, 5, 30, -1, 3, -10, 0, -8);
    EXPECT_NEAR(r.cos_a, cos(-PI / 4), 1e-15);
    EXPECT_NEAR(r.sin_a, sin(-PI / 4), 1e-15);
    EXPECT_NEAR(r.cos_b, cos(atan(-1 / sqrt(2.0))), 1e-15);
    EXPECT_NEAR(r.sin_b, sin(atan(-1 / sqrt(2.0))), 1e-15);
    // Samples (10, 20, 40) end at ((2 I2 - I1 - I3)/sqrt 2, sqrt(3/2)(I3 - I1), 0).
    x = -20, y = 30, z = -10;
    rotate(diagonal, x, y, z);
    EXPECT_NEAR(x, -10 / sqrt(2.0), 1e-12);
    EXPECT_NEAR(y, 30 * sqrt(1.5), 1e-12);
    EXPECT_NEAR(z, 0, 1e-12);

    // A vertical plane (n_z = 0): alpha is +-pi/2 and the plane still ends level.
    const double vertical[3][3] = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double points[3][3] = {{0, 3, 4}, {0, -2, 7}, {0, 5, -1}};
    double first_z = NAN;
    for (auto &p : points) {
        rotate(vertical, p[0], p[1], p[2]);
        if (isnan(first_z)) first_z = p[2];
        EXPECT_NEAR(p[2], first_z, 1e-12);
    }
}

TEST(LevellingRotation, SamePlaneWhateverItsReferencePoints) {
    // Any three points of one plane, in any order, give one rotation.
    const double a[3][3] = {{1, 0, 3}, {0, 1, 4}, {2, 2, 11}};  // z = 2x + 3y + 1
    const double b[3][3] = {{2, 2, 11}, {-1, 4, 11}, {0, 0, 1}};
    const double c[3][3] = {{0, 1, 4}, {1, 0, 3}, {3, -1, 4}};  // the other orientation
    const double probe[3] = {4, -5, 1};
    double out[3][3];
    const double(*planes[3])[3] = {a, b, c};
    for (int k = 0; k < 3; k++) {
        out[k][0] = probe[0], out[k][1] = probe[1], out[k][2] = probe[2];
        rotate(planes[k], out[k][0], out[k][1], out[k][2]);
    }
    for (int k = 1; k < 3; k++)
        for (int d = 0; d < 3; d++) EXPECT_NEAR(out[k][d], out[0][d], 1e-12);
}

// Points of an ellipse with semi-axes a (along angle theta) and b, in the X-Y plane.
static void ellipse(double a, double b, double theta, int n, std::vector<double> &X,
                    std::vector<double> &Y, std::vector<double> &Z) {
    X.resize(n), Y.resize(n), Z.assign(n, 0.0);
    for (int i = 0; i < n; i++) {
        const double t = 2 * PI * (i + 0.37) / n;
        const double u = a * cos(t), v = b * sin(t);
        X[i] = u * cos(theta) - v * sin(theta);
        Y[i] = u * sin(theta) + v * cos(theta);
    }
}

TEST(CircleProjection, TurnsEllipsesIntoCirclesOfTheMinorRadius) {
    struct {
        double a, b, theta;
    } cases[] = {{3, 1, 0.0}, {5, 2, 0.7}, {4, 3.5, -1.1}, {2, 1, 2.0}};
    for (auto &c : cases) {
        std::vector<double> X, Y, Z;
        ellipse(c.a, c.b, c.theta, 360, X, Y, Z);
        const moment_sums m = sum_moments(X.data(), Y.data(), 360);
        const circle_projection p = projection_from_moments(m.SYY, m.SXY, m.SXY, m.SXX);
        EXPECT_NEAR(fabs(p.c * cos(c.theta) + p.s * sin(c.theta)), 1, 1e-9) << "major axis";
        for (int i = 0; i < 360; i++) project_point(p, X[i], Y[i], Z[i]);
        for (int i = 0; i < 360; i++) {
            EXPECT_NEAR(sqrt(X[i] * X[i] + Y[i] * Y[i] + Z[i] * Z[i]), c.b, 1e-9);
            EXPECT_NEAR(X[i] * p.c + Y[i] * p.s + Z[i] * p.h, 0, 1e-9) << "in the plane";
        }
    }
}

TEST(CircleProjection, DiagonalMomentsWithTheMajorAxisAlongX) {
    const circle_projection p = projection_from_moments(1.0, 0.0, 123.0, 4.0);
    EXPECT_EQ(p.c, 1);
    EXPECT_EQ(p.s, 0);
    EXPECT_DOUBLE_EQ(p.h, 1 / sqrt(3.0));  // sqrt(lmin) / sqrt(lmax - lmin)
    // q21 is never read.
    const circle_projection q = projection_from_moments(1.0, 0.0, -7.0, 4.0);
    EXPECT_TRUE(same_projection(p, q));
}

TEST(PhaseExtraction, PolarAngleShiftedIntoZeroToTwoPi) {
    struct {
        double x, y, phase;
    } cases[] = {
        {1, 0, PI}, {-1, 0.0, 2 * PI}, {-1, -0.0, 0}, {0, 1, 1.5 * PI},
        {0, -1, 0.5 * PI}, {0.0, 0.0, PI}, {1, 1, 1.25 * PI},
    };
    for (auto &c : cases) EXPECT_DOUBLE_EQ(polar_phase(c.x, c.y), c.phase) << c.x << "," << c.y;
    EXPECT_TRUE(isnan(polar_phase(NAN, 1)));
}

TEST(Quantisation, TwoHundredFiftyFiveBinsAndTwoPiAlone) {
    struct {
        double phase;
        int level;
    } cases[] = {
        {0, 0}, {PI, 127}, {nextafter(2 * PI, 0), 254}, {2 * PI, 255}, {NAN, 0},
        {2 * PI / 255, 1}, {nextafter(2 * PI / 255, 0), 0}, {-NAN, 0},
    };
    for (auto &c : cases) EXPECT_EQ(quantise_phase(c.phase), c.level) << c.phase;
}

// The quotient formula, as it stands, for matrices where it is finite.
static circle_projection literal_projection(double q11, double q12, double q22) {
    const double m = (q11 + q22) / 2;
    const double r = sqrt(q11 * q11 - 2 * q11 * q22 + 4 * q12 * q12 + q22 * q22) / 2;
    const double l1 = m + r, l2 = m - r;
    const double lmax = l1 <= l2 ? l2 : l1, lmin = l1 <= l2 ? l1 : l2;
    const double k = (lmin - (q12 + q11)) / ((q12 + q22) - lmin);
    circle_projection p;
    p.c = 1 / sqrt(k * k + 1);
    p.s = -(k * p.c);
    p.h = sqrt(lmin) / sqrt(sqrt(lmax) * sqrt(lmax) - sqrt(lmin) * sqrt(lmin));
    p.w = 1 / (p.h * p.h + (p.c * p.c + p.s * p.s));
    p.active = 1;
    return p;
}

TEST(CircleProjection, FiniteWhereTheQuotientBreaksDown) {
    struct {
        double q11, q12, q22;  // SYY, SXY, SXX
        int active;
        double c, s;
    } cases[] = {
        {4, 0, 1, 1, 0, 1},                            // diagonal, major axis Y
        {2, -1, 2, 1, sqrt(0.5), -sqrt(0.5)},          // equal diagonal, SXY < 0
        {2, 1, 2, 1, sqrt(0.5), sqrt(0.5)},            // equal diagonal, SXY > 0 (as before)
        {2, 0, 2, 0, 0, 0},                            // a circle: nothing to project
        {1.5045956021603313, 0, 1.5045955963867905, 0, 0, 0},  // radicand rounds below 0
        {0, 0, 0, 0, 0, 0},                            // all points at the origin
    };
    for (auto &c : cases) {
        const circle_projection p = projection_from_moments(c.q11, c.q12, c.q12, c.q22);
        EXPECT_EQ(p.active, c.active) << c.q11 << " " << c.q12 << " " << c.q22;
        double x = 1.25, y = -0.5, z = 0.75;
        project_point(p, x, y, z);
        EXPECT_TRUE(isfinite(x) && isfinite(y) && isfinite(z));
        if (!c.active) {
            EXPECT_EQ(x, 1.25); EXPECT_EQ(y, -0.5); EXPECT_EQ(z, 0.75);
            continue;
        }
        EXPECT_NEAR(p.c, c.c, 1e-15);
        EXPECT_NEAR(p.s, c.s, 1e-15);
    }
    // Axes 2 (along Y) and 1 (along X): the ellipse becomes the unit circle.
    const circle_projection p = projection_from_moments(4, 0, 0, 1);
    double points[4][3] = {{0, 2, 0}, {1, 0, 0}, {0, -2, 0}, {sqrt(0.5), sqrt(2.0), 0}};
    for (auto &q : points) {
        project_point(p, q[0], q[1], q[2]);
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2], 1, 1e-12);
    }
}

TEST(CircleProjection, UnchangedWhereTheQuotientIsFinite) {
    unsigned state = 12345;
    auto next = [&] { return (state = state * 1664525u + 1013904223u) / 4294967296.0; };
    for (int n = 0; n < 2000; n++) {
        const double q11 = 1 + 1e6 * next(), q22 = 1 + 1e6 * next();
        const double q12 = (next() - 0.5) * sqrt(q11 * q22);
        const circle_projection want = literal_projection(q11, q12, q22);
        if (!(isfinite(want.c) && isfinite(want.s) && isfinite(want.h))) continue;
        const circle_projection got = projection_from_moments(q11, q12, q12, q22);
        EXPECT_TRUE(same_projection(got, want)) << q11 << " " << q12 << " " << q22;
    }
}

TEST(MomentSums, RangesInOrderGiveTheSameBits) {
    const int SIZE = 10007;
    std::vector<double> X(SIZE), Y(SIZE);
    for (int i = 0; i < SIZE; i++) X[i] = sin(i * 0.37) * 1e3 + 0.1 * i, Y[i] = cos(i * 1.3) * 7e2;
    const moment_sums whole = sum_moments(X.data(), Y.data(), SIZE);
    moment_sums parts = {0, 0, 0};
    const int bounds[] = {0, 0, 1, 4000, 4001, 9999, SIZE};
    for (int c = 0; c + 1 < 7; c++) add_moments(X.data(), Y.data(), bounds[c], bounds[c + 1], &parts);
    EXPECT_EQ(memcmp(&whole, &parts, sizeof whole), 0);
    double SXY = 0;
    for (int i = 0; i < SIZE; i++) SXY += X[i] * Y[i];
    EXPECT_EQ(whole.SXY, SXY);
}
