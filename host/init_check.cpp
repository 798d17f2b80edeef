#include "host/init_check.h"

#include <stdio.h>

#include "gpu/gpu.h"
#include "host/console.h"

static int read_config(int *width, int *height) {
    FILE *config = fopen("config.txt", "rb");
    if (config == NULL) {
        printf("Can't open config file!");
        return 1;
    }
    int byte;
    do byte = fgetc(config);
    while (byte != '\n' && byte != EOF);
    const int read_width = fscanf(config, "%d", width);
    const int read_height = fscanf(config, "%d", height);
    fclose(config);
    (void)read_width;
    (void)read_height;
    return 0;
}

static int check_devices(void) {
    const int count = gpu_device_count();
    if (count < 1) {
        printf("No CUDA devices!");
        wait_key();
        return 1;
    }
    for (int i = 0; i < count; i++) {
        gpu_device device = {};
        gpu_device_properties(i, &device);
        if (device.host_threads > 0) {
            printf("Device %d is the host processor: kernels run on %d threads.\n", i,
                   device.host_threads);
            continue;
        }
        printf("Device %d has compute capability %d.%d.\n", i, device.major, device.minor);
        if (device.major < 2) {
            printf("Warning! Device is not supported! We only support devices with compute "
                   "capability 2.0+\n");
            wait_key();
            return 1;
        }
    }
    printf("\nYou device is supported. Press any key to start...\n");
    wait_key();
    return 0;
}

int init_check(int *width, int *height) {
    if (read_config(width, height)) return 1;
    return check_devices();
}
