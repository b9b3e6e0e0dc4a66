"""The one reader of Windows executables (PE) in the release chain, on python3-pefile.

Everything here may be handed a hostile download: the input is bounded, pefile's exceptions become NotPE
with a one-line reason, and names read from the file pass through visible() before they are shown."""
import hashlib
import struct

import pefile

from release.text import visible

MAX_SIZE = 64 << 20  # a download is at most this, and so is anything read here
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]
ALLOWED_IMPORTS = {"kernel32.dll", "shlwapi.dll", "user32.dll", "msvcrt.dll"}
RT_ICON, RT_GROUP_ICON = 3, 14


class NotPE(Exception):
    pass


def load(data, full=False):
    """The parsed executable; with `full`, its imports, resources and debug directory too."""
    if len(data) > MAX_SIZE:
        raise NotPE("%d bytes, more than any release (%d)" % (len(data), MAX_SIZE))
    if data[:2] != b"MZ":
        raise NotPE("not a Windows executable (no PE header)")
    try:
        pe = pefile.PE(data=bytes(data), fast_load=True)
        if full:
            pe.parse_data_directories(directories=[
                pefile.DIRECTORY_ENTRY[name] for name in (
                    "IMAGE_DIRECTORY_ENTRY_IMPORT", "IMAGE_DIRECTORY_ENTRY_RESOURCE",
                    "IMAGE_DIRECTORY_ENTRY_DEBUG", "IMAGE_DIRECTORY_ENTRY_BASERELOC")])
    except pefile.PEFormatError as e:
        raise NotPE("not a Windows executable (%s)" % visible(e.value, 200)) from None
    except Exception as e:  # pefile on a hostile file: any failure is "not an executable we can read"
        raise NotPE("not a readable Windows executable (%s: %s)" % (type(e).__name__, visible(e, 200))) from None
    if not hasattr(pe, "OPTIONAL_HEADER") or pe.OPTIONAL_HEADER is None:
        raise NotPE("not a Windows executable (no optional header)")
    return pe


def is_pe(data):
    try:
        load(data)
        return True
    except NotPE:
        return False


def _security_entry(pe):
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    return directories[SECURITY] if len(directories) > SECURITY else None


def certificate_table(data):
    """(offset, size) of the certificate table as the header's security directory entry gives them; None
    when the entry is empty (or absent: such a file cannot be signed). Raises NotPE."""
    entry = _security_entry(load(data))
    if entry is None or (entry.VirtualAddress == 0 and entry.Size == 0):
        return None
    return entry.VirtualAddress, entry.Size


def _checksum_offset(pe):
    return pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")


def _checksum_at(data, at):
    """The PE checksum of `data` with its 4 bytes at `at` left out: 16-bit sums folded, plus the length."""
    padded = bytes(data) + b"\0" * (len(data) % 2)
    words = memoryview(padded).cast("H")
    total = sum(words) - words[at // 2] - words[at // 2 + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def checksum(data):
    """The header checksum as signing tools compute it (the CheckSum field itself left out)."""
    return _checksum_at(data, _checksum_offset(load(data)))


def stored_checksum(data):
    return load(data).OPTIONAL_HEADER.CheckSum


def authenticode_digest(data, algorithm):
    """The digest an Authenticode signature covers: the file less its CheckSum field, its security
    directory entry and everything from the certificate table on (the whole rest when unsigned)."""
    pe = load(data)
    entry = _security_entry(pe)
    if entry is None:
        raise NotPE("no certificate-table entry in the header")
    at, entry_at = _checksum_offset(pe), entry.get_file_offset()
    table = entry.VirtualAddress if entry.Size else len(data)
    if not at + 4 <= entry_at < entry_at + 8 <= table <= len(data):
        raise NotPE("the certificate table overlaps the header")
    h = hashlib.new(algorithm)
    h.update(data[:at])
    h.update(data[at + 4:entry_at])
    h.update(data[entry_at + 8:table])
    return h.digest()


def _section_name(section):
    return visible(section.Name.rstrip(b"\0").decode("latin-1"), 40)


def _regions(pe):
    """(start, end, name) of every named part of the file, headers first: the first part that holds a byte
    names it (a hostile header may make parts overlap)."""
    regions = []

    def fields(structure, prefix):
        base = structure.get_file_offset()
        starts = sorted((structure.__field_offsets__[keys[0]], keys[0]) for keys in structure.__keys__)
        ends = [offset for offset, _ in starts[1:]] + [structure.sizeof()]
        for (offset, key), end in zip(starts, ends):
            regions.append((base + offset, base + end, "the header field %s.%s" % (prefix, key)))

    fields(pe.DOS_HEADER, "DOS_HEADER")
    regions.append((pe.DOS_HEADER.sizeof(), pe.DOS_HEADER.e_lfanew, "the DOS stub"))
    fields(pe.NT_HEADERS, "NT_HEADERS")
    fields(pe.FILE_HEADER, "FILE_HEADER")
    fields(pe.OPTIONAL_HEADER, "OPTIONAL_HEADER")
    for entry in pe.OPTIONAL_HEADER.DATA_DIRECTORY:
        fields(entry, "OPTIONAL_HEADER.DATA_DIRECTORY[%s]" % entry.name.replace("IMAGE_DIRECTORY_ENTRY_", ""))
    for section in pe.sections:
        fields(section, "SECTION_HEADER[%s]" % _section_name(section))
    entry = _security_entry(pe)
    if entry is not None and entry.Size:
        regions.append((entry.VirtualAddress, entry.VirtualAddress + entry.Size, "the certificate table"))
    for section in pe.sections:
        start = section.PointerToRawData
        regions.append((start, start + section.SizeOfRawData, "section %s" % _section_name(section)))
    headers_end = max((r[1] for r in regions if r[0] < pe.OPTIONAL_HEADER.SizeOfHeaders), default=0)
    regions.append((headers_end, pe.OPTIONAL_HEADER.SizeOfHeaders, "the padding after the headers"))
    return regions


def first_difference(a, b):
    """Where two executables first differ, named as a part of `a`: a header field, a section, the
    certificate table, or the bytes one has past the end of the other. None when they are equal."""
    if a == b:
        return None
    common = min(len(a), len(b))
    at = next((i for i in range(0, common, 4096) if a[i:min(i + 4096, common)] != b[i:min(i + 4096, common)]), None)
    if at is None:
        return "%d bytes past the end of the shorter" % (max(len(a), len(b)) - common)
    while a[at] == b[at]:
        at += 1
    try:
        regions = _regions(load(a))
    except Exception:  # NotPE, or a layout pefile could not give: no parts to name it by
        return "byte %d" % at
    for start, end, name in regions:
        if start <= at < end:
            return name
    return "byte %d (outside any section)" % at


def _relocations(pe):
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    return entry.Size > 0 and not pe.FILE_HEADER.Characteristics & 0x0001  # IMAGE_FILE_RELOCS_STRIPPED


def _no_writable_code(pe):
    both = 0x20000000 | 0x80000000  # IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_WRITE
    return all(s.Characteristics & both != both for s in pe.sections)


def _imports(pe):
    found = {entry.dll.decode("latin-1").lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}
    return found <= ALLOWED_IMPORTS


def _icon_only(pe):
    """One icon group, and exactly the icons it lists."""
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return False
    kinds = {entry.id: entry for entry in root.entries}
    if set(kinds) != {RT_ICON, RT_GROUP_ICON} or len(kinds[RT_GROUP_ICON].directory.entries) != 1:
        return False
    icons = {entry.id for entry in kinds[RT_ICON].directory.entries}
    group = kinds[RT_GROUP_ICON].directory.entries[0].directory.entries
    if len(group) != 1:
        return False
    rva, size = group[0].data.struct.OffsetToData, group[0].data.struct.Size
    raw = pe.get_data(rva, size)
    if len(raw) < 6:
        return False
    count = struct.unpack_from("<H", raw, 4)[0]
    if len(raw) != 6 + 14 * count:
        return False
    listed = [struct.unpack_from("<H", raw, 6 + 14 * i + 12)[0] for i in range(count)]
    return sorted(listed) == sorted(icons) and len(set(listed)) == len(listed)


def _directory_empty(name):
    def check(pe):
        directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
        index = pefile.DIRECTORY_ENTRY[name]
        return len(directories) <= index or directories[index].Size == 0 and directories[index].VirtualAddress == 0
    return check


# The properties the released executable must have: (what it must be, predicate on a fully loaded image).
SECURITY_PROPERTIES = [
    ("built for AMD64", lambda pe: pe.FILE_HEADER.Machine == 0x8664),
    ("a PE32+ image", lambda pe: pe.OPTIONAL_HEADER.Magic == 0x20B),
    ("a GUI program for Windows 6.0", lambda pe: pe.OPTIONAL_HEADER.Subsystem == 2
     and (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion) == (6, 0)),
    ("ASLR (DYNAMIC_BASE)", lambda pe: pe.OPTIONAL_HEADER.DllCharacteristics & 0x0040),
    ("high-entropy ASLR (HIGH_ENTROPY_VA)", lambda pe: pe.OPTIONAL_HEADER.DllCharacteristics & 0x0020),
    ("DEP (NX_COMPAT)", lambda pe: pe.OPTIONAL_HEADER.DllCharacteristics & 0x0100),
    ("relocations present", _relocations),
    ("no section both writable and executable", _no_writable_code),
    ("imports only KERNEL32, SHLWAPI, USER32 and msvcrt", _imports),
    ("no resources but an icon group and its icons", _icon_only),
    ("no link time stamp", lambda pe: pe.FILE_HEADER.TimeDateStamp == 0),
    ("no debug directory", _directory_empty("IMAGE_DIRECTORY_ENTRY_DEBUG")),
]


def security_problems(data):
    """The properties of SECURITY_PROPERTIES the executable lacks, each as 'fails: NAME'; empty when sound."""
    try:
        pe = load(data, full=True)
    except NotPE as e:
        return [str(e)]
    problems = []
    for name, holds in SECURITY_PROPERTIES:
        try:
            ok = holds(pe)
        except Exception:  # a malformed part is a lacking property, not a crash
            ok = False
        if not ok:
            problems.append("fails: " + name)
    return problems


def size_without_resources(data):
    """The file's size less the raw size of its .rsrc section: the code and data a size budget measures."""
    pe = load(data)
    return len(data) - sum(s.SizeOfRawData for s in pe.sections if s.Name.rstrip(b"\0") == b".rsrc")
