"""pyserial's own Windows backend, serial.serialwin32, loaded unmodified over the library: the
module serial.win32 it imports is tarnwire_serial.win32, and the ctypes it calls WinError from is
the one of _errors."""

import importlib
import sys
import threading

import serial
from serial import SerialException

from tarnwire_serial import _errors
from tarnwire_serial._library import LibraryNotFound

_lock = threading.Lock()


def serial_class():
    """serial.serialwin32.Serial over libtarnwire-win32.so; SerialException when there is no
    library."""
    with _lock:
        module = sys.modules.get("serial.serialwin32")
        if module is None:
            try:
                from tarnwire_serial import win32  # pylint: disable=import-outside-toplevel
            except LibraryNotFound as error:
                raise SerialException(str(error)) from None
            sys.modules["serial.win32"] = win32
            serial.win32 = win32
            module = importlib.import_module("serial.serialwin32")
            module.ctypes = _errors.ctypes_on_windows()
        return module.Serial


def use_windows_backend():
    """Makes serial.Serial (and serial_for_url of a plain port name) the Windows backend."""
    serial.Serial = serial_class()
    return serial.Serial
