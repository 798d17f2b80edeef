// copy_floor: the time of the device stage's copies alone, with pinned host memory:
// three uploads, two full downloads and the phase download of a W x H run (the
// 40-byte reference fetches are too small to count).
#include <cuda_runtime.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    int W = 4096, H = 4096;
    if (argc > 1 && sscanf(argv[1], "%dx%d", &W, &H) != 2) return 2;
    const size_t bytes = sizeof(double) * (size_t)W * H;
    double *host[4], *device[4];
    for (int k = 0; k < 4; k++) {
        if (cudaMallocHost((void **)&host[k], bytes) != cudaSuccess ||
            cudaMalloc((void **)&device[k], bytes) != cudaSuccess) {
            fprintf(stderr, "copy_floor: %s\n", cudaGetErrorString(cudaGetLastError()));
            return 1;
        }
        for (size_t i = 0; i < bytes / sizeof(double); i += 512) host[k][i] = (double)i;
    }
    cudaEvent_t start, stop;
    cudaEventCreate(&start);
    cudaEventCreate(&stop);
    float best = 1e30f;
    for (int repeat = 0; repeat < 5; repeat++) {
        cudaEventRecord(start);
        for (int k = 0; k < 3; k++) cudaMemcpy(device[k], host[k], bytes, cudaMemcpyHostToDevice);
        for (int k = 0; k < 2; k++) cudaMemcpy(host[k], device[k], bytes, cudaMemcpyDeviceToHost);
        cudaMemcpy(host[3], device[3], bytes, cudaMemcpyDeviceToHost);
        cudaEventRecord(stop);
        cudaEventSynchronize(stop);
        float milliseconds = 0;
        cudaEventElapsedTime(&milliseconds, start, stop);
        if (milliseconds < best) best = milliseconds;
    }
    printf(
        "copy_floor: %d x %d, 3 uploads and 3 downloads of %zu bytes: %.5f seconds "
        "(%.1f GB/s)\n",
        W, H, bytes, best / 1000.0, 6.0 * bytes / (best / 1000.0) / 1e9);
    return 0;
}
