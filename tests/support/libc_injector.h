// A fault injector for the C library calls of the Linux back end, and the
// disk that plays behind a fixture's /dev node. A test program linked with
// this library gets -Wl,--wrap=NAME for each function below, so the calls made
// by the back end's objects land in the injector's __wrap_NAME, which passes
// them on to the C library's __real_NAME. While armed, the injector counts the
// calls of each function and fails the chosen one; ioctl on the node answers
// SG_IO and HDIO_GET_IDENTITY as the disk configured in `answers` would, and
// clock_gettime gives the disk's time when a test sets its pace.
#pragma once

#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace hwid::fault {

enum class Function {
    kOpen,
    kRead,
    kFstat,
    kStat,
    kReadlink,
    kRealpath,
    kGetdents,
    kFdopen,
    kFgets,
    kIoctl,
};
inline constexpr std::size_t kFunctionCount = 10;
inline constexpr const char* kFunctionNames[kFunctionCount] = {
    "open",     "read",       "fstat",  "stat",  "readlink",
    "realpath", "getdents64", "fdopen", "fgets", "ioctl"};

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

// The one injector of the program.
extern State state;

struct StandIn {
    dev_t device;
    ino_t inode;
    dev_t number;
};
extern std::vector<StandIn> standIns;

// Makes the file at `path` stand for a block device with the given number:
// fstat of a descriptor of it says so, as the kernel would of the disk's node.
// Fixture trees cannot hold real nodes of their disks, whose numbers may be
// real disks' here. Until ForgetBlockDevice, or the end of the program.
void StandInForBlockDevice(const char* path, dev_t number);
void ForgetBlockDevice(const char* path);

// The disk that answers `answers` plays behind the file at `nodePath` (no
// disk when there is no such file).
void PlayDiskBehind(const std::string& nodePath, const Answers& answers);

// Starts counting from zero; `target`, when given, is the call to fail.
void Arm(const std::optional<Target>& target, std::uint32_t seed);
void Disarm();

}  // namespace hwid::fault
