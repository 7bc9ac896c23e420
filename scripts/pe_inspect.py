#!/usr/bin/env python3
"""Checks a Pathvigil.dll from the PE file itself.

    pe_inspect.py [--allow REGEX] DLL...

For each DLL: a PE image flagged as a DLL, for i386 or x86-64; the four entry points exported by
name with ordinals 1 to 4 (each a distinct address inside the image); the resources REGISTRY 3002
and TYPELIB 1, the type library built for the DLL's own system kind (SYS_WIN32 for i386,
SYS_WIN64 for x86-64); imports only from DLLs matching --allow (case-insensitive). Prints one
summary line per DLL and every problem found; exits 1 when any DLL has a problem.
"""
import argparse
import re
import struct
import sys

MACHINES = {0x14C: "i686", 0x8664: "x86_64"}
SYSKIND_FOR = {"i686": 1, "x86_64": 3}          # SYS_WIN32, SYS_WIN64
SYSKIND_NAMES = {0: "SYS_WIN16", 1: "SYS_WIN32", 2: "SYS_MAC", 3: "SYS_WIN64"}
WANT_EXPORTS = {"DllCanUnloadNow": 1, "DllGetClassObject": 2, "DllRegisterServer": 3,
                "DllUnregisterServer": 4}
RT_NAMES = {3: "ICON", 14: "GROUP_ICON", 1: "CURSOR", 12: "GROUP_CURSOR", 2: "BITMAP", 5: "DIALOG",
            6: "STRING", 16: "VERSION", 24: "MANIFEST"}


class PeError(Exception):
    pass


class Image:
    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe = self.u32(0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine = self.u16(pe + 4)
        nsections = self.u16(pe + 6)
        optsize = self.u16(pe + 20)
        self.characteristics = self.u16(pe + 22)
        opt = pe + 24
        self.magic = self.u16(opt)
        if self.magic not in (0x10B, 0x20B):
            raise PeError(f"unknown optional header magic {self.magic:#x}")
        self.ddir = opt + (96 if self.magic == 0x10B else 112)
        self.image_size = self.u32(opt + 56)
        self.sections = []
        for i in range(nsections):
            s = opt + optsize + 40 * i
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((va, max(vsize, rawsize), rawptr))

    def u16(self, o):
        return struct.unpack_from("<H", self.data, o)[0]

    def u32(self, o):
        return struct.unpack_from("<I", self.data, o)[0]

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.ddir + 8 * index)

    def off(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise PeError(f"rva {rva:#x} outside sections")

    def cstr(self, rva):
        o = self.off(rva)
        end = self.data.index(b"\0", o)
        return self.data[o:end].decode("ascii", "replace")

    def exports(self):
        rva, _ = self.directory(0)
        if not rva:
            return {}, {}
        e = self.off(rva)
        base, nfuncs, nnames, funcs, names, ords = struct.unpack_from("<IIIIII", self.data, e + 16)
        by_name, addresses = {}, {}
        for i in range(nnames):
            name = self.cstr(self.u32(self.off(names) + 4 * i))
            index = self.u16(self.off(ords) + 2 * i)
            by_name[name] = base + index
            addresses[name] = self.u32(self.off(funcs) + 4 * index) if index < nfuncs else 0
        return by_name, addresses

    def imports(self):
        rva, _ = self.directory(1)
        found = []
        if not rva:
            return found
        o = self.off(rva)
        while True:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, o)
            if not (lookup or name or thunk):
                break
            found.append(self.cstr(name))
            o += 20
        # Delay-loaded DLLs count as imports too.
        rva, _ = self.directory(13)
        if rva:
            o = self.off(rva)
            while True:
                attrs, name = struct.unpack_from("<II", self.data, o)
                if not name:
                    break
                found.append(self.cstr(name if attrs & 1 else name - self.image_base()))
                o += 32
        return found

    def image_base(self):
        pe = self.u32(0x3C)
        opt = pe + 24
        return self.u32(opt + 28) if self.magic == 0x10B else struct.unpack_from("<Q", self.data, opt + 24)[0]

    def resources(self):
        """{(type, name): bytes of the first language's data}."""
        rva, _ = self.directory(2)
        found = {}
        if not rva:
            return found
        root = self.off(rva)

        def entries(d):
            named, ids = struct.unpack_from("<HH", self.data, d + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", self.data, d + 16 + 8 * i)
                if name & 0x80000000:
                    so = root + (name & 0x7FFFFFFF)
                    n = self.u16(so)
                    name = self.data[so + 2:so + 2 + 2 * n].decode("utf-16-le")
                yield name, target

        for tname, ttarget in entries(root):
            if not ttarget & 0x80000000:
                continue
            for rname, rtarget in entries(root + (ttarget & 0x7FFFFFFF)):
                if not rtarget & 0x80000000:
                    continue
                for _, ltarget in entries(root + (rtarget & 0x7FFFFFFF)):
                    if ltarget & 0x80000000:
                        continue
                    drva, dsize = struct.unpack_from("<II", self.data, root + ltarget)
                    o = self.off(drva)
                    found[(tname, rname)] = self.data[o:o + dsize]
                    break
        return found


def typelib_syskind(tlb):
    if len(tlb) < 24 or tlb[:4] != b"MSFT":
        return None
    return struct.unpack_from("<I", tlb, 20)[0] & 0xF


def inspect(path, allow):
    errors = []
    try:
        data = open(path, "rb").read()
        img = Image(data)
    except (OSError, PeError, struct.error) as e:
        print(f"{path}: {e}")
        return 1
    arch = MACHINES.get(img.machine)
    if not arch:
        errors.append(f"unexpected machine {img.machine:#x}")
    if not img.characteristics & 0x2000:
        errors.append("not flagged as a DLL")
    if arch == "i686" and img.magic != 0x10B or arch == "x86_64" and img.magic != 0x20B:
        errors.append("optional header does not match the machine")

    exports = {}
    try:
        exports, addresses = img.exports()
        if exports != WANT_EXPORTS:
            errors.append(f"exports {exports}, want {WANT_EXPORTS}")
        rvas = [addresses.get(n, 0) for n in WANT_EXPORTS]
        if any(not 0 < r < img.image_size for r in rvas) or len(set(rvas)) != len(rvas):
            errors.append(f"export addresses not distinct addresses inside the image: {rvas}")
    except (PeError, struct.error, ValueError) as e:
        errors.append(f"export table unreadable: {e}")

    try:
        imports = sorted({i.lower() for i in img.imports()})
        bad = [i for i in imports if not re.fullmatch(allow, i, re.IGNORECASE)]
        if bad:
            errors.append(f"imports non-system DLLs: {bad}")
    except (PeError, struct.error, ValueError) as e:
        imports = []
        errors.append(f"import table unreadable: {e}")

    try:
        res = img.resources()
    except (PeError, struct.error, ValueError) as e:
        res = {}
        errors.append(f"resources unreadable: {e}")
    registry = res.get(("REGISTRY", 3002))
    if registry is None:
        errors.append("resource REGISTRY 3002 missing")
    elif b"HKCR" not in registry:
        errors.append("resource REGISTRY 3002 is not a registry script")
    tlb = res.get(("TYPELIB", 1))
    if tlb is None:
        errors.append("resource TYPELIB 1 missing")
    else:
        syskind = typelib_syskind(tlb)
        if syskind is None:
            errors.append("resource TYPELIB 1 is not a type library")
        elif arch and syskind != SYSKIND_FOR[arch]:
            errors.append(f"type library is {SYSKIND_NAMES.get(syskind, syskind)}, "
                          f"want {SYSKIND_NAMES[SYSKIND_FOR[arch]]}")

    for e in errors:
        print(f"{path}: {e}")
    kinds = sorted(f"{RT_NAMES.get(t, t)} {n}" for t, n in res)
    print(f"{path}: {arch}, exports {len(exports)}, "
          f"imports {' '.join(imports)}; resources {', '.join(kinds)}")
    return 1 if errors else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--allow", default=r".*\.dll",
                        help="regular expression every imported DLL name must match")
    parser.add_argument("dlls", nargs="+")
    args = parser.parse_args(argv)
    return max(inspect(p, args.allow) for p in args.dlls)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
