// The point files: what they hold, and all of them or none.
#include <dirent.h>
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <vector>

#include "shared/image.h"
#include "shared/point_files.h"
#include "tests/test_support.h"

using namespace phaze_internal;

using PointFiles = InScratchFolder;

// 4 x 3 pixels, every third without a point.
static std::vector<double> some_points() {
    std::vector<double> xyz(36);
    for (int i = 0; i < 12; i++)
        for (int k = 0; k < 3; k++) xyz[3 * i + k] = i % 3 == 1 ? NAN : 100.25 * i + k - 7.5;
    return xyz;
}

static float float_at(const std::string &bytes, size_t at) {
    float value;
    memcpy(&value, bytes.data() + at, 4);  // the host is little-endian, as the file
    return value;
}

TEST_F(PointFiles, HoldThePointsTheirGrayAndTheDepth) {
    const std::vector<double> xyz = some_points();
    unsigned char gray[12];
    for (int i = 0; i < 12; i++) gray[i] = (unsigned char)(20 * i);
    point_image points;
    points.width = 4, points.height = 3, points.xyz = xyz.data(), points.gray = gray;
    std::vector<std::string> written;
    std::string file, reason;
    ASSERT_EQ(write_point_files("run", POINTS_PLY | POINTS_DEPTH | POINTS_XYZ, points, &written,
                                &file, &reason),
              0)
        << file << ": " << reason;
    EXPECT_EQ(written,
              (std::vector<std::string>{"run_points.ply", "run_depth.tiff", "run_xyz.tiff"}));
    const std::string ply = read_whole_file("run_points.ply");
    const size_t body = ply.find("end_header\n") + 11;
    EXPECT_EQ(ply.compare(0, 36, "ply\nformat binary_little_endian 1.0\n"), 0);
    EXPECT_NE(ply.find("element vertex 8\nproperty float x\nproperty float y\nproperty float z\n"
                       "property uchar gray\nend_header\n"),
              std::string::npos);
    ASSERT_EQ(ply.size(), body + 8 * 13);
    for (int i = 0, n = 0; i < 12; i++) {
        if (i % 3 == 1) continue;
        for (int k = 0; k < 3; k++)
            EXPECT_EQ(float_at(ply, body + 13 * n + 4 * k), (float)xyz[3 * i + k]);
        EXPECT_EQ((unsigned char)ply[body + 13 * n + 12], gray[i]);
        n++;
    }
    image depth;
    ASSERT_EQ(read_image("run_depth.tiff", 1 << 20, &depth, &reason), 0) << reason;
    ASSERT_TRUE(depth.format == PIXELS_F32 && depth.width == 4 && depth.height == 3);
    for (int i = 0; i < 12; i++) {
        float z;
        memcpy(&z, depth.data.data() + 4 * i, 4);
        if (i % 3 == 1)
            EXPECT_TRUE(isnan(z));
        else
            EXPECT_EQ(z, (float)xyz[3 * i + 2]);
    }
    // Without gray the vertex is three floats.
    points.gray = nullptr;
    long long count = 0;
    ASSERT_EQ(write_ply_file("plain.ply", points, &count, &reason), 0) << reason;
    const std::string plain = read_whole_file("plain.ply");
    EXPECT_EQ(count, 8);
    EXPECT_EQ(plain.find("gray"), std::string::npos);
    EXPECT_EQ(plain.size(), plain.find("end_header\n") + 11 + 8 * 12);
}

TEST_F(PointFiles, NoneWrittenWhenOneCannotBe) {
    const std::vector<double> xyz = some_points();
    point_image points;
    points.width = 4, points.height = 3, points.xyz = xyz.data();
    struct row {
        const char *what, *prefix, *blocked, *says, *reason;
        rlim_t file_size;  // the largest file the process may write; 0: any
    } rows[] = {
        {"a folder where the xyz map goes", "run", "run_xyz.tiff", "run_xyz.tiff", "Is a directory",
         0},
        {"a folder that is not there", "missing/run", nullptr, "missing/run_points.ply",
         "No such file or directory", 0},
        {"files larger than the process may write", "run", nullptr, "run_xyz.tiff",
         "File too large", 300},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.what);
        write_file("run_points.ply", "an earlier run's");
        if (r.blocked != nullptr) mkdir(r.blocked, 0777);
        std::vector<std::string> written;
        std::string file, reason;
        struct rlimit before, limit;
        getrlimit(RLIMIT_FSIZE, &before);
        limit = before;
        if (r.file_size != 0) limit.rlim_cur = r.file_size;
        void (*handler)(int) = signal(SIGXFSZ, SIG_IGN);  // a write past it fails instead
        setrlimit(RLIMIT_FSIZE, &limit);
        const int failed = write_point_files(r.prefix, POINTS_PLY | POINTS_DEPTH | POINTS_XYZ,
                                             points, &written, &file, &reason);
        setrlimit(RLIMIT_FSIZE, &before);
        signal(SIGXFSZ, handler);
        EXPECT_EQ(failed, 1);
        EXPECT_EQ(file, r.says);
        EXPECT_EQ(reason, r.reason);
        EXPECT_TRUE(written.empty());
        EXPECT_EQ(read_whole_file("run_points.ply"), "an earlier run's");
        struct stat info;
        EXPECT_NE(stat("run_depth.tiff", &info), 0);
        DIR *folder = opendir(".");
        for (dirent *e; (e = readdir(folder)) != nullptr;)
            EXPECT_FALSE(e->d_name[0] == '.' && strlen(e->d_name) > 2) << e->d_name;
        closedir(folder);
        if (r.blocked != nullptr) rmdir(r.blocked);
    }
}
