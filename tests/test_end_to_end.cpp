// phaze-cpu run as a process in a scratch folder on generated frames.
#include <gtest/gtest.h>
#include <math.h>

#include <regex>
#include <string>
#include <vector>

#include "bench/plain_way.h"
#include "tests/end_to_end.h"

TEST_F(EndToEnd, ConsoleOfACompleteRun) {
    fringe_options options;
    options.width = 64, options.height = 48;
    make(options);
    const run_result r = run_phaze();
    EXPECT_EQ(r.status, 0);
    const std::string numbers_hidden = std::regex_replace(r.output, std::regex("[0-9]+\\.[0-9]{5}"), "T");
    EXPECT_EQ(numbers_hidden,
              "Device 0 is the host processor: kernels run on " +
                  std::regex_replace(r.output, std::regex("(?:.|\n)*kernels run on ([0-9]+)(?:.|\n)*"), "$1") +
                  " threads.\n"
                  "\nYou device is supported. Press any key to start...\n"
                  "memory allocation... - done!\n"
                  "Phaze calculation has started:\n"
                  "\tData reading: - done!\n"
                  "\tCalculations on CUDA device: - done!\n"
                  "\tWriting result to output files: - done!\n"
                  "\nPhaze calculations is done.\n"
                  "Time on CUDA wasted(algorithm only): T seconds.\n"
                  "Overall time wasted: T seconds.\n"
                  "memory cleanup: - done!\nPress any key to exit...\n");
    EXPECT_EQ(read_file(folder + "/phaze_cuda.bmp").size(), 56u + 3 * 64 * 48);
}

// The projection corrects whatever anisotropy the sampled moments have, so on
// ordinary fringes the classical value holds to the accuracy of 8-bit samples.
TEST_F(EndToEnd, EqualStepsGiveTheClassicalThreeStepPhase) {
    fringe_options options;
    options.width = 256, options.height = 64;
    options.angle = 0, options.period = 32;
    std::vector<double> truth = make(options);
    std::vector<unsigned char> frames[3];
    fringe_samples(options, truth, frames);
    const std::vector<double> phase = run_and_read(truth.size());
    ASSERT_EQ(phase.size(), truth.size());
    EXPECT_LT(distance_from_classical(phase, frames), 4e-3);
}

TEST_F(EndToEnd, UnequalStepsGiveMinusPhiPlusAConstant) {
    fringe_options options;
    options.width = 256, options.height = 64;
    options.angle = 0, options.period = 32;  // whole periods along every row
    options.contrast = 120;
    options.steps[0] = 0, options.steps[1] = 1.4, options.steps[2] = 2.9;
    const std::vector<double> truth = make(options);
    const std::vector<double> phase = run_and_read(truth.size());
    EXPECT_LT(spread_around(phase, truth, -1), 6e-3);
    EXPECT_GT(spread_around(phase, truth, +1), 1);  // and not the other sign
}

TEST_F(EndToEnd, DescendingStepsGivePlusPhiPlusAConstant) {
    fringe_options options;
    options.width = 256, options.height = 64;
    options.angle = 0, options.period = 32;
    options.contrast = 120;
    options.steps[0] = 2.5, options.steps[1] = 1.2, options.steps[2] = 0;
    const std::vector<double> truth = make(options);
    const std::vector<double> phase = run_and_read(truth.size());
    EXPECT_LT(spread_around(phase, truth, +1), 1e-2);
    EXPECT_GT(spread_around(phase, truth, -1), 1);
}

// Parallel loops and once-per-launch angles must not change a single bit.
TEST_F(EndToEnd, ResultFilesEqualAPlainSerialEvaluation) {
    const char *patterns[] = {"tilt", "bump", "random"};
    for (const char *pattern : patterns) {
        fringe_options options;
        options.width = 200, options.height = 150;
        options.pattern = pattern;
        options.noise = 1.5;
        options.steps[1] = 1.9;
        const std::vector<double> truth = make(options);
        std::vector<unsigned char> frames[3];
        fringe_samples(options, truth, frames);
        const int SIZE = options.width * options.height;
        std::vector<double> X(frames[0].begin(), frames[0].end()), Y(frames[1].begin(), frames[1].end()),
            Z(frames[2].begin(), frames[2].end()), phase(SIZE);
        plain_phase(X.data(), Y.data(), Z.data(), phase.data(), SIZE);
        std::string text, picture;
        char line[64];
        for (double value : phase) {
            text.append(line, (size_t)snprintf(line, sizeof line, "%lf\n", value));
            const double level = value / 6.283185307179586 * 255.0;
            const unsigned char byte = level == level ? (unsigned char)((long long)level & 0xff) : 0;
            picture.append(3, (char)byte);
        }
        ASSERT_EQ(run_phaze().status, 0);
        EXPECT_TRUE(read_file(folder + "/phaze_cuda.txt") == text) << pattern;
        EXPECT_TRUE(read_file(folder + "/phaze_cuda.bmp").substr(56) == picture) << pattern;
    }
}

TEST_F(EndToEnd, MissingSecondFrameEndsTheRunWithoutResults) {
    fringe_options options;
    options.width = 32, options.height = 32;
    make(options);
    ASSERT_EQ(remove((folder + "/I2.bmp").c_str()), 0);
    const run_result r = run_phaze();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("\tData reading:Can't open I2.bmp file!"), std::string::npos) << r.output;
    EXPECT_FALSE(file_exists(folder + "/phaze_cuda.bmp"));
    EXPECT_FALSE(file_exists(folder + "/phaze_cuda.txt"));
}
