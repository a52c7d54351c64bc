#include "platform/linux/sysfs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/errors.h"

namespace hwid::linux_backend {

bool FormatPath(std::span<char> out, const char* format, ...) {
    if (out.empty()) {
        return false;
    }
    // Paths need only %s and %u; vsnprintf would cost more stack than all of
    // the back end's own frames.
    va_list arguments;
    va_start(arguments, format);
    std::size_t used = 0;
    bool fits = true;
    const auto put = [&](char c) {
        if (used + 1 >= out.size()) {
            fits = false;
            return;
        }
        out[used++] = c;
    };
    for (const char* f = format; fits && *f != '\0'; ++f) {
        if (*f != '%') {
            put(*f);
            continue;
        }
        ++f;
        if (*f == 's') {
            for (const char* text = va_arg(arguments, const char*); *text != '\0' && fits; ++text) {
                put(*text);
            }
        } else if (*f == 'u') {
            char digits[10];
            std::size_t count = 0;
            unsigned value = va_arg(arguments, unsigned);
            do {
                digits[count++] = static_cast<char>('0' + value % 10);
                value /= 10;
            } while (value != 0);
            while (count > 0 && fits) {
                put(digits[--count]);
            }
        } else if (*f == '%') {
            put('%');
        } else {
            fits = false;  // a conversion paths never need
        }
    }
    va_end(arguments);
    out[fits ? used : 0] = '\0';
    return fits;
}

ReadResult ReadFileBounded(const char* path, std::span<std::uint8_t> buffer, bool lineEnds) {
    // O_NONBLOCK: a fixture or a stray FIFO must not hang the run.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        NoteCallFailure(errno);
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
            NoteCallFailure(errno);
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
        if (lineEnds && buffer[length - 1] == '\n') {
            break;
        }
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
    const ReadResult result = ReadFileBounded(path, bytes, true);
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
    // from_chars takes no sign, blank or base prefix for an unsigned number,
    // and says so on overflow; every byte but the line feed must be a digit.
    const char* end = text.data() + length;
    std::uint64_t result = 0;
    const std::from_chars_result parsed = std::from_chars(text.data(), end, result);
    if (length == 0 || parsed.ec != std::errc{} || parsed.ptr != end) {
        return false;
    }
    value = result;
    return true;
}

bool ReadDecimalAttribute(const char* path, std::uint64_t& value) {
    std::uint8_t bytes[32];
    const ReadResult result = ReadFileBounded(path, bytes, true);
    if (result.status != ReadStatus::kOk) {
        return false;
    }
    return ParseDecimal(std::span<const char>(reinterpret_cast<const char*>(bytes), result.length),
                        value);
}

bool IsDirectory(const char* path) {
    struct stat info {};
    if (::stat(path, &info) != 0) {
        NoteCallFailure(errno);
        return false;
    }
    return S_ISDIR(info.st_mode);
}

bool Exists(const char* path) {
    struct stat info {};
    if (::stat(path, &info) != 0) {
        NoteCallFailure(errno);
        return false;
    }
    return true;
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
        NoteCallFailure(errno);
        return false;
    }
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    const ssize_t length = ::readlink(self, out.text, sizeof out.text - 1);
    if (length < 0) {
        NoteCallFailure(errno);
    }
    ::close(fd);
    if (length > 0 && out.text[0] == '/' &&
        static_cast<std::size_t>(length) < sizeof out.text - 1) {
        out.text[length] = '\0';
        return true;
    }
    // Without /proc, or a name too long to be sure of.
    out.text[0] = '\0';
    char resolved[PATH_MAX];  // what realpath may write
    if (::realpath(path, resolved) == nullptr) {
        NoteCallFailure(errno);
        return false;
    }
    return FormatPath(out.text, "%s", resolved);
}

bool ResolveSysfsLink(const char* path, Path& out) {
    out.text[0] = '\0';
    Path target;
    const ssize_t length = ::readlink(path, target.text, sizeof target.text - 1);
    if (length < 0) {
        NoteCallFailure(errno);
        // EINVAL: there is an entry, and it is no link.
        return errno == EINVAL && FormatPath(out.text, "%s", path);
    }
    if (length == 0 || static_cast<std::size_t>(length) >= sizeof target.text - 1) {
        return false;
    }
    target.text[length] = '\0';
    if (target.text[0] == '/') {
        return FormatPath(out.text, "%s", target.text);
    }
    // The directory that holds the link, then the target's components, with
    // ".." taking one off: the directory is real, so that is where they lead.
    if (!FormatPath(out.text, "%s", path) || !StripLastComponent(out)) {
        out.text[0] = '\0';
        return false;
    }
    std::size_t used = std::strlen(out.text);
    const char* component = target.text;
    while (*component != '\0') {
        const char* end = std::strchr(component, '/');
        const std::size_t size =
            end != nullptr ? static_cast<std::size_t>(end - component) : std::strlen(component);
        if (size == 2 && component[0] == '.' && component[1] == '.') {
            if (!StripLastComponent(out)) {
                out.text[0] = '\0';
                return false;
            }
            used = std::strlen(out.text);
        } else if (size > 0 && !(size == 1 && component[0] == '.')) {
            if (used + 1 + size >= sizeof out.text) {
                out.text[0] = '\0';
                return false;
            }
            out.text[used++] = '/';
            std::memcpy(out.text + used, component, size);
            used += size;
            out.text[used] = '\0';
        }
        if (end == nullptr) {
            break;
        }
        component = end + 1;
    }
    return true;
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
        if (length < 0) {
            NoteCallFailure(errno);
        }
        out.text[0] = '\0';
        return false;
    }
    target.text[length] = '\0';
    return FormatPath(out.text, "%s", LastComponent(target.text));
}

bool SmallestEntry(const char* directory, bool (*accept)(const char* name, const void* context),
                   const void* context, Name& out) {
    out.text[0] = '\0';
    // The entries straight from the kernel: opendir would allocate 32 KB for
    // a directory that mostly holds a handful.
    const int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        NoteCallFailure(errno);
        return false;
    }
    alignas(dirent64) char entries[2048];
    bool found = false;
    for (;;) {
        const ssize_t got = ::getdents64(fd, entries, sizeof entries);
        if (got <= 0) {
            if (got < 0) {
                NoteCallFailure(errno);
            }
            break;  // the end, or an error: what was seen until then stands
        }
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + at);
            if (entry->d_reclen == 0 || at + entry->d_reclen > got) {
                break;
            }
            at += entry->d_reclen;
            const char* name = entry->d_name;
            const std::size_t length = strnlen(name, sizeof out.text);
            if (name[0] == '.' || length >= sizeof out.text) {
                continue;
            }
            if (found && std::strcmp(name, out.text) >= 0) {
                continue;
            }
            if (accept != nullptr && !accept(name, context)) {
                continue;
            }
            std::memcpy(out.text, name, length + 1);
            found = true;
        }
    }
    ::close(fd);
    return found;
}

}  // namespace hwid::linux_backend
