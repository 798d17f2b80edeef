// Every input format the phaze command reads gives the same samples, written
// with the libraries phaze reads them with (and by hand where a format is a
// few header lines).
#include <gtest/gtest.h>
#include <math.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#define STBI_WRITE_NO_STDIO_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include "shared/set_reading.h"
#include "tests/test_support.h"

using ImageFormats = InScratchFolder;

static const int W = 5, H = 4;  // rows of 5 pixels: BMP pads them

static void write_tiff_with(const char *path, const std::vector<uint16_t> &gray, bool sixteen,
                            uint16_t photometric, uint16_t compression, bool tiled) {
    TIFF *t = TIFFOpen(path, "w");
    ASSERT_NE(t, nullptr);
    const bool colour = photometric == PHOTOMETRIC_RGB;
    const uint16_t white = photometric == PHOTOMETRIC_MINISWHITE ? (sixteen ? 65535 : 255) : 0;
    const int spp = colour ? 3 : 1, bytes = sixteen ? 2 : 1;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, W), TIFFSetField(t, TIFFTAG_IMAGELENGTH, H);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8 * bytes),
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG),
        TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    std::vector<unsigned char> pixels;
    for (uint16_t v : gray)
        for (int c = 0; c < spp; c++)
            for (int b = 0; b < bytes; b++)
                pixels.push_back((unsigned char)((white ? white - v : v) >> (8 * b)));
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

static std::string plain_pgm(const std::vector<uint16_t> &gray, int maxval) {
    std::string out = "P2\n# by hand\n5 4\n" + std::to_string(maxval) + "\n";
    for (uint16_t v : gray) out += std::to_string(v) + " ";
    return out;
}

// stb_image_write writes colour JPEGs only: a gray one by hand, one 8 x 8 block
// of level 128 (a DC difference and an end of block, each a 1-bit code).
static std::string flat_gray_jpeg() {
    const std::string one_code = std::string("\x01") + std::string(15, '\0') + '\0';
    return std::string("\xff\xd8\xff\xdb\x00\x43\x00", 7) + std::string(64, '\x01') +
           std::string("\xff\xc0\x00\x0b\x08\x00\x08\x00\x08\x01\x01\x11\x00", 13) +
           std::string("\xff\xc4\x00\x14\x00", 5) + one_code +
           std::string("\xff\xc4\x00\x14\x10", 5) + one_code +
           std::string("\xff\xda\x00\x08\x01\x01\x00\x00\x3f\x00\x3f\xff\xd9", 14);
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

    const uint16_t gray = PHOTOMETRIC_MINISBLACK;
    write_tiff_with("u8.tiff", gray8, false, gray, COMPRESSION_NONE, false);
    write_tiff_with("u8-white.tiff", gray8, false, PHOTOMETRIC_MINISWHITE, COMPRESSION_NONE, false);
    write_tiff_with("u16-lzw.tiff", gray16, true, gray, COMPRESSION_LZW, false);
    write_tiff_with("u16-white.tiff", gray16, true, PHOTOMETRIC_MINISWHITE, COMPRESSION_LZW, false);
    write_tiff_with("u16-deflate-tiled.tiff", gray16, true, gray, COMPRESSION_ADOBE_DEFLATE, true);
    write_tiff_with("rgb-packbits.tiff", gray8, false, PHOTOMETRIC_RGB, COMPRESSION_PACKBITS,
                    false);
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
    write_file("u16-trailing.pgm", pnm("P5", gray16, true, 1) + "\n");
    write_file("u8-plain.pgm", plain_pgm(gray8, 255));
    write_file("u16-plain.pgm", plain_pgm(gray16, 65535));

    const run_options options;
    for (const char *name :
         {"u8.tiff", "u8-white.tiff", "rgb-packbits.tiff", "u8.png", "rgb.png", "rgb.bmp",
          "palette.bmp", "u8.pgm", "rgb.ppm", "u8-plain.pgm", "u16-lzw.tiff", "u16-white.tiff",
          "u16-deflate-tiled.tiff", "u16.png", "u16.pgm", "u16-trailing.pgm", "u16-plain.pgm"}) {
        const bool wide = strncmp(name, "u16", 3) == 0;
        const std::vector<std::string> paths = {name, name, name};
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

    // JPEG is lossy: near the samples, and the reader says so (a colour one: below).
    write_file("flat.jpg", flat_gray_jpeg());
    image jpeg;
    ASSERT_EQ(read_image("flat.jpg", 1 << 20, &jpeg, &reason), 0) << reason;
    EXPECT_EQ(jpeg.warning, "lossy JPEG compression adds noise to the phase");
    ASSERT_TRUE(jpeg.channels == 1 && jpeg.data.size() == 64u);
    for (unsigned char v : jpeg.data) EXPECT_NEAR(v, 128, 8);
}

// A TIFF of rows of raw bytes, one page or more.
static void write_tiff_pages(const char *path, uint32_t width, uint16_t photometric,
                             uint16_t samples, int pages) {
    TIFF *t = TIFFOpen(path, "w");
    ASSERT_NE(t, nullptr);
    const std::string row(width < 4096 ? width * samples : 1, '\x80');
    for (int page = 0; page < pages; page++) {
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width), TIFFSetField(t, TIFFTAG_IMAGELENGTH, 1);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8),
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric), TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 1);
        TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFWriteRawStrip(t, 0, (void *)row.data(), (tmsize_t)row.size());
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
}

// read_image in a child whose address space may grow by 256 MB only, so that a
// reader believing a header's sizes fails here rather than on a CI machine.
// The child's status (-1: it crashed), and its reason.
static int read_in_bounds(const char *path, std::string *reason) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) return -2;
    const pid_t child = fork();
    if (child == 0) {  // never back into the test runner, whatever happens
        try {
            long pages = 0;
            FILE *statm = fopen("/proc/self/statm", "r");
            if (statm == NULL || fscanf(statm, "%ld", &pages) != 1) _exit(99);
            fclose(statm);
            const rlim_t bound = (rlim_t)pages * sysconf(_SC_PAGESIZE) + (256 << 20);
            const rlimit limit = {bound, bound};
            setrlimit(RLIMIT_AS, &limit);
            image im;
            std::string why;
            const int status = read_image(path, 1LL << 28, &im, &why);
            if (write(pipe_ends[1], why.data(), why.size()) < 0) _exit(98);
            _exit(status);
        } catch (...) {
            _exit(97);
        }
    }
    close(pipe_ends[1]);
    char buffer[512];
    ssize_t got;
    while ((got = read(pipe_ends[0], buffer, sizeof buffer)) > 0) reason->append(buffer, got);
    close(pipe_ends[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(ImageFormats, BadFilesAreRefusedWithAReason) {
    std::vector<uint16_t> gray(W * H, 100);
    const std::string pgm = pnm("P5", gray, false, 1), pgm16 = pnm("P5", gray, true, 1),
                      ppm = pnm("P6", gray, false, 3), plain = plain_pgm(gray, 255),
                      bmp = palette_bmp(gray);
    image im;
    im.width = W, im.height = H, im.channels = 1;
    im.data.assign(W * H, 100);
    std::string reason;
    ASSERT_EQ(write_png("whole.png", im, &reason), 0) << reason;
    auto slurp = [](const std::string &path) { return read_whole_file(path.c_str()); };
    const std::string seeds = std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) +
                              "/fuzz_seeds/",
                      png = slurp("whole.png"), huge_tile = slurp(seeds + "tiled-huge.tiff"),
                      jpeg = slurp(seeds + "rgb24.jpg");
    ASSERT_EQ(huge_tile.size(), 195u) << "tiled, 51718 x 4, a tile 51201 rows tall";
    write_tiff_pages("cmyk.tiff", W, PHOTOMETRIC_SEPARATED, 4, 1);
    write_tiff_pages("pages.tiff", W, PHOTOMETRIC_MINISBLACK, 1, 3);
    write_tiff_pages("wide.tiff", 1u << 31, PHOTOMETRIC_MINISBLACK, 1, 1);
    write_tiff_pages("lab.tiff", W, PHOTOMETRIC_CIELAB, 3, 1);

    const struct {
        std::string name, bytes, says;
    } cases[] = {
        {"header.bmp", bmp.substr(0, 20), "truncated: 34 bytes of header, 20 there"},
        {"palette.bmp", bmp.substr(0, 54 + 1024 + 8), "truncated: 32 bytes of samples, 8 there"},
        {"row.bmp", bmp.substr(0, bmp.size() - 1), "truncated"},
        {"rows.pgm", pgm.substr(0, pgm.size() - 7), "truncated: 20 bytes of samples, 13 there"},
        {"sample.pgm", pgm16.substr(0, pgm16.size() - 1), "truncated"},
        {"colour.ppm", ppm.substr(0, ppm.size() / 2), "truncated"},
        {"plain.pgm", plain.substr(0, plain.size() - 8), "truncated: 20 samples, 18 there"},
        {"header.pgm", "P5\n4096 4096\n255\nabc", "truncated: 16777216 bytes of samples, 3 there"},
        {"bits.pbm", "P4\n5 4\n\xff\xff\xff\xff", "a PBM bitmap"},
        {"cut.png", png.substr(0, png.size() / 2), "the PNG file is truncated"},
        {"tiled-huge.tiff", huge_tile, "truncated"},
        {"huffman.jpg", slurp(seeds + "huffman-257-codes.jpg"), "a Huffman table of 906 codes"},
        {"scan.jpg", jpeg.substr(0, jpeg.size() - 20),
         "the file is truncated: the JPEG's 633 bytes end before its end-of-image marker"},
        {"segment.jpg", jpeg.substr(0, 30),
         "the file is truncated: a JPEG segment of 132 bytes at byte 22, 8 there"},
        {"cmyk.tiff", "", "a CMYK TIFF: phaze reads gray and RGB"},
        {"lab.tiff", "", "a Lab TIFF"},
        {"pages.tiff", "", "a multi-page TIFF (3 pages): phaze reads one frame a file"},
        {"wide.tiff", "", "an image of 2147483648 x 1 pixels is too large"},
    };
    for (const auto &c : cases) {
        if (!c.bytes.empty()) write_file(c.name, c.bytes);
        std::string why;
        EXPECT_EQ(read_in_bounds(c.name.c_str(), &why), 1) << c.name << ": " << why;
        EXPECT_NE(why.find(c.says), std::string::npos) << c.name << ": " << why;
    }
}

TEST_F(ImageFormats, ColourFramesGiveOneChannelOrLuma) {
    // Two pixels: an ordinary colour, and one whose red channel is clipped.
    const unsigned char rgb[W * H * 3] = {200, 100, 50, 255, 10, 10};
    ASSERT_NE(stbi_write_png("colour.png", W, H, 3, rgb, 3 * W), 0);
    const std::vector<std::string> paths = {"colour.png", "colour.png", "colour.png"};
    run_options options;
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
    // Red clipped in every pixel: luma masks them all, and the reading says why.
    unsigned char red[W * H * 3];
    for (int i = 0; i < W * H; i++) red[3 * i] = 255, red[3 * i + 1] = 40, red[3 * i + 2] = 9 + i;
    ASSERT_NE(stbi_write_png("red.png", W, H, 3, red, 3 * W), 0);
    const std::vector<std::string> reds = {"red.png", "red.png", "red.png"};
    options.channel = CHANNEL_LUMA;
    ASSERT_EQ(load_frame_set(options, reds, &set, &file, &reason), 0) << reason;
    ASSERT_EQ(set.warnings.size(), 1u);
    EXPECT_NE(set.warnings[0].find("every pixel of a colour frame has a channel at the saturation"),
              std::string::npos);
}

TEST_F(ImageFormats, ThresholdsFollowTheDeclaredMaximum) {
    std::string pgm = "P5\n5 4\n4095\n";
    for (int i = 0; i < W * H; i++) pgm += std::string{(char)(i >> 4), (char)(i * 200)};
    write_file("twelve.pgm", pgm);
    const std::vector<std::string> paths = {"twelve.pgm", "twelve.pgm", "twelve.pgm"};
    frame_set set;
    std::string file, reason;
    ASSERT_EQ(load_frame_set(run_options(), paths, &set, &file, &reason), 0) << reason;
    EXPECT_EQ(set.options.saturation, 4095);
    EXPECT_DOUBLE_EQ(set.options.min_modulation, 40.95);
}

// An APP1 segment of EXIF data holding one tag, the orientation, in either byte order.
static std::string exif_orientation_segment(int orientation, bool big_endian) {
    auto two = [&](int v) {
        return big_endian ? std::string{(char)(v >> 8), (char)v}
                          : std::string{(char)v, (char)(v >> 8)};
    };
    auto four = [&](int v) { return big_endian ? two(0) + two(v) : two(v) + two(0); };
    const std::string tiff = std::string(big_endian ? "MM" : "II") + two(42) + four(8) + two(1) +
                             two(0x0112) + two(3) + four(1) + two(orientation) + two(0) + four(0);
    const std::string body = std::string("Exif\0\0", 6) + tiff;
    return std::string("\xff\xe1", 2) + (char)((body.size() + 2) >> 8) +
           (char)((body.size() + 2) & 0xff) + body;
}

// A picture of w x h pixels of three bytes turned a quarter clockwise, or mirrored left to right.
static std::vector<unsigned char> quarter_clockwise(const std::vector<unsigned char> &p, int w,
                                                    int h) {
    std::vector<unsigned char> out(p.size());
    for (int y = 0; y < w; y++)
        for (int x = 0; x < h; x++) memcpy(&out[3 * (y * h + x)], &p[3 * ((h - 1 - x) * w + y)], 3);
    return out;
}
static std::vector<unsigned char> mirrored(const std::vector<unsigned char> &p, int w, int h) {
    std::vector<unsigned char> out(p.size());
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) memcpy(&out[3 * (y * w + x)], &p[3 * (y * w + w - 1 - x)], 3);
    return out;
}

static std::string jpeg_of(const std::vector<unsigned char> &rgb, int w, int h) {
    std::string bytes;
    stbi_write_jpg_to_func([](void *to, void *data,
                              int size) { ((std::string *)to)->append((const char *)data, size); },
                           &bytes, w, h, 3, rgb.data(), 100);
    return bytes;
}

// A camera held on its side says so in the EXIF orientation tag: the frame is
// read as it is shown, so that it matches frames taken upright.
TEST_F(ImageFormats, JpegsAreTurnedAsTheirExifSays) {
    std::vector<unsigned char> rgb;
    for (int i = 0; i < W * H; i++)
        rgb.insert(rgb.end(),
                   {(unsigned char)(i * 13), (unsigned char)(i * 7), (unsigned char)(200 - i)});
    const std::string stored = jpeg_of(rgb, W, H);
    std::string reason;
    image plain;
    write_file("plain.jpg", stored);
    ASSERT_EQ(read_image("plain.jpg", 1 << 20, &plain, &reason), 0) << reason;
    ASSERT_EQ(plain.channels, 3);
    EXPECT_EQ(plain.warning, "lossy JPEG compression adds noise to the phase");
    for (size_t k = 0; k < rgb.size(); k++) EXPECT_NEAR(plain.data[k], rgb[k], 8) << k;
    const std::vector<unsigned char> as_stored(plain.data.begin(), plain.data.end());
    // Each orientation as the turns and mirrorings that show it.
    const std::vector<unsigned char> once = quarter_clockwise(as_stored, W, H),
                                     twice = quarter_clockwise(once, H, W),
                                     thrice = quarter_clockwise(twice, W, H);
    const struct {
        int orientation;
        std::vector<unsigned char> shown;
        bool turned;
    } cases[] = {
        {1, as_stored, false},
        {2, mirrored(as_stored, W, H), false},
        {3, twice, false},
        {4, mirrored(twice, W, H), false},
        {5, mirrored(once, H, W), true},
        {6, once, true},
        {7, mirrored(thrice, H, W), true},
        {8, thrice, true},
        {9, as_stored, false},  // no orientation: as stored
    };
    for (const auto &c : cases)
        for (bool big_endian : {false, true}) {
            // An XMP segment may come first.
            const std::string xmp = std::string("\xff\xe1\x00\x0b", 4) + "<x:xmp/>" + '\0';
            write_file("turned.jpg", stored.substr(0, 2) + (big_endian ? xmp : "") +
                                         exif_orientation_segment(c.orientation, big_endian) +
                                         stored.substr(2));
            image im;
            ASSERT_EQ(read_image("turned.jpg", 1 << 20, &im, &reason), 0) << reason;
            EXPECT_EQ(im.width, c.turned ? H : W) << c.orientation;
            EXPECT_EQ(std::vector<unsigned char>(im.data.begin(), im.data.end()), c.shown)
                << "orientation " << c.orientation;
        }
    // A set whose frames were taken with the camera held two ways reads as one.
    const std::string held_sideways = jpeg_of(quarter_clockwise(rgb, W, H), H, W);
    write_file("sideways.jpg", held_sideways.substr(0, 2) + exif_orientation_segment(8, false) +
                                   held_sideways.substr(2));
    const std::vector<std::string> paths = {"plain.jpg", "sideways.jpg", "plain.jpg"};
    frame_set set;
    std::string file;
    EXPECT_EQ(load_frame_set(run_options(), paths, &set, &file, &reason), 0) << reason;
    EXPECT_EQ(set.view.width, W);
}
