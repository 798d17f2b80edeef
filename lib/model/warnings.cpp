#include "model/warnings.h"

#include <math.h>

namespace phaze_internal {

const char *warning_text(unsigned warning) {
    switch (warning) {
        case PHAZE_WARN_NO_MODULATION: return "no pixel has modulation: every pixel is masked";
        case PHAZE_WARN_NO_FINITE_SAMPLES:
            return "no pixel has finite samples: every pixel is masked";
        case PHAZE_WARN_ALL_MASKED: return "every pixel is masked";
        case PHAZE_WARN_MOSTLY_MASKED: return "more than half of the pixels are masked";
        case PHAZE_WARN_STEPS_CLOSE:
            return "the phase steps lie close together: the phase is sensitive to noise";
        case PHAZE_WARN_MODEL_MISFIT:
            return "the frames do not fit the fringe model (the residual is large beside the "
                   "modulation): the phase and the steps are unreliable; is a frame dropped, "
                   "from another set, or clipped?";
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

// Three frames: two steps within 0.2 rad. More: all steps within a narrow arc
// (the mean of their unit vectors longer than 0.95).
static int steps_close(const phaze_report &r) {
    const int n = r.frame_count;
    if (!isfinite(r.steps[1])) return 0;
    if (n == 3) {
        for (int j = 0; j < 3; j++)
            if (fabs(remainder(r.steps[j] - r.steps[(j + 1) % 3], 6.283185307179586)) < 0.2)
                return 1;
        return 0;
    }
    double c = 0, s = 0;
    for (int k = 0; k < n; k++) c += cos(r.steps[k]), s += sin(r.steps[k]);
    return sqrt(c * c + s * s) / n > 0.95;
}

int model_misfit(const phaze_report &r) {
    const double share = r.frame_count == 3 ? MAX_RESIDUAL_SHARE : MAX_RESIDUAL_SHARE_MANY;
    return r.residual_rms > share * r.modulation;
}

void warn_of_doubtful_results(const double *phase, int width, int height, phaze_report *report) {
    if (report->masked_fraction > 0.5 && report->masked_fraction < 1)
        report->warnings |= PHAZE_WARN_MOSTLY_MASKED;
    if (report->masked_fraction >= 1 && report->warnings == 0)
        report->warnings |= PHAZE_WARN_ALL_MASKED;
    if (steps_close(*report)) report->warnings |= PHAZE_WARN_STEPS_CLOSE;
    if (model_misfit(*report)) report->warnings |= PHAZE_WARN_MODEL_MISFIT;
    if (phase_order(phase, width, height) < MIN_PHASE_ORDER)
        report->warnings |= PHAZE_WARN_NO_SPATIAL_ORDER;
}

}  // namespace phaze_internal
