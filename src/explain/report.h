// hwid-explain: why this machine gets the identifier it does. It runs the same
// derivation as hwid through the same library, with the device back end
// wrapped so that what the probes saw can be told afterwards.
#pragma once

#include <cstdint>
#include <cstdio>

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
};

// Asks `services` which disk is drive 0, runs the derivation on it and fills
// the report; the identifier is the one hwid prints on the same machine.
void BuildExplainReport(ExplainReport& report, DeviceServices& services,
                        CpuidFunction cpuid = ExecuteCpuid);

// The serial for display: every character but the last four masked; a serial
// of four characters or fewer is masked whole.
void MaskSerial(const char* serial, char* masked, std::size_t size);

void PrintExplainText(const ExplainReport& report, bool showSerial, std::FILE* out);
void PrintExplainJson(const ExplainReport& report, bool showSerial, std::FILE* out);

// Compares the report with an earlier --json output. Prints one line per
// input; returns 0 when nothing changed, 1 when something did, -1 when the
// earlier output cannot be read as such (a message is printed to `out`).
int CompareWithEarlier(const ExplainReport& report, const char* earlierJson, std::FILE* out);

}  // namespace hwid
