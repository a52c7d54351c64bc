#include "platform/linux/errors.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace hwid::linux_backend {
namespace {

// Per thread: back ends made for concurrent callers never see each other's.
thread_local int mappedErrno = 0;
thread_local int resourceFailure = 0;

}  // namespace

int LastMappedErrno() {
    return mappedErrno;
}

void ForgetMappedErrno() {
    mappedErrno = 0;
}

void DescribeErrno(int error, char* text, std::size_t size) {
    const char* name = ::strerrorname_np(error);
    if (name != nullptr) {
        std::snprintf(text, size, "%s: %s", name, std::strerror(error));
    } else {
        std::snprintf(text, size, "errno %d: %s", error, std::strerror(error));
    }
}

void NoteCallFailure(int error) {
    if (resourceFailure == 0 && (error == EMFILE || error == ENFILE || error == ENOMEM)) {
        resourceFailure = error;
    }
}

int TakeResourceFailure() {
    const int error = resourceFailure;
    resourceFailure = 0;
    return error;
}

DWORD ErrnoToWindowsError(int error) {
    mappedErrno = error;
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENOTTY:
            return ERROR_INVALID_FUNCTION;
        case ENOMEDIUM:
            return ERROR_NOT_READY;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case EOPNOTSUPP:
        case ENOSYS:
            return ERROR_NOT_SUPPORTED;
        case EINVAL:
        case EFAULT:
            return ERROR_INVALID_PARAMETER;
        case ETIMEDOUT:
            return ERROR_SEM_TIMEOUT;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EIO:
            return ERROR_IO_DEVICE;
        case ENXIO:
        case ENODEV:
            return ERROR_DEVICE_NOT_CONNECTED;
        case ELOOP:
            return ERROR_CANT_RESOLVE_FILENAME;
        default:
            return ERROR_GEN_FAILURE;
    }
}

}  // namespace hwid::linux_backend
