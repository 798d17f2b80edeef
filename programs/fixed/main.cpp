// The run, start to exit: start-up checks, buffers, the stages in their fixed
// order, the console text, the two times and the exit status. The stages come
// from the engine the program is built on (host/run.h).
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>

#include "gpu/gpu.h"
#include "fixed/console.h"
#include "fixed/init_check.h"
#include "fixed/run.h"

using namespace phaze_internal;

// Failure paths end the process where they stand, without releasing anything:
// the process exit does that.
[[noreturn]] static void end_run(const char *message) {
    printf("%s", message);
    wait_key();
    exit(1);
}

int main(void) {
    int W = 0, H = 0;
    if (init_check(&W, &H) == 1) end_run("\nInit error!\n");

    const double t0 = omp_get_wtime();
    printf("memory allocation...");
    const int allocated = run_allocate(W, H);
    if (allocated == 1) end_run("\nNot enough memory on host!\n");
    if (allocated == 2) end_run("\nNot enough memory on CUDA device!\n");
    printf(" - done!\n");

    printf("Phaze calculation has started:\n");
    printf("\tData reading:");
    if (run_read_frames()) end_run("");
    printf(" - done!\n");

    printf("\tCalculations on CUDA device:");
    const double t1 = omp_get_wtime();
    if (run_compute()) end_run("");
    const double t2 = omp_get_wtime();
    printf(" - done!\n");

    printf("\tWriting result to output files:");
    if (run_write_results()) end_run("");
    printf(" - done!\n");

    const double t3 = omp_get_wtime();
    printf("\nPhaze calculations is done.\n");
    printf("Time on CUDA wasted(algorithm only): %.5lf seconds.\n", t2 - t1);
    printf("Overall time wasted: %.5lf seconds.\n", t3 - t0);

    printf("memory cleanup: ");
    run_release();
    printf("- done!");
    printf("\nPress any key to exit...\n");
    wait_key();
    gpu_reset();
    return 0;
}
