#include "model/warnings.h"

#include <math.h>

#include <vector>

#include "model/local_shape.h"
#include "model/misfit.h"
#include "unwrap/temporal.h"

namespace phaze_internal {

const char *warning_text(unsigned warning) {
    switch (warning) {
        case PHAZE_WARN_NO_MODULATION: return "no pixel has modulation: every pixel is masked";
        case PHAZE_WARN_NO_FINITE_SAMPLES:
            return "no pixel has finite samples: every pixel is masked";
        case PHAZE_WARN_ALL_MASKED: return "every pixel is masked";
        case PHAZE_WARN_MOSTLY_MASKED: return "more than half of the pixels are masked";
        case PHAZE_WARN_STEPS_CLOSE:
            return "the phase steps do not spread round the circle (they lie close together, or "
                   "in two groups half a turn apart): the phase is sensitive to noise, or "
                   "undetermined";
        case PHAZE_WARN_MODEL_MISFIT:
            return "the frames do not fit the fringe model (what it leaves is large beside the "
                   "modulation, or a frame carries weaker fringes than the others): the phase "
                   "and the steps are unreliable; is a frame dropped, black, from another set, "
                   "or clipped?";
        case PHAZE_WARN_STEPS_DIFFER:
            return "the frames' steps differ from the steps given: is a frame out of place, are the "
                   "steps in another unit, or is the phase shifter miscalibrated?";
        case PHAZE_WARN_ORDERS_UNRELIABLE:
            return "the fringe orders are unreliable: a coarser period's phase is too rough for its "
                   "ratio to the next, or the periods disagree at many pixels; add a period between "
                   "them, or frames to the coarse sets";
        case PHAZE_WARN_FEW_FRINGES:
            return "four frames tell their steps only through phases spread evenly round the "
                   "circle, and these show too few fringes for that: the steps and the phase are "
                   "unreliable; give the steps, or take five frames or more";
        case PHAZE_WARN_PATTERN_VARIES:
            return "the frames do not show one fringe pattern across the scene (their steps "
                   "seem to change from place to place): the phase is unreliable; is a frame "
                   "moved, flipped, or from another scene or fringe period?";
        case PHAZE_WARN_NO_SPATIAL_ORDER:
            return "the phase has no spatial order: the frames look like noise, not fringes";
        case PHAZE_WARN_RIPPLE_LEFT:
            return "the phase carries a ripple from non-sinusoidal fringes that the data could not "
                   "confirm well enough to remove (too few fringes?)";
        default: return "";
    }
}

double phase_order(const double *phase, int width, int height) {
    const int rows = 64, step = height > rows ? height / rows : 1;
    double sum = 0;
    long long triples = 0;
    for (int y = 0; y < height; y += step) {
        const double *p = phase + (size_t)y * width;
        for (int x = 0; x + 2 < width; x++)
            if (!isnan(p[x]) && !isnan(p[x + 1]) && !isnan(p[x + 2]))
                sum += cos(p[x] - 2 * p[x + 1] + p[x + 2]), triples++;
    }
    return triples >= 100 ? sum / (double)triples : NAN;
}

double step_spread(const phaze_report &r) {
    const int n = r.frame_count;
    double mc = 0, ms = 0;
    for (int k = 0; k < n; k++) mc += cos(r.steps[k]) / n, ms += sin(r.steps[k]) / n;
    double cc = 0, ss = 0, cs = 0;
    for (int k = 0; k < n; k++) {
        const double c = cos(r.steps[k]) - mc, s = sin(r.steps[k]) - ms;
        cc += c * c, ss += s * s, cs += c * s;
    }
    const double smaller = (cc + ss) / 2 - sqrt((cc - ss) * (cc - ss) / 4 + cs * cs);
    return smaller / (n / 2.0);
}

unsigned judge_fit(const sample_frames &f, const phaze_report &r, const quality_limits &limits) {
    if (!(r.masked_fraction < 1)) return 0;
    unsigned bits = 0;
    if (f.count == 3) {
        if (r.residual_rms > MAX_RESIDUAL_SHARE * r.modulation) bits |= PHAZE_WARN_MODEL_MISFIT;
    } else {
        const misfit_measure m = measure_misfit(f, r, limits);
        if (m.unexplained > MAX_UNEXPLAINED_SHARE || m.weakest < MIN_FRAME_AMPLITUDE)
            bits |= PHAZE_WARN_MODEL_MISFIT;
    }
    if (shape_variation(f, r, limits) > MAX_SHAPE_VARIATION) bits |= PHAZE_WARN_PATTERN_VARIES;
    return bits;
}

void warn_of_doubtful_results(const double *phase, int width, int height, phaze_report *report) {
    if (report->masked_fraction > 0.5 && report->masked_fraction < 1)
        report->warnings |= PHAZE_WARN_MOSTLY_MASKED;
    if (report->masked_fraction >= 1 && report->warnings == 0)
        report->warnings |= PHAZE_WARN_ALL_MASKED;
    if (isfinite(report->steps[1]) && step_spread(*report) < MIN_STEP_SPREAD)
        report->warnings |= PHAZE_WARN_STEPS_CLOSE;
    if (phase_order(phase, width, height) < MIN_PHASE_ORDER)
        report->warnings |= PHAZE_WARN_NO_SPATIAL_ORDER;
    if (report->frame_count == 4 && !report->steps_given && report->masked_fraction < 1) {
        std::vector<unsigned char> valid((size_t)width * height);
        for (size_t i = 0; i < valid.size(); i++) valid[i] = !isnan(phase[i]);
        if (fringes_across(phase, valid.data(), width, height) < MIN_FRINGES_FOR_FOUR_FRAMES)
            report->warnings |= PHAZE_WARN_FEW_FRINGES;
    }
}

}  // namespace phaze_internal
