#include "shared/quantise_phase.h"

// Two loops, each of one width, so that both run in vector registers, over
// chunks small enough that the second reads the phases from the cache.
__attribute__((target_clones("avx2", "default"))) void quantise_phases(
    const double *phase, size_t n, unsigned char *__restrict to) {
    const size_t CHUNK = 2048;
    for (size_t start = 0; start < n; start += CHUNK) {
        const size_t end = n - start < CHUNK ? n : start + CHUNK;
        for (size_t i = start; i < end; i++) {
            const double level = phase[i] / 6.283185307179586 * 255.0;
            const bool within = (level >= 0) & (level < 256);
            to[i] = (unsigned char)(int)(within ? level : 0.0);
        }
        // Without a division: any phase from 0 to 6.3 gives a level below 256.
        int beyond = 0;
        for (size_t i = start; i < end; i++) beyond |= (phase[i] < 0) | (phase[i] > 6.3);
        if (beyond)
            for (size_t i = start; i < end; i++) to[i] = quantise_phase(phase[i]);
    }
}
