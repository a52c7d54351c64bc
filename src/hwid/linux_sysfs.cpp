#include "hwid/linux_sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace hwid::linux_backend {

bool FormatPath(std::span<char> out, const char* format, ...) {
    if (out.empty()) {
        return false;
    }
    va_list arguments;
    va_start(arguments, format);
    const int written = std::vsnprintf(out.data(), out.size(), format, arguments);
    va_end(arguments);
    if (written < 0 || static_cast<std::size_t>(written) >= out.size()) {
        out[0] = '\0';
        return false;
    }
    return true;
}

ReadResult ReadFileBounded(const char* path, std::span<std::uint8_t> buffer) {
    // O_NONBLOCK: a fixture or a stray FIFO must not hang the run.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return {ReadStatus::kMissing, 0};
    }
    // A directory needs no test of its own: reading it fails with EISDIR.
    std::size_t length = 0;
    for (;;) {
        std::uint8_t probe = 0;
        // Once the buffer is full, one more byte tells whether the file had more.
        std::uint8_t* target = length < buffer.size() ? buffer.data() + length : &probe;
        const std::size_t room = length < buffer.size() ? buffer.size() - length : 1;
        const ssize_t got = ::read(fd, target, room);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            ::close(fd);
            return {ReadStatus::kMissing, 0};
        }
        if (got == 0) {
            break;
        }
        if (target == &probe) {
            ::close(fd);
            return {ReadStatus::kOversized, 0};
        }
        length += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return {ReadStatus::kOk, length};
}

std::size_t ReadTextAttribute(const char* path, std::span<char> out) {
    if (out.empty()) {
        return 0;
    }
    out[0] = '\0';
    // One byte short of out, so the terminator always fits.
    const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(out.data()),
                                        out.size() - 1);
    const ReadResult result = ReadFileBounded(path, bytes);
    if (result.status != ReadStatus::kOk) {
        out[0] = '\0';
        return 0;
    }
    std::size_t length = 0;
    while (length < result.length && out[length] != '\0') {
        ++length;
    }
    // Only the line feed that sysfs adds when it shows an attribute goes.
    if (length == result.length && length > 0 && out[length - 1] == '\n') {
        --length;
    }
    out[length] = '\0';
    return length;
}

bool ParseDecimal(std::span<const char> text, std::uint64_t& value) {
    std::size_t length = text.size();
    if (length > 0 && text[length - 1] == '\n') {
        --length;
    }
    if (length == 0) {
        return false;
    }
    std::uint64_t result = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (result > (UINT64_MAX - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    value = result;
    return true;
}

bool ReadDecimalAttribute(const char* path, std::uint64_t& value) {
    std::uint8_t bytes[32];
    const ReadResult result = ReadFileBounded(path, bytes);
    if (result.status != ReadStatus::kOk) {
        return false;
    }
    return ParseDecimal(std::span<const char>(reinterpret_cast<const char*>(bytes), result.length),
                        value);
}

bool IsDirectory(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool Exists(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0;
}

const char* LastComponent(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

bool ResolvePath(const char* path, Path& out) {
    out.text[0] = '\0';
    // The kernel resolves every link of the path in one open; realpath would
    // ask for each component in turn, a system call each.
    const int fd = ::open(path, O_PATH | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    const ssize_t length = ::readlink(self, out.text, sizeof out.text - 1);
    ::close(fd);
    if (length > 0 && out.text[0] == '/' &&
        static_cast<std::size_t>(length) < sizeof out.text - 1) {
        out.text[length] = '\0';
        return true;
    }
    // Without /proc, or a name too long to be sure of.
    out.text[0] = '\0';
    char resolved[PATH_MAX];  // what realpath may write
    return ::realpath(path, resolved) != nullptr && FormatPath(out.text, "%s", resolved);
}

bool StripLastComponent(Path& path) {
    char* slash = std::strrchr(path.text, '/');
    if (slash == nullptr || slash == path.text) {
        return false;
    }
    *slash = '\0';
    return true;
}

bool ReadLinkName(const char* path, Name& out) {
    Path target;
    const ssize_t length = ::readlink(path, target.text, sizeof target.text - 1);
    if (length <= 0) {
        out.text[0] = '\0';
        return false;
    }
    target.text[length] = '\0';
    return FormatPath(out.text, "%s", LastComponent(target.text));
}

bool SmallestEntry(const char* directory, bool (*accept)(const char* name, const void* context),
                   const void* context, Name& out) {
    out.text[0] = '\0';
    DIR* stream = ::opendir(directory);
    if (stream == nullptr) {
        return false;
    }
    bool found = false;
    while (const dirent* entry = ::readdir(stream)) {
        const char* name = entry->d_name;
        if (name[0] == '.' || std::strlen(name) >= sizeof out.text) {
            continue;
        }
        if (found && std::strcmp(name, out.text) >= 0) {
            continue;
        }
        if (accept != nullptr && !accept(name, context)) {
            continue;
        }
        std::memcpy(out.text, name, std::strlen(name) + 1);
        found = true;
    }
    ::closedir(stream);
    return found;
}

}  // namespace hwid::linux_backend
