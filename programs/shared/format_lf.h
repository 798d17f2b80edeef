// The text of a double exactly as printf's "%lf" writes it, many times faster.
#pragma once

#include <stddef.h>

// Longest text format_lf can write (a large double in full), without a terminator.
constexpr size_t FORMAT_LF_MAX = 330;

// Writes the text of value into out (at least FORMAT_LF_MAX bytes) without a
// terminating zero and returns its length.
size_t format_lf(double value, char *out);
