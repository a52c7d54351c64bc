// hwid-explain's text and JSON output, and the comparison with an earlier
// JSON output.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "explain/report.h"
#include "hwid/text.h"

namespace hwid {
namespace {

constexpr const char* kNoSerialWarning =
    "no serial number was obtained: the identifier depends on the processor model alone and is "
    "shared by every machine with the same CPU";

const char* YesNo(bool value) {
    return value ? "yes" : "no";
}

const char* DisplaySerial(const char* serial, bool showSerial, char* buffer, std::size_t size) {
    if (showSerial) {
        return serial;
    }
    MaskSerial(serial, buffer, size);
    return buffer;
}

// Bytes outside printable ASCII as \xNN, so a drive's odd bytes stay visible.
void PrintVisible(std::FILE* out, const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (IsPrintable(c)) {
            std::fputc(c, out);
        } else {
            std::fprintf(out, "\\x%02X", c);
        }
    }
}

void PrintProbeText(std::FILE* out, const char* title, const ProbeReport& probe, bool smart,
                    bool showSerial) {
    std::fprintf(out, "%s\n", title);
    std::fprintf(out, "  ran:                 %s\n", YesNo(probe.ran));
    if (!probe.ran) {
        return;
    }
    std::fprintf(out, "  opened the drive:    %s", YesNo(probe.opened));
    if (!probe.opened) {
        std::fprintf(out, " (error %u)", static_cast<unsigned>(probe.openError));
    }
    std::fprintf(out, "\n");
    if (!probe.opened) {
        return;
    }
    if (smart) {
        std::fprintf(out, "  SMART version:       %s, device map 0x%02X\n",
                     probe.versionAnswered ? "answered" : "refused", probe.deviceMap);
        if (probe.deviceMap != 0) {
            std::fprintf(out, "  IDENTIFY (0x%02X):     %s\n", probe.command,
                         probe.identifyAnswered ? "answered" : "refused");
        }
    } else {
        std::fprintf(out, "  storage property:    %s\n",
                     probe.propertyAnswered ? "answered" : "refused");
        if (probe.propertyAnswered) {
            std::fprintf(out, "  drive geometry:      %s\n",
                         probe.geometryAnswered ? "answered" : "refused");
        }
    }
    std::fprintf(out, "  drive answered:      %s\n", YesNo(probe.answered));
    if (probe.answered) {
        char masked[kTextFieldSize];
        std::fprintf(out, "  serial as read:      \"");
        PrintVisible(out, DisplaySerial(probe.serialField, showSerial, masked, sizeof masked));
        std::fprintf(out, "\"\n");
        std::fprintf(out, "  strings accepted:    %s\n", YesNo(probe.accepted));
    }
    if (probe.reason[0] != '\0') {
        std::fprintf(out, "  why not:             %s\n", probe.reason);
    }
}

void PrintJsonString(std::FILE* out, const char* text) {
    std::fputc('"', out);
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            std::fprintf(out, "\\%c", c);
        } else if (IsPrintable(c)) {
            std::fputc(c, out);
        } else {
            // Drive strings are single bytes: each one stays one character.
            std::fprintf(out, "\\u%04X", c);
        }
    }
    std::fputc('"', out);
}

void PrintJsonProbe(std::FILE* out, const char* name, const ProbeReport& probe, bool smart,
                    bool showSerial) {
    char masked[kTextFieldSize];
    std::fprintf(out, "  \"%s\": {\"ran\": %s, \"opened\": %s, \"open_error\": %u", name,
                 probe.ran ? "true" : "false", probe.opened ? "true" : "false",
                 static_cast<unsigned>(probe.openError));
    if (smart) {
        std::fprintf(out,
                     ", \"version_answered\": %s, \"device_map\": %u, \"identify_command\": %u, "
                     "\"identify_answered\": %s, \"identify_error\": %u",
                     probe.versionAnswered ? "true" : "false", probe.deviceMap, probe.command,
                     probe.identifyAnswered ? "true" : "false",
                     static_cast<unsigned>(probe.identifyError));
    } else {
        std::fprintf(
            out,
            ", \"property_answered\": %s, \"property_error\": %u, "
            "\"geometry_answered\": %s, \"geometry_error\": %u",
            probe.propertyAnswered ? "true" : "false", static_cast<unsigned>(probe.propertyError),
            probe.geometryAnswered ? "true" : "false", static_cast<unsigned>(probe.geometryError));
    }
    std::fprintf(out,
                 ", \"answered\": %s, \"serial_as_read\": ", probe.answered ? "true" : "false");
    PrintJsonString(out, DisplaySerial(probe.serialField, showSerial, masked, sizeof masked));
    std::fprintf(out, ", \"accepted\": %s, \"reason\": ", probe.accepted ? "true" : "false");
    PrintJsonString(out, probe.reason);
    std::fprintf(out, "},\n");
}

// A small reader for the JSON that PrintExplainJson writes: it flattens the
// object into "a.b" keys with their scalar values as text.
class FlatJson {
  public:
    bool Parse(const char* text) {
        p_ = text;
        SkipSpace();
        if (!ParseValue("")) {
            return false;
        }
        SkipSpace();
        return *p_ == '\0';
    }

    const char* Get(const char* key) const {
        for (std::size_t i = 0; i < count_; ++i) {
            if (std::strcmp(entries_[i].key, key) == 0) {
                return entries_[i].value;
            }
        }
        return nullptr;
    }

  private:
    struct Entry {
        char key[64];
        char value[kTextFieldSize];
    };

    void SkipSpace() {
        while (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t') {
            ++p_;
        }
    }

    bool ParseString(char* out, std::size_t size) {
        if (*p_ != '"') {
            return false;
        }
        ++p_;
        std::size_t n = 0;
        while (*p_ != '"') {
            if (*p_ == '\0') {
                return false;
            }
            char c = *p_++;
            if (c == '\\') {
                const char e = *p_++;
                if (e == 'u') {
                    char hex[5] = {};
                    for (int i = 0; i < 4; ++i) {
                        if (*p_ == '\0') {
                            return false;
                        }
                        hex[i] = *p_++;
                    }
                    c = static_cast<char>(std::strtoul(hex, nullptr, 16));
                } else if (e == 'n') {
                    c = '\n';
                } else if (e == 't') {
                    c = '\t';
                } else if (e == '\0') {
                    return false;
                } else {
                    c = e;
                }
            }
            if (n + 1 < size) {
                out[n++] = c;
            }
        }
        ++p_;
        out[n] = '\0';
        return true;
    }

    void Add(const char* key, const char* value) {
        if (count_ < kMaxEntries) {
            CopyText(entries_[count_].key, key);
            CopyText(entries_[count_].value, value);
            ++count_;
        }
    }

    bool ParseValue(const char* key) {
        if (++depth_ > 8) {
            return false;
        }
        bool ok = false;
        if (*p_ == '{') {
            ok = ParseMembers(key, true);
        } else if (*p_ == '[') {
            ok = ParseMembers(key, false);
        } else if (*p_ == '"') {
            char value[kTextFieldSize];
            ok = ParseString(value, sizeof value);
            if (ok) {
                Add(key, value);
            }
        } else {
            char value[64];
            std::size_t n = 0;
            while (*p_ != '\0' && std::strchr(",}] \n\r\t", *p_) == nullptr) {
                if (n + 1 < sizeof value) {
                    value[n++] = *p_;
                }
                ++p_;
            }
            value[n] = '\0';
            ok = n > 0;
            if (ok) {
                Add(key, value);
            }
        }
        --depth_;
        return ok;
    }

    // The members of an object ("name": value, keys prefix.name) or the
    // elements of an array (values, all under prefix), up to the closer.
    bool ParseMembers(const char* prefix, bool object) {
        const char closer = object ? '}' : ']';
        ++p_;
        SkipSpace();
        if (*p_ == closer) {
            ++p_;
            return true;
        }
        for (;;) {
            char key[64];
            std::snprintf(key, sizeof key, "%s", prefix);
            if (object) {
                char name[64];
                if (!ParseString(name, sizeof name)) {
                    return false;
                }
                SkipSpace();
                if (*p_++ != ':') {
                    return false;
                }
                SkipSpace();
                std::snprintf(key, sizeof key, "%s%s%s", prefix, prefix[0] != '\0' ? "." : "",
                              name);
            }
            if (!ParseValue(key)) {
                return false;
            }
            SkipSpace();
            if (*p_ == ',') {
                ++p_;
                SkipSpace();
                continue;
            }
            if (*p_ == closer) {
                ++p_;
                return true;
            }
            return false;
        }
    }

    static constexpr std::size_t kMaxEntries = 64;
    Entry entries_[kMaxEntries];
    std::size_t count_ = 0;
    const char* p_ = nullptr;
    int depth_ = 0;
};

}  // namespace

void PrintExplainText(const ExplainReport& report, bool showSerial, std::FILE* out) {
    std::fprintf(out, "CPU\n");
    std::fprintf(out, "  vendor:              ");
    PrintVisible(out, report.vendor);
    std::fprintf(out, "\n  highest leaf:        0x%X\n", report.highestLeaf);
    std::fprintf(out, "  leaves summed:       0%s%s\n", report.leavesSummed > 1 ? ", 1" : "",
                 report.leavesSummed > 2 ? ", 2" : "");
    std::fprintf(out, "  CPU signature:       0x%08X\n", report.cpuSignature);
    std::fprintf(out, "Drive 0\n");
    if (report.drive.found) {
        std::fprintf(out, "  device:              %s%s%s%s\n", report.drive.path,
                     report.drive.bus[0] != '\0' ? " (" : "", report.drive.bus,
                     report.drive.bus[0] != '\0' ? ")" : "");
    } else {
        std::fprintf(out, "  device:              none found\n");
    }
    std::fprintf(out, "  why:                 %s\n", report.drive.reason);
    if (report.platformId != VER_PLATFORM_WIN32_NT) {
        std::fprintf(out, "  no probe ran: the platform reports family %u, not Windows NT\n",
                     static_cast<unsigned>(report.platformId));
    }
    PrintProbeText(out, "SMART identify probe", report.smart, true, showSerial);
    PrintProbeText(out, "Storage property probe", report.storage, false, showSerial);
    char masked[kTextFieldSize];
    std::fprintf(out, "Result\n  model:               \"");
    PrintVisible(out, report.model);
    std::fprintf(out, "\"\n  serial:              \"");
    PrintVisible(out, DisplaySerial(report.serial, showSerial, masked, sizeof masked));
    std::fprintf(out, "\"\n  diagnostic:          \"");
    PrintVisible(out, report.diagnostic);
    std::fprintf(out, "\"\n  fold value:          0x%08X\n", report.foldValue);
    std::fprintf(out, "  identifier:          %s\n", report.identifier);
    if (report.serial[0] == '\0') {
        std::fprintf(out, "warning: %s\n", kNoSerialWarning);
    }
}

void PrintExplainJson(const ExplainReport& report, bool showSerial, std::FILE* out) {
    char masked[kTextFieldSize];
    std::fprintf(out, "{\n  \"cpu\": {\"vendor\": ");
    PrintJsonString(out, report.vendor);
    std::fprintf(
        out, ", \"highest_leaf\": %u, \"leaves_summed\": [0%s%s], \"signature\": \"0x%08X\"},\n",
        report.highestLeaf, report.leavesSummed > 1 ? ", 1" : "",
        report.leavesSummed > 2 ? ", 2" : "", report.cpuSignature);
    std::fprintf(out, "  \"platform_id\": %u,\n", static_cast<unsigned>(report.platformId));
    std::fprintf(out,
                 "  \"drive\": {\"found\": %s, \"path\": ", report.drive.found ? "true" : "false");
    PrintJsonString(out, report.drive.path);
    std::fprintf(out, ", \"bus\": ");
    PrintJsonString(out, report.drive.bus);
    std::fprintf(out, ", \"reason\": ");
    PrintJsonString(out, report.drive.reason);
    std::fprintf(out, "},\n");
    PrintJsonProbe(out, "smart_probe", report.smart, true, showSerial);
    PrintJsonProbe(out, "storage_probe", report.storage, false, showSerial);
    std::fprintf(out, "  \"model\": ");
    PrintJsonString(out, report.model);
    std::fprintf(out, ",\n  \"serial\": ");
    PrintJsonString(out, DisplaySerial(report.serial, showSerial, masked, sizeof masked));
    std::fprintf(out, ",\n  \"serial_obtained\": %s,\n",
                 report.serial[0] != '\0' ? "true" : "false");
    std::fprintf(out, "  \"diagnostic\": ");
    PrintJsonString(out, report.diagnostic);
    std::fprintf(out, ",\n  \"fold_value\": \"0x%08X\",\n", report.foldValue);
    std::fprintf(out, "  \"identifier\": \"%s\",\n", report.identifier);
    std::fprintf(out, "  \"warning\": ");
    PrintJsonString(out, report.serial[0] == '\0' ? kNoSerialWarning : "");
    std::fprintf(out, "\n}\n");
}

int CompareWithEarlier(const ExplainReport& report, const char* earlierJson, std::FILE* out) {
    const auto parsed = std::make_unique<FlatJson>();  // about 70 KB: kept off the stack
    FlatJson& earlier = *parsed;
    if (!earlier.Parse(earlierJson)) {
        std::fprintf(out, "the earlier output is not the JSON that --json prints\n");
        return -1;
    }
    const char* keys[] = {"cpu.signature", "drive.path",      "model",
                          "fold_value",    "serial_obtained", "identifier"};
    for (const char* key : keys) {
        if (earlier.Get(key) == nullptr) {
            std::fprintf(out, "the earlier output has no \"%s\"\n", key);
            return -1;
        }
    }
    char now[kTextFieldSize];
    int changed = 0;
    const auto line = [&](const char* what, const char* was, const char* is) {
        if (std::strcmp(was, is) == 0) {
            std::fprintf(out, "%-14s unchanged (%s)\n", what, is);
        } else {
            std::fprintf(out, "%-14s changed (was %s, now %s)\n", what, was, is);
            changed = 1;
        }
    };
    std::snprintf(now, sizeof now, "0x%08X", report.cpuSignature);
    line("CPU signature:", earlier.Get("cpu.signature"), now);
    line("drive:", earlier.Get("drive.path"), report.drive.path);
    line("model:", earlier.Get("model"), report.model);
    // The serial is masked in the output; its fold value stands for it.
    const bool hadSerial = std::strcmp(earlier.Get("serial_obtained"), "true") == 0;
    std::snprintf(now, sizeof now, "0x%08X", report.foldValue);
    const bool serialSame =
        hadSerial == (report.serial[0] != '\0') && std::strcmp(earlier.Get("fold_value"), now) == 0;
    std::fprintf(out, "%-14s %s\n", "serial:", serialSame ? "unchanged" : "changed");
    changed |= serialSame ? 0 : 1;
    line("identifier:", earlier.Get("identifier"), report.identifier);
    return changed;
}

}  // namespace hwid
