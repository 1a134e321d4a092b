// The bound on obtainable memory, read from fake /proc and cgroup trees.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "circuit/available_memory.h"

namespace {

constexpr uint64_t MiB = uint64_t{1} << 20, GiB = uint64_t{1} << 30;
constexpr const char* kV1Unlimited = "9223372036854771712\n";

// A temporary folder standing for "/", removed again at the end.
struct FakeRoot {
    std::string dir;
    FakeRoot() {
        char name[] = "/tmp/available_memory_XXXXXX";
        if (!mkdtemp(name)) throw std::runtime_error("mkdtemp failed");
        dir = name;
    }
    ~FakeRoot() { std::filesystem::remove_all(dir); }
    void write(const std::string& path, const std::string& text) const {
        const std::filesystem::path p = dir + path;
        std::filesystem::create_directories(p.parent_path());
        std::ofstream(p) << text;
    }
    uint64_t available() const { return available_memory_bytes(dir); }
};

// Plenty of free memory, so that the cgroup decides.
void write_large_meminfo(const FakeRoot& r) {
    r.write("/proc/meminfo", "MemTotal:  1073741824 kB\nMemAvailable:  1073741824 kB\n");
}

// A hybrid layout: v1 hierarchies (memory among them) plus an empty cgroup2.
constexpr const char* kHybridMountinfo =
    "31 23 0:28 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
    "32 31 0:29 / /sys/fs/cgroup/cpu rw,relatime shared:9 - cgroup cgroup rw,cpu\n"
    "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime shared:12 - cgroup cgroup rw,memory\n"
    "41 31 0:38 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";

void write_v1_group(const FakeRoot& r, const std::string& dir, const std::string& limit,
                    uint64_t usage, uint64_t inactive, const std::string& extra_stat = "") {
    r.write(dir + "/memory.limit_in_bytes", limit);
    r.write(dir + "/memory.usage_in_bytes", std::to_string(usage) + "\n");
    // "inactive_file" is the group's own count; only the total matters.
    r.write(dir + "/memory.stat", "inactive_file 1\n" + extra_stat +
                                      "total_inactive_file " + std::to_string(inactive) + "\n");
}

TEST(AvailableMemory, NothingReadableIsUnbounded) {
    FakeRoot r;
    EXPECT_EQ(r.available(), UINT64_MAX);
    // Groups named but their folders missing; meminfo without MemAvailable;
    // limits without a number.
    r.write("/proc/self/cgroup", "4:memory:/a\n0::/b\n");
    r.write("/proc/self/mountinfo", kHybridMountinfo);
    r.write("/proc/meminfo", "MemTotal:  1000 kB\nSwapFree:  1000 kB\n");
    r.write("/proc/self/limits", "Max address space         unlimited            unlimited  bytes\n");
    r.write("/proc/self/status", "VmSize:\t 4000 kB\n");
    EXPECT_EQ(r.available(), UINT64_MAX);
}

TEST(AvailableMemory, MeminfoCountsAvailableAndFreeSwapInKilobytes) {
    FakeRoot r;
    r.write("/proc/meminfo", "MemTotal: 9999 kB\nMemFree: 5 kB\nMemAvailable:  1000 kB\n"
                             "SwapTotal: 50 kB\nSwapFree:   24 kB\n");
    EXPECT_EQ(r.available(), 1024 * 1024u);
}

TEST(AvailableMemory, CgroupV1TakesTheTightestOfGroupAncestorsAndHierarchicalLimit) {
    FakeRoot r;
    write_large_meminfo(r);
    r.write("/proc/self/cgroup", "2:cpu:/\n4:memory:/a/b\n0::/\n");
    r.write("/proc/self/mountinfo", kHybridMountinfo);
    const std::string m = "/sys/fs/cgroup/memory";
    write_v1_group(r, m, kV1Unlimited, 100 * GiB, 0);
    write_v1_group(r, m + "/a", std::to_string(5 * GiB), 2 * GiB, GiB / 2);  // 3.5 GiB left
    write_v1_group(r, m + "/a/b", std::to_string(8 * GiB), 3 * GiB, GiB);   // 6 GiB left
    EXPECT_EQ(r.available(), 3 * GiB + GiB / 2);

    // The hierarchical limit seen at the group, against the group's own usage.
    write_v1_group(r, m + "/a/b", std::to_string(8 * GiB), 3 * GiB, GiB,
                   "hierarchical_memory_limit " + std::to_string(4 * GiB) + "\n");
    EXPECT_EQ(r.available(), 2 * GiB);

    // A limit below what is held leaves nothing.
    write_v1_group(r, m + "/a/b", std::to_string(GiB), 3 * GiB, GiB);
    EXPECT_EQ(r.available(), 0u);
    // More reclaimable than used holds nothing.
    write_v1_group(r, m + "/a/b", std::to_string(GiB), GiB, 2 * GiB);
    EXPECT_EQ(r.available(), GiB);
}

TEST(AvailableMemory, CgroupV2WalksUpToTheMountAndReadsMax) {
    FakeRoot r;
    write_large_meminfo(r);
    r.write("/proc/self/cgroup", "0::/user.slice/job\n");
    // Only the cgroup2 mount counts, not the tmpfs holding a look-alike tree.
    r.write("/proc/self/mountinfo",
            "29 25 0:25 / /run/decoy rw - tmpfs tmpfs rw\n"
            "30 25 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw,nsdelegate\n");
    r.write("/run/decoy/user.slice/memory.max", "1\n");
    const std::string g = "/sys/fs/cgroup";
    r.write(g + "/memory.stat", "anon 0\n");  // the root has no memory.max
    r.write(g + "/user.slice/memory.max", std::to_string(2 * GiB) + "\n");
    r.write(g + "/user.slice/memory.current", std::to_string(3 * GiB / 2) + "\n");
    r.write(g + "/user.slice/memory.stat",
            "anon 1\nactive_file 7\ninactive_file " + std::to_string(GiB / 2) + "\n");
    r.write(g + "/user.slice/job/memory.max", "max\n");
    r.write(g + "/user.slice/job/memory.current", std::to_string(GiB) + "\n");
    EXPECT_EQ(r.available(), GiB);

    r.write(g + "/user.slice/job/memory.max", std::to_string(256 * MiB) + "\n");
    r.write(g + "/user.slice/job/memory.stat", "inactive_file " + std::to_string(800 * MiB) + "\n");
    EXPECT_EQ(r.available(), 32 * MiB);
}

TEST(AvailableMemory, UnlimitedGroupsLeaveMeminfoToDecide) {
    FakeRoot r;
    r.write("/proc/self/cgroup", "4:memory:/a\n0::/a\n");
    r.write("/proc/self/mountinfo", kHybridMountinfo);
    write_v1_group(r, "/sys/fs/cgroup/memory", kV1Unlimited, 0, 0);
    write_v1_group(r, "/sys/fs/cgroup/memory/a", kV1Unlimited, 0, 0,
                   std::string("hierarchical_memory_limit ") + kV1Unlimited);
    r.write("/sys/fs/cgroup/unified/a/memory.max", "max\n");
    EXPECT_EQ(r.available(), UINT64_MAX);
    r.write("/proc/meminfo", "MemAvailable: 2048 kB\nSwapFree: 0 kB\n");
    EXPECT_EQ(r.available(), 2 * MiB);
}

TEST(AvailableMemory, AddressSpaceLimitLessCurrentSize) {
    FakeRoot r;
    write_large_meminfo(r);
    const std::string head = "Limit                     Soft Limit           Hard Limit           Units\n"
                             "Max cpu time              unlimited            unlimited            seconds\n";
    r.write("/proc/self/limits",
            head + "Max address space         4294967296           unlimited            bytes\n");
    r.write("/proc/self/status", "Name:\tx\nVmPeak:\t 9999999 kB\nVmSize:\t 1048576 kB\n");
    EXPECT_EQ(r.available(), 3 * GiB);
    r.write("/proc/self/status", "VmSize:\t 5000000 kB\n");
    EXPECT_EQ(r.available(), 0u);
    r.write("/proc/self/limits",
            head + "Max address space         unlimited            4294967296           bytes\n");
    EXPECT_EQ(r.available(), uint64_t{1073741824} * 1024);  // meminfo again
}

TEST(AvailableMemory, MountRootIsStrippedAndMountPointsUnescaped) {
    FakeRoot r;
    write_large_meminfo(r);
    r.write("/proc/self/cgroup", "4:memory:/docker/abc/sub\n");
    // The container sees its own group mounted at a path holding a space.
    r.write("/proc/self/mountinfo",
            "35 31 0:32 /docker/abc /sys/fs/cgroup/mem\\040ory ro - cgroup cgroup rw,memory\n");
    const std::string m = "/sys/fs/cgroup/mem ory";
    write_v1_group(r, m, std::to_string(3 * GiB), 0, 0);
    write_v1_group(r, m + "/sub", std::to_string(5 * GiB), 0, 0);
    // Not on the path from the group to the mount point: ignored.
    write_v1_group(r, m + "/docker/abc/sub", std::to_string(GiB), 0, 0);
    EXPECT_EQ(r.available(), 3 * GiB);

    // A mount root that is no prefix of the path: the path is used as it is.
    r.write("/proc/self/mountinfo",
            "35 31 0:32 /other /sys/fs/cgroup/mem\\040ory ro - cgroup cgroup rw,memory\n");
    write_v1_group(r, m, kV1Unlimited, 0, 0);
    write_v1_group(r, m + "/docker", std::to_string(2 * GiB), 0, 0);
    EXPECT_EQ(r.available(), GiB);
}

// Under a real address-space limit just above the current size: requests
// below the threshold pass unexamined, larger ones are refused.
TEST(AvailableMemoryDeathTest, MemoryFitsHonoursTheThresholdOnTheRealSystem) {
    EXPECT_EXIT(
        {
            const auto vm = available_memory_detail::file_keyed_value("/proc/self/status", "VmSize:");
            rlimit lim{};
            getrlimit(RLIMIT_AS, &lim);
            lim.rlim_cur = vm.value_or(0) * 1024 + 32 * MiB;
            const bool ok = vm && setrlimit(RLIMIT_AS, &lim) == 0 &&
                            available_memory_bytes() <= 32 * MiB &&
                            memory_fits(0) && memory_fits(kMemoryCheckThreshold - 1) &&
                            !memory_fits(kMemoryCheckThreshold) && !memory_fits(UINT64_MAX);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
