"""pyserial's Windows backend on Linux over the emulated machine of libtarnwire-win32.so.

Importing the package registers the URL scheme tarnwire:// with pyserial:
    serial.serial_for_url("tarnwire://COM8?peer=loopback", 9600, timeout=1)
and `python3 -m tarnwire_serial program.py` runs a pyserial program written for Windows
(serial.Serial("COM8", ...)) against the machine TARNWIRE_MACHINE describes.
"""

import serial

from tarnwire_serial.backend import serial_class, use_windows_backend
from tarnwire_serial.machine import boot

__all__ = ["serial_class", "use_windows_backend", "boot"]

if __name__ not in serial.protocol_handler_packages:
    serial.protocol_handler_packages.append(__name__)
