"""tarnwire://COMn?options: a port of the process's emulated machine.

Options: peer=loopback|loopback+ri|null:COMm|pty|none (what is at the far end of the port),
rev=0xNN (the bridge's chip revision), seed=N (the scheduler's seed), mp or up (processor model).
When the process's machine has not booted yet and TARNWIRE_MACHINE is unset, the first URL opened
boots it: its port (with a loopback plug unless peer= says otherwise), the far bridge of a
null-modem cable, in real time. Otherwise the URL names a port of the running machine, and each
option it gives must be what that machine has."""

import os
import re
from urllib.parse import unquote, urlsplit

from serial import SerialException

from tarnwire_serial import machine

SCHEME = "tarnwire"
_OPTIONS = "peer=, rev=, seed=, mp or up"


class PortRequest:
    def __init__(self, url):
        self.url = url
        self.com = None
        self.peer = None  # None: whatever the machine has
        self.revision = None
        self.seed = None
        self.multiprocessor = None

    def fail(self, why):
        raise SerialException("bad URL {!r}: {}".format(self.url, why))

    def description(self):
        """The machine this URL boots when it is the first."""
        peer = self.peer or "loopback"
        parts = ["COM{}={}".format(self.com, peer)]
        if self.revision is not None:
            parts[0] += ",rev=0x{:02x}".format(self.revision)
        if peer.startswith("null:"):
            parts.append(peer[5:])
        if self.seed is not None:
            parts.append("seed={}".format(self.seed))
        if self.multiprocessor is not None:
            parts.append("mp" if self.multiprocessor else "up")
        parts.append("realtime")
        return ";".join(parts)

    def mismatch(self, running):
        """What the running machine lacks of this request, or None."""
        bridge = running.bridges.get(self.com)
        if bridge is None:
            return "it has no COM{}".format(self.com)
        if not running.real_time:
            return "it runs in virtual time, and a Python program needs real time"
        if self.peer is not None and bridge.far_end != self.peer:
            return "COM{} has {} at its far end, not {}".format(self.com, bridge.far_end, self.peer)
        if self.revision is not None and bridge.revision != self.revision:
            return "COM{} has revision 0x{:02x}, not 0x{:02x}".format(self.com, bridge.revision, self.revision)
        if self.seed is not None and running.seed != self.seed:
            return "its seed is {}, not {}".format(running.seed, self.seed)
        if self.multiprocessor is not None and running.multiprocessor != self.multiprocessor:
            return "its processor model is {}".format("mp" if running.multiprocessor else "up")
        return None


def _com(text):
    match = re.fullmatch(r"com([1-9]\d{0,2})", text, re.IGNORECASE)
    return int(match.group(1)) if match and int(match.group(1)) <= 256 else None


def _number(text, limit):
    try:
        value = int(text, 16) if text.lower().startswith("0x") else int(text, 10)
    except ValueError:
        return None
    return value if 0 <= value <= limit else None


def parse(url):
    """The PortRequest of a tarnwire:// URL; SerialException naming what is wrong."""
    request = PortRequest(url)
    try:
        parts = urlsplit(url)
    except ValueError as error:
        request.fail(str(error))
    if parts.scheme.lower() != SCHEME:
        request.fail("expected {}://COMn".format(SCHEME))
    request.com = _com(parts.netloc)
    if request.com is None:
        request.fail("expected a port COM1 to COM256 after {}://, not {!r}".format(SCHEME, parts.netloc))
    if parts.path not in ("", "/") or parts.fragment:
        request.fail("nothing but options may follow the port")
    seen = set()
    for option in parts.query.split("&") if parts.query else []:
        key, has_value, value = option.partition("=")
        key, value = unquote(key).lower(), unquote(value)
        if key in seen or (key in ("mp", "up") and seen & {"mp", "up"}):
            request.fail("option {!r} is given twice".format(key))
        seen.add(key)
        if key == "peer":
            peer = value.lower()
            if peer.startswith("null:"):
                other = _com(peer[5:])
                if other is None or other == request.com:
                    request.fail("peer=null:COMm needs another port COMm, not {!r}".format(value))
                peer = "null:com{}".format(other)
            elif peer not in ("loopback", "loopback+ri", "pty", "none"):
                request.fail("peer must be loopback, loopback+ri, null:COMm, pty or none, not {!r}".format(value))
            request.peer = peer
        elif key == "rev":
            request.revision = _number(value, 0xFF)
            if request.revision is None:
                request.fail("rev must be a number from 0 to 0xFF, not {!r}".format(value))
        elif key == "seed":
            request.seed = _number(value, (1 << 64) - 1)
            if request.seed is None:
                request.fail("seed must be an unsigned 64-bit number, not {!r}".format(value))
        elif key in ("mp", "up") and not has_value:
            request.multiprocessor = key == "mp"
        elif key in ("mp", "up"):
            request.fail("{} takes no value".format(key))
        else:
            request.fail("unknown option {!r}; the options are {}".format(key, _OPTIONS))
    return request


def machine_for(request):
    """Boots the process's machine from the request if it is the first and nothing else describes
    the machine, then checks that the running machine has what the request asks for."""
    description = None if "TARNWIRE_MACHINE" in os.environ else request.description()
    _, running = machine.boot(description)
    why = request.mismatch(running)
    if why is not None:
        raise SerialException("cannot open {!r} on the process's machine {!r}: {}".format(
            request.url, running.text, why))
    return running
