// libFuzzer target over what phaze reads: config.txt and the three frames. The
// input is split into config.txt and one frame that serves as all three.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "host/init_check.h"
#include "host/read_frames.h"
#include "tests/fake_runtime.h"

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
    const uint8_t *frame = split ? split + 1 : data + size;
    const size_t frame_size = split ? size - config_size - 1 : 0;
    for (const char *name : {"I1.bmp", "I2.bmp", "I3.bmp"}) write_bytes(name, frame, frame_size);

    int W = 0, H = 0;
    if (init_check(&W, &H) != 0) return 0;
    if ((long long)W * H > (1 << 16)) return 0;  // a size the fuzzer's memory allows
    std::vector<double> X((size_t)W * H), Y(X.size()), Z(X.size());
    read_frames(X.data(), Y.data(), Z.data(), W, H);
    return 0;
}
