// phaze-cpu run as a process in a scratch folder on generated frames.
#include <gtest/gtest.h>
#include <ctype.h>
#include <math.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "bench/plain_way.h"
#include "tests/end_to_end.h"

// Every number in the console's text as N: thread counts and times vary.
static std::string numbers_as_n(const std::string &text) {
    std::string out;
    for (size_t k = 0; k < text.size(); k++) {
        if (!isdigit((unsigned char)text[k])) {
            out += text[k];
            continue;
        }
        while (k + 1 < text.size() && (isdigit((unsigned char)text[k + 1]) || text[k + 1] == '.'))
            k++;
        out += 'N';
    }
    return out;
}

TEST_F(EndToEnd, ConsoleOfACompleteRun) {
    fringe_options options;
    options.width = 64, options.height = 48;
    make(options);
    const run_result r = run_phaze();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(numbers_as_n(r.output),
              "Device N is the host processor: kernels run on N threads.\n"
              "\nYou device is supported. Press any key to start...\n"
              "memory allocation... - done!\n"
              "Phaze calculation has started:\n"
              "\tData reading: - done!\n"
              "\tCalculations on CUDA device: - done!\n"
              "\tWriting result to output files: - done!\n"
              "\nPhaze calculations is done.\n"
              "Time on CUDA wasted(algorithm only): N seconds.\n"
              "Overall time wasted: N seconds.\n"
              "memory cleanup: - done!\nPress any key to exit...\n");
    EXPECT_EQ(read_whole_file((folder + "/phaze_cuda.bmp").c_str()).size(), 56u + 3 * 64 * 48);
}

// Parallel loops and once-per-launch angles must not change a single bit.
TEST_F(EndToEnd, ResultFilesEqualAPlainSerialEvaluation) {
    for (const char *pattern : {"tilt", "bump", "random"}) {
        fringe_options options;
        options.width = 200, options.height = 150;
        options.pattern = pattern, options.noise = 1.5, options.steps[1] = 1.9;
        const std::vector<double> truth = make(options);
        std::vector<unsigned char> frames[3];
        fringe_samples(options, truth, frames);
        const int SIZE = options.width * options.height;
        std::vector<double> X(frames[0].begin(), frames[0].end()),
            Y(frames[1].begin(), frames[1].end()), Z(frames[2].begin(), frames[2].end()),
            phase(SIZE);
        plain_phase(X.data(), Y.data(), Z.data(), phase.data(), SIZE);
        std::string text, picture;
        char line[64];
        for (double value : phase) {
            text.append(line, (size_t)snprintf(line, sizeof line, "%lf\n", value));
            const double level = value / 6.283185307179586 * 255.0;
            picture.append(3, (char)(level == level ? (long long)level & 0xff : 0));
        }
        ASSERT_EQ(run_phaze().status, 0);
        EXPECT_TRUE(read_whole_file("phaze_cuda.txt") == text) << pattern;
        EXPECT_TRUE(read_whole_file("phaze_cuda.bmp").substr(56) == picture) << pattern;
    }
}

// phaze-cpu runs on the CPU engine, phaze-faulty (without a fault) on the kernel
// stages: the same console text, files and status, refusals included.
TEST_F(EndToEnd, BothEnginesGiveTheSameRun) {
    const char *breakages[] = {"", "cp I1.bmp I3.bmp", "rm bmp_header.bmp", "mkdir phaze_cuda.bmp"};
    for (const char *pattern : {"bump", "random"})
        for (const char *breakage : breakages) {
            fringe_options options;
            options.width = 300, options.height = 200, options.pattern = pattern,
            options.border = 2;
            options.noise = 1, options.steps[1] = 1.7, options.steps[2] = 3.5;
            run_in(folder, "rm -rf *");
            make(options);
            run_in(folder, breakage);
            const run_result engine = run_phaze();
            const std::string engine_files = results();
            run_in(folder, "rm -f phaze_cuda.txt; [ -d phaze_cuda.bmp ] || rm -f phaze_cuda.bmp");
            const run_result stages = run_phaze("FAKE_GPU_FAIL=none:1");
            EXPECT_EQ(engine.status, stages.status) << pattern << breakage;
            EXPECT_EQ(numbers_as_n(engine.output), numbers_as_n(stages.output))
                << pattern << breakage;
            EXPECT_TRUE(engine_files == results()) << pattern << breakage;
        }
}

TEST_F(EndToEnd, AClosedOrUnreadableInputEndsTheKeyWaits) {
    fringe_options options;
    options.width = 40, options.height = 30;
    make(options);
    for (const char *input : {"<&-", "</tmp"}) {
        const run_result r = run_phaze(std::string("timeout 30 ") + PHAZE_CPU + " " + input);
        EXPECT_EQ(r.status, 0) << input << r.output;
    }
}

// Waits until the terminal is in the key wait's raw mode, or the child has ended.
static bool at_key_wait(int terminal, pid_t child) {
    for (int tries = 0; tries < 4000; tries++) {
        termios mode;
        if (tcgetattr(terminal, &mode) == 0 && !(mode.c_lflag & ICANON)) return true;
        if (waitpid(child, NULL, WNOHANG) != 0) return false;
        usleep(5000);
    }
    return false;
}

TEST_F(EndToEnd, AnArrowKeyIsOneKeyPress) {
    fringe_options options;
    options.width = 40, options.height = 30;
    make(options);
    int terminal = -1;
    const pid_t child = forkpty(&terminal, NULL, NULL, NULL);
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (freopen("console.txt", "w", stdout) == NULL) _exit(127);
        execl(PHAZE_CPU_FILE, PHAZE_CPU_FILE, (char *)NULL);
        _exit(127);
    }
    ASSERT_TRUE(at_key_wait(terminal, child)) << "the start prompt";
    ASSERT_EQ(write(terminal, "\x1b[A", 3), 3);  // Up
    usleep(300000);
    ASSERT_TRUE(at_key_wait(terminal, child)) << "the exit prompt";
    usleep(300000);
    EXPECT_EQ(waitpid(child, NULL, WNOHANG), 0) << "the rest of the arrow key passed the exit wait";
    ASSERT_EQ(write(terminal, "q", 1), 1);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(read_whole_file("console.txt").find("Press any key to exit"), std::string::npos);
    close(terminal);
}
