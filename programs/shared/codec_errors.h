// What libtiff and libpng say when they fail, caught as text instead of being
// printed (libtiff) or ending the process (libpng), for both readers and writers.
#pragma once

#include <png.h>

// Routes libtiff's errors into this thread's message and silences its warnings.
void catch_tiff_errors(void);
// libtiff's last error since catch_tiff_errors, or fallback.
const char *tiff_error_text(const char *fallback);

struct png_failure {
    char message[256];
};
// For png_create_*_struct with a png_failure as the error pointer: the message
// is kept and png_longjmp returns to the caller's setjmp.
void png_error_function(png_structp png, png_const_charp message);
void png_warning_function(png_structp png, png_const_charp message);
