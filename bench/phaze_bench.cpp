// phaze_bench: each stage of phaze-cpu timed beside the plain way in one run, on one
// generated frame set, and the whole run beside its floor (reading the three frames
// and writing files of the results' sizes). Prints ratios; checks the results are
// the same bytes. --verify-formatter N compares the %lf formatter with snprintf.
#include <omp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/plain_way.h"
#include "device/launch.h"
#include "device/moments.h"
#include "device/reference_points.h"
#include "host/format_lf.h"
#include "host/read_frames.h"
#include "host/write_results.h"
#include "tools/frameset.h"

static int repeats = 3;

template <typename Step>
static double best_time(Step step) {
    double best = 1e300;
    for (int r = 0; r < repeats; r++) {
        const double start = omp_get_wtime();
        step();
        const double took = omp_get_wtime() - start;
        if (took < best) best = took;
    }
    return best;
}

// The kernels of the run through the CPU flavour's launchers, in the run's order.
static void phaze_kernels(double *X, double *Y, double *Z, double *phase, int SIZE, double q[3],
                          double *moment_seconds) {
    launch_find_circle_f(X, Y, Z, SIZE);
    reference_points p = first_rotation_points(first_pixels(X, Y, Z));
    launch_rotate_cuda(X, Y, Z, SIZE, p.x[0], p.x[1], p.x[2], p.y[0], p.y[1], p.y[2], p.z[0],
                       p.z[1], p.z[2]);
    const double start = omp_get_wtime();
    const moment_sums m = sum_moments(X, Y, SIZE);
    *moment_seconds = omp_get_wtime() - start;
    q[0] = m.SYY, q[1] = m.SXY, q[2] = m.SXX;
    launch_find_circle_s(X, Y, Z, q[0], q[1], q[1], q[2], SIZE);
    const circle_projection c = projection_from_moments(q[0], q[1], q[1], q[2]);
    p = second_rotation_points(first_pixels(X, Y, Z), c);
    launch_rotate_cuda(X, Y, Z, SIZE, p.x[0], p.x[1], p.x[2], p.y[0], p.y[1], p.y[2], p.z[0],
                       p.z[1], p.z[2]);
    launch_phaze_cuda(X, Y, phase, SIZE);
}

// Reads the frames and writes files of the results' sizes: no run can beat it.
static void floor_run(int W, int H, size_t text_bytes) {
    std::vector<char> block(1 << 20);
    for (const char *name : {"I1.bmp", "I2.bmp", "I3.bmp"}) {
        FILE *file = fopen(name, "rb");
        while (fread(block.data(), 1, block.size(), file) == block.size()) {
        }
        fclose(file);
    }
    const size_t sizes[2] = {56 + 3 * (size_t)W * H, text_bytes};
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
}

static double run_phaze_cpu(const char *phaze, long *peak_kib) {
    const double start = omp_get_wtime();
    const pid_t child = fork();
    if (child == 0) {
        if (freopen("/dev/null", "r", stdin) == NULL || freopen("/dev/null", "w", stdout) == NULL)
            _exit(127);
        execl(phaze, phaze, (char *)NULL);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    wait4(child, &status, 0, &usage);
    const double took = omp_get_wtime() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "phaze_bench: %s failed\n", phaze);
        exit(1);
    }
    if (usage.ru_maxrss > *peak_kib) *peak_kib = usage.ru_maxrss;
    return took;
}

static void row(const char *stage, double plain, double fast) {
    printf("| %-14s | %9.3f | %9.3f | %10.1fx |\n", stage, plain, fast, plain / fast);
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
            case 0: memcpy(&value, &bits, sizeof value); break;               // any double
            case 1: value = ldexp((double)(bits >> 11), (int)(bits % 80) - 100); break;
            case 2: value = (double)(bits >> 11) * 0x1p-53 * 6.283185307179586; break;
            default: value = (double)((int64_t)(bits % 2000000001) - 1000000000) / (double)(1 << (bits % 24));
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
    int W = 4096, H = 4096;
    long long verify = 0;
    for (int a = 1; a < argc; a++) {
        if (strcmp(argv[a], "--size") == 0 && a + 1 < argc) {
            if (sscanf(argv[++a], "%dx%d", &W, &H) != 2 || W <= 0 || H <= 0 || (long long)W * H > 1 << 28)
                return fprintf(stderr, "phaze_bench: bad --size\n"), 1;
        } else if (strcmp(argv[a], "--repeat") == 0 && a + 1 < argc) {
            repeats = atoi(argv[++a]) > 0 ? atoi(argv[a]) : 1;
        } else if (strcmp(argv[a], "--verify-formatter") == 0 && a + 1 < argc) {
            verify = atoll(argv[++a]);
        } else {
            printf("usage: phaze_bench [--size WxH] [--repeat N] [--verify-formatter COUNT]\n");
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

    // phaze-cpu first, while this process is small: a child's peak memory counts
    // what it inherited from this process before exec.
    long peak_kib = 0;
    const double whole_fast = best_time([&] { run_phaze_cpu(PHAZE_CPU, &peak_kib); });
    const std::string fast_picture = read_whole_file("phaze_cuda.bmp"), fast_text = read_whole_file("phaze_cuda.txt");

    const int SIZE = W * H;
    std::vector<double> X(SIZE), Y(SIZE), Z(SIZE), pX(SIZE), pY(SIZE), pZ(SIZE);
    std::vector<double> phase(SIZE), plain_phase_map(SIZE);
    bool same = true;

    const double read_plain = best_time([&] { plain_read_frames(pX.data(), pY.data(), pZ.data(), W, H); });
    const double read_fast = best_time([&] { read_frames(X.data(), Y.data(), Z.data(), W, H); });
    same = same && X == pX && Y == pY && Z == pZ;
    const std::vector<double> I1 = X, I2 = Y, I3 = Z;

    double q_plain[3], q_fast[3], moments_plain = 1e300, moments_fast = 1e300;
    const double kernels_plain = best_time([&] {
        pX = I1, pY = I2, pZ = I3;
        const double start = omp_get_wtime();
        plain_difference(pX.data(), pY.data(), pZ.data(), SIZE);
        plain_first_rotation(pX.data(), pY.data(), pZ.data(), SIZE);
        const double middle = omp_get_wtime();
        plain_moments(pX.data(), pY.data(), SIZE, q_plain);
        const double after = omp_get_wtime();
        if (after - middle < moments_plain) moments_plain = after - middle;
        plain_projection_and_phase(pX.data(), pY.data(), pZ.data(), plain_phase_map.data(), SIZE, q_plain);
        return omp_get_wtime() - start;
    });
    const double kernels_fast = best_time([&] {
        X = I1, Y = I2, Z = I3;
        double seconds;
        phaze_kernels(X.data(), Y.data(), Z.data(), phase.data(), SIZE, q_fast, &seconds);
        if (seconds < moments_fast) moments_fast = seconds;
    });
    same = same && memcmp(phase.data(), plain_phase_map.data(), sizeof(double) * SIZE) == 0;

    std::vector<unsigned char> picture(SIZE), scratch(SIZE);
    quantise_phases(phase.data(), picture.data(), SIZE);
    const double picture_plain = best_time([&] { plain_write_bmp(picture.data(), "plain.bmp", W, H); });
    const double picture_fast = best_time([&] { write_bmp(picture.data(), scratch.data(), "fast.bmp", 0, W, H); });
    const double text_plain = best_time([&] { plain_write_text(phase.data(), SIZE, "plain.txt"); });
    const double text_fast = best_time([&] { write_phase_text(phase.data(), SIZE, "fast.txt"); });
    same = same && read_whole_file("plain.bmp") == read_whole_file("fast.bmp") && read_whole_file("plain.txt") == read_whole_file("fast.txt");

    const double whole_plain = best_time([&] {
        plain_read_frames(pX.data(), pY.data(), pZ.data(), W, H);
        plain_phase(pX.data(), pY.data(), pZ.data(), plain_phase_map.data(), SIZE);
        std::vector<unsigned char> gray(SIZE);
        for (int i = 0; i < SIZE; i++) gray[i] = quantise_phase(plain_phase_map[i]);
        plain_write_bmp(gray.data(), "plain.bmp", W, H);
        plain_write_text(plain_phase_map.data(), SIZE, "plain.txt");
    });
    same = same && read_whole_file("plain.bmp") == fast_picture && read_whole_file("plain.txt") == fast_text;
    const double whole_floor = best_time([&] { floor_run(W, H, fast_text.size()); });

    printf("phaze_bench: %d x %d frames (%d pixels), best of %d, %d threads\n\n", W, H, SIZE, repeats,
           omp_get_max_threads());
    printf("| stage          | plain (s) | phaze (s) | plain/phaze |\n");
    printf("|----------------|-----------|-----------|-------------|\n");
    row("frame reading", read_plain, read_fast);
    row("kernels", kernels_plain - moments_plain, kernels_fast - moments_fast);
    row("moment sums", moments_plain, moments_fast);
    row("picture", picture_plain, picture_fast);
    row("text", text_plain, text_fast);
    row("end to end", whole_plain, whole_fast);
    printf("\nphaze-cpu end to end %.3f s, floor %.3f s: %.2f times the floor\n", whole_fast,
           whole_floor, whole_fast / whole_floor);
    printf("phaze-cpu peak memory: %.1f bytes a pixel\n", peak_kib * 1024.0 / SIZE);
    printf("results identical to the plain way: %s\n", same ? "yes" : "NO");
    if (system("rm -rf /tmp/phaze-bench-*") != 0) return 1;
    return same ? 0 : 1;
}
