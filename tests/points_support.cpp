#include "tests/points_support.h"

#include <gtest/gtest.h>
#include <string.h>
#include <tiffio.h>

#include "shared/frameset.h"

using namespace phaze_internal;

calibration sample_rig() {
    calibration rig;
    std::string reason;
    EXPECT_EQ(read_calibration({SAMPLE_RIG}, &rig, &reason), 0) << reason;
    return rig;
}

scene_view sample_scene(scene_shape shape) {
    scene_options options;
    options.shape = shape;
    options.width = 640, options.height = 512;
    options.projector_width = 1024, options.projector_height = 768;
    scene_view view;
    std::string reason;
    EXPECT_EQ(render_scene(sample_rig(), options, &view, &reason), 0) << reason;
    return view;
}

std::vector<ply_vertex> read_ply(const std::string &path, bool gray) {
    const std::string bytes = read_whole_file(path.c_str());
    const size_t body = bytes.find("end_header\n") + 11, size = gray ? 13 : 12;
    const size_t count = body < 11 ? 0 : (bytes.size() - body) / size;
    const std::string header = bytes.substr(0, bytes.find("element vertex ")) + "element vertex " +
                               std::to_string(count) +
                               "\nproperty float x\nproperty float y\nproperty float z\n" +
                               (gray ? "property uchar gray\n" : "") + "end_header\n";
    EXPECT_EQ(bytes.compare(0, 36, "ply\nformat binary_little_endian 1.0\n"), 0) << path;
    EXPECT_EQ(bytes.substr(0, body), header) << path;
    EXPECT_EQ(bytes.size(), body + size * count) << path;
    std::vector<ply_vertex> vertices(count);
    for (size_t i = 0; i < count; i++) {
        memcpy(vertices[i].xyz, bytes.data() + body + size * i, 12);  // the host is little-endian
        vertices[i].gray = gray ? (unsigned char)bytes[body + size * i + 12] : 0;
    }
    return vertices;
}

std::vector<float> read_floats(const std::string &path) {
    TIFF *tiff = TIFFOpen(path.c_str(), "r");
    EXPECT_NE(tiff, nullptr) << path;
    if (tiff == nullptr) return {};
    uint32_t width = 0, height = 0;
    uint16_t samples = 1, bits = 0, format = 0;
    TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    EXPECT_TRUE(bits == 32 && format == SAMPLEFORMAT_IEEEFP) << path;
    std::vector<float> values((size_t)width * height * samples);
    for (uint32_t y = 0; y < height; y++)
        EXPECT_EQ(TIFFReadScanline(tiff, values.data() + (size_t)y * width * samples, y), 1);
    TIFFClose(tiff);
    return values;
}
