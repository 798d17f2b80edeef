#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <png.h>
#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <new>

// Our own copy, with only the decoders we use: less to attack, and the fuzzer
// sees inside it. Zeroed memory: stb_image 2.27 decodes a JPEG scan with a
// Huffman table the file never defined, reading whatever its memory held.
#define STBI_MALLOC(size) calloc(1, size)
#define STBI_REALLOC(pointer, size) realloc(pointer, size)
#define STBI_FREE(pointer) free(pointer)
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#define STBI_ONLY_BMP
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wimplicit-fallthrough"
#include <stb/stb_image.h>
#pragma GCC diagnostic pop

#include "shared/codec_errors.h"
#include "shared/image.h"
#include "shared/orientation.h"

size_t pixel_format_bytes(pixel_format format) {
    return format == PIXELS_U8 ? 1 : format == PIXELS_U16 ? 2 : 4;
}

static int refuse(std::string *reason, const std::string &why) {
    *reason = why;
    return 1;
}

static int truncated(std::string *reason, const std::string &why) {
    return refuse(reason, "the file is truncated: " + why);
}

static std::string number(unsigned long long n) { return std::to_string(n); }

static unsigned long long times(unsigned long long a, unsigned long long b) {
    return b != 0 && a > ULLONG_MAX / b ? ULLONG_MAX : a * b;
}

// Compressed samples expand this much at most (deflate about 1032 times, LZW
// about 1400, JPEG about 500), so a header claiming more than its file can hold
// is refused before anything is allocated.
static const unsigned long long MAX_RATIO = 4096;

static int check_file_holds(unsigned long long sample_bytes, unsigned long long file_bytes,
                            bool compressed, std::string *reason) {
    if (!compressed && sample_bytes > file_bytes)
        return truncated(
            reason, number(sample_bytes) + " bytes of samples, " + number(file_bytes) + " there");
    if (compressed && sample_bytes / MAX_RATIO > file_bytes)
        return truncated(reason, number(sample_bytes) + " bytes of samples cannot come from " +
                                     number(file_bytes));
    return 0;
}

// Sizes come from headers a corrupt file may fake.
static int check_size(long long width, long long height, const size_limit &limit,
                      std::string *reason) {
    if (width <= 0 || height <= 0) return refuse(reason, "the image has no pixels");
    if (limit.width > 0 && (width != limit.width || height != limit.height))
        return refuse(reason, "its size " + std::to_string(width) + " x " + std::to_string(height) +
                                  " differs");
    if (width > INT_MAX || height > INT_MAX || width * height > limit.max_pixels)
        return refuse(reason, "an image of " + std::to_string(width) + " x " +
                                  std::to_string(height) + " pixels is too large");
    return 0;
}

// Room for the samples; channels and format are already set.
static int make_room(image *out, long long width, long long height, const size_limit &limit,
                     std::string *reason) {
    if (check_size(width, height, limit, reason)) return 1;
    out->width = (int)width, out->height = (int)height;
    try {
        out->data.resize((size_t)(width * height) * out->channels *
                         pixel_format_bytes(out->format));
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

// Pages after the first would otherwise be dropped without a word; reduced
// copies (thumbnails) are not pages. -1 where the first page cannot be had back.
static int tiff_pages(TIFF *tiff) {
    if (TIFFNumberOfDirectories(tiff) < 2) return 1;
    int pages = 1;
    while (TIFFReadDirectory(tiff)) {
        uint32_t kind = 0;
        if (!TIFFGetField(tiff, TIFFTAG_SUBFILETYPE, &kind) || !(kind & FILETYPE_REDUCEDIMAGE))
            pages++;
    }
    if (pages == 1 && !TIFFSetDirectory(tiff, 0)) return -1;
    catch_tiff_errors();  // what a broken later page said is not this page's fault
    return pages;
}

static int read_open_tiff(TIFF *tiff, unsigned long long file_bytes, const size_limit &limit,
                          image *out, std::string *reason) {
    uint32_t width = 0, height = 0;
    uint16_t bits = 1, samples_per_pixel = 1, format = SAMPLEFORMAT_UINT,
             planar = PLANARCONFIG_CONTIG, photometric = PHOTOMETRIC_MINISBLACK,
             compression = COMPRESSION_NONE;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples_per_pixel);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_COMPRESSION, &compression);
    if (bits == 8 && format == SAMPLEFORMAT_UINT)
        out->format = PIXELS_U8;
    else if (bits == 16 && format == SAMPLEFORMAT_UINT)
        out->format = PIXELS_U16;
    else if (bits == 32 && format == SAMPLEFORMAT_IEEEFP)
        out->format = PIXELS_F32;
    else
        return refuse(reason, "unsupported TIFF samples (" + std::to_string(bits) + "-bit" +
                                  (format == SAMPLEFORMAT_IEEEFP ? " float"
                                   : format == SAMPLEFORMAT_INT  ? " signed"
                                                                 : "") +
                                  "); phaze reads 8- and 16-bit integers and 32-bit floats");
    const bool inverted = photometric == PHOTOMETRIC_MINISWHITE;
    if (photometric != PHOTOMETRIC_MINISBLACK && photometric != PHOTOMETRIC_RGB &&
        !(inverted && out->format != PIXELS_F32)) {
        const char *space = photometric == PHOTOMETRIC_SEPARATED ? "CMYK"
                            : photometric == PHOTOMETRIC_YCBCR   ? "YCbCr"
                            : photometric == PHOTOMETRIC_PALETTE ? "palette"
                            : photometric == PHOTOMETRIC_CIELAB ||
                                    photometric == PHOTOMETRIC_ICCLAB ||
                                    photometric == PHOTOMETRIC_ITULAB
                                ? "Lab"
                                : NULL;
        return refuse(reason, (space ? std::string("a ") + space + " TIFF"
                                     : "a TIFF of photometric " + std::to_string(photometric)) +
                                  ": phaze reads gray and RGB");
    }
    out->channels = photometric == PHOTOMETRIC_RGB ? 3 : 1;
    if (planar != PLANARCONFIG_CONTIG || samples_per_pixel < out->channels || samples_per_pixel > 4)
        return refuse(reason, "unsupported TIFF layout (separate planes, or " +
                                  std::to_string(samples_per_pixel) + " samples a pixel)");
    const int pages = tiff_pages(tiff);
    if (pages < 0) return refuse(reason, tiff_error_text("a corrupt TIFF"));
    if (pages > 1)
        return refuse(reason, "a multi-page TIFF (" + std::to_string(pages) +
                                  " pages): phaze reads one frame a file");
    if (check_size(width, height, limit, reason)) return 1;

    const size_t bytes = pixel_format_bytes(out->format);
    const bool tiled = TIFFIsTiled(tiff);
    const uint64_t piece = tiled ? TIFFTileSize64(tiff) : TIFFScanlineSize64(tiff);
    uint32_t tile_width = 0, tile_height = 0;
    if (tiled) {
        TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tile_width);
        TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tile_height);
        if (tile_width == 0 || tile_height == 0 ||
            (uint64_t)tile_width * tile_height * samples_per_pixel * bytes > piece)
            return refuse(reason, "a corrupt TIFF tile layout");
    } else if (piece < (uint64_t)width * samples_per_pixel * bytes) {
        return refuse(reason, "a corrupt TIFF row layout");
    }
    // Every tile or row is decoded into one buffer of its size: none may claim
    // more than the file can hold.
    if (check_file_holds(times(tiled ? TIFFNumberOfTiles(tiff) : height, piece), file_bytes,
                         compression != COMPRESSION_NONE, reason))
        return 1;
    if (make_room(out, width, height, limit, reason)) return 1;
    std::vector<unsigned char> buffer((size_t)piece);
    const size_t out_row = (size_t)width * out->channels * bytes;
    if (tiled) {
        for (uint32_t y = 0; y < height; y += tile_height)
            for (uint32_t x = 0; x < width; x += tile_width) {
                if (TIFFReadTile(tiff, buffer.data(), x, y, 0, 0) < 0)
                    return refuse(reason, tiff_error_text("a TIFF tile cannot be read"));
                const uint32_t columns = width - x < tile_width ? width - x : tile_width;
                for (uint32_t r = 0; r < tile_height && y + r < height; r++)
                    take_channels(
                        buffer.data() + (size_t)r * tile_width * samples_per_pixel * bytes,
                        out->data.data() + (y + r) * out_row + (size_t)x * out->channels * bytes,
                        columns, samples_per_pixel, out->channels, bytes);
            }
    } else if (samples_per_pixel == out->channels && piece == out_row) {
        // Rows as they are stored: each strip decoded straight into its rows.
        uint32_t rows_per_strip = height;
        TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
        if (rows_per_strip == 0 || rows_per_strip > height) rows_per_strip = height;
        const uint32_t strips = (height + rows_per_strip - 1) / rows_per_strip;
        if (strips != TIFFNumberOfStrips(tiff))
            return refuse(reason, "a corrupt TIFF strip layout");
        for (uint32_t strip = 0; strip < strips; strip++) {
            const uint32_t first = strip * rows_per_strip,
                           rows = height - first < rows_per_strip ? height - first : rows_per_strip;
            const tmsize_t size = (tmsize_t)(rows * out_row);
            if (TIFFReadEncodedStrip(tiff, strip, out->data.data() + first * out_row, size) != size)
                return refuse(reason, tiff_error_text("a TIFF strip cannot be read"));
        }
    } else {
        for (uint32_t y = 0; y < height; y++) {
            if (TIFFReadScanline(tiff, buffer.data(), y, 0) < 0)
                return refuse(reason, tiff_error_text("a TIFF row cannot be read"));
            take_channels(buffer.data(), out->data.data() + y * out_row, width, samples_per_pixel,
                          out->channels, bytes);
        }
    }
    if (inverted && out->format == PIXELS_U8)
        for (unsigned char &v : out->data) v = (unsigned char)(255 - v);
    if (inverted && out->format == PIXELS_U16)
        for (size_t k = 0; k < out->data.size(); k += 2) {
            uint16_t v;
            memcpy(&v, &out->data[k], 2);
            v = (uint16_t)(65535 - v);
            memcpy(&out->data[k], &v, 2);
        }
    return 0;
}

static int read_tiff(const char *path, unsigned long long file_bytes, const size_limit &limit,
                     image *out, std::string *reason) {
    catch_tiff_errors();
    // libtiff's own buffers, too, stay within what the file can decode to.
    TIFFOpenOptions *options = TIFFOpenOptionsAlloc();
    if (options == NULL) return refuse(reason, "not enough memory");
    TIFFOpenOptionsSetMaxSingleMemAlloc(options,
                                        (tmsize_t)(times(file_bytes, MAX_RATIO) + (16 << 20)));
    TIFF *tiff = TIFFOpenExt(path, "r", options);
    TIFFOpenOptionsFree(options);
    if (tiff == NULL) return refuse(reason, tiff_error_text("not a readable TIFF file"));
    const int failed = read_open_tiff(tiff, file_bytes, limit, out, reason);
    TIFFClose(tiff);
    return failed;
}

// ---- PNG ----

// libpng's own reader says only "Read Error" when the file ends early.
static void read_png_bytes(png_structp png, png_bytep data, size_t length) {
    FILE *file = (FILE *)png_get_io_ptr(png);
    if (fread(data, 1, length, file) != length)
        png_error(png, ferror(file) ? strerror(errno) : "the PNG file is truncated");
}

static int read_png(const char *path, unsigned long long file_bytes, const size_limit &limit,
                    image *out, std::string *reason) {
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
    png_set_read_fn(png, file, read_png_bytes);
    // libpng stops at a million pixels a side by default; limit.max_pixels bounds us.
    png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
    png_read_info(png, info);
    const int bit_depth = png_get_bit_depth(png, info), colour = png_get_color_type(png, info);
    const unsigned long long width = png_get_image_width(png, info),
                             height = png_get_image_height(png, info),
                             stored = times(png_get_rowbytes(png, info) + 1, height);
    // Before libpng sizes its own row buffers from the header.
    int failed = check_size(width, height, limit, reason) ||
                 check_file_holds(stored, file_bytes, true, reason);
    if (!failed) {
        if (colour == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
        if (colour == PNG_COLOR_TYPE_GRAY && bit_depth < 8) png_set_expand_gray_1_2_4_to_8(png);
        if (colour & PNG_COLOR_MASK_ALPHA) png_set_strip_alpha(png);
        if (bit_depth == 16) png_set_swap(png);  // our samples are in the host's order
        png_read_update_info(png, info);
        out->channels = png_get_channels(png, info) >= 3 ? 3 : 1;
        out->format = png_get_bit_depth(png, info) == 16 ? PIXELS_U16 : PIXELS_U8;
        failed = make_room(out, width, height, limit, reason);
    }
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

// ---- BMP and JPEG, through stb_image ----

// stb_image reads a BMP cut short as if the rest were zeros; its header says
// how many bytes the rows take.
static int check_bmp(FILE *file, unsigned long long file_bytes, const size_limit &limit,
                     std::string *reason) {
    unsigned char h[34] = {};
    const size_t got = fread(h, 1, sizeof h, file);
    auto le = [&](int at, int n) {
        uint32_t v = 0;
        for (int k = n - 1; k >= 0; k--) v = v << 8 | h[at + k];
        return v;
    };
    const bool old = le(14, 4) == 12;  // OS/2 header: unsigned 16-bit sizes, no compression
    const size_t header = old ? 26 : 34;
    if (got < header)
        return truncated(reason, number(header) + " bytes of header, " + number(got) + " there");
    const long long width = old ? le(18, 2) : (int32_t)le(18, 4),
                    height = old ? le(20, 2) : (int32_t)le(22, 4);
    const uint32_t bits = le(old ? 24 : 28, 2), compression = old ? 0 : le(30, 4);
    const long long rows = height < 0 ? -height : height;  // negative: top-down
    if (check_size(width, rows, limit, reason)) return 1;
    if ((compression != 0 && compression != 3) || bits == 0 || bits > 32) return 0;
    const unsigned long long bytes = times((width * bits + 31) / 32 * 4, rows), start = le(10, 4);
    if (start > file_bytes || bytes > file_bytes - start)
        return truncated(reason, number(bytes) + " bytes of samples, " +
                                     number(file_bytes > start ? file_bytes - start : 0) +
                                     " there");
    return 0;
}

// What a walk over a JPEG's markers finds before stb_image decodes it.
struct jpeg_markers {
    bool ended = false;               // the end-of-image marker was there
    std::vector<unsigned char> exif;  // the APP1 segment of EXIF data, if any
};

// stb_image 2.27 writes past its Huffman tables when a table lists more than
// 256 codes, and decodes a file cut short as if the rest were there. Walks the
// markers as it does, refusing such a file first, and keeps the EXIF segment.
static int walk_jpeg(FILE *file, unsigned long long file_bytes, jpeg_markers *found,
                     std::string *reason) {
    for (int c = getc(file); c != EOF; c = getc(file)) {
        if (c != 0xff) continue;  // entropy-coded data
        int marker = getc(file);
        while (marker == 0xff) marker = getc(file);
        if (marker == 0xd9) found->ended = true;
        if (marker == 0xd9 || marker == EOF) break;
        if (marker == 0 || marker == 1 || (marker >= 0xd0 && marker <= 0xd8)) continue;
        const int high = getc(file), low = getc(file);
        if (low == EOF || high == EOF) break;
        if ((high << 8 | low) < 2) return 0;  // stb_image refuses it
        long length = (high << 8 | low) - 2;
        const long at = ftell(file);
        if (at < 0) return 0;
        if ((unsigned long long)at + length > file_bytes)
            return truncated(reason, "a JPEG segment of " + number(length + 2) + " bytes at byte " +
                                         number(at - 2) + ", " + number(file_bytes - at + 2) +
                                         " there");
        if (marker == 0xe1 && found->exif.empty()) {  // APP1: EXIF, or XMP before it
            std::vector<unsigned char> segment(length);
            if (fread(segment.data(), 1, length, file) != (size_t)length) break;
            if (length >= 6 && memcmp(segment.data(), "Exif\0\0", 6) == 0)
                found->exif.swap(segment);
            continue;
        }
        if (marker != 0xc4) {
            if (fseek(file, length, SEEK_CUR) != 0) break;
            continue;
        }
        while (length > 0 && getc(file) != EOF) {  // past the table's class and number
            int codes = 0;
            for (int k = 0; k < 16; k++) {
                const int count = getc(file);  // stb_image reads zeros past the end
                codes += count == EOF ? 0 : count;
            }
            if (codes > 256)
                return refuse(reason, "a corrupt JPEG (a Huffman table of " +
                                          std::to_string(codes) + " codes)");
            if (fseek(file, codes, SEEK_CUR) != 0) break;
            length -= 17 + codes;
        }
    }
    if (!found->ended)
        return truncated(reason, "the JPEG's " + number(file_bytes) +
                                     " bytes end before its end-of-image marker");
    return 0;
}

static std::string stb_refusal(bool jpeg) {
    const char *why = stbi_failure_reason();
    return std::string(jpeg ? "a corrupt JPEG" : "a corrupt BMP") +
           (why ? std::string(" (") + why + ")" : "");
}

static int read_with_stb(const char *path, bool jpeg, unsigned long long file_bytes,
                         const size_limit &limit, image *out, std::string *reason) {
    FILE *file = fopen(path, "rb");
    if (file == NULL) return refuse(reason, strerror(errno));
    int width = 0, height = 0, channels = 0;
    jpeg_markers markers;
    int failed = jpeg ? walk_jpeg(file, file_bytes, &markers, reason)
                      : check_bmp(file, file_bytes, limit, reason);
    rewind(file);
    if (!failed && !stbi_info_from_file(file, &width, &height, &channels))
        failed = refuse(reason, stb_refusal(jpeg));
    const int orientation = failed || markers.exif.empty()
                                ? 1
                                : exif_orientation(markers.exif.data(), markers.exif.size());
    const bool turned = orientation_turns(orientation);
    out->channels = channels >= 3 ? 3 : 1;
    out->format = PIXELS_U8;
    failed = failed ||
             check_size(turned ? height : width, turned ? width : height, limit, reason) ||
             (jpeg && check_file_holds(times((unsigned long long)width * height, out->channels),
                                       file_bytes, true, reason)) ||
             make_room(out, turned ? height : width, turned ? width : height, limit, reason);
    const int stored_width = width, stored_height = height;
    unsigned char *samples =
        failed ? NULL : stbi_load_from_file(file, &width, &height, &channels, out->channels);
    fclose(file);
    if (failed) return 1;
    if (samples == NULL) return refuse(reason, stb_refusal(jpeg));
    if (width != stored_width || height != stored_height)
        failed = refuse(reason, jpeg ? "a corrupt JPEG" : "a corrupt BMP");
    if (!failed && orientation == 1) memcpy(out->data.data(), samples, out->data.size());
    if (!failed && orientation != 1)
        turn_upright(samples, width, height, (size_t)out->channels, orientation, out->data.data());
    stbi_image_free(samples);
    if (jpeg) out->warning = "lossy JPEG compression adds noise to the phase";
    return failed;
}

// ---- PGM and PPM ----

// The next decimal number after blanks and # comments: 1, or 0 at the end of
// the file, or -1 at anything else. The blank after the number is taken too.
static int pnm_number(FILE *file, long long *value) {
    int c = getc(file);
    while (c == '#' || isspace(c))
        if (c == '#')
            while (c != '\n' && c != '\r' && c != EOF) c = getc(file);
        else
            c = getc(file);
    if (c == EOF) return 0;
    if (!isdigit(c)) return -1;
    for (*value = 0; isdigit(c); c = getc(file))
        if (*value < (1LL << 40)) *value = *value * 10 + (c - '0');
    return c == EOF || isspace(c) ? 1 : -1;
}

static int read_open_pnm(FILE *file, char kind, unsigned long long file_bytes,
                         const size_limit &limit, image *out, std::string *reason) {
    const bool plain = kind == '2' || kind == '3';  // samples in decimal
    const std::string name = kind == '2' || kind == '5' ? "PGM" : "PPM";
    out->channels = kind == '3' || kind == '6' ? 3 : 1;
    long long width = 0, height = 0, maxval = 0;
    if (fseek(file, 2, SEEK_SET) != 0 || pnm_number(file, &width) != 1 ||
        pnm_number(file, &height) != 1 || pnm_number(file, &maxval) != 1 || maxval < 1 ||
        maxval > 65535)
        return refuse(reason, "a corrupt " + name + " header");
    out->format = maxval > 255 ? PIXELS_U16 : PIXELS_U8;
    out->full_scale = (double)maxval;
    if (check_size(width, height, limit, reason)) return 1;
    const size_t bytes = pixel_format_bytes(out->format);
    const unsigned long long count = (unsigned long long)(width * height) * out->channels,
                             there = file_bytes - (unsigned long long)ftell(file);
    // A decimal sample takes two bytes or more with its blank, but the last one.
    if (plain && there + 1 < 2 * count)
        return truncated(reason, number(count) + " samples, " + number(there) + " bytes there");
    if (!plain && there < count * bytes)
        return truncated(reason,
                         number(count * bytes) + " bytes of samples, " + number(there) + " there");
    if (make_room(out, width, height, limit, reason)) return 1;
    unsigned char *p = out->data.data();
    if (!plain) {
        if (fread(p, bytes, count, file) != count)
            return truncated(reason, "its samples are not all there");
        // Big-endian in the file, the host's order in ours.
        for (size_t k = 0; bytes == 2 && k < count; k++) {
            const uint16_t v = (uint16_t)(p[2 * k] << 8 | p[2 * k + 1]);
            memcpy(p + 2 * k, &v, 2);
        }
        return 0;
    }
    for (unsigned long long k = 0; k < count; k++) {
        long long v = 0;
        const int got = pnm_number(file, &v);
        if (got == 0) return truncated(reason, number(count) + " samples, " + number(k) + " there");
        if (got < 0 || v > maxval) return refuse(reason, "a corrupt " + name + " sample");
        const uint16_t sample = (uint16_t)v;
        if (bytes == 1)
            p[k] = (unsigned char)sample;
        else
            memcpy(p + 2 * k, &sample, 2);
    }
    return 0;
}

static int read_pnm(const char *path, char kind, unsigned long long file_bytes,
                    const size_limit &limit, image *out, std::string *reason) {
    if (kind == '1' || kind == '4')
        return refuse(reason, "a PBM bitmap: phaze reads PGM and PPM, not bitmaps");
    FILE *file = fopen(path, "rb");
    if (file == NULL) return refuse(reason, strerror(errno));
    const int failed = read_open_pnm(file, kind, file_bytes, limit, out, reason);
    fclose(file);
    return failed;
}

int read_image(const char *path, long long max_pixels, image *out, std::string *reason) {
    return read_image_of_size(path, {max_pixels, 0, 0}, out, reason);
}

int read_image_of_size(const char *path, const size_limit &limit, image *out, std::string *reason) {
    struct stat info;
    if (stat(path, &info) != 0) return refuse(reason, strerror(errno));
    if (S_ISDIR(info.st_mode)) return refuse(reason, "is a folder, not an image");
    FILE *file = fopen(path, "rb");
    if (file == NULL) return refuse(reason, strerror(errno));
    unsigned char magic[8] = {};
    const size_t got = fread(magic, 1, sizeof magic, file);
    fclose(file);
    const unsigned long long bytes = (unsigned long long)info.st_size;
    *out = image();
    if (got >= 4 && (memcmp(magic, "II*\0", 4) == 0 || memcmp(magic, "MM\0*", 4) == 0))
        return read_tiff(path, bytes, limit, out, reason);
    if (got >= 8 && memcmp(magic, "\x89PNG\r\n\x1a\n", 8) == 0)
        return read_png(path, bytes, limit, out, reason);
    if (got >= 3 && memcmp(magic, "\xff\xd8\xff", 3) == 0)
        return read_with_stb(path, true, bytes, limit, out, reason);
    if (got >= 2 && memcmp(magic, "BM", 2) == 0)
        return read_with_stb(path, false, bytes, limit, out, reason);
    if (got >= 2 && magic[0] == 'P' && magic[1] >= '1' && magic[1] <= '6')
        return read_pnm(path, (char)magic[1], bytes, limit, out, reason);
    if (got == 0) return refuse(reason, "the file is empty");
    return refuse(reason, "not a PNG, TIFF, JPEG, BMP, PGM or PPM image");
}
