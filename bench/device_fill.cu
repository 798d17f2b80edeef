// device_fill: takes all but LEAVE MiB of the GPU's memory and holds it for
// SECONDS, so that a run can meet a device without room for its arrays.
// Prints "ready" once the memory is taken.
#include <cuda_runtime.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: device_fill LEAVE_MIB SECONDS\n");
        return 2;
    }
    const size_t leave = (size_t)atol(argv[1]) << 20;
    size_t free_bytes = 0, total = 0;
    if (cudaMemGetInfo(&free_bytes, &total) != cudaSuccess) {
        fprintf(stderr, "device_fill: no device\n");
        return 1;
    }
    // In blocks of 1 GiB, then smaller ones, until only leave is free.
    for (size_t block = (size_t)1 << 30; block >= ((size_t)1 << 20); block /= 2) {
        void *p;
        while (cudaMemGetInfo(&free_bytes, &total) == cudaSuccess && free_bytes > leave + block &&
               cudaMalloc(&p, block) == cudaSuccess) {
        }
    }
    cudaMemGetInfo(&free_bytes, &total);
    printf("ready: %.0f MiB of %.0f MiB free\n", free_bytes / 1048576.0, total / 1048576.0);
    fflush(stdout);
    sleep((unsigned)atoi(argv[2]));
    return 0;
}
