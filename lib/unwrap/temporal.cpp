#include "unwrap/temporal.h"

#include <math.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace phaze_internal {

static const double TWO_PI = 6.283185307179586, PI = 3.141592653589793;
static const int PHAZE_TEMPORAL_SETS = 8;  // PHAZE_MAX_PERIODS

static inline double wrap(double angle) {  // into [-pi, pi)
    return angle - TWO_PI * floor((angle + PI) / TWO_PI);
}

static inline double turn(double angle) {  // into [0, 2 pi)
    return angle - TWO_PI * floor(angle / TWO_PI);
}

// calls visit(i, j) for each pair of valid neighbours, j right of or below i.
template <typename Visit>
static void each_neighbour_pair(const unsigned char *valid, int width, int height, Visit visit) {
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const size_t i = (size_t)y * width + x;
            if (!valid[i]) continue;
            if (x + 1 < width && valid[i + 1]) visit(i, i + 1, 0);
            if (y + 1 < height && valid[i + width]) visit(i, i + width, 1);
        }
}

// The mean wrapped change of a phase a pixel along x and along y.
static void mean_gradient(const double *phase, const unsigned char *valid, int width, int height,
                          double *gx, double *gy) {
    double sum[2] = {0, 0}, n[2] = {0, 0};
    each_neighbour_pair(valid, width, height, [&](size_t i, size_t j, int down) {
        sum[down] += wrap(phase[j] - phase[i]), n[down]++;
    });
    *gx = n[0] > 0 ? sum[0] / n[0] : 0, *gy = n[1] > 0 ? sum[1] / n[1] : 0;
}

double fringes_across(const double *phase, const unsigned char *valid, int width, int height) {
    double gx, gy;
    mean_gradient(phase, valid, width, height, &gx, &gy);
    const double g = hypot(gx, gy);
    if (!(g > 0)) return 0;
    // The valid pixels' extent along the gradient, their outermost thousandths aside.
    std::vector<double> along;
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++)
            if (valid[(size_t)y * width + x]) along.push_back((x * gx + y * gy) / g);
    if (along.size() < 2) return 0;
    const size_t low = along.size() / 1000, high = along.size() - 1 - low;
    std::nth_element(along.begin(), along.begin() + low, along.end());
    const double first = along[low];
    std::nth_element(along.begin(), along.begin() + high, along.end());
    return g * (along[high] - first) / TWO_PI;
}

// The circular mean of a over the pixels of use.
static double circular_mean(const std::vector<double> &a, const std::vector<unsigned char> &use) {
    double c = 0, s = 0;
    for (size_t i = 0; i < a.size(); i++)
        if (use[i]) c += cos(a[i]), s += sin(a[i]);
    return atan2(s, c);
}

// A robust standard deviation of differences about 0 over the pixels of use.
static double spread_about_zero(const std::vector<double> &d, const std::vector<unsigned char> &use) {
    std::vector<double> sizes;
    for (size_t i = 0; i < d.size(); i++)
        if (use[i]) sizes.push_back(fabs(d[i]));
    if (sizes.empty()) return 0;
    std::nth_element(sizes.begin(), sizes.begin() + sizes.size() / 2, sizes.end());
    return 1.4826 * sizes[sizes.size() / 2];
}

// Beyond this difference from its prediction, a pixel's phase disagrees: six
// times the link's noise (and a tenth of a radian), at most a quarter turn.
static double disagreement_limit(double spread) { return fmin(PI / 2, 6 * spread + 0.1); }

// A link from a coarser phase to a finer one is unreliable when its noise,
// scaled by the ratio, makes more than this share of orders wrong.
static const double MOST_WRONG_ORDERS = 1e-3, MOST_DISAGREEING = 0.02;

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

// The mean of a coarser level's absolute phase over the valid pixels of a
// 5 x 5 neighbourhood: it changes slowly, so its noise averages out before it
// is scaled by the ratio to the next. (Where an edge of the scene falls within
// the neighbourhood, the check against every period catches what it spoils.)
static void smooth(const std::vector<double> &phase, const std::vector<unsigned char> &use,
                   int width, int height, std::vector<double> *out) {
    const int R = 2;
    const size_t pixels = (size_t)width * height;
    std::vector<double> across(pixels), count_across(pixels);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            double sum = 0, n = 0;
            for (int dx = -R; dx <= R; dx++) {
                const int xx = x + dx;
                if (xx < 0 || xx >= width || !use[(size_t)y * width + xx]) continue;
                sum += phase[(size_t)y * width + xx], n++;
            }
            across[(size_t)y * width + x] = sum, count_across[(size_t)y * width + x] = n;
        }
    out->resize(pixels);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            double sum = 0, n = 0;
            for (int dy = -R; dy <= R; dy++) {
                const int yy = y + dy;
                if (yy < 0 || yy >= height) continue;
                sum += across[(size_t)yy * width + x], n += count_across[(size_t)yy * width + x];
            }
            const size_t i = (size_t)y * width + x;
            (*out)[i] = n > 0 ? sum / n : phase[i];
        }
}

// Each set's phase turned to the finest one's sign (their gradients agree),
// and all to the convention: the finest phase grows to the right, or downward
// where its fringes lie along x.
static void align_signs(std::vector<level> &sets, const unsigned char *valid, int width,
                        int height) {
    const std::vector<double> &finest = sets[0].phase;
    for (size_t j = 1; j < sets.size(); j++) {
        const std::vector<double> &p = sets[j].phase;
        double agreement = 0;
        each_neighbour_pair(valid, width, height, [&](size_t a, size_t b, int) {
            agreement += wrap(p[b] - p[a]) * wrap(finest[b] - finest[a]);
        });
        if (agreement < 0)
            for (double &v : sets[j].phase) v = -v;
    }
    double gx, gy;
    mean_gradient(finest.data(), valid, width, height, &gx, &gy);
    if (fabs(gx) >= fabs(gy) ? gx < 0 : gy < 0)
        for (level &l : sets)
            for (double &v : l.phase) v = -v;
}

temporal_outcome unwrap_temporal(const double *const *phases, const unsigned char *const *masks,
                                 int count, const double *periods, int width, int height,
                                 bool steps_known, double *absolute, unsigned char *mask) {
    const size_t pixels = (size_t)width * height;
    temporal_outcome outcome = {0, 0, 0};
    // Valid where every set's phase is.
    std::vector<unsigned char> valid(pixels, 1);
    for (int k = 0; k < count; k++)
        for (size_t i = 0; i < pixels; i++)
            valid[i] = valid[i] && masks[k][i] && isfinite(phases[k][i]);
    // The sets in the order of their periods, finest first.
    std::vector<int> order(count);
    for (int k = 0; k < count; k++) order[k] = k;
    std::sort(order.begin(), order.end(), [&](int a, int b) { return periods[a] < periods[b]; });
    std::vector<level> sets(count);
    for (int j = 0; j < count; j++) {
        sets[j].period = periods[order[j]];
        sets[j].phase.assign(phases[order[j]], phases[order[j]] + pixels);
        for (size_t i = 0; i < pixels; i++)
            if (!valid[i]) sets[j].phase[i] = 0;
    }
    if (!steps_known) align_signs(sets, valid.data(), width, height);
    const std::vector<level> aligned = sets;  // for the check against every period
    std::vector<level> chain = chain_of(std::move(sets), pixels);
    // The coarsest phase of the chain, under one fringe across the scene, is
    // absolute as it is (steps given) or centred on its circular mean.
    const level &coarsest = chain.back();
    if (fringes_across(coarsest.phase.data(), valid.data(), width, height) > 1) {
        outcome.coarsest_turns_over = 1;
        return outcome;
    }
    std::vector<double> known(pixels), scratch(pixels);
    const double centre = steps_known ? PI : circular_mean(coarsest.phase, valid);
    for (size_t i = 0; i < pixels; i++)
        known[i] = steps_known ? turn(coarsest.phase[i]) : PI + wrap(coarsest.phase[i] - centre);
    // Down the chain: each finer phase's constant from its agreement with the
    // scaled coarser one, then its orders.
    std::vector<unsigned char> agree(valid);
    for (int j = (int)chain.size() - 2; j >= 0; j--) {
        const level &finer = chain[j];
        const double ratio = chain[j + 1].period / finer.period;
        smooth(known, agree, width, height, &scratch);  // the coarser phase's noise, scaled,
        known.swap(scratch);                            // would pick wrong orders
        for (size_t i = 0; i < pixels; i++) scratch[i] = finer.phase[i] - known[i] * ratio;
        const double constant = steps_known ? 0 : circular_mean(scratch, agree);
        for (size_t i = 0; i < pixels; i++) {
            const double predicted = known[i] * ratio, p = finer.phase[i] - constant;
            known[i] = p + TWO_PI * round((predicted - p) / TWO_PI);
            scratch[i] = predicted - known[i];
        }
        const double spread = spread_about_zero(scratch, agree), limit = disagreement_limit(spread);
        if (spread > 0 && erfc(PI / (spread * sqrt(2.0))) > MOST_WRONG_ORDERS)
            outcome.orders_unreliable = 1;
        for (size_t i = 0; i < pixels; i++)
            if (fabs(scratch[i]) > limit) agree[i] = 0;
    }
    // Every period checked against the finest's absolute phase: each pixel's
    // order is taken where all of them agree on it; a nearby order (one of a
    // link's periods away) is taken where all agree on that instead.
    const double finest_period = chain[0].period;
    std::vector<double> constants(count, 0), spreads(count, 1), limits(count, PI / 2);
    for (int k = 1; k < count; k++) {
        const double ratio = finest_period / aligned[k].period;
        for (size_t i = 0; i < pixels; i++) scratch[i] = aligned[k].phase[i] - known[i] * ratio;
        constants[k] = steps_known ? 0 : circular_mean(scratch, agree);
        for (size_t i = 0; i < pixels; i++) scratch[i] = wrap(scratch[i] - constants[k]);
        spreads[k] = fmax(spread_about_zero(scratch, agree), 1e-3);
        limits[k] = disagreement_limit(spreads[k]);
    }
    // A candidate order's misfit: every period's absolute phase at its order
    // nearest the candidate's, the coordinate that fits them all best (each
    // weighted by its noise), and their spread about it in units of the
    // noise; whether each lies within its limit of the candidate's.
    spreads[0] = 0;
    for (int k = 1; k < count; k++) spreads[0] += spreads[k] / (count - 1);  // the finest's alike
    const auto misfit = [&](size_t i, double candidate, bool *within) {
        double coordinate[PHAZE_TEMPORAL_SETS], weight[PHAZE_TEMPORAL_SETS], sum = 0, weights = 0;
        *within = true;
        for (int k = 0; k < count; k++) {
            const double ratio = finest_period / aligned[k].period,
                         r = k == 0 ? 0
                                    : wrap(aligned[k].phase[i] - constants[k] - candidate * ratio);
            *within = *within && (k == 0 || fabs(r) <= limits[k]);
            // In finest-period radians: the candidate's coordinate plus this
            // period's own difference from it.
            coordinate[k] = candidate + r / ratio;
            weight[k] = (ratio / spreads[k]) * (ratio / spreads[k]);
            sum += weight[k] * coordinate[k], weights += weight[k];
        }
        const double fit = sum / weights;
        double misfit = 0;
        for (int k = 0; k < count; k++)
            misfit += weight[k] * (coordinate[k] - fit) * (coordinate[k] - fit);
        return misfit;
    };
    // The orders near the chain's: up to one of each level's periods either
    // way, each level alone, or together where there are three levels or
    // fewer. (The coarsest level's period is the whole range the phases
    // tell: a shift by it fits as well as the order it leaves.)
    std::vector<double> shifts(1, 0.0);
    const int levels = (int)chain.size() - 1;
    for (int l = 0; l < levels; l++) {
        const double step = TWO_PI * chain[l].period / finest_period;
        const size_t before = shifts.size();
        for (size_t c = 0; c < (levels <= 3 ? before : 1); c++)
            shifts.push_back(shifts[c] - step), shifts.push_back(shifts[c] + step);
    }
    long long disagreeing = 0, valid_count = 0;
    for (size_t i = 0; i < pixels; i++) {
        if (!valid[i]) continue;
        valid_count++;
        double best = INFINITY, chosen = known[i];
        bool chosen_within = false;
        for (double shift : shifts) {
            bool within;
            const double m = misfit(i, known[i] + shift, &within);
            if (m < best) best = m, chosen = known[i] + shift, chosen_within = within;
        }
        known[i] = chosen, agree[i] = chosen_within;
        disagreeing += !chosen_within;
    }
    // A thin line of pixels whose phases err alike (a ripple left where a
    // fringe has one value) can fit a nearby order better than its own: where
    // most of the ring of pixels two away agree on other whole turns, and
    // every period agrees with those too, they are taken.
    std::vector<double> chosen(known);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            const size_t i = (size_t)y * width + x;
            if (!valid[i]) continue;
            int votes[8], voters = 0;
            for (int dy = -2; dy <= 2; dy += 2)
                for (int dx = -2; dx <= 2; dx += 2) {
                    const int xx = x + dx, yy = y + dy;
                    if ((dx == 0 && dy == 0) || xx < 0 || yy < 0 || xx >= width || yy >= height)
                        continue;
                    const size_t n = (size_t)yy * width + xx;
                    if (valid[n] && agree[n])
                        votes[voters++] = (int)lround((chosen[n] - chosen[i]) / TWO_PI);
                }
            if (voters < 5) continue;
            int turns = 0, for_it = 0;  // the vote most of the ring casts, if any
            for (int v = 0; v < voters; v++) {
                int alike = 0;
                for (int w = 0; w < voters; w++) alike += votes[w] == votes[v];
                if (alike > for_it) turns = votes[v], for_it = alike;
            }
            if (turns == 0 || 2 * for_it <= voters) continue;
            bool within;
            misfit(i, chosen[i] + TWO_PI * turns, &within);
            if (within) known[i] = chosen[i] + TWO_PI * turns, disagreeing -= !agree[i], agree[i] = 1;
        }
    if (valid_count > 0 && disagreeing > MOST_DISAGREEING * valid_count) outcome.orders_unreliable = 1;
    // Whether the periods' noise, as their final residuals show it, tells each
    // nearby order from the one chosen: the chance that noise makes it fit
    // better, where the truth fits exactly.
    for (int k = 1; k < count; k++) {
        const double ratio = finest_period / aligned[k].period;
        for (size_t i = 0; i < pixels; i++)
            scratch[i] = wrap(aligned[k].phase[i] - constants[k] - known[i] * ratio);
        spreads[k] = fmax(spread_about_zero(scratch, agree), 1e-3);
    }
    for (double shift : shifts) {
        if (shift == 0) continue;
        double apart = 0;
        for (int k = 1; k < count; k++) {
            const double offset = wrap(shift * finest_period / aligned[k].period) / spreads[k];
            apart += offset * offset;
        }
        if (0.5 * erfc(sqrt(apart) / (2 * sqrt(2.0))) > MOST_WRONG_ORDERS) outcome.orders_unreliable = 1;
    }
    for (size_t i = 0; i < pixels; i++) {
        const bool ok = valid[i] && agree[i] && isfinite(known[i]);
        absolute[i] = ok ? known[i] : NAN;
        if (mask != NULL) mask[i] = ok;
        outcome.masked += !ok;
    }
    return outcome;
}

}  // namespace phaze_internal
