"""A pyserial program as written for Windows: opens COM8, sets it up, writes a line and reads it
back through a loopback plug, shows what the modem lines do, and closes the port.

On the emulated machine: python3 -m tarnwire_serial -m tarnwire_serial.example
"""

import time

import serial


def lines(port):
    time.sleep(0.1)  # the inputs follow the outputs through the plug
    names = [("CTS", port.cts), ("DSR", port.dsr), ("RI", port.ri), ("CD", port.cd)]
    return " ".join(name for name, on in names if on) or "none"


def main():
    port = serial.Serial("COM8", 9600, bytesize=serial.EIGHTBITS, parity=serial.PARITY_NONE,
                         stopbits=serial.STOPBITS_ONE, timeout=2)
    print("opened {} at {} {}{}{}".format(port.name, port.baudrate, port.bytesize, port.parity, port.stopbits))
    port.baudrate = 115200
    print("now at {}".format(port.baudrate))

    written = port.write(b"hello, loopback\n")
    print("wrote {} bytes".format(written))
    echo = port.readline()
    print("read {} bytes: {!r}".format(len(echo), echo))

    print("modem lines: {}".format(lines(port)))
    port.dtr = False
    print("DTR off: {}".format(lines(port)))
    port.rts = False
    print("RTS off: {}".format(lines(port)))
    port.dtr = True
    port.rts = True
    print("both on: {}".format(lines(port)))

    port.close()
    print("closed")


if __name__ == "__main__":
    main()
