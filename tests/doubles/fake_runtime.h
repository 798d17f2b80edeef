// A runtime layer for tests: host memory, a device table of our choosing and a
// fault on the N-th call of one operation. Set in-process with
// fake_runtime_configure, or in a process of its own from FAKE_GPU_DEVICES
// ("3.0,1.3", "none"; empty: the host) and FAKE_GPU_FAIL ("launch:2").
#pragma once

namespace phaze_internal {

void fake_runtime_configure(const char *devices, const char *fault);

}  // namespace phaze_internal
