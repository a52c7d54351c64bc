#include "platform/linux/disk_selection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/linux/errors.h"

namespace hwid::linux_backend {
namespace {

// Stacks of dm over md over partitions are shallow; this only stops loops.
constexpr int kMaxStackDepth = 16;

bool StartsWith(const char* text, const char* prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// The disk's directory, when <sysfs>/block/<name> names one.
bool FindWholeDisk(const char* sysfsRoot, const char* name, BlockDisk& disk) {
    Path entry;
    // A link there (the usual case) leads to the disk's directory.
    if (!FormatPath(entry.text, "%s/block/%s", sysfsRoot, name) ||
        !ResolveSysfsLink(entry.text, disk.dir) ||
        (std::strcmp(disk.dir.text, entry.text) == 0 && !IsDirectory(entry.text)) ||
        !FormatPath(disk.name.text, "%s", name)) {
        disk.name.text[0] = '\0';
        disk.dir.text[0] = '\0';
        return false;
    }
    disk.device.text[0] = '\0';
    return true;
}

bool ResolveAt(const char* sysfsRoot, const char* blockEntry, BlockDisk& disk, int depth) {
    if (depth > kMaxStackDepth) {
        return false;
    }
    Path entry;
    if (!ResolveSysfsLink(blockEntry, entry)) {
        return false;
    }
    Path probe;
    // The kernel links a block device to the device beneath it for whole
    // disks only: partitions and virtual devices (dm, md), the only ones that
    // sit on others, have no such link.
    if (FormatPath(probe.text, "%s/device", entry.text) &&
        ResolveSysfsLink(probe.text, disk.device)) {
        const char* name = LastComponent(entry.text);
        if (IsSkippedDiskName(name) || !FormatPath(disk.name.text, "%s", name)) {
            disk = BlockDisk{};
            return false;
        }
        disk.dir = entry;
        return true;
    }
    // A partition's directory sits inside its disk's directory.
    if (FormatPath(probe.text, "%s/partition", entry.text) && Exists(probe.text)) {
        return StripLastComponent(entry) && ResolveAt(sysfsRoot, entry.text, disk, depth + 1);
    }
    Name member;
    if (FormatPath(probe.text, "%s/slaves", entry.text) &&
        SmallestEntry(probe.text, nullptr, nullptr, member)) {
        Path next;
        return FormatPath(next.text, "%s/%s", probe.text, member.text) &&
               ResolveAt(sysfsRoot, next.text, disk, depth + 1);
    }
    const char* name = LastComponent(entry.text);
    return !IsSkippedDiskName(name) && FindWholeDisk(sysfsRoot, name, disk);
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

// Opens the mount table as a stream, or nullptr. Non-blocking, and only a
// regular file is taken (/proc/self/mountinfo is one): a FIFO or a device put
// in its place in a mount namespace must not block or feed the run forever.
std::FILE* OpenMountTable(const char* mountinfoPath) {
    const int fd = ::open(mountinfoPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        NoteCallFailure(errno);
        return nullptr;
    }
    struct stat info {};
    std::FILE* file = nullptr;
    if (::fstat(fd, &info) != 0) {
        NoteCallFailure(errno);
    } else if (S_ISREG(info.st_mode)) {
        file = ::fdopen(fd, "r");
        if (file == nullptr) {
            NoteCallFailure(errno);
        }
    }
    if (file == nullptr) {
        ::close(fd);
    }
    return file;
}

// The last mount of "/" in the mountinfo file: later lines mount over earlier.
bool FindRootMount(const char* mountinfoPath, RootMount& root) {
    std::FILE* file = OpenMountTable(mountinfoPath);
    if (file == nullptr) {
        return false;
    }
    bool found = false;
    // Long lines (overlay options) are read in pieces; the fields needed come
    // first, and a continuation piece is never taken for a line of its own.
    char line[8192];
    bool lineStart = true;
    std::size_t total = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        // A table larger than kMountTableLimit, or one with a zero byte (which
        // would hide from strlen how much was read), is no mount table of
        // this system; the root is then looked for elsewhere.
        const std::size_t length = std::strlen(line);
        const bool cut = length == 0 || (line[length - 1] != '\n' && length + 1 < sizeof line &&
                                         std::feof(file) == 0);
        total += length;
        if (cut || total > kMountTableLimit) {
            found = false;
            break;
        }
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
    // fgets ends the same way at the end and on an error.
    if (std::feof(file) == 0) {
        NoteCallFailure(errno);
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

// The mount table's "/" by its device number, else by its source. Out of
// line, so that its buffers take no stack when the root's number answers.
[[gnu::noinline]] bool FindRootDiskInMountTable(const char* sysfsRoot, const char* devRoot,
                                                const char* mountinfoPath, BlockDisk& disk) {
    RootMount root{};
    if (!FindRootMount(mountinfoPath, root)) {
        return false;
    }
    Path entry;
    if (FormatPath(entry.text, "%s/dev/block/%s", sysfsRoot, root.device.text) &&
        ResolveAt(sysfsRoot, entry.text, disk, 0)) {
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
           ResolveAt(sysfsRoot, entry.text, disk, 0);
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

bool ResolveWholeDisk(const char* sysfsRoot, const char* blockEntry, BlockDisk& disk) {
    return ResolveAt(sysfsRoot, blockEntry, disk, 0);
}

bool FindRootDisk(const char* sysfsRoot, const char* devRoot, const char* rootPath,
                  const char* mountinfoPath, BlockDisk& disk) {
    // The root's own device number, when it names a block device, is what the
    // mount table would say, for a fraction of the cost of reading it.
    struct stat info {};
    Path entry;
    const bool rootKnown = rootPath[0] != '\0' && ::stat(rootPath, &info) == 0;
    if (rootPath[0] != '\0' && !rootKnown) {
        NoteCallFailure(errno);
    }
    if (rootKnown && major(info.st_dev) != 0 &&
        FormatPath(entry.text, "%s/dev/block/%u:%u", sysfsRoot, major(info.st_dev),
                   minor(info.st_dev)) &&
        ResolveWholeDisk(sysfsRoot, entry.text, disk)) {
        return true;
    }
    return FindRootDiskInMountTable(sysfsRoot, devRoot, mountinfoPath, disk);
}

bool FindFirstDisk(const char* sysfsRoot, BlockDisk& disk) {
    Path block;
    Name name;
    return FormatPath(block.text, "%s/block", sysfsRoot) &&
           SmallestEntry(block.text, AcceptFirstDisk, sysfsRoot, name) &&
           FindWholeDisk(sysfsRoot, name.text, disk);
}

bool SelectDriveZero(const char* sysfsRoot, const char* devRoot, const char* rootPath,
                     const char* mountinfoPath, BlockDisk& disk, bool* underRoot) {
    const bool root = FindRootDisk(sysfsRoot, devRoot, rootPath, mountinfoPath, disk);
    if (underRoot != nullptr) {
        *underRoot = root;
    }
    return root || FindFirstDisk(sysfsRoot, disk);
}

}  // namespace hwid::linux_backend
