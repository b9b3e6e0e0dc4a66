"""Hostile downloads made from genuine releases, as an attacker would make them, for test_hostile.py.

The attacker can rewrite SHA256SUMS (nothing signs it), so most kinds do. `intruder` is a certificate (DER)
that is not the publisher's. The members' order is taken from the genuine zips themselves.
"""
import hashlib
import re
import struct
import zipfile
import zlib
from pathlib import Path

from asn1crypto import cms, core, x509

ORDER = []  # the members of a release in the zip's order, from the genuine zip with an icon


def members(path):
    with zipfile.ZipFile(path) as z:
        return {i.filename: z.read(i) for i in z.infolist()}, z.infolist()[0].date_time


def with_sums(files):
    """files with SHA256SUMS rewritten for every other member, as release.sh writes it."""
    names = [n for n in files if n != "SHA256SUMS"]
    out = dict(files)
    out["SHA256SUMS"] = "".join("%s  %s\n" % (hashlib.sha256(files[n]).hexdigest(), n) for n in names).encode()
    return out


def ordered(files):
    known = [n for n in ORDER if n in files]
    return [(n, files[n]) for n in known + [n for n in files if n not in ORDER]]


WHEN = [(1980, 1, 1, 0, 0, 0)]  # the genuine release's member time, taken from it


def make_zip(entries, prefix=b"", suffix=b"", comment=b"", when=None):
    """entries: (name, data) or (name, data, options). Options change one header field each:
    method, flags, mode, extra, size (claimed), crc, local_name, made."""
    when = when or WHEN[0]
    mtime = (when[3] << 11) | (when[4] << 5) | (when[5] // 2)
    mdate = ((when[0] - 1980) << 9) | (when[1] << 5) | when[2]
    body, central = bytearray(prefix), bytearray()
    for entry in entries:
        name, data = entry[0], entry[1]
        o = entry[2] if len(entry) > 2 else {}
        raw = name.encode("latin-1")
        local_raw = o.get("local_name", name).encode("latin-1")
        crc = o.get("crc", zlib.crc32(data))
        method, flags, extra = o.get("method", 0), o.get("flags", 0), o.get("extra", b"")
        stored = data if method == 0 else o.get("compressed", data)
        size = o.get("size", len(data))
        offset = len(body)
        body += struct.pack("<IHHHHHIIIHH", 0x04034B50, 10, flags, method, mtime, mdate, crc, len(stored), size,
                            len(local_raw), len(extra)) + local_raw + extra + stored
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, o.get("made", 0x030A), 10, flags, method, mtime,
                               mdate, crc, len(stored), size, len(raw), len(extra), 0, 0, 0,
                               o.get("mode", 0o100644) << 16, offset) + raw + extra
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(central), len(body),
                      len(comment)) + comment
    return bytes(body + central + end) + suffix


def set_field(files, key, value, rewrite=True):
    lines = files["BUILDINFO"].decode().split("\n")
    lines = [("%s: %s" % (key, value) if l.startswith(key + ": ") else l) for l in lines]
    out = dict(files)
    out["BUILDINFO"] = "\n".join(lines).encode()
    return with_sums(out) if rewrite else out


def certificate_table(exe):
    pe = struct.unpack_from("<I", exe, 60)[0]
    entry = pe + 24 + 112 + 4 * 8
    offset, size = struct.unpack_from("<II", exe, entry)
    return entry, offset, size


def resigned(exe, message, inside=b"", after=b"", second=b""):
    """exe with its signature replaced by `message` (DER), `inside` its WIN_CERTIFICATE after the message,
    a `second` entry after it, and `after` bytes past the table."""
    entry, offset, _ = certificate_table(exe)
    body = message + inside
    body += b"\0" * (-len(body) % 8)
    table = struct.pack("<IHH", 8 + len(body), 0x0200, 2) + body + second
    out = bytearray(exe[:offset] + table + after)
    struct.pack_into("<II", out, entry, offset, len(table))
    return with_checksum(out)


def with_checksum(exe):
    """exe with its header checksum set right, as signing tools set it."""
    pe = struct.unpack_from("<I", exe, 60)[0]
    at = pe + 24 + 64
    padded = bytes(exe) + b"\0" * (len(exe) % 2)
    words = memoryview(padded).cast("H")
    total = sum(words) - words[at // 2] - words[at // 2 + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    out = bytearray(exe)
    struct.pack_into("<I", out, at, (total + len(exe)) & 0xFFFFFFFF)
    return bytes(out)


def message_of(exe):
    _, offset, size = certificate_table(exe)
    length = struct.unpack_from("<I", exe, offset)[0]
    info = cms.ContentInfo.load(exe[offset + 8:offset + length].rstrip(b"\0"))
    return info


def exe_kinds(exe, intruder):
    """Executables whose code is the genuine one but whose signature was changed."""
    info = message_of(exe)
    der = info.dump()
    kinds = {}
    kinds["sig-table-grown"] = resigned(exe, der, inside=b"MZ hidden payload no signature covers" * 4)
    kinds["sig-second-entry"] = resigned(exe, der, second=struct.pack("<IHH", 16, 0x0200, 2) + b"payload!")
    kinds["sig-bytes-after-table"] = resigned(exe, der, after=b"trailing payload")
    # The header checksum: the one field that no signed digest covers.
    changed = bytearray(exe)
    changed[struct.unpack_from("<I", exe, 60)[0] + 24 + 64] ^= 0x55
    kinds["sig-checksum-changed"] = bytes(changed)

    # A certificate of the attacker's in the set: a guess from the set would name it the signer.
    sd = info["content"]
    certs = list(sd["certificates"])
    extra = cms.CertificateChoices(name="certificate", value=x509.Certificate.load(intruder))
    grown = cms.ContentInfo.load(der)
    grown["content"]["certificates"] = cms.CertificateSet([extra] + certs)
    kinds["sig-intruder-certificate"] = resigned(exe, grown.dump(force=True))

    # A certificate of the chain twice, and a digest algorithm nobody used, neither of them signed.
    doubled = cms.ContentInfo.load(der)
    doubled["content"]["certificates"] = cms.CertificateSet(certs + certs[-1:])
    kinds["sig-certificate-twice"] = resigned(exe, doubled.dump(force=True))
    listed = cms.ContentInfo.load(der)
    listed["content"]["digest_algorithms"] = cms.DigestAlgorithms(
        list(sd["digest_algorithms"]) + [{"algorithm": "md5"}])
    kinds["sig-digest-algorithm-added"] = resigned(exe, listed.dump(force=True))

    # The signer's own certificate taken out of the set.
    signer = sd["signer_infos"][0]["sid"].chosen["serial_number"].native
    shrunk = cms.ContentInfo.load(der)
    shrunk["content"]["certificates"] = cms.CertificateSet(
        [c for c in certs if c.chosen.serial_number != signer])
    kinds["sig-signer-missing"] = resigned(exe, shrunk.dump(force=True))

    # An unsigned attribute nobody asked for.
    odd = cms.ContentInfo.load(der)
    si = odd["content"]["signer_infos"][0]
    attrs = list(si["unsigned_attrs"]) if si["unsigned_attrs"] else []
    attrs.append(cms.CMSAttribute({"type": "1.2.3.4.5", "values": [core.OctetString(b"payload")]}))
    si["unsigned_attrs"] = cms.CMSAttributes(attrs)
    kinds["sig-unexpected-attribute"] = resigned(exe, odd.dump(force=True))

    # One byte of the signed digest, of the signature value, and of the time stamp's signature.
    def flipped(value, at=10):
        raw = bytearray(der)
        raw[der.find(value) + at] ^= 1
        return resigned(exe, bytes(raw))

    digest = [a for a in sd["signer_infos"][0]["signed_attrs"] if a["type"].native == "message_digest"]
    kinds["sig-signed-digest-byte"] = flipped(digest[0]["values"][0].native)
    kinds["sig-value-byte"] = flipped(sd["signer_infos"][0]["signature"].native)
    stamp = [a for a in sd["signer_infos"][0]["unsigned_attrs"] if a["type"].dotted == "1.3.6.1.4.1.311.3.3.1"]
    if stamp:
        token_si = stamp[0]["values"][0]["content"]["signer_infos"][0]
        kinds["sig-timestamp-byte"] = flipped(token_si["signature"].native)
    # The message cut short: the table says it is shorter than it is.
    kinds["sig-truncated"] = resigned(exe, der[:len(der) // 2])
    return kinds


def repack(genuine_zip, exe):
    """genuine_zip with tarnel.exe replaced by `exe` and the sums rewritten."""
    files, WHEN[0] = members(genuine_zip)
    return make_zip(ordered(with_sums({**files, "tarnel.exe": exe})))


def zip_kinds(signed_zip, icon_zip, intruder):
    with zipfile.ZipFile(icon_zip) as z:
        ORDER[:] = z.namelist()
    files, WHEN[0] = members(signed_zip)
    g = dict(files)
    k = {}
    # Controls: the generator's own packing and signature embedding, with nothing changed, must verify.
    k["control-repacked"] = make_zip(ordered(g))
    k["control-resigned"] = make_zip(ordered({**g, "tarnel.exe": resigned(g["tarnel.exe"],
                                                                          message_of(g["tarnel.exe"]).dump())}))
    # Members a release does not hold: the application's interpreter and script, planted beside tarnel.exe.
    k["planted-interpreter"] = make_zip(ordered(with_sums({**g, "embeddables/pythonw.exe": b"MZ evil",
                                                            "build/tarnel.py": b"import evil\n"})))
    k["readme-changed"] = make_zip(ordered(with_sums({**g, "README.md": g["README.md"] + b"\nRun evil.bat.\n"})))
    k["license-changed"] = make_zip(ordered(with_sums({**g, "LICENSE": g["LICENSE"].replace(b"MIT", b"Proprietary")})))
    # The notices and the SBOM say what the executable holds: a publisher who ships them must get ours.
    k["notices-changed"] = make_zip(ordered(with_sums({**g, "THIRD-PARTY-NOTICES.txt": g[
        "THIRD-PARTY-NOTICES.txt"].replace(b"GPL", b"BSD")})))
    k["sbom-changed"] = make_zip(ordered(with_sums({**g, "tarnel.cdx.json": g["tarnel.cdx.json"].replace(
        b"static", b"dynamic")})))
    k["notices-missing"] = make_zip(ordered(with_sums({n: d for n, d in g.items()
                                                       if n != "THIRD-PARTY-NOTICES.txt"})))
    k["version-changed"] = make_zip(ordered(set_field(g, "version", "9.9.9")))
    k["toolchain-changed"] = make_zip(ordered(set_field(g, "compiler", "gcc 99.1")))
    k["commit-branch"] = make_zip(ordered(set_field(g, "commit", "main")))
    commit = g["BUILDINFO"].decode().split("commit: ")[1][:40]
    k["commit-short"] = make_zip(ordered(set_field(g, "commit", commit[:12])))
    k["commit-upper-case"] = make_zip(ordered(set_field(g, "commit", commit.upper())))
    k["commit-missing"] = make_zip(ordered(with_sums({**g, "BUILDINFO": b"".join(
        l + b"\n" for l in g["BUILDINFO"].split(b"\n") if l and not l.startswith(b"commit: "))})))
    k["field-twice"] = make_zip(ordered(with_sums({**g, "BUILDINFO": g["BUILDINFO"] + b"version: 1.0.0\n"})))
    k["field-unknown"] = make_zip(ordered(with_sums({**g, "BUILDINFO": g["BUILDINFO"] + b"run: evil.exe\n"})))
    esc = re.sub(rb"(?m)^version: .*$", lambda m: m[0] + b"\x1b[2K\r\x1b[32mVERIFIED\x1b[0m", g["BUILDINFO"], count=1)
    k["buildinfo-escapes"] = make_zip(ordered(with_sums({**g, "BUILDINFO": esc})))
    k["sums-hostname"] = make_zip(ordered({**g, "SHA256SUMS": g["SHA256SUMS"] + b"%s  /etc/hostname\n" % (
        hashlib.sha256(Path("/etc/hostname").read_bytes()).hexdigest().encode() if Path("/etc/hostname").exists()
        else b"0" * 64)}))
    k["sums-dev-zero"] = make_zip(ordered({**g, "SHA256SUMS": g["SHA256SUMS"] + b"%s  /dev/zero\n" % (b"0" * 64)}))
    k["sums-binary-mode"] = make_zip(ordered({**g, "SHA256SUMS": g["SHA256SUMS"].replace(b"  tarnel.exe", b" *tarnel.exe")}))
    k["sums-wrong-hash"] = make_zip(ordered({**g, "SHA256SUMS": b"0" * 64 + g["SHA256SUMS"][64:]}))
    k["sums-missing-line"] = make_zip(ordered({**g, "SHA256SUMS": b"\n".join(g["SHA256SUMS"].split(b"\n")[1:])}))

    # Changed without the sums rewritten: SHA256SUMS itself tells.
    sums = g["SHA256SUMS"]
    k["sums-first-digit"] = make_zip(ordered({**g, "SHA256SUMS": (b"1" if sums[:1] == b"0" else b"0") + sums[1:]}))
    readme = g["README.md"].replace(b"\n", b" (changed)\n", 1)
    k["readme-changed-sums-kept"] = make_zip(ordered({**g, "README.md": readme}))

    entries = ordered(g)
    # Other names for a member: Windows keeps one file of these, the second overwriting the first.
    for kind, name in (("name-upper-case", "TARNEL.EXE"), ("name-trailing-dot", "tarnel.exe."),
                       ("name-trailing-space", "README.md "), ("name-twice", "tarnel.exe")):
        k[kind] = make_zip(entries + [(name, b"MZ evil")])
    k["name-readme-bat"] = make_zip(entries[:2] + [("README.bat", b"start evil.exe\r\n")] + entries[2:])
    k["name-escapes"] = make_zip(entries + [("\x1b]0;owned\x07\x1b[32mOK", b"x")])
    k["name-path"] = make_zip(entries + [("../tarnel.exe", b"MZ evil")])
    k["name-not-ascii"] = make_zip(entries + [("R\xe9ADME.md", b"x")])
    # A local entry for another tarnel.exe in front of the central directory's first: a streaming reader
    # (funzip, ZipInputStream) takes the attacker's, unzip the genuine one.
    hidden = make_zip([("tarnel.exe", b"MZ evil")])
    hidden = hidden[:hidden.find(b"PK\1\2")]
    k["hidden-local-entry"] = make_zip(entries, prefix=hidden)
    gap = make_zip(entries)
    cd = gap.find(b"PK\1\2")
    k["data-before-directory"] = _shift_directory(gap, cd, b"evil data")
    k["zip-comment"] = make_zip(entries, comment=b"\x1b[32mVERIFIED\x1b[0m")
    k["data-after-zip"] = make_zip(entries, suffix=b"trailing")
    # 1 GiB of zeros deflated to about 1 MiB: unpacked, it fills the disk before any check.
    bomb = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = bytes(1 << 20)
    compressed = b"".join(bomb.compress(chunk) for _ in range(1024)) + bomb.flush()
    k["bomb-deflated"] = make_zip(entries[:1] + [("README.md", b"", {"method": 8, "compressed": compressed,
                                                                   "size": 1 << 30, "crc": 0})] + entries[2:])
    k["size-claimed-huge"] = make_zip(entries[:1] + [("README.md", entries[1][1], {"size": 1 << 30})] + entries[2:])
    k["member-encrypted"] = make_zip(entries[:1] + [("README.md", entries[1][1], {"flags": 1})] + entries[2:])
    k["member-symlink"] = make_zip(entries[:2] + [("LICENSE", b"/etc/passwd", {"mode": 0o120777})] + entries[3:])
    k["member-directory"] = make_zip(entries[:2] + [("LICENSE", b"", {"mode": 0o040755})] + entries[3:])
    k["member-executable-mode"] = make_zip(entries[:2] + [("LICENSE", entries[2][1], {"mode": 0o100755})]
                                           + entries[3:])
    k["member-extra-field"] = make_zip(entries[:1] + [("README.md", entries[1][1], {"extra": b"UT\5\0\1\0\0\0\0"})]
                                       + entries[2:])
    k["member-bad-crc"] = make_zip(entries[:1] + [("README.md", entries[1][1], {"crc": 1})] + entries[2:])
    k["local-name-differs"] = make_zip(entries[:1] + [("README.md", entries[1][1], {"local_name": "README.exe"})]
                                       + entries[2:])
    k["member-missing"] = make_zip([e for e in entries if e[0] != "LICENSE"])
    k["members-reordered"] = make_zip([entries[1], entries[0]] + entries[2:])
    k["member-time-changed"] = make_zip(entries, when=(2030, 1, 2, 3, 4, 4))
    k["exe-missing"] = make_zip(ordered(with_sums({n: d for n, d in g.items() if n != "tarnel.exe"})))
    k["made-on-windows"] = make_zip([(n, d, {"made": 0x000A}) for n, d in entries])

    # With an icon.
    icon_files, _ = members(icon_zip)
    i = dict(icon_files)
    changed = bytearray(i["icon.ico"])
    changed[-100] ^= 0xFF
    k["icon-byte-sums-rewritten"] = make_zip(ordered(set_field({**i, "icon.ico": bytes(changed)}, "icon-sha256",
                                                               hashlib.sha256(changed).hexdigest())))
    k["icon-byte"] = make_zip(ordered(with_sums({**i, "icon.ico": bytes(changed)})))
    k["icon-removed"] = make_zip(ordered(with_sums({n: d for n, d in i.items() if n != "icon.ico"})))
    k["icon-added"] = make_zip(ordered(with_sums({**g, "icon.ico": i["icon.ico"]})))
    bad = bytearray(i["icon.ico"])
    struct.pack_into("<I", bad, 6 + 12, 1 << 30)  # the first image's size: far past the end of the file
    k["icon-directory-outside"] = make_zip(ordered(set_field({**i, "icon.ico": bytes(bad)}, "icon-sha256",
                                                             hashlib.sha256(bad).hexdigest())))
    text = b"<svg>not an icon</svg>"
    k["icon-not-ico"] = make_zip(ordered(set_field({**i, "icon.ico": text}, "icon-sha256",
                                                   hashlib.sha256(text).hexdigest())))

    # Changed signatures, packed with the sums rewritten.
    for kind, exe in exe_kinds(g["tarnel.exe"], intruder).items():
        k[kind] = make_zip(ordered(with_sums({**g, "tarnel.exe": exe})))
    return k


def _shift_directory(data, cd, junk):
    """data with `junk` between the last member and the central directory, the end record adjusted."""
    out = bytearray(data[:cd] + junk + data[cd:])
    end = len(out) - 22
    struct.pack_into("<I", out, end + 16, cd + len(junk))
    return bytes(out)
