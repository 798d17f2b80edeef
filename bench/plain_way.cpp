#include "bench/plain_way.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "math/kernel.h"
#include "method/moments.h"
#include "method/reference_points.h"

using namespace phaze_internal;

int plain_read_frames(double *X, double *Y, double *Z, int W, int H) {
    const char *names[3] = {"I1.bmp", "I2.bmp", "I3.bmp"};
    double *arrays[3] = {X, Y, Z};
    for (int f = 0; f < 3; f++) {
        FILE *frame = fopen(names[f], "rb");
        if (frame == NULL) return 1;
        fseek(frame, 56, SEEK_SET);
        for (int k = 0; k < W * H; k++) {
            arrays[f][k] = fgetc(frame);
            fseek(frame, 2, SEEK_CUR);
        }
        fclose(frame);
    }
    return 0;
}

static void plain_level(double *X, double *Y, double *Z, int SIZE, const reference_points &p) {
    for (int i = 0; i < SIZE; i++) {
        const levelling r = levelling_angles(p.x[0], p.x[1], p.x[2], p.y[0], p.y[1], p.y[2], p.z[0],
                                             p.z[1], p.z[2]);
        level_point(r, X[i], Y[i], Z[i]);
    }
}

void plain_difference(double *X, double *Y, double *Z, int SIZE) {
    for (int i = 0; i < SIZE; i++) difference_point(X[i], Y[i], Z[i]);
}

void plain_first_rotation(double *X, double *Y, double *Z, int SIZE) {
    plain_level(X, Y, Z, SIZE, first_rotation_points(first_pixels(X, Y, Z)));
}

void plain_moments(const double *X, const double *Y, int SIZE, double q[3]) {
    const moment_sums m = sum_moments(X, Y, SIZE);
    q[0] = m.SYY;
    q[1] = m.SXY;
    q[2] = m.SXX;
}

void plain_projection_and_phase(double *X, double *Y, double *Z, double *phase, int SIZE,
                                const double q[3]) {
    for (int i = 0; i < SIZE; i++) {
        const circle_projection p = projection_from_moments(q[0], q[1], q[2]);
        project_point(p, X[i], Y[i], Z[i]);
    }
    const circle_projection p = projection_from_moments(q[0], q[1], q[2]);
    plain_level(X, Y, Z, SIZE, second_rotation_points(first_pixels(X, Y, Z), p));
    for (int i = 0; i < SIZE; i++) phase[i] = polar_phase(X[i], Y[i]);
}

void plain_phase(double *X, double *Y, double *Z, double *phase, int SIZE) {
    plain_difference(X, Y, Z, SIZE);
    plain_first_rotation(X, Y, Z, SIZE);
    double q[3];
    plain_moments(X, Y, SIZE, q);
    plain_projection_and_phase(X, Y, Z, phase, SIZE, q);
}

int plain_write_bmp(const unsigned char *gray, const char *file_name, int W, int H) {
    const size_t n = (size_t)W * H;
    unsigned char header[56];
    FILE *header_template = fopen("bmp_header.bmp", "rb");
    if (header_template == NULL || fread(header, 1, 56, header_template) != 56) return 1;
    fclose(header_template);
    unsigned char *triples = (unsigned char *)malloc(3 * n);
    if (triples == NULL) return 1;
    for (size_t k = 0; k < n; k++)
        triples[3 * k] = triples[3 * k + 1] = triples[3 * k + 2] = gray[k];
    FILE *output = fopen(file_name, "w+b");
    if (output == NULL) {
        free(triples);
        return 1;
    }
    fwrite(header, 1, 56, output);
    const unsigned fields[3] = {(unsigned)(3 * n + 56), (unsigned)W, (unsigned)H};
    const long offsets[3] = {2, 18, 22};
    for (int f = 0; f < 3; f++) {
        unsigned char le[4] = {(unsigned char)fields[f], (unsigned char)(fields[f] >> 8),
                               (unsigned char)(fields[f] >> 16), (unsigned char)(fields[f] >> 24)};
        fseek(output, offsets[f], SEEK_SET);
        fwrite(le, 1, 4, output);
    }
    fseek(output, 0, SEEK_END);
    fwrite(triples, 1, 3 * n, output);
    free(triples);
    return fclose(output) != 0;
}

int plain_write_text(const double *phase, int SIZE, const char *file_name) {
    FILE *text = fopen(file_name, "wb");
    if (text == NULL) return 1;
    for (int i = 0; i < SIZE; i++) fprintf(text, "%lf\n", phase[i]);
    return fclose(text) != 0;
}
