// Reply bytes of the disk requests, built from readable texts, for the disk
// probe tests.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hwid/disk_identity.h"

namespace hwid::test {

// Sets a text field: the text, then zeros to the end.
template <std::size_t N>
void PutText(std::array<char, N>& field, const std::string& text) {
    field.fill(0);
    std::memcpy(field.data(), text.data(), text.size());
}

// A record as an earlier step might have left it: every field holds
// something, diagnosticText full to its last byte, so that a zero fill, an
// untouched field and a message written without clearing the field first all
// show. serialText holds `serial` (empty: zeros).
inline DiskIdentity UsedRecord(const std::string& serial = "") {
    DiskIdentity identity{};
    PutText(identity.serialText, serial);
    PutText(identity.modelText, "MODEL FROM BEFORE");
    PutText(identity.diagnosticText, std::string(kDiagnosticSize - 1, '~'));
    identity.smartReply.fill(0xAA);
    return identity;
}

// A unit serial number page (VPD 0x80) as sysfs shows it in vpd_pg80 and a
// device returns it: the 4-byte header, then the serial.
inline std::string UnitSerialPage(const std::string& serial) {
    return std::string{'\0', '\x80', '\0', static_cast<char>(serial.size())} + serial;
}

// A text field up to its first zero byte.
template <std::size_t N>
std::string TextOf(const std::array<char, N>& field) {
    return std::string(field.begin(), std::find(field.begin(), field.end(), '\0'));
}

using Words = std::array<std::uint32_t, kIdentifyWordCount>;

// Puts an ATA character field at word `first`: two characters a word, the
// first in the high byte; padded with spaces to `count` words.
inline void PutAtaField(Words& words, std::size_t first, std::size_t count, std::string text) {
    text.resize(2 * count, ' ');
    for (std::size_t i = 0; i < count; ++i) {
        words[first + i] = static_cast<std::uint32_t>(static_cast<unsigned char>(text[2 * i]))
                               << 8 |
                           static_cast<unsigned char>(text[2 * i + 1]);
    }
}

// IDENTIFY words with the serial field (words 10-19) and the model field
// (words 27-46) set; every other word is 0.
inline Words IdentifyWords(const std::string& serial, const std::string& model) {
    Words words{};
    PutAtaField(words, 10, 10, serial);
    PutAtaField(words, 27, 20, model);
    return words;
}

// SMART_GET_VERSION reply: a GETVERSIONINPARAMS with the given device map.
inline std::vector<std::uint8_t> VersionReply(std::uint8_t deviceMap) {
    std::vector<std::uint8_t> bytes(sizeof(GETVERSIONINPARAMS), 0);
    bytes[0] = 1;  // bVersion
    bytes[3] = deviceMap;
    bytes[4] = 0x07;  // fCapabilities, not looked at
    return bytes;
}

// SMART_RCV_DRIVE_DATA reply: a 16-byte header that nothing may rely on,
// then the words little-endian.
inline std::vector<std::uint8_t> IdentifyReply(const Words& words) {
    std::vector<std::uint8_t> bytes(kSmartReplySize, 0);
    for (std::size_t i = 0; i < 16; ++i) {
        bytes[i] = static_cast<std::uint8_t>(0xF0 + i);
    }
    for (std::size_t i = 0; i < kIdentifyWordCount; ++i) {
        bytes[16 + 2 * i] = static_cast<std::uint8_t>(words[i] & 0xFF);
        bytes[17 + 2 * i] = static_cast<std::uint8_t>(words[i] >> 8 & 0xFF);
    }
    return bytes;
}

// A 10000-byte IOCTL_STORAGE_QUERY_PROPERTY reply: a STORAGE_DEVICE_DESCRIPTOR
// whose four string offsets point at the given strings, laid out one after
// the other from byte 64; an absent string has offset 0.
struct DescriptorStrings {
    std::optional<std::string> vendor{};
    std::optional<std::string> product{};
    std::optional<std::string> revision{};
    std::optional<std::string> serial{};
};

inline void PutOffset(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i) & 0xFF);
    }
}

inline std::vector<std::uint8_t> DescriptorReplyBytes(const DescriptorStrings& strings) {
    std::vector<std::uint8_t> bytes(kDescriptorReplySize, 0);
    PutOffset(bytes, 0, 1);   // Version
    PutOffset(bytes, 4, 64);  // Size
    std::size_t next = 64;
    const auto place = [&](std::size_t field, const std::optional<std::string>& text) {
        if (!text) {
            return;
        }
        PutOffset(bytes, field, static_cast<std::uint32_t>(next));
        for (const char c : *text) {
            bytes[next++] = static_cast<std::uint8_t>(c);
        }
        ++next;  // the terminator
    };
    place(12, strings.vendor);
    place(16, strings.product);
    place(20, strings.revision);
    place(24, strings.serial);
    return bytes;
}

}  // namespace hwid::test
