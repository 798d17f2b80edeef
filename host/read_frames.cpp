#include "host/read_frames.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

// Pixels a block: large reads, and a buffer small beside the frame.
static const int BLOCK_PIXELS = 1 << 20;

static int too_short(const char *file_name, int W, int H, long long needed) {
    printf("%s is too short for a %d x %d frame! It should have at least %lld bytes.", file_name,
           W, H, needed);
    return 1;
}

static int read_frame(const char *file_name, double *samples, int W, int H,
                      unsigned char *block) {
    const int SIZE = W * H;
    FILE *frame = fopen(file_name, "rb");
    if (frame == NULL) {
        printf("Can't open %s file!", file_name);
        return 1;
    }
    struct stat info = {};  // stays zero (not a regular file) if fstat fails
    if (fstat(fileno(frame), &info) == 0 && S_ISDIR(info.st_mode)) {
        printf("Can't open %s file!", file_name);
        fclose(frame);
        return 1;
    }
    // A short frame would read as samples of -1 and give a garbage phase map.
    const long long needed = FRAME_DATA_OFFSET + 3LL * SIZE;
    if (S_ISREG(info.st_mode) && info.st_size < needed) {
        fclose(frame);
        return too_short(file_name, W, H, needed);
    }
    int failed = fseek(frame, FRAME_DATA_OFFSET, SEEK_SET) != 0;
    for (int start = 0; start < SIZE && !failed; start += BLOCK_PIXELS) {
        const int count = SIZE - start < BLOCK_PIXELS ? SIZE - start : BLOCK_PIXELS;
        failed = fread(block, 3, (size_t)count, frame) != (size_t)count;
        if (failed) break;
        // The first byte of each pixel is its sample.
        double *out = samples + start;
#pragma omp parallel for schedule(static) if (count > 65536)
        for (int k = 0; k < count; k++) out[k] = block[3 * k];
    }
    fclose(frame);
    return failed ? too_short(file_name, W, H, needed) : 0;
}

int read_frames(double *X, double *Y, double *Z, int W, int H) {
    unsigned char *block = (unsigned char *)malloc(3 * (size_t)BLOCK_PIXELS);
    if (block == NULL) {
        printf("\nNot enough memory on host!\n");
        return 1;
    }
    const int failed = read_frame("I1.bmp", X, W, H, block) ||
                       read_frame("I2.bmp", Y, W, H, block) || read_frame("I3.bmp", Z, W, H, block);
    free(block);
    return failed;
}
