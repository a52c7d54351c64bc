// Bounded access to sysfs-like trees: paths in fixed buffers, attribute files
// read into fixed buffers, small parsers. Nothing here allocates or throws;
// every failure is a result.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <span>

namespace hwid::linux_backend {

// Sysfs paths stay far below this; a longer one fails as too long. Smaller
// than PATH_MAX on purpose: paths live on the stack, and each 4 KB page a run
// touches costs it a page fault.
inline constexpr std::size_t kPathSize = 1024;
inline constexpr std::size_t kNameSize = 256;  // NAME_MAX + terminator

struct Path {
    char text[kPathSize];
};

struct Name {
    char text[kNameSize];
};

// A whole disk: its kernel name, the real directory that <sysfs>/block/<name>
// leads to and, when the search for it has seen it, where its device link
// leads (empty otherwise).
struct BlockDisk {
    Name name;
    Path dir;
    Path device;
};

// snprintf into out; false (and out emptied) when the result does not fit.
[[gnu::format(printf, 2, 3)]] bool FormatPath(std::span<char> out, const char* format, ...);

// Result of reading a file into a fixed buffer.
enum class ReadStatus { kOk, kMissing, kOversized };

struct ReadResult {
    ReadStatus status;
    std::size_t length;  // bytes in the buffer when kOk
};

// Reads the whole file at path into buffer. A file that does not fit entirely
// is kOversized (nothing usable), one that cannot be opened or read is
// kMissing. Directories count as missing. With lineEnds, the read also ends
// once the bytes so far end in a line feed: sysfs shows a text attribute as
// one line, so nothing follows it, and the read that would say so is saved.
ReadResult ReadFileBounded(const char* path, std::span<std::uint8_t> buffer, bool lineEnds = false);

// Reads a text attribute: the file's bytes up to its first zero byte, without
// the one line feed that sysfs appends (and ends it with). Writes a zero-terminated text into
// out and returns its length; 0 when the file is missing, oversized or empty.
std::size_t ReadTextAttribute(const char* path, std::span<char> out);

// Decimal number with an optional trailing line feed; false for anything
// else (empty, signs, blanks, other bytes, overflow).
bool ParseDecimal(std::span<const char> text, std::uint64_t& value);

// Reads a decimal attribute; false when missing or malformed.
bool ReadDecimalAttribute(const char* path, std::uint64_t& value);

bool IsDirectory(const char* path);
bool Exists(const char* path);

// The last component of path (after the last '/'), or path itself.
const char* LastComponent(const char* path);

// Resolves path (symbolic links included) into out; false when it fails or
// does not fit.
bool ResolvePath(const char* path, Path& out);

// The real path of a sysfs entry whose own directory is real (has no link in
// it): the entry itself when it is no link, else its link target, taken
// relative to that directory. One system call where ResolvePath needs three:
// sysfs links always name real directories, so one step is enough. False when
// the entry does not exist or the result does not fit.
bool ResolveSysfsLink(const char* path, Path& out);

// Cuts the last component off path in place; false when nothing is left.
bool StripLastComponent(Path& path);

// The target of the symbolic link at path, its last component only (e.g. the
// subsystem a device belongs to); false when it is no link.
bool ReadLinkName(const char* path, Name& out);

// The smallest entry name in directory (byte order) that does not start with
// '.' and for which accept returns true; false when there is none.
bool SmallestEntry(const char* directory, bool (*accept)(const char* name, const void* context),
                   const void* context, Name& out);

}  // namespace hwid::linux_backend
