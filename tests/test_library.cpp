// The library on generated frames with a known phase and known steps, its
// refusals, and its phase against the plain serial method.
#include <gtest/gtest.h>
#include <math.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/plain_way.h"
#include "phaze/phaze.h"
#include "shared/frameset.h"

static const double TWO_PI = 6.283185307179586;

// Rms distance of phase from -truth + c over the valid pixels, c their circular mean.
static double rms_error(const std::vector<double> &phase, const std::vector<double> &truth,
                        const std::vector<unsigned char> &mask) {
    double s = 0, c = 0, sum = 0, n = 0;
    for (size_t i = 0; i < phase.size(); i++)
        if (mask[i]) s += sin(phase[i] + truth[i]), c += cos(phase[i] + truth[i]);
    const double offset = atan2(s, c);
    for (size_t i = 0; i < phase.size(); i++)
        if (mask[i]) {
            const double d = remainder(phase[i] + truth[i] - offset, TWO_PI);
            sum += d * d, n += 1;
        }
    return sqrt(sum / n);
}

struct analysed {
    phaze_status status;
    std::vector<double> phase;
    std::vector<float> modulation;
    std::vector<unsigned char> mask;
    phaze_report report;
    std::string message;
};

static analysed analyse(const void *const frames[], int type, int W, int H,
                        const phaze_options *options = NULL, size_t stride = 0, int count = 3) {
    analysed a;
    a.phase.resize((size_t)W * H), a.modulation.resize(a.phase.size()),
        a.mask.resize(a.phase.size());
    const phaze_frames f = {frames, count, type, W, H, stride};
    char message[256] = "";
    a.status = phaze_analyse(&f, options, a.phase.data(), a.modulation.data(), a.mask.data(),
                             &a.report, message, sizeof message);
    a.message = message;
    return a;
}

TEST(Library, KnownPhaseStepsModulationAndMask) {
    const double steps[3] = {0, 1.7, 3.5};
    struct kind {
        phaze_sample_type type;
        double background, contrast, noise, max_rms;
    } kinds[] = {{PHAZE_UINT8, 128, 100, 1, 0.02},
                 {PHAZE_UINT16, 30000, 20000, 20, 0.002},
                 {PHAZE_FLOAT32, 0.5, 0.3, 0.0003, 0.002}};
    for (const kind &k : kinds) {
        fringe_options o;
        o.width = 640, o.height = 480, o.angle = 0.4, o.period = 23, o.noise = k.noise;
        o.background = k.background, o.contrast = k.contrast;
        for (int j = 0; j < 3; j++) o.steps[j] = steps[j];
        const std::vector<double> truth = fringe_phase(o);
        std::vector<double> values[3];
        fringe_values(o, truth, values);
        // A small saturated patch (one frame at full scale) and a patch without fringes.
        const double top = k.type == PHAZE_UINT8 ? 255 : k.type == PHAZE_UINT16 ? 65535 : 1;
        std::vector<unsigned char> expected(truth.size(), 1);
        for (int y = 20; y < 30; y++)
            for (int x = 30; x < 40; x++)
                values[1][y * o.width + x] = top, expected[y * o.width + x] = 0;
        for (int y = 120; y < 140; y++)
            for (int x = 30; x < 60; x++) {
                const size_t flat = y * o.width + x;
                values[0][flat] = values[1][flat] = values[2][flat] = k.background,
                expected[flat] = 0;
            }
        std::vector<unsigned char> u8[3];
        std::vector<uint16_t> u16[3];
        std::vector<float> f32[3];
        const void *frames[3];
        for (int j = 0; j < 3; j++) {
            for (double v : values[j]) {
                const double level = fmin(fmax(floor(v + 0.5), 0), top);
                u8[j].push_back((unsigned char)level), u16[j].push_back((uint16_t)level),
                    f32[j].push_back((float)v);
            }
            frames[j] = k.type == PHAZE_UINT8    ? (const void *)u8[j].data()
                        : k.type == PHAZE_UINT16 ? (const void *)u16[j].data()
                                                 : (const void *)f32[j].data();
        }
        phaze_options options;
        phaze_default_options(&options);
        if (k.type == PHAZE_FLOAT32) options.saturation = top;
        const analysed a = analyse(frames, k.type, o.width, o.height, &options);
        ASSERT_EQ(a.status, PHAZE_OK) << a.message;
        EXPECT_TRUE(a.mask == expected) << "masked exactly the two patches, type " << k.type;
        EXPECT_LT(rms_error(a.phase, truth, a.mask), k.max_rms) << k.type;
        // Ascending steps give -phi, so the steps found are the true ones negated.
        for (int j = 0; j < 3; j++)
            EXPECT_LT(fabs(remainder(a.report.steps[j] + steps[j], TWO_PI)), 0.01)
                << k.type << " step " << j;
        EXPECT_NEAR(a.report.modulation, k.contrast, 0.02 * k.contrast) << k.type;
        EXPECT_NEAR(a.report.background, k.background, 0.02 * k.contrast) << k.type;
        for (size_t i = 0; i < a.phase.size(); i++)
            ASSERT_EQ(isnan(a.phase[i]), !a.mask[i]) << "NaN exactly where masked, pixel " << i;
    }
}

// The library's atan2 is SLEEF's, within 1 ulp of the C library's.
TEST(Library, PhaseOfEightBitFramesIsThePlainMethodsToTheLastBits) {
    fringe_options o;
    o.width = 150, o.height = 100, o.pattern = "bump", o.noise = 1.5, o.border = 2,
    o.steps[1] = 1.9;
    std::vector<unsigned char> frames[3];
    fringe_samples(o, fringe_phase(o), frames);
    const int SIZE = o.width * o.height;
    std::vector<double> X(frames[0].begin(), frames[0].end()),
        Y(frames[1].begin(), frames[1].end()), Z(frames[2].begin(), frames[2].end()), plain(SIZE);
    plain_phase(X.data(), Y.data(), Z.data(), plain.data(), SIZE);
    phaze_options keep_all;
    phaze_default_options(&keep_all);
    keep_all.min_modulation = 0, keep_all.saturation = 256;
    const void *pointers[3] = {frames[0].data(), frames[1].data(), frames[2].data()};
    const analysed a = analyse(pointers, PHAZE_UINT8, o.width, o.height, &keep_all);
    ASSERT_EQ(a.status, PHAZE_OK) << a.message;
    for (size_t i = 0; i < plain.size(); i++)
        ASSERT_NEAR(a.phase[i], plain[i], 4 * 2.220446049250313e-16 * 6.283185307179586) << i;
}

TEST(Library, RefusesWhatItCannotUseAndMasksWhatItCannotTrust) {
    std::vector<float> frame(64, 0.5f), other(64, 0.25f), ramp(64);
    for (int i = 0; i < 64; i++) ramp[i] = (float)(0.5 + 0.3 * sin(i));
    const void *ok[3] = {ramp.data(), other.data(), frame.data()};
    const void *missing[3] = {ramp.data(), NULL, frame.data()};
    const void *equal[3] = {ramp.data(), ramp.data(), frame.data()};
    const void *thrice[3] = {ramp.data(), ramp.data(), ramp.data()};
    const void *odd[3] = {(const char *)ramp.data() + 1, other.data(), frame.data()};
    std::vector<double> huge[3];
    for (int j = 0; j < 3; j++)
        for (int i = 0; i < 64; i++) huge[j].push_back(1e300 * sin(i + 2 * j));
    const void *overflowing[3] = {huge[0].data(), huge[1].data(), huge[2].data()};
    phaze_options nan_threshold;
    phaze_default_options(&nan_threshold);
    nan_threshold.min_modulation = NAN;
    phaze_options unsized = nan_threshold, newer = nan_threshold;
    unsized.size = 0;
    newer.size = sizeof newer + 8;  // a newer header's: what it asks for is unknown here
    // Steps given that cannot be used.
    phaze_options two_steps, nan_step, equal_steps, bunched_steps;
    for (phaze_options *o : {&two_steps, &nan_step, &equal_steps, &bunched_steps})
        phaze_default_options(o), o->step_count = 3, o->steps[0] = 0, o->steps[1] = 1.5,
                                  o->steps[2] = 3;
    two_steps.step_count = 2;
    nan_step.steps[2] = NAN;
    equal_steps.steps[2] = 1.5 + 2 * 3.141592653589793;
    bunched_steps.steps[1] = 0.01, bunched_steps.steps[2] = 0.03;
    const void *many[33];
    for (const void *&m : many) m = ramp.data();
    struct refusal {
        const void *const *frames;
        int type;
        int width, height;
        size_t stride;
        const phaze_options *options;
        phaze_status status;
        const char *says;
        int count = 3;
    } cases[] = {
        {ok, PHAZE_FLOAT32, 8, 8, 0, NULL, PHAZE_BAD_ARGUMENT, "2 frames given", 2},
        {many, PHAZE_FLOAT32, 8, 8, 0, NULL, PHAZE_BAD_ARGUMENT, "33 frames given", 33},
        {ok, PHAZE_FLOAT32, 8, 8, 0, &unsized, PHAZE_BAD_ARGUMENT, "phaze_default_options"},
        {ok, PHAZE_FLOAT32, 8, 8, 0, &newer, PHAZE_BAD_ARGUMENT, "this library's header"},
        {ok, PHAZE_FLOAT32, 8, 8, 0, &two_steps, PHAZE_BAD_ARGUMENT, "2 steps given"},
        {ok, PHAZE_FLOAT32, 8, 8, 0, &nan_step, PHAZE_BAD_ARGUMENT, "not a finite number"},
        {ok, PHAZE_FLOAT32, 8, 8, 0, &equal_steps, PHAZE_BAD_ARGUMENT, "are equal"},
        {ok, PHAZE_FLOAT32, 8, 8, 0, &bunched_steps, PHAZE_BAD_ARGUMENT, "within 0.05 rad"},
        {missing, PHAZE_FLOAT32, 8, 8, 0, NULL, PHAZE_BAD_ARGUMENT, "frame 2 is missing"},
        {ok, PHAZE_FLOAT32, 0, 8, 0, NULL, PHAZE_BAD_ARGUMENT, "empty"},
        {ok, PHAZE_FLOAT32, 2, 2, 0, NULL, PHAZE_BAD_ARGUMENT, "at least 5 pixels"},
        {ok, PHAZE_FLOAT32, 8, 8, 16, NULL, PHAZE_BAD_ARGUMENT, "row stride"},
        {ok, 7, 8, 8, 0, NULL, PHAZE_BAD_ARGUMENT, "sample type"},
        {ok, PHAZE_FLOAT32, 8, 8, 0, &nan_threshold, PHAZE_BAD_ARGUMENT, "not a number"},
        {equal, PHAZE_FLOAT32, 8, 8, 0, NULL, PHAZE_NO_PHASE, "hold no phase"},
        {thrice, PHAZE_FLOAT32, 8, 8, 0, NULL, PHAZE_NO_PHASE, "hold no phase"},
        {ok, PHAZE_FLOAT32, 8, 8, SIZE_MAX, NULL, PHAZE_BAD_ARGUMENT, "address space"},
        {ok, PHAZE_FLOAT32, 8, 8, SIZE_MAX / 4, NULL, PHAZE_BAD_ARGUMENT, "address space"},
        {ok, PHAZE_FLOAT32, 8, 8, 34, NULL, PHAZE_BAD_ARGUMENT, "whole number of 4-byte"},
        {odd, PHAZE_FLOAT32, 8, 8, 0, NULL, PHAZE_BAD_ARGUMENT, "boundary"},
        {overflowing, PHAZE_FLOAT64, 8, 8, 0, NULL, PHAZE_BAD_ARGUMENT, "overflow"},
    };
    for (const refusal &c : cases) {
        const analysed a =
            analyse(c.frames, c.type, c.width, c.height, c.options, c.stride, c.count);
        EXPECT_EQ(a.status, c.status) << c.says;
        EXPECT_NE(a.message.find(c.says), std::string::npos) << a.message;
        // Options the analysis refuses, the check of options refuses alike.
        char why[256] = "";
        if (c.options != NULL) {
            EXPECT_EQ(phaze_check_options(c.options, 3, why, sizeof why), PHAZE_BAD_ARGUMENT)
                << c.says;
            EXPECT_EQ(std::string(why), a.message);
        }
    }
    // No fringes anywhere: fully masked, with a warning, not a failure.
    std::vector<float> dim(64, 0.501f), dimmer(64, 0.502f);
    const void *flat[3] = {frame.data(), dim.data(), dimmer.data()};
    const analysed none = analyse(flat, PHAZE_FLOAT32, 8, 8);
    EXPECT_EQ(none.status, PHAZE_OK);
    EXPECT_EQ(none.report.masked_fraction, 1);
    EXPECT_EQ(none.report.warnings, (unsigned)PHAZE_WARN_NO_MODULATION);
    // A sample that is not a number masks its pixel and no other.
    fringe_options o;
    o.width = 64, o.height = 48, o.background = 0.5, o.contrast = 0.3, o.steps[1] = 1.7,
    o.steps[2] = 3.5;
    std::vector<double> values[3];
    fringe_values(o, fringe_phase(o), values);
    std::vector<float> f[3];
    for (int j = 0; j < 3; j++) f[j].assign(values[j].begin(), values[j].end());
    f[2][0] = NAN, f[1][100] = INFINITY;
    const void *holed[3] = {f[0].data(), f[1].data(), f[2].data()};
    const analysed a = analyse(holed, PHAZE_FLOAT32, 64, 48);
    ASSERT_EQ(a.status, PHAZE_OK) << a.message;
    EXPECT_EQ(a.mask[0] + a.mask[100], 0);
    EXPECT_NEAR(a.report.masked_fraction, 2.0 / (64 * 48), 1e-12);
}

// Options made by an earlier header (0.4: 32 bytes, the harmonics choice in what
// was the padding after the device, or no such field at all) run with the
// defaults of what they lack, whatever that padding holds; and its caller's
// report ends before the fields of 0.5, so the library writes nothing past it.
TEST(Library, AnEarlierHeadersOptionsTakeTheDefaultsAndItsReportIsKept) {
    fringe_options o;
    o.width = 320, o.height = 240, o.period = 20, o.steps[1] = 1.7, o.steps[2] = 3.5;
    std::vector<double> values[3];
    fringe_values(o, fringe_phase(o), values);
    std::vector<uint16_t> gamma[3];  // a projector's response: the ripple the choice acts on
    for (int j = 0; j < 3; j++)
        for (double v : values[j])
            gamma[j].push_back((uint16_t)(65535 * pow(0.5 + 0.4 * (v - 128) / 100, 2.2) + 0.5));
    const void *frames[3] = {gamma[0].data(), gamma[1].data(), gamma[2].data()};
    phaze_options defaults;
    phaze_default_options(&defaults);
    const analysed expected = analyse(frames, PHAZE_UINT16, o.width, o.height, &defaults);
    ASSERT_EQ(expected.status, PHAZE_OK) << expected.message;
    struct earlier {
        size_t size;
        double min_modulation, saturation;
        int device;
        unsigned padding;
    };
    static_assert(sizeof(earlier) == 32, "0.4's layout");
    const phaze_frames f = {frames, 3, PHAZE_UINT16, o.width, o.height, 0};
    for (unsigned padding : {0u, 0xdeadbeefu, 0xffffffffu}) {
        const earlier old = {sizeof old, -1, -1, PHAZE_DEVICE_AUTO, padding};
        std::vector<unsigned char> room(sizeof(phaze_report), 0xa5);
        std::vector<double> phase(expected.phase.size());
        char message[256];
        ASSERT_EQ(phaze_analyse(&f, reinterpret_cast<const phaze_options *>(&old), phase.data(),
                                NULL, NULL, reinterpret_cast<phaze_report *>(room.data()), message,
                                sizeof message),
                  PHAZE_OK)
            << padding << ": " << message;
        EXPECT_EQ(phase, expected.phase) << padding;
        const phaze_report *report = reinterpret_cast<const phaze_report *>(room.data());
        EXPECT_EQ(report->ripple_removed, expected.report.ripple_removed) << padding;
        EXPECT_EQ(report->frame_count, 3);
        for (size_t i = offsetof(phaze_report, steps_given); i < room.size(); i++)
            ASSERT_EQ(room[i], 0xa5) << "byte " << i;
    }
    // Their explicit choices hold where the old header had them.
    for (int choice : {PHAZE_HARMONICS_OFF, PHAZE_HARMONICS_AUTO}) {
        phaze_options current = defaults;
        current.harmonics = choice;
        earlier old = {sizeof old, -1, -1, PHAZE_DEVICE_AUTO, (unsigned)choice};
        const analysed a = analyse(frames, PHAZE_UINT16, o.width, o.height, &current),
                       b = analyse(frames, PHAZE_UINT16, o.width, o.height,
                                   reinterpret_cast<const phaze_options *>(&old));
        EXPECT_EQ(a.phase, b.phase) << choice;
        EXPECT_EQ(a.report.ripple_removed, choice == PHAZE_HARMONICS_AUTO) << choice;
    }
}

// Frames that give a phase but not one to trust are flagged, and good ones are
// not: three frames and more, a frame dropped, black, dimmed, moved, flipped
// or from another fringe period, steps that leave the phase undetermined (four
// frames need fringes to tell theirs), and a projector's harmonics, which are
// no misfit.
TEST(Library, WarnsWhenTheFramesDoNotFitTheModel) {
    // Fringes across x, bent by a bump off the centre, as a projector's on an
    // object. (Three frames cannot reveal a frame whose fringes part from the
    // others' within a few fringes, such as a flipped frame of steeply tilted
    // fringes.)
    const int W = 640, H = 480;
    const auto fringes = [&](double period) {
        std::vector<double> phase((size_t)W * H);
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++)
                phase[(size_t)y * W + x] =
                    TWO_PI * x / period +
                    3 * TWO_PI * exp(-((x - 0.4 * W) * (x - 0.4 * W) + (y - 0.35 * H) * (y - 0.35 * H)) /
                                     (0.04 * W * W));
        return phase;
    };
    const std::vector<double> phi = fringes(16), other_period = fringes(17);
    const size_t pixels = phi.size();
    uint32_t state = 1;
    const auto noise = [&]() {  // about 20 levels rms
        state = state * 1664525u + 1013904223u;
        return ((state >> 8) / 16777216.0 - 0.5) * 70;
    };
    // 16-bit frames A + B cos(phase + step), or a projector's response to them.
    const auto frame = [&](const std::vector<double> &phase, double step, double gamma = 1) {
        std::vector<uint16_t> f(pixels);
        for (size_t i = 0; i < pixels; i++) {
            const double v = gamma == 1 ? 30000 + 20000 * cos(phase[i] + step)
                                        : 50000 * pow((1 + cos(phase[i] + step)) / 2, gamma);
            f[i] = (uint16_t)fmin(fmax(v + noise() + 0.5, 0), 65535);
        }
        return f;
    };
    const auto moved = [&](const std::vector<uint16_t> &f, int dx) {
        std::vector<uint16_t> g(f);
        for (int y = 0; y < H; y++)
            for (int x = dx; x < W; x++) g[(size_t)y * W + x] = f[(size_t)y * W + x - dx];
        return g;
    };
    const auto flipped = [&](const std::vector<uint16_t> &f) {
        std::vector<uint16_t> g(f);
        for (int y = 0; y < H; y++)
            std::copy(f.begin() + (size_t)(H - 1 - y) * W, f.begin() + (size_t)(H - y) * W,
                      g.begin() + (size_t)y * W);
        return g;
    };
    const auto flat = [&](const std::vector<uint16_t> &f, double scale, double level) {
        std::vector<uint16_t> g(f);
        for (uint16_t &v : g) v = (uint16_t)(v * scale + level);
        return g;
    };
    const std::vector<uint16_t> a = frame(phi, 0), b = frame(phi, 1.7), c = frame(phi, 3.5);
    std::vector<uint16_t> random(pixels);
    for (uint16_t &v : random) v = (uint16_t)(32768 + noise() * 400);
    const std::vector<uint16_t> f5[5] = {frame(phi, 0), frame(phi, 1.1), frame(phi, 2.0),
                                         frame(phi, 3.3), frame(phi, 4.1)};
    const double quarter = 1.5707963267948966;
    const std::vector<uint16_t> g4[4] = {frame(phi, 0, 2.2), frame(phi, quarter, 2.2),
                                         frame(phi, 2 * quarter, 2.2),
                                         frame(phi, 3 * quarter, 2.2)};
    std::vector<double> wide(pixels);  // 0.8 of a fringe across
    for (size_t i = 0; i < pixels; i++) wide[i] = TWO_PI * (double)(i % W) / 800;
    const std::vector<uint16_t> w5[5] = {frame(wide, 0), frame(wide, 1.4), frame(wide, 2.9),
                                         frame(wide, 4.6), frame(wide, 5.5)};
    struct doubtful {
        const char *what;
        std::vector<std::vector<uint16_t>> frames;
        unsigned warning;  // 0: none
    } cases[] = {
        {"three good frames", {a, b, c}, 0},
        {"frame 3 black", {a, b, flat(c, 0, 0)}, PHAZE_WARN_MODEL_MISFIT},
        {"frame 3 at half", {a, b, flat(c, 0.5, 0)}, PHAZE_WARN_MODEL_MISFIT},
        {"noise", {random, flipped(random), moved(random, 7)}, PHAZE_WARN_NO_SPATIAL_ORDER},
        {"frame 3 moved 5 px", {a, b, moved(c, 5)}, PHAZE_WARN_PATTERN_VARIES},
        {"frame 1 moved 3 px", {moved(a, 3), b, c}, PHAZE_WARN_PATTERN_VARIES},
        {"frame 2 upside down", {a, flipped(b), c}, PHAZE_WARN_PATTERN_VARIES},
        {"frame 3 of another period", {a, b, frame(other_period, 3.5)},
         PHAZE_WARN_PATTERN_VARIES},
        {"five good frames", {f5[0], f5[1], f5[2], f5[3], f5[4]}, 0},
        {"five, one constant", {f5[0], flat(f5[1], 0, 30000), f5[2], f5[3], f5[4]},
         PHAZE_WARN_MODEL_MISFIT},
        {"five, one black", {f5[0], f5[1], f5[2], flat(f5[3], 0, 0), f5[4]},
         PHAZE_WARN_MODEL_MISFIT},
        {"five, one at half", {f5[0], f5[1], flat(f5[2], 0.5, 0), f5[3], f5[4]},
         PHAZE_WARN_MODEL_MISFIT},
        {"five, one of another period", {f5[0], f5[1], f5[2], frame(other_period, 3.3), f5[4]},
         PHAZE_WARN_MODEL_MISFIT},
        {"five, one upside down", {f5[0], f5[1], f5[2], f5[3], flipped(f5[4])},
         PHAZE_WARN_MODEL_MISFIT},
        {"four at 90 degrees, gamma 2.2", {g4[0], g4[1], g4[2], g4[3]}, 0},
        {"four, 0.8 of a fringe", {w5[0], w5[1], w5[2], w5[3]}, PHAZE_WARN_FEW_FRINGES},
        {"five, 0.8 of a fringe", {w5[0], w5[1], w5[2], w5[3], w5[4]}, 0},
        {"steps in two groups half a turn apart",
         {a, frame(phi, 0.05), frame(phi, 3.14159), frame(phi, 3.19159)},
         PHAZE_WARN_STEPS_CLOSE},
        {"three steps within 60 degrees", {a, frame(phi, 0.5), frame(phi, 1.0)},
         PHAZE_WARN_STEPS_CLOSE},
    };
    for (const doubtful &k : cases) {
        std::vector<const void *> frames;
        for (const std::vector<uint16_t> &f : k.frames) frames.push_back(f.data());
        const analysed r =
            analyse(frames.data(), PHAZE_UINT16, W, H, NULL, 0, (int)frames.size());
        ASSERT_EQ(r.status, PHAZE_OK) << k.what << ": " << r.message;
        const unsigned doubts = PHAZE_WARN_MODEL_MISFIT | PHAZE_WARN_PATTERN_VARIES |
                                PHAZE_WARN_STEPS_CLOSE | PHAZE_WARN_NO_SPATIAL_ORDER |
                                PHAZE_WARN_FEW_FRINGES;
        std::string warnings;
        for (unsigned bit = 1; bit != 0; bit <<= 1)
            if (r.report.warnings & bit) warnings += std::string(phaze_warning_text(bit)) + "; ";
        if (k.warning == 0)
            EXPECT_EQ(r.report.warnings & doubts, 0u) << k.what << ": " << warnings;
        else
            EXPECT_TRUE(r.report.warnings & k.warning) << k.what << ": " << warnings;
    }
}

// Memory that runs out inside the analysis is a status, not the end of the caller.
// The test runs itself again as a fresh process (OpenMP does not survive a bare
// fork), which limits its address space and exits with the status.
TEST(Library, RunningOutOfMemoryIsAStatus) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' shadow memory needs no address-space limit";
#endif
    if (getenv("PHAZE_MEMORY_CHILD") == NULL) {
        char self[4096] = "";
        ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
        const int status = system(("PHAZE_MEMORY_CHILD=1 '" + std::string(self) +
                                   "' --gtest_filter=Library.RunningOutOfMemoryIsAStatus "
                                   ">/dev/null 2>&1")
                                      .c_str());
        ASSERT_TRUE(WIFEXITED(status)) << "the analysis ended the process";
        EXPECT_EQ(WEXITSTATUS(status), PHAZE_NO_MEMORY);
        return;
    }
    const int W = 2048, H = 2048;
    std::vector<float> f[3];
    for (int j = 0; j < 3; j++)
        for (int i = 0; i < W * H; i++) f[j].push_back((float)(0.5 + 0.3 * cos(0.2 * i + 2 * j)));
    f[0][7] = NAN;  // the analysis then works on a cleaned copy: 24 bytes a pixel more
    std::vector<double> phase((size_t)W * H);
    FILE *statm = fopen("/proc/self/statm", "r");
    unsigned long pages = 0;
    if (statm == NULL || fscanf(statm, "%lu", &pages) != 1) _exit(99);
    fclose(statm);
    const rlim_t bytes = pages * sysconf(_SC_PAGE_SIZE) + (40 << 20);
    const rlimit limit = {bytes, bytes};
    setrlimit(RLIMIT_AS, &limit);
    const void *pointers[3] = {f[0].data(), f[1].data(), f[2].data()};
    const phaze_frames frames = {pointers, 3, PHAZE_FLOAT32, W, H, 0};
    char message[256];
    _exit(phaze_analyse(&frames, NULL, phase.data(), NULL, NULL, NULL, message, sizeof message));
}
