// Every input format the phaze command reads gives the same samples, written
// with the libraries phaze reads them with (and by hand where a format is a
// few header lines).
#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>
#include <tiffio.h>

#define STBI_WRITE_NO_STDIO_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include "cli/frame_set.h"
#include "tests/test_support.h"

using ImageFormats = InScratchFolder;

static const int W = 5, H = 4;  // rows of 5 pixels: BMP pads them

static void write_tiff_with(const char *path, const std::vector<uint16_t> &gray, bool sixteen,
                            bool colour, uint16_t compression, bool tiled) {
    TIFF *t = TIFFOpen(path, "w");
    ASSERT_NE(t, nullptr);
    const int spp = colour ? 3 : 1, bytes = sixteen ? 2 : 1;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, W), TIFFSetField(t, TIFFTAG_IMAGELENGTH, H);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8 * bytes),
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, colour ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG),
        TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    std::vector<unsigned char> pixels;
    for (uint16_t v : gray)
        for (int c = 0; c < spp; c++)
            for (int b = 0; b < bytes; b++)
                pixels.push_back((unsigned char)(sixteen ? v >> (8 * b) : v));
    if (tiled) {
        TIFFSetField(t, TIFFTAG_TILEWIDTH, 16), TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
        std::vector<unsigned char> tile(16 * 16 * spp * bytes);
        for (int y = 0; y < H; y++)
            memcpy(&tile[y * 16 * spp * bytes], &pixels[y * W * spp * bytes], W * spp * bytes);
        TIFFWriteTile(t, tile.data(), 0, 0, 0, 0);
    } else {
        for (int y = 0; y < H; y++) TIFFWriteScanline(t, &pixels[y * W * spp * bytes], y, 0);
    }
    TIFFClose(t);
}

static std::string pnm(const char *magic, const std::vector<uint16_t> &gray, bool sixteen,
                       int channels) {
    std::string out = std::string(magic) + "\n5 4\n" + (sixteen ? "65535" : "255") + "\n";
    for (uint16_t v : gray)
        for (int c = 0; c < channels; c++) {
            if (sixteen) out += (char)(v >> 8);
            out += (char)(v & 0xff);
        }
    return out;
}

// An 8-bit gray-palette BMP, bottom-up, rows padded to four bytes.
static std::string palette_bmp(const std::vector<uint16_t> &gray) {
    const int row = 8, size = 54 + 1024 + row * H;
    std::string out(54, '\0');
    auto le = [&](int at, uint32_t v, int n) {
        for (int k = 0; k < n; k++) out[at + k] = (char)(v >> (8 * k));
    };
    out[0] = 'B', out[1] = 'M';
    le(2, size, 4), le(10, 54 + 1024, 4), le(14, 40, 4), le(18, W, 4), le(22, H, 4), le(26, 1, 2),
        le(28, 8, 2);
    le(34, row * H, 4), le(46, 256, 4);
    for (int v = 0; v < 256; v++) out += std::string{(char)v, (char)v, (char)v, 0};
    for (int y = H - 1; y >= 0; y--) {
        for (int x = 0; x < W; x++) out += (char)gray[y * W + x];
        out += std::string(row - W, '\0');
    }
    return out;
}

TEST_F(ImageFormats, EveryFormatGivesTheSameSamples) {
    std::vector<uint16_t> gray8(W * H), gray16(W * H);
    for (int i = 0; i < W * H; i++)
        gray8[i] = (uint16_t)(i * 13 % 256), gray16[i] = (uint16_t)(i * 3001 % 65536);
    std::vector<unsigned char> rgb;
    for (uint16_t v : gray8) rgb.insert(rgb.end(), 3, (unsigned char)v);

    write_tiff_with("u8.tiff", gray8, false, false, COMPRESSION_NONE, false);
    write_tiff_with("u16-lzw.tiff", gray16, true, false, COMPRESSION_LZW, false);
    write_tiff_with("u16-deflate-tiled.tiff", gray16, true, false, COMPRESSION_ADOBE_DEFLATE, true);
    write_tiff_with("rgb-packbits.tiff", gray8, false, true, COMPRESSION_PACKBITS, false);
    image im;
    im.width = W, im.height = H, im.channels = 1, im.format = PIXELS_U8;
    for (uint16_t v : gray8) im.data.push_back((unsigned char)v);
    std::string reason;
    ASSERT_EQ(write_png("u8.png", im, &reason), 0) << reason;
    im.format = PIXELS_U16;
    im.data.assign((unsigned char *)gray16.data(), (unsigned char *)(gray16.data() + W * H));
    ASSERT_EQ(write_png("u16.png", im, &reason), 0) << reason;
    ASSERT_NE(stbi_write_png("rgb.png", W, H, 3, rgb.data(), 3 * W), 0);
    ASSERT_NE(stbi_write_bmp("rgb.bmp", W, H, 3, rgb.data()), 0);
    write_file("palette.bmp", palette_bmp(gray8));
    write_file("u8.pgm", pnm("P5", gray8, false, 1));
    write_file("u16.pgm", pnm("P5", gray16, true, 1));
    write_file("rgb.ppm", pnm("P6", gray8, false, 3));

    const char *eight[] = {"u8.tiff", "rgb-packbits.tiff", "u8.png", "rgb.png",
                           "rgb.bmp", "palette.bmp",       "u8.pgm", "rgb.ppm"};
    const char *sixteen[] = {"u16-lzw.tiff", "u16-deflate-tiled.tiff", "u16.png", "u16.pgm"};
    const command_options options;
    for (bool wide : {false, true})
        for (const char *name : wide ? std::vector<const char *>(sixteen, sixteen + 4)
                                     : std::vector<const char *>(eight, eight + 8)) {
            const std::string paths[3] = {name, name, name};
            frame_set set;
            std::string file;
            ASSERT_EQ(load_frame_set(options, paths, &set, &file, &reason), 0)
                << name << ": " << reason;
            EXPECT_EQ(set.view.type, wide ? PHAZE_UINT16 : PHAZE_UINT8) << name;
            std::vector<uint16_t> got;
            for (int i = 0; i < W * H; i++)
                got.push_back(wide ? ((const uint16_t *)set.frames[0].data.data())[i]
                                   : set.frames[0].data[i]);
            EXPECT_EQ(got, wide ? gray16 : gray8) << name;
        }
}

TEST_F(ImageFormats, ColourFramesGiveOneChannelOrLuma) {
    // Two pixels: an ordinary colour, and one whose red channel is clipped.
    const unsigned char rgb[W * H * 3] = {200, 100, 50, 255, 10, 10};
    ASSERT_NE(stbi_write_png("colour.png", W, H, 3, rgb, 3 * W), 0);
    const std::string paths[3] = {"colour.png", "colour.png", "colour.png"};
    command_options options;
    frame_set set;
    std::string file, reason;
    ASSERT_EQ(load_frame_set(options, paths, &set, &file, &reason), 0) << reason;
    ASSERT_EQ(set.view.type, PHAZE_FLOAT32);
    const float *luma = (const float *)set.frames[0].data.data();
    EXPECT_FLOAT_EQ(luma[0], 0.299f * 200 + 0.587f * 100 + 0.114f * 50);
    EXPECT_TRUE(isnan(luma[1])) << "a clipped channel masks the pixel";
    EXPECT_EQ(set.options.saturation, 255) << "thresholds in the units of the samples as read";
    options.channel = CHANNEL_GREEN;
    ASSERT_EQ(load_frame_set(options, paths, &set, &file, &reason), 0) << reason;
    EXPECT_EQ(set.view.type, PHAZE_UINT8);
    EXPECT_TRUE(set.frames[0].data[0] == 100 && set.frames[0].data[1] == 10);
}
