#include "shared/set_reading.h"

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "shared/available_memory.h"
#include "shared/large_memory.h"
#include "shared/in_parallel.h"

// Frames larger than this are refused before their samples are read.
static const long long MAX_PIXELS = 1LL << 28;

static double full_scale(pixel_format format) {
    return format == PIXELS_U8 ? 255 : format == PIXELS_U16 ? 65535 : 0;
}

template <typename Sample>
static bool all_gray(const image &colour) {
    const Sample *p = (const Sample *)colour.data.data();
    const size_t pixels = (size_t)colour.width * colour.height;
    for (size_t i = 0; i < pixels; i++)
        if (p[3 * i] != p[3 * i + 1] || p[3 * i] != p[3 * i + 2]) return false;
    return true;
}

// One channel of a colour image, in place.
template <typename Sample>
static void take_channel(image &im, int channel) {
    const Sample *from = (const Sample *)im.data.data();
    const size_t pixels = (size_t)im.width * im.height;
    sample_bytes gray(pixels * sizeof(Sample));
    Sample *to = (Sample *)gray.data();
    for (size_t i = 0; i < pixels; i++) to[i] = from[3 * i + channel];
    im.data.swap(gray);
    im.channels = 1;
}

// Luma as float; a pixel with a channel at the saturation level gets NaN, so
// that it is masked although its luma lies below that level.
template <typename Sample>
static size_t take_luma(image &im, double saturation) {
    const Sample *from = (const Sample *)im.data.data();
    const size_t pixels = (size_t)im.width * im.height;
    sample_bytes gray(pixels * sizeof(float));
    float *to = (float *)gray.data();
    size_t clipped_pixels = 0;
    for (size_t i = 0; i < pixels; i++) {
        const double r = from[3 * i], g = from[3 * i + 1], b = from[3 * i + 2];
        const bool clipped = r >= saturation || g >= saturation || b >= saturation;
        to[i] = clipped ? NAN : (float)(0.299 * r + 0.587 * g + 0.114 * b);
        clipped_pixels += clipped;
    }
    im.data.swap(gray);
    im.channels = 1;
    im.format = PIXELS_F32;
    return clipped_pixels;
}

// 1 when luma was taken and every pixel has a channel at the saturation level.
template <typename Sample>
static int make_gray(image &im, colour_channel channel, double saturation) {
    if (im.channels == 1) return 0;
    if (all_gray<Sample>(im))
        take_channel<Sample>(im, 0);
    else if (channel == CHANNEL_LUMA)
        return take_luma<Sample>(im, saturation) == (size_t)im.width * im.height;
    else
        take_channel<Sample>(im, channel - CHANNEL_RED);
    return 0;
}

static const char *type_name(pixel_format format) {
    return phaze_sample_type_name(format == PIXELS_U8    ? PHAZE_UINT8
                                  : format == PIXELS_U16 ? PHAZE_UINT16
                                                         : PHAZE_FLOAT32);
}

// The whole set's peak, from its first frame: the frames as read (and as
// gray), the library's outputs and copies (with points: the projector column,
// the points and their gray), and the largest result being written.
static double peak_of_set(const image &first, int count, bool points) {
    const double pixels = (double)first.width * first.height, frame = (double)first.data.size(),
                 gray = pixels * 4,
                 outputs = pixels * (sizeof(double) + sizeof(float) + 1 +
                                     (points ? 4 * sizeof(double) + 1 : 0)),
                 analysis = first.format == PIXELS_F32 ? pixels * 3 * sizeof(double) : 0,
                 writing = pixels * sizeof(float);
    return (count - 1) * frame + (first.channels > 1 ? count * gray : 0) + outputs +
           fmax(analysis, writing);
}

// What can be allocated beside others' reservations; memory a batch keeps for
// its next sets is given back first where that would not do.
static double available_beside(double needed, double others) {
    double available = available_memory_bytes();
    if (needed + others > available && give_back_kept()) available = available_memory_bytes();
    return available - others;
}

static int enough_memory_for_set(const image &first, int count, bool points,
                                 memory_admission *admission, double *reserved,
                                 std::string *reason) {
    const double needed = peak_of_set(first, count, points);
    double available;
    if (admission == NULL) {
        available = available_beside(needed, 0);
    } else {
        // Others' reservations count in full, although part of them is in use
        // already: under a tight limit the sets then take turns, never too many.
        std::unique_lock<std::mutex> hold(admission->lock);
        for (;;) {
            const double others = admission->reserved - *reserved;
            const int other_results = admission->results - (*reserved > 0 ? 1 : 0);
            available = available_beside(needed, others);
            if (needed <= available || other_results == 0) break;
            admission->released.wait(hold);
        }
        if (needed <= available) {
            admission->results += *reserved > 0 ? 0 : 1;
            admission->reserved += needed, *reserved += needed;
        }
    }
    if (needed <= available) return 0;
    char text[200];
    snprintf(text, sizeof text,
             "not enough memory for a set of %d x %d frames: it needs about %.1f GiB more, "
             "%.1f GiB are available",
             first.width, first.height, needed / (1 << 30), available / (1 << 30));
    *reason = text;
    return 1;
}

void release_memory(memory_admission *admission, double *reserved) {
    if (admission == NULL || *reserved == 0) return;
    {
        const std::lock_guard<std::mutex> hold(admission->lock);
        admission->reserved -= *reserved, admission->results--;
        *reserved = 0;
    }
    admission->released.notify_all();
}

// read(k) for k < count, on as many threads as there are cores (each reader
// decodes one file on one thread); in place where no thread can be had.
template <typename Read>
static void read_side_by_side(int count, Read read) {
    std::atomic<int> next{0};
    const auto reader = [&]() {
        for (int k = next++; k < count; k = next++) read(k);
    };
    const int threads = std::min<int>(count, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::future<void>> helpers;
    for (int t = 1; t < threads; t++) helpers.push_back(start_work(reader));
    reader();
    for (std::future<void> &h : helpers) h.get();
}

int load_frame_set(const run_options &o, const std::vector<std::string> &paths, frame_set *set,
                   std::string *file, std::string *reason, memory_admission *admission,
                   double *reserved) {
    const int count = (int)paths.size();
    set->frames.assign(count, image());
    // The first frame alone, so that a set too large for the memory is refused
    // before the others are read; then the others side by side.
    std::vector<std::string> reasons(count);
    std::vector<int> failed(count, 0);
    failed[0] = read_image(paths[0].c_str(), MAX_PIXELS, &set->frames[0], &reasons[0]);
    if (!failed[0] &&
        enough_memory_for_set(set->frames[0], count, !o.calibration.empty(),
                              reserved != NULL ? admission : NULL, reserved, &reasons[0]))
        failed[0] = 1;
    if (failed[0]) {
        *file = paths[0], *reason = reasons[0];
        return 1;
    }
    // The others must have the first's size: one that has not is refused before
    // its samples are read, so that the first's memory check bounds them all.
    const size_limit like_first = {MAX_PIXELS, set->frames[0].width, set->frames[0].height};
    read_side_by_side(count - 1, [&](int k) {
        failed[k + 1] = read_image_of_size(paths[k + 1].c_str(), like_first, &set->frames[k + 1],
                                           &reasons[k + 1]);
    });
    const pixel_format read_as = set->frames[0].format;
    for (int k = 0; k < count; k++) {
        *file = paths[k];
        const image &im = set->frames[k];
        if (failed[k]) {
            *reason = reasons[k];
            if (reasons[k].compare(0, 9, "its size ") == 0)
                *reason += " from " + paths[0] + "'s " + std::to_string(set->frames[0].width) +
                           " x " + std::to_string(set->frames[0].height);
            return 1;
        }
        if (im.width != set->frames[0].width || im.height != set->frames[0].height) {
            *reason = "its size " + std::to_string(im.width) + " x " + std::to_string(im.height) +
                      " differs from " + paths[0] + "'s " + std::to_string(set->frames[0].width) +
                      " x " + std::to_string(set->frames[0].height);
            return 1;
        }
        if (im.format != read_as) {
            *reason = std::string("its samples are ") + type_name(im.format) + ", " + paths[0] +
                      "'s " + type_name(read_as);
            return 1;
        }
        if (!im.warning.empty() && std::find(set->warnings.begin(), set->warnings.end(),
                                             im.warning) == set->warnings.end())
            set->warnings.push_back(im.warning);
    }
    // Thresholds in the units of the samples as read, also when colour becomes luma.
    phaze_default_options(&set->options);
    set->options.device = o.device;
    set->options.harmonics = o.harmonics;
    set->options.step_count = (int)o.steps.size();
    std::copy(o.steps.begin(), o.steps.end(), set->options.steps);
    // A 12-bit PGM (maxval 4095) saturates at 4095, not at 65535.
    const double top =
        set->frames[0].full_scale > 0 ? set->frames[0].full_scale : full_scale(read_as);
    set->options.min_modulation = o.min_modulation >= 0   ? o.min_modulation
                                  : read_as == PIXELS_F32 ? -1
                                                          : 0.01 * top;
    set->options.saturation = o.saturation >= 0 ? o.saturation : read_as == PIXELS_F32 ? -1 : top;
    set->full_scale = read_as == PIXELS_F32 ? 0 : top;
    const double clip = set->options.saturation >= 0 ? set->options.saturation : INFINITY;
    int all_clipped = 0;
    for (image &im : set->frames) {
        if (im.format == PIXELS_U8)
            all_clipped |= make_gray<uint8_t>(im, o.channel, clip);
        else if (im.format == PIXELS_U16)
            all_clipped |= make_gray<uint16_t>(im, o.channel, clip);
        else
            all_clipped |= make_gray<float>(im, o.channel, clip);
    }
    if (all_clipped) {
        char text[200];
        snprintf(text, sizeof text,
                 "every pixel of a colour frame has a channel at the saturation level (%g): "
                 "--channel r, g or b reads one channel",
                 clip);
        set->warnings.push_back(text);
    }
    // Colour frames of one set may differ in whether they are gray.
    bool mixed = false;
    for (const image &im : set->frames) mixed |= im.format != set->frames[0].format;
    if (mixed) {
        for (image &im : set->frames)
            if (im.format != PIXELS_F32) {
                sample_bytes floats((size_t)im.width * im.height * sizeof(float));
                for (size_t i = 0; i < (size_t)im.width * im.height; i++)
                    ((float *)floats.data())[i] =
                        im.format == PIXELS_U8 ? im.data[i] : ((const uint16_t *)im.data.data())[i];
                im.data.swap(floats);
                im.format = PIXELS_F32;
            }
    }
    const image &first = set->frames[0];
    set->view.type = first.format == PIXELS_U8    ? PHAZE_UINT8
                     : first.format == PIXELS_U16 ? PHAZE_UINT16
                                                  : PHAZE_FLOAT32;
    set->view.width = first.width, set->view.height = first.height, set->view.row_stride = 0;
    set->samples.clear();
    for (const image &im : set->frames) set->samples.push_back(im.data.data());
    set->view.frame = set->samples.data();
    set->view.count = count;
    set->sample_type = type_name(read_as);
    return 0;
}
