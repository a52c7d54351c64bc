#include "hwid/resource_watch.h"

namespace hwid {

bool IsResourceError(DWORD error) {
    return error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY ||
           error == ERROR_OUTOFMEMORY || error == ERROR_NO_SYSTEM_RESOURCES;
}

const char* ResourceErrorText(DWORD error) {
    switch (error) {
        case ERROR_TOO_MANY_OPEN_FILES:
            return "too many open files";
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return "not enough memory";
        case ERROR_NO_SYSTEM_RESOURCES:
            return "not enough system resources";
        default:
            return "";
    }
}

void ResourceWatchingDeviceServices::Look(bool failed) {
    if (failed && failure_ == ERROR_SUCCESS) {
        const DWORD error = inner_.GetLastError();
        if (IsResourceError(error)) {
            failure_ = error;
        }
    }
}

BOOL ResourceWatchingDeviceServices::GetVersionExW(OSVERSIONINFOW* versionInfo) {
    const BOOL result = inner_.GetVersionExW(versionInfo);
    Look(result == 0);
    return result;
}

HANDLE ResourceWatchingDeviceServices::CreateFileA(const char* fileName, DWORD desiredAccess,
                                                   DWORD shareMode, void* securityAttributes,
                                                   DWORD creationDisposition,
                                                   DWORD flagsAndAttributes, HANDLE templateFile) {
    HANDLE handle = inner_.CreateFileA(fileName, desiredAccess, shareMode, securityAttributes,
                                       creationDisposition, flagsAndAttributes, templateFile);
    Look(handle == INVALID_HANDLE_VALUE);
    return handle;
}

BOOL ResourceWatchingDeviceServices::DeviceIoControl(HANDLE device, DWORD ioControlCode,
                                                     void* inBuffer, DWORD inBufferSize,
                                                     void* outBuffer, DWORD outBufferSize,
                                                     DWORD* bytesReturned, void* overlapped) {
    const BOOL result = inner_.DeviceIoControl(device, ioControlCode, inBuffer, inBufferSize,
                                               outBuffer, outBufferSize, bytesReturned, overlapped);
    Look(result == 0);
    return result;
}

BOOL ResourceWatchingDeviceServices::CloseHandle(HANDLE object) {
    const BOOL result = inner_.CloseHandle(object);
    Look(result == 0);
    return result;
}

DWORD ResourceWatchingDeviceServices::ResourceFailure() {
    if (failure_ == ERROR_SUCCESS) {
        const DWORD inner = inner_.ResourceFailure();
        if (IsResourceError(inner)) {
            failure_ = inner;
        }
    }
    return failure_;
}

}  // namespace hwid
