"""The release bundle: its members, BUILDINFO and SHA256SUMS, the zip that holds them, and the strict
reading of a downloaded zip before anything in it is used.

The zip is written with Python's zipfile, with every header value fixed: members in MEMBERS' order,
stored (no compressor's version decides the bytes, no member unpacks to more than it occupies), made on
Unix with mode 0644, the commit's time, no extra fields, no comment. It is thus a pure function of the
commit's build, the shipped executable and the icon.
"""
import hashlib
import io
import re
import struct
import time
import zipfile
from pathlib import Path

from release import buildroot, pe
from release.text import visible

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
# BUILDINFO's fields in order; the toolchain's come from the build folder's "toolchain" file. "recipe" names
# the build-and-pack recipe the release followed: a verifier runs that recipe, from the release's commit.
# "build-root" records the root the build ran in, as Debian's .buildinfo does: its distribution, then every
# installed package with its version, architecture and its .deb's SHA-256, a line each.
BUILDINFO_FIELDS = ["name", "version", "commit", "commit-time", "recipe", "source-date-epoch", "unsigned-sha256",
                    "icon-sha256", "compiler", "mingw-w64-runtime", "binutils", "cmake", "build-root"]
KNOWN_FIELDS = set(BUILDINFO_FIELDS)
# Releases made before recipes were named have none of the recipe's fields.
OPTIONAL_FIELDS = {"icon-sha256", "recipe", "source-date-epoch", "build-root"}
MAX_ZIP = pe.MAX_SIZE  # a download, zip or executable, is at most this
MAX_MEMBER = {"tarnel.exe": 16 << 20, "icon.ico": 1 << 20}
MAX_OTHER = 1 << 20
MODE = 0o100644  # a regular file, rw-r--r--
EARLIEST = 315532800  # 1980-01-01: a zip holds no earlier time


class Fault(Exception):
    """The download is not what a release writes. `check` names the check it fails."""

    def __init__(self, check, reason):
        super().__init__(reason)
        self.check = check


def sums(files):
    return "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name) for name, data in files)


def write_zip(out, files, seconds):
    """files: (name, bytes) in order, stored with fixed headers."""
    when = time.gmtime(max(seconds, EARLIEST))[:6]
    with zipfile.ZipFile(out, "w", compression=zipfile.ZIP_STORED) as z:
        for name, data in files:
            info = zipfile.ZipInfo(name, date_time=when)
            info.create_system = 3  # Unix, whatever machine packs it
            info.create_version = info.extract_version = 10
            info.external_attr = MODE << 16
            z.writestr(info, data)


def buildinfo(build, commit, seconds, icon, recipe):
    """BUILDINFO's text for the build in folder `build` (its version, toolchain and unsigned executable)."""
    fields = {
        "name": "tarnel",
        "version": (build / "version").read_text().strip(),
        "commit": commit,
        "commit-time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds)),
        "recipe": str(recipe),
        "unsigned-sha256": hashlib.sha256((build / "tarnel.exe").read_bytes()).hexdigest(),
    }
    if icon is not None:
        fields["icon-sha256"] = hashlib.sha256(icon).hexdigest()
    fields["source-date-epoch"] = str(seconds)
    for line in (build / "toolchain").read_text().splitlines():
        key, _, value = line.partition(": ")
        fields[key] = value
    fields["build-root"] = "\n".join([buildroot.DISTRIBUTION] + [" " + line for line in
                                                                 (build / "buildroot").read_text().splitlines()])
    return "".join("%s: %s\n" % (k, fields[k]) for k in BUILDINFO_FIELDS if k in fields)


def pack(build, exe, commit, seconds, icon_path, out, recipe):
    """The release zip of the build in folder `build`, with the shipped (maybe signed) executable `exe`."""
    build = Path(build)
    icon = Path(icon_path).read_bytes() if icon_path else None
    files = []
    for name, source, path in MEMBERS:
        if source == "shipped":
            files.append((name, Path(exe).read_bytes()))
        elif source == "build":
            files.append((name, (build / path).read_bytes()))
        elif source == "icon" and icon is not None:
            files.append((name, icon))
        elif name == "BUILDINFO":
            files.append((name, buildinfo(build, commit, seconds, icon, recipe).encode()))
        elif name == "SHA256SUMS":
            files.append((name, sums(files).encode()))
    write_zip(out, files, seconds)


def same_on_windows(name):
    """Windows ignores case and trailing dots and spaces: README.md, readme.md. and "README.md " are one file."""
    return name.rstrip(". ").lower()


def _listing(data):
    """The members of a zip as a release lays them out, each checked against its local header."""
    fault = lambda reason: Fault("zip", reason)  # noqa: E731
    if len(data) < 22 or data[-22:-18] != b"PK\5\6":
        raise fault("no end record at the end of the zip (a comment, or data after it)")
    disk, cd_disk, here, total, cd_size, cd_offset, comment = struct.unpack_from("<HHHHIIH", data, len(data) - 18)
    if disk or cd_disk or here != total or comment:
        raise fault("a split zip, or one with a comment")
    if cd_offset + cd_size != len(data) - 22:
        raise fault("data between the central directory and its end record")
    if total > 64:
        raise fault("%d members, far more than a release has" % total)
    try:
        infos = zipfile.ZipFile(io.BytesIO(data)).infolist()
    except (zipfile.BadZipFile, ValueError, NotImplementedError) as e:
        raise fault("not a zip a release writes (%s)" % visible(e, 200)) from None
    seen, expected_offset = {}, 0
    for info in infos:
        name = info.orig_filename
        shown = "'%s'" % visible(name, 200)
        if info.flag_bits & 0x800 or not name.isascii():
            raise fault("a member name that is not ASCII: %s" % shown)
        if not name.isprintable():
            raise fault("a member name with control characters: %s" % shown)
        key = same_on_windows(name)
        if key in seen:
            raise fault("two members are one file on Windows: '%s' and %s" % (visible(seen[key]), shown))
        seen[key] = name
        known = [m for m, _, _ in MEMBERS if same_on_windows(m) == key]
        if not known:
            raise fault("a member that no release holds: %s" % shown)
        if known[0] != name:
            raise fault("a member named %s: another name for %s on Windows" % (shown, known[0]))
        if info.flag_bits & 1:
            raise fault("%s is encrypted" % shown)
        if info.flag_bits:
            raise fault("%s has header flags %#x (a release sets none)" % (shown, info.flag_bits))
        if info.compress_type != zipfile.ZIP_STORED:
            raise fault("%s is compressed (method %d); a release stores its members" % (shown, info.compress_type))
        if (info.external_attr >> 16) != MODE or info.create_system != 3:
            raise fault("%s is not stored as a regular Unix file with mode 0644 (made by system %d, attributes %#x)"
                        % (shown, info.create_system, info.external_attr))
        if info.extra or info.comment or info.volume or info.internal_attr:
            raise fault("%s has extra fields, a comment or other attributes" % shown)
        if info.compress_size != info.file_size or info.file_size > MAX_MEMBER.get(name, MAX_OTHER):
            raise fault("%s is %d bytes, more than a release's can be" % (shown, info.file_size))
        if info.header_offset != expected_offset:
            raise fault("data in the zip outside its members, before %s (a hidden entry)" % shown)
        raw = name.encode("ascii")
        local = data[info.header_offset:info.header_offset + 30 + len(raw)]
        dosdate = (info.date_time[0] - 1980) << 9 | info.date_time[1] << 5 | info.date_time[2]
        dostime = info.date_time[3] << 11 | info.date_time[4] << 5 | info.date_time[5] // 2
        wanted = struct.pack("<4sBBHHHHIIIHH", b"PK\3\4", info.extract_version, info.reserved, info.flag_bits,
                             info.compress_type, dostime, dosdate, info.CRC, info.compress_size, info.file_size,
                             len(raw), 0) + raw
        if local != wanted:
            raise fault("the local header of %s differs from the central directory" % shown)
        expected_offset = info.header_offset + len(wanted) + info.file_size
    if expected_offset != cd_offset:
        raise fault("data in the zip outside its members, before the central directory (a hidden entry)")
    names = [i.orig_filename for i in infos]
    order = [m for m, _, _ in MEMBERS if m in names]
    if names != order:
        raise fault("the members are not in a release's order: %s" % " ".join(names))
    missing = [m for m, source, _ in MEMBERS if source != "icon" and m not in names]
    if missing:
        raise fault("no %s in the zip" % " or ".join(missing))
    return infos


def _fields(text):
    """BUILDINFO's fields, strictly: each once, in a release's order, those a release writes."""
    fault = lambda reason: Fault("BUILDINFO", reason)  # noqa: E731
    try:
        lines = text.decode("ascii").split("\n")
    except UnicodeDecodeError:
        raise fault("BUILDINFO is not ASCII") from None
    if lines[-1] != "":
        raise fault("BUILDINFO does not end with a line break")
    fields, continued = {}, []
    for number, line in enumerate(lines[:-1], 1):
        if line.startswith(" ") and list(fields)[-1:] == ["build-root"]:
            continued.append(line[1:])
            continue
        key, sep, value = line.partition(": ")
        if not sep or not line.isprintable():
            raise fault("BUILDINFO line %d is not a field: %s" % (number, visible(line, 200)))
        if key not in KNOWN_FIELDS:
            raise fault("BUILDINFO has a field no release writes: %s" % visible(key, 100))
        if key in fields:
            raise fault("BUILDINFO names %s twice" % key)
        fields[key] = value
    if "build-root" in fields:
        packages = buildroot.parse_packages(continued)
        if fields["build-root"] != buildroot.DISTRIBUTION or not packages or len(packages) > buildroot.MAX_PACKAGES:
            raise fault("BUILDINFO's build-root is not a list of packages of %s" % buildroot.DISTRIBUTION)
        fields["build-root"] = packages
    if "recipe" in fields and ("build-root" not in fields or "source-date-epoch" not in fields):
        raise fault("BUILDINFO names a recipe but not the build root it ran in")
    if "source-date-epoch" in fields and not fields["source-date-epoch"].isdigit():
        raise fault("BUILDINFO's source-date-epoch is not a time")
    if list(fields) != [k for k in BUILDINFO_FIELDS if k in fields]:
        raise fault("BUILDINFO's fields are not in a release's order")
    missing = [k for k in BUILDINFO_FIELDS if k not in fields and k not in OPTIONAL_FIELDS]
    if missing:
        raise fault("BUILDINFO lacks %s" % ", ".join(missing))
    if not re.fullmatch(r"[0-9a-f]{40}", fields["commit"]):
        raise fault("BUILDINFO's commit is not a full 40-hex commit id: %s" % visible(fields["commit"], 100))
    if "recipe" in fields and not re.fullmatch(r"[1-9][0-9]{0,3}", fields["recipe"]):
        raise fault("BUILDINFO's recipe is not a recipe number: %s" % visible(fields["recipe"], 100))
    for key in ("unsigned-sha256", "icon-sha256"):
        if key in fields and not re.fullmatch(r"[0-9a-f]{64}", fields[key]):
            raise fault("BUILDINFO's %s is not a SHA-256" % key)
    return fields


def read(data):
    """A downloaded release zip, read strictly and in memory: (members as {name: bytes}, BUILDINFO's fields).
    Raises Fault; nothing is unpacked to disk."""
    if len(data) > MAX_ZIP:
        raise Fault("download", "%d bytes, more than any release (%d)" % (len(data), MAX_ZIP))
    infos = _listing(data)
    members = {}
    for info in infos:
        start = info.header_offset + 30 + len(info.orig_filename)
        content = data[start:start + info.file_size]
        if zipfile.crc32(content) != info.CRC:
            raise Fault("zip", "'%s' does not match its checksum" % info.orig_filename)
        members[info.orig_filename] = content
    fields = _fields(members["BUILDINFO"])
    icon = members.get("icon.ico")
    if (icon is not None) != ("icon-sha256" in fields):
        raise Fault("BUILDINFO" if icon is None else "icon",
                    "BUILDINFO names an icon but the zip has no icon.ico" if icon is None
                    else "the zip has an icon.ico but BUILDINFO no icon-sha256")
    if icon is not None:
        # Whether it is an icon the build takes is the build's own check (cmake/CheckIcon.cmake), in its root.
        if hashlib.sha256(icon).hexdigest() != fields["icon-sha256"]:
            raise Fault("icon", "icon.ico is not the icon BUILDINFO names")
    expected = sums([(m, members[m]) for m, _, _ in MEMBERS if m in members and m != "SHA256SUMS"]).splitlines()
    got = members["SHA256SUMS"].decode("latin-1").split("\n")
    fault = lambda reason: Fault("SHA256SUMS", reason)  # noqa: E731
    if got[-1] != "":
        raise fault("SHA256SUMS does not end with a line break")
    for number, (line, want) in enumerate(zip(got[:-1], expected), 1):
        if line != want:
            raise fault("SHA256SUMS line %d is not what a release writes: %s" % (number, visible(line, 200)))
    if len(got) - 1 != len(expected):
        raise fault("SHA256SUMS has %d lines where a release writes %d" % (len(got) - 1, len(expected)))
    return members, fields


def difference(a, b):
    """Where the downloaded zip `a` first differs from the rebuilt zip `b`; None when they are the same."""
    if a == b:
        return None
    try:
        ours, theirs = read(a)[0], read(b)[0]
    except Fault as f:
        return "the zip differs from the rebuilt one (%s)" % f
    if list(ours) != list(theirs):
        return "the zip holds %s where the rebuilt one holds %s" % (" ".join(ours), " ".join(theirs))
    for name in ours:
        if ours[name] != theirs[name]:
            return "%s differs from the rebuilt one" % name
    return "the zip's headers (times, attributes) differ from the rebuilt one's"
