// The scene cut into across x down patches of near-equal size, for the checks
// and fits that look at the phase patch by patch.
#pragma once

namespace phaze_internal {

struct patch_span {
    int x0, x1, y0, y1;  // columns [x0, x1), rows [y0, y1)
};

// Patch j, counted along the rows of patches.
static inline patch_span patch_of(int j, int across, int down, int width, int height) {
    return patch_span{(int)((long long)(j % across) * width / across),
                      (int)((long long)(j % across + 1) * width / across),
                      (int)((long long)(j / across) * height / down),
                      (int)((long long)(j / across + 1) * height / down)};
}

}  // namespace phaze_internal
