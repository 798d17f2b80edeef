// The phaze command run as a process: bad usage, bad input, a batch with one
// bad set, its text result beside phaze-cpu's, and the points of a calibrated rig.
#include <gtest/gtest.h>
#include <math.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "shared/image.h"
#include "shared/scene_frames.h"
#include "tests/end_to_end.h"
#include "tests/points_support.h"

// Memory kept for reuse keeps what was written to it; memory mapped afresh is
// zero. So a pattern that survives a free and an allocation of the same size
// tells that the mapping was kept.
static bool kept_across_a_free(bool reuse) {
    const size_t size = (size_t)8 << 20;
    reuse_large_memory(reuse);
    unsigned char *first = (unsigned char *)allocate_large(size);
    memset(first, 0xa5, size);
    free_large(first, size);
    unsigned char *second = (unsigned char *)allocate_large(size);
    const bool kept = second[size / 2] == 0xa5;
    free_large(second, size);
    reuse_large_memory(false);
    return kept;
}

TEST(LargeMemory, KeptForReuseOnlyWhenAskedAndNotUnderALimit) {
    struct rlimit as, data;
    if (getrlimit(RLIMIT_AS, &as) == 0 && getrlimit(RLIMIT_DATA, &data) == 0 &&
        (as.rlim_cur != RLIM_INFINITY || data.rlim_cur != RLIM_INFINITY))
        GTEST_SKIP() << "the tests run under a memory limit, where nothing is kept";
    EXPECT_TRUE(kept_across_a_free(true));
    EXPECT_FALSE(kept_across_a_free(false));
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' shadow memory needs no data limit";
#endif
    // Under a limit of the data, kept memory would count against it.
    const pid_t child = fork();
    if (child == 0) {
        struct rlimit limit = {(rlim_t)4 << 30, (rlim_t)4 << 30};
        _exit(setrlimit(RLIMIT_DATA, &limit) == 0 && !kept_across_a_free(true) ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

class Command : public EndToEnd {
  protected:
    void SetUp() override {  // 8-bit frames as PNG and the fixed layout, 16-bit as TIFF
        EndToEnd::SetUp();
        fringe_options o;
        o.width = 96, o.height = 64, o.steps[1] = 1.7, o.steps[2] = 3.5, o.noise = 1;
        const std::vector<double> truth = make(o);
        fringe_samples(o, truth, bytes);
        std::vector<uint16_t> words[3];
        fringe_samples_16(o, truth, words);
        for (int k = 0; k < 3; k++) {
            save("f" + std::to_string(k + 1) + ".png", o.width, o.height, PIXELS_U8,
                 bytes[k].data());
            save("w" + std::to_string(k + 1) + ".tiff", o.width, o.height, PIXELS_U16,
                 words[k].data());
        }
    }
    void save(const std::string &name, int W, int H, pixel_format format, const void *samples) {
        image im;
        im.width = W, im.height = H, im.channels = 1, im.format = format;
        im.data.assign((const unsigned char *)samples,
                       (const unsigned char *)samples + W * H * pixel_format_bytes(format));
        std::string reason;
        ASSERT_EQ(name.find(".png") != std::string::npos ? write_png(name.c_str(), im, &reason)
                                                         : write_tiff(name.c_str(), im, &reason),
                  0)
            << reason;
    }
    // o's fringes as 8-bit frames <prefix>1.png to <prefix>3.png; their names, each after a space.
    std::string save_frames(const std::string &prefix, const fringe_options &o) {
        std::vector<unsigned char> frames[3];
        fringe_samples(o, fringe_phase(o), frames);
        std::string names;
        for (int k = 0; k < 3; k++) {
            const std::string name = prefix + std::to_string(k + 1) + ".png";
            save(name, o.width, o.height, PIXELS_U8, frames[k].data());
            names += " " + name;
        }
        return names;
    }
    run_result phaze(const std::string &arguments) {
        return run_in(folder, std::string(PHAZE_COMMAND) + " " + arguments);
    }
    std::string listing() { return run_in(folder, "ls -A").output; }
    std::vector<unsigned char> bytes[3];
};

TEST_F(Command, BadUsageWritesNothing) {
    const char *cases[][2] = {
        {"--frobnicate f1.png f2.png f3.png", "unknown option --frobnicate"},
        {"f1.png f2.png", "2 frames given: frames come in sets of three"},
        {"f1.png f2.png f3.png f1.png f2.png f3.png", "two sets would write their results to f1_*"},
        {"--channel x f1.png f2.png f3.png", "--channel is luma, r, g or b"},
        {"--formats tiff,gif f1.png f2.png f3.png", "unknown format"},
        {"--saturation -3 f1.png f2.png f3.png", "--saturation needs a number"},
        {"", "no frames given"},
        {"f1.png f2.png f3.png ./f1.png f2.png f3.png", "two sets would write their results to"},
        {"-xq f1.png f2.png f3.png", "unknown option -x"},
        {"-dash.png f2.png f3.png", "unknown option -d"},
        {"--frames 4 f1.png f2.png f3.png", "3 frames given: frames come in sets of 4"},
        {"--frames 33 f1.png f2.png f3.png", "--frames needs a whole number from 3 to 32"},
        {"-n 2 f1.png f2.png", "--frames needs a whole number from 3 to 32"},
        {"--harmonics on f1.png f2.png f3.png", "--harmonics is auto or off"},
        {"--periods 32 f1.png f2.png f3.png", "--periods needs 2 to 8 periods, not 1"},
        {"--periods 32,8 f1.png f2.png f3.png",
         "3 frames given: frames come in sets of three, 2 sets"},
        {"--unwrap=yes f1.png f2.png f3.png", "option --unwrap takes no value"},
        {"--quiet=yes f1.png f2.png f3.png", "option --quiet takes no value"},
        {"--frames 4.0 f1.png f2.png f3.png",
         "--frames needs a whole number from 3 to 32, not '4.0'"},
        {"--frames ' 3' f1.png f2.png f3.png", "--frames needs a whole number from 3 to 32"},
        {"--steps 0,90 f1.png f2.png f3.png", "--steps: 2 steps given for sets of 3 frames"},
        {"--steps 0,90,450 f1.png f2.png f3.png", "--steps: steps 2 and 3 given are equal"},
        {"--steps 0,1,2 f1.png f2.png f3.png", "--steps: the steps given cannot give a phase"},
        {"--steps 0,90,x f1.png f2.png f3.png", "--steps needs numbers in degrees"},
        {"--steps ' 0,90,180' f1.png f2.png f3.png", "--steps needs numbers in degrees"},
        {"--steps 0,90,nan f1.png f2.png f3.png", "--steps needs numbers in degrees"},
        // A result must not replace a frame, however either is spelled.
        {"-o f2 f2_phase.png f1.png f3.png",
         "the result f2_phase.png would replace the frame f2_phase.png"},
        {"-o link/f2 f2_phase.png f1.png f3.png",
         "the result link/f2_phase.png would replace the frame f2_phase.png"},
        {"-o f3 f1.png f2.png f3_report.json",
         "the result f3_report.json would replace the frame f3_report.json"},
        {"--formats npy -o out f1.png f2.png f3.png w1.tiff w2.tiff out/f1_phase.npy",
         "the result out/f1_phase.npy would replace the frame out/f1_phase.npy"},
        {"-o f1 f1.png f2.png pointer.png",
         "the result f1_phase.png would replace the frame pointer.png"},
        {"--calibration rig.yml --periods 32,8 --steps 0,90,180 -o f1 f1.png f2.png f3.png "
         "w1.tiff w2.tiff f1_xyz.tiff",
         "the result f1_xyz.tiff would replace the frame f1_xyz.tiff"},
        // Points need the absolute phase of known steps; told before the
        // calibration is read (this one is not there).
        {"--calibration missing.yml f1.png f2.png f3.png",
         "--calibration needs --periods and --steps"},
        {"--calibration rig.yml --steps 0,90,180 f1.png f2.png f3.png",
         "--calibration needs --periods:"},
        {"--calibration rig.yml --periods 32,8 f1.png f2.png f3.png w1.tiff w2.tiff w3.tiff",
         "--calibration needs --steps:"},
        {"--calibration rig.yml,rig.yml,rig.yml f1.png f2.png f3.png",
         "--calibration takes one file, or the intrinsics and extrinsics files"},
        {"--formats tiff,ply f1.png f2.png f3.png",
         "--formats ply, depth and xyz need --calibration"},
    };
    ASSERT_EQ(run_in(folder,
                     "cp f2.png f2_phase.png && cp f3.png f3_report.json && ln -s . link && "
                     "mkdir out && cp w3.tiff out/f1_phase.npy && ln -s f1_phase.png pointer.png "
                     "&& cp f3.png f1_phase.png && cp w3.tiff f1_xyz.tiff && cp " +
                         SAMPLE_RIG + " rig.yml")
                  .status,
              0);
    const std::string before = listing();
    for (auto &c : cases) {
        const run_result r = phaze(c[0]);
        EXPECT_EQ(r.status, 2) << c[0];
        EXPECT_NE(r.output.find(std::string("phaze: ") + c[1]), std::string::npos) << r.output;
        EXPECT_EQ(listing(), before) << c[0];
    }
}

TEST_F(Command, BadInputFailsTheSetAndKeepsEarlierResults) {
    ASSERT_EQ(phaze("-q f1.png f2.png f3.png").status, 0);
    const std::string earlier =
        read_whole_file("f1_phase.tiff") + read_whole_file("f1_report.json");
    const std::string png = read_whole_file("f2.png");
    write_file("cut.png", png.substr(0, png.size() / 2));
    write_file("text.png", "not an image at all");
    write_file("short.pgm", "P5\n10 10\n255\nabc");  // 100 samples claimed, 3 there
    save("small.png", 2, 2, PIXELS_U8, bytes[0].data());
    save("wide.png", 64, 96, PIXELS_U8, bytes[0].data());
    // A calibration without T, made from the sample rig's text (the reader's
    // refusals are test_calibration.cpp's; here a missing file and a pair's).
    const std::string rig = read_whole_file(SAMPLE_RIG.c_str());
    write_file("no_t.yml", rig.substr(0, rig.find("\nT:")));
    write_file("rig.yml", rig);
    const std::string points =
        "--periods 32,8 --steps 0,97.403,200.535 f1.png f2.png f3.png "
        "f1.png f2.png f3.png --calibration ";
    const std::string cases[][2] = {
        {"f1.png missing.png f3.png", "phaze: missing.png: No such file or directory"},
        {"f1.png cut.png f3.png", "phaze: cut.png: "},
        {"f1.png text.png f3.png", "phaze: text.png: not a PNG, TIFF, JPEG, BMP, PGM or PPM image"},
        {"f1.png missing.png text.png",
         "phaze: missing.png: "},  // read side by side, told in order
        {"f1.png wide.png f3.png",
         "phaze: wide.png: its size 64 x 96 differs from f1.png's 96 x 64"},
        // Judged by its size before its samples are read: the first frame's memory
        // check bounds the others.
        {"f1.png short.pgm f3.png",
         "phaze: short.pgm: its size 10 x 10 differs from f1.png's 96 x 64"},
        {"f1.png f2.png w3.tiff", "phaze: w3.tiff: its samples are uint16, f1.png's uint8"},
        {"small.png small.png small.png -o f1",
         "phaze: small.png: frames of 2 x 2 pixels are too small"},
        {"f1.png f1.png f3.png", "phaze: f1.png: The frames hold no phase"},
        {"--periods 16,64 f1.png f2.png f3.png w1.tiff w2.tiff w3.tiff",
         "phaze: w1.tiff: its samples are uint16, f1.png's uint8"},
        // A calibration is read before any set, and a bad one fails them all.
        {points + "missing.yml", "phaze: missing.yml: No such file or directory"},
        {points + "rig.yml,no_t.yml", "phaze: rig.yml: no key M1"},
    };
    for (auto &c : cases) {
        const run_result r = phaze(c[0] + " -o f1");
        EXPECT_EQ(r.status, 1) << c[0];
        EXPECT_NE(r.output.find(c[1]), std::string::npos) << r.output;
        EXPECT_EQ(read_whole_file("f1_phase.tiff") + read_whole_file("f1_report.json"), earlier)
            << c[0];
        EXPECT_EQ(run_in(folder, "ls -A | grep -c '^\\.'").output, "0\n") << "no temporary left";
        EXPECT_EQ(run_in(folder, "ls f1_points.ply f1_depth.tiff f1_xyz.tiff 2>/dev/null").output,
                  "")
            << c[0];
    }
}

TEST_F(Command, ABatchRunsOnPastABadSet) {
    ASSERT_EQ(run_in(folder, "mkdir second && for k in 1 2 3; do cp w$k.tiff second/g$k.tiff; done")
                  .status,
              0);
    const run_result r = phaze(
        "-o out f1.png f2.png f3.png w1.tiff missing.tiff w3.tiff "
        "second/g1.tiff second/g2.tiff second/g3.tiff");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("phaze: missing.tiff: No such file or directory"), std::string::npos)
        << r.output;
    const std::string last = "phaze: 1 of 3 sets failed\n";
    EXPECT_EQ(r.output.substr(r.output.size() - last.size()), last) << r.output;
    EXPECT_EQ(run_in(folder, "ls out").output,
              "f1_mask.png\nf1_modulation.tiff\nf1_phase.png\nf1_phase.tiff\nf1_report.json\n"
              "g1_mask.png\ng1_modulation.tiff\ng1_phase.png\ng1_phase.tiff\ng1_report.json\n");
}

// A batch starts the command again with OpenMP's passive wait policy, also
// where the command itself was started by the dynamic loader.
TEST_F(Command, ABatchRunsThroughTheDynamicLoaderToo) {
    const std::string loader =
        run_in(folder, std::string("readelf -l ") + PHAZE_COMMAND +
                           " 2>/dev/null | sed -n 's/.*interpreter: \\(.*\\)]/\\1/p'")
            .output;
    if (loader.empty()) GTEST_SKIP() << "no readelf, or no interpreter named";
    const run_result r =
        run_in(folder, loader.substr(0, loader.size() - 1) + " " + PHAZE_COMMAND +
                           " -q -o out f1.png f2.png f3.png w1.tiff w2.tiff w3.tiff");
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(run_in(folder, "ls out | wc -l").output, "10\n");
}

TEST_F(Command, TextResultIsPhazeCpusToTheLastDigit) {
    ASSERT_EQ(run_phaze().status, 0);  // phaze-cpu on the same samples in the fixed layout
    const run_result r =
        phaze("--formats txt,json --min-modulation 0 --saturation 256 f1.png f2.png f3.png");
    ASSERT_EQ(r.status, 0) << r.output;
    // The same lines, but for a last digit at a rounding boundary (the library's
    // atan2 is within 1 ulp of phaze-cpu's exact one).
    const std::vector<double> ours = read_phase_text("f1_phase.txt"),
                              theirs = read_phase_text("phaze_cuda.txt");
    ASSERT_EQ(ours.size(), theirs.size());
    for (size_t i = 0; i < ours.size(); i++) ASSERT_NEAR(ours[i], theirs[i], 1.5e-6) << i;
    EXPECT_NE(read_whole_file("f1_report.json").find("\"masked_fraction\": 0.0,"),
              std::string::npos);
}

// Memory, disk and a folder in the way: the set fails with what ran out, leaves
// no temporary and no earlier result changed, and the batch goes on.
TEST_F(Command, ResourceFailuresFailTheSetAndLeaveNothing) {
    ASSERT_EQ(run_in(folder, "mkdir out").status, 0);
    ASSERT_EQ(phaze("-q -o out/f1 f1.png f2.png f3.png").status, 0);
    const std::string earlier = read_whole_file("out/f1_phase.tiff");
    const bool sanitized =
#if defined(__SANITIZE_ADDRESS__)
        true;
#else
        false;
#endif
    fringe_options big;
    big.width = big.height = 2048, big.noise = 1;
    if (!sanitized) save_frames("big", big);  // the sanitizers' shadow memory needs no limit
    const bool small_disk = run_in(folder,
                                   "mkdir -p full && mount -t tmpfs -o size=64k tmpfs full "
                                   "2>/dev/null")
                                .status == 0;
    struct failure {
        bool runs;
        const char *setup, *arguments, *says;
    } cases[] = {
        {small_disk, "", "-o full f1.png f2.png f3.png w1.tiff w2.tiff w3.tiff",
         "can't write it: No space left on device"},
        // (The limit leaves room for the command's libraries, the calibration
        // reader's among them, and the small set, not for the large one.)
        {!sanitized, "ulimit -v 60000", "-o out big1.png big2.png big3.png f1.png f2.png f3.png",
         "big1.png: not enough memory for a set of 2048 x 2048 frames"},
        {true, "rm out/f1_mask.png && mkdir out/f1_mask.png", "-o out/f1 f1.png f2.png f3.png",
         "out/f1_mask.png: can't write it: Is a directory"},
    };
    for (const failure &c : cases) {
        if (!c.runs) {
            printf("skipped: %s (%s)\n", c.arguments,
                   small_disk ? "under the sanitizers" : "no tmpfs can be mounted here");
            continue;
        }
        const run_result r = run_in(folder, std::string(c.setup) + (*c.setup ? "; " : "") +
                                                PHAZE_COMMAND + " " + c.arguments);
        EXPECT_EQ(r.status, 1) << c.arguments;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_EQ(run_in(folder, "ls -A out full 2>/dev/null | grep -c '^\\.'").output, "0\n")
            << "no temporary left: " << c.arguments;
        EXPECT_EQ(read_whole_file("out/f1_phase.tiff"), earlier) << c.arguments;
        if (strstr(c.setup, "ulimit") != NULL) {
            EXPECT_NE(r.output.find("1 of 2 sets failed"), std::string::npos) << r.output;
        }
    }
    if (small_disk) run_in(folder, "umount full");
}

// A memory control group of its own beside the tests' processes, with a limit
// of bytes; "" where none can be made here (no cgroup file system, no right).
static std::string limited_control_group(const std::string &name, long long bytes) {
    std::ifstream self("/proc/self/cgroup");
    std::string line;
    while (std::getline(self, line)) {
        const size_t first = line.find(':'), second = line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
        const bool v2 = controllers == ",,";
        if (!v2 && controllers.find(",memory,") == std::string::npos) continue;
        const std::string group = std::string("/sys/fs/cgroup") + (v2 ? "" : "/memory") +
                                  line.substr(second + 1) + "/" + name;
        if (mkdir(group.c_str(), 0755) != 0) continue;
        std::ofstream limit(group + (v2 ? "/memory.max" : "/memory.limit_in_bytes"));
        if (limit << bytes << std::flush) return group;
        rmdir(group.c_str());
    }
    return "";
}

// Under a memory limit a batch takes its sets in turn where they do not fit
// side by side, also where no thread can be had and every stage runs on the
// main one; and under a control group's limit (a container's) a set too large
// for it is refused with a message: none is killed by the kernel, none hangs.
TEST_F(Command, ABatchUnderAMemoryLimitTakesTurns) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizers' memory would not fit the limits";
#endif
    fringe_options big;
    big.width = big.height = 2048, big.noise = 1;
    const std::string sets = save_frames("a", big) + save_frames("b", big) + save_frames("c", big);
    // Stacks as large as the address space allows none: no thread starts.
    const run_result threadless = run_in(
        folder, "export OMP_NUM_THREADS=1; ulimit -s 1000000; ulimit -v 200000; timeout 60 " +
                    std::string(PHAZE_COMMAND) + " -q -o alone" + sets);
    EXPECT_EQ(threadless.status, 0) << threadless.output;
    EXPECT_EQ(run_in(folder, "ls alone/*_phase.tiff | wc -l").output, "3\n");

    const std::string group = limited_control_group("phaze-test-" + std::to_string(getpid()), 0);
    if (group.empty()) GTEST_SKIP() << "no memory control group can be made here";
    const char *limit_file =
        strstr(group.c_str(), "/memory/") ? "memory.limit_in_bytes" : "memory.max";
    const auto under = [&](int mib) {
        // (The shell that runs the command joins the group: a subshell's $$ is its parent's.)
        return run_in(folder, "echo " + std::to_string((long long)mib << 20) + " > " + group + "/" +
                                  limit_file + " && sh -c \"echo \\$\\$ > " + group +
                                  "/cgroup.procs && exec " + PHAZE_COMMAND + " -q -o out" + sets +
                                  "\"");
    };
    const run_result turns = under(150), refused = under(60);
    rmdir(group.c_str());
    EXPECT_EQ(turns.status, 0) << turns.output;
    EXPECT_EQ(run_in(folder, "ls out/*_phase.tiff | wc -l").output, "3\n");
    EXPECT_EQ(refused.status, 1) << refused.output;
    EXPECT_NE(refused.output.find("not enough memory for a set of 2048 x 2048 frames"),
              std::string::npos)
        << refused.output;
    EXPECT_NE(refused.output.find("3 of 3 sets failed"), std::string::npos) << refused.output;
}

// The phase picture is read at a glance: a masked pixel (clipped here) is black,
// a colour no phase has.
TEST_F(Command, PhasePictureShowsMaskedPixelsApart) {
    ASSERT_EQ(phaze("-q --saturation 215 f1.png f2.png f3.png").status, 0);
    image picture, mask;
    std::string reason;
    ASSERT_EQ(read_image("f1_phase.png", 1 << 20, &picture, &reason), 0) << reason;
    ASSERT_EQ(read_image("f1_mask.png", 1 << 20, &mask, &reason), 0) << reason;
    ASSERT_EQ(picture.channels, 3);
    int masked = 0;
    for (size_t i = 0; i < mask.data.size(); i++) {
        const unsigned char *rgb = &picture.data[3 * i];
        masked += mask.data[i] == 0;
        ASSERT_EQ(mask.data[i] == 0, rgb[0] == 0 && rgb[1] == 0 && rgb[2] == 0) << i;
    }
    EXPECT_GT(masked, 0);
    EXPECT_LT(masked, (int)mask.data.size());
}

TEST_F(Command, ResultsWhateverTheFileNames) {
    ASSERT_EQ(run_in(folder, "cp f1.png \"$(printf 'f\\377.png')\"").status, 0);
    const run_result r = phaze("-q -o r \"$(printf 'f\\377.png')\" f2.png f3.png");
    ASSERT_EQ(r.status, 0) << r.output;
    const auto report = nlohmann::json::parse(read_whole_file("r_report.json"), nullptr, false);
    ASSERT_FALSE(report.is_discarded()) << read_whole_file("r_report.json");
    EXPECT_EQ(report["inputs"][0], "f\uFFFD.png");
    // The longest results, 255 bytes (_modulation.tiff on 239): their temporaries fit too.
    const std::string longest(239, 'p');
    const run_result fits = phaze("-q --unwrap -o " + longest + " f1.png f2.png f3.png");
    EXPECT_EQ(fits.status, 0) << fits.output;
    EXPECT_EQ(run_in(folder, "ls " + longest + "_* | wc -l").output, "6\n");
}

// Steps given (in degrees: the points test below needs them so) that the
// frames' own steps contradict are told on the console and in the report.
TEST_F(Command, KnownStepsAreCheckedAgainstTheFrames) {
    const run_result r = phaze("--steps 0,90,180 -o wrong f1.png f2.png f3.png");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_NE(r.output.find("warning: the frames' steps differ from the steps given (given 0.0, "
                            "90.0, 180.0 degrees; the frames show 0.0, 97."),
              std::string::npos)
        << r.output;
    const auto report = nlohmann::json::parse(read_whole_file("wrong_report.json"));
    EXPECT_NE(((std::string)report["warnings"].back()).find("the frames show"), std::string::npos);
}

// Three three-frame sets, the coarsest about 0.6 of a fringe across, each with
// steps of its own: one absolute phase, right everywhere it says it is valid;
// --unwrap adds the spatial one.
TEST_F(Command, PeriodsAndUnwrapping) {
    fringe_options o;
    o.width = 256, o.height = 192, o.noise = 1;
    const double periods[3] = {16, 64, 512}, step_sets[3][3] = {{0, 1.9, 4.1}, {0, 2.3, 4.4},
                                                               {0, 1.6, 3.3}};
    std::string names;
    for (int s = 0; s < 3; s++) {
        o.period = periods[s];
        for (int k = 0; k < 3; k++) o.steps[k] = step_sets[s][k];
        names += save_frames("t" + std::to_string((int)periods[s]) + "_", o);
    }
    const run_result r = phaze("--periods 16,64,512 --unwrap -o a" + names);
    ASSERT_EQ(r.status, 0) << r.output;
    const auto report = nlohmann::json::parse(read_whole_file("a_report.json"));
    EXPECT_EQ(report["periods"].size(), 3u);
    EXPECT_EQ(report["unwrapped_regions"], 1);
    EXPECT_EQ(report["inputs"].size(), 9u);
    EXPECT_EQ(report["warnings"].size(), 0u) << report["warnings"];
    image absolute;
    std::string reason;
    ASSERT_EQ(read_image("a_phase.tiff", 1 << 22, &absolute, &reason), 0) << reason;
    const float *p = (const float *)absolute.data.data();
    o.period = 16;
    const std::vector<double> truth = fringe_phase(o);
    // The absolute phase is the finest period's phase, up to one constant.
    const double offset = p[0] - truth[0];
    size_t valid = 0, wrong = 0;
    for (size_t i = 0; i < truth.size(); i++)
        if (std::isfinite(p[i])) valid++, wrong += fabs(p[i] - truth[i] - offset) > PI;
    EXPECT_GE(valid, truth.size() * 99 / 100);
    EXPECT_EQ(wrong, 0u);
}

static double quantile(std::vector<double> values, double q) {
    if (values.empty()) return NAN;
    const size_t at = std::min(values.size() - 1, (size_t)(q * values.size()));
    std::nth_element(values.begin(), values.begin() + at, values.end());
    return values[at];
}

// A sphere before a wall, seen through the sample rig and lit by vertical
// fringes at three periods (the coarsest wider than the projector), four steps
// of 90 degrees: the points the command makes lie on the rendered surface.
TEST_F(Command, PointsOfACalibratedRigLieOnTheScene) {
    using namespace phaze_internal;
    const scene_view view = sample_scene(SCENE_SPHERE);
    const double periods[3] = {1280, 160, 20};
    fringe_light light;
    light.noise = 1;
    std::string frames;
    std::vector<uint16_t> samples(view.column.size());
    std::vector<unsigned char> bytes(samples.size());
    for (int j = 0; j < 3; j++)
        for (int k = 0; k < 4; k++) {
            render_fringe_frame(view, false, periods[j], k * PI / 2, light, 4 * j + k,
                                samples.data());
            std::copy(samples.begin(), samples.end(), bytes.begin());
            const std::string name = "p" + std::to_string(j) + "_" + std::to_string(k) + ".png";
            save(name, view.width, view.height, PIXELS_U8, bytes.data());
            frames += " " + name;
        }
    ASSERT_EQ(run_in(folder, "cp " + SAMPLE_RIG + " rig.yml").status, 0);
    const run_result r = phaze(
        "--periods 1280,160,20 --steps 0,90,180,270 --frames 4 "
        "--calibration rig.yml -o s" +
        frames);
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(run_in(folder, "ls s_*").output,
              "s_depth.tiff\ns_mask.png\ns_modulation.tiff\ns_phase.png\ns_phase.tiff\n"
              "s_points.ply\ns_report.json\ns_xyz.tiff\n");
    const std::vector<float> depth = read_floats("s_depth.tiff"), xyz = read_floats("s_xyz.tiff");
    const std::vector<ply_vertex> ply = read_ply("s_points.ply");
    const size_t pixels = view.column.size();
    ASSERT_EQ(depth.size(), pixels);
    ASSERT_EQ(xyz.size(), 3 * pixels);
    // The three files hold the same points, the PLY's in row order.
    size_t points = 0, interior = 0, interior_points = 0, stray = 0;
    std::vector<double> errors;
    for (int y = 0; y < view.height; y++)
        for (int x = 0; x < view.width; x++) {
            const size_t i = (size_t)y * view.width + x;
            const bool point = isfinite(depth[i]);
            ASSERT_EQ(point,
                      isfinite(xyz[3 * i]) && isfinite(xyz[3 * i + 1]) && isfinite(xyz[3 * i + 2]))
                << i;
            if (point) {
                ASSERT_LT(points, ply.size());
                EXPECT_EQ(depth[i], xyz[3 * i + 2]);
                for (int c = 0; c < 3; c++) ASSERT_EQ(ply[points].xyz[c], xyz[3 * i + c]) << i;
                EXPECT_NEAR(ply[points].gray, 128, 3) << "the background A: " << i;
                points++;
            }
            // Lit pixels two or more away from an edge of the light or the surface.
            bool inside = x >= 2 && y >= 2 && x < view.width - 2 && y < view.height - 2;
            for (int dy = -2; inside && dy <= 2; dy++)
                for (int dx = -2; inside && dx <= 2; dx++)
                    inside = isfinite(view.column[i + dy * view.width + dx]);
            interior += inside, interior_points += inside && point;
            if (point && !isfinite(view.column[i])) stray++;
            if (point && isfinite(view.column[i])) {
                double squares = 0;
                for (int c = 0; c < 3; c++) squares += pow(xyz[3 * i + c] - view.xyz[3 * i + c], 2);
                errors.push_back(sqrt(squares));
            }
        }
    EXPECT_EQ(points, ply.size());
    const auto report = nlohmann::json::parse(read_whole_file("s_report.json"));
    EXPECT_EQ(report["points"], points);
    EXPECT_EQ(report["steps"].size(), 4u) << "sets of --frames 4";
    EXPECT_EQ(report["inputs"].size(), 12u);
    EXPECT_GT(interior, pixels / 2);
    EXPECT_GE(interior_points, 0.99 * interior) << interior_points << " of " << interior;
    EXPECT_EQ(stray, 0u) << "points where no light falls";
    // The sphere is about 500 mm away; a column off by 0.1 pixel moves a point about 0.2 mm.
    EXPECT_LT(quantile(errors, 0.5), 0.05) << "mm";
    EXPECT_LT(quantile(errors, 0.99), 0.3) << "mm";
    EXPECT_NE(r.output.find(std::to_string(points) + " points"), std::string::npos) << r.output;

    // A point file that cannot be written fails the result: none of its files changes.
    const std::string earlier = read_whole_file("s_phase.tiff") + read_whole_file("s_points.ply");
    ASSERT_EQ(run_in(folder, "rm s_xyz.tiff && mkdir s_xyz.tiff").status, 0);
    const run_result blocked = phaze(
        "--periods 1280,160,20 --steps 0,90,180,270 --frames 4 "
        "--calibration rig.yml -o s" +
        frames);
    EXPECT_EQ(blocked.status, 1);
    EXPECT_NE(blocked.output.find("phaze: s_xyz.tiff: can't write it: Is a directory"),
              std::string::npos)
        << blocked.output;
    EXPECT_EQ(read_whole_file("s_phase.tiff") + read_whole_file("s_points.ply"), earlier);
    EXPECT_EQ(run_in(folder, "ls -A | grep -c '^\\.'").output, "0\n") << "no temporary left";

    // Three of the steps, whose cosines do not average to zero: the background
    // still comes out as the scene's; --formats chooses among the point files.
    std::string three;
    for (int j = 0; j < 3; j++)
        for (int k = 0; k < 3; k++)
            three += " p" + std::to_string(j) + "_" + std::to_string(k) + ".png";
    const run_result t = phaze(
        "-q --formats ply,json --periods 1280,160,20 --steps 0,90,180 "
        "--calibration rig.yml -o t" +
        three);
    ASSERT_EQ(t.status, 0) << t.output;
    EXPECT_EQ(run_in(folder, "ls t_*").output, "t_points.ply\nt_report.json\n");
    const std::vector<ply_vertex> from_three = read_ply("t_points.ply");
    EXPECT_GT(from_three.size(), 0.99 * points);
    size_t off = 0;
    for (const ply_vertex &v : from_three) off += fabs(v.gray - 128.0) > 5;
    EXPECT_EQ(off, 0u) << "of " << from_three.size() << " grays, off the background";
}
