#!/usr/bin/env python3
"""Checks a Pathvigil.dll's export table and resources from the PE file itself."""
import struct
import sys


def main(path):
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        print(f"{path}: no PE signature")
        return 1
    nsections = struct.unpack_from("<H", data, pe + 6)[0]
    optsize = struct.unpack_from("<H", data, pe + 20)[0]
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    ddir = opt + (96 if magic == 0x10B else 112)
    sections = []
    for i in range(nsections):
        s = opt + optsize + 40 * i
        vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
        sections.append((va, max(vsize, rawsize), rawptr))

    def off(rva):
        for va, size, raw in sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError(f"rva {rva:#x} outside sections")

    def cstr(rva):
        o = off(rva)
        return data[o:data.index(b"\0", o)].decode()

    errors = []
    # Exports: names with ordinals.
    exp_rva = struct.unpack_from("<I", data, ddir)[0]
    e = off(exp_rva)
    base, nfuncs, nnames, funcs, names, ords = struct.unpack_from("<IIIIII", data, e + 16)
    exports = {}
    for i in range(nnames):
        name = cstr(struct.unpack_from("<I", data, off(names) + 4 * i)[0])
        exports[name] = base + struct.unpack_from("<H", data, off(ords) + 2 * i)[0]
    want = {"DllCanUnloadNow": 1, "DllGetClassObject": 2, "DllRegisterServer": 3, "DllUnregisterServer": 4}
    if exports != want:
        errors.append(f"exports {exports}, want {want}")

    # Resources: collect (type, id) pairs of the top two levels.
    res_rva = struct.unpack_from("<I", data, ddir + 2 * 8)[0]
    found = set()
    if res_rva:
        root = off(res_rva)

        def entries(d):
            named, ids = struct.unpack_from("<HH", data, d + 12)
            for i in range(named + ids):
                name, target = struct.unpack_from("<II", data, d + 16 + 8 * i)
                if name & 0x80000000:
                    so = root + (name & 0x7FFFFFFF)
                    n = struct.unpack_from("<H", data, so)[0]
                    name = data[so + 2:so + 2 + 2 * n].decode("utf-16-le")
                yield name, target

        for tname, ttarget in entries(root):
            if ttarget & 0x80000000:
                for rname, _ in entries(root + (ttarget & 0x7FFFFFFF)):
                    found.add((tname, rname))
    for need in [("REGISTRY", 3002), ("TYPELIB", 1)]:
        if need not in found:
            errors.append(f"resource {need[0]} {need[1]} missing")
    for e in errors:
        print(f"{path}: {e}")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(max(main(p) for p in sys.argv[1:]))
