// The harmonic ripple in the phase, found from the phase's own smoothness and
// removed where the scene confirms it.
//
// Fringes that are not sinusoids make the measured phase psi a distorted
// function of the true one: phi = psi - e(psi), with e periodic and the same
// everywhere in the scene. The true phase is smooth: over three pixels s
// apart along a line its second difference is nearly 0, so the measured
// phase's second difference is that of e at the three measured values. Many
// such triples fix e at NODES points of the turn by least squares, whatever
// way the scene's phases are spread, and the pixels masked for saturation
// (whose phase is still nearly right) fill the intervals of the turn that the
// valid pixels leave empty. A ripple is removed only where the scene's left
// and right, top and bottom halves find the same one: a phase whose own
// curvature follows its value (a fringe or two across the scene) gives each
// half a different one.
#pragma once

#include <math.h>

#include <algorithm>
#include <vector>

#include "method/samples.h"
#include "phaze/phaze.h"

namespace phaze_internal {

constexpr int RIPPLE_NODES = 128;
// e at this many points of the turn for the correction: the nearest one is
// within 2e-4 rad of e, and a lookup without interpolation keeps the pass
// that makes the phase nearly as fast as without it.
constexpr int RIPPLE_TABLE = 16384;

struct harmonic_ripple {
    double rms;           // of e over the turn, radians
    double disagreement;  // rms of the halves' difference, over rms
    int removable;
    int outcome;                      // a phaze_ripple_outcome
    double e[RIPPLE_NODES + 1];       // e at 2 pi j / NODES, j = 0 .. NODES (e[NODES] = e[0])
    double table[RIPPLE_TABLE + 1];   // e at 2 pi j / TABLE, where removable
};

// A triple of phases s pixels apart along a line, whether the line is a column,
// and which halves of the scene its middle lies in (left 0 / right 1, top 0 /
// bottom 1).
struct phase_triple {
    double left, middle, right;
    unsigned char down, right_half, bottom_half;
};

// The triples of a scene, and the fringes across it (the phase's mean change
// between neighbours, times the longer side, over 2 pi).
struct scene_triples {
    std::vector<phase_triple> triples;
    double fringes_across;
};

// The ripple from the triples of a scene: 0, or 1 when too few tell (outcome
// then says so): under two fringes across, or a part of the turn that no
// triple visits, leave e unknown there and its curvature for the ripple.
int ripple_from_triples(const scene_triples &scene, harmonic_ripple *ripple);

// The triples of a width x height scene: row_phases(y, x, n, psi, has) gives
// the phases of the n pixels of row y from column x and whether each pixel has
// one (0 where it has no fringes, or a sample that is not finite). Along rows and columns about
// RIPPLE_LINES rows of the scene, the spacing where neighbours differ by about
// 0.8 rad (second differences of a ripple grow with the square of the spacing,
// those of noise do not).
template <typename RowPhases>
scene_triples ripple_triples(int width, int height, RowPhases row_phases);

// phase - e(phase), into [0, 2 pi), for n phases in place; NaN stays NaN.
// correct_block is one thread's, for a block of a pass that makes the phase;
// remove_ripple a pass of its own over a phase made elsewhere.
void correct_block(const harmonic_ripple &ripple, double *__restrict phase, int n);
void remove_ripple(const harmonic_ripple &ripple, double *phase, long long n);

// The report's steps, phase offset, background, modulation and residual
// fitted again around the corrected phase: the steps patch by patch (each
// frame against the phase and its second and third harmonics, where the
// background and modulation hardly change), then each pixel's A and B over a
// sample. With known_theta (the steps given, as theta_k of I_k = A + B
// cos(phase + theta_k)), only A, B and the residual. Each pixel's modulation
// and mask stay as the first fit made them.
void refit_model(const sample_frames &frames, const double *phase, const unsigned char *mask,
                 const double *known_theta, phaze_report *report);

// ---- the triples ----

// Rows, triples a row each way, and the runs of columns the triples lie in.
constexpr int RIPPLE_LINES = 36, RIPPLE_POINTS = 512, RIPPLE_RUNS = 8;

template <typename RowPhases>
scene_triples ripple_triples(int width, int height, RowPhases row_phases) {
    const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;
    const auto wrap = [&](double a) { return a - TWO_PI * floor((a + PI) / TWO_PI); };
    scene_triples scene = {{}, 0};
    const int lines = height < RIPPLE_LINES ? height : RIPPLE_LINES;
    const int runs = width > RIPPLE_POINTS ? RIPPLE_RUNS : 1,
              run = width > RIPPLE_POINTS ? RIPPLE_POINTS / RIPPLE_RUNS : width;
    std::vector<int> centre(lines);
    for (int j = 0; j < lines; j++) centre[j] = (int)((long long)(2 * j + 1) * height / (2 * lines));
    const auto run_start = [&](int r, int margin) {  // the runs spread evenly over the row
        return margin + (int)((long long)(2 * r + 1) * (width - run - 2 * margin) / (2 * runs));
    };
    // The spacing, from the median step between neighbours along the runs of
    // the centre rows.
    std::vector<double> steps;
    {
        std::vector<std::vector<double>> found(lines);
#pragma omp parallel for schedule(static)
        for (int j = 0; j < lines; j++) {
            std::vector<double> psi(run);
            std::vector<unsigned char> has(run);
            for (int r = 0; r < runs; r++) {
                row_phases(centre[j], run_start(r, 0), run, psi.data(), has.data());
                for (int i = 0; i + 1 < run; i++)
                    if (has[i] && has[i + 1]) found[j].push_back(fabs(wrap(psi[i + 1] - psi[i])));
            }
        }
        for (const std::vector<double> &f : found) steps.insert(steps.end(), f.begin(), f.end());
    }
    if (steps.empty()) return scene;
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    const double step = steps[steps.size() / 2];
    scene.fringes_across = step * std::max(width, height) / TWO_PI;
    const int limit = std::max(1, std::min(width, height) / 4);
    const int s = step > 0.8 / limit ? std::max(1, std::min(limit, (int)lround(0.8 / step))) : limit;
    // Each centre row's triples along it and across it (with the rows s above
    // and below), in runs of columns spread over the row; in the rows' order,
    // whatever the threads.
    const int margin = width - run >= 2 * s ? s : 0;
    std::vector<std::vector<phase_triple>> found(lines);
#pragma omp parallel for schedule(dynamic)
    for (int j = 0; j < lines; j++) {
        const int y = centre[j], wide = run + 2 * margin;
        std::vector<double> middle(wide), above(wide), below(wide);
        std::vector<unsigned char> middle_has(wide), above_has(wide), below_has(wide);
        const bool across = y - s >= 0 && y + s < height;
        for (int r = 0; r < runs; r++) {
            const int x0 = run_start(r, margin) - margin;  // the run and its margins
            row_phases(y, x0, wide, middle.data(), middle_has.data());
            if (across)
                row_phases(y - s, x0, wide, above.data(), above_has.data()),
                    row_phases(y + s, x0, wide, below.data(), below_has.data());
            for (int i = margin; i < margin + run; i++) {
                const int x = x0 + i;
                phase_triple t;
                t.right_half = 2 * x >= width, t.bottom_half = 2 * y >= height;
                if (i - s >= 0 && i + s < wide && middle_has[i - s] && middle_has[i] &&
                    middle_has[i + s])
                    t.down = 0, t.left = middle[i - s], t.middle = middle[i],
                    t.right = middle[i + s], found[j].push_back(t);
                if (across && above_has[i] && middle_has[i] && below_has[i])
                    t.down = 1, t.left = above[i], t.middle = middle[i], t.right = below[i],
                    found[j].push_back(t);
            }
        }
    }
    for (const std::vector<phase_triple> &f : found)
        scene.triples.insert(scene.triples.end(), f.begin(), f.end());
    return scene;
}

}  // namespace phaze_internal
