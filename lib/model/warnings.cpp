#include "model/warnings.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

void add_warning(phaze_report *report, const char *text) {
    const size_t used = strlen(report->warnings);
    snprintf(report->warnings + used, sizeof report->warnings - used, "%s%s", used ? "\n" : "",
             text);
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

void warn_of_doubtful_results(const double *phase, int width, int height, phaze_report *report) {
    if (report->masked_fraction > 0.5 && report->masked_fraction < 1)
        add_warning(report, "more than half of the pixels are masked");
    if (report->masked_fraction >= 1 && report->warnings[0] == '\0')
        add_warning(report, "every pixel is masked");
    for (int j = 0; j < 3 && isfinite(report->steps[1]); j++) {
        const double gap =
            fabs(remainder(report->steps[j] - report->steps[(j + 1) % 3], 6.283185307179586));
        if (gap < 0.2) {
            add_warning(
                report,
                "two phase steps are less than 0.2 rad apart: the phase is sensitive to noise");
            break;
        }
    }
    if (report->residual_rms > MAX_RESIDUAL_SHARE * report->modulation)
        add_warning(report,
                    "the frames do not fit the fringe model (the residual is over 7.5% of the "
                    "modulation): the phase and the steps are unreliable; is a frame dropped, "
                    "from another set, or clipped?");
    if (phase_order(phase, width, height) < MIN_PHASE_ORDER)
        add_warning(report,
                    "the phase has no spatial order: the frames look like noise, not fringes");
}
