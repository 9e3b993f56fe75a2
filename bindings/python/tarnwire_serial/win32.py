"""The kernel32 declarations pyserial's Windows backend uses (the names of its module serial.win32),
bound to libtarnwire-win32.so. Types have the layouts of the library's windows.h on this platform:
DWORD is 32 bits and ULONG_PTR as wide as a pointer (ctypes.wintypes gives 64-bit DWORDs on Linux),
and wide strings are UTF-16 (ctypes' c_wchar is 32 bits here)."""

# pylint: disable=invalid-name,too-few-public-methods

import ctypes
from ctypes import POINTER, Structure, Union, c_char, c_void_p, sizeof

from tarnwire_serial._library import library

BYTE = ctypes.c_uint8
WORD = ctypes.c_uint16
DWORD = ctypes.c_uint32
BOOL = ctypes.c_int32
HANDLE = c_void_p
ULONG_PTR = ctypes.c_size_t
PVOID = c_void_p
LPVOID = c_void_p
LPCVOID = c_void_p


class LPCWSTR(c_void_p):
    """A NUL-terminated UTF-16 string argument, from a str (or None for NULL)."""

    @classmethod
    def from_param(cls, value):
        if value is None:
            return None
        if not isinstance(value, str):
            raise TypeError("a str is required, not {}".format(type(value).__name__))
        # byref keeps the buffer alive for the duration of the call.
        return ctypes.byref(ctypes.create_string_buffer((value + "\0").encode("utf-16-le")))


class LPCSTR(c_void_p):
    """A NUL-terminated string argument in the machine's code page (Latin-1), from str or bytes."""

    @classmethod
    def from_param(cls, value):
        if value is None:
            return None
        if isinstance(value, str):
            value = value.encode("latin-1")
        if not isinstance(value, bytes):
            raise TypeError("a str or bytes is required, not {}".format(type(value).__name__))
        return ctypes.byref(ctypes.create_string_buffer(value))


INVALID_HANDLE_VALUE = HANDLE(-1).value


def is_64bit():
    """Whether pointers are 64 bits wide."""
    return sizeof(c_void_p) == 8


class _SECURITY_ATTRIBUTES(Structure):
    _fields_ = [
        ('nLength', DWORD),
        ('lpSecurityDescriptor', LPVOID),
        ('bInheritHandle', BOOL),
    ]


LPSECURITY_ATTRIBUTES = POINTER(_SECURITY_ATTRIBUTES)


class N11_OVERLAPPED4DOLLAR_484DOLLAR_49E(Structure):
    _fields_ = [
        ('Offset', DWORD),
        ('OffsetHigh', DWORD),
    ]


class N11_OVERLAPPED4DOLLAR_48E(Union):
    _anonymous_ = ['_0']
    _fields_ = [
        ('_0', N11_OVERLAPPED4DOLLAR_484DOLLAR_49E),
        ('Pointer', PVOID),
    ]


class _OVERLAPPED(Structure):
    _anonymous_ = ['_0']
    _fields_ = [
        ('Internal', ULONG_PTR),
        ('InternalHigh', ULONG_PTR),
        ('_0', N11_OVERLAPPED4DOLLAR_48E),
        ('hEvent', HANDLE),
    ]


OVERLAPPED = _OVERLAPPED


class _COMSTAT(Structure):
    _fields_ = [
        ('fCtsHold', DWORD, 1),
        ('fDsrHold', DWORD, 1),
        ('fRlsdHold', DWORD, 1),
        ('fXoffHold', DWORD, 1),
        ('fXoffSent', DWORD, 1),
        ('fEof', DWORD, 1),
        ('fTxim', DWORD, 1),
        ('fReserved', DWORD, 25),
        ('cbInQue', DWORD),
        ('cbOutQue', DWORD),
    ]


COMSTAT = _COMSTAT


class _DCB(Structure):
    _fields_ = [
        ('DCBlength', DWORD),
        ('BaudRate', DWORD),
        ('fBinary', DWORD, 1),
        ('fParity', DWORD, 1),
        ('fOutxCtsFlow', DWORD, 1),
        ('fOutxDsrFlow', DWORD, 1),
        ('fDtrControl', DWORD, 2),
        ('fDsrSensitivity', DWORD, 1),
        ('fTXContinueOnXoff', DWORD, 1),
        ('fOutX', DWORD, 1),
        ('fInX', DWORD, 1),
        ('fErrorChar', DWORD, 1),
        ('fNull', DWORD, 1),
        ('fRtsControl', DWORD, 2),
        ('fAbortOnError', DWORD, 1),
        ('fDummy2', DWORD, 17),
        ('wReserved', WORD),
        ('XonLim', WORD),
        ('XoffLim', WORD),
        ('ByteSize', BYTE),
        ('Parity', BYTE),
        ('StopBits', BYTE),
        ('XonChar', c_char),
        ('XoffChar', c_char),
        ('ErrorChar', c_char),
        ('EofChar', c_char),
        ('EvtChar', c_char),
        ('wReserved1', WORD),
    ]


DCB = _DCB


class _COMMTIMEOUTS(Structure):
    _fields_ = [
        ('ReadIntervalTimeout', DWORD),
        ('ReadTotalTimeoutMultiplier', DWORD),
        ('ReadTotalTimeoutConstant', DWORD),
        ('WriteTotalTimeoutMultiplier', DWORD),
        ('WriteTotalTimeoutConstant', DWORD),
    ]


COMMTIMEOUTS = _COMMTIMEOUTS

LPOVERLAPPED = POINTER(_OVERLAPPED)
LPDWORD = POINTER(DWORD)
LPCOMSTAT = POINTER(_COMSTAT)
LPDCB = POINTER(_DCB)
LPCOMMTIMEOUTS = POINTER(_COMMTIMEOUTS)


def _bind(name, restype, argtypes):
    function = getattr(library(), name)
    function.restype = restype
    function.argtypes = argtypes
    return function


CreateEventW = _bind('CreateEventW', HANDLE, [LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCWSTR])
CreateEventA = _bind('CreateEventA', HANDLE, [LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR])
CreateEvent = CreateEventW
CreateFileW = _bind('CreateFileW', HANDLE, [LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE])
CreateFileA = _bind('CreateFileA', HANDLE, [LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE])
CreateFile = CreateFileW
GetLastError = _bind('GetLastError', DWORD, [])
GetOverlappedResult = _bind('GetOverlappedResult', BOOL, [HANDLE, LPOVERLAPPED, LPDWORD, BOOL])
ResetEvent = _bind('ResetEvent', BOOL, [HANDLE])
WriteFile = _bind('WriteFile', BOOL, [HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED])
ReadFile = _bind('ReadFile', BOOL, [HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED])
CloseHandle = _bind('CloseHandle', BOOL, [HANDLE])
ClearCommBreak = _bind('ClearCommBreak', BOOL, [HANDLE])
ClearCommError = _bind('ClearCommError', BOOL, [HANDLE, LPDWORD, LPCOMSTAT])
SetupComm = _bind('SetupComm', BOOL, [HANDLE, DWORD, DWORD])
EscapeCommFunction = _bind('EscapeCommFunction', BOOL, [HANDLE, DWORD])
GetCommModemStatus = _bind('GetCommModemStatus', BOOL, [HANDLE, LPDWORD])
GetCommState = _bind('GetCommState', BOOL, [HANDLE, LPDCB])
GetCommTimeouts = _bind('GetCommTimeouts', BOOL, [HANDLE, LPCOMMTIMEOUTS])
PurgeComm = _bind('PurgeComm', BOOL, [HANDLE, DWORD])
SetCommBreak = _bind('SetCommBreak', BOOL, [HANDLE])
SetCommMask = _bind('SetCommMask', BOOL, [HANDLE, DWORD])
SetCommState = _bind('SetCommState', BOOL, [HANDLE, LPDCB])
SetCommTimeouts = _bind('SetCommTimeouts', BOOL, [HANDLE, LPCOMMTIMEOUTS])
WaitForSingleObject = _bind('WaitForSingleObject', DWORD, [HANDLE, DWORD])
WaitCommEvent = _bind('WaitCommEvent', BOOL, [HANDLE, LPDWORD, LPOVERLAPPED])
CancelIoEx = _bind('CancelIoEx', BOOL, [HANDLE, LPOVERLAPPED])

ONESTOPBIT = 0
ONE5STOPBITS = 1
TWOSTOPBITS = 2

NOPARITY = 0
ODDPARITY = 1
EVENPARITY = 2
MARKPARITY = 3
SPACEPARITY = 4

RTS_CONTROL_DISABLE = 0
RTS_CONTROL_ENABLE = 1
RTS_CONTROL_HANDSHAKE = 2
RTS_CONTROL_TOGGLE = 3
SETRTS = 3
CLRRTS = 4

DTR_CONTROL_DISABLE = 0
DTR_CONTROL_ENABLE = 1
DTR_CONTROL_HANDSHAKE = 2
SETDTR = 5
CLRDTR = 6

SETXOFF = 1
SETXON = 2

EV_RXCHAR = 0x0001
EV_RXFLAG = 0x0002
EV_TXEMPTY = 0x0004
EV_CTS = 0x0008
EV_DSR = 0x0010
EV_RLSD = 0x0020
EV_BREAK = 0x0040
EV_ERR = 0x0080
EV_RING = 0x0100
EV_PERR = 0x0200
EV_RX80FULL = 0x0400
EV_EVENT1 = 0x0800
EV_EVENT2 = 0x1000

MS_CTS_ON = 0x0010
MS_DSR_ON = 0x0020
MS_RING_ON = 0x0040
MS_RLSD_ON = 0x0080

PURGE_TXABORT = 0x0001
PURGE_RXABORT = 0x0002
PURGE_TXCLEAR = 0x0004
PURGE_RXCLEAR = 0x0008

GENERIC_READ = 0x80000000
GENERIC_WRITE = 0x40000000
OPEN_EXISTING = 3
FILE_ATTRIBUTE_NORMAL = 0x00000080
FILE_FLAG_OVERLAPPED = 0x40000000
MAXDWORD = 0xFFFFFFFF
INFINITE = 0xFFFFFFFF

ERROR_SUCCESS = 0
ERROR_NOT_ENOUGH_MEMORY = 8
ERROR_OPERATION_ABORTED = 995
ERROR_IO_INCOMPLETE = 996
ERROR_IO_PENDING = 997
ERROR_INVALID_USER_BUFFER = 1784

CE_RXOVER = 0x0001
CE_OVERRUN = 0x0002
CE_RXPARITY = 0x0004
CE_FRAME = 0x0008
CE_BREAK = 0x0010
