// The result writers: the picture through its template, and the text as printf writes it.
#include <gtest/gtest.h>
#include <math.h>
#include <stdio.h>

#include "shared/format_lf.h"
#include "fixed/write_results.h"
#include "tests/test_support.h"

using ImageFiles = InScratchFolder;

static void write_template(int W, int H) {
    unsigned char header[56];
    make_picture_header(W + 5, H + 7, header);  // the size fields must be patched
    header[30] = 'T';                           // and any other template byte kept
    write_file("bmp_header.bmp", std::string((const char *)header, 56));
}

TEST_F(ImageFiles, PictureThroughTheTemplate) {
    write_template(2, 2);
    const double phase[4] = {0, 3.141592653589793, nextafter(6.283185307179586, 0),
                             6.283185307179586};
    EXPECT_EQ(write_results(phase, 2, 2), 0);
    const std::string out = read_whole_file("phaze_cuda.bmp");
    ASSERT_EQ(out.size(), 68u);
    auto le32 = [&](int at) {
        unsigned value = 0;
        for (int k = 3; k >= 0; k--) value = value << 8 | (unsigned char)out[at + k];
        return value;
    };
    EXPECT_TRUE(le32(2) == 68 && le32(18) == 2 && le32(22) == 2 && le32(10) == 56 &&
                out[30] == 'T');
    const unsigned char gray[4] = {0, 127, 254, 255};
    for (int k = 0; k < 12; k++) EXPECT_EQ((unsigned char)out[56 + k], gray[k / 3]);
}

// The formatter must write what printf writes; the benchmark and CI check it on
// millions of random doubles, this on the named edge cases and in the writer's
// parallel rounds.
TEST_F(ImageFiles, PhaseTextIsWhatPrintfWrites) {
    const double named[] = {
        0.0, -0.0, 0.0078125, -0.0078125, 5e-7, 4.9999999999999996e-7, 1.5e-6, 2.5e-6,
        0.9999995, 0.99999949999999994, 123456.0000005, 3.141592653589793, 6.283185307179586,
        nextafter(6.283185307179586, 0), 5e-324, -5e-324, 2.2250738585072014e-308,
        17592186044415.99, 17592186044416.0, 9007199254740993.0, -1.7976931348623157e308,
        INFINITY, -INFINITY, NAN, -NAN, -1e-9, 999999.9999995};
    const int SIZE = 700001;  // more than one round of the threads
    std::vector<double> phase(SIZE);
    for (int i = 0; i < SIZE; i++)
        phase[i] = i < 27 ? named[i] : (i % 7 == 0 ? -1e15 : 6.3) * sin(i * 0.001);
    write_template(SIZE, 1);
    const auto unchecked = [](void *values, long long first, long long,
                              double *) -> const double * {
        return (const double *)values + first;
    };
    ASSERT_EQ(write_results_from(unchecked, phase.data(), SIZE, 1), 0);
    std::string expected;
    char line[FORMAT_LF_MAX + 2];
    for (double value : phase)
        expected.append(line, (size_t)snprintf(line, sizeof line, "%lf\n", value));
    const std::string text = read_whole_file("phaze_cuda.txt");
    EXPECT_EQ(text.substr(0, 600), expected.substr(0, 600));
    EXPECT_TRUE(text == expected);
}
