// Drive 0's serial number and product id from its storage device descriptor,
// opened without access rights.
#include <cstdio>
#include <cstring>

#include "crypto/byte_order.h"
#include "hwid/disk_identity.h"
#include "hwid/text.h"

namespace hwid {
namespace {

// Longest decoded text; the last byte of a decode buffer is its terminator.
constexpr std::size_t kMaxDecodedLength = kDecodedTextSize - 1;

std::int32_t ReadOffset(DescriptorReply reply, std::size_t at) {
    return static_cast<std::int32_t>(LoadLittleEndian32(reply, at));
}

int HexDigitValue(unsigned char d) {
    if (d >= '0' && d <= '9') {
        return d - '0';
    }
    if (d >= 'a' && d <= 'f') {
        return d - 'a' + 10;
    }
    return -1;
}

// Decodes s as a hex dump into out, two digits a byte, white space counting as
// the digit 0. Returns the decoded length, or -1 when s is not such a dump
// (a byte that is no digit, or a pair that gives neither 0 nor a printable
// byte). Like the raw pass, it leaves what it wrote in out when it gives up.
std::ptrdiff_t DecodeHexPass(std::span<const std::uint8_t> s,
                             std::span<char, kDecodedTextSize> out) {
    std::size_t k = 0;
    int nibbles = 0;
    // Past the cut, pairs are still checked but land here instead of in out.
    char spill = 0;
    for (const std::uint8_t b : s) {
        unsigned char d = static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b);
        if (IsBlank(d)) {
            d = '0';
        }
        char& cell = k < kMaxDecodedLength ? out[k] : spill;
        cell = static_cast<char>(static_cast<unsigned char>(cell) << 4);
        ++nibbles;
        const int value = HexDigitValue(d);
        if (value < 0) {
            return -1;
        }
        cell = static_cast<char>(static_cast<unsigned char>(cell) | value);
        if (nibbles == 2) {
            const auto byte = static_cast<unsigned char>(cell);
            if (byte != 0 && !IsPrintable(byte)) {
                return -1;
            }
            ++k;
            nibbles = 0;
            (k < kMaxDecodedLength ? out[k] : spill) = 0;
        }
    }
    return static_cast<std::ptrdiff_t>(k < kMaxDecodedLength ? k : kMaxDecodedLength);
}

// Copies s as it stands; one byte that is not printable empties the text but
// leaves the bytes copied before it at positions 1 onward.
std::size_t DecodeRawPass(std::span<const std::uint8_t> s, std::span<char, kDecodedTextSize> out) {
    std::size_t m = 0;
    for (const std::uint8_t b : s) {
        if (!IsPrintable(b)) {
            return 0;
        }
        if (m < kMaxDecodedLength) {
            out[m] = static_cast<char>(b);
        }
        ++m;
    }
    return m < kMaxDecodedLength ? m : kMaxDecodedLength;
}

// Moves the text between its first and last non-blank byte to the front; an
// all-blank text stays as it is. Bytes after the new terminator are kept.
void TrimText(std::span<char, kDecodedTextSize> out) {
    if (out[0] == '\0') {
        return;
    }
    std::size_t first = kDecodedTextSize;
    std::size_t last = 0;
    for (std::size_t i = 0; out[i] != '\0'; ++i) {
        if (!IsBlank(static_cast<unsigned char>(out[i]))) {
            if (first == kDecodedTextSize) {
                first = i;
            }
            last = i;
        }
    }
    if (first == kDecodedTextSize) {
        return;
    }
    std::memmove(out.data(), out.data() + first, last - first + 1);
    out[last - first + 1] = '\0';
}

}  // namespace

char* DecodeDescriptorString(DescriptorReply reply, std::int32_t offset,
                             std::span<char, kDecodedTextSize> out) {
    out[0] = '\0';
    if (offset <= 0 || static_cast<std::size_t>(offset) >= reply.size()) {
        return out.data();
    }
    // The string ends at its zero byte or, lacking one, at the end of the reply.
    const auto* start = reply.data() + offset;
    const auto* end = static_cast<const std::uint8_t*>(
        std::memchr(start, 0, reply.size() - static_cast<std::size_t>(offset)));
    const std::span<const std::uint8_t> s(start,
                                          end != nullptr ? end : reply.data() + reply.size());

    std::ptrdiff_t length = DecodeHexPass(s, out);
    if (length < 0) {
        length = static_cast<std::ptrdiff_t>(DecodeRawPass(s, out));
    }
    out[static_cast<std::size_t>(length)] = '\0';
    TrimText(out);
    return out.data();
}

int ExtractDescriptorStrings(DescriptorReply reply, DiskIdentity& identity) {
    char vendor[kDecodedTextSize] = {};
    char product[kDecodedTextSize] = {};
    char revision[kDecodedTextSize] = {};
    char serial[kDecodedTextSize] = {};
    DecodeDescriptorString(
        reply, ReadOffset(reply, offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset)), vendor);
    DecodeDescriptorString(
        reply, ReadOffset(reply, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset)), product);
    DecodeDescriptorString(
        reply, ReadOffset(reply, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset)),
        revision);
    DecodeDescriptorString(
        reply, ReadOffset(reply, offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset)), serial);

    if (identity.serialText[0] != '\0') {
        return 0;
    }
    // Index 19 counts even past a shorter text's terminator: the same
    // first-or-twentieth test as the SMART probe.
    if (!IsAlphanumeric(static_cast<unsigned char>(serial[0])) &&
        !IsAlphanumeric(static_cast<unsigned char>(serial[19]))) {
        return 0;
    }
    CopyText(identity.serialText, serial);
    CopyText(identity.modelText, product);
    return 1;
}

int ReadPhysicalDriveInNTWithZeroRights(DiskIdentity& identity, DeviceServices& services) {
    char path[256];
    std::snprintf(path, sizeof path, kDrivePathFormat, 0);
    HANDLE drive = services.CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    if (drive == INVALID_HANDLE_VALUE) {
        identity.diagnosticText.fill(0);
        std::snprintf(identity.diagnosticText.data(), kDiagnosticSize,
                      "%d ReadPhysicalDriveInNTWithZeroRights ERROR CreateFileA(%s) returned "
                      "INVALID_HANDLE_VALUE",
                      231, path);
        return 0;
    }

    STORAGE_PROPERTY_QUERY query;
    std::memset(&query, 0, sizeof query);
    DWORD bytesReturned = 0;
    std::uint8_t reply[kDescriptorReplySize] = {};
    if (services.DeviceIoControl(drive, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, reply,
                                 kDescriptorReplySize, &bytesReturned, nullptr) == 0) {
        const DWORD error = services.GetLastError();
        identity.diagnosticText.fill(0);
        std::snprintf(identity.diagnosticText.data(), kDiagnosticSize,
                      "DeviceIOControl IOCTL_STORAGE_QUERY_PROPERTY error = %d\n",
                      static_cast<int>(error));
        services.CloseHandle(drive);
        return 0;
    }
    const int result = ExtractDescriptorStrings(reply, identity);

    std::memset(reply, 0, sizeof reply);
    if (services.DeviceIoControl(drive, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, reply,
                                 kDescriptorReplySize, &bytesReturned, nullptr) == 0) {
        identity.diagnosticText.fill(0);
        std::snprintf(identity.diagnosticText.data(), kDiagnosticSize,
                      "%s ReadPhysicalDriveInNTWithZeroRights ERROR DeviceIoControl(), "
                      "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) returned 0",
                      path);
    }
    services.CloseHandle(drive);
    return result;
}

}  // namespace hwid
