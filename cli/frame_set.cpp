#include "cli/frame_set.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

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
static void take_luma(image &im, double saturation) {
    const Sample *from = (const Sample *)im.data.data();
    const size_t pixels = (size_t)im.width * im.height;
    sample_bytes gray(pixels * sizeof(float));
    float *to = (float *)gray.data();
    for (size_t i = 0; i < pixels; i++) {
        const double r = from[3 * i], g = from[3 * i + 1], b = from[3 * i + 2];
        const bool clipped = r >= saturation || g >= saturation || b >= saturation;
        to[i] = clipped ? NAN : (float)(0.299 * r + 0.587 * g + 0.114 * b);
    }
    im.data.swap(gray);
    im.channels = 1;
    im.format = PIXELS_F32;
}

template <typename Sample>
static void make_gray(image &im, colour_channel channel, double saturation) {
    if (im.channels == 1) return;
    if (all_gray<Sample>(im))
        take_channel<Sample>(im, 0);
    else if (channel == CHANNEL_LUMA)
        take_luma<Sample>(im, saturation);
    else
        take_channel<Sample>(im, channel - CHANNEL_RED);
}

static const char *type_name(pixel_format format) {
    return format == PIXELS_U8 ? "uint8" : format == PIXELS_U16 ? "uint16" : "float32";
}

int load_frame_set(const command_options &o, const std::string paths[3], frame_set *set,
                   std::string *file, std::string *reason) {
    pixel_format read_as = PIXELS_U8;
    for (int k = 0; k < 3; k++) {
        *file = paths[k];
        image &im = set->frames[k];
        if (read_image(paths[k].c_str(), MAX_PIXELS, &im, reason)) return 1;
        if (k == 0) read_as = im.format;
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
    }
    // Thresholds in the units of the samples as read, also when colour becomes luma.
    phaze_default_options(&set->options);
    set->options.device = o.device;
    set->options.min_modulation = o.min_modulation >= 0   ? o.min_modulation
                                  : read_as == PIXELS_F32 ? -1
                                                          : 0.01 * full_scale(read_as);
    set->options.saturation = o.saturation >= 0       ? o.saturation
                              : read_as == PIXELS_F32 ? -1
                                                      : full_scale(read_as);
    const double clip = set->options.saturation >= 0 ? set->options.saturation : INFINITY;
    for (image &im : set->frames) {
        if (im.format == PIXELS_U8)
            make_gray<uint8_t>(im, o.channel, clip);
        else if (im.format == PIXELS_U16)
            make_gray<uint16_t>(im, o.channel, clip);
        else
            make_gray<float>(im, o.channel, clip);
    }
    // Colour frames of one set may differ in whether they are gray.
    const bool mixed = set->frames[0].format != set->frames[1].format ||
                       set->frames[0].format != set->frames[2].format;
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
    for (int k = 0; k < 3; k++) set->view.frame[k] = set->frames[k].data.data();
    set->sample_type = type_name(read_as);
    return 0;
}
