// The three input frames into the coordinate arrays: I1.bmp into X, I2.bmp into Y,
// I3.bmp into Z, one sample (the first byte of each pixel) from byte 56 on.
#pragma once

constexpr long FRAME_DATA_OFFSET = 56;

// 0 on success; 1 after printing why a frame could not be read.
int read_frames(double *X, double *Y, double *Z, int W, int H);
