// What the program learns about physical drive 0, and the two probes that
// learn it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "hwid/device_services.h"

namespace hwid {

inline constexpr std::size_t kTextFieldSize = 1024;
inline constexpr std::size_t kDiagnosticSize = 256;
inline constexpr std::size_t kSmartReplySize = 528;  // SENDCMDOUTPARAMS header + 512 data bytes
inline constexpr std::size_t kIdentifyWordCount = 256;
inline constexpr std::size_t kDescriptorReplySize = 10000;
inline constexpr std::size_t kDecodedTextSize = 1000;

// Every text field is zero-terminated within its width at all times.
struct DiskIdentity {
    std::array<char, kTextFieldSize> serialText;
    std::array<char, kTextFieldSize> modelText;
    std::array<char, kDiagnosticSize> diagnosticText;
    std::array<std::uint8_t, kSmartReplySize> smartReply;
};

using IdentifyWords = std::span<const std::uint32_t, kIdentifyWordCount>;
using DescriptorReply = std::span<const std::uint8_t, kDescriptorReplySize>;

// Empties serialText, then on the Windows NT family runs the SMART probe and,
// only when that returns 0, the storage property probe. Always returns 0.
int CollectDiskIdentity(DiskIdentity& identity, DeviceServices& services);

// 1 when drive 0 answered the SMART IDENTIFY request (whether or not its
// strings were accepted), 0 otherwise.
int ReadPhysicalDriveWithSmart(DiskIdentity& identity, DeviceServices& services);

// Takes the serial (words 10-19) and model (27-46) texts and copies them into
// the record when serialText is empty and the serial looks real.
void ExtractIdentifyStrings(DiskIdentity& identity, IdentifyWords words);

// Converts words first..last (two characters each, high byte first) into out,
// dropping every space and trimming trailing white space after the first byte.
// Words outside 0..255 are skipped and the text is cut to fit out. Returns
// out.data().
char* IdentifyWordsToText(IdentifyWords words, int first, int last, std::span<char> out);

// 1 when the descriptor's serial number and product id were copied into the
// record, 0 otherwise; failures leave a message in diagnosticText.
int ReadPhysicalDriveInNTWithZeroRights(DiskIdentity& identity, DeviceServices& services);

// Decodes the descriptor's strings and copies serial and product id into the
// record when serialText is empty and the serial looks real. Returns 1 when it
// copied.
int ExtractDescriptorStrings(DescriptorReply reply, DiskIdentity& identity);

// Decodes the zero-terminated string at `offset` of the reply, plain text or a
// hex dump of text, into out and returns out.data(). Reads only inside the
// reply and writes at most 999 characters and a terminator.
char* DecodeDescriptorString(DescriptorReply reply, std::int32_t offset,
                             std::span<char, kDecodedTextSize> out);

// The path that names physical drive 0 to CreateFileA.
inline constexpr char kDrivePathFormat[] = "\\\\.\\PhysicalDrive%d";

}  // namespace hwid
