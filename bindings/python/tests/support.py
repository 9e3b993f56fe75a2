"""What the tests share."""

import time

# What the example prints on a port with a loopback plug.
EXAMPLE_OUTPUT = """\
opened COM8 at 9600 8N1
now at 115200
wrote 16 bytes
read 16 bytes: b'hello, loopback\\n'
modem lines: CTS DSR CD
DTR off: CTS
RTS off: none
both on: CTS DSR CD
closed
"""


def wait_until(condition, limit=5.0):
    """Polls condition until it holds (True) or `limit` seconds of wall-clock time pass (False)."""
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True
