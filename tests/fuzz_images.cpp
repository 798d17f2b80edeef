// libFuzzer target over the image readers of the phaze command: whatever the
// bytes, a reader returns an image or a reason, never a crash or a leak.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "cli/image.h"

static char path[64];

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    snprintf(path, sizeof path, "/tmp/phaze-fuzz-image-%d", (int)getpid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FILE *file = fopen(path, "wb");
    if (file == NULL) abort();
    fwrite(data, 1, size, file);
    fclose(file);
    image im;
    std::string reason;
    if (read_image(path, 1 << 20, &im, &reason) == 0 &&
        im.data.size() !=
            (size_t)im.width * im.height * im.channels * pixel_format_bytes(im.format))
        abort();  // an image whose samples do not fill its size
    return 0;
}
