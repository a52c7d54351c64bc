// One run as hwid makes it, on any back end, and what must hold afterwards:
// for the fault injection tests of both back ends.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "hwid/disk_identity.h"
#include "hwid/machine_identifier.h"
#include "support/disk_replies.h"

namespace hwid::test {

constexpr char kOpenFailureText[] =
    "231 ReadPhysicalDriveInNTWithZeroRights ERROR CreateFileA(\\\\.\\PhysicalDrive0) returned "
    "INVALID_HANDLE_VALUE";
constexpr char kGeometryFailureText[] =
    "\\\\.\\PhysicalDrive0 ReadPhysicalDriveInNTWithZeroRights ERROR DeviceIoControl(), "
    "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) returned 0";
constexpr char kPropertyFailurePrefix[] = "DeviceIOControl IOCTL_STORAGE_QUERY_PROPERTY error = ";

inline std::string PropertyFailureText(DWORD error) {
    return kPropertyFailurePrefix + std::to_string(static_cast<std::int32_t>(error)) + "\n";
}

// A processor with leaves 0 to 2.
inline void FixedCpuid(std::uint32_t leaf, CpuidRegisters& registers) {
    registers = {leaf == 0 ? 2u : 0x000306C3u + leaf, 0x756E6547u, 0x6C65746Eu ^ leaf,
                 0x49656E69u + 7 * leaf};
}

struct HwidRun {
    MachineFacts facts;
    std::array<char, kIdentifierTextSize> identifier;
};

// What hwid's main does, on a record that starts out as stack garbage would.
inline void RunHwid(DeviceServices& services, HwidRun& run) {
    std::memset(&run.facts, 0xA5, sizeof run.facts);
    run.identifier.fill('?');
    CollectMachineFacts(run.facts, services, FixedCpuid);
    const MixedBlocks blocks =
        DeriveMachineIdentifier(run.facts.cpuSignature, run.facts.identity.serialText);
    FormatMachineIdentifier(blocks, run.identifier);
}

template <std::size_t N>
inline bool Terminated(const std::array<char, N>& field) {
    return std::find(field.begin(), field.end(), '\0') != field.end();
}

template <std::size_t N>
inline std::string BytesOf(const std::array<char, N>& field) {
    return std::string(field.begin(), field.end());
}

// The identifier for a serial text, from a clean record.
inline std::string IdentifierFor(std::uint32_t cpuSignature, const std::string& serial) {
    std::array<char, kTextFieldSize> text{};
    std::copy(serial.begin(), serial.end(), text.begin());
    std::array<char, kIdentifierTextSize> identifier{};
    FormatMachineIdentifier(DeriveMachineIdentifier(cpuSignature, text), identifier);
    return std::string(identifier.data(), kIdentifierTextSize - 1);
}

// The three texts stay terminated, and the identifier is 64 hex digits: the
// one that belongs to the serial text obtained.
inline void ExpectSoundRun(const HwidRun& run) {
    const DiskIdentity& identity = run.facts.identity;
    ASSERT_TRUE(Terminated(identity.serialText)) << "serialText is not terminated";
    EXPECT_TRUE(Terminated(identity.modelText)) << "modelText is not terminated";
    EXPECT_TRUE(Terminated(identity.diagnosticText)) << "diagnosticText is not terminated";
    const std::string identifier(run.identifier.data(), kIdentifierTextSize - 1);
    EXPECT_EQ(run.identifier[kIdentifierTextSize - 1], '\0');
    EXPECT_TRUE(std::all_of(identifier.begin(), identifier.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    })) << identifier;
    EXPECT_EQ(identifier, IdentifierFor(run.facts.cpuSignature, TextOf(identity.serialText)));
}

}  // namespace hwid::test
