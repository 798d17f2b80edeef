#include "shared/phase_colours.h"

#include <math.h>

#include "shared/quantise_phase.h"

// sRGB's transfer curve, and a byte of it.
static unsigned char srgb_byte(double linear) {
    const double v = linear <= 0.0031308 ? 12.92 * linear : 1.055 * pow(linear, 1 / 2.4) - 0.055;
    const double level = floor(255 * v + 0.5);
    return (unsigned char)(level < 0 ? 0 : level > 255 ? 255 : level);
}

void phase_palette(unsigned char rgb[256][3]) {
    // The largest chroma that every hue at this lightness keeps within sRGB
    // (0.1275 at 0.75), less a margin.
    const double lightness = 0.75, chroma = 0.125;
    for (int k = 0; k < 255; k++) {
        const double centre = k < 254 ? k + 0.5 : 255.0;  // entry 254 holds levels 254 and 255
        const double hue = 2 * M_PI * centre / 256;
        const double a = chroma * cos(hue), b = chroma * sin(hue);
        // OKLab to linear sRGB (Ottosson, 2020).
        const double l = pow(lightness + 0.3963377774 * a + 0.2158037573 * b, 3),
                     m = pow(lightness - 0.1055613458 * a - 0.0638541728 * b, 3),
                     s = pow(lightness - 0.0894841775 * a - 1.2914855480 * b, 3);
        rgb[k][0] = srgb_byte(4.0767416621 * l - 3.3077115913 * m + 0.2309699292 * s);
        rgb[k][1] = srgb_byte(-1.2684380046 * l + 2.6097574011 * m - 0.3413193965 * s);
        rgb[k][2] = srgb_byte(-0.0041960863 * l - 0.7034186147 * m + 1.7076147010 * s);
    }
    rgb[MASKED_INDEX][0] = rgb[MASKED_INDEX][1] = rgb[MASKED_INDEX][2] = 0;
}

// Chunk by chunk, so that the phases are still in the cache when they are
// read again for NaN; one width, so that the loop runs in vector registers.
__attribute__((target_clones("avx2", "default"))) void phase_picture_indices(
    const double *phase, size_t n, unsigned char *__restrict to) {
    const size_t CHUNK = 2048;
    for (size_t start = 0; start < n; start += CHUNK) {
        const size_t count = n - start < CHUNK ? n - start : CHUNK;
        const double *p = phase + start;
        unsigned char *t = to + start;
        quantise_phases(p, count, t);
        for (size_t i = 0; i < count; i++) {
            const unsigned char level = t[i] == MASKED_INDEX ? MASKED_INDEX - 1 : t[i];
            t[i] = p[i] != p[i] ? MASKED_INDEX : level;
        }
    }
}
