// The point files: all of them or none. What they hold is read back by
// tests/python/test_points.py with independent readers, and by the command's
// points test with the layout the writer must keep.
#include <dirent.h>
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <vector>

#include "shared/point_files.h"
#include "tests/points_support.h"
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
