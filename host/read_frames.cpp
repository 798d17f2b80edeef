#include "host/read_frames.h"

#include <stdio.h>

static int read_frame(const char *file_name, double *samples, int SIZE) {
    FILE *frame = fopen(file_name, "rb");
    if (frame == NULL) {
        printf("Can't open %s file!", file_name);
        return 1;
    }
    fseek(frame, FRAME_DATA_OFFSET, SEEK_SET);
    for (int k = 0; k < SIZE; k++) {
        samples[k] = fgetc(frame);
        fseek(frame, 2, SEEK_CUR);
    }
    fclose(frame);
    return 0;
}

int read_frames(double *X, double *Y, double *Z, int W, int H) {
    const int SIZE = W * H;
    if (read_frame("I1.bmp", X, SIZE)) return 1;
    if (read_frame("I2.bmp", Y, SIZE)) return 1;
    if (read_frame("I3.bmp", Z, SIZE)) return 1;
    return 0;
}
