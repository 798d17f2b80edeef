#include "unwrap/temporal.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;

static inline double wrap(double angle) {  // into [-pi, pi)
    return angle - TWO_PI * floor((angle + PI) / TWO_PI);
}

static inline double turn(double angle) {  // into [0, 2 pi)
    return angle - TWO_PI * floor(angle / TWO_PI);
}

// The mean wrapped gradient of a phase along x and y, over valid neighbours.
static void mean_gradient(const double *phase, const unsigned char *valid, int width, int height,
                          double *gx, double *gy) {
    double sx = 0, sy = 0, nx = 0, ny = 0;
    for (int y = 0; y + 1 < height; y++)
        for (int x = 0; x + 1 < width; x++) {
            const size_t i = (size_t)y * width + x;
            if (!valid[i]) continue;
            if (valid[i + 1]) sx += wrap(phase[i + 1] - phase[i]), nx++;
            if (valid[i + width]) sy += wrap(phase[i + width] - phase[i]), ny++;
        }
    *gx = nx > 0 ? sx / nx : 0, *gy = ny > 0 ? sy / ny : 0;
}

// The middle of the widest empty arc of the phase's values: under one fringe
// across the scene, the phase is absolute once cut there. -1 when no arc of
// 1/64 turn is empty: the phase covers the turn, more than one fringe.
static double widest_gap(const double *phase, const unsigned char *valid, size_t pixels) {
    const int BINS = 4096;
    std::vector<unsigned char> filled(BINS, 0);
    for (size_t i = 0; i < pixels; i++)
        if (valid[i]) filled[(int)(turn(phase[i]) / TWO_PI * BINS) % BINS] = 1;
    int best_start = 0, best_length = 0;
    for (int start = 0; start < BINS; start++) {
        if (filled[start] || filled[(start + BINS - 1) % BINS] == 0) continue;  // a gap's start
        int length = 0;
        while (length < BINS && !filled[(start + length) % BINS]) length++;
        if (length > best_length) best_start = start, best_length = length;
    }
    if (best_length < BINS / 64) return -1;
    return TWO_PI * (best_start + best_length / 2.0) / BINS;
}

// The circular mean of wrap(a - b) over the valid pixels.
static double mean_difference(const double *a, const double *b, const unsigned char *valid,
                              size_t pixels) {
    double c = 0, s = 0;
    for (size_t i = 0; i < pixels; i++)
        if (valid[i]) c += cos(a[i] - b[i]), s += sin(a[i] - b[i]);
    return atan2(s, c);
}

// One wrapped phase of the chain: its values and its period.
struct level {
    std::vector<double> phase;
    double period;
};

// The phases from the finest to the coarsest, each period a good multiple of
// the last: where neighbouring periods are close (a ratio under 1.5, as
// 14:15:16), their beats (wrap(a - b), period Ta Tb / (Tb - Ta)) stand in for
// the coarser ones, beats of beats where those are close too.
static std::vector<level> chain_of(std::vector<level> sets, size_t pixels) {
    bool close = false;
    for (size_t j = 1; j < sets.size(); j++) close |= sets[j].period / sets[j - 1].period < 1.5;
    if (!close || sets.size() < 2) return sets;
    std::vector<level> beats(sets.size() - 1);
    for (size_t j = 0; j + 1 < sets.size(); j++) {
        const double a = sets[j].period, b = sets[j + 1].period;
        beats[j].period = a * b / (b - a);
        beats[j].phase.resize(pixels);
        for (size_t i = 0; i < pixels; i++)
            beats[j].phase[i] = sets[j].phase[i] - sets[j + 1].phase[i];
    }
    std::sort(beats.begin(), beats.end(),
              [](const level &x, const level &y) { return x.period < y.period; });
    // Equal beats (frequencies in steps of one, such as 1/14 : 1/15 : 1/16)
    // say the same: one of them will do.
    for (size_t j = 1; j < beats.size();)
        if (beats[j].period / beats[j - 1].period < 1.001)
            beats.erase(beats.begin() + j);
        else
            j++;
    std::vector<level> chain;
    chain.push_back(std::move(sets[0]));
    for (level &l : chain_of(std::move(beats), pixels)) chain.push_back(std::move(l));
    return chain;
}

long long unwrap_temporal(const double *const *phases, const unsigned char *const *masks, int count,
                          const double *periods, int width, int height, bool steps_known,
                          double *absolute, unsigned char *mask) {
    const size_t pixels = (size_t)width * height;
    // Valid where every set's phase is.
    std::vector<unsigned char> valid(pixels, 1);
    for (int k = 0; k < count; k++)
        for (size_t i = 0; i < pixels; i++)
            valid[i] = valid[i] && masks[k][i] && isfinite(phases[k][i]);
    // Sets in the order of their periods, finest first, each turned to one sign:
    // the phase grows the way the finest one's does.
    std::vector<int> order(count);
    for (int k = 0; k < count; k++) order[k] = k;
    std::sort(order.begin(), order.end(), [&](int a, int b) { return periods[a] < periods[b]; });
    std::vector<level> sets(count);
    double reference_x = 0, reference_y = 0;
    for (int j = 0; j < count; j++) {
        const int k = order[j];
        sets[j].period = periods[k];
        sets[j].phase.assign(phases[k], phases[k] + pixels);
        if (steps_known) continue;
        double gx, gy;
        mean_gradient(phases[k], valid.data(), width, height, &gx, &gy);
        // The finest set fixes the sign: its phase grows to the right (or
        // downward, where its fringes lie along x).
        if (j == 0) {
            const bool along_x = fabs(gx) >= fabs(gy);
            const bool flip = along_x ? gx < 0 : gy < 0;
            reference_x = flip ? -gx : gx, reference_y = flip ? -gy : gy;
        }
        if (gx * reference_x + gy * reference_y < 0)
            for (double &p : sets[j].phase) p = -p;
    }
    std::vector<level> chain = chain_of(std::move(sets), pixels);
    // chain[0] is the finest; chain.back() the coarsest, made absolute at the
    // widest gap of its values.
    const level &coarsest = chain.back();
    const double cut = steps_known ? 0 : widest_gap(coarsest.phase.data(), valid.data(), pixels);
    if (cut < 0) return -1;
    std::vector<double> known(pixels);
    for (size_t i = 0; i < pixels; i++) known[i] = turn(coarsest.phase[i] - cut);
    std::vector<unsigned char> agree(valid);
    for (int j = (int)chain.size() - 2; j >= 0; j--) {
        const level &finer = chain[j];
        const double ratio = chain[j + 1].period / finer.period;
        // The finer phase's constant from its agreement with the scaled coarser one.
        std::vector<double> predicted(pixels);
        for (size_t i = 0; i < pixels; i++) predicted[i] = known[i] * ratio;
        const double offset =
            steps_known ? 0 : mean_difference(finer.phase.data(), predicted.data(), agree.data(), pixels);
        for (size_t i = 0; i < pixels; i++) {
            if (!valid[i]) continue;
            const double p = finer.phase[i] - offset;
            const double order_k = round((predicted[i] - p) / TWO_PI);
            known[i] = p + TWO_PI * order_k;
            // Periods that disagree by more than a quarter turn: an order error.
            if (fabs(known[i] - predicted[i]) > PI / 2) agree[i] = 0;
        }
    }
    long long masked = 0;
    for (size_t i = 0; i < pixels; i++) {
        const bool ok = valid[i] && agree[i];
        absolute[i] = ok ? known[i] : NAN;
        if (mask != NULL) mask[i] = ok;
        masked += !ok;
    }
    return masked;
}

}  // namespace phaze_internal
