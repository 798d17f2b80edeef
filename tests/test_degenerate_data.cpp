// Degenerate data that real frames produce: every phase must stay finite and right.
#include <gtest/gtest.h>
#include <math.h>

#include "tests/end_to_end.h"

TEST_F(EndToEnd, UniformDarkBorder) {
    // Pixels 0, 1 and 2 are equal: the first reference points coincide.
    for (double step : {2.0943951023931957, 1.4}) {
        fringe_options options;
        options.width = 256, options.height = 128, options.border = 3;
        options.angle = 0.4, options.period = 20, options.contrast = 120;
        options.steps[1] = step, options.steps[2] = 2 * step + (step < 2 ? 0.1 : 0);
        const std::vector<double> truth = make(options);
        const std::vector<double> phase = run_and_read(truth.size());
        std::vector<char> inside(truth.size());
        for (int y = 3; y < 125; y++)
            for (int x = 3; x < 253; x++) inside[y * 256 + x] = 1;
        EXPECT_LT(spread_around(phase, truth, -1, inside), 1e-2) << step;
        EXPECT_NEAR(phase[0], PI, 5e-7) << "a dark pixel is the origin";
    }
}

TEST_F(EndToEnd, CollinearFirstPixels) {
    // Smooth fringes in 8 bits: three first pixels whose differences are collinear.
    fringe_options options;
    options.width = 256, options.height = 64, options.angle = 0, options.period = 32,
    options.contrast = 120;
    options.steps[1] = 1.4, options.steps[2] = 2.9;
    const std::vector<double> truth = fringe_phase(options);
    std::vector<unsigned char> frames[3];
    fringe_samples(options, truth, frames);
    const unsigned char first[3][3] = {{224, 115, 28}, {223, 113, 28}, {222, 110, 29}};
    for (int i = 0; i < 3; i++)
        for (int k = 0; k < 3; k++) frames[k][i] = first[i][k];
    make_from_samples(options.width, options.height, frames);
    std::vector<char> keep(truth.size(), 1);
    keep[0] = keep[1] = keep[2] = 0;
    EXPECT_LT(spread_around(run_and_read(truth.size()), truth, -1, keep), 6e-3);
}

TEST_F(EndToEnd, ExactlyCircularMomentsGiveTheClassicalPhase) {
    // Every sample triple with all six of its permutations: the moments are those
    // of a circle, and the phase is the classical equal-step value to the last digit.
    const int W = 96, H = 40;
    std::vector<unsigned char> frames[3];
    for (auto &f : frames) f.resize(W * H);
    unsigned state = 7;
    const int order[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
    for (int i = 0; i < W * H; i += 6) {
        unsigned char triple[3];
        for (auto &t : triple) t = (unsigned char)((state = state * 1103515245u + 12345u) >> 24);
        for (int p = 0; p < 6; p++)
            for (int k = 0; k < 3; k++) frames[k][i + p] = triple[order[p][k]];
    }
    make_from_samples(W, H, frames);
    EXPECT_LE(distance_from_classical(run_and_read(W * H), frames), 5.0000001e-7);

    // Equal steps over fringes whose period is a multiple of three: each triple's
    // cyclic permutations occur as often as it does.
    fringe_options options;
    options.width = 192, options.height = 64, options.angle = 0, options.period = 48;
    const std::vector<double> truth = make(options);
    fringe_samples(options, truth, frames);
    const std::vector<double> fringes = run_and_read(truth.size());
    EXPECT_LE(distance_from_classical(fringes, frames), 5.0000001e-7);
    EXPECT_LT(spread_around(fringes, truth, -1), 4e-3);
}
