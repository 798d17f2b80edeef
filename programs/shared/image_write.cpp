#include <errno.h>
#include <png.h>
#include <setjmp.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <tiffio.h>

#include "shared/codec_errors.h"
#include "shared/image.h"

int write_tiff(const char *path, const image &gray, std::string *reason) {
    catch_tiff_errors();
    TIFF *tiff = TIFFOpen(path, "w");
    if (tiff == NULL) {
        *reason = tiff_error_text("cannot be written");
        return 1;
    }
    const size_t bytes = pixel_format_bytes(gray.format), row = (size_t)gray.width * bytes;
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, (uint32_t)gray.width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, (uint32_t)gray.height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, (uint16_t)(8 * bytes));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, (uint16_t)1);
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT,
                 (uint16_t)(gray.format == PIXELS_F32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, (uint16_t)PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, (uint16_t)PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, (uint16_t)COMPRESSION_NONE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    int failed = 0;
    for (int y = 0; y < gray.height && !failed; y++)
        failed = TIFFWriteScanline(tiff, (void *)(gray.data.data() + (size_t)y * row), (uint32_t)y,
                                   0) < 0;
    if (!failed) failed = !TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    if (failed) *reason = tiff_error_text("cannot be written");
    return failed;
}

int write_png(const char *path, const image &gray, std::string *reason) {
    FILE *file = fopen(path, "wb");
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
    // libpng refuses rows over a million pixels by default; TIFF frames can be wider.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    const int depth = gray.format == PIXELS_U16 ? 16 : 8;
    png_set_IHDR(png, info, (png_uint_32)gray.width, (png_uint_32)gray.height, depth,
                 PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    // Fast compression: a large phase map otherwise takes seconds to write.
    png_set_compression_level(png, 1);
    png_set_filter(png, 0, PNG_FILTER_SUB);
    png_write_info(png, info);
    if (depth == 16) png_set_swap(png);
    const size_t row = (size_t)gray.width * (depth / 8);
    for (int y = 0; y < gray.height; y++) png_write_row(png, gray.data.data() + (size_t)y * row);
    png_write_end(png, NULL);
    png_destroy_write_struct(&png, &info);
    if (fclose(file) != 0) {
        *reason = strerror(errno);
        return 1;
    }
    return 0;
}
