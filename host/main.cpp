// The run, start to exit: start-up checks, buffers, transfers, the kernels in their
// fixed order with the host steps between them, the result files, the two times.
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>

#include "device/launch.h"
#include "device/moments.h"
#include "gpu/gpu.h"
#include "host/console.h"
#include "host/init_check.h"
#include "host/read_frames.h"
#include "host/write_results.h"

// Elements 0 to 4 come back between kernels; 0, 1 and 2 are the reference points.
static const size_t REFERENCE_BYTES = 5 * sizeof(double);

static int fail(const char *message) {
    printf("%s", message);
    wait_key();
    return 1;
}

static void fetch_reference_points(double *X, double *Y, double *Z, const double *dX,
                                   const double *dY, const double *dZ) {
    gpu_download(X, dX, REFERENCE_BYTES);
    gpu_download(Y, dY, REFERENCE_BYTES);
    gpu_download(Z, dZ, REFERENCE_BYTES);
}

static void level_plane(double *dX, double *dY, double *dZ, int SIZE, const double *X,
                        const double *Y, const double *Z) {
    launch_rotate_cuda(dX, dY, dZ, SIZE, X[0], X[1], X[2], Y[0], Y[1], Y[2], Z[0], Z[1], Z[2]);
}

int main(void) {
    int W = 0, H = 0;
    if (init_check(&W, &H) == 1) return fail("\nInit error!\n");

    const double t0 = omp_get_wtime();
    printf("memory allocation...");
    const int SIZE = W * H;
    const size_t bytes = sizeof(double) * (size_t)SIZE;
    double *X = (double *)malloc(bytes);
    double *Y = (double *)malloc(bytes);
    double *Z = (double *)malloc(bytes);
    double *dX = NULL, *dY = NULL, *dZ = NULL, *dphaze = NULL;
    if (gpu_alloc(&dX, bytes)) return fail("\nNot enough memory on CUDA device!\n");
    if (gpu_alloc(&dY, bytes)) return fail("\nNot enough memory on CUDA device!\n");
    if (gpu_alloc(&dZ, bytes)) return fail("\nNot enough memory on CUDA device!\n");
    double *phaze = (double *)malloc(bytes);
    if (gpu_alloc(&dphaze, bytes)) return fail("\nNot enough memory on CUDA device!\n");
    unsigned char *picture_scratch = (unsigned char *)malloc((size_t)SIZE);
    printf(" - done!\n");

    printf("Phaze calculation has started:\n");
    printf("\tData reading:");
    if (read_frames(X, Y, Z, W, H)) {
        wait_key();
        return 1;
    }
    printf(" - done!\n");

    printf("\tCalculations on CUDA device:");
    const double t1 = omp_get_wtime();
    gpu_upload(dX, X, bytes);
    gpu_upload(dY, Y, bytes);
    gpu_upload(dZ, Z, bytes);

    launch_find_circle_f(dX, dY, dZ, SIZE);
    gpu_synchronize();
    fetch_reference_points(X, Y, Z, dX, dY, dZ);

    level_plane(dX, dY, dZ, SIZE, X, Y, Z);
    gpu_synchronize();
    gpu_download(X, dX, bytes);
    gpu_download(Y, dY, bytes);
    gpu_synchronize();

    const moment_sums m = sum_moments(X, Y, SIZE);
    launch_find_circle_s(dX, dY, dZ, m.SYY, m.SXY, m.SXY, m.SXX, SIZE);
    gpu_synchronize();
    fetch_reference_points(X, Y, Z, dX, dY, dZ);

    level_plane(dX, dY, dZ, SIZE, X, Y, Z);
    launch_phaze_cuda(dX, dY, dphaze, SIZE);
    gpu_download(phaze, dphaze, bytes);
    const double t2 = omp_get_wtime();
    printf(" - done!\n");

    printf("\tWriting result to output files:");
    if (write_results(phaze, picture_scratch, W, H)) {
        wait_key();
        return 1;
    }
    printf(" - done!\n");

    const double t3 = omp_get_wtime();
    printf("\nPhaze calculations is done.\n");
    printf("Time on CUDA wasted(algorithm only): %.5lf seconds.\n", t2 - t1);
    printf("Overall time wasted: %.5lf seconds.\n", t3 - t0);

    printf("memory cleanup: ");
    free(picture_scratch);
    free(X);
    free(Y);
    free(Z);
    free(phaze);
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
