#!/usr/bin/python3
"""Reads the Authenticode signature of a PE file strictly, as verify.sh needs it:

    authenticode.py EXE WORKDIR

Prints tab-separated lines, every text from the file with its control characters made visible:
  unsigned                          no certificate table
  problem   REASON                  the signature is not a sound, single Authenticode signature
  signature N   primary|nested      then, for that signature:
  signer    SUBJECT                 the certificate the signer information names (issuer and serial)
  issuer    NAME / serial HEX / valid FROM to TO
  timestamp TIME                    RFC 3161 or countersignature time, checked against the signature
  end       N                       the last line of signature N
For each signature N it writes WORKDIR/sig-N-signer.pem, sig-N-certs.pem (the set, for building the chain),
sig-N-time (seconds since 1970 of an intact time stamp) and, with an RFC 3161 time stamp,
sig-N-tsa-signer.pem and sig-N-tsa-certs.pem. Exit status 0 once it has read the file, 2 if it cannot.
The signature is checked here (digests and the signer's signature over them); whom it leads to is for
`openssl verify` on those files.
"""
import hashlib
import struct
import sys
from datetime import timezone
from pathlib import Path

from asn1crypto import algos, cms, core, tsp
from cryptography import x509 as cx509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
TST_INFO = "1.2.840.113549.1.9.16.1.4"
MAX_SIGNATURES = 8
OPEN = []  # the signature whose lines have begun and not yet ended
DIGESTS = {"sha1": hashes.SHA1, "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}


class Problem(Exception):
    pass


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


def visible(text):
    """Control characters (and any character a terminal might act on) as \\xNN or \\uNNNN."""
    out = []
    for ch in str(text):
        if ch.isprintable() and ch != "\\":
            out.append(ch)
        elif ch == "\\":
            out.append("\\\\")
        elif ord(ch) < 0x100:
            out.append("\\x%02x" % ord(ch))
        else:
            out.append("\\u%04x" % ord(ch))
    return "".join(out)


def utc(when):
    return when.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


def emit(key, *values):
    print("\t".join([key] + [visible(v) for v in values]))


def pe_layout(data):
    """Offsets of the checksum and the certificate-table directory entry, and that entry."""
    if len(data) < 64 or data[:2] != b"MZ":
        raise Problem("not a PE executable")
    pe = struct.unpack_from("<I", data, 60)[0]
    if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        raise Problem("not a PE executable")
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x20B:
        directories = optional + 112
        count = struct.unpack_from("<I", data, optional + 108)[0]
    elif magic == 0x10B:
        directories = optional + 96
        count = struct.unpack_from("<I", data, optional + 92)[0]
    else:
        raise Problem("unknown optional header")
    entry = directories + 4 * 8
    if count < 5 or entry + 8 > len(data):
        raise Problem("no certificate-table entry in the header")
    offset, size = struct.unpack_from("<II", data, entry)
    return optional + 64, entry, offset, size


def pe_digest(data, algorithm, checksum, entry, table):
    """The Authenticode digest: the file without its checksum, its table entry and the table."""
    h = hashlib.new(algorithm)
    h.update(data[:checksum])
    h.update(data[checksum + 4:entry])
    h.update(data[entry + 8:table])
    return h.digest()


def pe_checksum(data, at):
    """The PE header's checksum of the file (its field at `at` left out): 16-bit sums, then the length."""
    padded = data + b"\0" * (len(data) % 2)
    words = memoryview(padded).cast("H")
    total = sum(words) - words[at // 2] - words[at // 2 + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def der_length(data, at):
    """The length of the DER element at `at` (tag, length and contents)."""
    if at + 2 > len(data) or data[at] != 0x30:
        raise Problem("the certificate table holds no DER signature")
    first = data[at + 1]
    if first < 0x80:
        return 2 + first
    n = first & 0x7F
    if n == 0 or n > 4 or at + 2 + n > len(data):
        raise Problem("the signature's length is not DER")
    return 2 + n + int.from_bytes(data[at + 2:at + 2 + n], "big")


def certificate_table(data):
    """The PKCS#7 message from the one WIN_CERTIFICATE, or None when the file is unsigned."""
    checksum, entry, offset, size = pe_layout(data)
    if offset == 0 and size == 0:
        return None, checksum, entry, len(data)
    if offset == 0 or size == 0:
        raise Problem("the certificate-table entry is half set (offset %d, size %d)" % (offset, size))
    if offset + size != len(data):
        raise Problem("the certificate table (%d bytes at %d) does not end at the end of the file (%d bytes)"
                      % (size, offset, len(data)))
    if offset % 8:
        raise Problem("the certificate table does not start on an 8-byte boundary")
    if size < 8:
        raise Problem("the certificate table is too short")
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if revision != 0x0200 or kind != 0x0002:
        raise Problem("the certificate table entry is not a PKCS#7 Authenticode signature (revision %#x, type %#x)"
                      % (revision, kind))
    message = der_length(data, offset + 8)
    if length < 8 + message or length > 8 + message + 7:
        raise Problem("the certificate entry is %d bytes for a %d-byte signature: bytes that no signature covers"
                      % (length, message))
    if size not in (length, (length + 7) // 8 * 8):
        raise Problem("the certificate table (%d bytes) holds more than its one entry (%d bytes)" % (size, length))
    padding_bytes = data[offset + 8 + message:offset + size]
    if len(padding_bytes) > 7 or any(padding_bytes):
        raise Problem("the certificate table carries %d bytes after the signature that are not zero padding"
                      % len(padding_bytes))
    return data[offset + 8:offset + 8 + message], checksum, entry, offset


def loaded(cert):
    return cx509.load_der_x509_certificate(cert.dump())


def subject_of(cert):
    """The subject as RFC 4514 writes it (most significant last), e.g. CN=Test,O=Example."""
    return loaded(cert).subject.rfc4514_string()


def find_signer(si, certs):
    sid = si["sid"]
    if sid.name != "issuer_and_serial_number":
        raise Problem("the signer is not named by issuer and serial number")
    issuer, serial = sid.chosen["issuer"], sid.chosen["serial_number"].native
    found = [c for c in certs if c.issuer == issuer and c.serial_number == serial]
    if len(found) != 1:
        raise Problem("the certificate the signer information names (serial %x) is %s in the signature"
                      % (serial, "missing" if not found else "there twice"))
    return found[0]


def check_signer(si, signer, content, expected_type, what):
    """The signed attributes hold the content's digest and verify with the signer's key."""
    algorithm = si["digest_algorithm"]["algorithm"].native
    if algorithm not in DIGESTS:
        raise Problem("%s uses an unsupported digest, %s" % (what, algorithm))
    attrs = si["signed_attrs"]
    if not attrs:
        raise Problem("%s has no signed attributes" % what)
    found = {}
    for attr in attrs:
        kind = attr["type"].dotted
        if kind in found:
            raise Problem("%s has a signed attribute twice" % what)
        found[kind] = attr["values"]
    ct, md = found.get("1.2.840.113549.1.9.3"), found.get("1.2.840.113549.1.9.4")
    if md is None or len(md) != 1 or (expected_type and (ct is None or len(ct) != 1 or ct[0].dotted != expected_type)):
        raise Problem("%s lacks the signed content type or digest" % what)
    if md[0].native != hashlib.new(algorithm, content).digest():
        raise Problem("%s signs a digest that is not its content's" % what)
    signed = b"\x31" + attrs.dump()[1:]  # signed as a SET, carried as [0]
    key = loaded(signer).public_key()
    value = si["signature"].native
    sig_algo = si["signature_algorithm"].signature_algo
    try:
        if isinstance(key, rsa.RSAPublicKey) and sig_algo == "rsassa_pkcs1v15":
            key.verify(value, signed, padding.PKCS1v15(), DIGESTS[algorithm]())
        elif isinstance(key, ec.EllipticCurvePublicKey) and sig_algo == "ecdsa":
            key.verify(value, signed, ec.ECDSA(DIGESTS[algorithm]()))
        else:
            raise Problem("%s uses an unsupported signature algorithm, %s" % (what, sig_algo))
    except InvalidSignature:
        raise Problem("%s does not match what it signs" % what) from None
    return found


def certificates(sd, what):
    certs = []
    for choice in sd["certificates"] or []:
        if choice.name != "certificate":
            raise Problem("%s carries a certificate of another kind" % what)
        certs.append(choice.chosen)
    if sd["crls"]:
        raise Problem("%s carries revocation lists" % what)
    if len({c.dump() for c in certs}) != len(certs):
        raise Problem("%s carries a certificate twice" % what)
    return certs


def chain_only(certs, leaves, what):
    """Every certificate of the set is one of `leaves` or an issuer above them in the set."""
    keep = []
    todo = list(leaves)
    while todo:
        cert = todo.pop()
        if any(cert is k for k in keep):
            continue
        keep.append(cert)
        if cert.issuer != cert.subject:
            todo.extend(c for c in certs if c.subject == cert.issuer)
    for cert in certs:
        if not any(cert is k for k in keep):
            raise Problem("%s carries a certificate that is not on its signer's chain: %s"
                          % (what, subject_of(cert)))


def pem(certs):
    return "".join(loaded(c).public_bytes(serialization.Encoding.PEM).decode() for c in certs)


def signed_data(info, what):
    if info["content_type"].native != "signed_data":
        raise Problem("%s is not a signed message" % what)
    sd = info["content"]
    if len(sd["signer_infos"]) != 1:
        raise Problem("%s has %d signer informations, not one" % (what, len(sd["signer_infos"])))
    # The digest algorithms listed are not signed: exactly the signer's own, nothing added.
    listed = [d["algorithm"].dotted for d in sd["digest_algorithms"]]
    if listed != [sd["signer_infos"][0]["digest_algorithm"]["algorithm"].dotted]:
        raise Problem("%s lists digest algorithms other than its signer's" % what)
    return sd


def read_timestamp(token, signature_value, workdir, n, what):
    """An RFC 3161 token over the signature value; returns its time."""
    sd = signed_data(token, what)
    eci = sd["encap_content_info"]
    if eci["content_type"].dotted != TST_INFO:
        raise Problem("%s holds no time-stamp information" % what)
    if not isinstance(eci["content"], (core.OctetString, core.ParsableOctetString)):
        raise Problem("%s holds no time-stamp information" % what)
    content = bytes(eci["content"].contents)
    tst = tsp.TSTInfo.load(content, strict=True)
    certs = certificates(sd, what)
    si = sd["signer_infos"][0]
    signer = find_signer(si, certs)
    chain_only(certs, [signer], what)
    check_signer(si, signer, content, TST_INFO, what)
    imprint = tst["message_imprint"]
    algorithm = imprint["hash_algorithm"]["algorithm"].native
    if algorithm not in DIGESTS or imprint["hashed_message"].native != hashlib.new(algorithm, signature_value).digest():
        raise Problem("%s does not stamp this signature" % what)
    Path(workdir, "sig-%d-tsa-signer.pem" % n).write_text(pem([signer]))
    Path(workdir, "sig-%d-tsa-certs.pem" % n).write_text(pem(certs) or "")
    return tst["gen_time"].native


def read_signature(info, data, layout, workdir, n, kind, nested):
    what = "nested signature %d" % n if n else "the signature"
    sd = signed_data(info, what)
    eci = sd["encap_content_info"]
    if eci["content_type"].dotted != SPC_INDIRECT_DATA:
        raise Problem("%s does not sign a PE image" % what)
    # The content is [0] EXPLICIT SpcIndirectDataContent; Authenticode digests it without its own tag and
    # length, which is what asn1crypto keeps as the contents.
    content = bytes(eci["content"].contents)
    indirect = SpcIndirectDataContent(contents=content)
    if indirect["data"]["type"].dotted != SPC_PE_IMAGE_DATA:
        raise Problem("%s does not sign a PE image" % what)
    certs = certificates(sd, what)
    si = sd["signer_infos"][0]
    signer = find_signer(si, certs)
    # Who it claims to be, before any check: a broken signature still shows whose it says it is.
    OPEN.append(n)
    emit("signature", str(n), kind)
    emit("signer", subject_of(signer))
    emit("issuer", loaded(signer).issuer.rfc4514_string())
    emit("serial", "%x" % signer.serial_number)
    validity = signer["tbs_certificate"]["validity"]
    emit("valid", "%s to %s" % (utc(validity["not_before"].native), utc(validity["not_after"].native)))

    algorithm = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
    if algorithm not in DIGESTS:
        raise Problem("%s uses an unsupported file digest, %s" % (what, algorithm))
    if indirect["message_digest"]["digest"].native != pe_digest(data, algorithm, *layout):
        raise Problem("the file was changed after it was signed" if not n else
                      "the file was changed after %s was made" % what)
    check_signer(si, signer, content, SPC_INDIRECT_DATA, what)

    leaves, stamp, nested_infos, seen = [signer], None, [], set()
    for attr in si["unsigned_attrs"] or []:
        oid = attr["type"].dotted
        if oid in seen:
            raise Problem("%s has an unsigned attribute twice" % what)
        seen.add(oid)
        if oid == RFC3161_TIMESTAMP:
            if len(attr["values"]) != 1:
                raise Problem("%s has not one time stamp" % what)
            token = cms.ContentInfo.load(attr["values"][0].dump(), strict=True)
            stamp = read_timestamp(token, si["signature"].native, workdir, n, "the time stamp of " + what)
        elif oid == COUNTERSIGNATURE:
            if len(attr["values"]) != 1:
                raise Problem("%s has not one countersignature" % what)
            counter = cms.SignerInfo.load(attr["values"][0].dump(), strict=True)
            countersigner = find_signer(counter, certs)
            found = check_signer(counter, countersigner, si["signature"].native, None,
                                 "the countersignature of " + what)
            leaves.append(countersigner)
            times = found.get("1.2.840.113549.1.9.5")
            if not times or len(times) != 1:
                raise Problem("the countersignature of %s has no time" % what)
            stamp = times[0].native
        elif oid == NESTED_SIGNATURE and not nested:
            for value in attr["values"]:
                nested_infos.append(cms.ContentInfo.load(value.dump(), strict=True))
        else:
            raise Problem("%s carries an unexpected unsigned attribute %s" % (what, oid))
    chain_only(certs, leaves, what)

    Path(workdir, "sig-%d-signer.pem" % n).write_text(pem([signer]))
    Path(workdir, "sig-%d-certs.pem" % n).write_text(pem(certs))
    if stamp is not None:
        emit("timestamp", utc(stamp))
        Path(workdir, "sig-%d-time" % n).write_text("%d\n" % int(stamp.timestamp()))
    emit("end", str(n))
    OPEN.remove(n)
    return nested_infos


def main():
    exe, workdir = sys.argv[1], sys.argv[2]
    try:
        data = Path(exe).read_bytes()
    except OSError as e:
        print("cannot read %s: %s" % (visible(exe), visible(e.strerror)), file=sys.stderr)
        return 2
    try:
        message, *layout = certificate_table(data)
        if message is None:
            emit("unsigned")
            return 0
        try:
            info = cms.ContentInfo.load(message, strict=True)
            for part in ("version", "digest_algorithms", "certificates", "crls"):
                info["content"][part].native  # parsed now: a malformed part is a problem, not a crash
        except (ValueError, TypeError) as e:
            raise Problem("the signature is not a well-formed PKCS#7 message (%s)" % e) from None
        nested = read_signature(info, data, layout, workdir, 0, "primary", False)
        if len(nested) + 1 > MAX_SIGNATURES:
            raise Problem("more than %d signatures" % MAX_SIGNATURES)
        for n, inner in enumerate(nested, 1):
            read_signature(inner, data, layout, workdir, n, "nested", True)
        # The checksum is the one header field that no signed digest covers, and signing sets it: once
        # everything else holds, any other value is a change made after signing.
        if struct.unpack_from("<I", data, layout[0])[0] != pe_checksum(data, layout[0]):
            raise Problem("the header's checksum is not the signed file's: the file was changed after signing")
    except Problem as p:
        emit("problem", str(p))
    except (ValueError, TypeError, KeyError, IndexError, struct.error) as e:
        emit("problem", "the signature cannot be read (%s)" % e)
    for n in OPEN:
        emit("end", str(n))
    return 0


if __name__ == "__main__":
    sys.exit(main())
