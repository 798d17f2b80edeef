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

struct harmonic_ripple {
    double rms;           // of e over the turn, radians
    double disagreement;  // rms of the halves' difference, over rms
    int removable;
    int outcome;                      // a phaze_ripple_outcome
    double e[RIPPLE_NODES + 1];       // e at 2 pi j / NODES, j = 0 .. NODES (e[NODES] = e[0])
};

// A triple of phases s pixels apart along a line, and which halves of the
// scene its middle lies in (left 0 / right 1, top 0 / bottom 1).
struct phase_triple {
    double left, middle, right;
    unsigned char right_half, bottom_half;
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

// The triples of a width x height scene: phase_at(x, y, &psi) gives a pixel's
// phase and 0, or 1 when the pixel has none (no fringes, a sample that is not
// finite). Lines of the sample along rows and columns, the spacing where
// neighbours differ by about 0.8 rad (second differences of a ripple grow
// with the square of the spacing, those of noise do not).
template <typename PhaseAt>
scene_triples ripple_triples(int width, int height, PhaseAt phase_at);

// e at psi, by linear interpolation between the nodes.
inline double ripple_at(const harmonic_ripple &r, double psi) {
    double at = psi * (RIPPLE_NODES / 6.283185307179586);
    at -= RIPPLE_NODES * floor(at / RIPPLE_NODES);
    int j = (int)at;
    if (j >= RIPPLE_NODES) j = RIPPLE_NODES - 1;
    return r.e[j] + (at - j) * (r.e[j + 1] - r.e[j]);
}

// phase - e(phase), into [0, 2 pi), for n phases in place; NaN stays NaN.
// correct_block is one thread's, for a block of a pass that makes the phase;
// remove_ripple a pass of its own over a phase made elsewhere.
void correct_block(const harmonic_ripple &ripple, double *phase, int n);
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

constexpr int RIPPLE_LINES = 48, RIPPLE_POINTS = 768;  // lines each way, triples a line

template <typename PhaseAt>
scene_triples ripple_triples(int width, int height, PhaseAt phase_at) {
    const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;
    const auto wrap = [&](double a) { return a - TWO_PI * floor((a + PI) / TWO_PI); };
    // The spacing, from the median step between neighbours along the rows.
    std::vector<double> steps;
    const int rows = height < RIPPLE_LINES ? height : RIPPLE_LINES;
    const int points = width - 1 < RIPPLE_POINTS ? width - 1 : RIPPLE_POINTS;
    for (int j = 0; j < rows; j++)
        for (int i = 0; i < points; i++) {
            const int y = (int)((long long)(2 * j + 1) * height / (2 * rows)),
                      x = (int)((long long)i * (width - 1) / points);
            double a, b;
            if (!phase_at(x, y, &a) && !phase_at(x + 1, y, &b)) steps.push_back(fabs(wrap(b - a)));
        }
    scene_triples scene = {{}, 0};
    std::vector<phase_triple> &triples = scene.triples;
    if (steps.empty()) return scene;
    std::nth_element(steps.begin(), steps.begin() + steps.size() / 2, steps.end());
    const double step = steps[steps.size() / 2];
    scene.fringes_across = step * std::max(width, height) / TWO_PI;
    const int limit = std::max(1, std::min(width, height) / 4);
    const int s = step > 0.8 / limit ? std::max(1, std::min(limit, (int)lround(0.8 / step))) : limit;
    // Triples along rows, then along columns.
    for (int along_rows = 1; along_rows >= 0; along_rows--) {
        const int across = along_rows ? height : width, length = along_rows ? width : height;
        const int lines = across < RIPPLE_LINES ? across : RIPPLE_LINES;
        const int count = length - 2 * s < RIPPLE_POINTS ? length - 2 * s : RIPPLE_POINTS;
        for (int j = 0; j < lines && count > 0; j++)
            for (int i = 0; i < count; i++) {
                const int line = (int)((long long)(2 * j + 1) * across / (2 * lines));
                const int at = s + (int)((long long)i * (length - 2 * s) / count);
                const int x = along_rows ? at : line, y = along_rows ? line : at;
                const int dx = along_rows ? s : 0, dy = along_rows ? 0 : s;
                phase_triple t;
                if (phase_at(x - dx, y - dy, &t.left) || phase_at(x, y, &t.middle) ||
                    phase_at(x + dx, y + dy, &t.right))
                    continue;
                t.right_half = 2 * x >= width, t.bottom_half = 2 * y >= height;
                triples.push_back(t);
            }
    }
    return scene;
}

}  // namespace phaze_internal
