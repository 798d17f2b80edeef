// The memory limits of a control group, read from a made-up cgroup tree: v2
// and v1 layouts, limits above the group, and a container's view.
#include <gtest/gtest.h>
#include <math.h>
#include <sys/stat.h>

#include "shared/available_memory.h"
#include "tests/test_support.h"

class ControlGroup : public InScratchFolder {
  protected:
    // A group directory with its files, each "name=content", under the folder.
    void group(const std::string &dir, const std::vector<std::string> &files) {
        std::string path;
        for (size_t at = 0; at != std::string::npos;) {  // each directory on the way
            at = dir.find('/', at + 1);
            path = dir.substr(0, at);
            mkdir(path.c_str(), 0777);
        }
        for (const std::string &f : files)
            write_file(dir + "/" + f.substr(0, f.find('=')), f.substr(f.find('=') + 1) + "\n");
    }
};

TEST_F(ControlGroup, LimitLessChargeWithTheFileCacheCountedFree) {
    const std::string stat2 = "memory.stat=anon 500\nactive_file 100\ninactive_file 50\n";
    group("v2", {"cgroup.controllers=cpu memory"});
    group("v2/jobs", {"memory.max=max", "memory.current=700"});
    group("v2/jobs/one", {"memory.max=1000", "memory.current=600", stat2});
    // The limit of the group: 1000 - 600 + 150 of cache.
    EXPECT_EQ(control_group_memory_left("0::/jobs/one\n", "v2"), 550);
    // A tighter limit above it wins.
    group("v2/jobs", {"memory.max=800"});
    EXPECT_EQ(control_group_memory_left("0::/jobs/one\n", "v2"), 100);
    // A container sees its group at the top, while /proc names the host's path.
    group("v2c", {"cgroup.controllers=memory", "memory.max=300", "memory.current=100"});
    EXPECT_EQ(control_group_memory_left("0::/docker/abc\n", "v2c"), 200);

    // v1: the memory controller's own line; "no limit" is a number near 2^63.
    group("v1/memory", {"memory.limit_in_bytes=9223372036854771712"});
    group("v1/memory/batch", {"memory.limit_in_bytes=2000", "memory.usage_in_bytes=1500",
                              "memory.stat=total_inactive_file 300\ntotal_active_file 0\n"});
    const char *hybrid = "4:memory:/batch\n1:cpu,cpuacct:/\n0::/\n";
    EXPECT_EQ(control_group_memory_left(hybrid, "v1"), 800);
    group("v1/memory/batch", {"memory.limit_in_bytes=9223372036854771712"});
    EXPECT_TRUE(isinf(control_group_memory_left(hybrid, "v1")));

    // Nothing to read, or no memory controller: no limit.
    for (const char *self : {"", "garbage", "3:cpu:/x\n", "0::/jobs/one\n"})
        EXPECT_TRUE(isinf(control_group_memory_left(self, "nowhere"))) << self;
}
