"""The program on the far side of the pty bridge test: pyserial on the pty, the control socket beside it.

Usage: pty_peer.py TTY CONTROL_SOCKET. Prints "ok" and exits 0 when every step saw what it expected.
"""
import socket
import sys

import serial


def fail(text):
    print(text)
    sys.exit(1)


def main(tty, control):
    ctl = socket.socket(socket.AF_UNIX)
    ctl.settimeout(5)
    ctl.connect(control)
    lines = ctl.makefile('r')

    def expect(want):
        got = lines.readline().strip()
        if got != want:
            fail(f'control socket: expected {want!r}, got {got!r}')

    for want in ('DTR 0', 'RTS 0', 'OUT1 0', 'BREAK 0'):
        expect(want)

    # The chip runs 8E1 at 6 MHz / 52 = 115385 baud, 0.16% from this port's rate. A Linux pty
    # drops the parity setting, so the bridge takes size and parity from the control socket.
    port = serial.Serial(tty, 115200, parity=serial.PARITY_EVEN, timeout=5)
    ctl.sendall(b'FORMAT 8E\n')
    port.write(b'R')  # ready
    got = port.read(5)
    if got != b'hello':
        fail(f'from the chip: expected hello, got {got!r}')
    expect('DTR 1')
    port.write(b'world')
    ctl.sendall(b'CTS 0\n')

    expect('BREAK 1')
    got = port.read(1)
    if got != b'\0':
        fail(f'a break must read as one 0x00 byte, got {got!r}')
    expect('BREAK 0')

    # Half the chip's rate: what this side sends is a framing error there, what the chip sends
    # arrives garbled here.
    port.baudrate = 57600
    port.write(b'U')
    got = port.read(3)
    if len(got) != 3 or got == b'bdf':
        fail(f'three garbled bytes expected at the wrong rate, got {got!r}')
    print('ok')


if __name__ == '__main__':
    main(*sys.argv[1:3])
