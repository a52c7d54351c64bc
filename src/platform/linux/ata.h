// ATA IDENTIFY and the SCSI unit serial number page through the Linux SCSI
// generic interface (SG_IO), and the HDIO_GET_IDENTITY fallback. The byte
// work (command blocks, sense data, string order) is in pure functions.
//
// A disk that stops answering must not hold a run for long: every SG_IO
// request takes its timeout from one budget per run (kDeviceWaitBudgetMs),
// less the second by which the block layer may round a deadline up, at most
// kRequestTimeoutCapMs each, and is charged the time it took on the
// monotonic clock. Once less than kShortestRequestMs would be left for a
// request, it fails with ERROR_SEM_TIMEOUT without being sent. The kernel's
// error handling of a request that timed out (abort, then resets if that
// fails) comes on top, for that one request: after it the budget is spent.
//
// The requests go to the disk's SCSI generic node (/dev/sgN) when it has one:
// SG_IO on a block node raises every timeout below 7 s to 7 s, the generic
// node keeps it. Without one (no sg driver) they go to the block node, and a
// request that is not answered waits those 7 s.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "hwid/windows_types.h"

namespace hwid::linux_backend {

inline constexpr std::size_t kIdentifySize = 512;

inline constexpr unsigned kDeviceWaitBudgetMs = 3000;
// The block layer checks deadlines on whole seconds: a request may time out
// up to this much after its timeout.
inline constexpr unsigned kDeadlineRoundingMs = 1000;
inline constexpr unsigned kRequestTimeoutCapMs = kDeviceWaitBudgetMs - kDeadlineRoundingMs;
// A shorter timeout would fail even a disk that answers, and add the kernel's
// abort to the wait.
inline constexpr unsigned kShortestRequestMs = 100;

// The device requests of one run: where the device nodes are, and how long
// the requests sent so far have waited.
struct DeviceRequests {
    const char* devRoot = "/dev";
    std::uint64_t spentNs = 0;
};

// The timeout for the next request: what is left of the budget less the
// deadline rounding, at most kRequestTimeoutCapMs; 0 when that is less than
// kShortestRequestMs and the request is not to be sent.
unsigned NextRequestTimeoutMs(const DeviceRequests& requests);

// The SCSI generic node of the SCSI device whose sysfs directory is
// deviceDir, opened read-only, when its scsi_generic entry names one under
// devRoot and that node is the character device the entry's dev attribute
// gives; -1 otherwise.
int OpenGenericNode(const char* deviceDir, const char* devRoot);
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

// Runs IDENTIFY DEVICE (0xEC) or IDENTIFY PACKET DEVICE (0xA1) on the disk
// whose block node is open as fd and whose SCSI device is deviceDir: ATA
// PASS-THROUGH(16) through SG_IO first (within the budget), HDIO_GET_IDENTITY
// on fd second (the kernel's copy: no request reaches the disk). Any other
// command is refused. Returns ERROR_SUCCESS with the 512 bytes in ATA order,
// else the Windows error code: ERROR_SEM_TIMEOUT when the pass-through timed
// out or was not sent for want of time and the kernel has no copy.
DWORD ReadIdentifyData(int fd, const char* deviceDir, std::uint8_t command, IdentifyData data,
                       DeviceRequests& requests);

// The unit serial number page (VPD 0x80) through INQUIRY, within the budget,
// on the same disk: the page bytes, header included, in page; its length, or
// 0 on failure.
std::size_t InquireUnitSerialPage(int fd, const char* deviceDir, std::span<std::uint8_t> page,
                                  DeviceRequests& requests);

}  // namespace hwid::linux_backend
