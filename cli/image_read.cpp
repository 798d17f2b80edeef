#include <errno.h>
#include <png.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <new>
#include <utility>

#define STBI_NO_STDIO_IMPLEMENTATION
#include <stb/stb_image.h>

#include "cli/codec_errors.h"
#include "cli/image.h"

size_t pixel_format_bytes(pixel_format format) {
    return format == PIXELS_U8 ? 1 : format == PIXELS_U16 ? 2 : 4;
}

static int refuse(std::string *reason, const std::string &why) {
    *reason = why;
    return 1;
}

// Room for the samples, or a refusal: sizes come from headers a corrupt file may fake.
static int make_room(image *out, long long max_pixels, std::string *reason) {
    const long long pixels = (long long)out->width * out->height;
    if (out->width <= 0 || out->height <= 0) return refuse(reason, "the image has no pixels");
    if (pixels > max_pixels)
        return refuse(reason, "an image of " + std::to_string(out->width) + " x " +
                                  std::to_string(out->height) + " pixels is too large");
    try {
        out->data.resize((size_t)pixels * out->channels * pixel_format_bytes(out->format));
    } catch (const std::bad_alloc &) {
        return refuse(reason, "not enough memory for its samples");
    }
    return 0;
}

// ---- TIFF ----

// Copies the first channels samples of each of count pixels from a row of
// samples_per_pixel samples each.
static void take_channels(const unsigned char *from, unsigned char *to, long long count,
                          int samples_per_pixel, int channels, size_t bytes) {
    for (long long p = 0; p < count; p++)
        memcpy(to + p * channels * bytes, from + p * samples_per_pixel * bytes, channels * bytes);
}

static int read_tiff(const char *path, long long max_pixels, image *out, std::string *reason) {
    catch_tiff_errors();
    TIFF *tiff = TIFFOpen(path, "r");
    if (tiff == NULL) return refuse(reason, tiff_error_text("not a readable TIFF file"));
    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples_per_pixel = 1, format = SAMPLEFORMAT_UINT,
             planar = PLANARCONFIG_CONTIG, photometric = PHOTOMETRIC_MINISBLACK;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples_per_pixel);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    int failed = 0;
    if (bits == 8 && format == SAMPLEFORMAT_UINT)
        out->format = PIXELS_U8;
    else if (bits == 16 && format == SAMPLEFORMAT_UINT)
        out->format = PIXELS_U16;
    else if (bits == 32 && format == SAMPLEFORMAT_IEEEFP)
        out->format = PIXELS_F32;
    else
        failed = refuse(reason, "unsupported TIFF samples (" + std::to_string(bits) + "-bit" +
                                    (format == SAMPLEFORMAT_IEEEFP ? " float"
                                     : format == SAMPLEFORMAT_INT  ? " signed"
                                                                   : "") +
                                    "); phaze reads 8- and 16-bit integers and 32-bit floats");
    if (!failed && (planar != PLANARCONFIG_CONTIG || photometric == PHOTOMETRIC_PALETTE ||
                    samples_per_pixel < 1 || samples_per_pixel > 4))
        failed = refuse(reason, "unsupported TIFF layout (separate planes, a palette, or " +
                                    std::to_string(samples_per_pixel) + " samples a pixel)");
    if (!failed) {
        out->width = (int)(width > 0x7fffffff ? 0 : width),
        out->height = (int)(height > 0x7fffffff ? 0 : height);
        out->channels = samples_per_pixel >= 3 ? 3 : 1;
        failed = make_room(out, max_pixels, reason);
    }
    const size_t bytes = pixel_format_bytes(out->format),
                 out_row = (size_t)out->width * out->channels * bytes;
    if (!failed && TIFFIsTiled(tiff)) {
        uint32_t tile_width = 0, tile_height = 0;
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tile_width);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tile_height);
        const tmsize_t tile_bytes = TIFFTileSize(tiff);
        if (tile_width == 0 || tile_height == 0 || tile_bytes <= 0 ||
            (uint64_t)tile_width * tile_height * samples_per_pixel * bytes > (uint64_t)tile_bytes)
            failed = refuse(reason, "a corrupt TIFF tile layout");
        std::vector<unsigned char> tile(failed ? 0 : (size_t)tile_bytes);
        for (uint32_t y = 0; !failed && y < height; y += tile_height)
            for (uint32_t x = 0; !failed && x < width; x += tile_width) {
                if (TIFFReadTile(tiff, tile.data(), x, y, 0, 0) < 0) {
                    failed = refuse(reason, tiff_error_text("a TIFF tile cannot be read"));
                    break;
                }
                const uint32_t columns = width - x < tile_width ? width - x : tile_width;
                for (uint32_t r = 0; r < tile_height && y + r < height; r++)
                    take_channels(
                        tile.data() + (size_t)r * tile_width * samples_per_pixel * bytes,
                        out->data.data() + (y + r) * out_row + (size_t)x * out->channels * bytes,
                        columns, samples_per_pixel, out->channels, bytes);
            }
    } else if (!failed) {
        const tmsize_t line_bytes = TIFFScanlineSize(tiff);
        if (line_bytes <= 0 || (uint64_t)line_bytes < (uint64_t)width * samples_per_pixel * bytes)
            failed = refuse(reason, "a corrupt TIFF row layout");
        std::vector<unsigned char> line(failed ? 0 : (size_t)line_bytes);
        for (uint32_t y = 0; !failed && y < height; y++) {
            if (TIFFReadScanline(tiff, line.data(), y, 0) < 0) {
                failed = refuse(reason, tiff_error_text("a TIFF row cannot be read"));
                break;
            }
            take_channels(line.data(), out->data.data() + y * out_row, width, samples_per_pixel,
                          out->channels, bytes);
        }
    }
    TIFFClose(tiff);
    return failed;
}

// ---- PNG ----

static int read_png(const char *path, long long max_pixels, image *out, std::string *reason) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) return refuse(reason, strerror(errno));
    png_failure failure = {"a corrupt PNG file"};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &failure, png_error_function,
                                             png_warning_function);
    png_infop info = png == NULL ? NULL : png_create_info_struct(png);
    std::vector<png_bytep> rows;
    if (png == NULL || info == NULL) {
        png_destroy_read_struct(&png, &info, NULL);
        fclose(file);
        return refuse(reason, "not enough memory");
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, NULL);
        fclose(file);
        return refuse(reason, failure.message);
    }
    png_init_io(png, file);
    png_read_info(png, info);
    const int bit_depth = png_get_bit_depth(png, info), colour = png_get_color_type(png, info);
    if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
    if (colour == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
    if (colour & PNG_COLOR_MASK_ALPHA) png_set_strip_alpha(png);
    if (bit_depth == 16) png_set_swap(png);  // our samples are in the host's order
    png_read_update_info(png, info);
    out->width = (int)png_get_image_width(png, info);
    out->height = (int)png_get_image_height(png, info);
    out->channels = png_get_channels(png, info) >= 3 ? 3 : 1;
    out->format = png_get_bit_depth(png, info) == 16 ? PIXELS_U16 : PIXELS_U8;
    int failed = make_room(out, max_pixels, reason);
    if (!failed && png_get_rowbytes(png, info) !=
                       (size_t)out->width * out->channels * pixel_format_bytes(out->format))
        failed = refuse(reason, "an unsupported PNG layout");
    if (!failed) {
        rows.resize((size_t)out->height);
        const size_t row = png_get_rowbytes(png, info);
        for (int y = 0; y < out->height; y++) rows[y] = out->data.data() + (size_t)y * row;
        png_read_image(png, rows.data());
        png_read_end(png, NULL);
    }
    png_destroy_read_struct(&png, &info, NULL);
    fclose(file);
    return failed;
}

// ---- BMP and PNM ----

// A 16-bit PNM stores its samples big-endian; some versions of stb_image hand
// them back as stored, others in the host's order. Stored bytes are the file's
// last ones, so they tell which.
static void host_order_pnm(const char *path, image *out) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) return;
    sample_bytes tail(out->data.size());
    const bool as_stored = fseek(file, -(long)tail.size(), SEEK_END) == 0 &&
                           fread(tail.data(), 1, tail.size(), file) == tail.size() &&
                           tail == out->data;
    fclose(file);
    const uint16_t probe = 1;
    const bool host_is_little = *(const unsigned char *)&probe == 1;
    if (as_stored && host_is_little)
        for (size_t k = 0; k + 1 < out->data.size(); k += 2)
            std::swap(out->data[k], out->data[k + 1]);
}

static int read_with_stb(const char *path, long long max_pixels, image *out, std::string *reason) {
    int width = 0, height = 0, channels = 0;
    if (!stbi_info(path, &width, &height, &channels))
        return refuse(reason, stbi_failure_reason() ? stbi_failure_reason() : "a corrupt image");
    out->width = width, out->height = height;
    out->channels = channels >= 3 ? 3 : 1;
    out->format = stbi_is_16_bit(path) ? PIXELS_U16 : PIXELS_U8;
    if (make_room(out, max_pixels, reason)) return 1;
    void *samples = out->format == PIXELS_U16
                        ? (void *)stbi_load_16(path, &width, &height, &channels, out->channels)
                        : (void *)stbi_load(path, &width, &height, &channels, out->channels);
    if (samples == NULL)
        return refuse(reason, stbi_failure_reason() ? stbi_failure_reason() : "a corrupt image");
    if (width != out->width || height != out->height) {
        stbi_image_free(samples);
        return refuse(reason, "a corrupt image");
    }
    memcpy(out->data.data(), samples, out->data.size());
    stbi_image_free(samples);
    if (out->format == PIXELS_U16) host_order_pnm(path, out);
    return 0;
}

int read_image(const char *path, long long max_pixels, image *out, std::string *reason) {
    struct stat info;
    if (stat(path, &info) == 0 && S_ISDIR(info.st_mode))
        return refuse(reason, "is a folder, not an image");
    FILE *file = fopen(path, "rb");
    if (file == NULL) return refuse(reason, strerror(errno));
    unsigned char magic[8] = {};
    const size_t got = fread(magic, 1, sizeof magic, file);
    fclose(file);
    *out = image();
    if (got >= 4 && (memcmp(magic, "II*\0", 4) == 0 || memcmp(magic, "MM\0*", 4) == 0))
        return read_tiff(path, max_pixels, out, reason);
    if (got >= 8 && memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0)
        return read_png(path, max_pixels, out, reason);
    if (got >= 2 &&
        (memcmp(magic, "BM", 2) == 0 || memcmp(magic, "P5", 2) == 0 || memcmp(magic, "P6", 2) == 0))
        return read_with_stb(path, max_pixels, out, reason);
    if (got == 0) return refuse(reason, "the file is empty");
    return refuse(reason, "not a PNG, TIFF, BMP, PGM or PPM image");
}
