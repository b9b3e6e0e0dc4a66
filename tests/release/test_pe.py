"""release/pe.py on the real build: where two executables differ is named by the part it is in, and the
security table refuses an image with one property broken. Each fault is planted in a copy of build/tarnel.exe."""
import struct

import pefile
import pytest

from conftest import BUILD, unavailable

from release import pe

EXE = BUILD / "tarnel.exe"


@pytest.fixture(scope="module")
def exe():
    if not EXE.is_file():
        unavailable("no %s: build it first (cmake --build --preset mingw-release --target tarnel)" % EXE)
    return EXE.read_bytes()


def field(data, structure, name):
    """The file offset of a header field, as pefile reads it."""
    image = pefile.PE(data=data, fast_load=True)
    return getattr(image, structure).get_field_absolute_offset(name)


def put(data, at, fmt, value):
    out = bytearray(data)
    struct.pack_into(fmt, out, at, value)
    return bytes(out)


def xor(data, at, mask=1):
    out = bytearray(data)
    out[at] ^= mask
    return bytes(out)


def section(data, name):
    return next(s for s in pefile.PE(data=data, fast_load=True).sections if s.Name.rstrip(b"\0") == name)


def with_table(data, table=b"\x10\x00\x00\x00\x00\x02\x02\x00" + b"\x30\x06" + b"\0" * 6):
    """data with a certificate table appended and its directory entry set, as signing leaves it."""
    image = pefile.PE(data=data, fast_load=True)
    entry = image.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    out = bytearray(data + table)
    struct.pack_into("<II", out, entry.get_file_offset(), len(data), len(table))
    return bytes(out)


DIFFERENCES = [
    ("time stamp", lambda d: xor(d, field(d, "FILE_HEADER", "TimeDateStamp")),
     "the header field FILE_HEADER.TimeDateStamp"),
    ("checksum", lambda d: xor(d, field(d, "OPTIONAL_HEADER", "CheckSum") + 3),
     "the header field OPTIONAL_HEADER.CheckSum"),
    ("code", lambda d: xor(d, section(d, b".text").PointerToRawData + 1000), "section .text"),
    ("resources", lambda d: xor(d, section(d, b".rsrc").PointerToRawData + 100), "section .rsrc"),
    ("section header", lambda d: xor(d, section(d, b".data").get_field_absolute_offset("Characteristics")),
     "the header field SECTION_HEADER[.data].Characteristics"),
    ("appended bytes", lambda d: d + b"\0" * 24, "24 bytes past the end of the shorter"),
]


@pytest.mark.parametrize("name, change, where", DIFFERENCES, ids=[row[0] for row in DIFFERENCES])
def test_first_difference_names_the_part(exe, name, change, where):
    assert pe.first_difference(exe, change(exe)) == where
    assert pe.first_difference(exe, exe) is None


def test_first_difference_names_the_certificate_table(exe):
    signed = with_table(exe)
    assert pe.certificate_table(signed) == (len(exe), 16)
    assert pe.first_difference(signed, xor(signed, len(exe) + 9)) == "the certificate table"


def test_checksum_is_the_one_windows_computes(exe):
    changed = xor(exe, section(exe, b".text").PointerToRawData + 7, 0x5A)
    assert pe.checksum(changed) == pefile.PE(data=changed, fast_load=True).generate_checksum()
    assert pe.checksum(exe) == pe.stored_checksum(exe)  # the build sets it


def group_icon_id(data):
    """The file offset of the first icon id the icon group lists."""
    image = pe.load(data, full=True)
    group = next(e for e in image.DIRECTORY_ENTRY_RESOURCE.entries if e.id == pe.RT_GROUP_ICON)
    rva = group.directory.entries[0].directory.entries[0].data.struct.OffsetToData
    return image.get_offset_from_rva(rva) + 6 + 12


def dll_flags(d, clear):
    at = field(d, "OPTIONAL_HEADER", "DllCharacteristics")
    return put(d, at, "<H", struct.unpack_from("<H", d, at)[0] & ~clear)


def debug_directory(d):
    image = pefile.PE(data=d, fast_load=True)
    entry = image.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]]
    return put(d, entry.get_file_offset() + 4, "<I", 28)


SECURITY_FAULTS = [
    ("as built", lambda d: d, []),
    ("ASLR cleared", lambda d: dll_flags(d, 0x0040), ["fails: ASLR (DYNAMIC_BASE)"]),
    ("high-entropy ASLR cleared", lambda d: dll_flags(d, 0x0020), ["fails: high-entropy ASLR (HIGH_ENTROPY_VA)"]),
    ("DEP cleared", lambda d: dll_flags(d, 0x0100), ["fails: DEP (NX_COMPAT)"]),
    ("32-bit machine", lambda d: put(d, field(d, "FILE_HEADER", "Machine"), "<H", 0x14C), ["fails: built for AMD64"]),
    ("console subsystem", lambda d: put(d, field(d, "OPTIONAL_HEADER", "Subsystem"), "<H", 3),
     ["fails: a GUI program for Windows 6.0"]),
    ("link time stamp", lambda d: put(d, field(d, "FILE_HEADER", "TimeDateStamp"), "<I", 0x65000000),
     ["fails: no link time stamp"]),
    ("writable code", lambda d: xor(d, section(d, b".text").get_field_absolute_offset("Characteristics") + 3, 0x80),
     ["fails: no section both writable and executable"]),
    ("another DLL imported", lambda d: d.replace(b"SHLWAPI.dll", b"SHELL32.dll"),
     ["fails: imports only KERNEL32, SHLWAPI, USER32 and msvcrt"]),
    ("icon group naming a missing icon", lambda d: put(d, group_icon_id(d), "<H", 999),
     ["fails: no resources but an icon group and its icons"]),
    ("debug directory", debug_directory, ["fails: no debug directory"]),
    ("relocations stripped", lambda d: put(d, field(d, "FILE_HEADER", "Characteristics"), "<H",
                                            pefile.PE(data=d, fast_load=True).FILE_HEADER.Characteristics | 1),
     ["fails: relocations present"]),
]


@pytest.mark.parametrize("name, plant, problems", SECURITY_FAULTS, ids=[row[0] for row in SECURITY_FAULTS])
def test_security_table(exe, name, plant, problems):
    assert pe.security_problems(plant(exe)) == problems


@pytest.mark.parametrize("data", [b"", b"MZ", b"MZ" + b"\xff" * 200, b"PK\3\4" + b"\0" * 100],
                         ids=["empty", "MZ only", "MZ and garbage", "a zip"])
def test_not_pe_is_a_reason_never_a_traceback(data):
    with pytest.raises(pe.NotPE):
        pe.load(data)
    assert pe.security_problems(data) and not pe.is_pe(data)
