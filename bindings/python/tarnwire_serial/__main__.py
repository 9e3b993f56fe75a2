"""python3 -m tarnwire_serial [-m module | program.py] [arguments]

Runs a pyserial program written for Windows on the emulated machine: serial.Serial is pyserial's
Windows backend over libtarnwire-win32.so, the machine is the one TARNWIRE_MACHINE describes (one
bridge as COM8 with a loopback plug when unset), and tarnwire:// URLs work too."""

import runpy
import sys

from serial import SerialException

import tarnwire_serial

USAGE = "usage: python3 -m tarnwire_serial [-m module | program.py] [arguments]"


def main(argv):
    if not argv or argv[0] in ("-h", "--help") or (argv[0] == "-m" and len(argv) < 2):
        print(USAGE, file=sys.stderr)
        return 2
    try:
        tarnwire_serial.use_windows_backend()
        _, running = tarnwire_serial.boot()
    except SerialException as error:
        print("tarnwire_serial: {}".format(error), file=sys.stderr)
        return 1
    if not running.real_time:
        print("tarnwire_serial: the machine {!r} runs in virtual time; a Python program needs real time"
              .format(running.text), file=sys.stderr)
        return 1
    if argv[0] == "-m":
        sys.argv = argv[1:]
        runpy.run_module(argv[1], run_name="__main__", alter_sys=True)
    else:
        sys.argv = argv
        runpy.run_path(argv[0], run_name="__main__")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
