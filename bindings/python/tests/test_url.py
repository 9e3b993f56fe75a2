"""The tarnwire:// URL scheme and the runner: bad URLs and options are refused with a message
naming the fault, the first URL boots the process's machine as it describes, later ones must
agree with that machine, and programs written for Windows run through python3 -m tarnwire_serial."""

import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

import serial

import tarnwire_serial
from tarnwire_serial import url

from support import EXAMPLE_OUTPUT, wait_until

os.environ.pop("TARNWIRE_MACHINE", None)  # this process's machine is the one its first URL describes



def run_python(arguments, machine=None, **environment):
    env = dict(os.environ)
    env.pop("TARNWIRE_MACHINE", None)
    if machine is not None:
        env["TARNWIRE_MACHINE"] = machine
    env.update(environment)
    return subprocess.run([sys.executable] + arguments, env=env, capture_output=True, text=True, timeout=60)


class UrlSyntaxTest(unittest.TestCase):
    def test_bad_urls_name_what_is_wrong(self):
        cases = {
            "tarnwire://": "expected a port COM1 to COM256",
            "tarnwire://COM0": "not 'COM0'",
            "tarnwire://COM257": "not 'COM257'",
            "tarnwire://LPT1?peer=loopback": "not 'LPT1'",
            "tarnwire://COM8/loopback": "nothing but options",
            "tarnwire://COM8?peer=loopbak": "peer must be loopback, loopback\\+ri, null:COMm, pty or none",
            "tarnwire://COM8?peer=null:COM8": "needs another port",
            "tarnwire://COM8?peer=null:LPT2": "needs another port",
            "tarnwire://COM8?rev=0x100": "rev must be a number from 0 to 0xFF",
            "tarnwire://COM8?rev=zz": "rev must be",
            "tarnwire://COM8?seed=-1": "seed must be",
            "tarnwire://COM8?seed=18446744073709551616": "seed must be",
            "tarnwire://COM8?mp=1": "mp takes no value",
            "tarnwire://COM8?speed=9600": "unknown option 'speed'",
            "tarnwire://COM8?seed=1&seed=2": "'seed' is given twice",
            "tarnwire://COM8?mp&up": "'up' is given twice",
        }
        for url, message in cases.items():
            with self.subTest(url=url):
                with self.assertRaisesRegex(serial.SerialException, "bad URL '.*': .*" + message):
                    serial.serial_for_url(url, do_not_open=True)

    def test_options_are_case_blind_and_percent_decoded(self):
        request = url.parse("TARNWIRE://com12?PEER=Loopback%2BRI&rev=42&seed=0x10&mp")
        self.assertEqual((request.com, request.peer, request.revision, request.seed, request.multiprocessor),
                         (12, "loopback+ri", 42, 16, True))
        self.assertEqual(request.description(), "COM12=loopback+ri,rev=0x2a;seed=16;mp;realtime")


class FirstUrlTest(unittest.TestCase):
    def test_the_first_url_boots_the_machine_and_later_ones_must_agree(self):
        near = serial.serial_for_url("tarnwire://COM9?peer=null:COM10&rev=0x2A&seed=7&mp", 19200, timeout=2)
        self.addCleanup(near.close)
        booted, running = tarnwire_serial.boot()
        self.assertFalse(booted)
        self.assertEqual(running.text, "COM9=null:COM10,rev=0x2a;COM10=null:COM9,rev=0x30;realtime;seed=7;mp")
        self.assertEqual((near.name, near.port), ("COM9", "tarnwire://COM9?peer=null:COM10&rev=0x2A&seed=7&mp"))

        far = serial.serial_for_url("tarnwire://COM10?peer=null:COM9", 19200, timeout=2)
        self.addCleanup(far.close)
        near.write(b"over the cable")
        self.assertEqual(far.read(14), b"over the cable")
        far.write(b"and back")
        self.assertEqual(near.read(8), b"and back")
        near.dtr = False
        near.rts = False
        self.assertTrue(wait_until(lambda: not (far.dsr or far.cd or far.cts)), "the far end still sees DTR or RTS")
        self.assertTrue(near.dsr and near.cts)

        refusals = {
            "tarnwire://COM10?peer=loopback": "COM10 has null:com9 at its far end, not loopback",
            "tarnwire://COM9?rev=0x30": "COM9 has revision 0x2a, not 0x30",
            "tarnwire://COM9?seed=8": "its seed is 7, not 8",
            "tarnwire://COM9?up": "its processor model is mp",
            "tarnwire://COM11": "it has no COM11",
        }
        for url, why in refusals.items():
            with self.subTest(url=url):
                with self.assertRaisesRegex(serial.SerialException, "cannot open '.*' on the process's machine "
                                            "'COM9=.*': " + why):
                    serial.serial_for_url(url)
        with self.assertRaisesRegex(serial.SerialException, "could not open port.*Access is denied"):
            serial.serial_for_url("tarnwire://COM9")


class ProcessTest(unittest.TestCase):
    """Fresh processes: machines described by TARNWIRE_MACHINE, a missing library, the runner."""

    def check_code(self, code, machine=None, **environment):
        result = run_python(["-c", textwrap.dedent(code)], machine, **environment)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def test_tarnwire_machine_describes_the_machine_urls_open_ports_of(self):
        out = self.check_code("""
            import serial, tarnwire_serial
            port = serial.serial_for_url("tarnwire://COM8?peer=loopback+ri")
            print(port.ri)
            try:
                serial.serial_for_url("tarnwire://COM3?peer=loopback")
            except serial.SerialException as error:
                print(error)
            """, machine="COM8=loopback+ri;COM3=null:COM4;COM4")
        self.assertIn("True\n", out)
        self.assertIn("COM3 has null:com4 at its far end, not loopback", out)

        out = self.check_code("""
            import serial, tarnwire_serial
            try:
                serial.serial_for_url("tarnwire://COM8")
            except serial.SerialException as error:
                print(error)
            """, machine="COM8=loopback;virtual")
        self.assertIn("runs in virtual time", out)

    def test_a_missing_library_is_named(self):
        missing = "/nonexistent/libtarnwire-win32.so"
        out = self.check_code("""
            import serial, tarnwire_serial
            try:
                serial.serial_for_url("tarnwire://COM8")
            except serial.SerialException as error:
                print(error)
            """, TARNWIRE_WIN32_LIBRARY=missing)
        self.assertIn("libtarnwire-win32.so not found (looked for {}); set TARNWIRE_WIN32_LIBRARY".format(missing),
                      out)

    def test_the_example_runs_unchanged_on_the_default_machine(self):
        result = run_python(["-m", "tarnwire_serial", "-m", "tarnwire_serial.example"])
        self.assertEqual((result.returncode, result.stdout), (0, EXAMPLE_OUTPUT), result.stderr)
        # The same program by its path, on a machine where COM8 has no plug: nothing comes back.
        path = os.path.join(os.path.dirname(tarnwire_serial.__file__), "example.py")
        result = run_python(["-m", "tarnwire_serial", path], machine="COM8")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("read 0 bytes: b''\nmodem lines: none\n", result.stdout)

    def test_the_runner_passes_arguments_and_reports_a_bad_machine(self):
        with tempfile.TemporaryDirectory() as directory:
            program = os.path.join(directory, "program.py")
            with open(program, "w") as f:
                f.write("import sys, serial\nprint(sys.argv[1:], serial.Serial.__module__)\n")
            result = run_python(["-m", "tarnwire_serial", program, "--baud", "9600"])
            self.assertEqual(result.stdout, "['--baud', '9600'] serial.serialwin32\n", result.stderr)
            result = run_python(["-m", "tarnwire_serial", program], machine="COM8=loopbak")
            self.assertEqual(result.returncode, 1)
            self.assertIn("bad part 'COM8=loopbak'", result.stderr)
        result = run_python(["-m", "tarnwire_serial"])
        self.assertEqual(result.returncode, 2)
        self.assertIn("usage:", result.stderr)


if __name__ == "__main__":
    unittest.main()
