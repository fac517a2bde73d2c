#include "platform/errors.h"

#include <cerrno>
#include <cstddef>

namespace {

struct ErrnoMapping {
  int err;
  int win;
};

// errno -> Windows system error. EEXIST maps to 80 (ERROR_FILE_EXISTS, what a
// create-new open reports); renames that must not replace report 183 themselves.
// EWOULDBLOCK/EAGAIN come from a refused flock: the sharing violation.
constexpr ErrnoMapping kWinErrors[] = {
    {0, kErrSuccess},
    {ENOENT, kErrFileNotFound},
    {ENOTDIR, kErrPathNotFound},
    {EMFILE, kErrTooManyOpenFiles},
    {ENFILE, kErrTooManyOpenFiles},
    {EACCES, kErrAccessDenied},
    {EPERM, kErrAccessDenied},
    {EROFS, kErrAccessDenied},
    {EISDIR, kErrAccessDenied},
    {EBADF, kErrInvalidHandle},
    {ENOMEM, kErrNotEnoughMemory},
    {EIO, kErrGenFailure},
    {EWOULDBLOCK, kErrSharingViolation},
    {ETXTBSY, kErrSharingViolation},
    {ENOLCK, kErrLockViolation},
    {EOPNOTSUPP, kErrNotSupported},
    {ENOSYS, kErrNotSupported},
    {EEXIST, kErrFileExists},
    {EINVAL, kErrInvalidParameter},
    {EFAULT, kErrInvalidParameter},
    {EPIPE, kErrBrokenPipe},
    {ENOSPC, kErrDiskFull},
    {EDQUOT, kErrDiskFull},
    {EFBIG, kErrDiskFull},
    {EILSEQ, kErrInvalidName},
    {ENOTEMPTY, kErrDirNotEmpty},
    {EBUSY, kErrBusy},
    {ENAMETOOLONG, kErrFilenameTooLong},
    {ELOOP, 1921},  // ERROR_CANT_RESOLVE_FILENAME
    {EXDEV, 17},  // ERROR_NOT_SAME_DEVICE
    {ETIMEDOUT, kErrTimeout},
};

// errno -> WinSock error: 10000 + the BSD errno number of the same name.
constexpr ErrnoMapping kWsaErrors[] = {
    {0, 0},
    {EINTR, 10004},
    {EBADF, 10009},
    {EACCES, 10013},
    {EPERM, 10013},
    {EFAULT, 10014},
    {EINVAL, 10022},
    {EMFILE, 10024},
    {ENFILE, 10024},
    {EWOULDBLOCK, 10035},
    {EINPROGRESS, 10036},
    {EALREADY, 10037},
    {ENOTSOCK, 10038},
    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},
    {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044},
    {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},
    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},
    {ENETUNREACH, 10051},
    {ENETRESET, 10052},
    {ECONNABORTED, 10053},
    {ECONNRESET, 10054},
    {EPIPE, 10058},  // writing after the peer shut down: WSAESHUTDOWN
    {ENOBUFS, 10055},
    {ENOMEM, 10055},
    {EISCONN, 10056},
    {ENOTCONN, 10057},
    {ESHUTDOWN, 10058},
    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},
    {ELOOP, 10062},
    {ENAMETOOLONG, 10063},
    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
    {EUSERS, 10068},
    {EDQUOT, 10069},
    {ESTALE, 10070},
    {EREMOTE, 10071},
};

template <size_t N>
int Lookup(const ErrnoMapping (&table)[N], int err, int fallback) {
  for (const ErrnoMapping& m : table)
    if (m.err == err) return m.win;
  return fallback;
}

thread_local int tLastWinError = 0;

}  // namespace

int WinErrorFromErrno(int err) { return Lookup(kWinErrors, err, kErrGenFailure); }

int WsaErrorFromErrno(int err) { return Lookup(kWsaErrors, err, 10022); }

int LastWinError() { return tLastWinError; }

void SetLastWinError(int err) { tLastWinError = err; }
