#include "tests/doubles/fake_runtime.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "gpu/gpu.h"

namespace phaze_internal {

static bool configured = false;
static int device_count = 1;
static gpu_device devices[8];
static char fault_operation[16], error_text[64] = "no error";
static int fault_call = 0, calls[8];

enum operation { ALLOC, UPLOAD, DOWNLOAD, SYNC, LAUNCH, HOST_ALLOC };
static const char *operation_names[] = {"alloc", "upload", "download", "sync", "launch", "host"};

void fake_runtime_configure(const char *table, const char *fault) {
    configured = true;
    memset(calls, 0, sizeof calls);
    device_count = 1;
    devices[0] = gpu_device{0, 0, 2};  // the host, on two threads
    if (table != NULL && table[0] != '\0') {
        device_count = 0;
        int used = 0;
        for (const char *at = table; device_count < 8; at += used + (at[used] == ',')) {
            gpu_device &d = devices[device_count];
            d.host_threads = 0;
            if (sscanf(at, "%d.%d%n", &d.major, &d.minor, &used) != 2) break;
            device_count++;
        }
    }
    fault_operation[0] = '\0';
    if (fault != NULL) sscanf(fault, "%15[a-z]:%d", fault_operation, &fault_call);
}

static void ensure_configured(void) {
    if (!configured) fake_runtime_configure(getenv("FAKE_GPU_DEVICES"), getenv("FAKE_GPU_FAIL"));
}

static int faults(operation op) {
    ensure_configured();
    if (++calls[op] != fault_call || strcmp(fault_operation, operation_names[op]) != 0) return 0;
    snprintf(error_text, sizeof error_text, "injected %s failure", operation_names[op]);
    return 1;
}

int gpu_device_count(void) {
    ensure_configured();
    return device_count;
}

int gpu_device_properties(int index, gpu_device *out) {
    if (index < 0 || index >= device_count) return 1;
    *out = devices[index];
    return 0;
}

int gpu_memory_is_host_memory(void) { return 1; }

static int allocate(operation op, void **memory, size_t bytes) {
    if (faults(op)) return 1;
    *memory = malloc(bytes);
    return *memory == NULL;
}

int gpu_alloc(double **device_array, size_t bytes) {
    return allocate(ALLOC, (void **)device_array, bytes);
}
int gpu_host_alloc(void **host_array, size_t bytes) {
    return allocate(HOST_ALLOC, host_array, bytes);
}
void gpu_free(void *device_array) { free(device_array); }
void gpu_host_free(void *host_array) { free(host_array); }

static int copy(operation op, void *dst, const void *src, size_t bytes) {
    if (faults(op)) return 1;
    memcpy(dst, src, bytes);
    return 0;
}

int gpu_upload(double *device_dst, const double *host_src, size_t bytes) {
    return copy(UPLOAD, device_dst, host_src, bytes);
}
int gpu_download(void *host_dst, const void *device_src, size_t bytes) {
    return copy(DOWNLOAD, host_dst, device_src, bytes);
}
int gpu_download_async(void *host_dst, const void *device_src, size_t bytes, int) {
    return copy(DOWNLOAD, host_dst, device_src, bytes);
}

int gpu_wait_marker(int) { return faults(SYNC); }
int gpu_synchronize(void) { return faults(SYNC); }
void gpu_reset(void) {}
int gpu_admit_launch(unsigned, unsigned) { return faults(LAUNCH); }
int gpu_launch_result(void) { return 0; }
const char *gpu_error_text(void) { return error_text; }

}  // namespace phaze_internal
