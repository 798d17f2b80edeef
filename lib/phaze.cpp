// The library's entry points. phaze_analyse reads as the method: check the
// arguments, take the thresholds, let an engine find the phase (or say there is
// none), fit the model around what it found, and add the warnings. The engines
// hold every formula, fallback and check of the phase itself.
#include "phaze/phaze.h"

#include <math.h>
#include <omp.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <string>
#include <stdexcept>
#include <vector>

#include "engines/cpu_engine.h"
#include "engines/no_phase.h"
#include "engines/plane_engine.h"
#include "method/frame_checks.h"
#include "model/given_steps.h"
#include "model/harmonics.h"
#include "model/least_squares_model.h"
#include "model/model.h"
#include "model/warnings.h"
#include "unwrap/coarse_steps.h"
#include "unwrap/spatial.h"
#include "unwrap/temporal.h"
#ifdef PHAZE_WITH_CUDA
#include "engines/cuda_engine.h"
#endif

using namespace phaze_internal;

static phaze_status fail(phaze_status status, char *message, size_t size, const char *format, ...) {
    if (message != NULL && size > 0) {
        va_list arguments;
        va_start(arguments, format);
        vsnprintf(message, size, format, arguments);
        va_end(arguments);
    }
    return status;
}

void phaze_default_options(phaze_options *options) {
    if (options == NULL) return;
    memset(options, 0, sizeof *options);
    options->size = sizeof *options;
    options->min_modulation = -1;
    options->saturation = -1;
    options->device = PHAZE_DEVICE_AUTO;
    options->harmonics = PHAZE_HARMONICS_DEFAULT;
}

const char *phaze_version(void) { return PHAZE_VERSION; }

int phaze_cuda_available(void) {
#ifdef PHAZE_WITH_CUDA
    return cuda_engine_available();
#else
    return 0;
#endif
}

const char *phaze_warning_text(unsigned warning) { return warning_text(warning); }

size_t phaze_describe_warning(const phaze_report *report, unsigned warning, char *text,
                              size_t size) {
    std::string sentence = warning_text(warning);
    if (report != NULL && warning == PHAZE_WARN_STEPS_DIFFER && (report->warnings & warning)) {
        // The numbers before the question, in degrees, as steps are usually said.
        const auto degrees = [&](const double *steps) {
            std::string list;
            char number[32];
            for (int k = 0; k < report->frame_count && k < PHAZE_MAX_FRAMES; k++) {
                snprintf(number, sizeof number, "%s%.1f", k ? ", " : "",
                         steps[k] * 57.29577951308232);
                list += number;
            }
            return list;
        };
        const size_t colon = sentence.find(':');
        sentence.insert(colon, " (given " + degrees(report->steps) + " degrees; the frames show " +
                                   degrees(report->measured_steps) + ")");
    }
    if (text != NULL && size > 0) snprintf(text, size, "%s", sentence.c_str());
    return sentence.size() + 1;
}

const char *phaze_ripple_outcome_text(int outcome) {
    switch (outcome) {
        case PHAZE_RIPPLE_NOT_SOUGHT: return "not sought";
        case PHAZE_RIPPLE_REMOVED: return "removed";
        case PHAZE_RIPPLE_TOO_FEW_FRINGES: return "too few fringes to tell";
        case PHAZE_RIPPLE_NONE: return "none worth removing";
        case PHAZE_RIPPLE_UNCONFIRMED:
            return "not confirmed: the halves of the scene find different ripples (too few "
                   "fringes, or a phase that is not smooth)";
        default: return "";
    }
}

const char *phaze_sample_type_name(int type) {
    switch (type) {
        case PHAZE_UINT8: return "uint8";
        case PHAZE_UINT16: return "uint16";
        case PHAZE_FLOAT32: return "float32";
        case PHAZE_FLOAT64: return "float64";
        default: return NULL;
    }
}

const char *phaze_device_name(int device) {
    switch (device) {
        case PHAZE_DEVICE_AUTO: return "auto";
        case PHAZE_DEVICE_CPU: return "cpu";
        case PHAZE_DEVICE_CUDA: return "cuda";
        default: return NULL;
    }
}

static size_t sample_bytes(int type) {
    return type == PHAZE_UINT8 ? 1 : type == PHAZE_UINT16 ? 2 : type == PHAZE_FLOAT32 ? 4 : 8;
}

static phaze_status check_arguments(const phaze_frames *frames, double *phase, char *message,
                                    size_t size) {
    if (frames == NULL) return fail(PHAZE_BAD_ARGUMENT, message, size, "no frames");
    if (frames->type != PHAZE_UINT8 && frames->type != PHAZE_UINT16 &&
        frames->type != PHAZE_FLOAT32 && frames->type != PHAZE_FLOAT64)
        return fail(PHAZE_BAD_ARGUMENT, message, size, "unsupported sample type %d",
                    (int)frames->type);
    if (frames->count < PHAZE_MIN_FRAMES || frames->count > PHAZE_MAX_FRAMES)
        return fail(PHAZE_BAD_ARGUMENT, message, size,
                    "%d frames given: phaze takes %d to %d frames of one scene", frames->count,
                    PHAZE_MIN_FRAMES, PHAZE_MAX_FRAMES);
    if (frames->frame == NULL) return fail(PHAZE_BAD_ARGUMENT, message, size, "no frame pointers");
    for (int k = 0; k < frames->count; k++)
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
    for (int k = 0; k < frames->count; k++)
        if ((uintptr_t)frames->frame[k] % bytes != 0)
            return fail(PHAZE_BAD_ARGUMENT, message, size,
                        "frame %d does not start on a %zu-byte boundary", k + 1, bytes);
    return PHAZE_OK;
}

// The size of the options of 0.4 and before, which end with the device and
// whose harmonics field, where there is one, lies in the padding after it.
static const size_t OPTIONS_BEFORE_0_5 = 32;

static int names_a_harmonics_choice(int h) {
    return h == PHAZE_HARMONICS_DEFAULT || h == PHAZE_HARMONICS_OFF || h == PHAZE_HARMONICS_AUTO;
}

// Steps given must be finite, distinct and able to give a phase; their count
// is checked against each set's frames.
static phaze_status check_given_steps(const phaze_options &o, char *message, size_t size) {
    if (o.step_count == 0) return PHAZE_OK;
    if (o.step_count < PHAZE_MIN_FRAMES || o.step_count > PHAZE_MAX_FRAMES)
        return fail(PHAZE_BAD_ARGUMENT, message, size,
                    "%d steps given: give one a frame, %d to %d of them", o.step_count,
                    PHAZE_MIN_FRAMES, PHAZE_MAX_FRAMES);
    double widest = 0;
    for (int k = 0; k < o.step_count; k++) {
        if (!isfinite(o.steps[k]))
            return fail(PHAZE_BAD_ARGUMENT, message, size, "step %d given is not a finite number",
                        k + 1);
        for (int j = 0; j < k; j++) {
            const double apart = fabs(remainder(o.steps[k] - o.steps[j], 6.283185307179586));
            if (apart < 1e-9)
                return fail(PHAZE_BAD_ARGUMENT, message, size,
                            "steps %d and %d given are equal (%g and %g rad): two frames taken "
                            "at one step hold one equation",
                            j + 1, k + 1, o.steps[j], o.steps[k]);
            widest = fmax(widest, apart);
        }
    }
    plane_numbers numbers;
    if (widest < 0.05 || given_step_numbers(o.steps, o.step_count, &numbers))
        return fail(PHAZE_BAD_ARGUMENT, message, size,
                    "the steps given cannot give a phase (%s): the frames would fix too little "
                    "of it",
                    widest < 0.05 ? "they all lie within 0.05 rad of each other"
                                  : "they fix the phase's cosine only");
    return PHAZE_OK;
}

// The caller's options over the defaults: the fields its header has (its
// size says which), checked; defaults resolved into *chosen.
static phaze_status read_options(const phaze_options *given, phaze_options *chosen, char *message,
                                 size_t size) {
    phaze_default_options(chosen);
    if (given != NULL) {
        const size_t known = offsetof(phaze_options, device) + sizeof given->device;
        if (given->size < known || given->size > sizeof(phaze_options))
            return fail(PHAZE_BAD_ARGUMENT, message, size,
                        "options of %zu bytes: make them with phaze_default_options%s",
                        given->size,
                        given->size > sizeof(phaze_options) ? " of this library's header" : "");
        memcpy(chosen, given, given->size);
        chosen->size = sizeof(phaze_options);
        if (given->size <= OPTIONS_BEFORE_0_5 && !names_a_harmonics_choice(chosen->harmonics))
            chosen->harmonics = PHAZE_HARMONICS_DEFAULT;  // padding, not a choice
    }
    if (isnan(chosen->min_modulation) || isnan(chosen->saturation))
        return fail(PHAZE_BAD_ARGUMENT, message, size, "a threshold is not a number");
    if (chosen->device != PHAZE_DEVICE_AUTO && chosen->device != PHAZE_DEVICE_CPU &&
        chosen->device != PHAZE_DEVICE_CUDA)
        return fail(PHAZE_BAD_ARGUMENT, message, size, "unknown device %d", chosen->device);
    if (!names_a_harmonics_choice(chosen->harmonics))
        return fail(PHAZE_BAD_ARGUMENT, message, size, "unknown harmonics choice %d",
                    chosen->harmonics);
    if (chosen->harmonics == PHAZE_HARMONICS_DEFAULT) chosen->harmonics = PHAZE_HARMONICS_AUTO;
    return check_given_steps(*chosen, message, size);
}

// The thresholds in the samples' units: the caller's, or those of the type.
static quality_limits limits_of(const phaze_frames &frames, const sample_frames &f,
                                const phaze_options &chosen) {
    const int is_float = frames.type == PHAZE_FLOAT32 || frames.type == PHAZE_FLOAT64;
    const double full_scale = frames.type == PHAZE_UINT8 ? 255 : 65535;
    quality_limits limits;
    limits.saturation = chosen.saturation >= 0 ? chosen.saturation
                        : is_float             ? INFINITY
                                               : full_scale;
    limits.min_modulation = chosen.min_modulation >= 0
                                ? chosen.min_modulation
                                : 0.01 * (is_float ? largest_sample(f) : full_scale);
    return limits;
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

// Every pixel masked: the report's numbers are NaN.
static void fully_masked(const sample_frames &f, float *modulation, unsigned char *mask,
                         phaze_report *report) {
    const size_t pixels = (size_t)f.width * f.height;
    if (modulation != NULL)
        for (size_t i = 0; i < pixels; i++) modulation[i] = NAN;
    if (mask != NULL) memset(mask, 0, pixels);
    for (int k = 0; k < f.count; k++) report->steps[k] = NAN;
    report->phase_offset = report->background = report->modulation = report->residual_rms = NAN;
    report->masked_fraction = 1;
}

// What the ripple estimate says in the report; where it was taken out of the
// phase, the model fitted again around the phase without it.
static void report_ripple(const sample_frames &f, const harmonic_ripple &r, const double *phase,
                          const unsigned char *mask, const double *given_theta,
                          phaze_report *report) {
    report->ripple_outcome = r.outcome;
    if (r.outcome == PHAZE_RIPPLE_TOO_FEW_FRINGES) return;
    report->ripple_rms = r.rms;
    report->ripple_evidence = isfinite(r.disagreement) ? fmax(0, 1 - r.disagreement) : 0;
    report->ripple_terms = RIPPLE_NODES;
    if (r.removable) {
        refit_model(f, phase, mask, given_theta, report);
        report->ripple_removed = 1;
    } else if (r.rms >= 0.05 && r.disagreement < 1.5) {
        report->warnings |= PHAZE_WARN_RIPPLE_LEFT;
    }
}

// The report with steps given: the steps in its convention (less the first,
// in [0, 2 pi); the first as phase_offset), and the frames' own, measured.
static void given_steps_report(const sample_frames &f, const quality_limits &limits,
                               const plane_numbers &given, phaze_report *report) {
    report->steps_given = 1;
    for (int k = 0; k < f.count; k++) {
        double step = given.theta[k] - given.theta[0];
        step -= 6.283185307179586 * floor(step / 6.283185307179586);
        report->steps[k] = k == 0 || step >= 6.283185307179586 ? 0 : step;
    }
    report->phase_offset = given.theta[0];
    if (report->masked_fraction < 1) measure_given_steps(f, limits, given, report);
}

// What the chosen engine found: the CPU engine's shared numbers, from which the
// model levels each pixel itself, or the CUDA engine's phase in the phase array.
struct engine_result {
    phaze_status status;
    phaze_device device;
    shared_numbers shared;
};

static engine_result find_phase(const sample_frames &f, const phaze_options &chosen, double *phase,
                                char *message, size_t size) {
    engine_result r = {PHAZE_OK, PHAZE_DEVICE_CPU, {}};
    const int want_cuda =
        chosen.device == PHAZE_DEVICE_CUDA ||
        (chosen.device == PHAZE_DEVICE_AUTO && f.count == 3 && phaze_cuda_available());
    if (want_cuda && f.count != 3) {
        r.status = fail(PHAZE_DEVICE_FAILED, message, size,
                        "the CUDA engine takes three frames; %d run on the CPU (device auto or "
                        "cpu)",
                        f.count);
        return r;
    }
    if (!want_cuda) {
        r.status = find_shared_numbers(f, &r.shared) ? PHAZE_NO_PHASE : PHAZE_OK;
        return r;
    }
    r.device = PHAZE_DEVICE_CUDA;
#ifdef PHAZE_WITH_CUDA
    char why[256] = "";
    const cuda_engine_result result =
        cuda_engine_available() ? cuda_engine_phase(f, phase, why, sizeof why) : CUDA_ENGINE_FAILED;
    if (!cuda_engine_available()) snprintf(why, sizeof why, "no CUDA device is present");
    r.status = result == CUDA_ENGINE_DONE ? PHAZE_OK
               : result == CUDA_ENGINE_NO_PHASE
                   ? PHAZE_NO_PHASE
                   : fail(PHAZE_DEVICE_FAILED, message, size, "CUDA device error: %s", why);
#else
    (void)phase;
    r.status = fail(PHAZE_DEVICE_FAILED, message, size, "this build of phaze has no CUDA engine");
#endif
    return r;
}

phaze_status phaze_check_options(const phaze_options *options, int frame_count, char *message,
                                 size_t message_size) {
    phaze_options chosen;
    const phaze_status status = read_options(options, &chosen, message, message_size);
    if (status != PHAZE_OK) return status;
    if (chosen.step_count > 0 && chosen.step_count != frame_count)
        return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                    "%d steps given for %d frames: give one a frame", chosen.step_count,
                    frame_count);
    return PHAZE_OK;
}

// The caller's report as its header has it: the fields of 0.5 only where its
// options are of 0.5 or later.
static void give_report(const phaze_report &report, const phaze_options *options,
                        phaze_report *out) {
    if (out != NULL)
        memcpy(out, &report,
               options != NULL && options->size < sizeof(phaze_options)
                   ? offsetof(phaze_report, steps_given)
                   : sizeof report);
}

static phaze_status analyse(const phaze_frames *frames, const phaze_options *options, double *phase,
                            float *modulation, unsigned char *mask, phaze_report *report_out,
                            char *message, size_t message_size) {
    const double start = omp_get_wtime();
    phaze_options chosen;
    phaze_status status = read_options(options, &chosen, message, message_size);
    if (status == PHAZE_OK) status = check_arguments(frames, phase, message, message_size);
    if (status != PHAZE_OK) return status;
    phaze_report report;
    memset(&report, 0, sizeof report);
    for (double &m : report.measured_steps) m = NAN;

    const sample_type types[4] = {SAMPLES_U8, SAMPLES_U16, SAMPLES_F32, SAMPLES_F64};
    const size_t row_bytes = (size_t)frames->width * sample_bytes(frames->type);
    sample_frames f = {{},
                       types[frames->type],
                       frames->width,
                       frames->height,
                       frames->row_stride ? frames->row_stride : row_bytes,
                       frames->count};
    for (int k = 0; k < frames->count; k++) f.frame[k] = frames->frame[k];
    const int is_float = frames->type == PHAZE_FLOAT32 || frames->type == PHAZE_FLOAT64;
    const quality_limits limits = limits_of(*frames, f, chosen);
    report.min_modulation = limits.min_modulation;
    report.saturation = limits.saturation;
    report.frame_count = f.count;
    report.device = PHAZE_DEVICE_CPU;
    const long long pixels = (long long)f.width * f.height;

    // Non-finite samples would spoil the moments of the whole frame: the
    // three-frame engine sees them as the origin, which weighs nothing; the
    // model masks them. (Saturated pixels stay: clipped peaks lie close to the
    // ellipse, and leaving them out would spread the phases unevenly.) The
    // plane engine finds its steps from usable pixels only.
    const long long finite = is_float && f.count == 3 ? finite_pixels(f) : pixels;
    sample_frames engine_frames = f;
    std::vector<double> cleaned;
    if (finite < pixels) cleaned = finite_copy(f, &engine_frames);

    engine_result engine = {PHAZE_OK, PHAZE_DEVICE_CPU, {}};
    plane_numbers plane;
    std::vector<harmonic_ripple> ripple_room(chosen.harmonics == PHAZE_HARMONICS_AUTO ? 1 : 0);
    harmonic_ripple *ripple = ripple_room.empty() ? NULL : &ripple_room[0];
    const bool given = chosen.step_count > 0;
    if (given && chosen.step_count != f.count)
        return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                    "%d steps given for %d frames: give one a frame", chosen.step_count, f.count);
    if (given && chosen.device == PHAZE_DEVICE_CUDA)
        return fail(PHAZE_DEVICE_FAILED, message, message_size,
                    "the CUDA engine finds the steps itself; with steps given the work runs on "
                    "the CPU (device auto or cpu)");
    if (given)  // every pixel's least-squares phase with those steps
        engine.status = two_frames_equal(f, row_bytes) || given_step_numbers(chosen.steps, f.count, &plane)
                            ? PHAZE_NO_PHASE
                            : PHAZE_OK;
    else if (f.count == 3)
        engine = find_phase(engine_frames, chosen, phase, message, message_size);
    else if (chosen.device == PHAZE_DEVICE_CUDA)
        engine = find_phase(f, chosen, phase, message, message_size);  // refuses
    else
        engine.status = find_plane_steps(f, limits, &plane) ? PHAZE_NO_PHASE : PHAZE_OK;
    report.device = engine.device;
    if (engine.status == PHAZE_NO_PHASE) {
        // Frames without fringes, or without a pixel whose samples are all
        // finite (a frame of NaN among them): every pixel masked is the
        // answer; unless two frames are the same, which is a mistake rather
        // than a scene.
        const bool none_finite = is_float && finite_pixels(f) == 0;
        if (!none_finite && (two_frames_equal(f, row_bytes) ||
                             !no_modulation_anywhere(engine_frames, limits.min_modulation)))
            return no_phase(f, is_float, message, message_size);
        for (long long i = 0; i < pixels; i++) phase[i] = NAN;
        report.warnings |= none_finite ? PHAZE_WARN_NO_FINITE_SAMPLES : PHAZE_WARN_NO_MODULATION;
        fully_masked(f, modulation, mask, &report);
    } else if (engine.status != PHAZE_OK) {
        return engine.status;
    } else if (given || f.count > 3) {
        least_squares_model(f, plane, limits, phase, modulation, mask, &report, ripple);
        if (given) given_steps_report(f, limits, plane, &report);
    } else if (engine.device == PHAZE_DEVICE_CPU) {
        phase_and_quality(f, cleaned.empty() ? f : engine_frames, engine.shared, limits, phase,
                          modulation, mask, &report, ripple);
    } else {
        estimate_quality(f, limits, phase, modulation, mask, &report, ripple);
    }
    // The fit is judged on the model as first fitted, around the phase with
    // its ripple: the steps refitted around the phase without it hold what
    // the harmonics did to them.
    report.warnings |= judge_fit(f, report, limits);
    if (ripple != NULL && report.masked_fraction < 1)
        report_ripple(f, *ripple, phase, mask, given ? plane.theta : NULL, &report);
    warn_of_doubtful_results(phase, f.width, f.height, &report);
    report.seconds = omp_get_wtime() - start;
    give_report(report, options, report_out);
    return PHAZE_OK;
}

// Runs one entry point's work so that nothing crosses the C boundary: memory
// that runs out is PHAZE_NO_MEMORY with out_of_memory as the message, any other
// exception an internal error.
template <typename Work>
static phaze_status without_exceptions(Work work, char *message, size_t size,
                                       const char *out_of_memory) {
    try {
        return work();
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    } catch (const std::exception &e) {
        return fail(PHAZE_DEVICE_FAILED, message, size, "an internal error: %s", e.what());
    } catch (...) {
        return fail(PHAZE_DEVICE_FAILED, message, size, "an internal error");
    }
    return fail(PHAZE_NO_MEMORY, message, size, "%s", out_of_memory);
}

phaze_status phaze_analyse(const phaze_frames *frames, const phaze_options *options, double *phase,
                           float *modulation, unsigned char *mask, phaze_report *report,
                           char *message, size_t message_size) {
    char out_of_memory[96] = "not enough memory for the analysis";
    if (frames != NULL)
        snprintf(out_of_memory, sizeof out_of_memory,
                 "not enough memory for the analysis of %d x %d frames", frames->width,
                 frames->height);
    return without_exceptions(
        [&]() {
            return analyse(frames, options, phase, modulation, mask, report, message, message_size);
        },
        message, message_size, out_of_memory);
}

phaze_status phaze_unwrap(const double *phase, const unsigned char *mask, const float *modulation,
                          int width, int height, double *unwrapped, int *regions, char *message,
                          size_t message_size) {
    if (phase == NULL || unwrapped == NULL)
        return fail(PHAZE_BAD_ARGUMENT, message, message_size, "no phase or no output array");
    if (width <= 0 || height <= 0 || (long long)width * height > 0xffffffffLL / 2)
        return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                    "a phase of %d x %d pixels cannot be unwrapped", width, height);
    char out_of_memory[96];
    snprintf(out_of_memory, sizeof out_of_memory,
             "not enough memory to unwrap a phase of %d x %d pixels", width, height);
    return without_exceptions(
        [&]() {
            const int found = unwrap_spatial(phase, mask, modulation, width, height, unwrapped);
            if (regions != NULL) *regions = found;
            return PHAZE_OK;
        },
        message, message_size, out_of_memory);
}

// options_of(k): set k's options (NULL: the defaults). Each set's steps are
// its own; the thresholds, device and harmonics are set 1's for all.
template <typename OptionsOf>
static phaze_status analyse_periods(const phaze_frames *sets, int count, const double *periods,
                                    OptionsOf options_of, double *phase, float *modulation,
                                    unsigned char *mask, phaze_report *report, char *message,
                                    size_t message_size) {
    if (sets == NULL || periods == NULL || count < 2 || count > PHAZE_MAX_PERIODS)
        return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                    "%d frame sets given: temporal unwrapping takes 2 to %d, with a period each",
                    count, PHAZE_MAX_PERIODS);
    std::vector<phaze_options> chosen(count);
    for (int k = 0; k < count; k++) {
        char why[256] = "";
        if (read_options(options_of(k), &chosen[k], why, sizeof why) != PHAZE_OK)
            return fail(PHAZE_BAD_ARGUMENT, message, message_size, "set %d: %s", k + 1, why);
        if ((chosen[k].step_count > 0) != (chosen[0].step_count > 0))
            return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                        "steps are given for set %d and not for set %d: give them for every set "
                        "or for none",
                        chosen[k].step_count > 0 ? k + 1 : 1, chosen[k].step_count > 0 ? 1 : k + 1);
        const phaze_options own = chosen[k];
        chosen[k] = chosen[0];
        chosen[k].step_count = own.step_count;
        memcpy(chosen[k].steps, own.steps, sizeof own.steps);
    }
    int finest = 0;
    for (int k = 0; k < count; k++) {
        if (!(isfinite(periods[k]) && periods[k] > 0))
            return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                        "period %d is not a positive number", k + 1);
        for (int j = 0; j < k; j++)
            if (periods[j] == periods[k])
                return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                            "periods %d and %d are equal", j + 1, k + 1);
        if (sets[k].width != sets[0].width || sets[k].height != sets[0].height)
            return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                        "set %d is %d x %d, set 1 %d x %d", k + 1, sets[k].width, sets[k].height,
                        sets[0].width, sets[0].height);
        // Each set's own checks before anything is made for it.
        const phaze_status status = check_arguments(&sets[k], phase, message, message_size);
        if (status != PHAZE_OK) return status;
        if (sets[k].type != sets[0].type)
            return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                        "set %d's samples are %s, set 1's %s: the sets share their thresholds",
                        k + 1, phaze_sample_type_name(sets[k].type),
                        phaze_sample_type_name(sets[0].type));
        if (periods[k] < periods[finest]) finest = k;
    }
    for (int k = 0; k < count; k++)
        for (int j = 0; j < count; j++)
            if (!(periods[k] / periods[j] < 1e6))
                return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                            "periods %g and %g are too far apart (a ratio over a million): no "
                            "phase tells orders so fine",
                            periods[k], periods[j]);
    const size_t pixels = (size_t)sets[0].width * sets[0].height;
    std::vector<std::vector<double>> phases(count);
    std::vector<std::vector<unsigned char>> masks(count);
    std::vector<const double *> phase_of(count);
    std::vector<const unsigned char *> mask_of(count);
    std::vector<phaze_report> reports(count);
    std::vector<double> fringes(count, 0);
    const auto analyse_set = [&](int k, const phaze_options &o) {
        char why[256] = "";
        const phaze_status status =
            analyse(&sets[k], &o, phases[k].data(), k == finest ? modulation : NULL,
                    masks[k].data(), &reports[k], why, sizeof why);
        if (status != PHAZE_OK)
            return fail(status, message, message_size, "set %d (period %g): %s", k + 1,
                        periods[k], why);
        fringes[k] = fringes_across(phases[k].data(), masks[k].data(), sets[k].width,
                                    sets[k].height);
        return PHAZE_OK;
    };
    for (int k = 0; k < count; k++) {
        phases[k].resize(pixels), masks[k].resize(pixels);
        const phaze_status status = analyse_set(k, chosen[k]);
        if (status != PHAZE_OK) return status;
        phase_of[k] = phases[k].data(), mask_of[k] = masks[k].data();
    }
    // A set whose phase goes round less than two turns cannot show its own
    // steps; the coarsest set that can shows them, its phase scaled.
    if (chosen[0].step_count == 0) {
        int guide = -1;
        for (int k = 0; k < count; k++)
            if (fringes[k] >= 2 && (guide < 0 || periods[k] > periods[guide])) guide = k;
        for (int k = 0; k < count && guide >= 0; k++) {
            if (periods[k] <= periods[guide] || fringes[guide] * periods[guide] / periods[k] >= 2)
                continue;
            const sample_type types[4] = {SAMPLES_U8, SAMPLES_U16, SAMPLES_F32, SAMPLES_F64};
            const size_t row = (size_t)sets[k].width * sample_bytes(sets[k].type);
            sample_frames f = {{}, types[sets[k].type], sets[k].width, sets[k].height,
                               sets[k].row_stride ? sets[k].row_stride : row, sets[k].count};
            for (int j = 0; j < sets[k].count; j++) f.frame[j] = sets[k].frame[j];
            phaze_options o = chosen[k];
            if (steps_from_finer_phase(f, phases[guide].data(), masks[guide].data(),
                                       periods[guide] / periods[k], o.steps))
                continue;
            o.step_count = sets[k].count;
            // The frames are judged as they were: the steps are theirs, not
            // the caller's, and three frames with steps fit any phase. Their
            // steps are no longer unknown.
            const unsigned judged = reports[k].warnings & ~(unsigned)PHAZE_WARN_FEW_FRINGES;
            const phaze_status status = analyse_set(k, o);
            if (status != PHAZE_OK) return status;
            reports[k].steps_given = 0, reports[k].warnings = judged;
        }
    }
    phaze_report finest_report = reports[finest];
    finest_report.set_count = count;
    for (int k = 0; k < count; k++) finest_report.set_warnings[k] = reports[k].warnings;
    std::vector<unsigned char> final_mask(pixels);
    const temporal_outcome outcome =
        unwrap_temporal(phase_of.data(), mask_of.data(), count, periods, sets[0].width,
                        sets[0].height, chosen[0].step_count > 0, phase, final_mask.data());
    if (outcome.coarsest_turns_over)
        return fail(PHAZE_BAD_ARGUMENT, message, message_size,
                    "the coarsest period shows more than one fringe across the scene, and the "
                    "orders cannot be known there; add a coarser period");
    const long long masked = outcome.masked;
    if (outcome.orders_unreliable) finest_report.warnings |= PHAZE_WARN_ORDERS_UNRELIABLE;
    if (mask != NULL) memcpy(mask, final_mask.data(), pixels);
    // The masking warnings for the final mask, which also drops order errors.
    finest_report.masked_fraction = masked / (double)pixels;
    finest_report.warnings &= ~(unsigned)(PHAZE_WARN_ALL_MASKED | PHAZE_WARN_MOSTLY_MASKED);
    if (finest_report.masked_fraction >= 1)
        finest_report.warnings |= PHAZE_WARN_ALL_MASKED;
    else if (finest_report.masked_fraction > 0.5)
        finest_report.warnings |= PHAZE_WARN_MOSTLY_MASKED;
    give_report(finest_report, options_of(0), report);
    return PHAZE_OK;
}

// The entry points of temporal unwrapping: one options struct for every set,
// or one each.
template <typename OptionsOf>
static phaze_status periods_entry(const phaze_frames *sets, int set_count, const double *periods,
                                  OptionsOf options_of, double *phase, float *modulation,
                                  unsigned char *mask, phaze_report *report, char *message,
                                  size_t message_size) {
    char out_of_memory[96];
    snprintf(out_of_memory, sizeof out_of_memory,
             "not enough memory for the temporal unwrapping of %d sets", set_count);
    return without_exceptions(
        [&]() {
            return analyse_periods(sets, set_count, periods, options_of, phase, modulation, mask,
                                   report, message, message_size);
        },
        message, message_size, out_of_memory);
}

phaze_status phaze_analyse_periods(const phaze_frames *sets, int set_count, const double *periods,
                                   const phaze_options *options, double *phase, float *modulation,
                                   unsigned char *mask, phaze_report *report, char *message,
                                   size_t message_size) {
    return periods_entry(
        sets, set_count, periods, [&](int) { return options; }, phase, modulation, mask, report,
        message, message_size);
}

phaze_status phaze_analyse_periods_each(const phaze_frames *sets, int set_count,
                                        const double *periods, const phaze_options *options,
                                        double *phase, float *modulation, unsigned char *mask,
                                        phaze_report *report, char *message,
                                        size_t message_size) {
    return periods_entry(
        sets, set_count, periods,
        [&](int k) { return options != NULL ? &options[k] : (const phaze_options *)NULL; }, phase,
        modulation, mask, report, message, message_size);
}
