// The phase map into its two result files: a gray picture made through the
// 56-byte template bmp_header.bmp, and the value of every pixel as text.
#pragma once

constexpr int PICTURE_HEADER_BYTES = 56;

// Byte of the gray picture for one phase: 0 to 2 pi onto 0 to 255 (NaN gives 0).
unsigned char quantise_phase(double phase);
void quantise_phases(const double *phase, unsigned char *picture, int SIZE);

// Writes W x H gray bytes (from device memory when source_on_device is set) as a
// 24-bit picture; destination is the caller's W*H-byte working buffer.
// 0 on success, 1 after printing what failed.
int write_bmp(const unsigned char *source, unsigned char *destination, const char *file_name,
              int source_on_device, int W, int H);

// One "%lf\n" line a value. 0 on success, 1 after printing what failed.
int write_phase_text(const double *phase, int SIZE, const char *file_name);

// The writing stage: phaze_cuda.bmp, then phaze_cuda.txt.
int write_results(const double *phase, unsigned char *picture_scratch, int W, int H);
