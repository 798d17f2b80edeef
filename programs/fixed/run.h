// The stages of one run of a fixed program, as the engine it is built on does
// them; host/main.cpp runs them in order with the console text around them.
// Each returns 0, or 1 after printing why it failed; run_allocate returns 2 when
// device memory ran out.
#pragma once

// Host memory a pixel needs, for the start-up check against the machine's.
double run_host_bytes_per_pixel(void);

int run_allocate(int W, int H);
int run_read_frames(void);
int run_compute(void);  // the device stage
int run_write_results(void);
void run_release(void);
