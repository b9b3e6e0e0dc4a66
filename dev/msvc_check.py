#!/usr/bin/env python3
"""Compiles every C and C++ source of a configured mingw-w64 build once more, with the build's own flags,
to find the faults that MSVC's /W4 /WX reports and the cross build would not:

- a std::min or std::max after <windows.h> where the build does not define NOMINMAX: msvc-headers/windows.h
  brings back the Windows SDK's min and max macros, which mingw-w64's libstdc++ keeps out;
- a wchar_t range narrowed into a char string (std::string(wide.begin(), wide.end())): C4244 inside the
  standard library, which GCC shows only with -Wconversion -Wsystem-headers;
- any other warning in the project's own files, shadowed names (-Wshadow) among them.

Usage: msvc_check.py BUILD-DIR (configured with CMAKE_EXPORT_COMPILE_COMMANDS=ON). Status 1 on a finding.
"""
import json
import os
import re
import shlex
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
LOCATION = re.compile(r"^(?P<file>[^:\s][^:]*):(?P<line>\d+):(?:\d+:)? *(?P<text>.*)$")
NARROWED = re.compile(r"conversion from '(?:const )?(?:wchar_t|char16_t|char32_t)' to '[^']*'"
                      r"(?: \{aka '[^']*'\})? may change value")
NARROW_TYPE = re.compile(r" to '([^']*)'(?: \{aka '([^']*)'\})?")


def own(path, directory):
    """The project's file for a path in a diagnostic, relative to the root; None for any other file."""
    full = os.path.realpath(os.path.join(directory, path))
    if not full.startswith(ROOT + os.sep) or full.startswith(os.path.join(ROOT, "build")):
        return None
    return os.path.relpath(full, ROOT)


def check(entry):
    """The findings in one source file."""
    directory = entry["directory"]
    command = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    nominmax = any(word in ("-DNOMINMAX", "-DNOMINMAX=1", "/DNOMINMAX") for word in command)
    command = command[:1] + ["-isystem", os.path.join(HERE, "msvc-headers"),
                             f"-DTARNEL_BUILD_NOMINMAX={int(nominmax)}"] + command[1:] + [
        "-fsyntax-only", "-Wno-error", "-Wconversion", "-Wsystem-headers"]
    result = subprocess.run(command, cwd=directory, capture_output=True, text=True,
                            env=dict(os.environ, LC_ALL="C"))
    findings, context = [], None
    for line in result.stderr.splitlines():
        match = LOCATION.match(line)
        if not match:
            continue
        where = own(match["file"], directory)
        text = match["text"]
        if text.startswith("required from") or text.startswith("In instantiation"):
            if where:
                context = f"{where}:{match['line']}"
            continue
        if text.startswith("error:"):
            hint = " (the Windows SDK's min/max macros? MSVC sees them after <windows.h> unless NOMINMAX)" \
                if re.search(r"\b(min|max)\b|unqualified-id before '\('", text) else ""
            findings.append(f"{where or match['file']}:{match['line']}: {text}{hint}")
        elif text.startswith("warning:") and NARROWED.search(text):
            kind = NARROW_TYPE.search(text)
            target = (kind[2] or kind[1]) if kind else ""
            spot = f"{where}:{match['line']}" if where else context
            if target.endswith("char") and spot:
                findings.append(f"{spot}: a wide character range narrowed into a char string "
                                "(MSVC: C4244, an error under /WX); convert it explicitly")
        elif text.startswith("warning:") and where and "-Wconversion" not in text \
                and "-Wsign-conversion" not in text:
            findings.append(f"{where}:{match['line']}: {text}")
        if text.startswith(("error:", "warning:")):
            context = None
    if result.returncode != 0 and not findings:
        findings.append(f"{entry['file']}: the compiler failed:\n{result.stderr.strip()}")
    return findings


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: msvc_check.py BUILD-DIR")
    with open(os.path.join(sys.argv[1], "compile_commands.json"), encoding="utf-8") as file:
        entries = [entry for entry in json.load(file) if own(entry["file"], entry["directory"])]
    if not entries:
        sys.exit("msvc_check.py: no source of the project in the build's compile commands")
    findings = []
    for entry in entries:
        findings += check(entry)
    for finding in sorted(set(findings)):
        print(finding)
    print(f"msvc_check.py: {len(entries)} sources, {len(set(findings))} findings")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
