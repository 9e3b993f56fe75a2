"""Reads what the Wine checks need from a PE32 or PE32+ image: headers, imports and exports."""
import struct

IMAGE_DIRECTORY_ENTRY_EXPORT = 0
IMAGE_DIRECTORY_ENTRY_IMPORT = 1
IMAGE_ORDINAL_FLAG32 = 0x80000000
IMAGE_ORDINAL_FLAG64 = 0x8000000000000000


class PeError(Exception):
    pass


class Export:
    """One export: its code or data RVA, or the "module.name" it forwards to."""

    def __init__(self, ordinal, rva, forwarder):
        self.ordinal = ordinal
        self.rva = rva
        self.forwarder = forwarder


class PeImage:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise PeError(f"{path}: no MZ header")
        pe = self._u32_at(0x3C)
        if d[pe:pe + 4] != b"PE\0\0":
            raise PeError(f"{path}: no PE signature")
        self.machine, nsections = struct.unpack_from("<HH", d, pe + 4)
        opt_size = struct.unpack_from("<H", d, pe + 20)[0]
        opt = pe + 24
        magic = struct.unpack_from("<H", d, opt)[0]
        if magic not in (0x10B, 0x20B):
            raise PeError(f"{path}: neither a PE32 nor a PE32+ image")
        # PE32+ widens the image base and the import lookup entries to 64 bits.
        self.wide = magic == 0x20B
        self.entry_rva = self._u32_at(opt + 16)
        self.image_base = struct.unpack_from("<Q", d, opt + 24)[0] if self.wide else self._u32_at(opt + 28)
        self.image_size = self._u32_at(opt + 56)
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        dirs = opt + (112 if self.wide else 96)
        ndirs = self._u32_at(dirs - 4)
        self.directories = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(min(ndirs, 16))]
        self.sections = []
        for i in range(nsections):
            s = opt + opt_size + 40 * i
            vsize, va, raw_size, raw_ptr = struct.unpack_from("<IIII", d, s + 8)
            self.sections.append((va, max(vsize, raw_size), raw_ptr, raw_size))

    def _u32_at(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset(self, rva):
        """File offset of an RVA, or None when the RVA has no file data behind it."""
        for va, size, raw_ptr, raw_size in self.sections:
            if va <= rva < va + size:
                return raw_ptr + (rva - va) if rva - va < raw_size else None
        return None

    def read(self, rva, size):
        off = self.offset(rva)
        return b"" if off is None else self.data[off:off + size]

    def u32(self, rva):
        return struct.unpack("<I", self.read(rva, 4))[0]

    def cstring(self, rva):
        off = self.offset(rva)
        if off is None:
            return None
        end = self.data.find(b"\0", off)
        return self.data[off:end].decode("ascii", "replace")

    def imports(self):
        """[(module name, [name or ordinal number, ...]), ...] in import table order."""
        rva, size = self.directories[IMAGE_DIRECTORY_ENTRY_IMPORT]
        result = []
        if not size:
            return result
        while True:
            lookup, _, _, name_rva, iat = struct.unpack("<IIIII", self.read(rva, 20))
            if name_rva == 0:
                return result
            thunk = lookup or iat
            size, ordinal_flag = (8, IMAGE_ORDINAL_FLAG64) if self.wide else (4, IMAGE_ORDINAL_FLAG32)
            names = []
            while True:
                entry = int.from_bytes(self.read(thunk, size), "little")
                if entry == 0:
                    break
                names.append(entry & 0xFFFF if entry & ordinal_flag else self.cstring((entry & 0x7FFFFFFF) + 2))
                thunk += size
            result.append((self.cstring(name_rva), names))
            rva += 20

    def exports(self):
        """(by name, by ordinal): dicts of Export."""
        rva, size = self.directories[IMAGE_DIRECTORY_ENTRY_EXPORT]
        by_name, by_ordinal = {}, {}
        if not size:
            return by_name, by_ordinal
        base, nfuncs, nnames, funcs, names, ordinals = struct.unpack("<IIIIII", self.read(rva + 16, 24))
        for i in range(nfuncs):
            func = self.u32(funcs + 4 * i)
            if func == 0:
                continue
            forwarder = self.cstring(func) if rva <= func < rva + size else None
            by_ordinal[base + i] = Export(base + i, func, forwarder)
        for i in range(nnames):
            index = struct.unpack("<H", self.read(ordinals + 2 * i, 2))[0]
            if base + index in by_ordinal:
                by_name[self.cstring(self.u32(names + 4 * i))] = by_ordinal[base + index]
        return by_name, by_ordinal
