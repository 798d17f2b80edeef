// phaze_bench: phaze-cpu beside the plain way, the way a user meets them: the two
// run alternately as processes on one generated frame set, each plain run writing
// its results between phaze's runs. Prints each pair, the medians and spreads,
// phaze's peak memory and the floor (reading the frames and writing files of the
// results' sizes), and checks that both give the same bytes.
// --verify-formatter N compares the %lf formatter with snprintf on N doubles.
#include <math.h>
#include <omp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "bench/plain_way.h"
#include "shared/format_lf.h"
#include "shared/quantise_phase.h"
#include "shared/frameset.h"

// The plain way as a process of its own, so this process stays small.
static void plain_run(int W, int H) {
    const int SIZE = W * H;
    std::vector<double> X(SIZE), Y(SIZE), Z(SIZE), phase(SIZE);
    if (plain_read_frames(X.data(), Y.data(), Z.data(), W, H)) _exit(1);
    plain_phase(X.data(), Y.data(), Z.data(), phase.data(), SIZE);
    std::vector<unsigned char> gray(SIZE);
    for (int i = 0; i < SIZE; i++) gray[i] = quantise_phase(phase[i]);
    _exit(plain_write_bmp(gray.data(), "plain.bmp", W, H) ||
          plain_write_text(phase.data(), SIZE, "plain.txt"));
}

// Reads the frames and writes files of the results' sizes: no run can beat it.
static void floor_run(size_t picture_bytes, size_t text_bytes) {
    std::vector<char> block(1 << 20);
    for (const char *name : {"I1.bmp", "I2.bmp", "I3.bmp"}) {
        FILE *file = fopen(name, "rb");
        while (fread(block.data(), 1, block.size(), file) == block.size()) {
        }
        fclose(file);
    }
    const size_t sizes[2] = {picture_bytes, text_bytes};
    const char *names[2] = {"floor.bmp", "floor.txt"};
    for (int f = 0; f < 2; f++) {
        FILE *file = fopen(names[f], "wb");
        for (size_t left = sizes[f]; left > 0;) {
            const size_t n = left < block.size() ? left : block.size();
            fwrite(block.data(), 1, n, file);
            left -= n;
        }
        fclose(file);
    }
    _exit(0);
}

// Seconds a child took, start to end; its peak memory goes to *peak_kib.
template <typename Child>
static double timed_child(Child child_work, long *peak_kib = NULL) {
    fflush(stdout);  // or the child writes this process's buffer again
    const double start = omp_get_wtime();
    const pid_t child = fork();
    if (child == 0) child_work();
    int status = 0;
    struct rusage usage;
    wait4(child, &status, 0, &usage);
    const double took = omp_get_wtime() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "phaze_bench: a run failed\n");
        exit(1);
    }
    if (peak_kib != NULL && usage.ru_maxrss > *peak_kib) *peak_kib = usage.ru_maxrss;
    return took;
}

static void run_phaze_cpu(void) {
    if (freopen("/dev/null", "r", stdin) == NULL || freopen("/dev/null", "w", stdout) == NULL)
        _exit(127);
    execl(PHAZE_CPU, PHAZE_CPU, (char *)NULL);
    _exit(127);
}

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

static int verify_formatter(long long count) {
    long long mismatches = 0;
    const double start = omp_get_wtime();
#pragma omp parallel reduction(+ : mismatches)
    {
        uint64_t state = 0x9e3779b97f4a7c15ull * (uint64_t)(omp_get_thread_num() + 1);
        char ours[FORMAT_LF_MAX + 1], theirs[FORMAT_LF_MAX + 1];
#pragma omp for schedule(static)
        for (long long i = 0; i < count; i++) {
            state ^= state << 13, state ^= state >> 7, state ^= state << 17;
            const uint64_t bits = state;
            double value;
            switch (i % 4) {
                case 0: memcpy(&value, &bits, sizeof value); break;  // any double
                case 1: value = ldexp((double)(bits >> 11), (int)(bits % 80) - 100); break;
                case 2: value = (double)(bits >> 11) * 0x1p-53 * 6.283185307179586; break;
                default:
                    value = (double)((int64_t)(bits % 2000000001) - 1000000000) /
                            (double)(1 << (bits % 24));
            }
            const size_t length = format_lf(value, ours);
            ours[length] = '\0';
            snprintf(theirs, sizeof theirs, "%lf", value);
            if (strcmp(ours, theirs) != 0) mismatches++;
        }
    }
    printf("formatter: %lld random doubles against snprintf in %.1f s: %lld mismatches\n", count,
           omp_get_wtime() - start, mismatches);
    return mismatches == 0 ? 0 : 1;
}

int main(int argc, char **argv) {
    int W = 4096, H = 4096, pairs = 5;
    long long verify = 0;
    for (int a = 1; a < argc; a++) {
        if (strcmp(argv[a], "--size") == 0 && a + 1 < argc) {
            if (sscanf(argv[++a], "%dx%d", &W, &H) != 2 || W <= 0 || H <= 0 ||
                (long long)W * H > 1 << 28)
                return fprintf(stderr, "phaze_bench: bad --size\n"), 1;
        } else if (strcmp(argv[a], "--pairs") == 0 && a + 1 < argc) {
            pairs = atoi(argv[++a]) > 0 ? atoi(argv[a]) : 1;
        } else if (strcmp(argv[a], "--verify-formatter") == 0 && a + 1 < argc) {
            verify = atoll(argv[++a]);
        } else {
            printf("usage: phaze_bench [--size WxH] [--pairs N] [--verify-formatter COUNT]\n");
            return 1;
        }
    }
    if (verify > 0) return verify_formatter(verify);

    char folder[] = "/tmp/phaze-bench-XXXXXX";
    if (mkdtemp(folder) == NULL || chdir(folder) != 0) return 1;
    fringe_options options;
    options.width = W, options.height = H;
    options.pattern = "bump", options.noise = 1.5;
    if (make_fringe_set(".", options, NULL)) return 1;

    printf("phaze_bench: %d x %d frames, %d pairs of runs, %d threads\n\n", W, H, pairs,
           omp_get_max_threads());
    printf("| pair | plain way (s) | phaze-cpu (s) | plain/phaze |\n");
    printf("|------|---------------|---------------|-------------|\n");
    std::vector<double> plain, fast, ratios;
    long peak_kib = 0;
    for (int p = 0; p < pairs; p++) {
        plain.push_back(timed_child([&] { plain_run(W, H); }));
        fast.push_back(timed_child(run_phaze_cpu, &peak_kib));
        ratios.push_back(plain.back() / fast.back());
        printf("| %4d | %13.3f | %13.3f | %10.1fx |\n", p + 1, plain.back(), fast.back(),
               ratios.back());
    }
    const std::string picture = read_whole_file("phaze_cuda.bmp"),
                      text = read_whole_file("phaze_cuda.txt");
    const bool same =
        picture == read_whole_file("plain.bmp") && text == read_whole_file("plain.txt");
    std::vector<double> floors;
    for (int p = 0; p < 3; p++)
        floors.push_back(timed_child([&] { floor_run(picture.size(), text.size()); }));

    const auto spread = [](const std::vector<double> &v) {
        return std::string(" (") +
               std::to_string(*std::min_element(v.begin(), v.end())).substr(0, 6) + " to " +
               std::to_string(*std::max_element(v.begin(), v.end())).substr(0, 6) + ")";
    };
    printf("\nmedians: plain way %.3f s, phaze-cpu %.3f s%s\n", median(plain), median(fast),
           spread(fast).c_str());
    printf("plain/phaze: median %.1fx%s\n", median(ratios), spread(ratios).c_str());
    printf("phaze-cpu slowest/fastest: %.2f\n", *std::max_element(fast.begin(), fast.end()) /
                                                    *std::min_element(fast.begin(), fast.end()));
    printf("phaze-cpu peak memory: %.1f bytes a pixel\n", peak_kib * 1024.0 / ((double)W * H));
    printf(
        "floor (read the frames, write files of the results' sizes): median %.3f s; phaze-cpu %.2f "
        "times it\n",
        median(floors), median(fast) / median(floors));
    printf("results identical to the plain way: %s\n", same ? "yes" : "NO");
    if (chdir("/") != 0 || system((std::string("rm -rf '") + folder + "'").c_str()) != 0) return 1;
    return same ? 0 : 1;
}
