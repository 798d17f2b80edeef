// The library: checks the arguments, runs the CPU engine or the CUDA engine, and
// estimates the model around the phase. The engines hold every formula,
// fallback and check of the phase itself; this file adds none of its own.
#include "phaze/phaze.h"

#include <math.h>
#include <omp.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>
#include <new>
#include <stdexcept>
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
static long long finite_pixels(const sample_frames &f) {
    long long found = 0;
#pragma omp parallel for schedule(static) reduction(+ : found)
    for (int y = 0; y < f.height; y++)
        visit_pixels(f, (long long)y * f.width, f.width,
                     [&](long long, double a, double b, double c) {
                         found += isfinite(a) && isfinite(b) && isfinite(c);
                     });
    return found;
}

// Two frames with the same samples everywhere: the same file given twice, say.
static int two_frames_equal(const sample_frames &f, size_t row_bytes) {
    for (int j = 0; j < 3; j++)
        for (int k = j + 1; k < 3; k++) {
            int equal = 1;
            for (int y = 0; y < f.height && equal; y++) {
                const size_t offset = (size_t)y * f.row_stride;
                equal = memcmp((const char *)f.frame[j] + offset, (const char *)f.frame[k] + offset,
                               row_bytes) == 0;
            }
            if (equal) return 1;
        }
    return 0;
}

// The largest magnitude of a finite sample: past about 1e150 the sums of
// squares overflow.
static double largest_magnitude(const sample_frames &f) {
    double largest = 0;
    for (int y = 0; y < f.height; y++)
        visit_pixels(f, (long long)y * f.width, f.width,
                     [&](long long, double a, double b, double c) {
                         for (double v : {a, b, c})
                             if (isfinite(v) && fabs(v) > largest) largest = fabs(v);
                     });
    return largest;
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
    const size_t bytes = sample_bytes(frames->type), row = (size_t)frames->width * bytes;
    if (frames->row_stride != 0 && frames->row_stride < row)
        return fail(PHAZE_BAD_ARGUMENT, message, size,
                    "a row stride of %zu bytes is less than a row (%zu)", frames->row_stride, row);
    // Offsets are row * stride in size_t: one that wraps would read anywhere.
    if (frames->row_stride > (SIZE_MAX - row) / (size_t)frames->height)
        return fail(PHAZE_BAD_ARGUMENT, message, size,
                    "a row stride of %zu bytes over %d rows passes the end of the address space",
                    frames->row_stride, frames->height);
    if (frames->row_stride % bytes != 0)
        return fail(PHAZE_BAD_ARGUMENT, message, size,
                    "a row stride of %zu bytes is not a whole number of %zu-byte samples",
                    frames->row_stride, bytes);
    for (int k = 0; k < 3; k++)
        if ((uintptr_t)frames->frame[k] % bytes != 0)
            return fail(PHAZE_BAD_ARGUMENT, message, size,
                        "frame %d does not start on a %zu-byte boundary", k + 1, bytes);
    if (options != NULL && (isnan(options->min_modulation) || isnan(options->saturation)))
        return fail(PHAZE_BAD_ARGUMENT, message, size, "a threshold is not a number");
    if (options != NULL && options->device != PHAZE_DEVICE_AUTO &&
        options->device != PHAZE_DEVICE_CPU && options->device != PHAZE_DEVICE_CUDA)
        return fail(PHAZE_BAD_ARGUMENT, message, size, "unknown device %d", (int)options->device);
    return PHAZE_OK;
}

// Why the frames hold no phase, as closely as the frames tell.
static phaze_status no_phase(const sample_frames &f, int is_float, char *message, size_t size) {
    if (is_float && largest_magnitude(f) > 1e150)
        return fail(PHAZE_BAD_ARGUMENT, message, size,
                    "samples as large as %g overflow the sums of their squares: scale the frames "
                    "to below 1e150",
                    largest_magnitude(f));
    return fail(PHAZE_NO_PHASE, message, size, "%s", NO_PHASE_MESSAGE);
}

// The checks of the result against the model: each adds a warning.
static void warn_of_doubtful_results(const double *phase, int width, int height,
                                     phaze_report *report) {
    if (report->masked_fraction > 0.5 && report->masked_fraction < 1)
        add_warning(report, "more than half of the pixels are masked");
    if (report->masked_fraction >= 1 && report->warnings[0] == '\0')
        add_warning(report, "every pixel is masked");
    for (int j = 0; j < 3 && isfinite(report->steps[1]); j++) {
        const double gap =
            fabs(remainder(report->steps[j] - report->steps[(j + 1) % 3], 6.283185307179586));
        if (gap < 0.2) {
            add_warning(
                report,
                "two phase steps are less than 0.2 rad apart: the phase is sensitive to noise");
            break;
        }
    }
    if (report->residual_rms > MAX_RESIDUAL_SHARE * report->modulation)
        add_warning(report,
                    "the frames do not fit the fringe model (the residual is over 7.5% of the "
                    "modulation): the phase and the steps are unreliable; is a frame dropped, "
                    "from another set, or clipped?");
    if (phase_order(phase, width, height) < MIN_PHASE_ORDER)
        add_warning(report,
                    "the phase has no spatial order: the frames look like noise, not fringes");
}

static phaze_status analyse(const phaze_frames *frames, const phaze_options *options, double *phase,
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
    const long long pixels = (long long)f.width * f.height;
    const sample_frames original = f;  // the mask is made from the frames as they are
    const long long finite = is_float ? finite_pixels(f) : pixels;
    std::vector<double> cleaned;
    if (finite < pixels) cleaned = finite_copy(f, &f);
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
    // Frames without fringes: every pixel is masked, which is the answer;
    // unless two frames are the same, which is a mistake rather than a scene.
    const bool no_fringes =
        status == PHAZE_NO_PHASE &&
        !two_frames_equal(original, (size_t)f.width * sample_bytes(frames->type)) &&
        no_modulation_anywhere(f, limits.min_modulation);
    if (no_fringes) {
        for (long long i = 0; i < pixels; i++) phase[i] = NAN;
        status = PHAZE_OK;
        add_warning(&report, finite == 0 ? "no pixel has finite samples: every pixel is masked"
                                         : "no pixel has modulation: every pixel is masked");
    }
    if (status == PHAZE_NO_PHASE) return no_phase(original, is_float, message, message_size);
    if (status != PHAZE_OK) return status;
    if (!want_cuda && !no_fringes && cleaned.empty()) {
        phase_and_quality(f, shared, limits, phase, modulation, mask, &report);
    } else {
        if (!want_cuda && !no_fringes) phase_of_all(f, shared, phase);
        estimate_quality(original, limits, phase, modulation, mask, &report);
    }
    warn_of_doubtful_results(phase, f.width, f.height, &report);
    report.seconds = omp_get_wtime() - start;
    if (report_out != NULL) *report_out = report;
    return PHAZE_OK;
}

phaze_status phaze_analyse(const phaze_frames *frames, const phaze_options *options, double *phase,
                           float *modulation, unsigned char *mask, phaze_report *report,
                           char *message, size_t message_size) {
    try {
        return analyse(frames, options, phase, modulation, mask, report, message, message_size);
    } catch (const std::bad_alloc &) {
        return fail(PHAZE_NO_MEMORY, message, message_size,
                    "not enough memory for the analysis of %d x %d frames", frames->width,
                    frames->height);
    } catch (const std::length_error &) {
        return fail(PHAZE_NO_MEMORY, message, message_size,
                    "not enough memory for the analysis of %d x %d frames", frames->width,
                    frames->height);
    } catch (const std::exception &e) {
        return fail(PHAZE_DEVICE_FAILED, message, message_size, "an internal error: %s", e.what());
    } catch (...) {
        return fail(PHAZE_DEVICE_FAILED, message, message_size, "an internal error");
    }
}
