// The phase map into its two result files: phaze_cuda.bmp, a gray picture made
// through the 56-byte template bmp_header.bmp, and phaze_cuda.txt, every pixel's
// phase as a "%lf" line. Both are written together, a round of pixels at a time,
// from phases that may be made on the fly.
#pragma once

constexpr int PICTURE_HEADER_BYTES = 56;

// Byte of the gray picture for one phase: 0 to 2 pi onto 0 to 255 (NaN gives 0).
// Inline: it runs once a pixel in the writer's loop.
inline unsigned char quantise_phase(double phase) {
    const double level = phase / 6.283185307179586 * 255.0;
    // Converting NaN or an out-of-range double to an integer is undefined.
    if (!(level > -1e18 && level < 1e18)) return 0;
    return (unsigned char)((long long)level & 0xff);
}

// Gives the phases of count pixels from pixel first: a pointer to them, either
// buffer (room for count values) filled, or the caller's own array; NULL when
// one of them is not finite.
typedef const double *(*phase_source)(void *context, long long first, long long count,
                                      double *buffer);

// Writes both results; 0, or 1 after printing what failed. The results of an
// earlier run stay as they were unless both new ones are complete.
int write_results_from(phase_source source, void *context, int W, int H);

// The same from a whole phase array.
int write_results(const double *phase, int W, int H);
