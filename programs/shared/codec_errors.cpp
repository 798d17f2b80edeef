#include "shared/codec_errors.h"

#include <stdarg.h>
#include <stdio.h>
#include <tiffio.h>

static thread_local char tiff_message[256];

static void tiff_error(const char *, const char *format, va_list arguments) {
    vsnprintf(tiff_message, sizeof tiff_message, format, arguments);
}

void catch_tiff_errors(void) {
    TIFFSetErrorHandler(tiff_error);
    TIFFSetWarningHandler(NULL);
    tiff_message[0] = '\0';
}

const char *tiff_error_text(const char *fallback) {
    return tiff_message[0] ? tiff_message : fallback;
}

void png_error_function(png_structp png, png_const_charp message) {
    png_failure *failure = (png_failure *)png_get_error_ptr(png);
    snprintf(failure->message, sizeof failure->message, "%s", message);
    png_longjmp(png, 1);
}

void png_warning_function(png_structp, png_const_charp) {}
