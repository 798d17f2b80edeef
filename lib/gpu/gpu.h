// The thin runtime layer between the run and the device that executes the kernels.
// Two implementations, chosen at link time: cuda.cu (the CUDA runtime) and cpu.cpp
// (the host's cores presented as device 0). Every call returns 0 on success.
#pragma once

#include <stddef.h>

namespace phaze_internal {

struct gpu_device {
    int major, minor;  // compute capability; meaningful when host_threads is 0
    int host_threads;  // > 0 when the device is the host processor itself
};

int gpu_device_count(void);  // 0 when none, or when the runtime fails
int gpu_device_properties(int index, gpu_device *out);
// 1 when device memory is host memory (so a run needs both on the host).
int gpu_memory_is_host_memory(void);

int gpu_alloc(double **device_array, size_t bytes);
void gpu_free(void *device_array);
int gpu_upload(double *device_dst, const double *host_src, size_t bytes);
int gpu_download(void *host_dst, const void *device_src, size_t bytes);
// A download that returns at once and marks its end with marker (0 to 15);
// gpu_wait_marker returns once every copy before that mark is complete.
int gpu_download_async(void *host_dst, const void *device_src, size_t bytes, int marker);
int gpu_wait_marker(int marker);
int gpu_synchronize(void);
void gpu_reset(void);

// Host memory that the device copies fastest (pinned where the runtime has it).
int gpu_host_alloc(void **host_array, size_t bytes);
void gpu_host_free(void *host_array);

// The host flavour asks before running a launch, so a test runtime can refuse one;
// the CUDA flavour asks the runtime after the launch whether it was accepted.
int gpu_admit_launch(unsigned blocks, unsigned threads);
int gpu_launch_result(void);

// The runtime's own text for the last failure.
const char *gpu_error_text(void);

}  // namespace phaze_internal
