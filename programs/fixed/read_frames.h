// The three input frames I1.bmp, I2.bmp and I3.bmp: one sample (the first byte
// of each pixel) a pixel from byte 56 on, three bytes a pixel, no row padding.
#pragma once

constexpr long FRAME_DATA_OFFSET = 56;

// Into the coordinate arrays as doubles: I1.bmp into X, I2.bmp into Y, I3.bmp
// into Z. 0 on success; 1 after printing why a frame could not be read.
int read_frames(double *X, double *Y, double *Z, int W, int H);

// The same as bytes, frame k into samples[k].
int read_frame_bytes(unsigned char *samples[3], int W, int H);
