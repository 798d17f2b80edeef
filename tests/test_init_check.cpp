// Start-up checks against a fake runtime layer: which messages, which result and
// how many key waits each path makes.
#include <gtest/gtest.h>

#include "fixed/init_check.h"
#include "tests/doubles/fake_console.h"
#include "tests/doubles/fake_runtime.h"
#include "tests/test_support.h"

using namespace phaze_internal;

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct outcome {
    int result, width, height, key_waits;
    std::string output;
};

static outcome check(const char *devices) {
    fake_runtime_configure(devices, "");
    key_waits = 0;
    outcome o{0, -1, -1, 0, ""};
    CaptureStdout();
    o.result = init_check(&o.width, &o.height);
    o.output = GetCapturedStdout();
    o.key_waits = key_waits;
    return o;
}

using InitCheck = InScratchFolder;

TEST_F(InitCheck, DeviceTables) {
    write_file("config.txt", "size\n640 480\n");
    const std::string start = "\nYou device is supported. Press any key to start...\n";
    const std::string warning =
        "Warning! Device is not supported! We only support devices with compute capability 2.0+\n";
    const struct {
        const char *devices;
        int result;
        std::string output;
    } cases[] = {
        {"2.0", 0, "Device 0 has compute capability 2.0.\n" + start},
        {"8.6,9.0", 0,
         "Device 0 has compute capability 8.6.\nDevice 1 has compute capability 9.0.\n" + start},
        {"3.0,1.3", 1,
         "Device 0 has compute capability 3.0.\nDevice 1 has compute capability 1.3.\n" + warning},
        {"1.3,3.0", 1, "Device 0 has compute capability 1.3.\n" + warning},
        {"none", 1, "No CUDA devices!"},
        {"", 0, "Device 0 is the host processor: kernels run on 2 threads.\n" + start},
    };
    for (auto &c : cases) {
        const outcome o = check(c.devices);
        EXPECT_EQ(o.result, c.result) << c.devices;
        EXPECT_EQ(o.output, c.output) << c.devices;
        EXPECT_EQ(o.key_waits, 1) << c.devices;
        EXPECT_TRUE(o.width == 640 && o.height == 480);
    }
}

TEST_F(InitCheck, ConfigIsReadBeforeTheDevicesWithoutAKeyWait) {
    const struct {
        std::string config;
        int result, width, height;
        const char *output;
    } cases[] = {
        {"\n320 240\n", 0, 320, 240, nullptr},  // an empty first line
        {"W H\n320\n240", 0, 320, 240, nullptr},
        {std::string(100000, 'x') + "\n  +64\t\n\n 48 more\n", 0, 64, 48, nullptr},
        {"12 34\n56 78\n", 0, 56, 78, nullptr},  // the first line is skipped
        {"dos\r\n1920\r\n1080\r\n", 0, 1920, 1080, nullptr},
        {"size\n640 x 480\n", 1, -1, -1, "Can't read frame size from config file!"},
        {"size\n1 4\n", 1, -1, -1,
         "Frame size 1 x 4 from config file is too small: phaze needs at least 5 pixels!"},
    };
    for (auto &c : cases) {
        write_file("config.txt", c.config);
        const outcome o = check("2.0");
        EXPECT_TRUE(o.result == c.result && o.width == c.width && o.height == c.height)
            << c.config.substr(0, 20);
        if (c.output != nullptr) {
            EXPECT_EQ(o.output, c.output);
            EXPECT_EQ(o.key_waits, 0);
        }
    }
    remove("config.txt");
    const outcome o = check("2.0");
    EXPECT_TRUE(o.result == 1 && o.key_waits == 0 && o.output == "Can't open config file!");
}
