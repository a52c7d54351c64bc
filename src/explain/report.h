// hwid-explain: why this machine gets the identifier it does. It runs the same
// derivation as hwid through the same library, with the device back end
// wrapped so that what the probes saw can be told afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "hwid/cpu_signature.h"
#include "hwid/device_services.h"
#include "hwid/disk_identity.h"
#include "hwid/machine_identifier.h"

namespace hwid {

struct ProbeReport {
    bool ran;
    bool opened;
    DWORD openError;
    // SMART probe: the version request and the IDENTIFY request.
    bool versionAnswered;
    DWORD versionError;
    std::uint8_t deviceMap;
    bool identifyAnswered;
    DWORD identifyError;
    std::uint8_t command;  // 0xEC or 0xA1
    // Storage property probe: the property and geometry requests.
    bool propertyAnswered;
    DWORD propertyError;
    bool geometryAnswered;
    DWORD geometryError;
    // Whether the drive answered with strings at all, the serial as the probe
    // read it, and whether it was taken.
    bool answered;
    char serialField[kTextFieldSize];
    bool accepted;
    char reason[192];  // why not, when the probe ran but took nothing
    // The failure that stopped the probe in the platform's own terms
    // ("EPERM: Operation not permitted", "error 5"); empty when none did.
    char errorText[96];
    // Storage property probe: where the back end read the serial
    // ("/sys/block/vda/serial"); empty when it cannot tell.
    char serialSource[256];
};

// What a run without the rights to send IDENTIFY would print: the storage
// property probe alone, on a fresh record.
struct UnprivilegedRun {
    bool derived;  // only when this run's IDENTIFY was answered
    char serial[kTextFieldSize];
    char identifier[kIdentifierTextSize];
};

struct ExplainReport {
    char vendor[13];
    std::uint32_t highestLeaf;
    int leavesSummed;  // leaves 0 .. leavesSummed - 1
    std::uint32_t cpuSignature;
    DWORD platformId;
    DriveZeroDescription drive;
    ProbeReport smart;
    ProbeReport storage;
    char model[kTextFieldSize];
    char serial[kTextFieldSize];
    char diagnostic[kDiagnosticSize];
    std::uint32_t foldValue;
    char identifier[kIdentifierTextSize];
    UnprivilegedRun unprivileged;
    const char* weakSerial;  // why many machines share the serial, or nullptr
};

// Asks `services` which disk is drive 0, runs the derivation on it and fills
// the report; the identifier is the one hwid prints on the same machine.
void BuildExplainReport(ExplainReport& report, DeviceServices& services,
                        CpuidFunction cpuid = ExecuteCpuid);

// Why the serial is one that many machines share (a hypervisor's default, a
// placeholder, one character repeated), or nullptr. Case and spaces do not
// count: the IDENTIFY path drops the spaces that the descriptor keeps.
const char* WeakSerialReason(const char* serial);

// The serial for display: every character but the last four masked; a serial
// of four characters or fewer is masked whole.
void MaskSerial(const char* serial, char* masked, std::size_t size);

void PrintExplainText(const ExplainReport& report, bool showSerial, std::FILE* out);
// False when the output could not be made (no memory).
bool PrintExplainJson(const ExplainReport& report, bool showSerial, std::FILE* out);

// What the comparison takes from an earlier --json output. The drive's texts
// hold the bytes the drive gave, one character of the JSON a byte.
struct EarlierReport {
    std::string cpuSignature;
    std::string drivePath;
    bool hasDriveBus = false;
    std::string driveBus;
    std::string model;
    bool serialObtained = false;
    std::string foldValue;
    std::string identifier;
};

// The largest earlier output read; --json writes a few kilobytes.
inline constexpr std::size_t kMaxEarlierFileSize = 1024 * 1024;

// Parses the bytes of an earlier --json output. False, with `error` set to one
// line that says what is wrong, when they cannot be used.
bool ParseEarlierJson(std::string_view bytes, EarlierReport& earlier, std::string& error) noexcept;

// Reads and parses the file at `path`, a regular file of at most
// kMaxEarlierFileSize bytes; never waits on a FIFO or device. The error names
// the file: "cannot read FILE: No such file or directory".
bool ReadEarlierJson(const char* path, EarlierReport& earlier, std::string& error) noexcept;

// Compares the report with an earlier --json output. Prints one line per
// input; returns 0 when nothing changed, 1 when something did, -1 when the
// earlier output cannot be read as such (a message is printed to `out`).
int CompareWithEarlier(const ExplainReport& report, const char* earlierJson, std::FILE* out);
int CompareWithEarlier(const ExplainReport& report, const EarlierReport& earlier, std::FILE* out);

struct CompareResult {
    bool printed;            // false when output could not be made (no memory)
    bool anyChanged;         // some input or the identifier
    bool identifierChanged;  // compared without regard to case
};

// Compares as CompareWithEarlier does, printing text or one JSON object.
CompareResult CompareReports(const ExplainReport& report, const EarlierReport& earlier, bool json,
                             std::FILE* out);

}  // namespace hwid
