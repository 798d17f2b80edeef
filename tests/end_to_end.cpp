#include "tests/end_to_end.h"

#include <math.h>

double spread_around(const std::vector<double> &phase, const std::vector<double> &truth,
                     double sign, const std::vector<char> &keep) {
    double sum_sin = 0, sum_cos = 0, worst = 0;
    for (size_t i = 0; i < phase.size(); i++)
        if (keep.empty() || keep[i]) {
            sum_sin += sin(phase[i] - sign * truth[i]);
            sum_cos += cos(phase[i] - sign * truth[i]);
        }
    const double offset = atan2(sum_sin, sum_cos);
    for (size_t i = 0; i < phase.size(); i++)
        if (keep.empty() || keep[i]) {
            const double d = fabs(remainder(phase[i] - sign * truth[i] - offset, 2 * PI));
            worst = isnan(d) ? INFINITY : fmax(worst, d);
        }
    return worst;
}

double distance_from_classical(const std::vector<double> &phase,
                               const std::vector<unsigned char> frames[3]) {
    double worst = 0;
    for (size_t i = 0; i < phase.size(); i++) {
        const double I1 = frames[0][i], I2 = frames[1][i], I3 = frames[2][i];
        const double classical = atan2(sqrt(3.0) * (I3 - I1), 2 * I2 - I1 - I3) + PI;
        const double d = fabs(remainder(phase[i] - classical, 2 * PI));
        worst = isnan(d) ? INFINITY : fmax(worst, d);
    }
    return worst;
}

std::vector<double> EndToEnd::make(const fringe_options &options) {
    std::vector<double> truth;
    EXPECT_EQ(make_fringe_set(folder.c_str(), options, &truth), 0);
    return truth;
}

void EndToEnd::make_from_samples(int W, int H, const std::vector<unsigned char> frames[3]) {
    ASSERT_EQ(
        write_frame_set(folder.c_str(), W, H, frames[0].data(), frames[1].data(), frames[2].data()),
        0);
}

// With an environment, the driver runs over the fake runtime that it configures.
run_result EndToEnd::run_phaze(const std::string &environment) {
    return run_in(folder, environment.empty() ? PHAZE_CPU : environment + " " + PHAZE_FAULTY);
}

std::vector<double> EndToEnd::run_and_read(size_t pixels) {
    const run_result r = run_phaze();
    EXPECT_EQ(r.status, 0) << r.output;
    std::vector<double> phase = read_phase_text(folder + "/phaze_cuda.txt");
    EXPECT_EQ(phase.size(), pixels);
    return phase;
}

std::string EndToEnd::results() {
    return read_whole_file((folder + "/phaze_cuda.bmp").c_str()) + "|" +
           read_whole_file((folder + "/phaze_cuda.txt").c_str());
}
