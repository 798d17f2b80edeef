// The frame reader and the result writers on small files.
#include <gtest/gtest.h>
#include <math.h>

#include <string>
#include <vector>

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
