"""Finding and loading libtarnwire-win32.so, the emulated machine behind the Win32 comm API."""

import ctypes
import os

LIBRARY_NAME = "libtarnwire-win32.so"
ENVIRONMENT_VARIABLE = "TARNWIRE_WIN32_LIBRARY"

_library = None


class LibraryNotFound(OSError):
    pass


def candidates():
    """Where the library may be, in the order it is looked for: the environment variable, then the
    prefix this package is installed into (<prefix>/lib/python3/dist-packages/tarnwire_serial)."""
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        return [explicit]
    package = os.path.dirname(os.path.abspath(__file__))
    prefix_lib = os.path.normpath(os.path.join(package, "..", "..", ".."))
    return [os.path.join(prefix_lib, LIBRARY_NAME)]


def library():
    """The loaded library (loaded once per process); LibraryNotFound says where it was looked for."""
    global _library
    if _library is None:
        tried = []
        for path in candidates():
            if os.path.isfile(path):
                _library = ctypes.CDLL(path)
                break
            tried.append(path)
        else:
            raise LibraryNotFound(
                "{} not found (looked for {}); set {} to its path".format(
                    LIBRARY_NAME, ", ".join(tried), ENVIRONMENT_VARIABLE))
    return _library
