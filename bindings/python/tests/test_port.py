"""pyserial's Windows backend, unmodified, on ports of the emulated machine with loopback plugs:
settings, reads and writes with their time-outs, buffers, modem lines, break, flow control and
cancellation from other threads. Wall-clock time: bounds are generous, only order is asserted."""

import ctypes
import threading
import time
import unittest

import serial
import serial.rs485

import tarnwire_serial
from tarnwire_serial import win32

from support import wait_until

# COM8 and COM12 with a loopback plug (COM12 opens as \\.\COM12), COM9 with RI wired to DTR.
MACHINE = "COM8=loopback;COM9=loopback+ri;COM12=loopback;realtime"


def setUpModule():
    booted, running = tarnwire_serial.boot(MACHINE)
    assert booted, "the machine was booted before the tests: " + running.text


class PortTest(unittest.TestCase):
    def open(self, name="COM8", **settings):
        port = tarnwire_serial.serial_class()(name, **settings)
        self.addCleanup(port.close)
        return port

    def comm_state(self, port):
        dcb = win32.DCB()
        self.assertTrue(win32.GetCommState(port._port_handle, ctypes.byref(dcb)))
        return dcb

    def comm_error(self, port):
        errors, status = win32.DWORD(), win32.COMSTAT()
        self.assertTrue(win32.ClearCommError(port._port_handle, ctypes.byref(errors), ctypes.byref(status)))
        return errors.value, status

    def in_background(self, function):
        """Runs function on a thread; returns (thread, result dict with 'value' and 'seconds')."""
        result = {}

        def run():
            start = time.monotonic()
            result["value"] = function()
            result["seconds"] = time.monotonic() - start

        thread = threading.Thread(target=run, daemon=True)
        thread.start()
        return thread, result


class SettingsTest(PortTest):
    def test_open_sets_the_port_and_settings_change_while_open(self):
        port = self.open(baudrate=9600, timeout=1)
        self.assertIs(type(port), serial.serialwin32.Serial)
        dcb = self.comm_state(port)
        self.assertEqual((dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.StopBits), (9600, 8, win32.NOPARITY, 0))
        self.assertEqual((dcb.fBinary, dcb.fOutX, dcb.fInX, dcb.fRtsControl), (1, 0, 0, win32.RTS_CONTROL_ENABLE))

        port.baudrate = 57600
        port.bytesize = serial.SEVENBITS
        port.parity = serial.PARITY_EVEN
        port.stopbits = serial.STOPBITS_TWO
        port.rtscts = True
        port.dsrdtr = True
        dcb = self.comm_state(port)
        self.assertEqual((dcb.BaudRate, dcb.ByteSize, dcb.Parity, dcb.fParity, dcb.StopBits),
                         (57600, 7, win32.EVENPARITY, 1, win32.TWOSTOPBITS))
        self.assertEqual((dcb.fRtsControl, dcb.fOutxCtsFlow), (win32.RTS_CONTROL_HANDSHAKE, 1))
        self.assertEqual((dcb.fDtrControl, dcb.fOutxDsrFlow), (win32.DTR_CONTROL_HANDSHAKE, 1))
        self.assertEqual(port.write(b"seven"), 5)
        self.assertEqual(port.read(5), b"seven")
        port.rtscts = False  # the lines go back to the application
        port.dsrdtr = False
        dcb = self.comm_state(port)
        self.assertEqual((dcb.fRtsControl, dcb.fDtrControl), (win32.RTS_CONTROL_ENABLE, win32.DTR_CONTROL_ENABLE))
        self.assertEqual((dcb.fOutxCtsFlow, dcb.fOutxDsrFlow), (0, 0))
        port.rts = False
        self.assertTrue(wait_until(lambda: not port.cts and port.dsr))

        timeouts = win32.COMMTIMEOUTS()
        port.timeout = 0.25
        port.inter_byte_timeout = 0.05
        port.write_timeout = 2
        self.assertTrue(win32.GetCommTimeouts(port._port_handle, ctypes.byref(timeouts)))
        self.assertEqual((timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutConstant,
                          timeouts.WriteTotalTimeoutConstant), (50, 250, 2000))

    def test_a_port_above_com8_opens_by_its_device_path(self):
        port = self.open("COM12", timeout=1)
        port.write(b"twelve")
        self.assertEqual(port.read(6), b"twelve")

    def test_refusals_raise_serial_exceptions_with_windows_errors(self):
        self.open("COM8")
        with self.assertRaisesRegex(serial.SerialException, "COM8.*Access is denied"):
            self.open("COM8")
        with self.assertRaisesRegex(serial.SerialException, "COM5.*cannot find the file"):
            self.open("COM5")
        port = self.open("COM12")
        with self.assertRaisesRegex(serial.SerialException, "Cannot configure port.*not functioning"):
            port.baudrate = 45
        port.close()
        with self.assertRaises(serial.PortNotOpenError):
            port.read(1)


class ReadWriteTest(PortTest):
    def test_read_without_time_out_waits_for_every_byte(self):
        port = self.open(timeout=None)
        thread, result = self.in_background(lambda: port.read(6))
        time.sleep(0.2)
        self.assertTrue(thread.is_alive())
        port.write(b"abc")
        time.sleep(0.2)
        self.assertTrue(thread.is_alive(), "read returned before all six bytes came")
        port.write(b"def")
        thread.join(5)
        self.assertEqual(result.get("value"), b"abcdef")

    def test_read_time_outs(self):
        port = self.open(timeout=0.5)
        start = time.monotonic()
        self.assertEqual(port.read(4), b"")
        self.assertTrue(0.4 <= time.monotonic() - start < 4)

        port.write(b"ab")
        start = time.monotonic()
        self.assertEqual(port.read(4), b"ab")  # the two that came, after the total time-out
        self.assertTrue(0.4 <= time.monotonic() - start < 4)

        port.timeout = 0  # non-blocking: what is there now
        self.assertEqual(port.read(4), b"")
        port.write(b"xyz")
        self.assertTrue(wait_until(lambda: port.in_waiting == 3))
        self.assertEqual(port.read(2), b"xy")
        self.assertEqual(port.read(4), b"z")

    def test_inter_byte_time_out_ends_a_read_when_the_line_goes_quiet(self):
        port = self.open(timeout=10, inter_byte_timeout=0.1)
        port.write(b"burst")
        start = time.monotonic()
        self.assertEqual(port.read(100), b"burst")
        self.assertLess(time.monotonic() - start, 5)

    def test_in_waiting_counts_bytes_once_they_reach_the_ring(self):
        port = self.open(timeout=1)
        self.assertEqual(port.in_waiting, 0)
        port.write(b"hello\nworld")
        self.assertTrue(wait_until(lambda: port.in_waiting == 11), port.in_waiting)
        self.assertEqual(port.readline(), b"hello\n")
        self.assertEqual(port.in_waiting, 5)
        self.assertEqual(port.read(5), b"world")

    def test_write_time_out_at_a_slow_rate(self):
        port = self.open(baudrate=300, timeout=0, write_timeout=0.3)
        start = time.monotonic()
        with self.assertRaises(serial.SerialTimeoutException):
            port.write(b"T" * 200)  # about 7 s at 300 baud
        self.assertTrue(0.2 <= time.monotonic() - start < 4)
        port.write_timeout = 5
        port.reset_output_buffer()
        port.baudrate = 9600
        self.assertEqual(port.write(b"fast"), 4)  # well within the time-out at 9600

    def test_flush_waits_for_the_output_queue(self):
        port = self.open(baudrate=19200, write_timeout=0, timeout=10)
        data = bytes(range(256)) * 8  # about 1 s at 19200 baud
        port.write(data)
        self.assertGreater(port.out_waiting, 1000)
        port.flush()
        self.assertEqual(port.out_waiting, 0)
        self.assertEqual(port.read(len(data)), data)


class BufferTest(PortTest):
    def test_reset_input_buffer_discards_what_came(self):
        port = self.open(timeout=0.2)
        port.write(b"stale")
        self.assertTrue(wait_until(lambda: port.in_waiting == 5))
        port.reset_input_buffer()
        self.assertEqual(port.in_waiting, 0)
        self.assertEqual(port.read(5), b"")
        port.write(b"fresh")
        self.assertEqual(port.read(5), b"fresh")

    def test_reset_output_buffer_drops_a_pending_write(self):
        port = self.open("COM12", baudrate=300, write_timeout=0, timeout=0)
        port.write(b"P" * 200)
        self.assertGreater(port.out_waiting, 100)
        port.reset_output_buffer()  # the write in flight is cancelled once its transfer is aborted
        self.assertTrue(wait_until(lambda: port.out_waiting == 0, 2.0), port.out_waiting)
        time.sleep(1.0)  # what the bridge had taken still goes out; the rest never does
        self.assertLess(len(port.read(200)), 150)


class LinesTest(PortTest):
    def test_dtr_drives_dsr_and_cd_and_rts_drives_cts(self):
        port = self.open()
        self.assertEqual((port.cts, port.dsr, port.cd, port.ri), (True, True, True, False))
        port.dtr = False
        self.assertTrue(wait_until(lambda: not port.dsr and not port.cd))
        self.assertTrue(port.cts)
        port.rts = False
        self.assertTrue(wait_until(lambda: not port.cts))
        port.dtr = True
        self.assertTrue(wait_until(lambda: port.dsr and port.cd))
        self.assertFalse(port.cts)
        self.assertFalse(port.ri)

    def test_ri_follows_dtr_through_a_plug_that_wires_it(self):
        port = self.open("COM9")
        self.assertTrue(port.ri)
        port.dtr = False
        self.assertTrue(wait_until(lambda: not port.ri))
        port.dtr = True
        self.assertTrue(wait_until(lambda: port.ri))

    def test_break_holds_output_until_it_ends(self):
        port = self.open(write_timeout=0, timeout=1)
        port.break_condition = True
        port.write(b"q")
        time.sleep(0.3)
        self.assertEqual(port.out_waiting, 1)
        self.assertNotIn(b"q", port.read(port.in_waiting))
        port.break_condition = False
        self.assertTrue(wait_until(lambda: port.out_waiting == 0))
        received = port.read(port.in_waiting or 1)
        self.assertTrue(received.endswith(b"q"), received)

    def test_send_break_returns_after_the_duration(self):
        port = self.open(timeout=0.5)
        start = time.monotonic()
        port.send_break(0.3)
        self.assertTrue(0.25 <= time.monotonic() - start < 3)
        port.reset_input_buffer()
        port.write(b"after")
        self.assertEqual(port.read(5), b"after")

    def test_xon_xoff_holds_and_releases_output(self):
        port = self.open(xonxoff=True, write_timeout=0, timeout=1)
        port.set_output_flow_control(False)  # as if XOFF came
        port.write(b"held")
        time.sleep(0.3)
        self.assertEqual((port.out_waiting, port.in_waiting), (4, 0))
        port.set_output_flow_control(True)
        self.assertEqual(port.read(4), b"held")

        port.write(serial.XOFF)  # looped back, it stops our own output and is not data
        self.assertTrue(wait_until(lambda: self.comm_error(port)[1].fXoffHold))
        port.write(b"zz")
        time.sleep(0.3)
        self.assertEqual((port.out_waiting, port.in_waiting), (2, 0))
        port.set_output_flow_control(True)
        self.assertEqual(port.read(2), b"zz")
        self.assertFalse(self.comm_error(port)[1].fXoffHold)

    def test_rs485_rts_is_on_only_while_sending(self):
        port = self.open(baudrate=1200, write_timeout=0)
        port.rs485_mode = serial.rs485.RS485Settings()
        self.assertEqual(self.comm_state(port).fRtsControl, win32.RTS_CONTROL_TOGGLE)
        self.assertTrue(wait_until(lambda: not port.cts), "RTS stays on with nothing to send")
        port.write(b"R" * 120)  # about 1 s at 1200 baud
        self.assertTrue(wait_until(lambda: port.cts, 1.0), "RTS is not on while sending")
        self.assertTrue(wait_until(lambda: port.in_waiting == 120))
        self.assertTrue(wait_until(lambda: not port.cts), "RTS stays on after the data went out")
        with self.assertRaisesRegex(ValueError, "rts_level_for_rx"):
            port.rs485_mode = serial.rs485.RS485Settings(rts_level_for_rx=True)
        port.rs485_mode = None
        self.assertEqual(self.comm_state(port).fRtsControl, win32.RTS_CONTROL_ENABLE)
        self.assertTrue(wait_until(lambda: port.cts))


class CancelTest(PortTest):
    def test_cancel_read_from_another_thread(self):
        port = self.open(timeout=None)
        thread, result = self.in_background(lambda: port.read(10))
        time.sleep(0.3)
        self.assertTrue(thread.is_alive())
        port.cancel_read()
        thread.join(5)
        self.assertFalse(thread.is_alive(), "cancel_read did not end the read")
        self.assertEqual(result["value"], b"")
        port.timeout = 1
        port.write(b"again")
        self.assertEqual(port.read(5), b"again")

    def test_cancel_write_from_another_thread(self):
        port = self.open(baudrate=300, timeout=0)
        thread, result = self.in_background(lambda: port.write(b"W" * 300))  # 10 s at 300 baud
        time.sleep(0.5)
        self.assertTrue(thread.is_alive())
        port.cancel_write()
        thread.join(5)
        self.assertFalse(thread.is_alive(), "cancel_write did not end the write")
        self.assertLess(result["value"], 300)
        self.assertLess(result["seconds"], 5)

    def test_writes_and_line_changes_while_a_read_waits(self):
        port = self.open(timeout=None)
        thread, result = self.in_background(lambda: port.read(8))
        time.sleep(0.2)
        port.write(b"from")
        port.dtr = False
        self.assertTrue(wait_until(lambda: not port.dsr))
        port.dtr = True
        port.write(b"main")
        thread.join(5)
        self.assertEqual(result.get("value"), b"frommain")

    def test_many_threads_on_many_ports_at_once(self):
        ports = [self.open(name, timeout=2) for name in ("COM8", "COM9", "COM12")]
        payloads = [bytes([65 + i]) * 200 for i in range(len(ports))]
        workers = [self.in_background(lambda p=p, d=d: (p.write(d), p.read(len(d))))
                   for p, d in zip(ports, payloads)]
        for (thread, result), data in zip(workers, payloads):
            thread.join(10)
            self.assertEqual(result.get("value"), (len(data), data))


if __name__ == "__main__":
    unittest.main()
