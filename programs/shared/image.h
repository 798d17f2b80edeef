// Image files in and out, through well-kept libraries: libtiff (TIFF), libpng
// (PNG) and stb_image (BMP, JPEG, turned upright as libexif reads its EXIF
// orientation); PGM and PPM samples are read as they lie after the header.
// What the phaze command reads its frames from and writes its results to, and
// what fringegen writes its frame sets as.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "shared/large_memory.h"

enum pixel_format { PIXELS_U8, PIXELS_U16, PIXELS_F32 };

using sample_bytes = large_array<unsigned char>;

struct image {
    int width = 0, height = 0;
    int channels = 0;  // 1: gray; 3: colour (an alpha channel is dropped)
    pixel_format format = PIXELS_U8;
    sample_bytes data;      // rows without padding, channels interleaved, native order
    double full_scale = 0;  // the largest sample the file declares (PGM's maxval); 0: the type's
    std::string warning;    // what the user should know of how it was read; empty: nothing
};

size_t pixel_format_bytes(pixel_format format);

// 0, or 1 with *reason saying why the file cannot be read. An image of more
// than max_pixels pixels, or more than its file can hold, is refused before its
// samples are read. 16-bit PGM and PPM samples are kept as stored whatever the
// maxval (no rescaling to 65535).
int read_image(const char *path, long long max_pixels, image *out, std::string *reason);
// The same for an image that must have a given size (width > 0): one of
// another size is refused, "its size W x H differs", before its samples are
// read.
struct size_limit {
    long long max_pixels;
    int width, height;  // 0: any
};
int read_image_of_size(const char *path, const size_limit &limit, image *out, std::string *reason);

// Gray images: TIFF of 8- or 16-bit integers or 32-bit floats, PNG of 8 or 16
// bits. 0, or 1 with *reason.
int write_tiff(const char *path, const image &gray, std::string *reason);
int write_png(const char *path, const image &gray, std::string *reason);

// The same with the samples from a source, a band of rows at a time:
// source(first, rows, to) writes rows x width samples to to. It must not throw.
typedef std::function<void(int first, int rows, unsigned char *to)> row_source;
int write_tiff_rows(const char *path, int width, int height, pixel_format format,
                    const row_source &source, std::string *reason);
// With a palette of 256 colours, 8-bit samples are its indices.
int write_png_rows(const char *path, int width, int height, pixel_format format,
                   const row_source &source, std::string *reason,
                   const unsigned char (*palette)[3] = nullptr);
// A TIFF straight from samples already in the file's format (rows without padding).
int write_tiff_samples(const char *path, int width, int height, pixel_format format,
                       const void *samples, std::string *reason);
