"""The program on the pty side of the driver's line test: pyserial on the bridge's pty, the control
socket beside it.

Usage: line_pty_peer.py TTY CONTROL_SOCKET BAUD FORMAT TEXT, with FORMAT as data bits, parity
(N, O, E, M or S) and stop bits (1 or 2), e.g. 7E1. Prints "ok" and exits 0 when every step saw
what it expected; otherwise prints what went wrong and exits 1.
"""
import socket
import sys

import serial

OTHER_PARITY = {'N': 'S', 'O': 'E', 'E': 'O', 'M': 'S', 'S': 'M'}


def fail(text):
    print(text)
    sys.exit(1)


def main(tty, control, baud, fmt, text):
    ctl = socket.socket(socket.AF_UNIX)
    ctl.settimeout(10)
    ctl.connect(control)
    lines = ctl.makefile('r')

    def expect(*wanted):
        for want in wanted:
            got = lines.readline().strip()
            if got != want:
                fail(f'control socket: expected {want!r}, got {got!r}')

    def read(count, what):
        got = port.read(count)
        if len(got) != count:
            fail(f'{what}: expected {count} bytes, got {got!r}')
        return got

    expect('DTR 0', 'RTS 0', 'OUT1 0', 'BREAK 0')
    stopbits = serial.STOPBITS_TWO if fmt[2] == '2' else serial.STOPBITS_ONE
    port = serial.Serial(tty, int(baud), stopbits=stopbits, timeout=10)
    # A Linux pty keeps neither size nor parity: the bridge takes them from the control socket.
    # RI tells the test that this side is ready.
    ctl.sendall(f'FORMAT {fmt[:2]}\nRI 1\n'.encode())
    # Each character carries the data bits of the text's byte; the bits above them are gone.
    want = bytes(b & ((1 << int(fmt[0])) - 1) for b in text.encode())
    got = read(len(want), 'the driver\'s text')
    if got != want:
        fail(f'expected {want!r}, the data bits of {text!r}, got {got!r}')

    expect('DTR 1', 'RTS 1', 'BREAK 1')
    if read(1, 'the break') != b'\0':
        fail('a break must read as one 0x00 byte')
    expect('BREAK 0', 'DTR 0', 'RTS 0')

    # Another parity: the next character has a parity error here (pyserial clears INPCK, so it
    # arrives as sampled); the test counts it at the bridge.
    ctl.sendall(f'FORMAT {fmt[0]}{OTHER_PARITY[fmt[1]]}\nRI 0\n'.encode())
    read(1, 'the character at the wrong parity')
    print('ok')


if __name__ == '__main__':
    main(*sys.argv[1:6])
