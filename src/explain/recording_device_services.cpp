#include "explain/recording_device_services.h"

#include <cstring>

namespace hwid {

void RecordingDeviceServices::Record(const ObservedCall& call) {
    if (callCount < kMaxCalls) {
        ObservedCall& kept = calls[callCount++];
        kept = call;
        if (!kept.succeeded && !inner_.DescribeLastError(kept.errorText, sizeof kept.errorText)) {
            kept.errorText[0] = '\0';
        }
    }
}

BOOL RecordingDeviceServices::GetVersionExW(OSVERSIONINFOW* versionInfo) {
    const BOOL result = inner_.GetVersionExW(versionInfo);
    platformId = versionInfo->dwPlatformId;
    Record({DeviceOperation::kGetVersion,
            0,
            0,
            result != 0,
            result != 0 ? 0 : inner_.GetLastError(),
            {}});
    return result;
}

HANDLE RecordingDeviceServices::CreateFileA(const char* fileName, DWORD desiredAccess,
                                            DWORD shareMode, void* securityAttributes,
                                            DWORD creationDisposition, DWORD flagsAndAttributes,
                                            HANDLE templateFile) {
    HANDLE handle = inner_.CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                       creationDisposition, flagsAndAttributes, templateFile);
    const bool opened = handle != INVALID_HANDLE_VALUE;
    Record({DeviceOperation::kCreateFile,
            desiredAccess,
            0,
            opened,
            opened ? 0 : inner_.GetLastError(),
            {}});
    return handle;
}

BOOL RecordingDeviceServices::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer,
                                              DWORD inBufferSize, void* outBuffer,
                                              DWORD outBufferSize, DWORD* bytesReturned,
                                              void* overlapped) {
    const BOOL result = inner_.DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize,
                                               outBuffer, outBufferSize, bytesReturned, overlapped);
    Record({DeviceOperation::kDeviceIoControl,
            0,
            ioControlCode,
            result != 0,
            result != 0 ? 0 : inner_.GetLastError(),
            {}});
    if (outBuffer != nullptr && ioControlCode == SMART_GET_VERSION &&
        outBufferSize >= sizeof smartVersion) {
        // Kept even after a failure: the probe reads the device map all the same.
        std::memcpy(&smartVersion, outBuffer, sizeof smartVersion);
    }
    if (result != 0 && outBuffer != nullptr) {
        if (ioControlCode == IOCTL_STORAGE_QUERY_PROPERTY) {
            propertyReply.fill(0);
            std::memcpy(
                propertyReply.data(), outBuffer,
                outBufferSize < propertyReply.size() ? outBufferSize : propertyReply.size());
            propertyReplied = true;
            if (!inner_.DescribeSerialSource(serialSource, sizeof serialSource)) {
                serialSource[0] = '\0';
            }
        }
    }
    return result;
}

BOOL RecordingDeviceServices::CloseHandle(HANDLE object) {
    const BOOL result = inner_.CloseHandle(object);
    Record({DeviceOperation::kCloseHandle, 0, 0, result != 0, 0, {}});
    return result;
}

const ObservedCall* RecordingDeviceServices::Find(DeviceOperation operation, DWORD code,
                                                  std::size_t from) const {
    for (std::size_t i = from; i < callCount; ++i) {
        if (calls[i].operation == operation &&
            (operation != DeviceOperation::kDeviceIoControl || calls[i].controlCode == code)) {
            return &calls[i];
        }
    }
    return nullptr;
}

}  // namespace hwid
