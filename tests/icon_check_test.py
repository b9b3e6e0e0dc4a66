#!/usr/bin/env python3
"""The icon check of the build (cmake/CheckIcon.cmake) on a table of broken and sound .ico files.

    tests/icon_check_test.py SOURCE_DIR CMAKE [CONFIGURE-OPTIONS...]

Each row is run through `cmake -P`; the last rows configure the project itself (launcher only) with a
broken and a sound icon, with CONFIGURE-OPTIONS (the generator and toolchain of the build under test).
"""
import struct
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

source, cmake, configure_options = Path(sys.argv[1]), sys.argv[2], sys.argv[3:]
check = source / "cmake" / "CheckIcon.cmake"


def bitmap(side):
    """A 32-bit icon image: BITMAPINFOHEADER (height doubled for the mask), pixels, 1-bit mask."""
    header = struct.pack("<IiiHHIIiiII", 40, side, 2 * side, 1, 32, 0, 0, 0, 0, 0, 0)
    mask_row = (side + 31) // 32 * 4
    return header + b"\x80" * (4 * side * side) + b"\0" * (mask_row * side)


def png(side):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    rows = b"".join(b"\0" + b"\x80" * (4 * side) for _ in range(side))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))


def ico(images, kind=1, count=None, fix=None):
    """An .ico of (side, image bytes); `count` overrides the header's count, `fix(i, entry)` an entry."""
    count = len(images) if count is None else count
    offset = 6 + 16 * len(images)
    directory, data = b"", b""
    for i, (side, image) in enumerate(images):
        entry = [side % 256, side % 256, 0, 0, 1, 32, len(image), offset]
        if fix:
            fix(i, entry)
        directory += struct.pack("<BBBBHHII", *entry)
        data += image
        offset += len(image)
    return struct.pack("<HHH", 0, kind, count) + directory + data


def set_entry(index, field, value):
    def fix(i, entry):
        if i == index:
            entry[field] = value
    return fix


three = [(16, bitmap(16)), (32, bitmap(32)), (48, bitmap(48))]
seven = [(side, bitmap(side)) for side in (16, 24, 32, 48, 64, 128)] + [(256, png(256))]

# name, file bytes (None: no file), refused?, text expected in the output
ROWS = [
    ("missing", None, True, "no such file"),
    ("three bytes", b"\0\0\1", True, "too short for the 6-byte ICO header"),
    ("a PNG file", png(16), True, "does not begin with the ICO header"),
    ("a cursor", ico(three, kind=2), True, "a cursor (.cur), not an icon"),
    ("zero images", ico([]), True, "holds no image"),
    ("truncated directory", ico(three)[:6 + 16 * 2], True, "truncated directory: 3 images need 54 bytes"),
    ("count beyond the entries", ico(three[:1], count=300), True, "truncated directory: 300 images"),
    ("image cut short", ico(three)[:-10], True, "image 3 of 3 (48x48) lies outside the file"),
    ("offset far outside", ico(three, fix=set_entry(1, 7, 0xFFFFFFF0)), True,
     "image 2 of 3 (32x32) lies outside the file: bytes 4294967280 to"),
    ("size far outside", ico(three, fix=set_entry(0, 6, 0xFFFFFFFF)), True,
     "image 1 of 3 (16x16) lies outside the file"),
    ("image inside the directory", ico(three, fix=set_entry(0, 7, 10)), True, "starts at byte 10, inside"),
    ("empty image", ico(three, fix=set_entry(2, 6, 0)), True, "image 3 of 3 (48x48) is 0 bytes"),
    ("neither PNG nor bitmap", ico([(16, b"GIF89a" + b"\0" * 100)]), True, "neither a PNG image nor a bitmap"),
    ("three sizes", ico(three), False, "lacks the usual sizes 24, 64, 128, 256"),
    ("only 256, as PNG", ico([(256, png(256))]), False, "lacks the usual sizes 16, 24, 32, 48, 64, 128"),
    ("seven sizes", ico(seven), False, None),
    ("the default icon", (source / "res" / "tarnel.ico").read_bytes(), False, None),
]

failures = 0


def expect(name, command, refused, text, quiet):
    global failures
    run = subprocess.run(command, capture_output=True, text=True)
    output = run.stdout + run.stderr
    flat = " ".join(output.split())  # CMake wraps its messages
    problems = []
    if (run.returncode != 0) != refused:
        problems.append(f"status {run.returncode}, expected {'a refusal' if refused else 'success'}")
    if text and text not in flat:
        problems.append(f"no '{text}' in the output")
    if quiet and "lacks the usual sizes" in flat:
        problems.append("a warning about missing sizes")
    if problems:
        failures += 1
        print(f"FAIL {name}: {'; '.join(problems)}\n{output}")
    else:
        print(f"ok   {name}")


with tempfile.TemporaryDirectory() as temp:
    for number, (name, data, refused, text) in enumerate(ROWS):
        # A space and a semicolon in every name: the check must take the path as one word.
        path = Path(temp) / f"icon {number}; test.ico"
        if data is not None:
            path.write_bytes(data)
        expect(name, [cmake, f"-DICON={path}", "-P", str(check)], refused, text,
               quiet=not refused and text is None)

    # The project itself: configuring stops on a broken icon, and goes on past a sound one.
    for name, data, refused, text in [("configure, image cut short", ico(three)[:-10], True,
                                       "lies outside the file"),
                                      ("configure, three sizes", ico(three), False,
                                       "lacks the usual sizes 24, 64, 128, 256")]:
        path = Path(temp) / "app.ico"
        path.write_bytes(data)
        build = Path(temp) / "build"
        expect(name, [cmake, "-S", str(source), "-B", str(build), *configure_options, "-DTARNEL_TESTS=OFF",
                      "-DTARNEL_BENCH=OFF", f"-DTARNEL_ICON={path}"], refused, text, quiet=False)
        # The refused configure must not have written a build system.
        if refused and (build / "tarnel.rc").exists():
            failures += 1
            print(f"FAIL {name}: tarnel.rc was written although the icon was refused")

print(f"{len(ROWS) + 2 - failures} of {len(ROWS) + 2} cases passed")
sys.exit(1 if failures else 0)
