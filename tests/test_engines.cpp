// The CPU engine's two passes against the kernel stages (with the host
// launchers): the same phase, bit for bit, whatever the sample type and stride.
#include <gtest/gtest.h>
#include <string.h>

#include "engines/cpu_engine.h"
#include "engines/stage_engine.h"
#include "tests/doubles/fake_runtime.h"
#include "shared/frameset.h"

using namespace phaze_internal;

// The samples of frame k at row y, column x, in a layout with padded rows.
template <typename Sample>
static std::vector<Sample> padded(const std::vector<unsigned char> &frame, int W, int H, int stride,
                                  double scale) {
    std::vector<Sample> out((size_t)stride * H, (Sample)77);
    for (int y = 0; y < H; y++)
        for (int x = 0; x < W; x++)
            out[(size_t)y * stride + x] = (Sample)(frame[(size_t)y * W + x] * scale);
    return out;
}

static std::vector<double> stage_phase(const std::vector<unsigned char> frames[3], double scale,
                                       int SIZE) {
    fake_runtime_configure("", "");
    std::vector<double> host[4], device[4];
    for (int k = 0; k < 4; k++) host[k].resize(SIZE), device[k].resize(SIZE);
    for (int k = 0; k < 3; k++)
        for (int i = 0; i < SIZE; i++) host[k][i] = frames[k][i] * scale;
    const stage_buffers b = {host[0].data(),   host[1].data(),   host[2].data(),
                             host[3].data(),   device[0].data(), device[1].data(),
                             device[2].data(), device[3].data()};
    EXPECT_EQ(stage_engine_phase(b, SIZE), STAGES_DONE);
    return host[3];
}

template <typename Sample>
static std::vector<double> engine_phase(const std::vector<unsigned char> frames[3], int W, int H,
                                        sample_type type, double scale) {
    const int stride = W + 3;
    std::vector<Sample> samples[3];
    for (int k = 0; k < 3; k++) samples[k] = padded<Sample>(frames[k], W, H, stride, scale);
    const sample_frames f = {{samples[0].data(), samples[1].data(), samples[2].data()},
                             type,
                             W,
                             H,
                             stride * sizeof(Sample)};
    shared_numbers shared;
    EXPECT_EQ(find_shared_numbers(f, &shared), 0);
    std::vector<double> phase((size_t)W * H);
    // In uneven pieces, as the writer's rounds ask for them.
    for (long long first = 0; first < (long long)phase.size(); first += 1000)
        EXPECT_EQ(phase_of_pixels(f, shared, first, std::min<long long>(1000, phase.size() - first),
                                  &phase[first]),
                  0);
    return phase;
}

TEST(Engines, GiveTheStagesPhaseBitForBit) {
    struct frame_set {
        const char *name, *pattern;
        int border;
        double step1, step2, period;
    } sets[] = {
        {"unequal steps", "tilt", 0, 1.7, 3.5, 29},
        {"uniform border", "bump", 4, 2.0943951023931957, 4.1887902047863905, 32},
        {"exactly circular moments", "tilt", 0, 2.0943951023931957, 4.1887902047863905, 48},
        {"random phase", "random", 0, 1.2, 2.9, 32},
    };
    for (const frame_set &set : sets) {
        fringe_options options;
        options.width = 192, options.height = 70, options.pattern = set.pattern,
        options.border = set.border;
        options.steps[1] = set.step1, options.steps[2] = set.step2, options.period = set.period;
        if (set.period == 48)
            options.angle = 0, options.noise = 0;
        else
            options.noise = 1.5;
        std::vector<unsigned char> frames[3];
        fringe_samples(options, fringe_phase(options), frames);
        const int W = options.width, H = options.height, SIZE = W * H;
        const std::vector<double> stages = stage_phase(frames, 1, SIZE);
        const std::vector<double> bytes = engine_phase<uint8_t>(frames, W, H, SAMPLES_U8, 1);
        EXPECT_EQ(memcmp(stages.data(), bytes.data(), sizeof(double) * SIZE), 0) << set.name;
        // Wider samples: the same values scaled exactly, through the stages and the engine.
        EXPECT_TRUE(stage_phase(frames, 256, SIZE) ==
                    engine_phase<uint16_t>(frames, W, H, SAMPLES_U16, 256))
            << set.name;
        EXPECT_TRUE(stage_phase(frames, 0.25, SIZE) ==
                    engine_phase<float>(frames, W, H, SAMPLES_F32, 0.25))
            << set.name;
    }
}
