#include "support/scripted_device_services.h"

#include <algorithm>
#include <cstring>

namespace hwid::test {

BOOL ScriptedDeviceServices::GetVersionExW(OSVERSIONINFOW* versionInfo) {
    // The record as it came in, to check its size field and zero fill.
    const auto* incoming = reinterpret_cast<const std::uint8_t*>(versionInfo);
    calls.push_back({.operation = Operation::GetVersionExW,
                     .input = {incoming, incoming + sizeof(OSVERSIONINFOW)}});
    if (versionFails) {
        lastError_ = ERROR_INVALID_PARAMETER;
        return 0;
    }
    versionInfo->dwMajorVersion = 10;
    versionInfo->dwPlatformId = platformId;
    return 1;
}

HANDLE ScriptedDeviceServices::CreateFileA(const char* fileName, DWORD desiredAccess,
                                           DWORD shareMode, void* securityAttributes,
                                           DWORD creationDisposition, DWORD flagsAndAttributes,
                                           HANDLE templateFile) {
    calls.push_back({.operation = Operation::CreateFileA,
                     .path = fileName,
                     .desiredAccess = desiredAccess,
                     .shareMode = shareMode,
                     .securityAttributes = securityAttributes != nullptr,
                     .creationDisposition = creationDisposition,
                     .flagsAndAttributes = flagsAndAttributes,
                     .templateFile = templateFile != nullptr});
    ScriptedOpen outcome;
    if (!opens.empty()) {
        outcome = opens.front();
        opens.pop_front();
    }
    if (!outcome.succeeds) {
        lastError_ = outcome.error;
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle_);
    nextHandle_ += 4;
    open_.insert(handle);
    ++opened;
    maxOpenAtOnce = std::max(maxOpenAtOnce, static_cast<int>(open_.size()));
    return handle;
}

BOOL ScriptedDeviceServices::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                             DWORD inBufferSize, void* outBuffer,
                                             DWORD outBufferSize, DWORD* bytesReturned,
                                             void* overlapped) {
    RecordedCall call{.operation = Operation::DeviceIoControl,
                      .handle = device,
                      .controlCode = ioControlCode,
                      .inBufferGiven = inBuffer != nullptr,
                      .inBufferSize = inBufferSize,
                      .outBufferSize = outBufferSize,
                      .bytesReturnedGiven = bytesReturned != nullptr,
                      .overlapped = overlapped != nullptr};
    if (inBuffer != nullptr) {
        const auto* bytes = static_cast<const std::uint8_t*>(inBuffer);
        call.input.assign(bytes, bytes + inBufferSize);
    }
    const auto* out = static_cast<const std::uint8_t*>(outBuffer);
    call.outBufferZeroed = outBuffer != nullptr &&
                           std::all_of(out, out + outBufferSize, [](auto b) { return b == 0; });
    calls.push_back(std::move(call));

    if (open_.count(device) == 0) {
        ++unknownUses;
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    auto& queue = replies[ioControlCode];
    if (queue.empty()) {
        lastError_ = ERROR_INVALID_FUNCTION;
        return 0;
    }
    ScriptedReply reply = std::move(queue.front());
    queue.pop_front();
    const std::size_t n = std::min<std::size_t>(reply.bytes.size(), outBufferSize);
    if (outBuffer != nullptr && n > 0) {
        std::memcpy(outBuffer, reply.bytes.data(), n);
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<DWORD>(n);
    }
    if (reply.result == 0) {
        lastError_ = reply.error;
    }
    return reply.result;
}

DWORD ScriptedDeviceServices::GetLastError() {
    calls.push_back({.operation = Operation::GetLastError});
    return lastError_;
}

BOOL ScriptedDeviceServices::CloseHandle(HANDLE object) {
    calls.push_back({.operation = Operation::CloseHandle, .handle = object});
    if (open_.erase(object) == 0) {
        ++badCloses;
        lastError_ = ERROR_INVALID_HANDLE;
        return 0;
    }
    ++closed;
    return 1;
}

std::vector<RecordedCall> ScriptedDeviceServices::CallsOf(Operation operation) const {
    std::vector<RecordedCall> selected;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(selected),
                 [operation](const RecordedCall& call) { return call.operation == operation; });
    return selected;
}

std::vector<Operation> ScriptedDeviceServices::Sequence() const {
    std::vector<Operation> sequence;
    for (const RecordedCall& call : calls) {
        sequence.push_back(call.operation);
    }
    return sequence;
}

void ScriptedDeviceServices::DescribeDriveZero(DriveZeroDescription& description) {
    ++describeCalls;
    if (driveZero.has_value()) {
        description = *driveZero;
    } else {
        DeviceServices::DescribeDriveZero(description);
    }
}

}  // namespace hwid::test
