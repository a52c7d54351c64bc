// Linux errno values in the Windows error codes that GetLastError reports.
#pragma once

#include <cstddef>

#include "hwid/windows_types.h"

namespace hwid::linux_backend {

// errno                      Windows error
// ENOENT                     ERROR_FILE_NOT_FOUND (2)
// ENOTDIR                    ERROR_PATH_NOT_FOUND (3)
// EMFILE, ENFILE             ERROR_TOO_MANY_OPEN_FILES (4)
// EACCES, EPERM, EISDIR,
//   EROFS                    ERROR_ACCESS_DENIED (5)
// EBADF                      ERROR_INVALID_HANDLE (6)
// ENOMEM                     ERROR_NOT_ENOUGH_MEMORY (8)
// ENOTTY                     ERROR_INVALID_FUNCTION (1), an unsupported request
// ENOMEDIUM                  ERROR_NOT_READY (21)
// EBUSY                      ERROR_SHARING_VIOLATION (32)
// EOPNOTSUPP, ENOSYS         ERROR_NOT_SUPPORTED (50)
// EINVAL, EFAULT             ERROR_INVALID_PARAMETER (87)
// ETIMEDOUT                  ERROR_SEM_TIMEOUT (121)
// ENAMETOOLONG               ERROR_FILENAME_EXCED_RANGE (206)
// EIO                        ERROR_IO_DEVICE (1117)
// ENXIO, ENODEV              ERROR_DEVICE_NOT_CONNECTED (1167), a node with no device
// ELOOP                      ERROR_CANT_RESOLVE_FILENAME (1921)
// anything else              ERROR_GEN_FAILURE (31)
DWORD ErrnoToWindowsError(int error);

// The errno that the last ErrnoToWindowsError call mapped, 0 after
// ForgetMappedErrno: the back end forgets it as each operation starts, so that
// hwid-explain can tell a failure by its errno.
int LastMappedErrno();
void ForgetMappedErrno();

// "EPERM: Operation not permitted" into text.
void DescribeErrno(int error, char* text, std::size_t size);

// Most failing calls inside the back end end in a result such as "missing",
// which is right for a file that is not there and wrong for a process that
// has run out of descriptors or memory. Each failing C library call hands its
// errno here; the first EMFILE, ENFILE or ENOMEM is kept for the calling
// thread until the back end takes it after each operation.
void NoteCallFailure(int error);
// The kept errno, 0 when none; clears it.
int TakeResourceFailure();

}  // namespace hwid::linux_backend
