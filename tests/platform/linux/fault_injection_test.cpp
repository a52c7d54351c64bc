// Fault injection: hwid's whole run (CollectMachineFacts, derivation,
// formatting) with one device operation at a time failed, cut short or
// answered with garbage.
//
// - Scripted back end: every kernel32 operation of both probes, from two
//   baseline conversations (SMART refuses the IDENTIFY request, so the storage
//   property probe runs too; SMART accepts it).
// - Linux back end over fixture trees: the test is linked with
//   -Wl,--wrap=open,--wrap=read,... so that the C library calls made by
//   the back end's objects land in the __wrap_* functions below. While a run is
//   armed, the injector counts the calls of each function and fails the k-th
//   one; ioctl also plays the disk behind the fixture's /dev node (SG_IO and
//   HDIO_GET_IDENTITY), and clock_gettime gives the disk's time when a test
//   sets its pace.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "hwid/disk_identity.h"
#include "hwid/machine_identifier.h"
#include "platform/linux/ata.h"
#include "platform/linux/device_services.h"
#include "support/disk_replies.h"
#include "support/fixture_tree.h"
#include "support/scripted_device_services.h"

// --- The injector behind the wrapped C library calls -------------------------

namespace hwid::fault {

enum class Function {
    kOpen,
    kRead,
    kFstat,
    kStat,
    kReadlink,
    kRealpath,
    kGetdents,
    kFopen,
    kFgets,
    kIoctl,
};
inline constexpr std::size_t kFunctionCount = 10;
inline constexpr const char* kFunctionNames[kFunctionCount] = {
    "open",     "read",       "fstat", "stat",  "readlink",
    "realpath", "getdents64", "fopen", "fgets", "ioctl"};

constexpr std::size_t IndexOf(Function function) {
    return static_cast<std::size_t>(function);
}

enum class Mode {
    kErrno,           // the call fails with `error`
    kShortRead,       // read: one byte at most; the rest comes with the next read
    kEndOfFile,       // read: 0, as if the file ended there
    kGarbage,         // read, fgets: what was read, replaced by random bytes;
                      // ioctl: success with random data
    kCheckCondition,  // SG_IO: the device's data, but CHECK CONDITION, MEDIUM ERROR
    kGarbageOutcome,  // SG_IO: the device's data with random status, host and
                      // driver status, residual, sense bytes and sense length
    kShortTransfer,   // SG_IO: half the data, the rest reported as residual
};

// What the disk behind the fixture's node answers.
struct Answers {
    bool ataIdentify = false;     // ATA PASS-THROUGH(16) with IDENTIFY DEVICE
    bool hdioIdentity = false;    // HDIO_GET_IDENTITY
    bool unitSerialPage = false;  // INQUIRY, VPD page 0x80
};

constexpr char kAtaSerial[] = "SIM-ATA-0001";
constexpr char kAtaModel[] = "SIM-ATA-DISK";
// The kernel's copy carries a serial of its own here, so that a run shows
// which path gave the serial.
constexpr char kHdioSerial[] = "SIM-HDIO-0001";
constexpr char kInquirySerial[] = "SIM-INQ-0001";

// How long the disk takes, on a clock of the test's own that the back end
// reads through clock_gettime. A request not answered within its timeout
// ends after the timeout, the block layer's rounding of its deadline and the
// kernel's abort.
inline constexpr unsigned kAbortMs = 250;

struct Pace {
    bool active = false;
    std::optional<unsigned> answerMs{};  // none: the disk never answers
    bool clockFails = false;
    std::uint64_t nowNs = 1000000000;
};

// What reached the disk during a run.
struct Seen {
    std::vector<unsigned> timeouts{};    // of each SG_IO, in order
    std::vector<bool> throughGeneric{};  // each SG_IO: sent to the generic node
    int evpdInquiries = 0;
};

struct Target {
    Function function = Function::kOpen;
    int index = 0;
    Mode mode = Mode::kErrno;
    int error = EIO;
    bool persistent = false;  // every later call of the function fails as well
};

struct State {
    bool armed = false;
    std::array<int, kFunctionCount> calls{};
    std::optional<Target> target{};
    int injected = 0;
    // A serial that an injected SG_IO refusal must have kept from the probes.
    std::string withheld{};
    std::mt19937 random{};
    Answers answers{};
    bool hasNode = false;
    dev_t nodeDevice = 0;
    ino_t nodeInode = 0;
    // The character device that stands for the disk's SCSI generic node.
    bool hasGeneric = false;
    dev_t genericDevice = 0;
    Pace pace{};
    Seen seen{};
};

State state;

void Arm(const std::optional<Target>& target, std::uint32_t seed) {
    state.calls.fill(0);
    state.target = target;
    state.injected = 0;
    state.withheld.clear();
    state.seen = Seen{};
    state.random.seed(seed);
    state.armed = true;
}

void Disarm() {
    state.armed = false;
}

// Counts the call; true when it is one to fail.
bool Strike(Function function) {
    if (!state.armed) {
        return false;
    }
    const int n = state.calls[IndexOf(function)]++;
    if (!state.target || state.target->function != function) {
        return false;
    }
    if (n == state.target->index || (state.target->persistent && n > state.target->index)) {
        ++state.injected;
        return true;
    }
    return false;
}

void FillRandom(void* buffer, std::size_t size) {
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(state.random() >> 24);
    }
}

constexpr std::size_t kIdentifyBytes = 512;

// IDENTIFY DEVICE data as the drive sends it: little-endian words, two
// characters a word, the first in the high byte.
std::vector<std::uint8_t> AtaIdentifyPage() {
    test::Words words = test::IdentifyWords(kAtaSerial, kAtaModel);
    words[0] = 0x0040;  // a fixed ATA device
    std::vector<std::uint8_t> page(kIdentifyBytes, 0);
    for (std::size_t i = 0; i < kIdentifyWordCount; ++i) {
        page[2 * i] = static_cast<std::uint8_t>(words[i] & 0xFF);
        page[2 * i + 1] = static_cast<std::uint8_t>(words[i] >> 8);
    }
    return page;
}

// The kernel's hd_driveid: the string fields as byte strings in reading
// order, the other words in the host's order.
std::vector<std::uint8_t> HdioIdentityPage() {
    std::vector<std::uint8_t> page(kIdentifyBytes, 0);
    const std::uint16_t word0 = 0x0040;
    std::memcpy(page.data(), &word0, sizeof word0);
    std::string serial = kHdioSerial;
    serial.resize(20, ' ');
    std::memcpy(page.data() + 20, serial.data(), serial.size());
    std::string model = kAtaModel;
    model.resize(40, ' ');
    std::memcpy(page.data() + 54, model.data(), model.size());
    return page;
}

std::vector<std::uint8_t> UnitSerialPage(const std::string& serial) {
    const std::string page =
        std::string{'\0', '\x80', '\0', static_cast<char>(serial.size())} + serial;
    return std::vector<std::uint8_t>(page.begin(), page.end());
}

// Fixed-format sense data with CHECK CONDITION status.
void CheckCondition(sg_io_hdr_t& header, std::uint8_t senseKey, std::uint8_t asc) {
    std::uint8_t sense[18] = {};
    sense[0] = 0x70;
    sense[2] = senseKey;
    sense[7] = 10;
    sense[12] = asc;
    const std::size_t n = std::min<std::size_t>(sizeof sense, header.mx_sb_len);
    if (header.sbp != nullptr) {
        std::memcpy(header.sbp, sense, n);
    }
    header.sb_len_wr = static_cast<unsigned char>(n);
    header.status = 0x02;
    header.masked_status = 0x01;
    header.driver_status = 0x08;  // DRIVER_SENSE
}

constexpr std::uint8_t kIllegalRequest = 0x05;
constexpr std::uint8_t kMediumError = 0x03;

// Advances the test's clock by what the request takes; false when the disk
// does not answer it in time (the midlayer's DID_TIME_OUT).
bool PassTime(sg_io_hdr_t& header) {
    const Pace& pace = state.pace;
    const bool answers = pace.answerMs.has_value() && *pace.answerMs <= header.timeout;
    const std::uint64_t tookMs =
        answers ? *pace.answerMs
                : std::uint64_t{header.timeout} + linux_backend::kDeadlineRoundingMs + kAbortMs;
    state.pace.nowNs += tookMs * 1000000;
    return answers;
}

int SimulateSgIo(sg_io_hdr_t& header, bool strike) {
    const unsigned char* request = header.cmdp;
    state.seen.timeouts.push_back(header.timeout);
    if (request != nullptr && header.cmd_len >= 6 && request[0] == 0x12 && (request[1] & 1) != 0) {
        ++state.seen.evpdInquiries;
    }
    if (state.pace.active && !PassTime(header)) {
        header.status = 0;
        header.host_status = 0x03;  // DID_TIME_OUT
        header.driver_status = 0;
        header.sb_len_wr = 0;
        header.resid = static_cast<int>(header.dxfer_len);
        return 0;
    }
    const Mode mode = strike ? state.target->mode : Mode::kErrno;
    if (strike && mode == Mode::kErrno) {
        errno = state.target->error;
        return -1;
    }
    const unsigned char* cdb = header.cmdp;
    std::vector<std::uint8_t> answer;
    std::string serial;
    bool ata = false;
    if (cdb != nullptr && header.cmd_len >= 16 && cdb[0] == 0x85 && cdb[14] == ID_CMD &&
        state.answers.ataIdentify) {
        answer = AtaIdentifyPage();
        serial = kAtaSerial;
        ata = true;
    } else if (cdb != nullptr && header.cmd_len >= 6 && cdb[0] == 0x12 && (cdb[1] & 1) != 0 &&
               cdb[2] == 0x80 && state.answers.unitSerialPage) {
        answer = UnitSerialPage(kInquirySerial);
        serial = kInquirySerial;
    }
    header.status = 0;
    header.masked_status = 0;
    header.msg_status = 0;
    header.host_status = 0;
    header.driver_status = 0;
    header.sb_len_wr = 0;
    header.duration = 1;
    header.info = 0;
    auto* data = static_cast<std::uint8_t*>(header.dxferp);
    if (answer.empty()) {
        // The device does not know the command.
        CheckCondition(header, kIllegalRequest, 0x20);
        header.resid = static_cast<int>(header.dxfer_len);
        return 0;
    }
    std::size_t n = std::min<std::size_t>(answer.size(), header.dxfer_len);
    if (strike && mode == Mode::kShortTransfer) {
        // Past what the residual admits, the buffer holds printable junk.
        n /= 2;
        for (std::size_t i = n; i < header.dxfer_len; ++i) {
            data[i] = static_cast<std::uint8_t>('!' + state.random() % 94);
        }
    }
    if (strike && mode == Mode::kGarbage) {
        n = header.dxfer_len;
        FillRandom(data, n);
    } else {
        std::memcpy(data, answer.data(), n);
    }
    header.resid = static_cast<int>(header.dxfer_len - n);
    if (!strike) {
        return 0;
    }
    switch (mode) {
        case Mode::kCheckCondition:
            CheckCondition(header, kMediumError, 0x11);
            state.withheld = serial;
            break;
        case Mode::kGarbageOutcome:
            header.status = static_cast<unsigned char>(state.random());
            header.host_status = static_cast<unsigned short>(state.random() & 0x3);
            header.driver_status = static_cast<unsigned short>(state.random() & 0xF);
            header.resid = static_cast<int>(state.random() % 3 == 0 ? state.random() : 0);
            if (header.sbp != nullptr) {
                FillRandom(header.sbp, header.mx_sb_len);
            }
            header.sb_len_wr = static_cast<unsigned char>(state.random());
            break;
        case Mode::kShortTransfer:
            if (ata) {
                state.withheld = serial;
            }
            break;
        default:
            break;
    }
    return 0;
}

int SimulateHdio(void* argument, bool strike) {
    if (strike && state.target->mode == Mode::kGarbage) {
        FillRandom(argument, kIdentifyBytes);
        return 0;
    }
    if (strike) {
        errno = state.target->error;
        return -1;
    }
    if (!state.answers.hdioIdentity) {
        errno = ENOTTY;
        return -1;
    }
    const std::vector<std::uint8_t> page = HdioIdentityPage();
    std::memcpy(argument, page.data(), page.size());
    return 0;
}

}  // namespace hwid::fault

// The linker sends the back end's calls here (-Wl,--wrap=NAME); __real_NAME is
// the C library's function.
extern "C" {
int __real_open(const char* path, int flags, ...);
ssize_t __real_read(int fd, void* buffer, size_t size);
int __real_fstat(int fd, struct stat* info);
int __real_stat(const char* path, struct stat* info);
ssize_t __real_readlink(const char* path, char* buffer, size_t size);
char* __real_realpath(const char* path, char* resolved);
ssize_t __real_getdents64(int fd, void* buffer, size_t size);
FILE* __real_fopen(const char* path, const char* mode);
char* __real_fgets(char* text, int size, FILE* stream);
int __real_ioctl(int fd, unsigned long request, ...);
int __real_clock_gettime(clockid_t clock, struct timespec* time);

int __wrap_clock_gettime(clockid_t clock, struct timespec* time) {
    const hwid::fault::Pace& pace = hwid::fault::state.pace;
    if (!hwid::fault::state.armed || !pace.active) {
        return __real_clock_gettime(clock, time);
    }
    if (pace.clockFails) {
        errno = EINVAL;
        return -1;
    }
    time->tv_sec = static_cast<time_t>(pace.nowNs / 1000000000);
    time->tv_nsec = static_cast<long>(pace.nowNs % 1000000000);
    return 0;
}

int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list arguments;
        va_start(arguments, flags);
        mode = va_arg(arguments, mode_t);
        va_end(arguments);
    }
    if (hwid::fault::Strike(hwid::fault::Function::kOpen)) {
        errno = hwid::fault::state.target->error;
        return -1;
    }
    return __real_open(path, flags, mode);
}

ssize_t __wrap_read(int fd, void* buffer, size_t size) {
    using hwid::fault::Mode;
    if (!hwid::fault::Strike(hwid::fault::Function::kRead)) {
        return __real_read(fd, buffer, size);
    }
    switch (hwid::fault::state.target->mode) {
        case Mode::kShortRead:
            return __real_read(fd, buffer, std::min<size_t>(size, 1));
        case Mode::kEndOfFile:
            return 0;
        case Mode::kGarbage: {
            const ssize_t got = __real_read(fd, buffer, size);
            hwid::fault::FillRandom(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
            return got;
        }
        default:
            errno = hwid::fault::state.target->error;
            return -1;
    }
}

int __wrap_fstat(int fd, struct stat* info) {
    if (hwid::fault::Strike(hwid::fault::Function::kFstat)) {
        errno = hwid::fault::state.target->error;
        return -1;
    }
    return __real_fstat(fd, info);
}

int __wrap_stat(const char* path, struct stat* info) {
    if (hwid::fault::Strike(hwid::fault::Function::kStat)) {
        errno = hwid::fault::state.target->error;
        return -1;
    }
    return __real_stat(path, info);
}

ssize_t __wrap_readlink(const char* path, char* buffer, size_t size) {
    if (hwid::fault::Strike(hwid::fault::Function::kReadlink)) {
        errno = hwid::fault::state.target->error;
        return -1;
    }
    return __real_readlink(path, buffer, size);
}

char* __wrap_realpath(const char* path, char* resolved) {
    if (hwid::fault::Strike(hwid::fault::Function::kRealpath)) {
        errno = hwid::fault::state.target->error;
        return nullptr;
    }
    return __real_realpath(path, resolved);
}

ssize_t __wrap_getdents64(int fd, void* buffer, size_t size) {
    if (hwid::fault::Strike(hwid::fault::Function::kGetdents)) {
        errno = hwid::fault::state.target->error;
        return -1;
    }
    return __real_getdents64(fd, buffer, size);
}

FILE* __wrap_fopen(const char* path, const char* mode) {
    if (hwid::fault::Strike(hwid::fault::Function::kFopen)) {
        errno = hwid::fault::state.target->error;
        return nullptr;
    }
    return __real_fopen(path, mode);
}

char* __wrap_fgets(char* text, int size, FILE* stream) {
    if (!hwid::fault::Strike(hwid::fault::Function::kFgets)) {
        return __real_fgets(text, size, stream);
    }
    if (hwid::fault::state.target->mode != hwid::fault::Mode::kGarbage) {
        errno = hwid::fault::state.target->error;
        return nullptr;
    }
    char* got = __real_fgets(text, size, stream);
    if (got != nullptr) {
        // Random bytes in place of the line's, none of them a terminator.
        for (char* c = got; *c != '\0'; ++c) {
            *c = static_cast<char>(1 + hwid::fault::state.random() % 255);
        }
    }
    return got;
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    using hwid::fault::state;
    if (!state.armed) {
        return __real_ioctl(fd, request, argument);
    }
    const bool strike = hwid::fault::Strike(hwid::fault::Function::kIoctl);
    struct stat info {};
    const bool known = __real_fstat(fd, &info) == 0;
    const bool onNode =
        state.hasNode && known && info.st_dev == state.nodeDevice && info.st_ino == state.nodeInode;
    const bool onGeneric =
        state.hasGeneric && known && S_ISCHR(info.st_mode) && info.st_rdev == state.genericDevice;
    if ((onNode || onGeneric) && request == SG_IO) {
        state.seen.throughGeneric.push_back(onGeneric);
        return hwid::fault::SimulateSgIo(*static_cast<sg_io_hdr_t*>(argument), strike);
    }
    if (onNode && request == HDIO_GET_IDENTITY) {
        return hwid::fault::SimulateHdio(argument, strike);
    }
    if (strike) {
        errno = state.target->error;
        return -1;
    }
    return __real_ioctl(fd, request, argument);
}
}  // extern "C"

namespace hwid {
namespace {

using test::TextOf;

// --- Shared: one run as hwid makes it, and what must hold afterwards ----------

constexpr char kOpenFailureText[] =
    "231 ReadPhysicalDriveInNTWithZeroRights ERROR CreateFileA(\\\\.\\PhysicalDrive0) returned "
    "INVALID_HANDLE_VALUE";
constexpr char kGeometryFailureText[] =
    "\\\\.\\PhysicalDrive0 ReadPhysicalDriveInNTWithZeroRights ERROR DeviceIoControl(), "
    "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX) returned 0";
constexpr char kPropertyFailurePrefix[] = "DeviceIOControl IOCTL_STORAGE_QUERY_PROPERTY error = ";

std::string PropertyFailureText(DWORD error) {
    return kPropertyFailurePrefix + std::to_string(static_cast<std::int32_t>(error)) + "\n";
}

// A processor with leaves 0 to 2.
void FixedCpuid(std::uint32_t leaf, CpuidRegisters& registers) {
    registers = {leaf == 0 ? 2u : 0x000306C3u + leaf, 0x756E6547u, 0x6C65746Eu ^ leaf,
                 0x49656E69u + 7 * leaf};
}

struct HwidRun {
    MachineFacts facts;
    std::array<char, kIdentifierTextSize> identifier;
};

// What hwid's main does, on a record that starts out as stack garbage would.
void RunHwid(DeviceServices& services, HwidRun& run) {
    std::memset(&run.facts, 0xA5, sizeof run.facts);
    run.identifier.fill('?');
    CollectMachineFacts(run.facts, services, FixedCpuid);
    const MixedBlocks blocks =
        DeriveMachineIdentifier(run.facts.cpuSignature, run.facts.identity.serialText);
    FormatMachineIdentifier(blocks, run.identifier);
}

template <std::size_t N>
bool Terminated(const std::array<char, N>& field) {
    return std::find(field.begin(), field.end(), '\0') != field.end();
}

template <std::size_t N>
std::string BytesOf(const std::array<char, N>& field) {
    return std::string(field.begin(), field.end());
}

// The identifier for a serial text, from a clean record.
std::string IdentifierFor(std::uint32_t cpuSignature, const std::string& serial) {
    std::array<char, kTextFieldSize> text{};
    std::copy(serial.begin(), serial.end(), text.begin());
    std::array<char, kIdentifierTextSize> identifier{};
    FormatMachineIdentifier(DeriveMachineIdentifier(cpuSignature, text), identifier);
    return std::string(identifier.data(), kIdentifierTextSize - 1);
}

// The three texts stay terminated, and the identifier is 64 hex digits: the
// one that belongs to the serial text obtained.
void ExpectSoundRun(const HwidRun& run) {
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

// --- Scripted back end ---------------------------------------------------------

constexpr char kSmartSerial[] = "SSN-0001";
constexpr char kSmartModel[] = "SMART-MODEL";
constexpr char kDescriptorSerial[] = "DSN-0001";
constexpr char kDescriptorProduct[] = "DESC MODEL";
constexpr char kDescriptorVendor[] = "VENDOR";
constexpr char kDescriptorRevision[] = "1.0";
// The descriptor's strings follow one another from byte 64, each with its
// terminator; the serial comes last.
constexpr std::size_t kDescriptorSerialAt =
    64 + sizeof kDescriptorVendor + sizeof kDescriptorProduct + sizeof kDescriptorRevision;
constexpr std::uint32_t kGarbageSeed = 20240607;

std::vector<std::uint8_t> Garbage(std::size_t size) {
    std::mt19937 engine(kGarbageSeed);
    std::vector<std::uint8_t> bytes(size);
    for (std::uint8_t& b : bytes) {
        b = static_cast<std::uint8_t>(engine() >> 24);
    }
    return bytes;
}

// The serial's string runs up to the reply's last byte with no zero after it.
std::vector<std::uint8_t> SerialUpToTheEnd() {
    std::vector<std::uint8_t> bytes = test::DescriptorReplyBytes({});
    const std::string serial = "ABCDEFGHIJ";
    test::PutOffset(bytes, 24, static_cast<std::uint32_t>(kDescriptorReplySize - serial.size()));
    std::copy(serial.begin(), serial.end(),
              bytes.end() - static_cast<std::ptrdiff_t>(serial.size()));
    return bytes;
}

// Offsets at the end of the reply, past it, and with the top bit set.
std::vector<std::uint8_t> OffsetsOutOfRange() {
    std::vector<std::uint8_t> bytes = test::DescriptorReplyBytes({});
    test::PutOffset(bytes, 12, static_cast<std::uint32_t>(kDescriptorReplySize - 1));
    test::PutOffset(bytes, 16, static_cast<std::uint32_t>(kDescriptorReplySize));
    test::PutOffset(bytes, 20, 0xFFFFFFFF);
    test::PutOffset(bytes, 24, 0x80000040);
    for (std::size_t i = 64; i < kDescriptorReplySize - 1; ++i) {
        bytes[i] = 'A';
    }
    return bytes;
}

std::vector<std::uint8_t> VersionWithoutDeviceMap() {
    return test::VersionReply(0);
}

enum class Step {
    kNone,
    kVersionInfo,    // GetVersionExW
    kSmartOpen,      // the SMART probe's CreateFileA
    kPropertyOpen,   // the storage property probe's CreateFileA
    kSmartVersion,   // SMART_GET_VERSION
    kSmartIdentify,  // SMART_RCV_DRIVE_DATA
    kProperty,       // IOCTL_STORAGE_QUERY_PROPERTY
    kGeometry,       // IOCTL_DISK_GET_DRIVE_GEOMETRY_EX
};

enum class Fault {
    kFail,              // fails: an open gives INVALID_HANDLE_VALUE, GetVersionExW
                        // writes nothing, a request returns 0 with no bytes
    kFailWritingReply,  // a request returns 0 after writing its usual reply
    kOtherPlatform,     // GetVersionExW reports the Windows 9x platform
    kEmpty,             // succeeds with 0 bytes
    kCut,               // succeeds with the first `size` bytes of its usual reply
    kGarbage,           // succeeds with `size` random bytes
    kGarbageAfter,      // succeeds with its usual reply, random from byte `size` on
    kReplace,           // succeeds with the bytes that `replacement` gives
};

struct Injection {
    Step step = Step::kNone;
    Fault fault = Fault::kFail;
    std::size_t size = 0;
    DWORD error = ERROR_GEN_FAILURE;
    std::vector<std::uint8_t> (*replacement)() = nullptr;
};

enum class Diagnostic { kUnchanged, kZeroed, kOpenFailure, kPropertyFailure, kGeometryFailure };

struct ScriptedCase {
    const char* name;
    bool smartAccepts;  // the baseline: SMART_RCV_DRIVE_DATA answers, or is refused
    std::vector<Injection> injections;
    std::optional<std::string> serial;  // none: garbage in, only soundness checked
    std::optional<std::string> model;
    int opens;                    // CreateFileA calls
    std::vector<DWORD> requests;  // control codes sent, in order
    Diagnostic diagnostic;
    DWORD propertyError = 0;  // the number in the property request's message
};

std::map<DWORD, test::ScriptedReply> UsualReplies(bool smartAccepts) {
    std::map<DWORD, test::ScriptedReply> replies;
    replies[SMART_GET_VERSION] = {.result = 1, .bytes = test::VersionReply(0x01)};
    replies[SMART_RCV_DRIVE_DATA] =
        smartAccepts ? test::ScriptedReply{.result = 1,
                                           .bytes = test::IdentifyReply(
                                               test::IdentifyWords(kSmartSerial, kSmartModel))}
                     : test::ScriptedReply{.result = 0, .error = ERROR_INVALID_FUNCTION};
    replies[IOCTL_STORAGE_QUERY_PROPERTY] = {
        .result = 1,
        .bytes = test::DescriptorReplyBytes({.vendor = kDescriptorVendor,
                                             .product = kDescriptorProduct,
                                             .revision = kDescriptorRevision,
                                             .serial = kDescriptorSerial})};
    replies[IOCTL_DISK_GET_DRIVE_GEOMETRY_EX] = {.result = 1,
                                                 .bytes = std::vector<std::uint8_t>(32, 0x11)};
    return replies;
}

void Apply(test::ScriptedReply& reply, const Injection& injection) {
    switch (injection.fault) {
        case Fault::kFail:
            reply = {.result = 0, .error = injection.error};
            break;
        case Fault::kFailWritingReply:
            reply.result = 0;
            reply.error = injection.error;
            break;
        case Fault::kEmpty:
            reply = {.result = 1};
            break;
        case Fault::kCut:
            reply.result = 1;
            reply.bytes.resize(injection.size);
            break;
        case Fault::kGarbage:
            reply = {.result = 1, .bytes = Garbage(injection.size)};
            break;
        case Fault::kGarbageAfter: {
            reply.result = 1;
            const std::vector<std::uint8_t> random = Garbage(reply.bytes.size());
            std::copy(random.begin() + static_cast<std::ptrdiff_t>(injection.size), random.end(),
                      reply.bytes.begin() + static_cast<std::ptrdiff_t>(injection.size));
            break;
        }
        case Fault::kReplace:
            reply = {.result = 1, .bytes = injection.replacement()};
            break;
        case Fault::kOtherPlatform:
            ADD_FAILURE() << "not a fault of a device request";
            break;
    }
}

void Script(test::ScriptedDeviceServices& services, const ScriptedCase& c) {
    std::array<test::ScriptedOpen, 2> opens{};  // the SMART probe's, then the other's
    std::map<DWORD, test::ScriptedReply> replies = UsualReplies(c.smartAccepts);
    for (const Injection& injection : c.injections) {
        switch (injection.step) {
            case Step::kNone:
                break;
            case Step::kVersionInfo:
                if (injection.fault == Fault::kOtherPlatform) {
                    services.platformId = VER_PLATFORM_WIN32_WINDOWS;
                } else {
                    services.versionFails = true;
                }
                break;
            case Step::kSmartOpen:
                opens[0] = {.succeeds = false, .error = injection.error};
                break;
            case Step::kPropertyOpen:
                opens[1] = {.succeeds = false, .error = injection.error};
                break;
            case Step::kSmartVersion:
                Apply(replies[SMART_GET_VERSION], injection);
                break;
            case Step::kSmartIdentify:
                Apply(replies[SMART_RCV_DRIVE_DATA], injection);
                break;
            case Step::kProperty:
                Apply(replies[IOCTL_STORAGE_QUERY_PROPERTY], injection);
                break;
            case Step::kGeometry:
                Apply(replies[IOCTL_DISK_GET_DRIVE_GEOMETRY_EX], injection);
                break;
        }
    }
    services.opens.assign(opens.begin(), opens.end());
    for (auto& [code, reply] : replies) {
        services.Reply(code, reply);
    }
}

void ExpectBalanced(const test::ScriptedDeviceServices& services) {
    EXPECT_EQ(services.opened, services.closed);
    EXPECT_EQ(services.OpenCount(), 0u);
    EXPECT_EQ(services.badCloses, 0);
    EXPECT_EQ(services.unknownUses, 0);
    EXPECT_LE(services.maxOpenAtOnce, 1);
}

std::vector<DWORD> RequestsOf(const test::ScriptedDeviceServices& services) {
    std::vector<DWORD> codes;
    for (const test::RecordedCall& call : services.CallsOf(test::Operation::DeviceIoControl)) {
        codes.push_back(call.controlCode);
    }
    return codes;
}

// All 256 bytes that the failure tables leave; `before` is what the field
// held when the run began.
std::string ExpectedDiagnostic(const ScriptedCase& c, const std::string& before) {
    std::string text;
    switch (c.diagnostic) {
        case Diagnostic::kUnchanged:
            return before;
        case Diagnostic::kZeroed:
            break;
        case Diagnostic::kOpenFailure:
            text = kOpenFailureText;
            break;
        case Diagnostic::kPropertyFailure:
            text = PropertyFailureText(c.propertyError);
            break;
        case Diagnostic::kGeometryFailure:
            text = kGeometryFailureText;
            break;
    }
    text.resize(kDiagnosticSize, '\0');
    return text;
}

constexpr DWORD kV = SMART_GET_VERSION;
constexpr DWORD kR = SMART_RCV_DRIVE_DATA;
constexpr DWORD kQ = IOCTL_STORAGE_QUERY_PROPERTY;
constexpr DWORD kG = IOCTL_DISK_GET_DRIVE_GEOMETRY_EX;
constexpr bool kRefuses = false;
constexpr bool kAccepts = true;
// An NTSTATUS-like code: negative as a signed number.
constexpr DWORD kNegativeError = 0xC0000010;

const ScriptedCase kScriptedCases[] = {
    // The two baselines.
    {"RefusedIdentifyBaseline",
     kRefuses,
     {},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"AcceptedIdentifyBaseline",
     kAccepts,
     {},
     kSmartSerial,
     kSmartModel,
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // GetVersionExW: no probe runs.
    {"VersionInfoFails",
     kAccepts,
     {{.step = Step::kVersionInfo}},
     "",
     "",
     0,
     {},
     Diagnostic::kUnchanged},
    {"OtherPlatform",
     kRefuses,
     {{.step = Step::kVersionInfo, .fault = Fault::kOtherPlatform}},
     "",
     "",
     0,
     {},
     Diagnostic::kUnchanged},
    // CreateFileA.
    {"SmartOpenFails",
     kAccepts,
     {{.step = Step::kSmartOpen}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kQ, kG},
     Diagnostic::kZeroed},
    {"PropertyOpenFails",
     kRefuses,
     {{.step = Step::kPropertyOpen}},
     "",
     "",
     2,
     {kV, kR},
     Diagnostic::kOpenFailure},
    {"BothOpensFail",
     kRefuses,
     {{.step = Step::kSmartOpen}, {.step = Step::kPropertyOpen, .error = ERROR_ACCESS_DENIED}},
     "",
     "",
     2,
     {},
     Diagnostic::kOpenFailure},
    // SMART_GET_VERSION.
    {"VersionRequestFails",
     kAccepts,
     {{.step = Step::kSmartVersion}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kQ, kG},
     Diagnostic::kZeroed},
    {"VersionRequestFailsAfterWritingTheMap",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kFailWritingReply}},
     kSmartSerial,
     kSmartModel,
     1,
     {kV, kR},
     Diagnostic::kZeroed},
    {"VersionReplyWithoutDeviceMap",
     kAccepts,
     {{.step = Step::kSmartVersion,
       .fault = Fault::kReplace,
       .replacement = VersionWithoutDeviceMap}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kQ, kG},
     Diagnostic::kZeroed},
    {"VersionReplyEmpty",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kEmpty}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kQ, kG},
     Diagnostic::kZeroed},
    {"VersionReplyCutBeforeTheMap",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kCut, .size = 3}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kQ, kG},
     Diagnostic::kZeroed},
    {"VersionReplyCutAfterTheMap",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kCut, .size = 4}},
     kSmartSerial,
     kSmartModel,
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // The seed's byte 3, the device map, is not zero.
    {"VersionReplyGarbage",
     kAccepts,
     {{.step = Step::kSmartVersion, .fault = Fault::kGarbage, .size = 24}},
     kSmartSerial,
     kSmartModel,
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // SMART_RCV_DRIVE_DATA.
    {"IdentifyFails",
     kAccepts,
     {{.step = Step::kSmartIdentify}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"IdentifyFailsAfterWritingTheReply",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kFailWritingReply}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"IdentifyReplyEmpty",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kEmpty}},
     "",
     "",
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    {"IdentifyReplyHeaderOnly",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kCut, .size = 16}},
     "",
     "",
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // Words 10 to 12 arrive: the serial's first six characters.
    {"IdentifyReplyCutInsideTheSerial",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kCut, .size = 16 + 2 * 13}},
     "SSN-00",
     "",
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    {"IdentifyReplyGarbage",
     kAccepts,
     {{.step = Step::kSmartIdentify, .fault = Fault::kGarbage, .size = kSmartReplySize}},
     std::nullopt,
     std::nullopt,
     1,
     {kV, kR},
     Diagnostic::kUnchanged},
    // IOCTL_STORAGE_QUERY_PROPERTY.
    {"PropertyRequestFails",
     kRefuses,
     {{.step = Step::kProperty, .error = 50}},
     "",
     "",
     2,
     {kV, kR, kQ},
     Diagnostic::kPropertyFailure,
     50},
    {"PropertyRequestFailsWithANegativeCode",
     kRefuses,
     {{.step = Step::kProperty, .error = kNegativeError}},
     "",
     "",
     2,
     {kV, kR, kQ},
     Diagnostic::kPropertyFailure,
     kNegativeError},
    {"PropertyRequestFailsAfterWritingTheReply",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kFailWritingReply, .error = 1}},
     "",
     "",
     2,
     {kV, kR, kQ},
     Diagnostic::kPropertyFailure,
     1},
    {"PropertyReplyEmpty",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kEmpty}},
     "",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyReplyCutInsideTheOffsets",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kCut, .size = 20}},
     "",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyReplyCutInsideTheSerial",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kCut, .size = kDescriptorSerialAt + 3}},
     "DSN",
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyReplyGarbage",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kGarbage, .size = kDescriptorReplySize}},
     std::nullopt,
     std::nullopt,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyReplyGarbageStrings",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kGarbageAfter, .size = 64}},
     std::nullopt,
     std::nullopt,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertySerialRunsToTheEndOfTheReply",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kReplace, .replacement = SerialUpToTheEnd}},
     "ABCDEFGHIJ",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"PropertyOffsetsOutOfRange",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kReplace, .replacement = OffsetsOutOfRange}},
     "",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    // IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: the message, and the serial stays.
    {"GeometryFails",
     kRefuses,
     {{.step = Step::kGeometry}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kGeometryFailure},
    {"GeometryFailsAfterARejectedSerial",
     kRefuses,
     {{.step = Step::kProperty, .fault = Fault::kEmpty}, {.step = Step::kGeometry}},
     "",
     "",
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kGeometryFailure},
    {"GeometryReplyEmpty",
     kRefuses,
     {{.step = Step::kGeometry, .fault = Fault::kEmpty}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    {"GeometryReplyGarbage",
     kRefuses,
     {{.step = Step::kGeometry, .fault = Fault::kGarbage, .size = kDescriptorReplySize}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kV, kR, kQ, kG},
     Diagnostic::kUnchanged},
    // Two failures, the later message wins.
    {"SmartOpenAndPropertyRequestFail",
     kAccepts,
     {{.step = Step::kSmartOpen}, {.step = Step::kProperty, .error = 21}},
     "",
     "",
     2,
     {kQ},
     Diagnostic::kPropertyFailure,
     21},
    {"SmartOpenAndGeometryFail",
     kAccepts,
     {{.step = Step::kSmartOpen}, {.step = Step::kGeometry}},
     kDescriptorSerial,
     kDescriptorProduct,
     2,
     {kQ, kG},
     Diagnostic::kGeometryFailure},
};

void PrintTo(const ScriptedCase& c, std::ostream* out) {
    *out << c.name;
}

class ScriptedFaults : public testing::TestWithParam<ScriptedCase> {};

TEST_P(ScriptedFaults, KeepHandlesBalancedAndLeaveWhatTheFailureTablesSay) {
    const ScriptedCase& c = GetParam();

    // As hwid runs: the driver zero-fills the texts first.
    test::ScriptedDeviceServices services;
    Script(services, c);
    HwidRun run;
    RunHwid(services, run);
    ExpectBalanced(services);
    ExpectSoundRun(run);
    const DiskIdentity& identity = run.facts.identity;
    if (c.serial) {
        EXPECT_EQ(TextOf(identity.serialText), *c.serial);
    }
    if (c.model) {
        EXPECT_EQ(TextOf(identity.modelText), *c.model);
    }
    EXPECT_EQ(static_cast<int>(services.CallsOf(test::Operation::CreateFileA).size()), c.opens);
    EXPECT_EQ(RequestsOf(services), c.requests);
    EXPECT_EQ(BytesOf(identity.diagnosticText), ExpectedDiagnostic(c, std::string(256, '\0')));

    // Once more with an old message in diagnosticText, longer than any new
    // one: zero-filled, unchanged and overwritten differ.
    test::ScriptedDeviceServices again;
    Script(again, c);
    DiskIdentity record{};
    test::PutText(record.diagnosticText, std::string(kDiagnosticSize - 1, 'x'));
    record.smartReply.fill(0xEE);
    const std::string before = BytesOf(record.diagnosticText);
    CollectDiskIdentity(record, again);
    ExpectBalanced(again);
    EXPECT_EQ(BytesOf(record.diagnosticText), ExpectedDiagnostic(c, before));
    EXPECT_EQ(TextOf(record.serialText), TextOf(identity.serialText));
}

INSTANTIATE_TEST_SUITE_P(Cases, ScriptedFaults, testing::ValuesIn(kScriptedCases),
                         [](const testing::TestParamInfo<ScriptedCase>& param) {
                             return param.param.name;
                         });

// --- Linux back end: fixture trees -------------------------------------------------

using fault::Function;
using fault::kFunctionCount;
using fault::kFunctionNames;
using fault::Mode;

using test::Tree;

// The root file system on the given device number.
void RootOn(const Tree& tree, const std::string& number, const std::string& source) {
    tree.Mountinfo(
        "21 27 0:20 / /proc rw,relatime - proc proc rw\n"
        "27 1 " +
        number + " / / rw,relatime shared:1 - ext4 " + source + " rw\n" +
        "28 27 0:25 / /tmp rw - tmpfs tmpfs rw\n");
}

constexpr char kAtaPath[] = "pci0/ata1/host0/target0:0:0/0:0:0:0";
constexpr char kSysfsUnitSerial[] = "SIM-VPD-0001";
constexpr char kNvmeSerial[] = "NVME-SN-0001";

std::string UnitSerialFile(const std::string& serial) {
    const std::vector<std::uint8_t> page = fault::UnitSerialPage(serial);
    return std::string(page.begin(), page.end());
}

void BuildSata(const Tree& t, bool unitSerialFile) {
    const std::string block = t.Disk("sda", kAtaPath, "scsi", "8:0");
    t.Partition(block, "sda1", "8:1");
    const std::string dev = std::string("sys/devices/") + kAtaPath;
    t.File(dev + "/vendor", "ATA     \n");
    t.File(dev + "/model", "SIM ATA DISK    \n");
    t.File(dev + "/rev", "1.0\n");
    t.File(dev + "/type", "0\n");
    if (unitSerialFile) {
        t.File(dev + "/vpd_pg80", UnitSerialFile(kSysfsUnitSerial));
    }
    t.File("dev/sda", "");
    RootOn(t, "8:1", "/dev/sda1");
}

void BuildSataWithSmart(const Tree& t) {
    BuildSata(t, true);
}
void BuildSataWithInquiry(const Tree& t) {
    BuildSata(t, false);
}
// The root on an overlay: drive 0 is the first whole disk by name, loop
// devices skipped.
void BuildSataUnderOverlayRoot(const Tree& t) {
    BuildSata(t, true);
    t.Disk("loop0", "virtual/loop0", "block", "7:0");
    t.File("mountinfo", "27 1 0:30 / / rw,relatime shared:1 - overlay overlay rw\n");
}
void BuildNvme(const Tree& t) {
    const std::string block = t.Disk("nvme0n1", "pci1/nvme/nvme0", "nvme", "259:0");
    t.Partition(block, "nvme0n1p1", "259:1");
    t.File("sys/devices/pci1/nvme/nvme0/serial", std::string(kNvmeSerial) + "\n");
    t.File("sys/devices/pci1/nvme/nvme0/model", "SIM NVME DISK\n");
    t.File("sys/devices/pci1/nvme/nvme0/firmware_rev", "1.0\n");
    t.File("dev/nvme0n1", "");
    RootOn(t, "259:1", "/dev/nvme0n1p1");
}

struct LinuxFixture {
    const char* name;
    void (*build)(const Tree&);
    const char* node;  // under dev/
    fault::Answers answers;
    const char* serial;  // what the run gives without faults
    const char* model;
};

const LinuxFixture kLinuxFixtures[] = {
    // SMART through SG_IO; the kernel's copy and the sysfs page as fallbacks.
    {"SataSmart",
     BuildSataWithSmart,
     "sda",
     {.ataIdentify = true, .hdioIdentity = true, .unitSerialPage = true},
     fault::kAtaSerial,
     fault::kAtaModel},
    {"SataUnderOverlayRoot",
     BuildSataUnderOverlayRoot,
     "sda",
     {.ataIdentify = true, .hdioIdentity = true, .unitSerialPage = true},
     fault::kAtaSerial,
     fault::kAtaModel},
    // The pass-through refused and no kernel copy: the descriptor, whose
    // serial comes from INQUIRY.
    {"SataInquiry",
     BuildSataWithInquiry,
     "sda",
     {.unitSerialPage = true},
     fault::kInquirySerial,
     "SIM ATA DISK"},
    // No SMART at all: the descriptor from sysfs.
    {"Nvme", BuildNvme, "nvme0n1", {}, kNvmeSerial, "SIM NVME DISK"},
};

// Every serial that a fixture can give by one path or another.
const std::vector<std::string> kKnownSerials = {
    fault::kAtaSerial, fault::kHdioSerial, kSysfsUnitSerial, fault::kInquirySerial, kNvmeSerial};

int OpenDescriptorCount() {
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr) {
        return -1;
    }
    int count = 0;
    while (::readdir(directory) != nullptr) {
        ++count;
    }
    ::closedir(directory);
    return count;
}

struct LinuxRun {
    HwidRun run;
    std::size_t handlesLeft = 0;
    int descriptorsBefore = 0;
    int descriptorsAfter = 0;
    std::array<int, kFunctionCount> calls{};
    int injected = 0;
    std::string withheld;
};

void RunOnTree(const Tree& tree, const std::optional<fault::Target>& target, std::uint32_t seed,
               LinuxRun& result) {
    result.descriptorsBefore = OpenDescriptorCount();
    {
        LinuxDeviceServices services = tree.Services();
        fault::Arm(target, seed);
        RunHwid(services, result.run);
        fault::Disarm();
        result.handlesLeft = services.OpenHandleCount();
        // Counted while the back end still lives: its destructor would close
        // what a probe left open.
        result.descriptorsAfter = OpenDescriptorCount();
    }
    result.calls = fault::state.calls;
    result.injected = fault::state.injected;
    result.withheld = fault::state.withheld;
}

// Sets up the fixture and the disk behind its node.
void Prepare(const LinuxFixture& fixture, const Tree& tree) {
    fixture.build(tree);
    fault::state.answers = fixture.answers;
    struct stat info {};
    fault::state.hasNode = ::stat(tree.At(std::string("dev/") + fixture.node).c_str(), &info) == 0;
    fault::state.nodeDevice = info.st_dev;
    fault::state.nodeInode = info.st_ino;
}

bool IsPositiveDecimal(const std::string& text) {
    return !text.empty() && text[0] != '0' &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// One of the three messages of the storage property probe, with a nonzero
// error code, or nothing; zeros after it.
bool IsDocumentedDiagnostic(const std::array<char, kDiagnosticSize>& field) {
    const std::string text = TextOf(field);
    if (!std::all_of(field.begin() + static_cast<std::ptrdiff_t>(text.size()), field.end(),
                     [](char c) { return c == '\0'; })) {
        return false;
    }
    if (text.empty() || text == kOpenFailureText || text == kGeometryFailureText) {
        return true;
    }
    const std::string prefix = kPropertyFailurePrefix;
    return text.size() > prefix.size() + 1 && text.compare(0, prefix.size(), prefix) == 0 &&
           text.back() == '\n' &&
           IsPositiveDecimal(text.substr(prefix.size(), text.size() - prefix.size() - 1));
}

void PrintTo(const LinuxFixture& fixture, std::ostream* out) {
    *out << fixture.name;
}

class LinuxFaults : public testing::TestWithParam<LinuxFixture> {};

std::string CountsText(const std::array<int, kFunctionCount>& counts) {
    std::ostringstream out;
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        out << (i == 0 ? "" : " ") << kFunctionNames[i] << "=" << counts[i];
    }
    return out.str();
}

TEST_P(LinuxFaults, BaselineGoesThroughTheWrappedCalls) {
    const LinuxFixture& fixture = GetParam();
    Tree tree;
    Prepare(fixture, tree);
    LinuxRun first;
    RunOnTree(tree, std::nullopt, 1, first);
    ExpectSoundRun(first.run);
    EXPECT_EQ(TextOf(first.run.facts.identity.serialText), fixture.serial);
    EXPECT_EQ(TextOf(first.run.facts.identity.modelText), fixture.model);
    EXPECT_EQ(TextOf(first.run.facts.identity.diagnosticText), "");
    EXPECT_EQ(first.handlesLeft, 0u);
    EXPECT_EQ(first.descriptorsAfter, first.descriptorsBefore);
    // The wraps are in the path: the back end's calls reach the injector.
    // (realpath is only the fallback when /proc cannot resolve a path.)
    for (const Function f : {Function::kOpen, Function::kRead, Function::kFstat, Function::kStat,
                             Function::kReadlink, Function::kFopen, Function::kFgets}) {
        EXPECT_GT(first.calls[fault::IndexOf(f)], 0) << kFunctionNames[fault::IndexOf(f)];
    }
    if (fixture.answers.ataIdentify || fixture.answers.unitSerialPage) {
        EXPECT_GT(first.calls[fault::IndexOf(Function::kIoctl)], 0);
    }
    // The same calls in the same order each time, so that "the k-th call"
    // names the same call in every run.
    LinuxRun second;
    RunOnTree(tree, std::nullopt, 1, second);
    EXPECT_EQ(second.calls, first.calls);
    std::cout << "[ calls    ] " << fixture.name << ": " << CountsText(first.calls) << "\n";
}

enum class Outcome {
    kSameAsBaseline,  // the fault is one the code must absorb
    kKnownSerial,     // a serial that one of the paths gives, or none
    kKnownPrefix,     // a cut one too (a file or transfer that ended early)
    kAnySound,        // garbage in: soundness only
};

struct FaultKind {
    Function function;
    Mode mode;
    int error;
    bool persistent;
    Outcome outcome;
    const char* label;
};

const FaultKind kFaultKinds[] = {
    {Function::kOpen, Mode::kErrno, ENOENT, false, Outcome::kKnownSerial, "ENOENT"},
    {Function::kOpen, Mode::kErrno, EACCES, false, Outcome::kKnownSerial, "EACCES"},
    {Function::kOpen, Mode::kErrno, EMFILE, true, Outcome::kKnownSerial, "EMFILE from then on"},
    {Function::kRead, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    {Function::kRead, Mode::kErrno, EIO, true, Outcome::kKnownSerial, "EIO from then on"},
    {Function::kRead, Mode::kErrno, EINTR, false, Outcome::kSameAsBaseline, "EINTR"},
    {Function::kRead, Mode::kShortRead, 0, false, Outcome::kSameAsBaseline, "one byte"},
    {Function::kRead, Mode::kEndOfFile, 0, false, Outcome::kKnownPrefix, "end of file"},
    {Function::kRead, Mode::kGarbage, 0, false, Outcome::kAnySound, "garbage"},
    {Function::kFstat, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    {Function::kStat, Mode::kErrno, ENOENT, false, Outcome::kKnownSerial, "ENOENT"},
    {Function::kStat, Mode::kErrno, EACCES, true, Outcome::kKnownSerial, "EACCES from then on"},
    {Function::kReadlink, Mode::kErrno, EINVAL, false, Outcome::kKnownSerial, "EINVAL"},
    {Function::kRealpath, Mode::kErrno, ENOENT, false, Outcome::kKnownSerial, "ENOENT"},
    {Function::kGetdents, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    {Function::kFopen, Mode::kErrno, EACCES, false, Outcome::kKnownSerial, "EACCES"},
    {Function::kFgets, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    // A garbled mount table can only change which disk is chosen, and each
    // fixture has one.
    {Function::kFgets, Mode::kGarbage, 0, false, Outcome::kKnownSerial, "garbage"},
    {Function::kIoctl, Mode::kErrno, EIO, false, Outcome::kKnownSerial, "EIO"},
    {Function::kIoctl, Mode::kCheckCondition, EIO, false, Outcome::kKnownSerial, "CHECK CONDITION"},
    {Function::kIoctl, Mode::kGarbageOutcome, EIO, false, Outcome::kKnownPrefix, "garbage status"},
    {Function::kIoctl, Mode::kShortTransfer, EIO, false, Outcome::kKnownPrefix, "short transfer"},
    {Function::kIoctl, Mode::kGarbage, EIO, false, Outcome::kAnySound, "garbage data"},
};

bool IsKnownOrPrefix(const std::string& serial, bool prefixAllowed) {
    if (serial.empty()) {
        return true;
    }
    return std::any_of(kKnownSerials.begin(), kKnownSerials.end(), [&](const std::string& known) {
        return serial == known || (prefixAllowed && known.compare(0, serial.size(), serial) == 0);
    });
}

TEST_P(LinuxFaults, EachCallFailsInTurn) {
    const LinuxFixture& fixture = GetParam();
    Tree tree;
    Prepare(fixture, tree);
    LinuxRun baseline;
    RunOnTree(tree, std::nullopt, 1, baseline);
    ASSERT_EQ(TextOf(baseline.run.facts.identity.serialText), fixture.serial);

    std::array<int, kFunctionCount> runs{};
    std::uint32_t seed = 1;
    for (const FaultKind& kind : kFaultKinds) {
        const int calls = baseline.calls[fault::IndexOf(kind.function)];
        for (int k = 0; k < calls; ++k) {
            SCOPED_TRACE(testing::Message()
                         << kFunctionNames[fault::IndexOf(kind.function)] << " call " << k << " of "
                         << calls << ": " << kind.label);
            const fault::Target target{.function = kind.function,
                                       .index = k,
                                       .mode = kind.mode,
                                       .error = kind.error,
                                       .persistent = kind.persistent};
            auto result = std::make_unique<LinuxRun>();
            RunOnTree(tree, target, ++seed, *result);
            ++runs[fault::IndexOf(kind.function)];

            const DiskIdentity& identity = result->run.facts.identity;
            EXPECT_GE(result->injected, 1) << "the call was never made";
            EXPECT_EQ(result->handlesLeft, 0u);
            EXPECT_EQ(result->descriptorsAfter, result->descriptorsBefore);
            ExpectSoundRun(result->run);
            EXPECT_TRUE(IsDocumentedDiagnostic(identity.diagnosticText))
                << TextOf(identity.diagnosticText);
            const std::string serial = TextOf(identity.serialText);
            if (!result->withheld.empty()) {
                EXPECT_NE(serial, result->withheld) << "a refused transfer's data was used";
            }
            switch (kind.outcome) {
                case Outcome::kSameAsBaseline:
                    EXPECT_EQ(serial, fixture.serial);
                    EXPECT_EQ(TextOf(identity.modelText), fixture.model);
                    EXPECT_EQ(BytesOf(identity.diagnosticText),
                              BytesOf(baseline.run.facts.identity.diagnosticText));
                    break;
                case Outcome::kKnownSerial:
                    EXPECT_TRUE(IsKnownOrPrefix(serial, false)) << serial;
                    break;
                case Outcome::kKnownPrefix:
                    EXPECT_TRUE(IsKnownOrPrefix(serial, true)) << serial;
                    break;
                case Outcome::kAnySound:
                    break;
            }
        }
    }
    std::cout << "[ runs     ] " << fixture.name << ": " << CountsText(runs) << "\n";
}

INSTANTIATE_TEST_SUITE_P(Fixtures, LinuxFaults, testing::ValuesIn(kLinuxFixtures),
                         [](const testing::TestParamInfo<LinuxFixture>& param) {
                             return param.param.name;
                         });

// --- Linux back end: what reaches the disk, and how long it is waited for ----

// Sets up the fixture as Prepare does, with the disk's pace and generic node
// cleared; the destructor clears them again for the tests that follow.
struct DiskUnderTest {
    DiskUnderTest(const LinuxFixture& fixture, const Tree& tree) {
        fault::state.pace = fault::Pace{};
        fault::state.hasGeneric = false;
        Prepare(fixture, tree);
    }
    ~DiskUnderTest() {
        fault::state.pace = fault::Pace{};
        fault::state.hasGeneric = false;
    }
    DiskUnderTest(const DiskUnderTest&) = delete;
    DiskUnderTest& operator=(const DiskUnderTest&) = delete;
};

const LinuxFixture kSataInquiry = kLinuxFixtures[2];

// The disk answers every request after answerMs, or never. The SMART probe's
// IDENTIFY is refused (the simulated disk knows no ATA) and the kernel has no
// copy, so the storage property probe asks for the unit serial number page
// next, with what is left of the run's time.
struct PaceCase {
    const char* name;
    std::optional<unsigned> answerMs;
    bool clockFails;
    std::vector<unsigned> timeouts;  // of the requests sent, in order
    const char* serial;
};

const PaceCase kPaceCases[] = {
    {"AnswersAtOnce", 1, false, {2000, 1999}, fault::kInquirySerial},
    {"AnswersAfterASecond", 1000, false, {2000, 1000}, fault::kInquirySerial},
    // The page request gets 500 ms, and the answer comes later.
    {"AnswersTooLateForThePage", 1500, false, {2000, 500}, ""},
    // 50 ms left: too little to send the page request at all.
    {"LeavesTooLittleForThePage", 1950, false, {2000}, ""},
    {"NeverAnswers", std::nullopt, false, {2000}, ""},
    // Without a clock each request counts as its whole timeout and rounding.
    {"NoClock", 1, true, {2000}, ""},
};

class DiskPace : public testing::TestWithParam<PaceCase> {};

TEST_P(DiskPace, RequestsShareTheRunsBudget) {
    const PaceCase& c = GetParam();
    Tree tree;
    DiskUnderTest disk(kSataInquiry, tree);
    fault::state.pace.active = true;
    fault::state.pace.answerMs = c.answerMs;
    fault::state.pace.clockFails = c.clockFails;
    const std::uint64_t startNs = fault::state.pace.nowNs;
    LinuxRun result;
    RunOnTree(tree, std::nullopt, 1, result);

    EXPECT_EQ(fault::state.seen.timeouts, c.timeouts);
    EXPECT_EQ(TextOf(result.run.facts.identity.serialText), c.serial);
    ExpectSoundRun(result.run);
    EXPECT_EQ(result.handlesLeft, 0u);
    EXPECT_EQ(result.descriptorsAfter, result.descriptorsBefore);
    // Waited in all: within the budget, but for the kernel's abort of one
    // request that timed out.
    const std::uint64_t waitedMs = (fault::state.pace.nowNs - startNs) / 1000000;
    EXPECT_LE(waitedMs, linux_backend::kDeviceWaitBudgetMs + fault::kAbortMs);
}

INSTANTIATE_TEST_SUITE_P(Cases, DiskPace, testing::ValuesIn(kPaceCases),
                         [](const testing::TestParamInfo<PaceCase>& param) {
                             return param.param.name;
                         });

TEST(DiskPace, NextTimeoutFollowsWhatIsLeft) {
    using linux_backend::NextRequestTimeoutMs;
    constexpr std::uint64_t kMs = 1000000;
    linux_backend::DeviceRequests requests;
    const std::pair<std::uint64_t, unsigned> cases[] = {
        {0, 2000},       {1, 1999},         {1 * kMs - 1, 1999},
        {1 * kMs, 1999}, {1900 * kMs, 100}, {1900 * kMs + 1, 0},
        {1901 * kMs, 0}, {2000 * kMs, 0},   {10000 * kMs, 0},
    };
    for (const auto& [spentNs, timeoutMs] : cases) {
        requests.spentNs = spentNs;
        EXPECT_EQ(NextRequestTimeoutMs(requests), timeoutMs) << spentNs << " ns spent";
    }
}

// A USB disk with no serial of its own on the USB device and no page in
// sysfs, whose bridge would answer INQUIRY for the page: it is not asked.
constexpr char kUsbPath[] = "pci0/usb1/1-1/1-1:1.0/host4/target4:0:0/4:0:0:0";

void BuildScsiWithoutPage(const Tree& t, const std::string& path) {
    const std::string block = t.Disk("sda", path, "scsi", "8:0");
    t.Partition(block, "sda1", "8:1");
    const std::string dev = "sys/devices/" + path;
    t.File(dev + "/vendor", "SIM     \n");
    t.File(dev + "/model", "SIM USB DISK    \n");
    t.File(dev + "/type", "0\n");
    t.File("dev/sda", "");
    RootOn(t, "8:1", "/dev/sda1");
}

void BuildUsbWithoutSerial(const Tree& t) {
    BuildScsiWithoutPage(t, kUsbPath);
    t.File("sys/devices/pci0/usb1/1-1/idVendor", "0781\n");
}

// The same disk with no USB device above it: a SCSI disk, which is asked.
void BuildScsiDiskWithoutPage(const Tree& t) {
    BuildScsiWithoutPage(t, kUsbPath);
}

TEST(VitalProductData, NoInquiryForAPageGoesToAUsbDisk) {
    struct Case {
        LinuxFixture fixture;
        int inquiries;
    };
    const Case cases[] = {
        {{"Usb", BuildUsbWithoutSerial, "sda", {.unitSerialPage = true}, "", "SIM USB DISK"}, 0},
        {{"Scsi",
          BuildScsiDiskWithoutPage,
          "sda",
          {.unitSerialPage = true},
          fault::kInquirySerial,
          "SIM USB DISK"},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture.name);
        Tree tree;
        DiskUnderTest disk(c.fixture, tree);
        LinuxRun result;
        RunOnTree(tree, std::nullopt, 1, result);
        EXPECT_EQ(fault::state.seen.evpdInquiries, c.inquiries);
        EXPECT_EQ(TextOf(result.run.facts.identity.serialText), c.fixture.serial);
    }
}

// The requests go to the disk's SCSI generic node when sysfs names one and
// the node under /dev is that character device (here /dev/null stands for
// it); otherwise to the block node.
TEST(GenericNode, RequestsGoToTheNodeThatSysfsNames) {
    struct Case {
        const char* name;
        const char* number;  // the dev attribute of scsi_generic/sg0
        bool link;           // dev/sg0 leads to /dev/null; else a regular file
        bool throughGeneric;
    };
    struct stat null {};
    ASSERT_EQ(::stat("/dev/null", &null), 0);
    ASSERT_TRUE(S_ISCHR(null.st_mode));
    const std::string nullNumber =
        std::to_string(major(null.st_rdev)) + ":" + std::to_string(minor(null.st_rdev));
    const Case cases[] = {
        {"Named", nullNumber.c_str(), true, true},
        {"OtherNumber", "21:0", true, false},
        {"NotACharacterDevice", nullNumber.c_str(), false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree tree;
        DiskUnderTest disk(kSataInquiry, tree);
        tree.File(std::string("sys/devices/") + kAtaPath + "/scsi_generic/sg0/dev",
                  std::string(c.number) + "\n");
        if (c.link) {
            tree.LinkText("dev/sg0", "/dev/null");
        } else {
            tree.File("dev/sg0", "");
        }
        fault::state.hasGeneric = true;
        fault::state.genericDevice = null.st_rdev;
        LinuxRun result;
        RunOnTree(tree, std::nullopt, 1, result);
        EXPECT_EQ(fault::state.seen.throughGeneric, std::vector<bool>(2, c.throughGeneric));
        EXPECT_EQ(TextOf(result.run.facts.identity.serialText), fault::kInquirySerial);
        EXPECT_EQ(result.descriptorsAfter, result.descriptorsBefore);
    }
}

}  // namespace
}  // namespace hwid
