// The plain way to run the method: every kernel a serial loop that works out its
// angles for each element again. The benchmark's baseline and the tests' oracle:
// the product must give the same bytes, only faster.
#pragma once

// From the three frames' samples in X, Y, Z to the phase, in the run's order.
void plain_phase(double *X, double *Y, double *Z, double *phase, int SIZE);
