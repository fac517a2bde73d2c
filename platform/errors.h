// Error numbers. The server tests for the Windows system error numbers (2, 32, 80,
// 183, ...) and reports socket failures with the WinSock numbers and texts; on Linux
// both come from errno, mapped here and nowhere else.
#pragma once

// Windows system error numbers the server and its tools act on.
enum WinError : int {
  kErrSuccess = 0,
  kErrFileNotFound = 2,
  kErrPathNotFound = 3,
  kErrTooManyOpenFiles = 4,
  kErrAccessDenied = 5,
  kErrInvalidHandle = 6,
  kErrNotEnoughMemory = 8,
  kErrInvalidData = 13,
  kErrWriteFault = 29,
  kErrReadFault = 30,
  kErrGenFailure = 31,
  kErrSharingViolation = 32,
  kErrLockViolation = 33,
  kErrHandleEof = 38,
  kErrHandleDiskFull = 39,
  kErrNotSupported = 50,
  kErrBadNetPath = 53,             // ERROR_BAD_NETPATH: a registry's server out of reach
  kErrFileExists = 80,
  kErrInvalidParameter = 87,
  kErrBrokenPipe = 109,
  kErrDiskFull = 112,
  kErrInvalidName = 123,
  kErrDirNotEmpty = 145,
  kErrBusy = 170,
  kErrAlreadyExists = 183,
  kErrFilenameTooLong = 206,
  kErrMoreData = 234,
  kErrNoMoreItems = 259,
  kErrCantOpenAnonymous = 1347,
  kErrBadDatabase = 1009,          // ERROR_BADDB: the registry store is not usable
  kErrKeyDeleted = 1018,
  kErrTimeout = 1460,
};

// The Windows error number for an errno value (unknown ones become 31, general
// failure).
int WinErrorFromErrno(int err);

// WinSock error numbers for socket failures: 10000 + the BSD number, as WinSock
// numbers them (ECONNREFUSED -> 10061, EADDRINUSE -> 10048, ...). 0 stays 0;
// an errno WinSock has no name for becomes 10022 (WSAEINVAL).
int WsaErrorFromErrno(int err);

// The thread's last error, the stand-in for GetLastError/SetLastError.
int LastWinError();
void SetLastWinError(int err);
