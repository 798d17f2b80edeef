#include "host/write_results.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <omp.h>

#include "gpu/gpu.h"
#include "host/format_lf.h"
#include "host/result_files.h"

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

static int cannot_write(const char *file_name, int error) {
    printf("Can't write %s file (%s)!", file_name, strerror(error));
    return 1;
}

// Closing is where a full disk shows up, so its result counts too.
static int close_written(FILE *file, const char *file_name, int written) {
    const int error = written ? 0 : errno;
    if (fclose(file) != 0 && written) return cannot_write(file_name, errno);
    return written ? 0 : cannot_write(file_name, error ? error : EIO);
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

int write_bmp(const unsigned char *source, unsigned char *destination, const char *file_name,
              int source_on_device, int W, int H) {
    const size_t n = (size_t)W * (size_t)H;
    if (source_on_device) {
        if (gpu_download(destination, source, n)) {
            printf("\nCUDA device error: %s!\n", gpu_error_text());
            return 1;
        }
    } else {
        memcpy(destination, source, n);
    }

    unsigned char header[PICTURE_HEADER_BYTES];
    if (read_header_template(header)) return 1;
    put_le32(header + 2, (unsigned)(3 * n + PICTURE_HEADER_BYTES));
    put_le32(header + 18, (unsigned)W);
    put_le32(header + 22, (unsigned)H);

    // The pixels go out a block at a time: a whole copy would triple the picture.
    const size_t block_pixels = (size_t)1 << 20;
    unsigned char *triples = (unsigned char *)malloc(3 * block_pixels);
    if (triples == NULL) {
        printf("\nNot enough memory on host!\n");
        return 1;
    }
    FILE *output = fopen(file_name, "w+b");
    if (output == NULL) {
        free(triples);
        return cannot_write(file_name, errno);
    }
    int written = fwrite(header, 1, sizeof header, output) == sizeof header;
    for (size_t start = 0; start < n && written; start += block_pixels) {
        const size_t count = n - start < block_pixels ? n - start : block_pixels;
        for (size_t k = 0; k < count; k++)
            triples[3 * k] = triples[3 * k + 1] = triples[3 * k + 2] = destination[start + k];
        written = fwrite(triples, 1, 3 * count, output) == 3 * count;
    }
    free(triples);
    return close_written(output, file_name, written);
}

// Values a thread formats in one round; the rounds' texts go out in order.
static const int VALUES_PER_THREAD = 1 << 17;
static const size_t FAST_LINE_MAX = 24;  // "-" 14 digits "." 6 digits "\n", and room

int write_phase_text(const double *phase, int SIZE, const char *file_name) {
    FILE *text = fopen(file_name, "wb");
    if (text == NULL) return cannot_write(file_name, errno);
    const int threads = omp_get_max_threads();
    const size_t capacity = VALUES_PER_THREAD * FAST_LINE_MAX + FORMAT_LF_MAX + 1;
    char **buffers = (char **)calloc((size_t)threads, sizeof(char *));
    size_t *capacities = (size_t *)calloc((size_t)threads, sizeof(size_t));
    size_t *lengths = (size_t *)calloc((size_t)threads, sizeof(size_t));
    int failed = buffers == NULL || capacities == NULL || lengths == NULL;
    for (int t = 0; t < threads && !failed; t++) {
        buffers[t] = (char *)malloc(capacity);
        capacities[t] = capacity;
        failed = buffers[t] == NULL;
    }
    int written = !failed;
    const long long round = (long long)VALUES_PER_THREAD * threads;
    for (long long start = 0; start < SIZE && written && !failed; start += round) {
        const long long end = start + round < SIZE ? start + round : SIZE;
#pragma omp parallel num_threads(threads) reduction(|| : failed)
        {
            const int t = omp_get_thread_num();
            const long long first = start + (long long)t * VALUES_PER_THREAD;
            const long long last = first + VALUES_PER_THREAD < end ? first + VALUES_PER_THREAD : end;
            size_t length = 0;
            for (long long i = first; i < last; i++) {
                // Only a value of 2^44 or more is longer than a fast line.
                if (capacities[t] - length < FORMAT_LF_MAX + 1) {
                    char *grown = (char *)realloc(buffers[t], 2 * capacities[t]);
                    if (grown == NULL) {
                        failed = 1;
                        break;
                    }
                    buffers[t] = grown;
                    capacities[t] *= 2;
                }
                length += format_lf(phase[i], buffers[t] + length);
                buffers[t][length++] = '\n';
            }
            lengths[t] = length;
        }
        for (int t = 0; t < threads && written && !failed; t++)
            written = fwrite(buffers[t], 1, lengths[t], text) == lengths[t];
    }
    if (failed) {
        printf("\nNot enough memory on host!\n");
        fclose(text);
    } else {
        failed = close_written(text, file_name, written);
    }
    for (int t = 0; buffers != NULL && t < threads; t++) free(buffers[t]);
    free(buffers);
    free(capacities);
    free(lengths);
    return failed;
}

static const char *PICTURE_NAME = "phaze_cuda.bmp";
static const char *TEXT_NAME = "phaze_cuda.txt";

int write_results(const double *phase, unsigned char *picture_scratch, int W, int H) {
    const int SIZE = W * H;
    unsigned char *picture = (unsigned char *)malloc((size_t)SIZE);
    if (picture == NULL) {
        printf("\nNot enough memory on host!\n");
        return 1;
    }
    quantise_phases(phase, picture, SIZE);

    pending_file files[2];
    int error = begin_result(PICTURE_NAME, &files[0]);
    int failed = error ? cannot_write(PICTURE_NAME, error) : 0;
    if (!failed) failed = write_bmp(picture, picture_scratch, files[0].temporary.c_str(), 0, W, H);
    if (!failed && (error = begin_result(TEXT_NAME, &files[1])) != 0)
        failed = cannot_write(TEXT_NAME, error);
    if (!failed) failed = write_phase_text(phase, SIZE, files[1].temporary.c_str());
    free(picture);
    const char *failed_name = NULL;
    if (!failed && (error = commit_results(files, 2, &failed_name)) != 0)
        return cannot_write(failed_name, error);
    if (failed) abandon_results(files, 2);
    return failed;
}
