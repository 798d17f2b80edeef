/* phaze: the wrapped phase of 3 to 32 phase-shifted fringe frames whose phase
 * steps need not be known or equal, with the modulation of every pixel, a mask
 * of the pixels that can be trusted, and the steps the frames were taken with.
 *
 * The library's one public header; C and C++ alike. Nothing crosses it as an
 * exception or an abort: every call returns a status, and a failure comes with
 * a message. */
#ifndef PHAZE_PHAZE_H
#define PHAZE_PHAZE_H

#include <stddef.h>

#include "phaze/phaze_version.h" /* PHAZE_VERSION_MAJOR, _MINOR, _PATCH and PHAZE_VERSION */

#if defined(__GNUC__)
#define PHAZE_API __attribute__((visibility("default")))
#else
#define PHAZE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    PHAZE_UINT8 = 0,
    PHAZE_UINT16 = 1,
    PHAZE_FLOAT32 = 2,
    PHAZE_FLOAT64 = 3
} phaze_sample_type;

typedef enum { PHAZE_DEVICE_AUTO = 0, PHAZE_DEVICE_CPU = 1, PHAZE_DEVICE_CUDA = 2 } phaze_device;

/* The ripple that a non-sinusoidal fringe profile (a projector's or camera's
 * non-linear response) leaves in the phase: AUTO finds it from the frames alone
 * and removes it where the data confirm it; OFF leaves the phase as the
 * sinusoidal model gives it; DEFAULT (zero) is the library's choice, AUTO
 * since 0.5. */
typedef enum {
    PHAZE_HARMONICS_DEFAULT = 0,
    PHAZE_HARMONICS_OFF = 1,
    PHAZE_HARMONICS_AUTO = 2
} phaze_harmonics;

typedef enum {
    PHAZE_OK = 0,
    PHAZE_BAD_ARGUMENT = 1, /* frames, sizes, strides or options that cannot be used */
    PHAZE_NO_PHASE = 2,     /* the frames hold no phase: two are equal, say */
    PHAZE_NO_MEMORY = 3,
    PHAZE_DEVICE_FAILED = 4 /* the CUDA engine was asked for and is missing, or it failed */
} phaze_status;

#define PHAZE_MIN_FRAMES 3
#define PHAZE_MAX_FRAMES 32
#define PHAZE_MAX_PERIODS 8 /* sets of phaze_analyse_periods */

/* count frames (PHAZE_MIN_FRAMES to PHAZE_MAX_FRAMES) of one size and sample
 * type, row after row, with one row stride. */
typedef struct {
    const void *const *frame; /* count pointers, one a frame */
    int count;
    int type; /* a phaze_sample_type; an int, so that any value a caller stores is checked */
    int width, height;
    size_t row_stride; /* bytes from one row to the next; 0: rows without padding */
} phaze_frames;

/* Options: made by phaze_default_options, which sets size. The struct grows by
 * fields appended at its end, and size tells the library which of them the
 * caller's header has: those past it take their defaults. The zero value of
 * every choice is its default. A size larger than this library's struct (a
 * newer header) is refused. */
typedef struct {
    size_t size;           /* sizeof(phaze_options) of the caller's header */
    double min_modulation; /* mask pixels whose modulation B is below this, in the samples'
                              units; below 0: 1% of full scale (integer samples) or of the
                              largest sample (float) */
    double saturation;     /* mask pixels with any sample at or above this; below 0: the type's
                              largest value for integer samples, no limit for float */
    int device;            /* a phaze_device; AUTO: CUDA where a device is present */
    int harmonics;         /* a phaze_harmonics (before 0.5 this lay in the struct's padding:
                              with a size of 32 a value that names no choice is taken as
                              DEFAULT) */
    /* 0.5: the steps, where they are known. With step_count the frames' count,
     * the phase is phi of I_k = A + B cos(phi + steps[k]) (radians), each
     * pixel's least-squares solution, with the caller's sign and constant;
     * the frames' own steps are still measured where the data show them, and
     * a warning says when they differ. 0: the steps are estimated. */
    int step_count;
    double steps[PHAZE_MAX_FRAMES];
} phaze_options;

/* The report's warnings, as bits; phaze_warning_text gives each one's sentence. */
typedef enum {
    PHAZE_WARN_NO_MODULATION = 1 << 0,     /* a blank capture: every pixel masked */
    PHAZE_WARN_NO_FINITE_SAMPLES = 1 << 1, /* every pixel has a sample that is not finite */
    PHAZE_WARN_ALL_MASKED = 1 << 2,
    PHAZE_WARN_MOSTLY_MASKED = 1 << 3,
    PHAZE_WARN_STEPS_CLOSE = 1 << 4,      /* steps bunched, or in two opposite groups */
    PHAZE_WARN_MODEL_MISFIT = 1 << 5,     /* the frames do not fit the fringe model */
    PHAZE_WARN_NO_SPATIAL_ORDER = 1 << 6, /* the phase looks like noise */
    PHAZE_WARN_RIPPLE_LEFT = 1 << 7,      /* a harmonic ripple was seen but not confirmed */
    PHAZE_WARN_PATTERN_VARIES = 1 << 8,   /* the steps seem to change across the scene */
    PHAZE_WARN_STEPS_DIFFER = 1 << 9,     /* the frames' steps are not those given */
    PHAZE_WARN_ORDERS_UNRELIABLE = 1 << 10, /* temporal unwrapping: orders the data cannot fix */
    PHAZE_WARN_FEW_FRINGES = 1 << 11        /* four frames, unknown steps, too few fringes */
} phaze_warning;

/* What became of the harmonic ripple (the report's ripple_outcome). */
typedef enum {
    PHAZE_RIPPLE_NOT_SOUGHT = 0,      /* harmonics OFF, or every pixel masked */
    PHAZE_RIPPLE_REMOVED = 1,         /* found, confirmed and taken out of the phase */
    PHAZE_RIPPLE_TOO_FEW_FRINGES = 2, /* too few fringes, or pixels with fringes, to tell */
    PHAZE_RIPPLE_NONE = 3,            /* none worth removing */
    PHAZE_RIPPLE_UNCONFIRMED = 4      /* the scene's halves do not find one ripple */
} phaze_ripple_outcome;

/* What the analysis found. Frame k is modelled as
 *     I_k = A + B cos(phase + phase_offset + steps[k])
 * with A (background) and B (modulation) per pixel. */
typedef struct {
    int frame_count;
    double steps[PHAZE_MAX_FRAMES]; /* frame_count of them, radians in [0, 2 pi); steps[0] is 0 */
    double phase_offset;            /* radians: the phase's constant relative to frame 1 */
    double background;              /* mean A over the valid pixels */
    double modulation;              /* mean B over the valid pixels */
    double masked_fraction;         /* share of the pixels masked, 0 to 1 */
    double residual_rms;            /* rms of the samples about the model, valid pixels */
    double min_modulation;          /* the thresholds used */
    double saturation;              /* (infinite: none) */
    phaze_device device;            /* the engine that ran: PHAZE_DEVICE_CPU or _CUDA */
    unsigned warnings;              /* phaze_warning bits */
    double seconds;
    /* The harmonic ripple: its rms in radians, how well the scene's halves
     * agree on it (1: exactly; it is removed only above 0), the points of the
     * turn it was found at (0: not sought), whether it was removed from the
     * phase, and a phaze_ripple_outcome saying why or why not. */
    double ripple_rms;
    double ripple_evidence;
    int ripple_terms;
    int ripple_removed;
    int ripple_outcome;  /* 0.5 */
    int reserved_int;    /* zero */
    double reserved[15]; /* zero; room for what later versions report */
    /* 0.5, written only where the options come from a header that has their
     * step fields (a 0.4 caller's report ends above): with steps given, the
     * frames' own, measured, as steps are (from frame 1's, in [0, 2 pi)),
     * turned to the sign of the given ones; NaN where the data cannot show
     * them, or steps were not given. */
    int steps_given;
    double measured_steps[PHAZE_MAX_FRAMES];
    /* phaze_analyse_periods: each set's own warnings, in the order the sets
     * were given (the report's other fields are the finest set's). */
    int set_count;
    unsigned set_warnings[PHAZE_MAX_PERIODS];
} phaze_report;

PHAZE_API void phaze_default_options(phaze_options *options);

/* Checks options as phaze_analyse would, for sets of frame_count frames,
 * without frames: PHAZE_OK, or PHAZE_BAD_ARGUMENT with why in message (steps
 * that cannot give a phase, say). */
PHAZE_API phaze_status phaze_check_options(const phaze_options *options, int frame_count,
                                           char *message, size_t message_size);

/* The analysis. phase (doubles, radians in [0, 2 pi], NaN where masked) is
 * required; modulation (floats) and mask (bytes: 1 valid, 0 masked) may be NULL.
 * Each holds width * height values, row after row. options and report may be
 * NULL. On a failure message (when not NULL) receives why, and the outputs are
 * undefined. */
PHAZE_API phaze_status phaze_analyse(const phaze_frames *frames, const phaze_options *options,
                                     double *phase, float *modulation, unsigned char *mask,
                                     phaze_report *report, char *message, size_t message_size);

/* Spatial unwrapping of a wrapped phase (radians, NaN where masked) of
 * width x height pixels over its mask (nonzero where valid; may be NULL:
 * valid where the phase is finite), guided by reliability: pixels are joined
 * in the order of how smooth the phase is around them, modulation (may be
 * NULL) weighing in. Each connected valid region is unwrapped on its own, with
 * an arbitrary constant; their number goes to *regions (may be NULL).
 * unwrapped: width * height doubles, NaN where not valid. */
PHAZE_API phaze_status phaze_unwrap(const double *phase, const unsigned char *mask,
                                    const float *modulation, int width, int height,
                                    double *unwrapped, int *regions, char *message,
                                    size_t message_size);

/* Temporal unwrapping: set_count (2 to PHAZE_MAX_PERIODS) sets of frames of one
 * scene and size, each at its own fringe period (periods[k], any one unit:
 * only their ratios matter; each set with its own steps and frame count),
 * analysed each, their signs and constants aligned from the data, and made
 * one absolute phase of the finest period: hierarchically where each period
 * is a good multiple of the next (4, 8), through beats where periods are close
 * (14:15:16). Its sign is a convention: it grows to the right (downward where
 * the fringes lie along x). phase: the absolute phase, NaN where masked; mask
 * also drops pixels where the periods disagree (an order error); modulation
 * and report are the finest set's, the report's masked_fraction the final
 * mask's. */
PHAZE_API phaze_status phaze_analyse_periods(const phaze_frames *sets, int set_count,
                                             const double *periods, const phaze_options *options,
                                             double *phase, float *modulation, unsigned char *mask,
                                             phaze_report *report, char *message,
                                             size_t message_size);

/* As phaze_analyse_periods, with options of each set's own: options holds
 * set_count of them (or is NULL), and set k's steps are options[k]'s; the
 * thresholds, device and harmonics are those of options[0] for every set.
 * Steps are given for every set or for none. */
PHAZE_API phaze_status phaze_analyse_periods_each(const phaze_frames *sets, int set_count,
                                                  const double *periods,
                                                  const phaze_options *options, double *phase,
                                                  float *modulation, unsigned char *mask,
                                                  phaze_report *report, char *message,
                                                  size_t message_size);

/* The sentence of one warning bit ("" for a bit that is not one). */
PHAZE_API const char *phaze_warning_text(unsigned warning);

/* The same sentence with the numbers of this report where it has them (the
 * steps given and measured, for PHAZE_WARN_STEPS_DIFFER), into text (at most
 * size bytes, terminated); the length it needs. */
PHAZE_API size_t phaze_describe_warning(const phaze_report *report, unsigned warning, char *text,
                                        size_t size);

/* A phrase for a phaze_ripple_outcome ("removed", "too few pixels with
 * fringes to tell", ...); "" for other values. */
PHAZE_API const char *phaze_ripple_outcome_text(int outcome);

/* "uint8", "uint16", "float32", "float64"; "cpu", "cuda", "auto"; NULL for
 * other values. */
PHAZE_API const char *phaze_sample_type_name(int type);
PHAZE_API const char *phaze_device_name(int device);

/* 1 when this build holds the CUDA engine and a CUDA device is present. */
PHAZE_API int phaze_cuda_available(void);

/* "MAJOR.MINOR.PATCH", of the library that runs (the header's PHAZE_VERSION is
 * that of the header compiled against). */
PHAZE_API const char *phaze_version(void);

#ifdef __cplusplus
}
#endif

#endif
