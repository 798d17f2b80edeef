// The phase as a gray level, as both the fixed programs' picture and the phaze
// command's phase view have it.
#pragma once

#include <stddef.h>

// Byte of the gray picture for one phase: 0 to 2 pi onto 0 to 255 (NaN gives 0).
// Inline: the fixed programs' writer calls it once a pixel.
inline unsigned char quantise_phase(double phase) {
    const double level = phase / 6.283185307179586 * 255.0;
    // Converting NaN or an out-of-range double to an integer is undefined.
    if (!(level > -1e18 && level < 1e18)) return 0;
    return (unsigned char)((long long)level & 0xff);
}

// The same bytes for n phases, in vector registers where they can be (see
// quantise_phase.cpp).
void quantise_phases(const double *phase, size_t n, unsigned char *__restrict to);
