// The phaze command's phase picture: a colour a phase level, the colours going
// round as the phase does, and one colour no phase has for masked pixels.
#pragma once

#include <stddef.h>

// The picture's palette index of a masked pixel; it shows black.
const unsigned char MASKED_INDEX = 255;

// The palette: entry k is the colour of phase level k (quantise_phase's byte;
// level 255, the last 1/256 of a turn, shares entry 254), hues going once
// round OKLab's circle at one lightness and chroma, so that no phase looks
// darker than another and 0 meets 2 pi; entry MASKED_INDEX is black.
void phase_palette(unsigned char rgb[256][3]);

// The palette indices of n phases: their levels, MASKED_INDEX for NaN.
void phase_picture_indices(const double *phase, size_t n, unsigned char *__restrict to);
