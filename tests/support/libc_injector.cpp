#include "support/libc_injector.h"

#include <fcntl.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "hwid/disk_identity.h"
#include "platform/linux/ata.h"
#include "support/disk_replies.h"

// The C library's stat itself: the injector's own calls are not counted.
extern "C" int __real_stat(const char* path, struct stat* info);

namespace hwid::fault {

State state;
std::vector<StandIn> standIns;

void StandInForBlockDevice(const char* path, dev_t number) {
    struct stat info {};
    if (__real_stat(path, &info) == 0) {
        ForgetBlockDevice(path);
        standIns.push_back({info.st_dev, info.st_ino, number});
    }
}

void ForgetBlockDevice(const char* path) {
    struct stat info {};
    if (__real_stat(path, &info) == 0) {
        std::erase_if(standIns, [&info](const StandIn& standIn) {
            return standIn.device == info.st_dev && standIn.inode == info.st_ino;
        });
    }
}

void PlayDiskBehind(const std::string& nodePath, const Answers& answers) {
    state.answers = answers;
    struct stat info {};
    state.hasNode = __real_stat(nodePath.c_str(), &info) == 0;
    state.nodeDevice = info.st_dev;
    state.nodeInode = info.st_ino;
}

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

namespace {

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
    const std::string page = test::UnitSerialPage(serial);
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
bool PassTime(const sg_io_hdr_t& header) {
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

}  // namespace
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
FILE* __real_fdopen(int fd, const char* mode);
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
    const int result = __real_fstat(fd, info);
    if (result == 0 && S_ISREG(info->st_mode)) {
        for (const hwid::fault::StandIn& standIn : hwid::fault::standIns) {
            if (standIn.device == info->st_dev && standIn.inode == info->st_ino) {
                info->st_mode = (info->st_mode & ~static_cast<mode_t>(S_IFMT)) | S_IFBLK;
                info->st_rdev = standIn.number;
            }
        }
    }
    return result;
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

FILE* __wrap_fdopen(int fd, const char* mode) {
    if (hwid::fault::Strike(hwid::fault::Function::kFdopen)) {
        errno = hwid::fault::state.target->error;
        return nullptr;
    }
    return __real_fdopen(fd, mode);
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
