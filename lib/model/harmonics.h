// The harmonic ripple in the phase, found from the phase alone and removed
// where the data confirm it.
//
// Fringes that are not sinusoids make the measured phase psi a distorted
// function of the true one, phi = psi - e(psi), with e periodic. Over a scene
// with many fringes phi is spread evenly, so the histogram of psi shows e: its
// circular moments give e as a Fourier series. A scene whose phases are not
// spread evenly (few fringes, a bump) shows a histogram ripple too, which is
// not in the phase; so a second witness decides: the true phase is smooth in
// space, and removing a real ripple makes the phase's second differences
// smaller, as much as e predicts (a factor near 1), while removing a false one
// makes them larger (a factor near 0).
#pragma once

#include "method/samples.h"
#include "phaze/phaze.h"

namespace phaze_internal {

constexpr int RIPPLE_TERMS = 16;  // harmonics of the phase; gamma 2.2 needs a dozen
constexpr int RIPPLE_TABLE = 4096;

struct harmonic_ripple {
    double rms;           // of e over the turn, radians
    double evidence;      // how much of e the second differences confirm (1: all)
    double z;             // that factor over its standard error
    double disagreement;  // of the scene's halves' ripples, over the ripple's rms
    int removable;        // the evidence is enough to remove it
    double cos_term[RIPPLE_TERMS], sin_term[RIPPLE_TERMS];  // e = sum a cos mq + b sin mq
    double e[RIPPLE_TABLE + 1];  // e at RIPPLE_TABLE + 1 points of psi from 0 to 2 pi
};

// Estimates the ripple of a phase (radians, NaN where masked) of width x height
// pixels. 0, or 1 when too few valid pixels tell.
int estimate_ripple(const double *phase, int width, int height, harmonic_ripple *ripple);

// phase - e(phase), wrapped into [0, 2 pi), in place (NaN stays NaN).
void remove_ripple(const harmonic_ripple &ripple, double *phase, long long pixels);

// The report's steps, phase offset, background, modulation and residual fitted
// again around the corrected phase, on a sample of the valid pixels: each
// frame's step against cos and sin of the phase, each pixel's A and B by least
// squares. The ripple moves the phase, not the modulation, so each pixel's
// modulation and mask stay as the first fit made them.
void refit_model(const sample_frames &frames, const double *phase, const unsigned char *mask,
                 phaze_report *report);

}  // namespace phaze_internal
