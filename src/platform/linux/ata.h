// ATA IDENTIFY and the SCSI unit serial number page through the Linux SCSI
// generic interface (SG_IO), and the HDIO_GET_IDENTITY fallback. The byte
// work (command blocks, sense data, string order) is in pure functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "hwid/windows_types.h"

namespace hwid::linux_backend {

inline constexpr std::size_t kIdentifySize = 512;
using IdentifyData = std::span<std::uint8_t, kIdentifySize>;

// ATA PASS-THROUGH(16) for a PIO data-in command of one 512-byte block, the
// length taken from the sector count, no registers but the command, and
// CK_COND clear (with it set, AHCI reports an error although the data is
// right).
std::array<std::uint8_t, 16> BuildAtaPassThroughCdb(std::uint8_t command);

// INQUIRY with EVPD for one page.
std::array<std::uint8_t, 6> BuildInquiryCdb(std::uint8_t page, std::uint16_t allocationLength);

// What SCSI sense data says, fixed (0x70/0x71) or descriptor (0x72/0x73)
// format; with the ATA status and error registers when the sense carries
// them (descriptor 0x09, or fixed format with ASC/ASCQ 00/1D).
struct SenseInfo {
    bool valid = false;
    std::uint8_t responseCode = 0;
    std::uint8_t senseKey = 0;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    bool hasAtaRegisters = false;
    std::uint8_t ataStatus = 0;
    std::uint8_t ataError = 0;
};

SenseInfo ParseSense(std::span<const std::uint8_t> sense);

// The outcome of one SG_IO as the sg header reports it.
struct ScsiOutcome {
    std::uint8_t status = 0;  // SCSI status byte
    std::uint16_t hostStatus = 0;
    std::uint16_t driverStatus = 0;
    std::int32_t residual = 0;
};

// Whether an ATA pass-through command completed without error: GOOD status,
// or CHECK CONDITION whose sense is no error (NO SENSE / RECOVERED ERROR)
// and, when it carries ATA registers, shows neither ERR nor DF; no transport
// error and the whole transfer done.
bool AtaPassThroughSucceeded(const ScsiOutcome& outcome, std::span<const std::uint8_t> sense);

// HDIO_GET_IDENTITY hands the serial (words 10-19), firmware (23-26) and
// model (27-46) as byte strings, first character first; this puts them back
// in ATA word order (first character in the high byte of each little-endian
// word). The other words are in the host's order and are made little-endian.
void HdioIdentityToAtaOrder(IdentifyData data);

bool IsAllZero(std::span<const std::uint8_t> data);

// Runs IDENTIFY DEVICE (0xEC) or IDENTIFY PACKET DEVICE (0xA1) on the open
// node: ATA PASS-THROUGH(16) through SG_IO first, HDIO_GET_IDENTITY second.
// Any other command is refused. Returns ERROR_SUCCESS with the 512 bytes in
// ATA order, else the Windows error code.
DWORD ReadIdentifyData(int fd, std::uint8_t command, IdentifyData data);

// The unit serial number page (VPD 0x80) through INQUIRY on the open node:
// the page bytes, header included, in page; its length, or 0 on failure.
std::size_t InquireUnitSerialPage(int fd, std::span<std::uint8_t> page);

}  // namespace hwid::linux_backend
