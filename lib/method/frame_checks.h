// What the method asks of the frames themselves, around the engines: which
// samples are finite, whether frames repeat, how large the samples are, whether
// any pixel has modulation.
#pragma once

#include <stddef.h>

#include <vector>

#include "method/samples.h"

namespace phaze_internal {

// Pixels whose three samples are all finite.
long long finite_pixels(const sample_frames &frames);

// Three frames with each pixel that has a non-finite sample at the origin (it
// then weighs nothing in the moments): the copy's samples, which *copy views.
std::vector<double> finite_copy(const sample_frames &frames, sample_frames *copy);

// 1 when two of the frames hold the same samples everywhere (the same file
// given twice, say); row_bytes of each row are compared.
int two_frames_equal(const sample_frames &frames, size_t row_bytes);

// The largest finite sample (0 when none), and the largest finite magnitude.
double largest_sample(const sample_frames &frames);
double largest_magnitude(const sample_frames &frames);

// 1 when no pixel's samples spread by min_modulation or more: frames without
// fringes, where a fully masked result is the answer rather than a failure.
int no_modulation_anywhere(const sample_frames &frames, double min_modulation);

}  // namespace phaze_internal
