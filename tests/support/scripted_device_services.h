// A device back end for tests: replays configured results and reply bytes,
// records every call with its arguments and input bytes, and keeps track of
// the handles it gave out.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hwid/device_services.h"

namespace hwid::test {

enum class Operation { GetVersionExW, CreateFileA, DeviceIoControl, GetLastError, CloseHandle };

struct RecordedCall {
    Operation operation{};
    // CreateFileA
    std::string path{};
    DWORD desiredAccess = 0;
    DWORD shareMode = 0;
    bool securityAttributes = false;
    DWORD creationDisposition = 0;
    DWORD flagsAndAttributes = 0;
    bool templateFile = false;
    // DeviceIoControl and CloseHandle
    HANDLE handle = nullptr;
    DWORD controlCode = 0;
    bool inBufferGiven = false;
    // the inBufferSize bytes sent; for GetVersionExW the record as passed in
    std::vector<std::uint8_t> input{};
    DWORD inBufferSize = 0;
    DWORD outBufferSize = 0;
    bool outBufferZeroed = false;  // every output byte was 0 when the call came in
    bool bytesReturnedGiven = false;
    bool overlapped = false;
};

// What one DeviceIoControl answers.
struct ScriptedReply {
    BOOL result = 0;
    DWORD error = ERROR_INVALID_FUNCTION;  // set for GetLastError when result is 0
    std::vector<std::uint8_t> bytes{};     // copied to the start of the output buffer
};

// The outcome of one CreateFileA.
struct ScriptedOpen {
    bool succeeds = true;
    DWORD error = ERROR_FILE_NOT_FOUND;
};

class ScriptedDeviceServices final : public DeviceServices {
  public:
    // GetVersionExW writes this platform id unless versionFails is set.
    DWORD platformId = VER_PLATFORM_WIN32_NT;
    bool versionFails = false;

    // CreateFileA outcomes, one per call in order; when the queue is empty
    // every open succeeds.
    std::deque<ScriptedOpen> opens;
    // DeviceIoControl replies by control code, one per call in order; a code
    // with no reply left fails with ERROR_INVALID_FUNCTION.
    std::map<DWORD, std::deque<ScriptedReply>> replies;

    std::vector<RecordedCall> calls;

    // What DescribeDriveZero answers; unset: what any back end says when it
    // cannot tell. Kept apart from the calls above, which are the probes'.
    std::optional<DriveZeroDescription> driveZero;
    int describeCalls = 0;

    BOOL GetVersionExW(OSVERSIONINFOW* versionInfo) override;
    HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                       void* securityAttributes, DWORD creationDisposition,
                       DWORD flagsAndAttributes, HANDLE templateFile) override;
    BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
                         void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned,
                         void* overlapped) override;
    DWORD GetLastError() override;
    BOOL CloseHandle(HANDLE object) override;
    void DescribeDriveZero(DriveZeroDescription& description) override;

    // Handle bookkeeping.
    int opened = 0;
    int closed = 0;
    int maxOpenAtOnce = 0;
    int badCloses = 0;    // a handle closed that was never opened or already closed
    int unknownUses = 0;  // a request on a handle that is not open
    std::size_t OpenCount() const { return open_.size(); }

    // Calls of one operation, in order.
    std::vector<RecordedCall> CallsOf(Operation operation) const;
    // The sequence of operations, for checking the order.
    std::vector<Operation> Sequence() const;

    void Reply(DWORD code, ScriptedReply reply) { replies[code].push_back(std::move(reply)); }

  private:
    std::set<HANDLE> open_;
    std::uintptr_t nextHandle_ = 0x100;
    DWORD lastError_ = 0;
};

}  // namespace hwid::test
