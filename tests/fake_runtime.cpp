#include "tests/fake_runtime.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "gpu/gpu.h"

namespace {
struct fake_state {
    bool configured = false;
    int device_count = 1;
    gpu_device devices[8] = {};
    char fault_operation[16] = "";
    int fault_call = 0;
    int calls[8] = {};
    const char *error = "no error";
};
fake_state state;

enum operation { ALLOC, UPLOAD, DOWNLOAD, SYNC, LAUNCH, HOST_ALLOC, OPERATIONS };
const char *operation_names[OPERATIONS] = {"alloc", "upload", "download", "sync", "launch", "host"};
}  // namespace

void fake_runtime_configure(const char *devices, const char *fault) {
    state = fake_state();
    state.configured = true;
    state.devices[0].host_threads = 2;
    if (devices != NULL && strcmp(devices, "none") == 0) {
        state.device_count = 0;
    } else if (devices != NULL && devices[0] != '\0') {
        state.device_count = 0;
        const char *at = devices;
        int major, minor, used;
        while (state.device_count < 8 && sscanf(at, "%d.%d%n", &major, &minor, &used) == 2) {
            gpu_device &d = state.devices[state.device_count++];
            d.major = major;
            d.minor = minor;
            d.host_threads = 0;
            at += used;
            if (*at == ',') at++;
        }
    }
    if (fault != NULL && fault[0] != '\0') sscanf(fault, "%15[a-z]:%d", state.fault_operation, &state.fault_call);
}

static void configure_from_environment(void) {
    if (!state.configured) fake_runtime_configure(getenv("FAKE_GPU_DEVICES"), getenv("FAKE_GPU_FAIL"));
}

static int faults(operation op) {
    configure_from_environment();
    const int call = ++state.calls[op];
    if (strcmp(state.fault_operation, operation_names[op]) != 0 || call != state.fault_call) return 0;
    static const char *texts[OPERATIONS] = {"out of memory", "an illegal memory access was encountered",
                                            "an illegal memory access was encountered",
                                            "unspecified launch failure", "invalid configuration argument",
                                            "out of memory"};
    state.error = texts[op];
    return 1;
}

int gpu_device_count(void) {
    configure_from_environment();
    return state.device_count;
}

int gpu_device_properties(int index, gpu_device *out) {
    configure_from_environment();
    if (index < 0 || index >= state.device_count) return 1;
    *out = state.devices[index];
    return 0;
}

int gpu_memory_is_host_memory(void) { return 1; }

int gpu_alloc(double **device_array, size_t bytes) {
    if (faults(ALLOC)) return 1;
    *device_array = (double *)malloc(bytes);
    return *device_array == NULL;
}

void gpu_free(void *device_array) { free(device_array); }

int gpu_upload(double *device_dst, const double *host_src, size_t bytes) {
    if (faults(UPLOAD)) return 1;
    memcpy(device_dst, host_src, bytes);
    return 0;
}

int gpu_download(void *host_dst, const void *device_src, size_t bytes) {
    if (faults(DOWNLOAD)) return 1;
    memcpy(host_dst, device_src, bytes);
    return 0;
}

int gpu_download_async(void *host_dst, const void *device_src, size_t bytes, int) {
    return gpu_download(host_dst, device_src, bytes);
}

int gpu_wait_marker(int) { return faults(SYNC); }

int gpu_synchronize(void) { return faults(SYNC); }
void gpu_reset(void) {}

int gpu_host_alloc(void **host_array, size_t bytes) {
    if (faults(HOST_ALLOC)) return 1;
    *host_array = malloc(bytes);
    return *host_array == NULL;
}

void gpu_host_free(void *host_array) { free(host_array); }

int gpu_admit_launch(unsigned, unsigned) { return faults(LAUNCH); }
int gpu_launch_result(void) { return 0; }
const char *gpu_error_text(void) { return state.error; }
