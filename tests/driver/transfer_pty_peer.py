"""The program on the pty side of the driver's transfer test: pyserial on the bridge's pty, the
control socket beside it. It reads the bytes the driver writes and checks them, and at the same
time writes its own bytes for the driver to read.

Usage: transfer_pty_peer.py TTY CONTROL_SOCKET BAUD COUNT SEED_IN SEED_OUT. The driver writes COUNT
bytes of the pattern of SEED_IN; this program writes COUNT bytes of the pattern of SEED_OUT (the
pseudo-random bytes of serial_rig::Payload). Prints "ok: received N, sent N" and exits 0 when
every byte arrived in order; otherwise prints what went wrong and exits 1.
"""
import socket
import sys
import threading

import serial

XON, XOFF = 0x11, 0x13


def payload(count, seed):
    """serial_rig::Payload: xorshift32 bytes without XON and XOFF."""
    out = bytearray()
    x = (seed * 2654435761 + 1) & 0xFFFFFFFF
    while len(out) < count:
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        b = x >> 24
        if b not in (XON, XOFF):
            out.append(b)
    return bytes(out)


def fail(text):
    print(text)
    sys.exit(1)


def main(tty, control, baud, count, seed_in, seed_out):
    count = int(count)
    want = payload(count, int(seed_in))
    mine = payload(count, int(seed_out))
    ctl = socket.socket(socket.AF_UNIX)
    ctl.settimeout(10)
    ctl.connect(control)
    port = serial.Serial(tty, int(baud), timeout=10)
    # The bridge delivers 8N1 until told otherwise; RI tells the test that this side is open.
    ctl.sendall(b'FORMAT 8N\nRI 1\n')

    sent = []
    writer = threading.Thread(target=lambda: sent.append(port.write(mine)))
    writer.start()
    got = bytearray()
    while len(got) < count:
        chunk = port.read(count - len(got))
        if not chunk:
            break
        got += chunk
    writer.join(10)
    if writer.is_alive() or sent != [count]:
        fail(f'writing {count} bytes did not finish: {sent!r}')
    if len(got) != count:
        fail(f'expected {count} bytes from the driver, got {len(got)}')
    if got != want:
        first = next(i for i in range(count) if got[i] != want[i])
        fail(f'byte {first} from the driver is {got[first]:#04x}, expected {want[first]:#04x}')
    print(f'ok: received {len(got)}, sent {sent[0]}')


if __name__ == '__main__':
    main(*sys.argv[1:7])
