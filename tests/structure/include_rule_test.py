#!/usr/bin/env python3
"""Proves a folder's include rules with the tree's own compile commands.

include_rule_test.py COMPILE_COMMANDS SOURCE_DIR FOLDER [--refuse HEADER]... [--no-windows-h]

Takes the compile command of FOLDER's smallest source from compile_commands.json (of a portable
one, not *_win.cpp, with --no-windows-h), checks that it compiles that source, then compiles with
it a file that includes only one forbidden header: each HEADER (a path from SOURCE_DIR, which must
exist there) must be refused as not found, and with --no-windows-h <windows.h> must be refused by
the portable stand-in (cmake/folders.cmake). Any other outcome fails the test.
"""
import argparse
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile

POISON = "portable source: windows.h is for"


def command_for(entries, source_dir, folder, portable):
    prefix = os.path.join(source_dir, folder) + os.sep
    candidates = []
    for entry in entries:
        path = os.path.normpath(os.path.join(entry["directory"], entry["file"]))
        if not path.startswith(prefix) or not path.endswith(".cpp"):
            continue
        if portable and path.endswith("_win.cpp"):
            continue
        candidates.append((os.path.getsize(path), path, entry))
    if not candidates:
        sys.exit(f"no {'portable ' if portable else ''}source of {folder}/ in the compile commands")
    # The smallest: it is compiled once to show that the command works.
    _, path, entry = min(candidates, key=lambda c: c[:2])
    return entry["directory"], path, entry.get("arguments") or shlex.split(entry["command"])


def syntax_check(directory, args, source):
    """The command with its output, dependency file and source replaced: checks SOURCE only."""
    out, skip = [], 0
    for arg in args:
        if skip:
            skip -= 1
            continue
        if arg in ("-o", "-c", "-MT", "-MF", "-MQ"):
            skip = 1
            continue
        if arg in ("-MD", "-MMD"):
            continue
        out.append(arg)
    run = subprocess.run(out + ["-fsyntax-only", source], cwd=directory, capture_output=True,
                         text=True, timeout=120)
    return run.returncode, run.stdout + run.stderr


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("commands")
    parser.add_argument("source_dir")
    parser.add_argument("folder")
    parser.add_argument("--refuse", action="append", default=[])
    parser.add_argument("--no-windows-h", action="store_true")
    opts = parser.parse_args()

    with open(opts.commands) as f:
        entries = json.load(f)
    directory, source, args = command_for(entries, opts.source_dir, opts.folder, opts.no_windows_h)
    code, output = syntax_check(directory, args, source)
    if code != 0:
        print(f"FAIL: the command of {source} does not compile it:\n{output}")
        return 1
    print(f"the command of {os.path.relpath(source, opts.source_dir)} compiles it")

    failures = 0
    probes = [(f'"{h}"', h) for h in opts.refuse]
    if opts.no_windows_h:
        probes.append(("<windows.h>", None))
    with tempfile.TemporaryDirectory() as work:
        for spelled, header in probes:
            if header and not os.path.isfile(os.path.join(opts.source_dir, header)):
                print(f"FAIL: {header} does not exist, so refusing it proves nothing")
                failures += 1
                continue
            probe = os.path.join(work, "probe.cpp")
            with open(probe, "w") as f:
                f.write(f"#include {spelled}\n")
            code, output = syntax_check(directory, args, probe)
            if header:
                name = re.escape(header)
                reason = re.compile(f"{name}: No such file or directory|'{name}' file not found")
            else:
                reason = re.compile(re.escape(POISON))
            if code != 0 and reason.search(output):
                print(f"ok: {opts.folder}/ cannot include {spelled}")
            else:
                print(f"FAIL: {opts.folder}/ including {spelled}: exit {code}\n{output}")
                failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
