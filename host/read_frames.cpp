#include "host/read_frames.h"

#include <stdio.h>
#include <sys/stat.h>

static int read_frame(const char *file_name, double *samples, int W, int H) {
    const int SIZE = W * H;
    FILE *frame = fopen(file_name, "rb");
    if (frame == NULL) {
        printf("Can't open %s file!", file_name);
        return 1;
    }
    struct stat info;
    if (fstat(fileno(frame), &info) == 0 && S_ISDIR(info.st_mode)) {
        printf("Can't open %s file!", file_name);
        fclose(frame);
        return 1;
    }
    // A short frame would read as samples of -1 and give a garbage phase map.
    const long long needed = FRAME_DATA_OFFSET + 3LL * SIZE;
    int short_frame = S_ISREG(info.st_mode) && info.st_size < needed;
    if (!short_frame) {
        fseek(frame, FRAME_DATA_OFFSET, SEEK_SET);
        for (int k = 0; k < SIZE && !short_frame; k++) {
            const int sample = fgetc(frame);
            short_frame = sample == EOF;
            samples[k] = sample;
            fseek(frame, 2, SEEK_CUR);
        }
    }
    fclose(frame);
    if (short_frame) {
        printf("%s is too short for a %d x %d frame! It should have at least %lld bytes.",
               file_name, W, H, needed);
        return 1;
    }
    return 0;
}

int read_frames(double *X, double *Y, double *Z, int W, int H) {
    if (read_frame("I1.bmp", X, W, H)) return 1;
    if (read_frame("I2.bmp", Y, W, H)) return 1;
    if (read_frame("I3.bmp", Z, W, H)) return 1;
    return 0;
}
