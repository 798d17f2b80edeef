// accuracy_bench: the library's phase and steps on generated frames with known
// ones, beside the classical equal-step formula on the same frames.
#include <math.h>
#include <stdio.h>

#include <vector>

#include "phaze/phaze.h"
#include "shared/frameset.h"

static const double TWO_PI = 6.283185307179586;

// Rms distance of phase from sign * truth + c, c their circular mean.
static double rms_error(const std::vector<double> &phase, const std::vector<double> &truth,
                        double sign) {
    double s = 0, c = 0, sum = 0;
    for (size_t i = 0; i < phase.size(); i++)
        s += sin(phase[i] - sign * truth[i]), c += cos(phase[i] - sign * truth[i]);
    const double offset = atan2(s, c);
    for (size_t i = 0; i < phase.size(); i++) {
        const double d = remainder(phase[i] - sign * truth[i] - offset, TWO_PI);
        sum += d * d;
    }
    return sqrt(sum / phase.size());
}

int main() {
    struct frame_kind {
        const char *name;
        bool sixteen;
        double background, contrast, noise;
    } kinds[] = {{"8-bit, noise 1 level", false, 128, 100, 1},
                 {"16-bit, A 30000, B 20000, noise 20", true, 30000, 20000, 20}};
    const double steps[3] = {0, 1.7, 3.5};
    printf("steps 0, 1.7, 3.5 rad; 1024 x 768 tilted fringes, period 23 px\n\n");
    printf("| frames | phaze rms (rad) | worst step error (rad) | classical rms (rad) |\n");
    printf("|---|---|---|---|\n");
    for (const frame_kind &k : kinds) {
        fringe_options o;
        o.width = 1024, o.height = 768, o.period = 23, o.angle = 0.4;
        o.background = k.background, o.contrast = k.contrast, o.noise = k.noise;
        for (int j = 0; j < 3; j++) o.steps[j] = steps[j];
        const std::vector<double> truth = fringe_phase(o);
        std::vector<unsigned char> bytes[3];
        std::vector<uint16_t> words[3];
        if (k.sixteen)
            fringe_samples_16(o, truth, words);
        else
            fringe_samples(o, truth, bytes);
        const void *frames[3];
        for (int j = 0; j < 3; j++)
            frames[j] = k.sixteen ? (const void *)words[j].data() : bytes[j].data();
        const phaze_frames f = {frames,  3,        k.sixteen ? PHAZE_UINT16 : PHAZE_UINT8,
                                o.width, o.height, 0};
        std::vector<double> phase(truth.size()), classical(truth.size());
        phaze_report report;
        char message[256];
        if (phaze_analyse(&f, NULL, phase.data(), NULL, NULL, &report, message, sizeof message) !=
            PHAZE_OK) {
            fprintf(stderr, "accuracy_bench: %s\n", message);
            return 1;
        }
        double worst_step = 0;
        for (int j = 0; j < 3; j++)
            worst_step = fmax(worst_step, fabs(remainder(report.steps[j] + steps[j], TWO_PI)));
        for (size_t i = 0; i < truth.size(); i++) {
            const double I1 = k.sixteen ? words[0][i] : bytes[0][i],
                         I2 = k.sixteen ? words[1][i] : bytes[1][i],
                         I3 = k.sixteen ? words[2][i] : bytes[2][i];
            classical[i] = atan2(sqrt(3.0) * (I3 - I1), 2 * I2 - I1 - I3) + TWO_PI / 2;
        }
        printf("| %s | %.4f | %.4f | %.4f |\n", k.name, rms_error(phase, truth, -1), worst_step,
               rms_error(classical, truth, -1));
    }
    return 0;
}
