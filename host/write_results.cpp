#include "host/write_results.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "gpu/gpu.h"

unsigned char quantise_phase(double phase) {
    const double level = phase / 6.283185307179586 * 255.0;
    // Converting NaN or an out-of-range double to an integer is undefined.
    if (!(level > -1e18 && level < 1e18)) return 0;
    return (unsigned char)((long long)level & 0xff);
}

void quantise_phases(const double *phase, unsigned char *picture, int SIZE) {
#pragma omp parallel for schedule(static)
    for (int i = 0; i < SIZE; i++) picture[i] = quantise_phase(phase[i]);
}

static void put_le32(unsigned char *at, unsigned value) {
    at[0] = (unsigned char)(value & 0xff);
    at[1] = (unsigned char)((value >> 8) & 0xff);
    at[2] = (unsigned char)((value >> 16) & 0xff);
    at[3] = (unsigned char)((value >> 24) & 0xff);
}

int write_bmp(const unsigned char *source, unsigned char *destination, const char *file_name,
              int source_on_device, int W, int H) {
    const size_t n = (size_t)W * (size_t)H;
    if (source_on_device)
        gpu_download(destination, source, n);
    else
        memcpy(destination, source, n);

    unsigned char header[PICTURE_HEADER_BYTES] = {};
    FILE *header_template = fopen("bmp_header.bmp", "rb");
    if (header_template != NULL) {
        const size_t got = fread(header, 1, sizeof header, header_template);
        (void)got;
        fclose(header_template);
    }
    put_le32(header + 2, (unsigned)(3 * n + PICTURE_HEADER_BYTES));
    put_le32(header + 18, (unsigned)W);
    put_le32(header + 22, (unsigned)H);

    unsigned char *triples = (unsigned char *)malloc(3 * n);
    if (triples == NULL) return 1;
    for (size_t k = 0; k < n; k++)
        triples[3 * k] = triples[3 * k + 1] = triples[3 * k + 2] = destination[k];

    FILE *output = fopen(file_name, "w+b");
    if (output != NULL) {
        fwrite(header, 1, sizeof header, output);
        fwrite(triples, 1, 3 * n, output);
        fclose(output);
    }
    free(triples);
    return 0;
}

int write_phase_text(const double *phase, int SIZE, const char *file_name) {
    FILE *text = fopen(file_name, "wb");
    if (text == NULL) return 0;
    for (int i = 0; i < SIZE; i++) fprintf(text, "%lf\n", phase[i]);
    fclose(text);
    return 0;
}

int write_results(const double *phase, unsigned char *picture_scratch, int W, int H) {
    const int SIZE = W * H;
    unsigned char *picture = (unsigned char *)malloc((size_t)SIZE);
    if (picture == NULL) return 1;
    quantise_phases(phase, picture, SIZE);
    int failed = write_bmp(picture, picture_scratch, "phaze_cuda.bmp", 0, W, H);
    free(picture);
    if (!failed) failed = write_phase_text(phase, SIZE, "phaze_cuda.txt");
    return failed;
}
