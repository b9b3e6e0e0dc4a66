#!/usr/bin/python3
"""The release zip: the one routine that writes it (release.sh) and reads it back (verify.sh).

  release_zip.py pack --build DIR --exe FILE --commit HEX --commit-time SECONDS [--icon FILE] OUT.zip
      writes the zip: the shipped tarnel.exe, the files the build of the commit leaves in DIR, the icon,
      BUILDINFO and SHA256SUMS, stored (not compressed) with fixed headers: a pure function of its inputs
  release_zip.py check ZIP        the listing, strictly; prints the names of its members
  release_zip.py read DIR         BUILDINFO and SHA256SUMS of an unpacked zip, strictly; prints the fields
                                  verify.sh needs ("commit HEX", "icon yes|no")
  release_zip.py icon FILE        whether FILE is a well-formed .ico of bounded size
  release_zip.py compare A B      the first member or structure in which zip A differs from zip B

On a fault it prints one line, with every text from the file made visible, and ends with status 1.
"""
import hashlib
import re
import struct
import sys
import time
import zlib
from pathlib import Path

# The members, in the zip's order, and where each comes from: the shipped executable, a file the build of
# the commit leaves in its folder (src/ is the commit's tree), the publisher's icon, or made here.
# SHA256SUMS lists every member before it.
MEMBERS = [
    ("tarnel.exe", "shipped", None),
    ("README.md", "build", "src/README.md"),
    ("LICENSE", "build", "src/LICENSE"),
    ("THIRD-PARTY-NOTICES.txt", "build", "THIRD-PARTY-NOTICES.txt"),
    ("tarnel.cdx.json", "build", "tarnel.cdx.json"),
    ("icon.ico", "icon", None),
    ("BUILDINFO", "made", None),
    ("SHA256SUMS", "made", None),
]
# BUILDINFO's fields, in order; the toolchain's come from the build folder's "toolchain" file.
BUILDINFO_FIELDS = ["name", "version", "commit", "commit-time", "unsigned-sha256", "icon-sha256",
                    "compiler", "mingw-w64-runtime", "binutils", "cmake"]
OPTIONAL_FIELDS = {"icon-sha256"}
MAX_MEMBER = {"tarnel.exe": 16 << 20, "icon.ico": 1 << 20}
MAX_OTHER = 1 << 20
MAX_ZIP = 64 << 20
MAX_ICON = 1 << 20
# Fixed header values: made by and needing version 1.0 on Unix, stored, regular file with mode 0644.
VERSION_MADE, VERSION_NEEDED, MODE = (3 << 8) | 10, 10, 0o100644


class Fault(Exception):
    pass


def visible(text):
    """Control characters (and any character a terminal might act on) as \\xNN or \\uNNNN."""
    out = []
    for ch in str(text):
        if ch == "\\":
            out.append("\\\\")
        elif ch.isprintable():
            out.append(ch)
        else:
            out.append("\\x%02x" % ord(ch) if ord(ch) < 0x100 else "\\u%04x" % ord(ch))
    return "".join(out)


def dos_time(seconds):
    t = time.gmtime(max(seconds, 315532800))  # a zip cannot hold a time before 1980
    return (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec // 2), ((t.tm_year - 1980) << 9) | (t.tm_mon << 5) | t.tm_mday


def write_zip(out, files, seconds):
    """files: (name, bytes) in order. Local headers, data, central directory, end record; nothing else."""
    mtime, mdate = dos_time(seconds)
    body, central = bytearray(), bytearray()
    for name, data in files:
        raw = name.encode("ascii")
        crc = zlib.crc32(data)
        offset = len(body)
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, VERSION_NEEDED, 0, 0, mtime, mdate, crc, len(data),
                            len(data), len(raw), 0) + raw + data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, VERSION_MADE, VERSION_NEEDED, 0, 0, mtime, mdate,
                               crc, len(data), len(data), len(raw), 0, 0, 0, 0, MODE << 16, offset) + raw
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(files), len(files), len(central), len(body), 0)
    Path(out).write_bytes(bytes(body + central + end))


def sums(files):
    return "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in files)


def pack(args):
    opts = dict(zip(args[:-1:2], args[1:-1:2]))
    build, out = Path(opts["--build"]), args[-1]
    commit, seconds = opts["--commit"], int(opts["--commit-time"])
    icon = Path(opts["--icon"]).read_bytes() if "--icon" in opts else None
    if icon is not None:
        check_icon(icon)
    fields = {
        "name": "tarnel",
        "version": (build / "version").read_text().strip(),
        "commit": commit,
        "commit-time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds)),
        "unsigned-sha256": hashlib.sha256((build / "tarnel.exe").read_bytes()).hexdigest(),
    }
    if icon is not None:
        fields["icon-sha256"] = hashlib.sha256(icon).hexdigest()
    for line in (build / "toolchain").read_text().splitlines():
        key, _, value = line.partition(": ")
        fields[key] = value
    buildinfo = "".join("%s: %s\n" % (k, fields[k]) for k in BUILDINFO_FIELDS if k in fields)
    files = []
    for name, source, path in MEMBERS:
        if source == "shipped":
            files.append((name, Path(opts["--exe"]).read_bytes()))
        elif source == "build":
            files.append((name, (build / path).read_bytes()))
        elif source == "icon" and icon is not None:
            files.append((name, icon))
        elif name == "BUILDINFO":
            files.append((name, buildinfo.encode()))
        elif name == "SHA256SUMS":
            files.append((name, sums(files).encode()))
    write_zip(out, files, seconds)


def same_on_windows(name):
    """Windows ignores case and trailing dots and spaces: README.md, readme.md. and "README.md " are one file."""
    return name.rstrip(". ").lower()


def entries(data):
    """The members of a zip laid out as write_zip lays them out, each checked against its local header."""
    if len(data) > MAX_ZIP:
        raise Fault("the zip is larger than %d MiB" % (MAX_ZIP >> 20))
    if len(data) < 22 or data[-22:-18] != b"PK\5\6":
        raise Fault("no end record at the end of the zip (a comment, or data after it)")
    disk, cd_disk, here, total, cd_size, cd_offset, comment = struct.unpack_from("<HHHHIIH", data, len(data) - 18)
    if disk or cd_disk or here != total or comment:
        raise Fault("a split zip, or one with a comment")
    if cd_offset + cd_size != len(data) - 22:
        raise Fault("data between the central directory and its end record")
    if total > 64:
        raise Fault("%d members, far more than a release has" % total)
    names, seen, at, expected_offset = [], {}, cd_offset, 0
    for _ in range(total):
        if at + 46 > cd_offset + cd_size or data[at:at + 4] != b"PK\1\2":
            raise Fault("the central directory is damaged")
        (made, needed, flags, method, mtime, mdate, crc, csize, size, nlen, xlen, clen, disk, internal, external,
         offset) = struct.unpack_from("<HHHHHHIIIHHHHHII", data, at + 4)
        raw = data[at + 46:at + 46 + nlen]
        at += 46 + nlen + xlen + clen
        try:
            name = raw.decode("ascii")
        except UnicodeDecodeError:
            raise Fault("a member name that is not ASCII: %s" % visible(raw.decode("latin-1"))) from None
        shown = "'%s'" % visible(name)
        if not name.isprintable():
            raise Fault("a member name with control characters: %s" % shown)
        key = same_on_windows(name)
        if key in seen:
            raise Fault("two members are one file on Windows: '%s' and %s" % (visible(seen[key]), shown))
        seen[key] = name
        known = [m for m, _, _ in MEMBERS if same_on_windows(m) == key]
        if not known:
            raise Fault("a member that no release holds: %s" % shown)
        if known[0] != name:
            raise Fault("a member named %s: another name for %s on Windows" % (shown, known[0]))
        if flags & 1:
            raise Fault("%s is encrypted" % shown)
        if flags:
            raise Fault("%s has header flags %#x (a release sets none)" % (shown, flags))
        if method != 0:
            raise Fault("%s is compressed (method %d); a release stores its members" % (shown, method))
        if (external >> 16) != MODE or (made >> 8) != 3:
            raise Fault("%s is not stored as a regular Unix file with mode 0644 (made by %#06x, attributes %#x)"
                        % (shown, made, external))
        if xlen or clen or disk or internal:
            raise Fault("%s has extra fields, a comment or other attributes" % shown)
        if csize != size or size > MAX_MEMBER.get(name, MAX_OTHER):
            raise Fault("%s is %d bytes, more than a release's can be" % (shown, size))
        if offset != expected_offset:
            raise Fault("data in the zip outside its members, before %s (a hidden entry)" % shown)
        local = data[offset:offset + 30]
        if len(local) < 30 or local[:4] != b"PK\3\4":
            raise Fault("no local header for %s" % shown)
        if local[4:28] != struct.pack("<HHHHHIIIH", needed, flags, method, mtime, mdate, crc, csize, size, nlen) \
                or local[28:30] != b"\0\0" or data[offset + 30:offset + 30 + nlen] != raw:
            raise Fault("the local header of %s differs from the central directory" % shown)
        start = offset + 30 + nlen
        content = data[start:start + size]
        if len(content) != size or zlib.crc32(content) != crc:
            raise Fault("%s does not match its checksum" % shown)
        expected_offset = start + size
        names.append(name)
    if at != cd_offset + cd_size:
        raise Fault("the central directory holds more than its entries")
    if expected_offset != cd_offset:
        raise Fault("data in the zip outside its members, before the central directory (a hidden entry)")
    order = [m for m, _, _ in MEMBERS if m in names]
    if names != order:
        raise Fault("the members are not in a release's order: %s" % " ".join(names))
    missing = [m for m, source, _ in MEMBERS if source != "icon" and m not in names]
    if missing:
        raise Fault("no %s in the zip" % " or ".join(missing))
    return names


def check(args):
    for name in entries(Path(args[0]).read_bytes()):
        print(name)


def check_icon(data):
    """An ICONDIR with 1 to 16 images, each entry's data inside the file and apart from the others."""
    if len(data) > MAX_ICON:
        raise Fault("the icon is larger than %d KiB" % (MAX_ICON >> 10))
    if len(data) < 6:
        raise Fault("the icon is too short")
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    if reserved != 0 or kind != 1 or not 1 <= count <= 16:
        raise Fault("not a .ico file (header %s)" % data[:6].hex())
    end = 6 + 16 * count
    if len(data) < end:
        raise Fault("the icon's directory is cut short")
    spans = []
    for i in range(count):
        _w, _h, _colours, zero, _planes, _bits, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        if zero != 0 or size < 40 or offset < end or offset + size > len(data):
            raise Fault("the icon's image %d lies outside the file or is malformed" % (i + 1))
        spans.append((offset, offset + size))
    spans.sort()
    if any(a[1] > b[0] for a, b in zip(spans, spans[1:])):
        raise Fault("the icon's images overlap")


def icon(args):
    check_icon(Path(args[0]).read_bytes())


def read(args):
    folder = Path(args[0])
    present = [m for m, _, _ in MEMBERS if (folder / m).is_file()]
    text = (folder / "BUILDINFO").read_bytes()
    try:
        lines = text.decode("ascii").split("\n")
    except UnicodeDecodeError:
        raise Fault("BUILDINFO is not ASCII") from None
    if lines[-1] != "":
        raise Fault("BUILDINFO does not end with a line break")
    fields = {}
    for number, line in enumerate(lines[:-1], 1):
        key, sep, value = line.partition(": ")
        if not sep or not line.isprintable():
            raise Fault("BUILDINFO line %d is not a field: %s" % (number, visible(line)))
        if key not in BUILDINFO_FIELDS:
            raise Fault("BUILDINFO has a field no release writes: %s" % visible(key))
        if key in fields:
            raise Fault("BUILDINFO names %s twice" % key)
        fields[key] = value
    order = [k for k in BUILDINFO_FIELDS if k in fields]
    if list(fields) != order:
        raise Fault("BUILDINFO's fields are not in a release's order")
    missing = [k for k in BUILDINFO_FIELDS if k not in fields and k not in OPTIONAL_FIELDS]
    if missing:
        raise Fault("BUILDINFO lacks %s" % ", ".join(missing))
    if not re.fullmatch(r"[0-9a-f]{40}", fields["commit"]):
        raise Fault("BUILDINFO's commit is not a full 40-hex commit id: %s" % visible(fields["commit"]))
    for key in ("unsigned-sha256", "icon-sha256"):
        if key in fields and not re.fullmatch(r"[0-9a-f]{64}", fields[key]):
            raise Fault("BUILDINFO's %s is not a SHA-256" % key)
    has_icon = "icon.ico" in present
    if has_icon != ("icon-sha256" in fields):
        raise Fault("the zip has an icon.ico but BUILDINFO no icon-sha256" if has_icon
                    else "BUILDINFO names an icon but the zip has no icon.ico")
    if has_icon:
        data = (folder / "icon.ico").read_bytes()
        if hashlib.sha256(data).hexdigest() != fields["icon-sha256"]:
            raise Fault("icon.ico is not the icon BUILDINFO names")
        check_icon(data)
    expected = sums([(m, (folder / m).read_bytes()) for m in present if m != "SHA256SUMS"]).splitlines()
    got = (folder / "SHA256SUMS").read_bytes().decode("latin-1").split("\n")
    if got[-1] != "":
        raise Fault("SHA256SUMS does not end with a line break")
    for number, (line, want) in enumerate(zip(got[:-1], expected), 1):
        if line != want:
            raise Fault("SHA256SUMS line %d is not what a release writes: %s" % (number, visible(line)))
    if len(got) - 1 != len(expected):
        raise Fault("SHA256SUMS has %d lines where a release writes %d" % (len(got) - 1, len(expected)))
    print("commit", fields["commit"])
    print("icon", "yes" if has_icon else "no")


def compare(args):
    a, b = (Path(p).read_bytes() for p in args)
    if a == b:
        return
    try:
        ours, theirs = entries(a), entries(b)
    except Fault as f:
        raise Fault("the zip differs from the rebuilt one (%s)" % f) from None
    if ours != theirs:
        raise Fault("the zip holds %s where the rebuilt one holds %s" % (" ".join(ours), " ".join(theirs)))
    for name in ours:
        if member(a, name) != member(b, name):
            raise Fault("%s differs from the rebuilt one" % name)
    raise Fault("the zip's headers (times, attributes) differ from the rebuilt one's")


def member(data, name):
    """The stored bytes of a member of a zip that entries() accepted."""
    _, _, _, total, cd_size, cd_offset, _ = struct.unpack_from("<HHHHIIH", data, len(data) - 18)
    at = cd_offset
    for _ in range(total):
        nlen, xlen, clen = struct.unpack_from("<HHH", data, at + 28)
        size, offset = struct.unpack_from("<I", data, at + 24)[0], struct.unpack_from("<I", data, at + 42)[0]
        if data[at + 46:at + 46 + nlen] == name.encode():
            return data[offset + 30 + nlen:offset + 30 + nlen + size]
        at += 46 + nlen + xlen + clen
    return None


def main():
    commands = {"pack": pack, "check": check, "read": read, "icon": icon, "compare": compare}
    if len(sys.argv) < 3 or sys.argv[1] not in commands:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    try:
        commands[sys.argv[1]](sys.argv[2:])
    except Fault as f:
        print(f)
        return 1
    except OSError as e:
        print("cannot read %s: %s" % (visible(e.filename), visible(e.strerror)))
        return 2
    except (struct.error, ValueError) as e:
        print("a malformed structure (%s)" % visible(e))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
