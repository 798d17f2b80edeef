#include <errno.h>
#include <png.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <isa-l/igzip_lib.h>
#include <tiffio.h>

#include <algorithm>
#include <new>
#include <vector>

#include "shared/codec_errors.h"
#include "shared/image.h"

// Rows of a whole image, for the writers that take rows from a source.
static row_source rows_of(const image &gray) {
    const size_t row = (size_t)gray.width * pixel_format_bytes(gray.format);
    return [&gray, row](int first, int rows, unsigned char *to) {
        memcpy(to, gray.data.data() + (size_t)first * row, (size_t)rows * row);
    };
}

int write_tiff(const char *path, const image &gray, std::string *reason) {
    return write_tiff_samples(path, gray.width, gray.height, gray.format, gray.data.data(), reason);
}

int write_png(const char *path, const image &gray, std::string *reason) {
    return write_png_rows(path, gray.width, gray.height, gray.format, rows_of(gray), reason);
}

// A TIFF without compression, its strips' bytes from strip(first, rows), which
// returns rows x width samples: written as they are (libtiff's encoding step
// would only copy them once more).
template <typename Strip>
static int write_tiff_strips(const char *path, int width, int height, pixel_format format,
                             Strip strip_bytes, uint32_t rows_per_strip, std::string *reason) {
    catch_tiff_errors();
    const size_t bytes = pixel_format_bytes(format), row = (size_t)width * bytes;
    TIFF *tiff = TIFFOpen(path, "w");
    if (tiff == NULL) {
        *reason = tiff_error_text("cannot be written");
        return 1;
    }
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, (uint32_t)width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, (uint32_t)height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, (uint16_t)(8 * bytes));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, (uint16_t)1);
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT,
                 (uint16_t)(format == PIXELS_F32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, (uint16_t)PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, (uint16_t)PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, (uint16_t)COMPRESSION_NONE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    int failed = 0;
    for (uint32_t first = 0, strip = 0; first < (uint32_t)height && !failed;
         first += rows_per_strip, strip++) {
        const uint32_t rows = std::min<uint32_t>(rows_per_strip, (uint32_t)height - first);
        const unsigned char *samples = strip_bytes((int)first, (int)rows);
        failed = TIFFWriteRawStrip(tiff, strip, (void *)samples, (tmsize_t)(rows * row)) < 0;
    }
    if (!failed) failed = !TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    if (failed) *reason = tiff_error_text("cannot be written");
    return failed;
}

// Large strips: few strip offsets for a reader to follow.
static uint32_t strip_rows(int width, int height, pixel_format format) {
    const size_t row = (size_t)width * pixel_format_bytes(format);
    return (uint32_t)std::max<size_t>(1, std::min<size_t>(height, ((size_t)4 << 20) / row));
}

int write_tiff_rows(const char *path, int width, int height, pixel_format format,
                    const row_source &source, std::string *reason) {
    const uint32_t rows_per_strip = strip_rows(width, height, format);
    // Each strip filled by the source: no copy of the whole image.
    std::vector<unsigned char> strip_samples((size_t)rows_per_strip * width *
                                             pixel_format_bytes(format));
    return write_tiff_strips(
        path, width, height, format,
        [&](int first, int rows) {
            source(first, rows, strip_samples.data());
            return (const unsigned char *)strip_samples.data();
        },
        rows_per_strip, reason);
}

int write_tiff_samples(const char *path, int width, int height, pixel_format format,
                       const void *samples, std::string *reason) {
    const size_t row = (size_t)width * pixel_format_bytes(format);
    return write_tiff_strips(
        path, width, height, format,
        [&](int first, int) { return (const unsigned char *)samples + (size_t)first * row; },
        strip_rows(width, height, format), reason);
}

// A band of rows as PNG's filter stream: each row a SUB filter byte and the
// differences of its bytes from those one sample before (big-endian samples).
static void filter_band(unsigned char *samples, int rows, size_t row, size_t bytes,
                        unsigned char *stream) {
    for (int r = 0; r < rows; r++) {
        unsigned char *in = samples + (size_t)r * row, *out = stream + (size_t)r * (row + 1);
        if (bytes == 2)
            for (size_t i = 0; i < row; i += 2) std::swap(in[i], in[i + 1]);
        out[0] = PNG_FILTER_VALUE_SUB;
        for (size_t i = 0; i < row; i++)
            out[1 + i] = (unsigned char)(in[i] - (i >= bytes ? in[i - bytes] : 0));
    }
}

int write_png_rows(const char *path, int width, int height, pixel_format format,
                   const row_source &source, std::string *reason,
                   const unsigned char (*palette)[3]) {
    const int depth = format == PIXELS_U16 ? 16 : 8;
    const size_t bytes = (size_t)depth / 8, row = (size_t)width * bytes;
    const int band = (int)std::max<size_t>(1, std::min<size_t>(height, ((size_t)1 << 20) / row));
    // Made before libpng may jump.
    std::vector<unsigned char> samples((size_t)band * row), stream((size_t)band * (row + 1)),
        compressed((size_t)1 << 20), level_buffer(ISAL_DEF_LVL1_DEFAULT);
    FILE *volatile file = fopen(path, "wb");  // read again after a jump
    if (file == NULL) {
        *reason = strerror(errno);
        return 1;
    }
    png_failure failure = {"cannot be written"};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, png_error_function,
                                              png_warning_function);
    png_infop info = png == NULL ? NULL : png_create_info_struct(png);
    if (png == NULL || info == NULL || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(file);
        *reason = failure.message;
        return 1;
    }
    png_init_io(png, file);
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    const bool indexed = palette != nullptr && depth == 8;
    png_set_IHDR(png, info, (png_uint_32)width, (png_uint_32)height, depth,
                 indexed ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (indexed) {
        png_color colours[256];
        for (int k = 0; k < 256; k++) colours[k] = {palette[k][0], palette[k][1], palette[k][2]};
        png_set_PLTE(png, info, colours, 256);
    }
    png_write_info(png, info);
    // ISA-L deflates the filter stream (at its fast level, four times zlib's
    // speed on a phase picture and thirty on a mask); libpng frames what comes
    // out in IDAT chunks and ends the file.
    isal_zstream z;
    isal_deflate_init(&z);
    z.level = 1;
    z.level_buf = level_buffer.data();
    z.level_buf_size = (uint32_t)level_buffer.size();
    z.gzip_flag = IGZIP_ZLIB;
    for (int first = 0; first < height; first += band) {
        const int rows = std::min(band, height - first);
        source(first, rows, samples.data());
        filter_band(samples.data(), rows, row, bytes, stream.data());
        z.next_in = stream.data();
        z.avail_in = (uint32_t)((size_t)rows * (row + 1));
        z.end_of_stream = first + rows == height;
        do {
            z.next_out = compressed.data();
            z.avail_out = (uint32_t)compressed.size();
            if (isal_deflate(&z) != COMP_OK) png_error(png, "cannot be compressed");
            const size_t made = compressed.size() - z.avail_out;
            if (made > 0) png_write_chunk(png, (png_const_bytep) "IDAT", compressed.data(), made);
        } while (z.avail_in > 0 || (z.end_of_stream && z.internal_state.state != ZSTATE_END));
    }
    png_write_chunk(png, (png_const_bytep) "IEND", NULL, 0);
    png_destroy_write_struct(&png, &info);
    if (fclose(file) != 0) {
        *reason = strerror(errno);
        return 1;
    }
    return 0;
}
