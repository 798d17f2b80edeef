// Start-up checks against a fake runtime layer: which messages, which result and
// how many key waits each path makes.
#include <gtest/gtest.h>

#include "host/init_check.h"
#include "tests/fake_console.h"
#include "tests/fake_runtime.h"
#include "tests/test_support.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class InitCheck : public InScratchFolder {
  protected:
    struct outcome {
        int result, width, height, key_waits;
        std::string output;
    };
    outcome check(const char *devices) {
        fake_runtime_configure(devices, "");
        key_waits = 0;
        outcome o{};
        o.width = o.height = -12345;
        CaptureStdout();
        o.result = init_check(&o.width, &o.height);
        o.output = GetCapturedStdout();
        o.key_waits = key_waits;
        return o;
    }
};

static const char *SUPPORTED = "\nYou device is supported. Press any key to start...\n";
static const char *UNSUPPORTED =
    "Warning! Device is not supported! We only support devices with compute capability 2.0+\n";

TEST_F(InitCheck, DeviceTables) {
    write_file("config.txt", "size\n640 480\n");
    struct {
        const char *devices;
        int result, key_waits;
        std::string output;
    } cases[] = {
        {"2.0", 0, 1, std::string("Device 0 has compute capability 2.0.\n") + SUPPORTED},
        {"8.6,9.0", 0, 1,
         std::string("Device 0 has compute capability 8.6.\nDevice 1 has compute capability 9.0.\n") +
             SUPPORTED},
        {"3.0,1.3", 1, 1,
         std::string("Device 0 has compute capability 3.0.\nDevice 1 has compute capability 1.3.\n") +
             UNSUPPORTED},
        {"1.3,3.0", 1, 1, std::string("Device 0 has compute capability 1.3.\n") + UNSUPPORTED},
        {"none", 1, 1, "No CUDA devices!"},
        {"", 0, 1,
         std::string("Device 0 is the host processor: kernels run on 2 threads.\n") + SUPPORTED},
    };
    for (auto &c : cases) {
        const outcome o = check(c.devices);
        EXPECT_EQ(o.result, c.result) << c.devices;
        EXPECT_EQ(o.key_waits, c.key_waits) << c.devices;
        EXPECT_EQ(o.output, c.output) << c.devices;
        EXPECT_EQ(o.width, 640);
        EXPECT_EQ(o.height, 480);
    }
}

TEST_F(InitCheck, MissingConfigStopsBeforeTheDevicesWithoutAKeyWait) {
    const outcome o = check("2.0");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.output, "Can't open config file!");
    EXPECT_EQ(o.key_waits, 0);
}

TEST_F(InitCheck, FirstLineOfAnyLengthIsSkipped) {
    const std::string long_line(100000, 'x');
    struct {
        std::string config;
        int width, height;
    } cases[] = {
        {"\n320 240\n", 320, 240},
        {"W H\n320\n240", 320, 240},
        {long_line + "\n  +64\t\n\n 48 trailing words\n", 64, 48},
        {"12 34\n56 78\n", 56, 78},  // numbers on the first line are not read
        {"dos line\r\n1920\r\n1080\r\n", 1920, 1080},
    };
    for (auto &c : cases) {
        write_file("config.txt", c.config);
        const outcome o = check("2.0");
        EXPECT_EQ(o.result, 0);
        EXPECT_EQ(o.width, c.width) << c.config.substr(0, 40);
        EXPECT_EQ(o.height, c.height) << c.config.substr(0, 40);
    }
}

TEST_F(InitCheck, UnusableConfigStopsBeforeTheDevicesWithoutAKeyWait) {
    write_file("config.txt", "size\n640 x 480\n");
    const outcome o = check("2.0");
    EXPECT_EQ(o.result, 1);
    EXPECT_EQ(o.output, "Can't read frame size from config file!");
    EXPECT_EQ(o.key_waits, 0);
    write_file("config.txt", "size\n1 4\n");
    EXPECT_EQ(check("2.0").key_waits, 0);
}
