// The run, start to exit: start-up checks, buffers, transfers, the kernels in their
// fixed order with the host steps between them, the result files, the two times.
#include <math.h>
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>

#include "device/launch.h"
#include "device/moments.h"
#include "device/reference_points.h"
#include "gpu/gpu.h"
#include "host/console.h"
#include "host/init_check.h"
#include "host/read_frames.h"
#include "host/write_results.h"

// Elements 0 to 4 come back between kernels; 0, 1 and 2 are the reference points.
static const size_t REFERENCE_BYTES = 5 * sizeof(double);

// Failure paths end the process where they stand, without releasing anything:
// the process exit does that.
[[noreturn]] static void end_run(const char *message) {
    printf("%s", message);
    wait_key();
    exit(1);
}

[[noreturn]] static void device_failed(void) {
    printf("\nCUDA device error: %s!\n", gpu_error_text());
    end_run("");
}

static int fetch_reference_points(double *X, double *Y, double *Z, const double *dX,
                                  const double *dY, const double *dZ) {
    return gpu_download(X, dX, REFERENCE_BYTES) || gpu_download(Y, dY, REFERENCE_BYTES) ||
           gpu_download(Z, dZ, REFERENCE_BYTES);
}

// X and Y come back in chunks, and each chunk's moments are summed while the
// next ones are still on their way: the sums then cost the device stage little.
static const int MOMENT_CHUNKS = 8;

static int download_and_sum_moments(double *X, double *Y, const double *dX, const double *dY,
                                    int SIZE, moment_sums *sums) {
    int bounds[MOMENT_CHUNKS + 1];
    for (int c = 0; c <= MOMENT_CHUNKS; c++) bounds[c] = (int)((long long)SIZE * c / MOMENT_CHUNKS);
    for (int c = 0; c < MOMENT_CHUNKS; c++) {
        const size_t bytes = sizeof(double) * (size_t)(bounds[c + 1] - bounds[c]);
        if (gpu_download_async(X + bounds[c], dX + bounds[c], bytes, c) ||
            gpu_download_async(Y + bounds[c], dY + bounds[c], bytes, c))
            return 1;
    }
    *sums = moment_sums{0, 0, 0};
    for (int c = 0; c < MOMENT_CHUNKS; c++) {
        if (gpu_wait_marker(c)) return 1;
        add_moments(X, Y, bounds[c], bounds[c + 1], sums);
    }
    return gpu_synchronize();
}

static int all_finite(const double *values, int SIZE) {
    int finite = 1;
#pragma omp parallel for schedule(static) reduction(&& : finite)
    for (int i = 0; i < SIZE; i++) finite = finite && isfinite(values[i]);
    return finite;
}

static int level_plane(double *dX, double *dY, double *dZ, int SIZE, const reference_points &p) {
    return launch_rotate_cuda(dX, dY, dZ, SIZE, p.x[0], p.x[1], p.x[2], p.y[0], p.y[1], p.y[2],
                              p.z[0], p.z[1], p.z[2]);
}

int main(void) {
    int W = 0, H = 0;
    if (init_check(&W, &H) == 1) end_run("\nInit error!\n");

    const double t0 = omp_get_wtime();
    printf("memory allocation...");
    const int SIZE = W * H;
    const size_t bytes = sizeof(double) * (size_t)SIZE;
    double *X = NULL, *Y = NULL, *Z = NULL, *phaze = NULL;
    double *dX = NULL, *dY = NULL, *dZ = NULL, *dphaze = NULL;
    const char *no_host_memory = "\nNot enough memory on host!\n";
    const char *no_device_memory = "\nNot enough memory on CUDA device!\n";
    if (gpu_host_alloc((void **)&X, bytes) || gpu_host_alloc((void **)&Y, bytes) ||
        gpu_host_alloc((void **)&Z, bytes))
        end_run(no_host_memory);
    if (gpu_alloc(&dX, bytes) || gpu_alloc(&dY, bytes) || gpu_alloc(&dZ, bytes))
        end_run(no_device_memory);
    if (gpu_host_alloc((void **)&phaze, bytes)) end_run(no_host_memory);
    if (gpu_alloc(&dphaze, bytes)) end_run(no_device_memory);
    unsigned char *picture_scratch = (unsigned char *)malloc((size_t)SIZE);
    if (picture_scratch == NULL) end_run(no_host_memory);
    printf(" - done!\n");

    printf("Phaze calculation has started:\n");
    printf("\tData reading:");
    if (read_frames(X, Y, Z, W, H)) end_run("");
    printf(" - done!\n");

    printf("\tCalculations on CUDA device:");
    const double t1 = omp_get_wtime();
    if (gpu_upload(dX, X, bytes) || gpu_upload(dY, Y, bytes) || gpu_upload(dZ, Z, bytes))
        device_failed();

    if (launch_find_circle_f(dX, dY, dZ, SIZE) || gpu_synchronize() ||
        fetch_reference_points(X, Y, Z, dX, dY, dZ))
        device_failed();

    moment_sums m;
    if (level_plane(dX, dY, dZ, SIZE, first_rotation_points(first_pixels(X, Y, Z))) ||
        gpu_synchronize() || download_and_sum_moments(X, Y, dX, dY, SIZE, &m))
        device_failed();
    if (!moments_form_ellipse(m)) end_run("\n" NO_PHASE_MESSAGE "!\n");

    if (launch_find_circle_s(dX, dY, dZ, m.SYY, m.SXY, m.SXY, m.SXX, SIZE) || gpu_synchronize() ||
        fetch_reference_points(X, Y, Z, dX, dY, dZ))
        device_failed();

    const circle_projection projection = projection_from_moments(m.SYY, m.SXY, m.SXY, m.SXX);
    if (level_plane(dX, dY, dZ, SIZE, second_rotation_points(first_pixels(X, Y, Z), projection)) ||
        launch_phaze_cuda(dX, dY, dphaze, SIZE) || gpu_download(phaze, dphaze, bytes))
        device_failed();
    if (!all_finite(phaze, SIZE)) end_run("\n" NO_PHASE_MESSAGE "!\n");
    const double t2 = omp_get_wtime();
    printf(" - done!\n");

    printf("\tWriting result to output files:");
    if (write_results(phaze, picture_scratch, W, H)) end_run("");
    printf(" - done!\n");

    const double t3 = omp_get_wtime();
    printf("\nPhaze calculations is done.\n");
    printf("Time on CUDA wasted(algorithm only): %.5lf seconds.\n", t2 - t1);
    printf("Overall time wasted: %.5lf seconds.\n", t3 - t0);

    printf("memory cleanup: ");
    free(picture_scratch);
    gpu_host_free(X);
    gpu_host_free(Y);
    gpu_host_free(Z);
    gpu_host_free(phaze);
    gpu_free(dphaze);
    gpu_free(dX);
    gpu_free(dY);
    gpu_free(dZ);
    printf("- done!");
    printf("\nPress any key to exit...\n");
    wait_key();
    gpu_reset();
    return 0;
}
