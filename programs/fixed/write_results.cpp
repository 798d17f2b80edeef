#include "fixed/write_results.h"

#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <omp.h>

#include "engines/no_phase.h"
#include "shared/format_lf.h"
#include "shared/result_files.h"

using namespace phaze_internal;

static void put_le32(unsigned char *at, unsigned value) {
    at[0] = (unsigned char)(value & 0xff);
    at[1] = (unsigned char)((value >> 8) & 0xff);
    at[2] = (unsigned char)((value >> 16) & 0xff);
    at[3] = (unsigned char)((value >> 24) & 0xff);
}

static int cannot_write(const char *file_name, int error) {
    printf("Can't write %s file (%s)!", file_name, strerror(error));
    return 1;
}

static int out_of_memory(void) {
    printf("\nNot enough memory on host!\n");
    return 1;
}

static int read_header_template(unsigned char header[PICTURE_HEADER_BYTES]) {
    FILE *header_template = fopen("bmp_header.bmp", "rb");
    if (header_template == NULL) {
        printf("Can't open bmp_header.bmp file!");
        return 1;
    }
    const size_t got = fread(header, 1, PICTURE_HEADER_BYTES, header_template);
    fclose(header_template);
    if (got != PICTURE_HEADER_BYTES) {
        printf("bmp_header.bmp is too short! It should have at least %d bytes.",
               PICTURE_HEADER_BYTES);
        return 1;
    }
    return 0;
}

static const char *PICTURE_NAME = "phaze_cuda.bmp";
static const char *TEXT_NAME = "phaze_cuda.txt";

// The pixels are made and formatted in chunks, by all threads; a round of
// chunks is written by one thread while the others make the next round.
static const long long CHUNK_PIXELS = 1 << 14;
static const int CHUNKS_PER_ROUND = 16;
static const size_t FAST_LINE_MAX = 24;  // "-" 14 digits "." 6 digits "\n", and room

struct chunk_buffer {
    unsigned char *triples;  // three bytes a pixel
    char *text;
    size_t capacity, length;
    long long pixels;
};

struct round_buffers {
    chunk_buffer chunks[2][CHUNKS_PER_ROUND];  // one round being written, one being made
};

static void release_buffers(round_buffers &r) {
    for (auto &set : r.chunks)
        for (chunk_buffer &c : set) {
            free(c.triples);
            free(c.text);
        }
}

static int allocate_buffers(round_buffers &r) {
    int failed = 0;
    for (auto &set : r.chunks)
        for (chunk_buffer &c : set) {
            c.capacity = CHUNK_PIXELS * FAST_LINE_MAX + FORMAT_LF_MAX + 1;
            c.triples = (unsigned char *)malloc(3 * CHUNK_PIXELS);
            c.text = (char *)malloc(c.capacity);
            failed |= c.triples == NULL || c.text == NULL;
        }
    return failed;
}

enum outcome { WRITTEN = 0, NO_PHASE, NO_MEMORY, WRITE_FAILED };

// One chunk: its phases, their picture bytes and their lines.
static outcome make_chunk(chunk_buffer &c, phase_source source, void *context, long long first,
                          double *phase_buffer) {
    const double *phase = source(context, first, c.pixels, phase_buffer);
    if (phase == NULL) return NO_PHASE;
    size_t length = 0;
    for (long long k = 0; k < c.pixels; k++) {
        c.triples[3 * k] = c.triples[3 * k + 1] = c.triples[3 * k + 2] = quantise_phase(phase[k]);
        // Only a value of 2^44 or more is longer than a fast line.
        if (c.capacity - length < FORMAT_LF_MAX + 1) {
            char *grown = (char *)realloc(c.text, 2 * c.capacity);
            if (grown == NULL) return NO_MEMORY;
            c.text = grown;
            c.capacity *= 2;
        }
        length += format_lf(phase[k], c.text + length);
        c.text[length++] = '\n';
    }
    c.length = length;
    return WRITTEN;
}

// errno is the writing thread's own, so a failure's is handed back in *error.
static int write_round(const chunk_buffer *chunks, FILE *picture, FILE *text, int *failed_file,
                       int *error) {
    for (int k = 0; k < CHUNKS_PER_ROUND && chunks[k].pixels > 0; k++) {
        const size_t picture_bytes = 3 * (size_t)chunks[k].pixels;
        if (fwrite(chunks[k].triples, 1, picture_bytes, picture) != picture_bytes) {
            *failed_file = 0, *error = errno;
            return 1;
        }
        if (fwrite(chunks[k].text, 1, chunks[k].length, text) != chunks[k].length) {
            *failed_file = 1, *error = errno;
            return 1;
        }
    }
    return 0;
}

// Both files' bodies, round after round.
static outcome write_rounds(round_buffers &r, phase_source source, void *context, long long pixels,
                            FILE *picture, FILE *text, int *failed_file, int *error) {
    const long long round_pixels = CHUNK_PIXELS * CHUNKS_PER_ROUND;
    const long long rounds = (pixels + round_pixels - 1) / round_pixels;
    int failure = WRITTEN;  // set once; a failure skips the rest of the work
#pragma omp parallel
    {
        double *phase_buffer = (double *)malloc(sizeof(double) * CHUNK_PIXELS);
        if (phase_buffer == NULL) {
#pragma omp atomic write
            failure = NO_MEMORY;
        }
        for (long long round = 0; round < rounds; round++) {
            chunk_buffer *chunks = r.chunks[round % 2];
#pragma omp for schedule(dynamic, 1) nowait
            for (int k = 0; k < CHUNKS_PER_ROUND; k++) {
                const long long first = round * round_pixels + k * CHUNK_PIXELS;
                const long long left = pixels - first;
                chunks[k].pixels = left <= 0 ? 0 : left < CHUNK_PIXELS ? left : CHUNK_PIXELS;
                int failed;
#pragma omp atomic read
                failed = failure;
                if (failed || chunks[k].pixels == 0) continue;
                const outcome made = make_chunk(chunks[k], source, context, first, phase_buffer);
                if (made != WRITTEN) {
#pragma omp atomic write
                    failure = made;
                }
            }
            // The round is complete, and the one before it written.
#pragma omp barrier
#pragma omp single nowait
            {
                int failed;
#pragma omp atomic read
                failed = failure;
                if (!failed && write_round(chunks, picture, text, failed_file, error)) {
#pragma omp atomic write
                    failure = WRITE_FAILED;
                }
            }
        }
        free(phase_buffer);
    }
    return (outcome)failure;
}

int write_results_from(phase_source source, void *context, int W, int H) {
    const long long pixels = (long long)W * H;
    unsigned char header[PICTURE_HEADER_BYTES];
    if (read_header_template(header)) return 1;
    put_le32(header + 2, (unsigned)(3 * pixels + PICTURE_HEADER_BYTES));
    put_le32(header + 18, (unsigned)W);
    put_le32(header + 22, (unsigned)H);

    const char *names[2] = {PICTURE_NAME, TEXT_NAME};
    pending_file files[2];
    FILE *streams[2] = {NULL, NULL};
    for (int f = 0; f < 2; f++) {
        int error = begin_result(names[f], &files[f]);
        if (error == 0 && (streams[f] = fopen(files[f].temporary.c_str(), "wb")) == NULL)
            error = errno;
        if (error != 0) {
            if (f == 1) fclose(streams[0]);
            abandon_results(files, f + 1);
            return cannot_write(names[f], error);
        }
    }
    round_buffers *buffers = (round_buffers *)calloc(1, sizeof(round_buffers));
    outcome result = buffers == NULL || allocate_buffers(*buffers) ? NO_MEMORY : WRITTEN;
    int failed_file = 0, error = 0;
    if (result == WRITTEN && fwrite(header, 1, sizeof header, streams[0]) != sizeof header)
        result = WRITE_FAILED;
    if (result == WRITTEN)
        result = write_rounds(*buffers, source, context, pixels, streams[0], streams[1],
                              &failed_file, &error);
    if (result == WRITE_FAILED && error == 0) error = errno ? errno : EIO;
    if (buffers != NULL) release_buffers(*buffers);
    free(buffers);
    // Closing is where a full disk shows up, so its result counts too.
    for (int f = 0; f < 2; f++)
        if (fclose(streams[f]) != 0 && result == WRITTEN) {
            result = WRITE_FAILED, error = errno, failed_file = f;
        }
    const char *failed_name = names[failed_file];
    if (result == WRITTEN && (error = commit_results(files, 2, &failed_name)) == 0) return 0;
    if (result != WRITTEN) abandon_results(files, 2);
    if (result == NO_PHASE) {
        printf("\n" NO_PHASE_MESSAGE "!\n");
        return 1;
    }
    if (result == NO_MEMORY) return out_of_memory();
    return cannot_write(failed_name, error);
}

static const double *whole_array(void *context, long long first, long long count, double *) {
    const double *phase = (const double *)context + first;
    for (long long k = 0; k < count; k++)
        if (!isfinite(phase[k])) return NULL;
    return phase;
}

int write_results(const double *phase, int W, int H) {
    return write_results_from(whole_array, (void *)phase, W, H);
}
