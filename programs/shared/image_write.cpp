#include <errno.h>
#include <png.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <tiffio.h>
#include <libdeflate.h>

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
    return write_tiff_rows(path, gray.width, gray.height, gray.format, rows_of(gray), reason);
}

int write_png(const char *path, const image &gray, std::string *reason) {
    return write_png_rows(path, gray.width, gray.height, gray.format, rows_of(gray), reason);
}

int write_tiff_rows(const char *path, int width, int height, pixel_format format,
                    const row_source &source, std::string *reason) {
    catch_tiff_errors();
    const size_t bytes = pixel_format_bytes(format), row = (size_t)width * bytes;
    // Large strips, each filled by the source: few strip offsets for a reader
    // to follow, and no copy of the whole image.
    const uint32_t rows_per_strip =
        (uint32_t)std::max<size_t>(1, std::min<size_t>(height, ((size_t)4 << 20) / row));
    std::vector<unsigned char> strip_samples((size_t)rows_per_strip * row);
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
        source((int)first, (int)rows, strip_samples.data());
        failed =
            TIFFWriteEncodedStrip(tiff, strip, strip_samples.data(), (tmsize_t)(rows * row)) < 0;
    }
    if (!failed) failed = !TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    if (failed) *reason = tiff_error_text("cannot be written");
    return failed;
}

// The rows as PNG's filter stream: each row a SUB filter byte and the
// differences of its bytes from those one sample before (big-endian samples).
static void filter_rows(int width, int height, int depth, const row_source &source,
                        unsigned char *stream) {
    const size_t bytes = (size_t)depth / 8, row = (size_t)width * bytes;
    const int band = (int)std::max<size_t>(1, std::min<size_t>(height, ((size_t)1 << 20) / row));
    std::vector<unsigned char> samples((size_t)band * row);
    for (int first = 0; first < height; first += band) {
        const int rows = std::min(band, height - first);
        source(first, rows, samples.data());
        for (int r = 0; r < rows; r++) {
            unsigned char *in = samples.data() + (size_t)r * row,
                          *out = stream + (size_t)(first + r) * (row + 1);
            if (bytes == 2)
                for (size_t i = 0; i < row; i += 2) std::swap(in[i], in[i + 1]);
            out[0] = PNG_FILTER_VALUE_SUB;
            for (size_t i = 0; i < row; i++)
                out[1 + i] = (unsigned char)(in[i] - (i >= bytes ? in[i - bytes] : 0));
        }
    }
}

int write_png_rows(const char *path, int width, int height, pixel_format format,
                   const row_source &source, std::string *reason) {
    const int depth = format == PIXELS_U16 ? 16 : 8;
    const size_t stream_size = ((size_t)width * (depth / 8) + 1) * height;
    // Made before libpng may jump; the compressed buffer's untouched pages cost nothing.
    large_array<unsigned char> stream(stream_size);
    filter_rows(width, height, depth, source, stream.data());
    libdeflate_compressor *compressor = libdeflate_alloc_compressor(1);
    if (compressor == NULL) throw std::bad_alloc();
    large_array<unsigned char> compressed(libdeflate_zlib_compress_bound(compressor, stream_size));
    const size_t compressed_size = libdeflate_zlib_compress(
        compressor, stream.data(), stream_size, compressed.data(), compressed.size());
    libdeflate_free_compressor(compressor);
    stream = large_array<unsigned char>();
    FILE *file = fopen(path, "wb");
    if (file == NULL) {
        *reason = strerror(errno);
        return 1;
    }
    png_failure failure = {"cannot be written"};
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, png_error_function,
                                              png_warning_function);
    png_infop info = png == NULL ? NULL : png_create_info_struct(png);
    if (png == NULL || info == NULL || compressed_size == 0 || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        fclose(file);
        *reason = failure.message;
        return 1;
    }
    png_init_io(png, file);
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_set_IHDR(png, info, (png_uint_32)width, (png_uint_32)height, depth, PNG_COLOR_TYPE_GRAY,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    // libdeflate compresses the whole filter stream at once (libpng's own zlib
    // path takes twice as long); libpng frames it in IDAT chunks and ends the file.
    const size_t chunk = (size_t)1 << 20;
    for (size_t done = 0; done < compressed_size; done += chunk)
        png_write_chunk(png, (png_const_bytep) "IDAT", compressed.data() + done,
                        std::min(chunk, compressed_size - done));
    png_write_chunk(png, (png_const_bytep) "IEND", NULL, 0);
    png_destroy_write_struct(&png, &info);
    if (fclose(file) != 0) {
        *reason = strerror(errno);
        return 1;
    }
    return 0;
}
