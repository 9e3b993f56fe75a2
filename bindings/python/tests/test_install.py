"""cmake --install puts the package beside the library, and the installed package finds the
library from where it is installed, with no environment variable."""

import os
import subprocess
import sys
import tempfile
import unittest

from support import EXAMPLE_OUTPUT


class InstallTest(unittest.TestCase):
    def test_the_installed_package_finds_the_installed_library(self):
        with tempfile.TemporaryDirectory() as prefix:
            for component in ("win32", "python"):
                subprocess.run([os.environ["TARNWIRE_CMAKE"], "--install", os.environ["TARNWIRE_BUILD_DIR"],
                                "--prefix", prefix, "--component", component], check=True, capture_output=True)
            packages = os.path.join(prefix, "lib", "python3", "dist-packages")
            for name in ("__init__.py", "__main__.py", "win32.py", "protocol_tarnwire.py", "example.py"):
                self.assertTrue(os.path.isfile(os.path.join(packages, "tarnwire_serial", name)), name)
            env = {key: value for key, value in os.environ.items()
                   if key not in ("TARNWIRE_WIN32_LIBRARY", "TARNWIRE_MACHINE")}
            env["PYTHONPATH"] = packages
            result = subprocess.run(
                [sys.executable, "-c", "import tarnwire_serial, tarnwire_serial._library as l; "
                 "print(tarnwire_serial.__file__); print(l.library()._name)"],
                env=env, capture_output=True, text=True, cwd=prefix, timeout=60)
            self.assertEqual(result.stdout.split(), [os.path.join(packages, "tarnwire_serial", "__init__.py"),
                                                     os.path.join(prefix, "lib", "libtarnwire-win32.so")],
                             result.stderr)
            result = subprocess.run([sys.executable, "-m", "tarnwire_serial", "-m", "tarnwire_serial.example"],
                                    env=env, capture_output=True, text=True, cwd=prefix, timeout=60)
            self.assertEqual(result.stdout, EXAMPLE_OUTPUT, result.stderr)


if __name__ == "__main__":
    unittest.main()
