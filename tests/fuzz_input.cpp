// libFuzzer target over what phaze reads, config.txt and the three frames, and
// over the CPU engine on whatever frames they give: a phase it reports must be
// finite. The input is split into config.txt and three frames of equal length.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "engines/cpu_engine.h"
#include "fixed/init_check.h"
#include "fixed/read_frames.h"
#include "tests/doubles/fake_runtime.h"

using namespace phaze_internal;

static void write_bytes(const char *name, const uint8_t *data, size_t size) {
    FILE *file = fopen(name, "wb");
    if (file == NULL) abort();
    fwrite(data, 1, size, file);
    fclose(file);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    char folder[] = "/tmp/phaze-fuzz-XXXXXX";
    if (mkdtemp(folder) == NULL || chdir(folder) != 0) abort();
    fake_runtime_configure("2.0", "");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The config is what comes before the first zero byte; the frame, the rest.
    const uint8_t *split = (const uint8_t *)memchr(data, 0, size);
    const size_t config_size = split ? (size_t)(split - data) : size;
    write_bytes("config.txt", data, config_size);
    const uint8_t *frames = split ? split + 1 : data + size;
    const size_t frame_size = split ? (size - config_size - 1) / 3 : 0;
    const char *names[3] = {"I1.bmp", "I2.bmp", "I3.bmp"};
    for (int k = 0; k < 3; k++) write_bytes(names[k], frames + k * frame_size, frame_size);

    int W = 0, H = 0;
    if (init_check(&W, &H) != 0) return 0;
    if ((long long)W * H > (1 << 16)) return 0;  // a size the fuzzer's memory allows
    std::vector<double> X((size_t)W * H), Y(X.size()), Z(X.size());
    read_frames(X.data(), Y.data(), Z.data(), W, H);

    std::vector<unsigned char> bytes[3];
    for (auto &b : bytes) b.resize(X.size());
    unsigned char *samples[3] = {bytes[0].data(), bytes[1].data(), bytes[2].data()};
    if (read_frame_bytes(samples, W, H) != 0) return 0;
    const sample_frames f = {{samples[0], samples[1], samples[2]}, SAMPLES_U8, W, H, (size_t)W};
    shared_numbers shared;
    std::vector<double> phase(X.size());
    if (find_shared_numbers(f, &shared) == 0 &&
        phase_of_pixels(f, shared, 0, (long long)phase.size(), phase.data()) != 0)
        abort();  // a success with a phase that is not finite
    return 0;
}
