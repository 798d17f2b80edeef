#include "shared/format_lf.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

// Values below 2^44 have at most 14 integer digits and, scaled by 10^6, fit in 64
// bits; larger ones (never a phase) go to snprintf itself.
static const int FAST_EXPONENT_LIMIT = 44;

static const char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

static size_t write_unsigned(uint64_t value, char *out) {
    char digits[20];
    size_t count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t k = 0; k < count; k++) out[k] = digits[count - 1 - k];
    return count;
}

size_t format_lf(double value, char *out) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    const int negative = (int)(bits >> 63);
    const int biased_exponent = (int)((bits >> 52) & 0x7ff);
    const uint64_t fraction = bits & ((UINT64_C(1) << 52) - 1);
    if (biased_exponent == 0x7ff || biased_exponent - 1023 >= FAST_EXPONENT_LIMIT) {
        char text[FORMAT_LF_MAX + 1];
        const int length = snprintf(text, sizeof text, "%lf", value);
        memcpy(out, text, (size_t)length);
        return (size_t)length;
    }
    // value = mantissa * 2^exponent, exactly.
    const uint64_t mantissa = biased_exponent == 0 ? fraction : fraction | (UINT64_C(1) << 52);
    const int exponent = biased_exponent == 0 ? -1074 : biased_exponent - 1075;

    // millionths = |value| * 10^6, rounded half to even as printf rounds.
    uint64_t millionths;
    if (exponent >= 0) {
        millionths = (mantissa << exponent) * 1000000;
    } else if (-exponent > 74) {
        millionths = 0;  // below 2^-21 * 10^6 / 2^53: under half a millionth
    } else {
        const int shift = -exponent;
        const unsigned __int128 scaled = (unsigned __int128)mantissa * 1000000u;
        uint64_t quotient = (uint64_t)(scaled >> shift);
        const unsigned __int128 remainder = scaled - ((unsigned __int128)quotient << shift);
        const unsigned __int128 half = (unsigned __int128)1 << (shift - 1);
        if (remainder > half || (remainder == half && (quotient & 1))) quotient++;
        millionths = quotient;
    }

    size_t length = 0;
    if (negative) out[length++] = '-';
    const uint64_t whole = millionths / 1000000;
    if (whole < 10)
        out[length++] = (char)('0' + whole);  // every phase
    else
        length += write_unsigned(whole, out + length);
    out[length++] = '.';
    uint32_t decimals = (uint32_t)(millionths % 1000000);
    for (int k = 4; k >= 0; k -= 2) {
        memcpy(out + length + k, DIGIT_PAIRS + 2 * (decimals % 100), 2);
        decimals /= 100;
    }
    return length + 6;
}
