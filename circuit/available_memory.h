// How many more bytes this process can obtain before the kernel kills it.
//
// Linux overcommits: a huge allocation succeeds and the process is killed
// (SIGKILL) only when its pages are touched, typically by the OOM killer of
// a memory cgroup.  Calls whose allocations grow with the request compare
// what they need with available_memory_bytes() first and raise a clean error
// instead.  The answer is the least of
//   - each memory cgroup limit (v1 and v2, the group and its ancestors) less
//     what the group holds, dropping reclaimable file pages;
//   - MemAvailable + SwapFree of /proc/meminfo;
//   - the address-space soft limit less the current address-space size.
// Anything unreadable is no bound.  Only a handful of small files are read,
// with plain stdio, and nothing here throws.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Requests smaller than this are never looked at (no file is read for them).
inline constexpr uint64_t kMemoryCheckThreshold = uint64_t{64} << 20;

// Unsigned arithmetic for counts and byte sizes that saturates at UINT64_MAX
// instead of wrapping, so an impossible request compares as too large.
inline uint64_t saturating_add(uint64_t a, uint64_t b) noexcept {
    uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? UINT64_MAX : r;
}
inline uint64_t saturating_mul(uint64_t a, uint64_t b) noexcept {
    uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}

namespace available_memory_detail {

inline constexpr uint64_t kNoBound = UINT64_MAX;
// cgroup v1 reports "unlimited" as PAGE_COUNTER_MAX * page size, which
// depends on the page size; every such value lies above this.
inline constexpr uint64_t kUnlimitedFrom = uint64_t{1} << 62;

inline uint64_t sat_sub(uint64_t a, uint64_t b) noexcept { return a > b ? a - b : 0; }

// The whole file, or nothing when it cannot be opened.  /proc and cgroup
// files report size 0, so read until EOF.
inline std::optional<std::string> read_file(const std::string& path) {
    // Closed on every exit, a failing append included.
    const std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "re"), &std::fclose);
    if (!f) return std::nullopt;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
        text.append(buf, n);
        if (text.size() > (size_t{8} << 20)) break;  // no sane file here is this big
    }
    if (std::ferror(f.get())) return std::nullopt;
    return text;
}

inline std::string_view trim(std::string_view s) noexcept {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' ||
                          s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// A decimal number filling `s` (surrounding blanks allowed); saturates.
inline std::optional<uint64_t> parse_u64(std::string_view s) noexcept {
    s = trim(s);
    if (s.empty()) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = saturating_add(saturating_mul(v, 10), static_cast<uint64_t>(c - '0'));
    }
    return v;
}

// Calls f(line) for each line of `text`, without the newline.
template <class F>
void for_each_line(std::string_view text, F&& f) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        f(text.substr(0, end));
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
}

// Splits on runs of `sep`, dropping empty fields.
inline std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == sep) ++i;
        const size_t j = s.find(sep, i);
        const size_t end = j == std::string_view::npos ? s.size() : j;
        if (end > i) out.push_back(s.substr(i, end - i));
        i = end;
    }
    return out;
}

// The number after `key` on the line that starts with it, in files made of
// "key value" (memory.stat) or "Key:   value kB" (meminfo, status) lines.
// `key` includes the ':' where the file has one, so that "inactive_file"
// does not match "total_inactive_file" or the reverse.
inline std::optional<uint64_t> keyed_value(std::string_view text, std::string_view key) {
    std::optional<uint64_t> found;
    for_each_line(text, [&](std::string_view line) {
        if (found || line.substr(0, key.size()) != key) return;
        std::string_view rest = line.substr(key.size());
        if (rest.empty() || (rest.front() != ' ' && rest.front() != '\t')) return;
        rest = trim(rest);
        if (rest.size() >= 3 && rest.substr(rest.size() - 3) == " kB") {
            rest.remove_suffix(3);
        }
        found = parse_u64(rest);
    });
    return found;
}

inline std::optional<uint64_t> file_value(const std::string& path) {
    const auto text = read_file(path);
    if (!text) return std::nullopt;
    return parse_u64(*text);
}

inline std::optional<uint64_t> file_keyed_value(const std::string& path, std::string_view key) {
    const auto text = read_file(path);
    if (!text) return std::nullopt;
    return keyed_value(*text, key);
}

// Undoes mountinfo's octal escapes (\040 for space, \011, \012, \134).
inline std::string unescape_mount_path(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '3' &&
            s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' && s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

struct CgroupMount {
    std::string root;         // the part of the hierarchy mounted there
    std::string mount_point;
};

// Mounts of filesystem type `fstype`; with `option` set, only those whose
// super options contain it (a v1 hierarchy carries its controllers there).
inline std::vector<CgroupMount> cgroup_mounts(std::string_view mountinfo, std::string_view fstype,
                                              std::string_view option) {
    std::vector<CgroupMount> out;
    for_each_line(mountinfo, [&](std::string_view line) {
        const auto f = split(line, ' ');
        // id parent dev root mount-point options [optional...] - fstype source super-options
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") ++dash;
        if (dash + 3 >= f.size() || f[dash + 1] != fstype) return;
        if (!option.empty()) {
            bool has = false;
            for (auto o : split(f[dash + 3], ',')) has = has || o == option;
            if (!has) return;
        }
        out.push_back({unescape_mount_path(f[3]), unescape_mount_path(f[4])});
    });
    return out;
}

// The folders of the process's group and its ancestors up to the mount point,
// innermost first, for each mount of its hierarchy.  Mounts whose root is a
// prefix of the group's path are used with that prefix stripped; when none
// is, the path is taken as it is under each mount.
inline std::vector<std::vector<std::string>> group_folders(
    const std::string& root, std::string_view cgroup_path, const std::vector<CgroupMount>& mounts) {
    const auto path = split(cgroup_path, '/');
    std::vector<std::vector<std::string>> out;
    auto add = [&](const CgroupMount& m, size_t skip) {
        std::string base = root + m.mount_point;
        while (!base.empty() && base.back() == '/') base.pop_back();  // "/" adds nothing
        std::vector<std::string> chain;
        for (size_t n = path.size();; --n) {
            std::string dir = base;
            for (size_t i = skip; i < n; ++i) (dir += '/') += path[i];
            chain.push_back(std::move(dir));
            if (n == skip) break;
        }
        out.push_back(std::move(chain));
    };
    for (const auto& m : mounts) {
        const auto mroot = split(m.root, '/');
        bool prefix = mroot.size() <= path.size();
        for (size_t i = 0; prefix && i < mroot.size(); ++i) prefix = mroot[i] == path[i];
        if (prefix) add(m, mroot.size());
    }
    if (out.empty()) {
        for (const auto& m : mounts) add(m, 0);
    }
    return out;
}

// limit less (usage - reclaimable), floored at 0; no bound for an
// "unlimited" or unreadable limit.  Unreadable usage counts as nothing held.
inline uint64_t headroom(std::optional<uint64_t> limit, std::optional<uint64_t> usage,
                         std::optional<uint64_t> reclaimable) noexcept {
    if (!limit || *limit >= kUnlimitedFrom) return kNoBound;
    const uint64_t held = sat_sub(usage.value_or(0), reclaimable.value_or(0));
    return sat_sub(*limit, held);
}

// The hierarchy line of /proc/self/cgroup: "0::<path>" for v2 (`controller`
// empty), else the line whose controller list holds `controller`.
inline std::optional<std::string> cgroup_path(std::string_view proc_cgroup,
                                              std::string_view controller) {
    std::optional<std::string> found;
    for_each_line(proc_cgroup, [&](std::string_view line) {
        const size_t a = line.find(':');
        if (found || a == std::string_view::npos) return;
        const size_t b = line.find(':', a + 1);
        if (b == std::string_view::npos) return;
        const std::string_view id = line.substr(0, a), list = line.substr(a + 1, b - a - 1);
        bool match = false;
        if (controller.empty()) {
            match = id == "0" && list.empty();
        } else {
            for (auto c : split(list, ',')) match = match || c == controller;
        }
        if (match) found = std::string(line.substr(b + 1));
    });
    return found;
}

// Where one cgroup version keeps what the bound reads.
struct CgroupFiles {
    std::string_view fstype;      // of its mounts
    std::string_view controller;  // in /proc/self/cgroup ("" for the v2 line)
    std::string_view limit;       // limit of a group ("max" or a huge value: none)
    std::string_view usage;       // what the group holds
    std::string_view reclaimable; // file pages in memory.stat that can be dropped
    std::string_view hierarchical;  // memory.stat's least limit of the ancestors, or ""
};

inline constexpr CgroupFiles kCgroupV2{"cgroup2", "", "memory.max", "memory.current", "inactive_file", ""};
inline constexpr CgroupFiles kCgroupV1{"cgroup",
                                       "memory",
                                       "memory.limit_in_bytes",
                                       "memory.usage_in_bytes",
                                       "total_inactive_file",
                                       "hierarchical_memory_limit"};

// The least headroom over the process's group and its ancestors.
inline uint64_t cgroup_bound(const std::string& root, std::string_view proc_cgroup, std::string_view mountinfo,
                             const CgroupFiles& files) {
    const auto path = cgroup_path(proc_cgroup, files.controller);
    if (!path) return kNoBound;
    const std::string_view option = files.controller;  // a v1 hierarchy names its controller there
    uint64_t best = kNoBound;
    for (const auto& chain : group_folders(root, *path, cgroup_mounts(mountinfo, files.fstype, option))) {
        for (size_t i = 0; i < chain.size(); ++i) {
            const std::string& dir = chain[i];
            const auto limit = file_value(dir + "/" + std::string(files.limit));  // "max" does not parse
            const bool own_hierarchical = i == 0 && !files.hierarchical.empty();  // read at the group only
            if ((!limit || *limit >= kUnlimitedFrom) && !own_hierarchical) continue;
            const auto usage = file_value(dir + "/" + std::string(files.usage));
            const auto stat = read_file(dir + "/memory.stat");
            std::optional<uint64_t> reclaimable, hierarchical;
            if (stat) {
                reclaimable = keyed_value(*stat, files.reclaimable);
                if (own_hierarchical) hierarchical = keyed_value(*stat, files.hierarchical);
            }
            best = std::min(best, headroom(limit, usage, reclaimable));
            best = std::min(best, headroom(hierarchical, usage, reclaimable));
        }
    }
    return best;
}

inline uint64_t meminfo_bound(const std::string& root) {
    const auto text = read_file(root + "/proc/meminfo");
    if (!text) return kNoBound;
    const auto available = keyed_value(*text, "MemAvailable:");
    if (!available) return kNoBound;
    const uint64_t swap = keyed_value(*text, "SwapFree:").value_or(0);
    return saturating_mul(saturating_add(*available, swap), 1024);
}

inline uint64_t address_space_bound(const std::string& root) {
    const auto limits = read_file(root + "/proc/self/limits");
    if (!limits) return kNoBound;
    std::optional<uint64_t> soft;
    for_each_line(*limits, [&](std::string_view line) {
        constexpr std::string_view key = "Max address space";
        if (line.substr(0, key.size()) != key) return;
        const auto f = split(line.substr(key.size()), ' ');
        if (!f.empty()) soft = parse_u64(f[0]);  // "unlimited" does not parse
    });
    if (!soft) return kNoBound;
    const uint64_t used = file_keyed_value(root + "/proc/self/status", "VmSize:").value_or(0);
    return sat_sub(*soft, saturating_mul(used, 1024));
}

}  // namespace available_memory_detail

// Bytes this process can still obtain: the least of the bounds above;
// UINT64_MAX when none can be read.  `root` is prepended to every path read
// ("" for the real system; tests pass a folder holding a fake tree).
inline uint64_t available_memory_bytes(const std::string& root = "") noexcept {
    namespace d = available_memory_detail;
    try {
        uint64_t best = std::min(d::meminfo_bound(root), d::address_space_bound(root));
        const auto proc_cgroup = d::read_file(root + "/proc/self/cgroup");
        const auto mountinfo = d::read_file(root + "/proc/self/mountinfo");
        if (proc_cgroup && mountinfo) {
            best = std::min(best, d::cgroup_bound(root, *proc_cgroup, *mountinfo, d::kCgroupV2));
            best = std::min(best, d::cgroup_bound(root, *proc_cgroup, *mountinfo, d::kCgroupV1));
        }
        return best;
    } catch (...) {
        return UINT64_MAX;
    }
}

// True when `need` bytes can still be obtained: always below
// kMemoryCheckThreshold (nothing is read then), else need <= available_memory_bytes().
inline bool memory_fits(uint64_t need) noexcept {
    return need < kMemoryCheckThreshold || need <= available_memory_bytes();
}
