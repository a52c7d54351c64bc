// Reading an earlier --json output for the comparison: a file the user hands
// in, so it is read with care and refused with a reason when it cannot be used.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "explain/report.h"

namespace hwid {
namespace {

using Json = nlohmann::json;

void AppendUtf8(std::string& out, std::uint32_t point) {
    if (point < 0x80) {
        out += static_cast<char>(point);
    } else if (point < 0x800) {
        out += static_cast<char>(0xC0 | point >> 6);
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        out += static_cast<char>(0xE0 | point >> 12);
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | point >> 18);
        out += static_cast<char>(0x80 | (point >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (point >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (point & 0x3F));
    }
}

// The text as UTF-8: a UTF-8 byte-order mark is dropped, UTF-16 with its mark
// (what Windows PowerShell 5.1 writes with ">") is converted. Anything else is
// taken as UTF-8 and left to the parser to judge.
bool ToUtf8(std::string_view bytes, std::string& text, std::string& error) {
    const auto byte = [&bytes](std::size_t at) { return static_cast<unsigned char>(bytes[at]); };
    if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        text.assign(bytes.substr(3));
        return true;
    }
    const bool little = bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE;
    const bool big = bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF;
    if (!little && !big) {
        text.assign(bytes);
        return true;
    }
    if (bytes.size() % 2 != 0) {
        error = "the UTF-16 text ends in half a character";
        return false;
    }
    const auto unit = [&](std::size_t at) {
        return static_cast<std::uint32_t>(little ? byte(at) | byte(at + 1) << 8
                                                 : byte(at) << 8 | byte(at + 1));
    };
    text.clear();
    for (std::size_t at = 2; at < bytes.size(); at += 2) {
        std::uint32_t point = unit(at);
        if (point >= 0xD800 && point <= 0xDBFF && at + 2 < bytes.size() && unit(at + 2) >= 0xDC00 &&
            unit(at + 2) <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (unit(at + 2) - 0xDC00);
            at += 2;
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            error = "the UTF-16 text holds an unpaired surrogate";
            return false;
        }
        AppendUtf8(text, point);
    }
    return true;
}

const char* TypeWithArticle(const Json& value) {
    switch (value.type()) {
        case Json::value_t::object:
            return "an object";
        case Json::value_t::array:
            return "an array";
        case Json::value_t::string:
            return "a string";
        case Json::value_t::boolean:
            return "a boolean";
        case Json::value_t::null:
            return "null";
        default:
            return "a number";
    }
}

enum class Kind { kObject, kArray, kString, kBoolean, kCount };

struct Field {
    const char* path;  // members of objects apart by '.'
    Kind kind;
    bool required;  // the ones the comparison reads
};

constexpr const char* kProbeNames[] = {"smart_probe", "storage_probe"};
constexpr const char* kProbeFlags[] = {"ran",
                                       "opened",
                                       "answered",
                                       "accepted",
                                       "version_answered",
                                       "identify_answered",
                                       "property_answered",
                                       "geometry_answered"};
constexpr const char* kProbeCounts[] = {"open_error",     "device_map",     "identify_command",
                                        "identify_error", "property_error", "geometry_error"};
constexpr const char* kProbeTexts[] = {"serial_as_read", "reason"};

constexpr Field kFields[] = {
    {"cpu", Kind::kObject, true},
    {"cpu.vendor", Kind::kString, false},
    {"cpu.highest_leaf", Kind::kCount, false},
    {"cpu.leaves_summed", Kind::kArray, false},
    {"cpu.signature", Kind::kString, true},
    {"platform_id", Kind::kCount, false},
    {"drive", Kind::kObject, true},
    {"drive.found", Kind::kBoolean, false},
    {"drive.path", Kind::kString, true},
    {"drive.bus", Kind::kString, false},
    {"drive.reason", Kind::kString, false},
    {"smart_probe", Kind::kObject, false},
    {"storage_probe", Kind::kObject, false},
    {"model", Kind::kString, true},
    {"serial", Kind::kString, false},
    {"serial_obtained", Kind::kBoolean, true},
    {"diagnostic", Kind::kString, false},
    {"fold_value", Kind::kString, true},
    {"identifier", Kind::kString, true},
    {"warning", Kind::kString, false},
};

const char* KindWithArticle(Kind kind) {
    switch (kind) {
        case Kind::kObject:
            return "an object";
        case Kind::kArray:
            return "an array";
        case Kind::kString:
            return "a string";
        case Kind::kBoolean:
            return "a boolean";
        default:
            return "a whole number of 0 or more";
    }
}

bool IsKind(const Json& value, Kind kind) {
    switch (kind) {
        case Kind::kObject:
            return value.is_object();
        case Kind::kArray:
            return value.is_array();
        case Kind::kString:
            return value.is_string();
        case Kind::kBoolean:
            return value.is_boolean();
        default:
            return value.is_number_unsigned();
    }
}

// The member at a dotted path, or nullptr.
const Json* Member(const Json& root, const std::string& path) {
    const Json* at = &root;
    std::size_t from = 0;
    for (;;) {
        const std::size_t dot = path.find('.', from);
        const std::string name = path.substr(from, dot - from);
        if (!at->is_object()) {
            return nullptr;
        }
        const auto found = at->find(name);
        if (found == at->end()) {
            return nullptr;
        }
        at = &*found;
        if (dot == std::string::npos) {
            return at;
        }
        from = dot + 1;
    }
}

bool CheckField(const Json& root, const std::string& path, Kind kind, bool required,
                std::string& error) {
    const Json* value = Member(root, path);
    if (value == nullptr) {
        if (required) {
            error = "no \"" + path + "\"";
        }
        return !required;
    }
    if (!IsKind(*value, kind)) {
        error = "\"" + path + "\" is " + TypeWithArticle(*value) + ", not " + KindWithArticle(kind);
        return false;
    }
    return true;
}

bool CheckFields(const Json& root, std::string& error) {
    for (const Field& field : kFields) {
        if (!CheckField(root, field.path, field.kind, field.required, error)) {
            return false;
        }
    }
    const struct {
        std::span<const char* const> names;
        Kind kind;
    } members[] = {
        {kProbeFlags, Kind::kBoolean}, {kProbeCounts, Kind::kCount}, {kProbeTexts, Kind::kString}};
    for (const char* probe : kProbeNames) {
        for (const auto& group : members) {
            for (const char* name : group.names) {
                if (!CheckField(root, std::string(probe) + "." + name, group.kind, false, error)) {
                    return false;
                }
            }
        }
    }
    return true;
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool AllHex(std::string_view text) {
    for (const char c : text) {
        if (!IsHexDigit(c)) {
            return false;
        }
    }
    return true;
}

// "0x" and eight hexadecimal digits, as the output writes a 32-bit value.
bool CheckHexWord(const Json& root, const char* path, std::string& error) {
    const std::string& text = Member(root, path)->get_ref<const std::string&>();
    if (text.size() != 10 || text[0] != '0' || text[1] != 'x' ||
        !AllHex(std::string_view(text).substr(2))) {
        error = std::string("\"") + path + "\" is not 0x and eight hexadecimal digits";
        return false;
    }
    return true;
}

// A drive text back to its bytes: each character stands for the byte of the
// same number.
bool ToBytes(const Json& root, const char* path, std::string& bytes, std::string& error) {
    const std::string& utf8 = Member(root, path)->get_ref<const std::string&>();
    bytes.clear();
    for (std::size_t at = 0; at < utf8.size(); ++at) {
        const auto c = static_cast<unsigned char>(utf8[at]);
        if (c < 0x80) {
            bytes += static_cast<char>(c);
        } else if ((c == 0xC2 || c == 0xC3) && at + 1 < utf8.size()) {
            const auto next = static_cast<unsigned char>(utf8[++at]);
            bytes += static_cast<char>((c & 0x03) << 6 | (next & 0x3F));
        } else {
            error = std::string("\"") + path +
                    "\" holds a character above U+00FF, which no drive text has";
            return false;
        }
    }
    return true;
}

// The output nests two levels deep; far deeper is no output of ours, and
// would only cost time and memory.
constexpr int kMaxDepth = 32;

// Thrown by the watch below to end the parse at the first fault.
struct StopParsing {};

// Watches the parser for what the document model cannot show afterwards:
// a key given twice (the model keeps the last) and a string with U+0000.
class StrictnessWatch {
  public:
    bool operator()(int depth, Json::parse_event_t event, Json& parsed) {
        switch (event) {
            case Json::parse_event_t::object_start:
            case Json::parse_event_t::array_start:
                if (depth >= kMaxDepth) {
                    Stop("nested more than 32 levels deep");
                }
                frames_.push_back({event == Json::parse_event_t::object_start, {}, {}});
                break;
            case Json::parse_event_t::object_end:
            case Json::parse_event_t::array_end:
                if (!frames_.empty()) {
                    frames_.pop_back();
                }
                break;
            case Json::parse_event_t::key: {
                const std::string& key = parsed.get_ref<const std::string&>();
                if (frames_.empty()) {
                    break;
                }
                frames_.back().last = key;
                if (key.find('\0') != std::string::npos) {
                    Stop("a key holds \\u0000");
                } else if (!frames_.back().keys.insert(key).second) {
                    Stop("duplicate key \"" + Path() + "\"");
                }
                break;
            }
            case Json::parse_event_t::value:
                if (parsed.is_string() &&
                    parsed.get_ref<const std::string&>().find('\0') != std::string::npos) {
                    Stop("\"" + Path() + "\" holds \\u0000");
                }
                break;
        }
        return true;
    }

    const std::string& Error() const { return error_; }

  private:
    [[noreturn]] void Stop(std::string error) {
        error_ = std::move(error);
        throw StopParsing{};
    }

    struct Frame {
        bool object;
        std::set<std::string> keys;
        std::string last;
    };

    std::string Path() const {
        std::string path;
        for (const Frame& frame : frames_) {
            if (frame.object) {
                path += path.empty() ? "" : ".";
                path += frame.last;
            }
        }
        return path;
    }

    std::vector<Frame> frames_;
    std::string error_;
};

bool Parse(std::string_view bytes, EarlierReport& earlier, std::string& error) {
    std::string text;
    if (!ToUtf8(bytes, text, error)) {
        return false;
    }
    StrictnessWatch watch;
    Json root;
    try {
        root = Json::parse(text, std::ref(watch));
    } catch (const StopParsing&) {
        error = watch.Error();
        return false;
    } catch (const Json::parse_error& e) {
        // "[json.exception.parse_error.101] parse error at line 1, ...": the
        // library's tag adds nothing for the reader.
        std::string message = e.what();
        const std::size_t tag = message.find("] ");
        error = "not JSON: " + message.substr(tag == std::string::npos ? 0 : tag + 2);
        for (char& c : error) {
            c = static_cast<unsigned char>(c) < 0x20 ? '?' : c;
        }
        return false;
    }
    if (!watch.Error().empty()) {
        error = watch.Error();
        return false;
    }
    if (!root.is_object()) {
        error = std::string("the top level is ") + TypeWithArticle(root) + ", not an object";
        return false;
    }
    if (!CheckFields(root, error) || !CheckHexWord(root, "cpu.signature", error) ||
        !CheckHexWord(root, "fold_value", error)) {
        return false;
    }
    const std::string& identifier = root["identifier"].get_ref<const std::string&>();
    if (identifier.size() != 64 || !AllHex(identifier)) {
        error = "\"identifier\" is not 64 hexadecimal digits";
        return false;
    }
    earlier.cpuSignature = root["cpu"]["signature"].get<std::string>();
    earlier.serialObtained = root["serial_obtained"].get<bool>();
    earlier.foldValue = root["fold_value"].get<std::string>();
    earlier.identifier = identifier;
    earlier.hasDriveBus = Member(root, "drive.bus") != nullptr;
    return ToBytes(root, "drive.path", earlier.drivePath, error) &&
           (!earlier.hasDriveBus || ToBytes(root, "drive.bus", earlier.driveBus, error)) &&
           ToBytes(root, "model", earlier.model, error);
}

}  // namespace

bool ParseEarlierJson(std::string_view bytes, EarlierReport& earlier, std::string& error) noexcept {
    try {
        error.clear();
        if (bytes.size() > kMaxEarlierFileSize) {
            error = "larger than 1 MiB (1048576 bytes)";
            return false;
        }
        return Parse(bytes, earlier, error);
    } catch (...) {
        error = "out of memory";
        return false;
    }
}

bool ReadEarlierJson(const char* path, EarlierReport& earlier, std::string& error) noexcept {
    try {
        error.clear();
        const auto fail = [&](const char* cause) {
            error = std::string("cannot read ") + path + ": " + cause;
            return false;
        };
        int flags = O_RDONLY;
#ifdef O_NONBLOCK
        flags |= O_NONBLOCK;  // a FIFO opens at once, and is then refused
#endif
#ifdef O_CLOEXEC
        flags |= O_CLOEXEC;
#endif
#ifdef O_BINARY
        flags |= O_BINARY;
#endif
        const int fd = ::open(path, flags);
        if (fd < 0) {
            return fail(std::strerror(errno));
        }
        struct stat info {};
        std::string bytes;
        const char* cause = nullptr;
        if (::fstat(fd, &info) != 0) {
            cause = std::strerror(errno);
        } else if (S_ISDIR(info.st_mode)) {
            cause = std::strerror(EISDIR);
        } else if (!S_ISREG(info.st_mode)) {
            cause = "not a regular file";
        } else if (static_cast<std::uint64_t>(info.st_size) > kMaxEarlierFileSize) {
            cause = "larger than 1 MiB (1048576 bytes)";
        } else {
            // One byte more than allowed tells a file that grew since.
            bytes.resize(kMaxEarlierFileSize + 1);
            std::size_t length = 0;
            while (length < bytes.size()) {
                const auto n =
                    ::read(fd, bytes.data() + length, static_cast<unsigned>(bytes.size() - length));
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n < 0) {
                    cause = std::strerror(errno);
                    break;
                }
                if (n == 0) {
                    break;
                }
                length += static_cast<std::size_t>(n);
            }
            bytes.resize(length);
            if (cause == nullptr && length > kMaxEarlierFileSize) {
                cause = "larger than 1 MiB (1048576 bytes)";
            }
        }
        ::close(fd);
        if (cause != nullptr) {
            return fail(cause);
        }
        if (!Parse(bytes, earlier, error)) {
            error = std::string("cannot use ") + path + ": " + error;
            return false;
        }
        return true;
    } catch (...) {
        error = "out of memory";
        return false;
    }
}

}  // namespace hwid
