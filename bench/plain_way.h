// The plain way to run the method: one fgetc and one fseek a sample, every kernel a
// serial loop that works out its angles for each element again, the picture built
// whole in memory, one fprintf a value. The benchmark's baseline and the tests'
// oracle: the product must give the same bytes, only faster.
#pragma once

int plain_read_frames(double *X, double *Y, double *Z, int W, int H);

// The kernels and host steps of the run, in its order; the moment sums are
// timed apart, so they have a step of their own.
void plain_difference(double *X, double *Y, double *Z, int SIZE);
void plain_first_rotation(double *X, double *Y, double *Z, int SIZE);
void plain_moments(const double *X, const double *Y, int SIZE, double q[3]);
void plain_projection_and_phase(double *X, double *Y, double *Z, double *phase, int SIZE,
                                const double q[3]);

// From the three frames' samples in X, Y, Z to the phase: all the steps above.
void plain_phase(double *X, double *Y, double *Z, double *phase, int SIZE);

int plain_write_bmp(const unsigned char *gray, const char *file_name, int W, int H);
int plain_write_text(const double *phase, int SIZE, const char *file_name);
