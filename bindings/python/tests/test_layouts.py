"""The ctypes structures standing in for pyserial's have the layouts of the library's windows.h:
every size, field offset and bit field, as a C program built against the header prints them."""

import ctypes
import os
import subprocess
import unittest

from tarnwire_serial import win32

STRUCTURES = {
    "SECURITY_ATTRIBUTES": win32._SECURITY_ATTRIBUTES,
    "OVERLAPPED": win32.OVERLAPPED,
    "COMSTAT": win32.COMSTAT,
    "DCB": win32.DCB,
    "COMMTIMEOUTS": win32.COMMTIMEOUTS,
}


def bit_fields(structure):
    return {field[0]: field[2] for field in structure._fields_ if len(field) == 3}


def python_line(name, member, kind, word=None):
    structure = STRUCTURES[name]
    if kind == "size":
        return "{} size {}".format(name, ctypes.sizeof(structure))
    if kind == "offset":
        return "{}.{} offset {}".format(name, member, getattr(structure, member).offset)
    instance = structure()
    setattr(instance, member, (1 << bit_fields(structure)[member]) - 1)
    value = int.from_bytes(bytes(instance)[word:word + 4], "little")
    return "{}.{} word {} 0x{:08x}".format(name, member, word, value)


class LayoutTest(unittest.TestCase):
    def test_every_structure_matches_the_header(self):
        out = subprocess.run([os.environ["TARNWIRE_WIN32_LAYOUTS"]], check=True, capture_output=True,
                             text=True).stdout.splitlines()
        self.assertGreater(len(out), 50)
        described = set()
        for line in out:
            words = line.split()
            name, _, member = words[0].partition(".")
            described.add(words[0])
            with self.subTest(line=line):
                word = int(words[2]) if words[1] == "word" else None
                self.assertEqual(python_line(name, member, words[1], word), line)
        # Every field of the Python declarations was compared.
        for name, structure in STRUCTURES.items():
            for field in structure._fields_:
                if not field[0].startswith("_"):
                    self.assertIn("{}.{}".format(name, field[0]), described)

    def test_pointer_sized_types_and_32_bit_dwords(self):
        self.assertEqual(ctypes.sizeof(win32.DWORD), 4)
        self.assertEqual(ctypes.sizeof(win32.ULONG_PTR), ctypes.sizeof(ctypes.c_void_p))
        self.assertEqual(win32.INVALID_HANDLE_VALUE, (1 << (8 * ctypes.sizeof(ctypes.c_void_p))) - 1)


if __name__ == "__main__":
    unittest.main()
