// The frame reader and the result writers on small files.
#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "host/format_lf.h"
#include "host/read_frames.h"
#include "host/write_results.h"
#include "tests/fake_runtime.h"
#include "tests/test_support.h"
#include "tools/frameset.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class ImageFiles : public InScratchFolder {
  protected:
    void SetUp() override {
        InScratchFolder::SetUp();
        fake_runtime_configure("", "");
    }
};

static std::string picture_header() {
    unsigned char header[56];
    make_picture_header(2, 2, header);
    return std::string((const char *)header, 56);
}

// A frame whose pixel k holds the bytes (base + k, base + 10 + k, base + 20 + k).
static std::string frame(int pixels, int base) {
    std::string bytes(56, 'h');
    for (int k = 0; k < pixels; k++) {
        bytes += (char)(base + k);
        bytes += (char)(base + 10 + k);
        bytes += (char)(base + 20 + k);
    }
    return bytes;
}

TEST_F(ImageFiles, ReaderTakesTheFirstByteOfEveryPixelFromByte56) {
    write_file("I1.bmp", frame(8, 10));
    write_file("I2.bmp", frame(8, 40));
    write_file("I3.bmp", frame(8, 200));
    std::vector<double> X(8), Y(8), Z(8);
    CaptureStdout();
    EXPECT_EQ(read_frames(X.data(), Y.data(), Z.data(), 4, 2), 0);
    EXPECT_EQ(GetCapturedStdout(), "");
    for (int k = 0; k < 8; k++) {
        EXPECT_EQ(X[k], 10 + k);
        EXPECT_EQ(Y[k], 40 + k);
        EXPECT_EQ(Z[k], 200 + k);
    }
}

TEST_F(ImageFiles, ReaderNamesTheFrameItCannotOpen) {
    write_file("I1.bmp", frame(8, 10));
    std::vector<double> X(8, -5), Y(8, -5), Z(8, -5);
    CaptureStdout();
    EXPECT_EQ(read_frames(X.data(), Y.data(), Z.data(), 4, 2), 1);
    EXPECT_EQ(GetCapturedStdout(), "Can't open I2.bmp file!");
    EXPECT_EQ(X[7], 17);  // the frame before it is read
}

TEST_F(ImageFiles, PictureThroughTheTemplate) {
    std::string header = picture_header();
    header[30] = 'T';  // a template byte outside the patched fields stays
    write_file("bmp_header.bmp", header);
    const unsigned char gray[4] = {0, 127, 254, 255};
    unsigned char scratch[4];
    EXPECT_EQ(write_bmp(gray, scratch, "out.bmp", 0, 2, 2), 0);
    const std::string out = read_file("out.bmp");
    ASSERT_EQ(out.size(), 68u);
    auto le32 = [&](int at) {
        return (unsigned)(unsigned char)out[at] | (unsigned)(unsigned char)out[at + 1] << 8 |
               (unsigned)(unsigned char)out[at + 2] << 16 | (unsigned)(unsigned char)out[at + 3] << 24;
    };
    EXPECT_EQ(le32(2), 68u);
    EXPECT_EQ(le32(18), 2u);
    EXPECT_EQ(le32(22), 2u);
    EXPECT_EQ(out.substr(0, 2), "BM");
    EXPECT_EQ(out[30], 'T');
    EXPECT_EQ(le32(10), 56u);
    for (int k = 0; k < 4; k++)
        for (int b = 0; b < 3; b++) EXPECT_EQ((unsigned char)out[56 + 3 * k + b], gray[k]);
}

TEST_F(ImageFiles, PhaseTextIsOneFixedSixDecimalLineAValue) {
    const double phase[] = {3.141592653589793, 0, 6.283185307179586, 0.0078125, 1e-7, NAN};
    EXPECT_EQ(write_phase_text(phase, 6, "phase.txt"), 0);
    EXPECT_EQ(read_file("phase.txt"), "3.141593\n0.000000\n6.283185\n0.007812\n0.000000\nnan\n");
}

TEST_F(ImageFiles, WritersReportAFullDisk) {
    write_file("bmp_header.bmp", picture_header());
    const unsigned char gray[6] = {1, 2, 3, 4, 5, 6};
    unsigned char scratch[6];
    const double phase[2] = {1, 2};
    CaptureStdout();
    EXPECT_EQ(write_bmp(gray, scratch, "/dev/full", 0, 3, 2), 1);
    EXPECT_EQ(write_phase_text(phase, 2, "/dev/full"), 1);
    EXPECT_EQ(GetCapturedStdout(), "Can't write /dev/full file (No space left on device)!"
                                   "Can't write /dev/full file (No space left on device)!");
}

TEST_F(ImageFiles, ReaderRefusesAShortFrame) {
    write_file("I1.bmp", frame(8, 10));
    write_file("I2.bmp", frame(8, 40).substr(0, 56));
    std::vector<double> X(8), Y(8), Z(8);
    CaptureStdout();
    EXPECT_EQ(read_frames(X.data(), Y.data(), Z.data(), 4, 2), 1);
    EXPECT_EQ(GetCapturedStdout(),
              "I2.bmp is too short for a 4 x 2 frame! It should have at least 80 bytes.");
}

// The text formatter against printf itself: the edge cases by name, then a
// bounded sample of every kind of double (the benchmark checks hundreds of
// millions).
TEST(PhaseText, FormatterWritesWhatPrintfWrites) {
    const double named[] = {
        0.0, -0.0, 0.0078125, -0.0078125, 0.5e-6, 5e-7, 4.9999999999999996e-7, 1.5e-6, 2.5e-6,
        0.9999995, 0.99999949999999994, 123456.0000005, 3.141592653589793, 6.283185307179586,
        nextafter(6.283185307179586, 0), 5e-324, -5e-324, 2.2250738585072014e-308,
        17592186044415.99, 17592186044416.0, 17592186044416.5, 9007199254740993.0, 1e300,
        -1.7976931348623157e308, INFINITY, -INFINITY, NAN, -NAN, -1e-9, 999999.9999995,
    };
    char ours[FORMAT_LF_MAX + 1], theirs[FORMAT_LF_MAX + 1];
    for (double value : named) {
        ours[format_lf(value, ours)] = '\0';
        snprintf(theirs, sizeof theirs, "%lf", value);
        EXPECT_STREQ(ours, theirs) << value;
    }
    uint64_t state = 88172645463325252ull;
    int mismatches = 0;
    for (int i = 0; i < 400000; i++) {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        double value;
        if (i % 3 == 0) memcpy(&value, &state, sizeof value);
        else if (i % 3 == 1) value = ldexp((double)(state >> 11), (int)(state % 90) - 110);
        else value = (double)(state >> 11) * 0x1p-53 * 6.283185307179586;
        ours[format_lf(value, ours)] = '\0';
        snprintf(theirs, sizeof theirs, "%lf", value);
        if (strcmp(ours, theirs) != 0 && mismatches++ < 5) ADD_FAILURE() << ours << " != " << theirs;
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(ImageFiles, LargeFramesAndTextCrossTheirBlocks) {
    // More pixels than one read block and one formatting round of the threads.
    const int W = 1500, H = 1000, SIZE = W * H;
    std::vector<unsigned char> frames[3];
    for (int k = 0; k < 3; k++) {
        frames[k].resize(SIZE);
        for (int i = 0; i < SIZE; i++) frames[k][i] = (unsigned char)(i * (k + 3) + (i >> 11));
    }
    ASSERT_EQ(write_frame_set(".", W, H, frames[0].data(), frames[1].data(), frames[2].data()), 0);
    std::vector<double> X(SIZE), Y(SIZE), Z(SIZE);
    ASSERT_EQ(read_frames(X.data(), Y.data(), Z.data(), W, H), 0);
    for (int i = 0; i < SIZE; i++)
        ASSERT_TRUE(X[i] == frames[0][i] && Y[i] == frames[1][i] && Z[i] == frames[2][i]) << i;

    std::vector<double> phase(SIZE);
    for (int i = 0; i < SIZE; i++) phase[i] = (i % 7 == 0 ? -1e15 : 6.3) * sin(i * 0.001);
    ASSERT_EQ(write_phase_text(phase.data(), SIZE, "phase.txt"), 0);
    std::string expected;
    char line[FORMAT_LF_MAX + 2];
    for (double value : phase) expected.append(line, (size_t)snprintf(line, sizeof line, "%lf\n", value));
    EXPECT_TRUE(read_file("phase.txt") == expected);
}
