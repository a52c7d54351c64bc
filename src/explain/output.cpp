// hwid-explain's text and JSON output, and the comparison with an earlier
// JSON output.
#include <cstdint>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

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

bool PrivilegeMatters(const ExplainReport& report) {
    return report.unprivileged.derived &&
           std::strcmp(report.unprivileged.identifier, report.identifier) != 0;
}

// The warnings beyond the one about a missing serial, as byte texts.
std::vector<std::string> ExtraWarnings(const ExplainReport& report, bool showSerial) {
    std::vector<std::string> warnings;
    char masked[kTextFieldSize];
    if (report.weakSerial != nullptr) {
        warnings.push_back(std::string("the serial is one that many machines share (") +
                           report.weakSerial +
                           "): other machines with the same processor model may print the same "
                           "identifier");
    }
    if (PrivilegeMatters(report)) {
        std::string text =
            "the identifier depends on privilege: this run sent IDENTIFY and read "
            "the serial \"";
        text += DisplaySerial(report.serial, showSerial, masked, sizeof masked);
        text += "\" (identifier ";
        text += report.identifier;
        text += "); a run without the rights to send it reads \"";
        text += DisplaySerial(report.unprivileged.serial, showSerial, masked, sizeof masked);
        text += "\" from the storage descriptor and prints ";
        text += report.unprivileged.identifier;
        warnings.push_back(std::move(text));
    }
    return warnings;
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
    if (!probe.opened) {
        std::fprintf(out, "  opened the drive:    no (%s)\n", probe.errorText);
        return;
    }
    // A back end that answers from files says which one gave the serial.
    if (probe.serialSource[0] != '\0') {
        std::fprintf(out, "  serial read from:    ");
        PrintVisible(out, probe.serialSource);
        std::fprintf(out, "\n");
    } else {
        std::fprintf(out, "  opened the drive:    yes\n");
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

using Json = nlohmann::ordered_json;

// Drive strings are single bytes, not UTF-8: each byte becomes the character
// of the same number, so that reading the JSON back gives the bytes again.
Json ByteString(const char* text) {
    std::string utf8;
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
        } else {
            utf8 += static_cast<char>(0xC0 | c >> 6);
            utf8 += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return Json(std::move(utf8));
}

Json HexWord(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return Json(text);
}

Json ProbeJson(const ProbeReport& probe, bool smart, bool showSerial) {
    char masked[kTextFieldSize];
    Json json = Json::object();
    json["ran"] = probe.ran;
    json["opened"] = probe.opened;
    json["open_error"] = static_cast<unsigned>(probe.openError);
    if (smart) {
        json["version_answered"] = probe.versionAnswered;
        json["device_map"] = static_cast<unsigned>(probe.deviceMap);
        json["identify_command"] = static_cast<unsigned>(probe.command);
        json["identify_answered"] = probe.identifyAnswered;
        json["identify_error"] = static_cast<unsigned>(probe.identifyError);
    } else {
        json["property_answered"] = probe.propertyAnswered;
        json["property_error"] = static_cast<unsigned>(probe.propertyError);
        json["geometry_answered"] = probe.geometryAnswered;
        json["geometry_error"] = static_cast<unsigned>(probe.geometryError);
    }
    json["answered"] = probe.answered;
    json["serial_as_read"] =
        ByteString(DisplaySerial(probe.serialField, showSerial, masked, sizeof masked));
    json["accepted"] = probe.accepted;
    json["reason"] = ByteString(probe.reason);
    json["error_text"] = ByteString(probe.errorText);
    if (!smart) {
        json["serial_source"] = ByteString(probe.serialSource);
    }
    return json;
}

// A value on one line, members and elements apart by ", " and ": ", all of it
// in ASCII.
void AppendInline(std::string& out, const Json& value) {
    if (value.is_object()) {
        out += '{';
        const char* separator = "";
        for (const auto& [key, member] : value.items()) {
            out += separator;
            out += Json(key).dump(-1, ' ', true);
            out += ": ";
            AppendInline(out, member);
            separator = ", ";
        }
        out += '}';
    } else if (value.is_array()) {
        out += '[';
        const char* separator = "";
        for (const Json& element : value) {
            out += separator;
            AppendInline(out, element);
            separator = ", ";
        }
        out += ']';
    } else {
        out += value.dump(-1, ' ', true);
    }
}

// The object with one member a line.
bool WriteJsonObject(const Json& object, std::FILE* out) {
    std::string text = "{\n";
    const char* separator = "";
    for (const auto& [key, member] : object.items()) {
        text += separator;
        text += "  ";
        text += Json(key).dump(-1, ' ', true);
        text += ": ";
        AppendInline(text, member);
        separator = ",\n";
    }
    text += "\n}\n";
    return std::fwrite(text.data(), 1, text.size(), out) == text.size();
}

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
    if (report.unprivileged.derived) {
        std::fprintf(out, "Without the rights to send IDENTIFY\n  serial:              \"");
        PrintVisible(out,
                     DisplaySerial(report.unprivileged.serial, showSerial, masked, sizeof masked));
        std::fprintf(out, "\"\n  identifier:          %s\n", report.unprivileged.identifier);
    }
    if (report.serial[0] == '\0') {
        std::fprintf(out, "warning: %s\n", kNoSerialWarning);
    }
    try {
        for (const std::string& warning : ExtraWarnings(report, showSerial)) {
            std::fprintf(out, "warning: ");
            PrintVisible(out, warning.c_str());
            std::fprintf(out, "\n");
        }
    } catch (...) {
        std::fprintf(out, "warning: out of memory: further warnings left out\n");
    }
}

bool PrintExplainJson(const ExplainReport& report, bool showSerial, std::FILE* out) {
    try {
        char masked[kTextFieldSize];
        Json leaves = Json::array();
        for (int leaf = 0; leaf < report.leavesSummed; ++leaf) {
            leaves.push_back(leaf);
        }
        Json json = Json::object();
        json["cpu"] = {{"vendor", ByteString(report.vendor)},
                       {"highest_leaf", report.highestLeaf},
                       {"leaves_summed", leaves},
                       {"signature", HexWord(report.cpuSignature)}};
        json["platform_id"] = static_cast<unsigned>(report.platformId);
        json["drive"] = {{"found", report.drive.found},
                         {"path", ByteString(report.drive.path)},
                         {"bus", ByteString(report.drive.bus)},
                         {"reason", ByteString(report.drive.reason)}};
        json["smart_probe"] = ProbeJson(report.smart, true, showSerial);
        json["storage_probe"] = ProbeJson(report.storage, false, showSerial);
        json["model"] = ByteString(report.model);
        json["serial"] =
            ByteString(DisplaySerial(report.serial, showSerial, masked, sizeof masked));
        json["serial_obtained"] = report.serial[0] != '\0';
        json["diagnostic"] = ByteString(report.diagnostic);
        json["fold_value"] = HexWord(report.foldValue);
        json["identifier"] = report.identifier;
        json["warning"] = report.serial[0] == '\0' ? kNoSerialWarning : "";
        json["weak_serial"] = report.weakSerial != nullptr ? report.weakSerial : "";
        if (report.unprivileged.derived) {
            json["unprivileged"] = {
                {"serial", ByteString(DisplaySerial(report.unprivileged.serial, showSerial, masked,
                                                    sizeof masked))},
                {"identifier", report.unprivileged.identifier},
                {"differs", PrivilegeMatters(report)}};
        } else {
            json["unprivileged"] = nullptr;
        }
        Json warnings = Json::array();
        if (report.serial[0] == '\0') {
            warnings.push_back(kNoSerialWarning);
        }
        for (const std::string& warning : ExtraWarnings(report, showSerial)) {
            warnings.push_back(ByteString(warning.c_str()));
        }
        json["warnings"] = std::move(warnings);
        return WriteJsonObject(json, out);
    } catch (...) {
        // Only memory can run out here: every text is made valid UTF-8 above.
        return false;
    }
}

int CompareWithEarlier(const ExplainReport& report, const char* earlierJson, std::FILE* out) {
    EarlierReport earlier;
    std::string error;
    if (!ParseEarlierJson(earlierJson, earlier, error)) {
        std::fprintf(out, "%s\n", error.c_str());
        return -1;
    }
    return CompareWithEarlier(report, earlier, out);
}

int CompareWithEarlier(const ExplainReport& report, const EarlierReport& earlier, std::FILE* out) {
    return CompareReports(report, earlier, false, out).anyChanged ? 1 : 0;
}

CompareResult CompareReports(const ExplainReport& report, const EarlierReport& earlier, bool json,
                             std::FILE* out) {
    CompareResult result{};
    try {
        struct Item {
            const char* key;    // in the JSON
            const char* label;  // in the text
            std::string was;
            std::string now;
            bool changed;
            bool values;  // the serial is masked: its values are not shown
        };
        char now[16];
        std::vector<Item> items;
        const auto add = [&items](const char* key, const char* label, const std::string& was,
                                  const std::string& is) {
            items.push_back({key, label, was, is, was != is, true});
        };
        std::snprintf(now, sizeof now, "0x%08X", report.cpuSignature);
        add("cpu_signature", "CPU signature:", earlier.cpuSignature, now);
        add("drive", "drive:", earlier.drivePath, report.drive.path);
        if (earlier.hasDriveBus) {
            add("bus", "bus:", earlier.driveBus, report.drive.bus);
        }
        add("model", "model:", earlier.model, report.model);
        // The serial is masked in the output; its fold value stands for it.
        std::snprintf(now, sizeof now, "0x%08X", report.foldValue);
        const bool serialSame =
            earlier.serialObtained == (report.serial[0] != '\0') && earlier.foldValue == now;
        items.push_back({"serial", "serial:", "", "", !serialSame, false});
        add("identifier", "identifier:", earlier.identifier, report.identifier);
        // Hexadecimal digits in either case name the same identifier.
        std::string upper = earlier.identifier;
        for (char& c : upper) {
            c = c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c;
        }
        items.back().changed = upper != report.identifier;
        result.identifierChanged = items.back().changed;
        for (const Item& item : items) {
            result.anyChanged = result.anyChanged || item.changed;
        }

        if (json) {
            Json object = Json::object();
            Json changed = Json::array();
            for (const Item& item : items) {
                if (item.changed) {
                    changed.push_back(item.key);
                }
            }
            object["identifier_changed"] = result.identifierChanged;
            object["changed"] = std::move(changed);
            for (const Item& item : items) {
                Json entry = Json::object();
                if (item.values) {
                    entry["was"] = ByteString(item.was.c_str());
                    entry["now"] = ByteString(item.now.c_str());
                }
                entry["changed"] = item.changed;
                object[item.key] = std::move(entry);
            }
            result.printed = WriteJsonObject(object, out);
            return result;
        }
        for (const Item& item : items) {
            std::fprintf(out, "%-14s %s", item.label, item.changed ? "changed" : "unchanged");
            if (item.values && item.changed) {
                std::fprintf(out, " (was ");
                PrintVisible(out, item.was.c_str());
                std::fprintf(out, ", now ");
                PrintVisible(out, item.now.c_str());
                std::fprintf(out, ")");
            } else if (item.values) {
                std::fprintf(out, " (");
                PrintVisible(out, item.now.c_str());
                std::fprintf(out, ")");
            }
            std::fprintf(out, "\n");
        }
        result.printed = true;
    } catch (...) {
        result.printed = false;
    }
    return result;
}

}  // namespace hwid
