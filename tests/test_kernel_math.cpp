// The per-element math against values worked out by hand.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>

#include <vector>

#include "math/kernel.h"
#include "method/moments.h"
#include "shared/phase_colours.h"
#include "shared/quantise_phase.h"

using namespace phaze_internal;

static const double PI = 3.141592653589793;

static void rotate(const double P[3][3], double &x, double &y, double &z) {
    level_point(levelling_angles(P[0][0], P[1][0], P[2][0], P[0][1], P[1][1], P[2][1], P[0][2],
                                 P[1][2], P[2][2]),
                x, y, z);
}

TEST(LevellingRotation, KnownPlanes) {
    const double level[3][3] = {{1, 2, 5}, {-3, 4, 5}, {7, 1, 5}};  // nothing moves
    double x = 3.5, y = -2.25, z = 5;
    rotate(level, x, y, z);
    EXPECT_TRUE(x == 3.5 && y == -2.25 && z == 5);

    // The plane X + Y + Z = 0: samples (10, 20, 40) end at
    // ((2 I2 - I1 - I3)/sqrt 2, sqrt(3/2)(I3 - I1), 0).
    const double diagonal[3][3] = {{-20, 30, -10}, {1, -1, 0}, {5, 3, -8}};
    x = -20, y = 30, z = -10;
    rotate(diagonal, x, y, z);
    EXPECT_NEAR(x, -10 / sqrt(2.0), 1e-12);
    EXPECT_NEAR(y, 30 * sqrt(1.5), 1e-12);
    EXPECT_NEAR(z, 0, 1e-12);

    // A vertical plane (n_z = 0): alpha is +-pi/2 and the plane still ends level.
    const double vertical[3][3] = {{0, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    double points[3][3] = {{0, 3, 4}, {0, -2, 7}, {0, 5, -1}};
    for (auto &p : points) rotate(vertical, p[0], p[1], p[2]);
    EXPECT_NEAR(points[1][2], points[0][2], 1e-12);
    EXPECT_NEAR(points[2][2], points[0][2], 1e-12);
}

TEST(CircleProjection, FiniteWhereTheQuotientBreaksDown) {
    const double cases[][6] = {
        // SYY, SXY, SXX, active, c, s
        {1, 0, 4, 1, 1, 0},                    // diagonal, major axis X (the quotient works)
        {4, 0, 1, 1, 0, 1},                    // diagonal, major axis Y
        {2, -1, 2, 1, sqrt(0.5), -sqrt(0.5)},  // equal diagonal, SXY < 0
        {2, 1, 2, 1, sqrt(0.5), sqrt(0.5)},    // equal diagonal, SXY > 0
        {2, 0, 2, 0, 0, 0},                    // a circle: nothing to project
        {1.5045956021603313, 0, 1.5045955963867905, 0, 0, 0},  // radicand rounds below 0
        {0, 0, 0, 0, 0, 0},                                    // every point at the origin
    };
    for (auto &c : cases) {
        const circle_projection p = projection_from_moments(c[0], c[1], c[2]);
        EXPECT_EQ(p.active, (int)c[3]) << c[0] << " " << c[1] << " " << c[2];
        double x = 1.25, y = -0.5, z = 0.75;
        project_point(p, x, y, z);
        EXPECT_TRUE(isfinite(x) && isfinite(y) && isfinite(z));
        const bool moved = fabs(p.c - c[4]) < 1e-15 && fabs(p.s - c[5]) < 1e-15;
        EXPECT_TRUE(p.active ? moved : x == 1.25 && y == -0.5 && z == 0.75) << p.c << " " << p.s;
    }
    double q[3] = {0, 2, 0}, r[3] = {sqrt(0.5), sqrt(2.0), 0};  // axes 2 along Y, 1 along X
    const circle_projection p = projection_from_moments(4, 0, 1);
    project_point(p, q[0], q[1], q[2]), project_point(p, r[0], r[1], r[2]);
    EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2], 1, 1e-12);
    EXPECT_NEAR(r[0] * r[0] + r[1] * r[1] + r[2] * r[2], 1, 1e-12);
}

TEST(CircleProjection, UnchangedWhereTheQuotientIsFinite) {
    unsigned state = 12345;
    auto next = [&] { return (state = state * 1664525u + 1013904223u) / 4294967296.0; };
    for (int n = 0; n < 2000; n++) {
        const double q11 = 1 + 1e6 * next(), q22 = 1 + 1e6 * next(),
                     q12 = (next() - 0.5) * sqrt(q11 * q22);
        // The quotient formula as it stands.
        const double m = (q11 + q22) / 2,
                     r = sqrt(q11 * q11 - 2 * q11 * q22 + 4 * q12 * q12 + q22 * q22) / 2;
        const double lmax = m + r <= m - r ? m - r : m + r, lmin = m + r <= m - r ? m + r : m - r;
        const double k = (lmin - (q12 + q11)) / ((q12 + q22) - lmin), c = 1 / sqrt(k * k + 1),
                     s = -(k * c);
        const double h = sqrt(lmin) / sqrt(sqrt(lmax) * sqrt(lmax) - sqrt(lmin) * sqrt(lmin));
        const circle_projection got = projection_from_moments(q11, q12, q22);
        EXPECT_TRUE(got.c == c && got.s == s && got.h == h &&
                    got.w == 1 / (h * h + (c * c + s * s)));
    }
}

TEST(PhaseAndPicture, PolarAngleAndItsByte) {
    const double angles[][3] = {{1, 0, PI},       {-1, 0.0, 2 * PI}, {-1, -0.0, 0},
                                {0, 1, 1.5 * PI}, {0, -1, 0.5 * PI}, {0.0, 0.0, PI},
                                {1, 1, 1.25 * PI}};
    for (auto &a : angles) EXPECT_DOUBLE_EQ(polar_phase(a[0], a[1]), a[2]) << a[0] << "," << a[1];
    EXPECT_TRUE(isnan(polar_phase(NAN, 1)));
    const double bytes[][2] = {
        {0, 0},   {PI, 127}, {nextafter(2 * PI, 0), 254}, {2 * PI, 255},
        {NAN, 0}, {-NAN, 0}, {2 * PI / 255, 1},           {nextafter(2 * PI / 255, 0), 0}};
    for (auto &b : bytes) EXPECT_EQ(quantise_phase(b[0]), b[1]) << b[0];
    // The block version equals the one-phase one, also beyond a turn and with
    // such a phase among others.
    const double phases[] = {0,   PI,   2 * PI, NAN,      6.29,      -1, 7,
                             3e3, -2e9, 1e19,   INFINITY, -INFINITY, 5};
    const size_t n = sizeof phases / sizeof phases[0];
    unsigned char block[n];
    for (size_t from : {(size_t)0, (size_t)4}) {
        quantise_phases(phases + from, n - from, block);
        for (size_t i = from; i < n; i++)
            EXPECT_EQ(block[i - from], quantise_phase(phases[i])) << phases[i];
    }
    quantise_phases(phases, 5, block);  // within a turn and NaN only: the fast path
    for (size_t i = 0; i < 5; i++) EXPECT_EQ(block[i], quantise_phase(phases[i])) << phases[i];
    // Phases a few units in the last place either side of every level's edge,
    // and a million across the turn.
    std::vector<double> many;
    for (int level = 1; level < 256; level++)
        for (double at = level * (2 * PI / 255), d = -4; d <= 4; d++)
            many.push_back(at + d * 8.9e-16);
    for (int k = 0; k < 1000000; k++) many.push_back(k * (2 * PI / 1000000) + 1e-7 * (k % 7));
    std::vector<unsigned char> bytes_of(many.size());
    quantise_phases(many.data(), many.size(), bytes_of.data());
    for (size_t i = 0; i < many.size(); i++)
        ASSERT_EQ(bytes_of[i], quantise_phase(many[i])) << many[i];
}

// The command's phase picture: levels as palette indices, a colour a level,
// colours of one lightness that go round with the phase, masked pixels black.
TEST(PhaseAndPicture, ColoursGoRoundAndMaskedPixelsStandApart) {
    const double phases[] = {0, PI, nextafter(2 * PI, 0), 2 * PI, NAN, 1.0};
    unsigned char indices[6];
    phase_picture_indices(phases, 6, indices);
    const unsigned char expected[6] = {0, 127, 254, 254, MASKED_INDEX, quantise_phase(1.0)};
    for (int k = 0; k < 6; k++) EXPECT_EQ(indices[k], expected[k]) << phases[k];
    unsigned char rgb[256][3];
    phase_palette(rgb);
    EXPECT_TRUE(rgb[MASKED_INDEX][0] == 0 && rgb[MASKED_INDEX][1] == 0 &&
                rgb[MASKED_INDEX][2] == 0);
    auto linear = [](int byte) {
        const double v = byte / 255.0;
        return v <= 0.04045 ? v / 12.92 : pow((v + 0.055) / 1.055, 2.4);
    };
    auto distance = [&](int a, int b) {
        double sum = 0;
        for (int c = 0; c < 3; c++) sum += (rgb[a][c] - rgb[b][c]) * (rgb[a][c] - rgb[b][c]);
        return sqrt(sum);
    };
    double darkest = 1, brightest = 0, largest_step = 0, closest_opposite = 1e9;
    for (int k = 0; k < 255; k++) {
        const double luminance =
            0.2126 * linear(rgb[k][0]) + 0.7152 * linear(rgb[k][1]) + 0.0722 * linear(rgb[k][2]);
        darkest = fmin(darkest, luminance), brightest = fmax(brightest, luminance);
        largest_step = fmax(largest_step, distance(k, (k + 1) % 255));  // 2 pi meets 0
        closest_opposite = fmin(closest_opposite, distance(k, (k + 127) % 255));
    }
    EXPECT_GT(darkest, 0.3) << "no phase near the masked pixels' black";
    EXPECT_LT(brightest / darkest, 1.2) << "no phase stands out by its lightness";
    EXPECT_LT(largest_step, 6) << "the colours change smoothly, across 2 pi too";
    EXPECT_GT(closest_opposite, 100) << "phases half a turn apart look apart";
}
