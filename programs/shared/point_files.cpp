#include "shared/point_files.h"

#include <errno.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <tiffio.h>

#include <algorithm>
#include <memory>

#include "shared/codec_errors.h"
#include "shared/image.h"
#include "shared/result_files.h"

namespace phaze_internal {

static bool has_point(const double *p) {
    return isfinite(p[0]) && isfinite(p[1]) && isfinite(p[2]);
}

static void put_float_le(float value, unsigned char *to) {
    uint32_t bits;
    memcpy(&bits, &value, 4);
    for (int k = 0; k < 4; k++) to[k] = (unsigned char)(bits >> (8 * k));
}

static int write_ply(const char *path, const point_image &points, long long *count,
                     std::string *reason) {
    const size_t pixels = (size_t)points.width * points.height;
    long long finite = 0;
    for (size_t i = 0; i < pixels; i++) finite += has_point(points.xyz + 3 * i);
    FILE *file = fopen(path, "wb");
    if (file == nullptr) {
        *reason = strerror(errno);
        return 1;
    }
    fprintf(file,
            "ply\nformat binary_little_endian 1.0\n"
            "comment phaze: points of a %d x %d camera image, in the calibration's unit\n"
            "element vertex %lld\nproperty float x\nproperty float y\nproperty float z\n%s"
            "end_header\n",
            points.width, points.height, finite,
            points.gray != nullptr ? "property uchar gray\n" : "");
    const size_t vertex = points.gray != nullptr ? 13 : 12, batch = 65536;
    std::unique_ptr<unsigned char[]> bytes(new unsigned char[vertex * batch]);
    size_t filled = 0;
    bool failed = false;
    for (size_t i = 0; i < pixels && !failed; i++) {
        const double *p = points.xyz + 3 * i;
        if (!has_point(p)) continue;
        unsigned char *to = bytes.get() + vertex * filled;
        for (int k = 0; k < 3; k++) put_float_le((float)p[k], to + 4 * k);
        if (points.gray != nullptr) to[12] = points.gray[i];
        if (++filled == batch)
            failed = fwrite(bytes.get(), vertex, filled, file) != filled, filled = 0;
    }
    if (!failed && filled > 0) failed = fwrite(bytes.get(), vertex, filled, file) != filled;
    const int error = errno;
    if (fclose(file) != 0 || failed) {
        *reason = strerror(failed ? error : errno);
        return 1;
    }
    *count = finite;
    return 0;
}

static int write_depth(const char *path, const point_image &points, std::string *reason) {
    const double *xyz = points.xyz;
    const int width = points.width;
    return write_tiff_rows(
        path, width, points.height, PIXELS_F32,
        [xyz, width](int first, int rows, unsigned char *to) {
            float *depth = (float *)to;
            const size_t start = (size_t)first * width, count = (size_t)rows * width;
            for (size_t i = 0; i < count; i++) {
                const double *p = xyz + 3 * (start + i);
                depth[i] = has_point(p) ? (float)p[2] : NAN;
            }
        },
        reason);
}

// Three float samples a pixel, not colour: gray with two extra samples.
static int write_xyz(const char *path, const point_image &points, std::string *reason) {
    catch_tiff_errors();
    TIFF *tiff = TIFFOpen(path, "w");
    if (tiff == nullptr) {
        *reason = tiff_error_text("cannot be written");
        return 1;
    }
    const uint32_t width = (uint32_t)points.width, height = (uint32_t)points.height;
    const uint32_t rows_per_strip =
        std::max<uint32_t>(1, std::min<uint32_t>(height, (4u << 20) / (12 * width)));
    const uint16_t extra[2] = {EXTRASAMPLE_UNSPECIFIED, EXTRASAMPLE_UNSPECIFIED};
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, (uint16_t)32);
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, (uint16_t)3);
    TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, (uint16_t)2, extra);
    TIFFSetField(tiff, TIFFTAG_SAMPLEFORMAT, (uint16_t)SAMPLEFORMAT_IEEEFP);
    TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, (uint16_t)PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, (uint16_t)PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, (uint16_t)COMPRESSION_NONE);
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    std::vector<float> strip((size_t)rows_per_strip * width * 3);
    bool failed = false;
    for (uint32_t first = 0, s = 0; first < height && !failed; first += rows_per_strip, s++) {
        const uint32_t rows = std::min(rows_per_strip, height - first);
        const size_t start = (size_t)first * width, count = (size_t)rows * width;
        for (size_t i = 0; i < count; i++) {
            const double *p = points.xyz + 3 * (start + i);
            const bool point = has_point(p);
            for (int k = 0; k < 3; k++) strip[3 * i + k] = point ? (float)p[k] : NAN;
        }
        failed = TIFFWriteRawStrip(tiff, s, strip.data(), (tmsize_t)(count * 12)) < 0;
    }
    if (!failed) failed = !TIFFWriteDirectory(tiff);
    TIFFClose(tiff);
    if (failed) *reason = tiff_error_text("cannot be written");
    return failed;
}

int write_point_file(point_format format, const std::string &path, const point_image &points,
                     std::string *reason) {
    long long count;
    return format == POINTS_PLY     ? write_ply(path.c_str(), points, &count, reason)
           : format == POINTS_DEPTH ? write_depth(path.c_str(), points, reason)
                                    : write_xyz(path.c_str(), points, reason);
}

int write_point_files(const std::string &prefix, unsigned formats, const point_image &points,
                      std::vector<std::string> *written, std::string *file, std::string *reason) {
    static const struct {
        unsigned format;
        const char *suffix;
    } kinds[3] = {
        {POINTS_PLY, "_points.ply"}, {POINTS_DEPTH, "_depth.tiff"}, {POINTS_XYZ, "_xyz.tiff"}};
    pending_file files[3];
    int count = 0, which[3];
    for (int k = 0; k < 3; k++) {
        if (!(formats & kinds[k].format)) continue;
        const std::string name = prefix + kinds[k].suffix;
        const int error = begin_result(name.c_str(), &files[count]);
        if (error != 0) {
            abandon_results(files, count);
            *file = name, *reason = strerror(error);
            return 1;
        }
        which[count++] = k;
    }
    for (int f = 0; f < count; f++) {
        int failed;
        errno = 0;
        try {
            failed = write_point_file((point_format)kinds[which[f]].format, files[f].temporary,
                                      points, reason);
        } catch (const std::bad_alloc &) {
            failed = 1, *reason = "not enough memory";
        }
        if (failed) {
            // A full disk or a size limit says more than the codec's "IO error".
            if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG) *reason = strerror(errno);
            abandon_results(files, count);
            *file = files[f].final_name;
            return 1;
        }
    }
    const char *failed_name = nullptr;
    const int error = commit_results(files, count, &failed_name);
    if (error != 0) {
        *file = failed_name, *reason = strerror(error);
        return 1;
    }
    for (int f = 0; f < count; f++) written->push_back(files[f].final_name);
    return 0;
}

int write_ply_file(const std::string &path, const point_image &points, long long *count,
                   std::string *reason) {
    pending_file file;
    int error = begin_result(path.c_str(), &file);
    if (error != 0) {
        *reason = strerror(error);
        return 1;
    }
    int failed;
    try {
        failed = write_ply(file.temporary.c_str(), points, count, reason);
    } catch (const std::bad_alloc &) {
        failed = 1, *reason = "not enough memory";
    }
    if (failed) {
        abandon_results(&file, 1);
        return 1;
    }
    const char *failed_name = nullptr;
    error = commit_results(&file, 1, &failed_name);
    if (error != 0) *reason = strerror(error);
    return error != 0;
}

}  // namespace phaze_internal
