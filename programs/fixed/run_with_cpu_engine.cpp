// The run's stages on the CPU engine: the frames' samples as bytes, the shared
// numbers from a first pass, and the phases made round by round while the
// results are written. phaze-cpu runs so.
#include <stdio.h>
#include <stdlib.h>

#include "engines/no_phase.h"
#include "engines/cpu_engine.h"
#include "fixed/read_frames.h"
#include "fixed/run.h"
#include "fixed/write_results.h"

using namespace phaze_internal;

static int W, H;
static unsigned char *samples[3];
static sample_frames frames;
static shared_numbers shared;

// The three frames' samples, and the pages of the frame file being read.
double run_host_bytes_per_pixel(void) { return 3 + 3; }

int run_allocate(int width, int height) {
    W = width, H = height;
    for (auto &frame : samples)
        if ((frame = (unsigned char *)malloc((size_t)W * (size_t)H)) == NULL) return 1;
    frames = sample_frames{{samples[0], samples[1], samples[2]}, SAMPLES_U8, W, H, (size_t)W};
    return 0;
}

int run_read_frames(void) { return read_frame_bytes(samples, W, H); }

int run_compute(void) {
    if (find_shared_numbers(frames, &shared) == 0) return 0;
    printf("\n" NO_PHASE_MESSAGE "!\n");
    return 1;
}

static const double *engine_phases(void *, long long first, long long count, double *buffer) {
    return phase_of_pixels(frames, shared, first, count, buffer) ? NULL : buffer;
}

int run_write_results(void) { return write_results_from(engine_phases, NULL, W, H); }

void run_release(void) {
    for (auto frame : samples) free(frame);
}
