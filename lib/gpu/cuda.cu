// Runtime layer of the CUDA flavour: every call goes straight to the CUDA runtime
// on its default device and default stream.
#include "gpu/gpu.h"

#include <cuda_runtime.h>

namespace phaze_internal {

static cudaError_t last_error = cudaSuccess;

static int check(cudaError_t result) {
    if (result == cudaSuccess) return 0;
    last_error = result;
    return 1;
}

int gpu_device_count(void) {
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess) return 0;
    return count;
}

int gpu_device_properties(int index, gpu_device *out) {
    cudaDeviceProp properties;
    if (check(cudaGetDeviceProperties(&properties, index))) return 1;
    out->major = properties.major;
    out->minor = properties.minor;
    out->host_threads = 0;
    return 0;
}

int gpu_memory_is_host_memory(void) { return 0; }

int gpu_alloc(double **device_array, size_t bytes) {
    return check(cudaMalloc((void **)device_array, bytes));
}

void gpu_free(void *device_array) { cudaFree(device_array); }

int gpu_upload(double *device_dst, const double *host_src, size_t bytes) {
    return check(cudaMemcpy(device_dst, host_src, bytes, cudaMemcpyHostToDevice));
}

int gpu_download(void *host_dst, const void *device_src, size_t bytes) {
    return check(cudaMemcpy(host_dst, device_src, bytes, cudaMemcpyDeviceToHost));
}

static cudaEvent_t markers[16];
static bool marker_made[16];

int gpu_download_async(void *host_dst, const void *device_src, size_t bytes, int marker) {
    if (check(cudaMemcpyAsync(host_dst, device_src, bytes, cudaMemcpyDeviceToHost, 0))) return 1;
    if (!marker_made[marker]) {
        if (check(cudaEventCreateWithFlags(&markers[marker], cudaEventDisableTiming))) return 1;
        marker_made[marker] = true;
    }
    return check(cudaEventRecord(markers[marker], 0));
}

int gpu_wait_marker(int marker) { return check(cudaEventSynchronize(markers[marker])); }

int gpu_synchronize(void) { return check(cudaDeviceSynchronize()); }

void gpu_reset(void) {
    cudaDeviceReset();  // destroys the markers' events too
    for (bool &made : marker_made) made = false;
}

int gpu_host_alloc(void **host_array, size_t bytes) {
    return check(cudaMallocHost(host_array, bytes));
}

void gpu_host_free(void *host_array) { cudaFreeHost(host_array); }

int gpu_admit_launch(unsigned blocks, unsigned threads) {
    (void)blocks;
    (void)threads;
    return 0;
}

int gpu_launch_result(void) { return check(cudaGetLastError()); }

const char *gpu_error_text(void) { return cudaGetErrorString(last_error); }

}  // namespace phaze_internal
