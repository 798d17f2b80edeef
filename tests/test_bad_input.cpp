// Bad input and failed output, run as a process: a clear message, status 1, and
// the result files of an earlier run left exactly as they were.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "engines/stage_engine.h"
#include "tests/end_to_end.h"

using namespace phaze_internal;

class BadInput : public EndToEnd {
  protected:
    void SetUp() override {  // a good frame set, and the results of a good run
        EndToEnd::SetUp();
        fringe_options options;
        options.width = 40, options.height = 30;
        make(options);
        ASSERT_EQ(run_phaze().status, 0);
        earlier = results();
    }
    void expect_refused(const std::string &message, const std::string &environment = "") {
        const run_result r = run_phaze(environment);
        EXPECT_EQ(r.status, 1) << r.output;
        EXPECT_NE(r.output.find(message), std::string::npos) << r.output;
        EXPECT_EQ(r.output.find("output files: - done!"), std::string::npos) << r.output;
        EXPECT_EQ(results(), earlier);
        EXPECT_EQ(run_in(folder, "ls -A | grep -c phaze_cuda").output, "2\n") << "no leftovers";
    }
    std::string earlier;
};

// Each bad config, frame or template: the good files are put back between rows.
TEST_F(BadInput, BadFiles) {
    const char *cases[][3] = {
        {"echo size > config.txt", "Can't read frame size from config file!\nInit error!\n"},
        {"printf 'size\\n640\\n' > config.txt", "Can't read frame size from config file!"},
        {"printf 'size\\n640,480\\n' > config.txt", "Can't read frame size from config file!"},
        {"printf 'size\\n0 480\\n' > config.txt", "Frame size 0 x 480 from config file is not usable"},
        {"printf 'size\\n640 -480\\n' > config.txt",
         "Frame size 640 x -480 from config file is not usable"},
        {"printf 'size\\n2 2\\n' > config.txt",
         "Frame size 2 x 2 from config file is too small: phaze needs at least 5"},
        {"printf 'size\\n65536 65536\\n' > config.txt",
         "Frame size 65536 x 65536 from config file is too large"},
        {"printf 'size\\n99999999999 1\\n' > config.txt",
         "Frame size 99999999999 x 1 from config file is too large"},
        // What a pixel needs depends on the engine: the stages' 66 bytes a pixel do
        // not fit this machine, phaze-cpu's 6 do (and then the frames are too short).
        {"printf 'size\\n46340 46340\\n' > config.txt", "Frame size 46340 x 46340 needs",
         "FAKE_GPU_FAIL=none:1"},
        {"printf 'size\\n46340 46340\\n' > config.txt",
         "I1.bmp is too short for a 46340 x 46340 frame!"},
        {"head -c 3655 good/I3.bmp > I3.bmp",
         "\tData reading:I3.bmp is too short for a 40 x 30 frame! It should have at least 3656 "
         "bytes."},
        {"head -c 56 good/I3.bmp > I3.bmp", "I3.bmp is too short for a 40 x 30 frame!"},
        {"rm I2.bmp", "\tData reading:Can't open I2.bmp file!"},
        {"rm I2.bmp && mkdir I2.bmp", "\tData reading:Can't open I2.bmp file!"},
        {"head -c 55 good/bmp_header.bmp > bmp_header.bmp", "bmp_header.bmp is too short!"},
        {"rm bmp_header.bmp", "Can't open bmp_header.bmp file!"},
    };
    ASSERT_EQ(run_in(folder, "mkdir good && cp config.txt I?.bmp bmp_header.bmp good").status, 0);
    for (auto &c : cases) {
        ASSERT_EQ(run_in(folder, std::string("rm -rf I2.bmp && cp good/* . && ") + c[0]).status, 0);
        expect_refused(c[1], c[2] != NULL ? c[2] : "");
    }
}

TEST_F(BadInput, AFolderWhereAResultGoes) {
    // A folder standing where a result goes: neither result may change.
    ASSERT_EQ(rename((folder + "/phaze_cuda.txt").c_str(), (folder + "/kept.txt").c_str()), 0);
    ASSERT_EQ(mkdir((folder + "/phaze_cuda.txt").c_str(), 0777), 0);
    const run_result r = run_phaze();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("Can't write phaze_cuda.txt file (Is a directory)!"), std::string::npos)
        << r.output;
    EXPECT_EQ(read_whole_file((folder + "/phaze_cuda.bmp").c_str()) + "|" +
                  read_whole_file((folder + "/kept.txt").c_str()),
              earlier);
    EXPECT_EQ(run_in(folder, "ls -A | grep -c '^\\.'").output, "0\n") << "no temporary left";
}

TEST_F(BadInput, DeviceFailuresEndTheRunWithTheRuntimesText) {
    // Downloads: 3 reference points, X and Y in MOMENT_CHUNKS chunks, 3 reference
    // points, the phase. Synchronisations: 2, one wait a chunk, ...
    const std::string chunk_wait = "sync:" + std::to_string(2 + MOMENT_CHUNKS / 2);
    const std::string phase_download = "download:" + std::to_string(3 + 2 * MOMENT_CHUNKS + 3 + 1);
    const std::string cases[][2] = {
        {"host:1", "memory allocation...\nNot enough memory on host!\n"},
        {"host:4", "\nNot enough memory on host!\n"},
        {"alloc:2", "memory allocation...\nNot enough memory on CUDA device!\n"},
        {"alloc:4", "\nNot enough memory on CUDA device!\n"},
        {"upload:3",
         "\tCalculations on CUDA device:\nCUDA device error: injected upload failure!\n"},
        {"launch:1", "\nCUDA device error: injected launch failure!\n"},
        {"launch:5", "\nCUDA device error: injected launch failure!\n"},
        {"sync:2", "\nCUDA device error: injected sync failure!\n"},
        {chunk_wait, "\nCUDA device error: injected sync failure!\n"},
        {"download:9", "\nCUDA device error: injected download failure!\n"},
        {phase_download, "\nCUDA device error: injected download failure!\n"},
    };
    for (auto &c : cases) expect_refused(c[1], std::string("FAKE_GPU_FAIL=") + c[0]);
    EXPECT_EQ(run_phaze("FAKE_GPU_FAIL=none:1").status, 0)
        << "without a fault the driver completes";
}

TEST_F(BadInput, FramesThatHoldNoPhase) {
    const std::string one = read_whole_file((folder + "/I1.bmp").c_str());
    std::string flat = one;
    for (size_t k = 56; k < flat.size(); k++) flat[k] = (char)200;
    const std::string message =
        "\tCalculations on CUDA device:\nThe frames hold no phase: their points form no ellipse";
    const char *duplicated[] = {"I2.bmp", "I3.bmp"};
    for (const char *name : duplicated) {
        const std::string kept = read_whole_file((folder + "/" + name).c_str());
        write_file(folder + "/" + name, one);
        expect_refused(message);
        write_file(folder + "/" + name, kept);
    }
    for (const char *name : {"I1.bmp", "I2.bmp", "I3.bmp"}) write_file(folder + "/" + name, flat);
    expect_refused(message);

    // Pixels 0 to 2 collapse to rounding noise that still looks like a plane.
    const std::vector<unsigned char> small[3] = {{216, 204, 249, 216, 204, 204},
                                                 {216, 204, 249, 216, 204, 204},
                                                 {249, 216, 249, 249, 216, 249}};
    make_from_samples(6, 1, small);
    expect_refused(message);
}

TEST_F(BadInput, AFailedReplacementPutsTheFirstResultBack) {
    // In a sticky folder a user may replace only their own files: the picture is
    // theirs, the text is not, so the second rename fails.
    if (geteuid() != 0 || system("command -v setpriv >/dev/null") != 0)
        GTEST_SKIP() << "needs root and setpriv";
    fringe_options options;
    options.width = 40, options.height = 30, options.steps[1] = 1.7;
    make(options);
    ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
    ASSERT_EQ(chown((folder + "/phaze_cuda.bmp").c_str(), 65534, 65534), 0);
    const run_result r = run_in(
        folder, std::string("setpriv --reuid=65534 --regid=65534 --clear-groups ") + PHAZE_CPU);
    EXPECT_EQ(r.status, 1) << r.output;
    EXPECT_NE(r.output.find("Can't write phaze_cuda.txt file (Operation not permitted)!"),
              std::string::npos)
        << r.output;
    EXPECT_EQ(results(), earlier);
    EXPECT_EQ(run_in(folder, "ls -A | grep -c phaze_cuda").output, "2\n") << "no leftovers";
}

static int hidden_files(const std::string &folder) {
    int count = 0;
    DIR *dir = opendir(folder.c_str());
    for (dirent *entry; dir != NULL && (entry = readdir(dir)) != NULL;)
        count += strncmp(entry->d_name, ".phaze-", 7) == 0;
    if (dir != NULL) closedir(dir);
    return count;
}

TEST_F(BadInput, ASignalWhileWritingLeavesNoTemporaryFiles) {
    fringe_options options;
    options.width = 2048, options.height = 1024, options.steps[1] = 1.7;
    make(options);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        bool caught = false;
        for (int attempt = 0; attempt < 5 && !caught; attempt++) {
            const pid_t child = fork();
            if (child == 0) {
                if (freopen("/dev/null", "r", stdin) == NULL ||
                    freopen("/dev/null", "w", stdout) == NULL)
                    _exit(127);
                execl(PHAZE_CPU_FILE, PHAZE_CPU_FILE, (char *)NULL);
                _exit(127);
            }
            int status = 0;
            while (waitpid(child, &status, WNOHANG) == 0) {
                if (hidden_files(folder) > 0) {
                    kill(child, signal_number);
                    caught = true;
                    waitpid(child, &status, 0);
                    break;
                }
                usleep(200);
            }
            if (!caught) continue;
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
            EXPECT_EQ(hidden_files(folder), 0) << signal_number;
            EXPECT_EQ(results(), earlier);
        }
        EXPECT_TRUE(caught) << "never saw the run writing";
    }
}
