#include "hwid/linux_disk_selection.h"

#include <cstdio>
#include <cstring>

namespace hwid::linux_backend {
namespace {

// Stacks of dm over md over partitions are shallow; this only stops loops.
constexpr int kMaxStackDepth = 16;

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool IsWholeDiskName(const char* sysfsRoot, const char* name) {
    Path entry;
    return FormatPath(entry.text, "%s/block/%s", sysfsRoot, name) && IsDirectory(entry.text);
}

bool ResolveAt(const char* sysfsRoot, const char* blockEntry, Name& disk, int depth) {
    if (depth > kMaxStackDepth) {
        return false;
    }
    Path entry;
    if (!ResolvePath(blockEntry, entry)) {
        return false;
    }
    Path probe;
    // A partition's directory sits inside its disk's directory.
    if (FormatPath(probe.text, "%s/partition", entry.text) && Exists(probe.text)) {
        return StripLastComponent(entry) && ResolveAt(sysfsRoot, entry.text, disk, depth + 1);
    }
    Path slaves;
    Name member;
    if (FormatPath(slaves.text, "%s/slaves", entry.text) &&
        SmallestEntry(slaves.text, nullptr, nullptr, member)) {
        Path next;
        return FormatPath(next.text, "%s/%s", slaves.text, member.text) &&
               ResolveAt(sysfsRoot, next.text, disk, depth + 1);
    }
    const char* name = LastComponent(entry.text);
    if (IsSkippedDiskName(name) || !IsWholeDiskName(sysfsRoot, name)) {
        return false;
    }
    return FormatPath(disk.text, "%s", name);
}

// Splits a mountinfo line into its blank-separated fields, in place.
int SplitFields(char* line, char* fields[], int capacity) {
    int count = 0;
    char* cursor = line;
    while (count < capacity) {
        while (*cursor == ' ' || *cursor == '\n') {
            ++cursor;
        }
        if (*cursor == '\0') {
            break;
        }
        fields[count++] = cursor;
        while (*cursor != '\0' && *cursor != ' ' && *cursor != '\n') {
            ++cursor;
        }
        if (*cursor == '\0') {
            break;
        }
        *cursor++ = '\0';
    }
    return count;
}

struct RootMount {
    Name device;  // "major:minor"
    Path source;  // the mount source, when it fits
};

// The last mount of "/" in the mountinfo file: later lines mount over earlier.
bool FindRootMount(const char* mountinfoPath, RootMount& root) {
    std::FILE* file = std::fopen(mountinfoPath, "re");
    if (file == nullptr) {
        return false;
    }
    bool found = false;
    // Long lines (overlay options) are read in pieces; the fields needed come
    // first, and a continuation piece is never taken for a line of its own.
    char line[8192];
    bool lineStart = true;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        const bool atStart = lineStart;
        lineStart = std::strchr(line, '\n') != nullptr;
        if (!atStart) {
            continue;
        }
        char* fields[64];
        const int count = SplitFields(line, fields, 64);
        // id parent major:minor root mount-point options [optional...] - type source
        if (count < 5 || std::strcmp(fields[4], "/") != 0) {
            continue;
        }
        if (!FormatPath(root.device.text, "%s", fields[2])) {
            continue;
        }
        root.source.text[0] = '\0';
        for (int i = 5; i + 2 < count; ++i) {
            if (std::strcmp(fields[i], "-") == 0) {
                FormatPath(root.source.text, "%s", fields[i + 2]);
                break;
            }
        }
        found = true;
    }
    std::fclose(file);
    return found;
}

bool AcceptFirstDisk(const char* name, const void* context) {
    const auto* sysfsRoot = static_cast<const char*>(context);
    if (IsSkippedDiskName(name)) {
        return false;
    }
    Path hidden;
    char flag[8];
    if (FormatPath(hidden.text, "%s/block/%s/hidden", sysfsRoot, name) &&
        ReadTextAttribute(hidden.text, flag) > 0 && std::strcmp(flag, "1") == 0) {
        return false;
    }
    return true;
}

}  // namespace

bool IsSkippedDiskName(const char* name) {
    static constexpr const char* kSkipped[] = {"loop", "ram", "zram", "nbd",
                                               "md",   "dm-", "sr",   "fd"};
    for (const char* prefix : kSkipped) {
        if (StartsWith(name, prefix)) {
            return true;
        }
    }
    return false;
}

bool ResolveWholeDisk(const char* sysfsRoot, const char* blockEntry, Name& disk) {
    return ResolveAt(sysfsRoot, blockEntry, disk, 0);
}

bool FindRootDisk(const char* sysfsRoot, const char* devRoot, const char* mountinfoPath,
                  Name& disk) {
    RootMount root{};
    if (!FindRootMount(mountinfoPath, root)) {
        return false;
    }
    Path entry;
    if (FormatPath(entry.text, "%s/dev/block/%s", sysfsRoot, root.device.text) &&
        ResolveWholeDisk(sysfsRoot, entry.text, disk)) {
        return true;
    }
    // File systems such as btrfs report an anonymous device number; the
    // source then names the node, possibly through a link (/dev/mapper/...).
    if (!StartsWith(root.source.text, "/dev/")) {
        return false;
    }
    Path node;
    Path resolved;
    if (!FormatPath(node.text, "%s/%s", devRoot, root.source.text + 5) ||
        !ResolvePath(node.text, resolved)) {
        return false;
    }
    return FormatPath(entry.text, "%s/class/block/%s", sysfsRoot, LastComponent(resolved.text)) &&
           ResolveWholeDisk(sysfsRoot, entry.text, disk);
}

bool FindFirstDisk(const char* sysfsRoot, Name& disk) {
    Path block;
    return FormatPath(block.text, "%s/block", sysfsRoot) &&
           SmallestEntry(block.text, AcceptFirstDisk, sysfsRoot, disk);
}

bool SelectDriveZero(const char* sysfsRoot, const char* devRoot, const char* mountinfoPath,
                     Name& disk) {
    return FindRootDisk(sysfsRoot, devRoot, mountinfoPath, disk) || FindFirstDisk(sysfsRoot, disk);
}

}  // namespace hwid::linux_backend
