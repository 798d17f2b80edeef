// One set's frames read from their files and made gray, ready for the library:
// the same size and sample type, colour reduced to one channel.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "shared/run_options.h"
#include "shared/image.h"
#include "phaze/phaze.h"

struct frame_set {
    std::vector<image> frames;
    std::vector<const void *> samples;  // each frame's, for view
    phaze_frames view;
    phaze_options options;
    const char *sample_type;            // "uint8", "uint16" or "float32", as read
    double full_scale = 0;              // of integer samples (a PGM's maxval); 0 for float
    std::vector<std::string> warnings;  // of the reading, before the library's own
};

// The memory a batch's results in flight were admitted with. Sets of a result
// are read while their peak fits beside what the other results may still
// take; where it does not, once those are done, and refused only then.
struct memory_admission {
    std::mutex lock;
    std::condition_variable released;
    double reserved = 0;  // by the results in flight
    int results = 0;      // in flight, with memory reserved
};

// 0, or 1 with the file at fault in *file and why in *reason. admission: the
// batch's, or NULL; *reserved: what the set's result has reserved so far (the
// set's peak is added to it).
int load_frame_set(const run_options &options, const std::vector<std::string> &paths,
                   frame_set *set, std::string *file, std::string *reason,
                   memory_admission *admission = NULL, double *reserved = NULL);

// A result's memory is free: its reservation goes, and the sets waiting on it
// look again.
void release_memory(memory_admission *admission, double *reserved);
