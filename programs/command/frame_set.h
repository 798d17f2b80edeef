// One set's frames read from their files and made gray, ready for the library:
// the same size and sample type, colour reduced to one channel.
#pragma once

#include <string>
#include <vector>

#include "command/arguments.h"
#include "shared/image.h"
#include "phaze/phaze.h"

struct frame_set {
    std::vector<image> frames;
    std::vector<const void *> samples;  // each frame's, for view
    phaze_frames view;
    phaze_options options;
    const char *sample_type;            // "uint8", "uint16" or "float32", as read
    std::vector<std::string> warnings;  // of the reading, before the library's own
};

// 0, or 1 with the file at fault in *file and why in *reason.
int load_frame_set(const command_options &options, const std::vector<std::string> &paths,
                   frame_set *set, std::string *file, std::string *reason);
