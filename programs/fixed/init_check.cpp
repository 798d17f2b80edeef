#include "fixed/init_check.h"

#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include "gpu/gpu.h"
#include "fixed/console.h"
#include "fixed/run.h"

using namespace phaze_internal;

// A decimal integer as "%d" reads it (white space, an optional sign, digits),
// kept in a wider type so that a number beyond the int range is seen as such.
static int read_decimal(FILE *file, long long *value) {
    int byte;
    do byte = fgetc(file);
    while (byte != EOF && isspace(byte));
    int negative = 0;
    if (byte == '+' || byte == '-') {
        negative = byte == '-';
        byte = fgetc(file);
    }
    if (byte == EOF || !isdigit(byte)) return 1;
    long long magnitude = 0;
    for (; byte != EOF && isdigit(byte); byte = fgetc(file))
        if (magnitude < 1000000000000LL) magnitude = magnitude * 10 + (byte - '0');
    if (byte != EOF) ungetc(byte, file);  // "12,34" holds one number, as for "%d"
    *value = negative ? -magnitude : magnitude;
    return 0;
}

static double physical_memory_bytes(void) {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0 ? (double)pages * (double)page_size : 0;
}

static int check_frame_size(long long width, long long height) {
    if (width <= 0 || height <= 0) {
        printf(
            "Frame size %lld x %lld from config file is not usable: width and height must be "
            "positive!",
            width, height);
        return 1;
    }
    if (width > INT_MAX || height > INT_MAX || width * height > INT_MAX) {
        printf(
            "Frame size %lld x %lld from config file is too large: phaze takes at most %d "
            "pixels!",
            width, height, INT_MAX);
        return 1;
    }
    if (width * height < 5) {
        printf(
            "Frame size %lld x %lld from config file is too small: phaze needs at least 5 "
            "pixels!",
            width, height);
        return 1;
    }
    const double per_pixel = run_host_bytes_per_pixel();
    const double needed = per_pixel * (double)(width * height), memory = physical_memory_bytes();
    if (memory > 0 && needed > memory) {
        printf(
            "Frame size %lld x %lld needs %.1f GiB of memory, more than this machine has "
            "(%.1f GiB)!",
            width, height, needed / (1 << 30), memory / (1 << 30));
        return 1;
    }
    return 0;
}

static int read_config(int *width, int *height) {
    FILE *config = fopen("config.txt", "rb");
    if (config == NULL) {
        printf("Can't open config file!");
        return 1;
    }
    int byte;
    do byte = fgetc(config);
    while (byte != '\n' && byte != EOF);
    long long read_width = 0, read_height = 0;
    const int unreadable = read_decimal(config, &read_width) || read_decimal(config, &read_height);
    fclose(config);
    if (unreadable) {
        printf("Can't read frame size from config file!");
        return 1;
    }
    if (check_frame_size(read_width, read_height)) return 1;
    *width = (int)read_width;
    *height = (int)read_height;
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
        if (gpu_device_properties(i, &device)) {
            printf("Can't read the properties of device %d: %s!", i, gpu_error_text());
            wait_key();
            return 1;
        }
        if (device.host_threads > 0) {
            printf("Device %d is the host processor: kernels run on %d threads.\n", i,
                   device.host_threads);
            continue;
        }
        printf("Device %d has compute capability %d.%d.\n", i, device.major, device.minor);
        if (device.major < 2) {
            printf(
                "Warning! Device is not supported! We only support devices with compute "
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
