"""ctypes as pyserial's Windows backend sees it on Windows: with WinError and FormatError, which
describe the library's last error (ctypes on Linux has neither)."""

import ctypes
import errno
import types

# Windows' messages for the error codes the comm API sets.
_MESSAGES = {
    0: "The operation completed successfully.",
    1: "Incorrect function.",
    2: "The system cannot find the file specified.",
    3: "The system cannot find the path specified.",
    5: "Access is denied.",
    6: "The handle is invalid.",
    8: "Not enough memory resources are available to process this command.",
    13: "The data is invalid.",
    21: "The device is not ready.",
    22: "The device does not recognize the command.",
    31: "A device attached to the system is not functioning.",
    32: "The process cannot access the file because it is being used by another process.",
    50: "The request is not supported.",
    55: "The specified network resource or device is no longer available.",
    87: "The parameter is incorrect.",
    121: "The semaphore timeout period has expired.",
    122: "The data area passed to a system call is too small.",
    123: "The filename, directory name, or volume label syntax is incorrect.",
    170: "The requested resource is in use.",
    234: "More data is available.",
    258: "The wait operation timed out.",
    995: "The I/O operation has been aborted because of either a thread exit or an application request.",
    996: "Overlapped I/O event is not in a signaled state.",
    997: "Overlapped I/O operation is in progress.",
    998: "Invalid access to memory location.",
    1117: "The request could not be performed because of an I/O device error.",
    1167: "The device is not connected.",
    1168: "Element not found.",
    1460: "This operation returned because the timeout period expired.",
    1617: "The device has been removed.",
    1784: "The supplied user buffer is not valid for the requested operation.",
}

# The errno Python gives an OSError of these Windows errors; EINVAL for the others.
_ERRNO = {2: errno.ENOENT, 3: errno.ENOENT, 5: errno.EACCES, 6: errno.EBADF, 8: errno.ENOMEM,
          32: errno.EACCES, 170: errno.EAGAIN}


def format_error(code):
    return _MESSAGES.get(code, "<no description>")


def win_error(code=None, descr=None):
    """The OSError ctypes.WinError gives on Windows: the last error's errno, message and winerror."""
    if code is None:
        from tarnwire_serial import win32  # pylint: disable=import-outside-toplevel
        code = win32.GetLastError()
    if descr is None:
        descr = format_error(code)
    error = OSError(_ERRNO.get(code, errno.EINVAL), descr)
    error.winerror = code
    return error


class _CtypesOnWindows(types.ModuleType):
    """The ctypes module with the Windows-only functions a Windows program calls."""

    def __getattr__(self, name):
        return getattr(ctypes, name)


def ctypes_on_windows():
    module = _CtypesOnWindows("ctypes")
    module.WinError = win_error
    module.FormatError = format_error
    return module
