"""The tarnwire command as a user runs it: the demo and its capture, the terminal with a pyserial
program on the pty, the shipped scenarios, the option checks and the help of every subcommand.

Run as: python3 tarnwire_command_test.py TARNWIRE SCENARIO_DIR [unittest arguments]
"""
import glob
import os
import re
import subprocess
import sys
import tempfile
import unittest

import serial

TOOL = sys.argv[1]
SCENARIOS = sys.argv[2]


def run(*args, stdin=None, timeout=120):
    return subprocess.run([TOOL, *args], input=stdin, capture_output=True, text=True, timeout=timeout)


def without_wall_time(text):
    return re.sub(r"[0-9.]+ s wall.*", "", text)


def tshark(*args):
    result = subprocess.run(["tshark", *args], capture_output=True, text=True, timeout=120)
    if result.returncode != 0:
        raise AssertionError("tshark failed: " + result.stderr)
    return result.stdout


class DemoTest(unittest.TestCase):
    BYTES = 65536

    def test_moves_and_checks_data_both_ways_and_writes_a_decodable_capture(self):
        with tempfile.TemporaryDirectory() as tmp:
            capture = os.path.join(tmp, "demo.pcap")
            r = run("demo", "--bytes", str(self.BYTES), "--capture", capture)
            self.assertEqual(0, r.returncode, r.stdout + r.stderr)
            out = r.stdout
            self.assertIn("Result        every check passed", out)
            self.assertIn("chip revision 0x30; the driver read 0x30 from the chip", out)
            self.assertIn("chip revision 0x10; the driver took it for an older chip", out)
            for direction in ("COM3 -> COM4", "COM4 -> COM3"):
                self.assertIn("%s  %d bytes sent, %d received, every byte as sent" % (direction, self.BYTES, self.BYTES), out)
            self.assertRegex(out, r"COM3: CTS x[1-9]", "the RTS/CTS leg is held and released at least once")
            self.assertIn("USB capture", out)

            self.assertEqual("", tshark("-r", capture, "-Y", "_ws.malformed").strip(), "malformed packets")
            rows = tshark("-r", capture, "-T", "fields", "-e", "usb.irp_id", "-e", "usb.irp_info.direction",
                          "-e", "usb.transfer_type", "-e", "usb.endpoint_address", "-e", "usb.data_len").split("\n")
            outstanding = set()
            bulk_out = 0
            for row in filter(None, rows):
                irp, direction, transfer, endpoint, length = row.split("\t")
                if direction == "0x00":
                    self.assertNotIn(irp, outstanding, "request %s submitted twice" % irp)
                    outstanding.add(irp)
                    if transfer == "0x03" and endpoint == "0x02":
                        bulk_out += int(length)
                else:
                    self.assertIn(irp, outstanding, "completion of %s without its request" % irp)
                    outstanding.remove(irp)
            self.assertEqual(set(), outstanding, "requests never completed")
            # Both legs each way went out on the bulk-out pipes (flow-control characters add a few).
            self.assertGreaterEqual(bulk_out, 2 * (self.BYTES + self.BYTES // 8))

    def test_the_printed_command_replays_the_run_step_for_step(self):
        first = run("demo", "--bytes", "8192", "--seed", "77", "--mp", "--capture", "-")
        self.assertEqual(0, first.returncode, first.stdout)
        replay = re.search(r"Replay +(tarnwire demo .*)", first.stdout).group(1).split()[1:]
        self.assertEqual(["demo", "--seed", "77", "--bytes", "8192", "--mp"], replay)
        again = run(*replay, "--capture", "-")
        self.assertEqual(without_wall_time(first.stdout), without_wall_time(again.stdout))


class TermTest(unittest.TestCase):
    def start(self):
        p = subprocess.Popen([TOOL, "term", "COM8", "--peer", "pty", "--baud", "19200"], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        banner = p.stderr.readline().decode()
        match = re.search(r"the pty (/dev/\S+)", banner)
        if not match:
            p.kill()
            self.fail("no pty path in: " + banner)
        return p, serial.Serial(match.group(1), 19200, timeout=10)

    def test_exchanges_bytes_with_a_program_on_the_pty_and_ends_at_end_of_input(self):
        p, pty = self.start()
        self.addCleanup(p.stdout.close)
        self.addCleanup(p.stderr.close)
        try:
            pty.write(b"from the pty \x00\xff\n")
            self.assertEqual(b"from the pty \x00\xff\n", p.stdout.readline())
            p.stdin.write(b"from the terminal\n")
            p.stdin.flush()
            self.assertEqual(b"from the terminal\n", pty.readline())
            p.stdin.close()
            self.assertEqual(0, p.wait(timeout=20))
        finally:
            pty.close()
            if p.poll() is None:
                p.kill()

    def test_ctrl_right_bracket_ends_the_session_and_what_follows_it_is_not_sent(self):
        p, pty = self.start()
        self.addCleanup(p.stdout.close)
        self.addCleanup(p.stderr.close)
        self.addCleanup(p.stdin.close)
        try:
            pty.timeout = 2
            p.stdin.write(b"last words\x1dnot sent\n")
            p.stdin.flush()
            self.assertEqual(b"last words", pty.read(10))
            self.assertEqual(0, p.wait(timeout=20), "the session ends without the end of input")
            try:
                rest = pty.read(100)
            except serial.SerialException:
                rest = b""  # the pty went with the session
            self.assertEqual(b"", rest)
        finally:
            pty.close()
            if p.poll() is None:
                p.kill()


class RunTest(unittest.TestCase):
    def test_every_shipped_scenario_passes(self):
        scenarios = sorted(glob.glob(os.path.join(SCENARIOS, "*.scenario")))
        self.assertGreaterEqual(len(scenarios), 3)
        for path in scenarios:
            with self.subTest(path=os.path.basename(path)):
                r = run("run", path)
                self.assertEqual(0, r.returncode, r.stdout + r.stderr)
                self.assertIn("Result        every check passed", r.stdout)

    def scenario(self, text):
        f = tempfile.NamedTemporaryFile("w", suffix=".scenario", delete=False)
        f.write(text)
        f.close()
        self.addCleanup(os.remove, f.name)
        return f.name

    def test_a_step_that_fails_is_reported_with_a_non_zero_exit(self):
        path = self.scenario("bridge COM3\nloopback COM3\nunplug COM3\nsend COM3 COM3 10\n")
        r = run("run", path)
        self.assertEqual(1, r.returncode, r.stdout)
        self.assertIn("FAILED: cannot open COM3", r.stdout)
        self.assertIn("1 check failed", r.stdout)

    def test_a_malformed_scenario_gives_one_line_naming_the_line_and_the_problem(self):
        cases = [
            ("bridge COM3\nfrobnicate COM3\n", ":2: 'frobnicate' is not a step"),
            ("bridge COM3\nsend COM3 COM4 10\n", ":2: COM4 is not a bridge declared above"),
            ("bridge COM3 rev=0x1G\n", ":1: 'rev=0x1G' is not a revision"),
            ("bridge COM3\nloopback COM3\nline 9600 9N1 none\n", ":3: '9N1' is not a format"),
            ("bridge COM3\nloopback COM3\nsend COM3 COM3 -5\n", ":3: '-5' is not a byte count"),
            ("bridge COM3\nsleep 5\nloopback COM3\n", ":3: loopback comes after the steps began"),
            ("bridge COM3\n", "no steps"),
        ]
        for text, message in cases:
            with self.subTest(message=message):
                r = run("run", self.scenario(text))
                self.assertEqual(2, r.returncode)
                self.assertEqual("", r.stdout)
                self.assertEqual(1, len(r.stderr.strip().split("\n")), r.stderr)
                self.assertIn(message, r.stderr)

    def test_a_missing_scenario_file_is_named(self):
        r = run("run", "/nonexistent/x.scenario")
        self.assertNotEqual(0, r.returncode)
        self.assertIn("/nonexistent/x.scenario", r.stderr)


class OptionsTest(unittest.TestCase):
    def test_bad_values_are_errors_in_words_with_a_non_zero_exit(self):
        cases = [
            (["demo", "--seed", "-1"], "'-1' is not a seed"),
            (["demo", "--seed", "18446744073709551616"], "is not a seed"),
            (["demo", "--seed", "123456789012345678901234"], "is not a seed"),
            (["demo", "--seed", "12x"], "is not a seed"),
            (["demo", "--bytes", "10"], "--bytes"),
            (["demo", "--frobnicate"], "--frobnicate"),
            (["term", "COM0", "--peer", "pty"], "'COM0' is not a port"),
            (["term", "COM257", "--peer", "pty"], "'COM257' is not a port"),
            (["term", "COM8"], "--peer"),
            (["term", "COM8", "--peer", "tcp"], "tcp"),
            (["term", "COM8", "--peer", "pty", "--baud", "5000000"], "is not a rate"),
            (["term", "COM8", "--peer", "pty", "--format", "8X1"], "is not a format"),
            (["term", "COM8", "--peer", "pty", "--flow", "dtr"], "is not a flow control"),
            (["run"], "scenario"),
            ([], "subcommand"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                r = run(*args)
                self.assertNotEqual(0, r.returncode)
                self.assertIn(message, r.stderr)
                self.assertNotIn("Result", r.stdout, "nothing ran")

    def test_the_largest_seed_is_accepted(self):
        r = run("demo", "--bytes", "1024", "--seed", "18446744073709551615", "--capture", "-")
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertIn("seed 18446744073709551615", r.stdout)

    def test_version(self):
        r = run("--version")
        self.assertEqual(0, r.returncode)
        self.assertRegex(r.stdout.strip(), r"^tarnwire \d+\.\d+\.\d+\.\d+$")

    def test_help_of_every_subcommand_lists_its_options(self):
        common = ["--seed", "--mp", "--capture", "--trace", "--help"]
        for sub, own in (("demo", ["--bytes"]), ("term", ["--peer", "--baud", "--format", "--flow", "port"]),
                         ("run", ["scenario"])):
            with self.subTest(sub=sub):
                r = run(sub, "--help")
                self.assertEqual(0, r.returncode)
                self.assertIn("Usage:", r.stdout)
                for option in common + own:
                    self.assertIn(option, r.stdout)
        top = run("--help")
        self.assertEqual(0, top.returncode)
        for sub in ("demo", "term", "run"):
            self.assertIn(sub, top.stdout)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[3:]], verbosity=2)
