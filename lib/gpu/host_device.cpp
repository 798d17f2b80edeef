// The host processor presented as device 0, for phaze-cpu's start-up: the one
// device it lists, with the threads its kernels run on. phaze-cpu runs the CPU
// engine, which needs no allocations or copies of the runtime layer.
#include <omp.h>

#include "gpu/gpu.h"

namespace phaze_internal {

static const char *last_error = "no error";

int gpu_device_count(void) { return 1; }

int gpu_device_properties(int index, gpu_device *out) {
    if (index != 0) {
        last_error = "invalid device ordinal";
        return 1;
    }
    out->major = 0;
    out->minor = 0;
    out->host_threads = omp_get_max_threads();
    return 0;
}

void gpu_reset(void) {}

const char *gpu_error_text(void) { return last_error; }

}  // namespace phaze_internal
