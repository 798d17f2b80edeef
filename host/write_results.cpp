#include "host/write_results.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

    unsigned char *triples = (unsigned char *)malloc(3 * n);
    if (triples == NULL) {
        printf("\nNot enough memory on host!\n");
        return 1;
    }
    for (size_t k = 0; k < n; k++)
        triples[3 * k] = triples[3 * k + 1] = triples[3 * k + 2] = destination[k];

    FILE *output = fopen(file_name, "w+b");
    if (output == NULL) {
        free(triples);
        return cannot_write(file_name, errno);
    }
    const int written = fwrite(header, 1, sizeof header, output) == sizeof header &&
                        fwrite(triples, 1, 3 * n, output) == 3 * n;
    free(triples);
    return close_written(output, file_name, written);
}

int write_phase_text(const double *phase, int SIZE, const char *file_name) {
    FILE *text = fopen(file_name, "wb");
    if (text == NULL) return cannot_write(file_name, errno);
    int written = 1;
    for (int i = 0; i < SIZE && written; i++) written = fprintf(text, "%lf\n", phase[i]) > 0;
    return close_written(text, file_name, written);
}

// A temporary file beside the result, renamed into place once complete, so a
// failed run never leaves a partial result nor destroys one of an earlier run.
static int make_temporary(const char *final_name, std::string &temporary) {
    temporary = std::string(".") + final_name + ".XXXXXX";
    const int descriptor = mkstemp(&temporary[0]);
    if (descriptor < 0) return cannot_write(final_name, errno);
    // mkstemp makes the file private; a result gets the usual permissions.
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask);
    close(descriptor);
    return 0;
}

static int is_directory(const char *name) {
    struct stat info;
    return stat(name, &info) == 0 && S_ISDIR(info.st_mode);
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

    std::string picture_temporary, text_temporary;
    int failed = make_temporary(PICTURE_NAME, picture_temporary);
    if (!failed) {
        failed = write_bmp(picture, picture_scratch, picture_temporary.c_str(), 0, W, H);
        if (!failed) failed = make_temporary(TEXT_NAME, text_temporary);
        if (!failed) failed = write_phase_text(phase, SIZE, text_temporary.c_str());
    }
    free(picture);
    if (!failed && is_directory(PICTURE_NAME)) failed = cannot_write(PICTURE_NAME, EISDIR);
    if (!failed && is_directory(TEXT_NAME)) failed = cannot_write(TEXT_NAME, EISDIR);
    if (!failed && rename(picture_temporary.c_str(), PICTURE_NAME) != 0)
        failed = cannot_write(PICTURE_NAME, errno);
    if (!failed && rename(text_temporary.c_str(), TEXT_NAME) != 0)
        failed = cannot_write(TEXT_NAME, errno);
    if (failed) {
        if (!picture_temporary.empty()) unlink(picture_temporary.c_str());
        if (!text_temporary.empty()) unlink(text_temporary.c_str());
    }
    return failed;
}
