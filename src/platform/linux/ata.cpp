#include "platform/linux/ata.h"

#include <fcntl.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

#include "platform/linux/errors.h"
#include "platform/linux/sysfs.h"

namespace hwid::linux_backend {
namespace {

constexpr std::uint8_t kAtaPassThrough16 = 0x85;
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kProtocolPioDataIn = 4;
constexpr std::uint8_t kScsiGood = 0x00;
constexpr std::uint8_t kScsiCheckCondition = 0x02;
constexpr std::uint8_t kSenseNoSense = 0x00;
constexpr std::uint8_t kSenseRecoveredError = 0x01;
constexpr std::uint8_t kAtaStatusErr = 0x01;
constexpr std::uint8_t kAtaStatusDf = 0x20;
constexpr std::uint8_t kAtaStatusReturnDescriptor = 0x09;
// The driver status codes of the sg header live in bits 0-2; bit 3
// (DRIVER_SENSE) only says that sense data came back.
constexpr std::uint16_t kDriverStatusCodeMask = 0x07;
// The host status of a request that the SCSI midlayer timed out (DID_TIME_OUT).
constexpr std::uint16_t kHostTimedOut = 0x03;
constexpr std::uint64_t kNsPerMs = 1000000;

struct WordRange {
    std::size_t first;
    std::size_t last;
};
// Serial number, firmware revision, model number.
constexpr WordRange kStringWords[] = {{10, 19}, {23, 26}, {27, 46}};

bool IsStringWord(std::size_t word) {
    return std::any_of(std::begin(kStringWords), std::end(kStringWords),
                       [word](const WordRange& r) { return word >= r.first && word <= r.last; });
}

void SwapWord(IdentifyData data, std::size_t word) {
    std::swap(data[2 * word], data[2 * word + 1]);
}

// The ATA word 0 says whether the data is a packet device's; CompactFlash
// sets bit 15 too but marks itself with 0x848A.
bool MatchesCommand(IdentifyData data, std::uint8_t command) {
    constexpr std::uint16_t kCompactFlashSignature = 0x848A;
    const auto word0 = static_cast<std::uint16_t>(data[0] | data[1] << 8);
    const bool packet = (word0 & 0xC000) == 0x8000 && word0 != kCompactFlashSignature;
    return command == ATAPI_ID_CMD ? packet
                                   : (word0 & 0x8000) == 0 || word0 == kCompactFlashSignature;
}

ScsiOutcome OutcomeOf(const sg_io_hdr_t& header) {
    return {header.status, header.host_status, header.driver_status, header.resid};
}

// An SG_IO request that reads `data` from the device for `cdb`, with room for
// sense data; SendWithinBudget sets its timeout.
sg_io_hdr_t DataInRequest(std::span<std::uint8_t> cdb, std::span<std::uint8_t> data,
                          std::span<std::uint8_t, 64> sense) {
    sg_io_hdr_t header;
    std::memset(&header, 0, sizeof header);
    header.interface_id = 'S';
    header.dxfer_direction = SG_DXFER_FROM_DEV;
    header.cmd_len = static_cast<unsigned char>(cdb.size());
    header.mx_sb_len = static_cast<unsigned char>(sense.size());
    header.dxfer_len = static_cast<unsigned>(data.size());
    header.dxferp = data.data();
    header.cmdp = cdb.data();
    header.sbp = sense.data();
    return header;
}

bool MonotonicNs(std::uint64_t& ns) {
    timespec now{};
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return false;
    }
    ns = static_cast<std::uint64_t>(now.tv_sec) * 1000 * kNsPerMs +
         static_cast<std::uint64_t>(now.tv_nsec);
    return true;
}

// Sends the request, with a timeout from the budget, to the disk's generic
// node or else its block node fd, and charges the time it took. ERROR_SUCCESS
// when the device answered (its outcome is in header); ERROR_SEM_TIMEOUT
// when it did not answer in time, or, without sending, when the budget is
// spent; else the error of the call.
DWORD SendWithinBudget(int fd, const char* deviceDir, sg_io_hdr_t& header,
                       DeviceRequests& requests) {
    const unsigned timeoutMs = NextRequestTimeoutMs(requests);
    if (timeoutMs == 0) {
        return ERROR_SEM_TIMEOUT;
    }
    header.timeout = timeoutMs;
    const int generic = OpenGenericNode(deviceDir, requests.devRoot);
    std::uint64_t start = 0;
    const bool started = MonotonicNs(start);
    const int result = ::ioctl(generic >= 0 ? generic : fd, SG_IO, &header);
    const int error = errno;
    std::uint64_t end = 0;
    if (started && MonotonicNs(end) && end >= start) {
        requests.spentNs += end - start;
    } else {
        // Without a clock the request counts as having waited its whole time.
        requests.spentNs += (timeoutMs + kDeadlineRoundingMs) * kNsPerMs;
    }
    if (generic >= 0) {
        ::close(generic);
    }
    if (result != 0) {
        NoteCallFailure(error);
        return ErrnoToWindowsError(error);
    }
    return header.host_status == kHostTimedOut ? ERROR_SEM_TIMEOUT : ERROR_SUCCESS;
}

}  // namespace

std::array<std::uint8_t, 16> BuildAtaPassThroughCdb(std::uint8_t command) {
    std::array<std::uint8_t, 16> cdb{};
    cdb[0] = kAtaPassThrough16;
    cdb[1] = kProtocolPioDataIn << 1;  // MULTIPLE_COUNT 0, EXTEND 0
    // OFF_LINE 0, CK_COND 0, T_TYPE 0, T_DIR 1 (from the device), BYTE_BLOCK 1
    // (blocks), T_LENGTH 2 (the length is in the sector count).
    cdb[2] = 0x08 | 0x04 | 0x02;
    cdb[6] = 1;  // sector count: one 512-byte block
    cdb[14] = command;
    return cdb;
}

std::array<std::uint8_t, 6> BuildInquiryCdb(std::uint8_t page, std::uint16_t allocationLength) {
    return {kInquiry,
            0x01,  // EVPD
            page,
            static_cast<std::uint8_t>(allocationLength >> 8),
            static_cast<std::uint8_t>(allocationLength & 0xFF),
            0};
}

namespace {

// Fixed format (response codes 0x70, 0x71): sense key in byte 2, ASC and
// ASCQ in bytes 12 and 13.
void ParseFixedSense(std::span<const std::uint8_t> sense, SenseInfo& info) {
    if (sense.size() < 3) {
        return;
    }
    info.valid = true;
    info.senseKey = sense[2] & 0x0F;
    if (sense.size() < 14) {
        return;
    }
    info.asc = sense[12];
    info.ascq = sense[13];
    // ATA PASS-THROUGH INFORMATION AVAILABLE: the information field holds
    // ERROR, STATUS, DEVICE and COUNT.
    if (info.asc == 0x00 && info.ascq == 0x1D) {
        info.hasAtaRegisters = true;
        info.ataError = sense[3];
        info.ataStatus = sense[4];
    }
}

// The descriptors that follow a descriptor-format header, within the
// additional length (byte 7); the ATA Status Return one carries the registers.
void ParseSenseDescriptors(std::span<const std::uint8_t> sense, SenseInfo& info) {
    const std::size_t end = std::min(sense.size(), std::size_t{8} + sense[7]);
    for (std::size_t at = 8; at + 2 <= end;) {
        const std::uint8_t type = sense[at];
        const std::size_t length = sense[at + 1];
        if (at + 2 + length > end) {
            break;
        }
        if (type == kAtaStatusReturnDescriptor && length >= 12) {
            info.hasAtaRegisters = true;
            info.ataError = sense[at + 3];
            info.ataStatus = sense[at + 13];
        }
        at += 2 + length;
    }
}

// Descriptor format (response codes 0x72, 0x73): sense key, ASC and ASCQ in
// bytes 1 to 3, descriptors from byte 8.
void ParseDescriptorSense(std::span<const std::uint8_t> sense, SenseInfo& info) {
    if (sense.size() < 4) {
        return;
    }
    info.valid = true;
    info.senseKey = sense[1] & 0x0F;
    info.asc = sense[2];
    info.ascq = sense[3];
    if (sense.size() >= 8) {
        ParseSenseDescriptors(sense, info);
    }
}

}  // namespace

SenseInfo ParseSense(std::span<const std::uint8_t> sense) {
    SenseInfo info;
    if (sense.empty()) {
        return info;
    }
    info.responseCode = sense[0] & 0x7F;
    if (info.responseCode == 0x70 || info.responseCode == 0x71) {
        ParseFixedSense(sense, info);
    } else if (info.responseCode == 0x72 || info.responseCode == 0x73) {
        ParseDescriptorSense(sense, info);
    }
    return info;
}

bool AtaPassThroughSucceeded(const ScsiOutcome& outcome, std::span<const std::uint8_t> sense) {
    if (outcome.hostStatus != 0 || (outcome.driverStatus & kDriverStatusCodeMask) != 0 ||
        outcome.residual != 0) {
        return false;
    }
    const SenseInfo info = ParseSense(sense);
    if (outcome.status == kScsiGood) {
        return !(info.hasAtaRegisters && (info.ataStatus & (kAtaStatusErr | kAtaStatusDf)) != 0);
    }
    if (outcome.status != kScsiCheckCondition || !info.valid) {
        return false;
    }
    if (info.senseKey != kSenseNoSense && info.senseKey != kSenseRecoveredError) {
        return false;
    }
    return !(info.hasAtaRegisters && (info.ataStatus & (kAtaStatusErr | kAtaStatusDf)) != 0);
}

void HdioIdentityToAtaOrder(IdentifyData data) {
    for (std::size_t word = 0; word < kIdentifySize / 2; ++word) {
        // String bytes come in reading order whatever the host; the other
        // words are host-order numbers.
        if (IsStringWord(word) || std::endian::native == std::endian::big) {
            SwapWord(data, word);
        }
    }
}

bool IsAllZero(std::span<const std::uint8_t> data) {
    return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0; });
}

unsigned NextRequestTimeoutMs(const DeviceRequests& requests) {
    // Whole milliseconds, rounded down: the request, its deadline rounded up,
    // does not outlast the budget.
    constexpr std::uint64_t kUsableNs =
        std::uint64_t{kDeviceWaitBudgetMs - kDeadlineRoundingMs} * kNsPerMs;
    if (requests.spentNs >= kUsableNs) {
        return 0;
    }
    const std::uint64_t leftMs = (kUsableNs - requests.spentNs) / kNsPerMs;
    if (leftMs < kShortestRequestMs) {
        return 0;
    }
    return static_cast<unsigned>(std::min<std::uint64_t>(leftMs, kRequestTimeoutCapMs));
}

int OpenGenericNode(const char* deviceDir, const char* devRoot) {
    // One path after the other in the same buffer: paths live on the stack.
    Path path;
    Name name;
    char number[32];
    if (deviceDir[0] == '\0' || !FormatPath(path.text, "%s/scsi_generic", deviceDir) ||
        !SmallestEntry(path.text, nullptr, nullptr, name) ||
        !FormatPath(path.text, "%s/scsi_generic/%s/dev", deviceDir, name.text) ||
        ReadTextAttribute(path.text, number) == 0 ||
        !FormatPath(path.text, "%s/%s", devRoot, name.text)) {
        return -1;
    }
    const int fd = ::open(path.text, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        NoteCallFailure(errno);
        return -1;
    }
    struct stat info {};
    char actual[32];
    const bool known = ::fstat(fd, &info) == 0;
    if (!known) {
        NoteCallFailure(errno);
    }
    if (!known || !S_ISCHR(info.st_mode) ||
        !FormatPath(actual, "%u:%u", major(info.st_rdev), minor(info.st_rdev)) ||
        std::strcmp(actual, number) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

DWORD ReadIdentifyData(int fd, const char* deviceDir, std::uint8_t command, IdentifyData data,
                       DeviceRequests& requests) {
    if (command != ID_CMD && command != ATAPI_ID_CMD) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD error = ERROR_IO_DEVICE;

    std::array<std::uint8_t, 16> cdb = BuildAtaPassThroughCdb(command);
    std::uint8_t sense[64] = {};
    sg_io_hdr_t header = DataInRequest(cdb, std::span(data.data(), kIdentifySize), sense);
    std::fill(data.begin(), data.end(), std::uint8_t{0});
    const DWORD sent = SendWithinBudget(fd, deviceDir, header, requests);
    if (sent == ERROR_SUCCESS) {
        const std::size_t senseLength = std::min<std::size_t>(header.sb_len_wr, sizeof sense);
        if (AtaPassThroughSucceeded(OutcomeOf(header), std::span(sense, senseLength)) &&
            !IsAllZero(data)) {
            return ERROR_SUCCESS;
        }
    } else {
        error = sent;
    }

    // The kernel's own copy of the identify data, taken when the device was
    // probed (libata answers this on any ATA or ATAPI device).
    std::fill(data.begin(), data.end(), std::uint8_t{0});
    if (::ioctl(fd, HDIO_GET_IDENTITY, data.data()) != 0) {
        const int hdioError = errno;
        NoteCallFailure(hdioError);
        std::fill(data.begin(), data.end(), std::uint8_t{0});
        return error == ERROR_SEM_TIMEOUT ? error : ErrnoToWindowsError(hdioError);
    }
    HdioIdentityToAtaOrder(data);
    if (IsAllZero(data) || !MatchesCommand(data, command)) {
        std::fill(data.begin(), data.end(), std::uint8_t{0});
        return error;
    }
    return ERROR_SUCCESS;
}

std::size_t InquireUnitSerialPage(int fd, const char* deviceDir, std::span<std::uint8_t> page,
                                  DeviceRequests& requests) {
    const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(page.size(), 0xFF));
    std::array<std::uint8_t, 6> cdb = BuildInquiryCdb(0x80, length);
    std::uint8_t sense[64] = {};
    sg_io_hdr_t header = DataInRequest(cdb, page.first(length), sense);
    std::fill(page.begin(), page.end(), std::uint8_t{0});
    if (SendWithinBudget(fd, deviceDir, header, requests) != ERROR_SUCCESS) {
        return 0;
    }
    if (header.status != kScsiGood || header.host_status != 0 ||
        (header.driver_status & kDriverStatusCodeMask) != 0 || header.resid < 0 ||
        static_cast<unsigned>(header.resid) > length) {
        return 0;
    }
    return length - static_cast<std::size_t>(header.resid);
}

}  // namespace hwid::linux_backend
