#include "fixed/read_frames.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>

// Pixels a block: large reads, and a buffer small beside the frame.
static const int BLOCK_PIXELS = 1 << 20;

static int too_short(const char *file_name, int W, int H, long long needed) {
    printf("%s is too short for a %d x %d frame! It should have at least %lld bytes.", file_name, W,
           H, needed);
    return 1;
}

// Calls store(start, count, block) for the pixels of each block, block holding
// their three bytes each.
template <typename Store>
static int read_frame(const char *file_name, int W, int H, unsigned char *block, Store store) {
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
    if (S_ISREG(info.st_mode)) {
        // A regular file is read where it lies in the page cache, without a copy.
        void *mapped = mmap(NULL, (size_t)needed, PROT_READ, MAP_PRIVATE, fileno(frame), 0);
        if (mapped != MAP_FAILED) {
            fclose(frame);
            store(0, SIZE, (const unsigned char *)mapped + FRAME_DATA_OFFSET);
            munmap(mapped, (size_t)needed);
            return 0;
        }
    }
    int failed = fseek(frame, FRAME_DATA_OFFSET, SEEK_SET) != 0;
    for (int start = 0; start < SIZE && !failed; start += BLOCK_PIXELS) {
        const int count = SIZE - start < BLOCK_PIXELS ? SIZE - start : BLOCK_PIXELS;
        failed = fread(block, 3, (size_t)count, frame) != (size_t)count;
        if (!failed) store(start, count, block);
    }
    fclose(frame);
    return failed ? too_short(file_name, W, H, needed) : 0;
}

static const char *FRAME_NAMES[3] = {"I1.bmp", "I2.bmp", "I3.bmp"};

template <typename Sample>
static int read_three(Sample *samples[3], int W, int H) {
    unsigned char *block = (unsigned char *)malloc(3 * (size_t)BLOCK_PIXELS);
    if (block == NULL) {
        printf("\nNot enough memory on host!\n");
        return 1;
    }
    int failed = 0;
    for (int f = 0; f < 3 && !failed; f++) {
        Sample *out = samples[f];
        failed = read_frame(FRAME_NAMES[f], W, H, block,
                            [&](int start, int count, const unsigned char *bytes) {
        // The first byte of each pixel is its sample.
#pragma omp parallel for schedule(static) if (count > 65536)
                                for (int k = 0; k < count; k++) out[start + k] = bytes[3 * k];
                            });
    }
    free(block);
    return failed;
}

int read_frames(double *X, double *Y, double *Z, int W, int H) {
    double *samples[3] = {X, Y, Z};
    return read_three(samples, W, H);
}

int read_frame_bytes(unsigned char *samples[3], int W, int H) { return read_three(samples, W, H); }
