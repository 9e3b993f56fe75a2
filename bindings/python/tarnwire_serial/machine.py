"""The process's emulated machine. The library runs one per process, booted on first use from
TARNWIRE_MACHINE; boot() boots it earlier from a description of the same syntax, and running()
tells what it is."""

import ctypes
import re

from serial import SerialException

from tarnwire_serial._library import LibraryNotFound, library

_TEXT_SIZE = 1 << 16


class Bridge:
    def __init__(self, com, far_end, revision):
        self.com = com
        self.far_end = far_end  # loopback, loopback+ri, null:COMn, pty or none
        self.revision = revision


class Machine:
    """A machine as its full description spells it out (the library's own form, e.g.
    "COM8=loopback,rev=0x30;realtime;seed=1;up")."""

    def __init__(self, text):
        self.text = text
        self.bridges = {}
        self.real_time = True
        self.seed = 1
        self.multiprocessor = False
        for part in text.split(";"):
            match = re.fullmatch(r"COM(\d+)=([^,]+),rev=(0x[0-9a-f]+)", part)
            if match:
                com = int(match.group(1))
                self.bridges[com] = Bridge(com, match.group(2).lower(), int(match.group(3), 16))
            elif part in ("realtime", "virtual"):
                self.real_time = part == "realtime"
            elif part in ("up", "mp"):
                self.multiprocessor = part == "mp"
            elif part.startswith("seed="):
                self.seed = int(part[5:])
            else:
                raise ValueError("unexpected part {!r} in the machine description {!r}".format(part, text))


def boot(description=None):
    """Boots the process's machine from `description` (None: from TARNWIRE_MACHINE, as the first
    call of the API would) unless it runs already. Returns (whether this call booted it, the
    running Machine); SerialException when the process has no machine."""
    try:
        function = library().TarnwireBootMachine
    except LibraryNotFound as error:
        raise SerialException(str(error)) from None
    function.restype = ctypes.c_int
    function.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_size_t]
    text = ctypes.create_string_buffer(_TEXT_SIZE)
    result = function(None if description is None else description.encode("ascii"), text, _TEXT_SIZE)
    message = text.value.decode("ascii", "replace")
    if result < 0:
        raise SerialException("no emulated machine: " + message)
    return result == 1, Machine(message)


def running():
    """The process's machine, booted now as on first use if it was not."""
    return boot(None)[1]
