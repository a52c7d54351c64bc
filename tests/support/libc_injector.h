// A fault injector for the C library calls of the Linux back end, and the
// disk that plays behind a fixture's /dev node. A test program linked with
// this library gets -Wl,--wrap=NAME for each function below, so the calls made
// by the back end's objects land in the injector's __wrap_NAME, which passes
// them on to the C library's __real_NAME. While armed, the injector counts the
// calls of each function and fails the chosen one; ioctl on the node answers
// SG_IO and HDIO_GET_IDENTITY as the disk configured in `answers` would.
#pragma once

#include <sys/types.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <string>

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
};

// The one injector of the program.
extern State state;

// Starts counting from zero; `target`, when given, is the call to fail.
void Arm(const std::optional<Target>& target, std::uint32_t seed);
void Disarm();

}  // namespace hwid::fault
