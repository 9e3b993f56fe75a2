"""The tarnwire:// URL handler pyserial finds through serial.protocol_handler_packages: a port of
the emulated machine (see tarnwire_serial.url), served by pyserial's Windows backend."""

import threading

from serial import SerialException

from tarnwire_serial import backend, url

_lock = threading.Lock()
_class = None


def _url_serial_class():
    global _class
    with _lock:
        if _class is None:
            base = backend.serial_class()

            class Serial(base):
                """serial.serialwin32.Serial on the port a tarnwire:// URL names."""

                def open(self):
                    if self._port is None:
                        raise SerialException("Port must be configured before it can be used.")
                    if self.is_open:
                        raise SerialException("Port is already open.")
                    request = url.parse(self._port)
                    url.machine_for(request)
                    self.name = "COM{}".format(request.com)
                    super().open()

            _class = Serial
        return _class


def serial_class_for_url(port_url):
    """What serial_for_url calls: checks the URL now, so that a bad one fails before a port is
    made; the machine is booted when the port opens."""
    url.parse(port_url)
    return port_url, _url_serial_class()


def __getattr__(name):
    if name == "Serial":
        return _url_serial_class()
    raise AttributeError(name)
