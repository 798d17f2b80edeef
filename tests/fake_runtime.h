// A runtime layer for tests: host memory, a device table of our choosing, and a
// fault on the N-th call of one operation. In a test process it is set with
// fake_runtime_configure; in a process of its own, from the environment
// (FAKE_GPU_DEVICES, e.g. "3.0,1.3" or "none"; FAKE_GPU_FAIL, e.g. "launch:2").
#pragma once

void fake_runtime_configure(const char *devices, const char *fault);
