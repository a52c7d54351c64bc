#include "platform/linux/errors.h"

#include <cerrno>

namespace hwid::linux_backend {
namespace {

// One a thread: back ends made for concurrent callers never see each other's.
thread_local int resourceFailure = 0;

}  // namespace

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
