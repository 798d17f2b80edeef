// The library: checks the arguments, runs the CPU engine or the CUDA engine, and
// estimates the model around the phase. The engines hold every formula,
// fallback and check of the phase itself; this file adds none of its own.
#include "phaze/phaze.h"

#include <math.h>
#include <omp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "device/moments.h"
#include "engine/cpu_engine.h"
#include "phaze/quality.h"
#ifdef PHAZE_WITH_CUDA
#include "engine/stage_engine.h"
#include "gpu/gpu.h"
#endif

static phaze_status fail(phaze_status status, char *message, size_t size, const char *format, ...) {
    if (message != NULL && size > 0) {
        va_list arguments;
        va_start(arguments, format);
        vsnprintf(message, size, format, arguments);
        va_end(arguments);
    }
    return status;
}

static void add_warning(phaze_report *report, const char *text) {
    const size_t used = strlen(report->warnings);
    snprintf(report->warnings + used, sizeof report->warnings - used, "%s%s", used ? "\n" : "",
             text);
}

void phaze_default_options(phaze_options *options) {
    options->min_modulation = -1;
    options->saturation = -1;
    options->device = PHAZE_DEVICE_AUTO;
}

const char *phaze_version(void) { return PHAZE_VERSION; }

int phaze_cuda_available(void) {
#ifdef PHAZE_WITH_CUDA
    return gpu_device_count() > 0;
#else
    return 0;
#endif
}

static size_t sample_bytes(int type) {
    return type == PHAZE_UINT8 ? 1 : type == PHAZE_UINT16 ? 2 : type == PHAZE_FLOAT32 ? 4 : 8;
}

// Float frames may hold NaN or infinite samples, and one of them would spoil
// the moments of the whole frame: such pixels go to the engine as the origin,
// which weighs nothing, and are masked afterwards. (Saturated pixels stay as
// they are: clipped fringe peaks lie close to the ellipse, and leaving them out
// would leave the phases unevenly spread, which biases the moments more.)
static int has_non_finite(const sample_frames &f) {
    int found = 0;
#pragma omp parallel for schedule(static) reduction(|| : found)
    for (int y = 0; y < f.height; y++)
        visit_pixels(f, (long long)y * f.width, f.width,
                     [&](long long, double a, double b, double c) {
                         if (!(isfinite(a) && isfinite(b) && isfinite(c))) found = 1;
                     });
    return found;
}

static std::vector<double> finite_copy(const sample_frames &f, sample_frames *copy) {
    const size_t pixels = (size_t)f.width * f.height;
    std::vector<double> samples(3 * pixels);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < f.height; y++)
        visit_pixels(f, (long long)y * f.width, f.width,
                     [&](long long k, double a, double b, double c) {
                         const size_t i = (size_t)y * f.width + k;
                         const int finite = isfinite(a) && isfinite(b) && isfinite(c);
                         samples[i] = finite ? a : 0.0;
                         samples[pixels + i] = finite ? b : 0.0;
                         samples[2 * pixels + i] = finite ? c : 0.0;
                     });
    *copy = sample_frames{{samples.data(), samples.data() + pixels, samples.data() + 2 * pixels},
                          SAMPLES_F64,
                          f.width,
                          f.height,
                          f.width * sizeof(double)};
    return samples;
}

static void phase_of_all(const sample_frames &f, const shared_numbers &shared, double *phase) {
    const long long pixels = (long long)f.width * f.height, block = 1 << 14;
#pragma omp parallel for schedule(static)
    for (long long start = 0; start < pixels; start += block)
        phase_of_pixels(f, shared, start, pixels - start < block ? pixels - start : block,
                        phase + start);  // a phase that is not finite is masked like any other
}

#ifdef PHAZE_WITH_CUDA
// The kernel stages on the GPU, over arrays of doubles as phaze-cuda has them.
static phaze_status cuda_phase(const sample_frames &f, double *phase, char *message, size_t size) {
    const long long pixels = (long long)f.width * f.height;
    if (pixels > 0x7fffffffLL)
        return fail(PHAZE_BAD_ARGUMENT, message, size, "the CUDA engine takes at most %d pixels",
                    0x7fffffff);
    const int SIZE = (int)pixels;
    const size_t bytes = sizeof(double) * (size_t)SIZE;
    std::vector<double> host[3];
    for (auto &h : host) h.resize((size_t)SIZE);
#pragma omp parallel for schedule(static)
    for (int y = 0; y < f.height; y++)
        visit_pixels(f, (long long)y * f.width, f.width,
                     [&](long long k, double a, double b, double c) {
                         const size_t i = (size_t)y * f.width + k;
                         host[0][i] = a, host[1][i] = b, host[2][i] = c;
                     });
    stage_buffers b = {host[0].data(), host[1].data(), host[2].data(), phase,
                       NULL,           NULL,           NULL,           NULL};
    stage_result result = STAGES_DEVICE_FAILED;
    if (gpu_alloc(&b.dX, bytes) == 0 && gpu_alloc(&b.dY, bytes) == 0 &&
        gpu_alloc(&b.dZ, bytes) == 0 && gpu_alloc(&b.dphase, bytes) == 0)
        result = stage_engine_phase(b, SIZE);
    const char *why = gpu_error_text();
    for (double *d : {b.dX, b.dY, b.dZ, b.dphase})
        if (d != NULL) gpu_free(d);
    if (result == STAGES_NO_PHASE) return PHAZE_NO_PHASE;
    if (result == STAGES_DEVICE_FAILED)
        return fail(PHAZE_DEVICE_FAILED, message, size, "CUDA device error: %s", why);
    return PHAZE_OK;
}
#endif

static phaze_status check_arguments(const phaze_frames *frames, const phaze_options *options,
                                    double *phase, char *message, size_t size) {
    if (frames == NULL) return fail(PHAZE_BAD_ARGUMENT, message, size, "no frames");
    if (frames->type != PHAZE_UINT8 && frames->type != PHAZE_UINT16 &&
        frames->type != PHAZE_FLOAT32 && frames->type != PHAZE_FLOAT64)
        return fail(PHAZE_BAD_ARGUMENT, message, size, "unsupported sample type %d",
                    (int)frames->type);
    for (int k = 0; k < 3; k++)
        if (frames->frame[k] == NULL)
            return fail(PHAZE_BAD_ARGUMENT, message, size, "frame %d is missing", k + 1);
    if (frames->width <= 0 || frames->height <= 0)
        return fail(PHAZE_BAD_ARGUMENT, message, size, "a frame of %d x %d pixels is empty",
                    frames->width, frames->height);
    if ((long long)frames->width * frames->height < 5)
        return fail(PHAZE_BAD_ARGUMENT, message, size,
                    "frames of %d x %d pixels are too small: phaze needs at least 5 pixels",
                    frames->width, frames->height);
    if (phase == NULL) return fail(PHAZE_BAD_ARGUMENT, message, size, "no phase array");
    const size_t row = (size_t)frames->width * sample_bytes(frames->type);
    if (frames->row_stride != 0 && frames->row_stride < row)
        return fail(PHAZE_BAD_ARGUMENT, message, size,
                    "a row stride of %zu bytes is less than a row (%zu)", frames->row_stride, row);
    if (options != NULL && (isnan(options->min_modulation) || isnan(options->saturation)))
        return fail(PHAZE_BAD_ARGUMENT, message, size, "a threshold is not a number");
    if (options != NULL && options->device != PHAZE_DEVICE_AUTO &&
        options->device != PHAZE_DEVICE_CPU && options->device != PHAZE_DEVICE_CUDA)
        return fail(PHAZE_BAD_ARGUMENT, message, size, "unknown device %d", (int)options->device);
    return PHAZE_OK;
}

phaze_status phaze_analyse(const phaze_frames *frames, const phaze_options *options, double *phase,
                           float *modulation, unsigned char *mask, phaze_report *report_out,
                           char *message, size_t message_size) {
    const double start = omp_get_wtime();
    phaze_status status = check_arguments(frames, options, phase, message, message_size);
    if (status != PHAZE_OK) return status;
    phaze_options chosen;
    phaze_default_options(&chosen);
    if (options != NULL) chosen = *options;
    phaze_report report;
    memset(&report, 0, sizeof report);

    const sample_type types[4] = {SAMPLES_U8, SAMPLES_U16, SAMPLES_F32, SAMPLES_F64};
    sample_frames f = {{frames->frame[0], frames->frame[1], frames->frame[2]},
                       types[frames->type],
                       frames->width,
                       frames->height,
                       frames->row_stride ? frames->row_stride
                                          : (size_t)frames->width * sample_bytes(frames->type)};
    const int is_float = frames->type == PHAZE_FLOAT32 || frames->type == PHAZE_FLOAT64;
    const double full_scale = frames->type == PHAZE_UINT8    ? 255
                              : frames->type == PHAZE_UINT16 ? 65535
                                                             : 0;
    quality_limits limits;
    limits.saturation = chosen.saturation >= 0 ? chosen.saturation
                        : is_float             ? INFINITY
                                               : full_scale;
    limits.min_modulation = chosen.min_modulation >= 0
                                ? chosen.min_modulation
                                : 0.01 * (is_float ? largest_sample(f) : full_scale);
    const sample_frames original = f;  // the mask is made from the frames as they are
    std::vector<double> finite;
    if (is_float && has_non_finite(f)) finite = finite_copy(f, &f);
    report.min_modulation = limits.min_modulation;
    report.saturation = limits.saturation;

    const int want_cuda = chosen.device == PHAZE_DEVICE_CUDA ||
                          (chosen.device == PHAZE_DEVICE_AUTO && phaze_cuda_available());
    report.device = want_cuda ? PHAZE_DEVICE_CUDA : PHAZE_DEVICE_CPU;
    if (want_cuda) {
#ifdef PHAZE_WITH_CUDA
        status = phaze_cuda_available() ? cuda_phase(f, phase, message, message_size)
                                        : fail(PHAZE_DEVICE_FAILED, message, message_size,
                                               "no CUDA device is present");
#else
        status = fail(PHAZE_DEVICE_FAILED, message, message_size,
                      "this build of phaze has no CUDA engine");
#endif
    }
    shared_numbers shared;
    if (!want_cuda) status = find_shared_numbers(f, &shared) ? PHAZE_NO_PHASE : PHAZE_OK;
    const long long pixels = (long long)f.width * f.height;
    const bool no_fringes =
        status == PHAZE_NO_PHASE && no_modulation_anywhere(f, limits.min_modulation);
    if (no_fringes) {
        // Frames without fringes: every pixel is masked, which is the answer.
        for (long long i = 0; i < pixels; i++) phase[i] = NAN;
        status = PHAZE_OK;
        add_warning(&report, "no pixel has modulation: every pixel is masked");
    }
    if (status == PHAZE_NO_PHASE)
        return fail(status, message, message_size, "%s", NO_PHASE_MESSAGE);
    if (status != PHAZE_OK) return status;
    if (!want_cuda && !no_fringes && finite.empty()) {
        phase_and_quality(f, shared, limits, phase, modulation, mask, &report);
    } else {
        if (!want_cuda && !no_fringes) phase_of_all(f, shared, phase);
        estimate_quality(original, limits, phase, modulation, mask, &report);
    }

    if (report.masked_fraction > 0.5 && report.masked_fraction < 1)
        add_warning(&report, "more than half of the pixels are masked");
    if (report.masked_fraction >= 1 && report.warnings[0] == '\0')
        add_warning(&report, "every pixel is masked");
    for (int j = 0; j < 3 && isfinite(report.steps[1]); j++) {
        const double gap =
            fabs(remainder(report.steps[j] - report.steps[(j + 1) % 3], 6.283185307179586));
        if (gap < 0.2) {
            add_warning(
                &report,
                "two phase steps are less than 0.2 rad apart: the phase is sensitive to noise");
            break;
        }
    }
    report.seconds = omp_get_wtime() - start;
    if (report_out != NULL) *report_out = report;
    return PHAZE_OK;
}
