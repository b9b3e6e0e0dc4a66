"""Authenticode signatures: read strictly (asn1crypto), checked (cryptography) against the policy Windows
applies to them, their chains judged (openssl verify, then osslsigncode verify), and moved between files
(osslsigncode extract/attach/remove-signature). docs/signatures.md says what the policy is.

judge() is what the verifier reports about the signature part of a download. The file is the attacker's:
its size, its certificates and attributes are bounded before any work grows with them; every text from it
is cut and passes through visible(); the reasons given come from our own words and the tools' codes, never
from its text. What this machine cannot check (an algorithm, a structure, a tool missing) raises
CannotCheck."""
import hashlib
import os
import re
import struct
import subprocess
import time
from dataclasses import dataclass, field
from datetime import timezone
from pathlib import Path

from asn1crypto import algos, cms, core, tsp
from cryptography import x509 as cx509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.x509.oid import ExtendedKeyUsageOID
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from release import pe
from release.text import visible

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
SPC_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
TST_INFO = "1.2.840.113549.1.9.16.1.4"
# Bounds on what a download may make us do. A genuine signature with its chain and a time stamp is about
# 4 KB; these leave room for a commercial chain, a nested signature and their stamps.
MAX_SIGNATURES = 8  # the primary and its nested signatures, which nest no further
MAX_MESSAGE = 256 << 10  # bytes of the PKCS#7 message
MAX_CERTS = 16  # certificates in one signature's set
MAX_ATTRS = 16  # signed or unsigned attributes of one signer
MAX_DEPTH = 32  # DER nesting
FIELD = 200  # characters of a field from the download shown
DIGESTS = {"md5": hashes.MD5, "sha1": hashes.SHA1, "sha256": hashes.SHA256, "sha384": hashes.SHA384,
           "sha512": hashes.SHA512}
STRONG = ("sha256", "sha384", "sha512")  # SHA-1 and MD5 are read and reported, not trusted
WEAK = {"md5": "MD5", "sha1": "SHA-1"}
SYSTEM_CAS = "/etc/ssl/certs/ca-certificates.crt"
TOOL_TIMEOUT = 120  # seconds for one openssl or osslsigncode run; a hostile file must not hold us longer


class Problem(Exception):
    """The signature is not a sound, single Authenticode signature."""


class CannotCheck(Exception):
    """The check could not be made: trouble on this machine's side, or an algorithm or structure this
    verifier does not check."""


def field_text(value):
    return visible(value, FIELD)


@dataclass
class Signature:
    n: int  # 0 the primary, 1... nested
    fields: list = field(default_factory=list)  # (label, value) as shown: signer, issuer, serial, valid, timestamp
    time: int = None  # seconds since 1970 of a time stamp that counts (trusted, in range)
    stamp: object = None  # the time stamp's claimed time (datetime), trusted or not
    stamp_problem: str = None  # why the time stamp does not count, None while it may
    complete: bool = False  # every check of this signature passed
    untrusted: list = field(default_factory=list)  # where the signature falls short of the policy
    signer_cert: object = None  # cryptography's certificate of the signer
    files: dict = field(default_factory=dict)  # signer, certs, tsa-signer, tsa-certs: PEM files in the workdir


@dataclass
class Judgement:
    signed: bool
    lines: list = field(default_factory=list)
    failures: list = field(default_factory=list)  # (check, reason in the verdict's words)
    checks: list = field(default_factory=list)  # {"name", "result": ok|failed|not checked, "detail"}
    signatures: list = field(default_factory=list)


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", algos.DigestInfo)]


def utc(when):
    return when.astimezone(timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


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


def der_problem(data):
    """Why `data` is not one DER element (definite, minimal lengths; no constructed strings; at most MAX_DEPTH
    deep), or None. Walked without recursion, so that no nesting costs more than its bytes."""
    ends = [len(data)]  # the end of each enclosing element
    at = 0
    if not data:
        return "it is empty"
    while at < len(data):
        while ends and at == ends[-1] and len(ends) > 1:
            ends.pop()
        if at >= ends[-1]:
            return "an element runs past the one that holds it"
        if len(ends) > MAX_DEPTH:
            return "it nests deeper than %d" % MAX_DEPTH
        tag, at = data[at], at + 1
        if tag & 0x1F == 0x1F:  # a tag number in more bytes: at most four
            for n in range(4):
                if at >= len(data):
                    return "it ends inside a tag"
                at += 1
                if not data[at - 1] & 0x80:
                    break
            else:
                return "a tag number is too long"
        if at >= len(data):
            return "it ends before a length"
        first, at = data[at], at + 1
        if first == 0x80:
            return "it uses an indefinite length"
        if first < 0x80:
            length = first
        else:
            n = first & 0x7F
            if n > 4 or at + n > len(data):
                return "a length is too long"
            length = int.from_bytes(data[at:at + n], "big")
            if data[at] == 0 or length < 0x80:
                return "a length is not in its shortest form"
            at += n
        if at + length > ends[-1]:
            return "an element runs past the one that holds it"
        if tag in (0x23, 0x24, 0x2C, 0x33, 0x34, 0x36, 0x3C, 0x3D, 0x3E):
            return "a string is in constructed form"
        if tag & 0x20:
            if len(ends) == 1 and at + length != len(data):
                return "bytes follow the element"
            ends.append(at + length)
        else:
            at += length
            if len(ends) == 1 and at != len(data):
                return "bytes follow the element"
    return None


def signature_message(data):
    """The PKCS#7 message of the one WIN_CERTIFICATE, or None when the file is unsigned."""
    try:
        table = pe.certificate_table(data)
    except pe.NotPE as e:
        raise Problem(str(e)) from None
    if table is None:
        return None
    offset, size = table
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
    if message > MAX_MESSAGE:
        raise Problem("the signature is %d bytes, more than any release's (at most %d)" % (message, MAX_MESSAGE))
    message = data[offset + 8:offset + 8 + message]
    problem = der_problem(message)
    if problem:
        raise Problem("the signature is not DER: %s" % problem)
    return message


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
        raise Problem("the certificate the signer information names (serial %s) is %s in the signature"
                      % (visible("%x" % serial, 40), "missing" if not found else "there twice"))
    return found[0]


def digest_of(algorithm_id, what, weak):
    """The name of a digest algorithm we can compute; a weak one is noted in `weak`, an unknown one is
    CannotCheck."""
    algorithm = algorithm_id["algorithm"].native
    if algorithm not in DIGESTS:
        raise CannotCheck("%s uses a digest this verifier cannot check (%s)"
                          % (what, algorithm_id["algorithm"].dotted))
    if algorithm not in STRONG:
        weak.append("%s uses %s (SHA-256 or stronger is trusted)" % (what, WEAK[algorithm]))
    return algorithm


def check_signer(si, signer, content, expected_type, what, weak):
    """The signed attributes hold the content's digest and verify with the signer's key; a weak digest is
    noted in `weak`."""
    algorithm = digest_of(si["digest_algorithm"], what, weak)
    attrs = si["signed_attrs"]
    if not attrs:
        raise Problem("%s has no signed attributes" % what)
    if len(attrs) > MAX_ATTRS or len(si["unsigned_attrs"] or []) > MAX_ATTRS:
        raise Problem("%s has more than %d attributes" % (what, MAX_ATTRS))
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
    try:
        key = loaded(signer).public_key()
    except (UnsupportedAlgorithm, ValueError):
        raise CannotCheck("%s is made with a key this verifier cannot check (%s)"
                          % (what, signer.public_key.algorithm)) from None
    value = si["signature"].native
    sig_algo = si["signature_algorithm"].signature_algo
    try:
        if not isinstance(key, (rsa.RSAPublicKey, ec.EllipticCurvePublicKey)):
            raise CannotCheck("%s is made with a key this verifier cannot check (%s)"
                              % (what, signer.public_key.algorithm))
        if isinstance(key, rsa.RSAPublicKey) and sig_algo == "rsassa_pkcs1v15":
            key.verify(value, signed, padding.PKCS1v15(), DIGESTS[algorithm]())
        elif isinstance(key, ec.EllipticCurvePublicKey) and sig_algo == "ecdsa":
            key.verify(value, signed, ec.ECDSA(DIGESTS[algorithm]()))
        else:
            raise CannotCheck("%s uses a signature algorithm this verifier cannot check (%s)"
                              % (what, si["signature_algorithm"]["algorithm"].dotted))
    except InvalidSignature:
        raise Problem("%s does not match what it signs" % what) from None
    return found


def certificates(sd, what, duplicates=False):
    """The certificates of a signed message. `duplicates`: the same certificate twice is dropped rather than
    refused (osslsigncode 2.9 puts its own time-stamping certificate twice in the stamps it makes)."""
    if len(sd["certificates"] or []) > MAX_CERTS:
        raise Problem("%s carries %d certificates, more than %d" % (what, len(sd["certificates"]), MAX_CERTS))
    certs = []
    for choice in sd["certificates"] or []:
        if choice.name != "certificate":
            raise Problem("%s carries a certificate of another kind" % what)
        certs.append(choice.chosen)
    if sd["crls"]:
        raise Problem("%s carries revocation lists" % what)
    if duplicates:
        unique = {}
        for cert in certs:
            unique.setdefault(cert.dump(), cert)
        certs = list(unique.values())
    if len({c.dump() for c in certs}) != len(certs):
        raise Problem("%s carries a certificate twice" % what)
    return certs


def reachable(certs, leaves):
    """The leaves and every certificate of the set above them, in the order found. Each certificate is visited
    once, however many claim to issue each other."""
    by_subject = {}
    for cert in certs:
        by_subject.setdefault(cert.subject.dump(), []).append(cert)
    keep, found, todo = set(), [], list(leaves)
    while todo:
        cert = todo.pop()
        if id(cert) in keep:
            continue
        keep.add(id(cert))
        found.append(cert)
        todo.extend(by_subject.get(cert.issuer.dump(), []))
    return found


def chain_only(certs, leaves, what):
    """Every certificate of the set is one of `leaves` or an issuer above them in the set."""
    keep = {id(c) for c in reachable(certs, leaves)}
    for cert in certs:
        if id(cert) not in keep:
            raise Problem("%s carries a certificate (serial %s) that is not on its signer's chain"
                          % (what, visible("%x" % cert.serial_number, 40)))


def described(cert, leaf, who):
    """A certificate in a reason, by its place, never by the names the download gives it."""
    if cert is leaf:
        return "%s's certificate" % who
    return "the certificate (serial %s) above %s" % (visible("%x" % cert.serial_number, 40), who)


def strength(cert, leaf, who):
    """Where a certificate's key or signature is weaker than the policy asks: a list of reasons. A key or
    signature algorithm this verifier does not know is CannotCheck."""
    name = described(cert, leaf, who)
    self_signed = cert.subject == cert.issuer
    weak = []
    try:
        key = loaded(cert).public_key()
    except (UnsupportedAlgorithm, ValueError):
        raise CannotCheck("%s has a key this verifier cannot check (%s)"
                          % (name, cert.public_key.algorithm)) from None
    if isinstance(key, rsa.RSAPublicKey):
        if key.key_size < 2048:
            weak.append("%s has a %d-bit RSA key (at least 2048 are trusted)" % (name, key.key_size))
    elif isinstance(key, ec.EllipticCurvePublicKey):
        if key.curve.key_size < 256:
            weak.append("%s has a key on %s (P-256 or larger is trusted)" % (name, key.curve.name))
    else:
        raise CannotCheck("%s has a key this verifier cannot check (%s)"
                          % (name, cert.public_key.algorithm))
    if not self_signed:  # a root is trusted for being in the store, not for its own signature
        try:
            algorithm = loaded(cert).signature_hash_algorithm
        except UnsupportedAlgorithm:
            algorithm = None
        if algorithm is None:
            raise CannotCheck("%s is signed with an algorithm this verifier cannot check (%s)"
                              % (name, cert["signature_algorithm"]["algorithm"].dotted))
        if algorithm.name not in STRONG:
            weak.append("%s is signed with %s (SHA-256 or stronger is trusted)"
                        % (name, WEAK.get(algorithm.name, algorithm.name)))
    return weak


def extension(cert, kind):
    try:
        return loaded(cert).extensions.get_extension_for_class(kind).value
    except cx509.ExtensionNotFound:
        return None
    except ValueError:  # duplicated or malformed extensions: Windows refuses such a certificate too
        raise Problem("a certificate (serial %s) has malformed extensions"
                      % visible("%x" % cert.serial_number, 40)) from None


def usage_problems(certs, leaf, purpose, who):
    """Where the path allows less than it is used for: the leaf an end entity that may sign for `purpose`,
    each issuer a CA whose usages, where given, allow issuing and `purpose`."""
    oid = ExtendedKeyUsageOID.CODE_SIGNING if purpose == "code signing" else ExtendedKeyUsageOID.TIME_STAMPING
    problems = []
    for cert in certs:
        name = described(cert, leaf, who)
        constraints = extension(cert, cx509.BasicConstraints)
        usage = extension(cert, cx509.KeyUsage)
        eku = extension(cert, cx509.ExtendedKeyUsage)
        if eku is not None and oid not in eku and ExtendedKeyUsageOID.ANY_EXTENDED_KEY_USAGE not in eku:
            problems.append("%s is not for %s (extended key usage)" % (name, purpose))
        if cert is leaf:
            if constraints is not None and constraints.ca:
                problems.append("%s is a certificate authority's, not an end entity's" % name)
            if usage is not None and not usage.digital_signature:
                problems.append("%s may not make digital signatures (key usage)" % name)
        elif cert.subject != cert.issuer or constraints is not None:
            if constraints is None or not constraints.ca:
                problems.append("%s is no certificate authority's" % name)
            elif usage is not None and not usage.key_cert_sign:
                problems.append("%s may not sign certificates (key usage)" % name)
    return problems


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


class Reader:
    """Reads one file's signatures in order; what it has read so far stays in `signatures` when a problem
    stops it, so that a broken signature still shows whose it says it is."""

    def __init__(self, data, workdir):
        self.data, self.workdir, self.signatures = data, Path(workdir), []

    def write(self, sig, name, text):
        path = self.workdir / ("sig-%d-%s.pem" % (sig.n, name))
        try:
            path.write_text(text)
        except OSError as e:
            raise CannotCheck("cannot write %s: %s" % (path, e.strerror)) from None
        sig.files[name] = path

    def stamp_policy(self, sig, certs, stamper, when, weak):
        """Whether a time stamp may count, as far as it can be told here (its chain is judge()'s to check):
        its signer may stamp, its digests and keys are strong, its time is within the signer's validity and
        not in the future."""
        path = reachable(certs, [stamper])
        weak += usage_problems(path, stamper, "time stamping", "the time stamp's signer")
        for cert in path:
            weak += strength(cert, stamper, "the time stamp's signer")
        validity = sig.signer_cert
        if when.timestamp() > time.time():
            weak.append("its time is in the future")
        elif not validity.not_valid_before <= when.replace(tzinfo=None) <= validity.not_valid_after:
            weak.append("its time is outside the signer's validity")
        sig.stamp = when
        sig.stamp_problem = weak[0] if weak else None

    def timestamp(self, token, signature_value, sig, what):
        """An RFC 3161 token over the signature value."""
        sd = signed_data(token, what)
        eci = sd["encap_content_info"]
        if eci["content_type"].dotted != TST_INFO:
            raise Problem("%s holds no time-stamp information" % what)
        if not isinstance(eci["content"], (core.OctetString, core.ParsableOctetString)):
            raise Problem("%s holds no time-stamp information" % what)
        content = bytes(eci["content"].contents)
        problem = der_problem(content)
        if problem:
            raise Problem("%s is not DER: %s" % (what, problem))
        tst = tsp.TSTInfo.load(content, strict=True)
        certs = certificates(sd, what, duplicates=True)
        si = sd["signer_infos"][0]
        signer = find_signer(si, certs)
        chain_only(certs, [signer], what)
        weak = []
        check_signer(si, signer, content, TST_INFO, what, weak)
        imprint = tst["message_imprint"]
        algorithm = digest_of(imprint["hash_algorithm"], what, weak)
        if imprint["hashed_message"].native != hashlib.new(algorithm, signature_value).digest():
            raise Problem("%s does not stamp this signature" % what)
        self.write(sig, "tsa-signer", pem([signer]))
        self.write(sig, "tsa-certs", pem(certs))
        self.stamp_policy(sig, certs, signer, tst["gen_time"].native, weak)

    def countersignature(self, counter, certs, signature_value, sig, what):
        """A legacy countersignature over the signature value, by a certificate of the signature's set."""
        countersigner = find_signer(counter, certs)
        weak = []
        found = check_signer(counter, countersigner, signature_value, None, what, weak)
        times = found.get("1.2.840.113549.1.9.5")
        if not times or len(times) != 1:
            raise Problem("%s has no time" % what)
        self.write(sig, "tsa-signer", pem([countersigner]))
        self.write(sig, "tsa-certs", pem(certs))
        self.stamp_policy(sig, certs, countersigner, times[0].native, weak)
        return countersigner

    def signature(self, info, n, nested):
        what = "nested signature %d" % n if n else "the signature"
        sd = signed_data(info, what)
        eci = sd["encap_content_info"]
        if eci["content_type"].dotted != SPC_INDIRECT_DATA:
            raise Problem("%s does not sign a PE image" % what)
        # The content is [0] EXPLICIT SpcIndirectDataContent; Authenticode digests it without its own tag
        # and length, which is what asn1crypto keeps as the contents.
        content = bytes(eci["content"].contents)
        indirect = SpcIndirectDataContent(contents=content)
        if indirect["data"]["type"].dotted != SPC_PE_IMAGE_DATA:
            raise Problem("%s does not sign a PE image" % what)
        certs = certificates(sd, what)
        si = sd["signer_infos"][0]
        signer = find_signer(si, certs)
        # Who it claims to be, before any check.
        sig = Signature(n)
        self.signatures.append(sig)
        sig.signer_cert = loaded(signer)
        validity = signer["tbs_certificate"]["validity"]
        sig.fields += [("signer", subject_of(signer)), ("issuer", sig.signer_cert.issuer.rfc4514_string()),
                       ("serial", "%x" % signer.serial_number),
                       ("valid", "%s to %s" % (utc(validity["not_before"].native), utc(validity["not_after"].native)))]

        algorithm = digest_of(indirect["message_digest"]["digest_algorithm"], "the file digest of " + what,
                              sig.untrusted)
        try:
            digest = pe.authenticode_digest(self.data, algorithm)
        except pe.NotPE as e:
            raise Problem(str(e)) from None
        if indirect["message_digest"]["digest"].native != digest:
            raise Problem("the file was changed after it was signed" if not n else
                          "the file was changed after %s was made" % what)
        check_signer(si, signer, content, SPC_INDIRECT_DATA, what, sig.untrusted)
        path = reachable(certs, [signer])
        sig.untrusted += usage_problems(path, signer, "code signing", "the signer")
        for cert in path:
            sig.untrusted += strength(cert, signer, "the signer")

        leaves, nested_infos, seen = [signer], [], set()
        for attr in si["unsigned_attrs"] or []:
            oid = attr["type"].dotted
            if oid in seen:
                raise Problem("%s has an unsigned attribute twice" % what)
            seen.add(oid)
            if RFC3161_TIMESTAMP in seen and COUNTERSIGNATURE in seen:
                raise Problem("%s has two kinds of time stamp" % what)
            if oid == RFC3161_TIMESTAMP:
                if len(attr["values"]) != 1:
                    raise Problem("%s has not one time stamp" % what)
                token = cms.ContentInfo.load(attr["values"][0].dump(), strict=True)
                self.timestamp(token, si["signature"].native, sig, "the time stamp of " + what)
            elif oid == COUNTERSIGNATURE:
                if len(attr["values"]) != 1:
                    raise Problem("%s has not one countersignature" % what)
                counter = cms.SignerInfo.load(attr["values"][0].dump(), strict=True)
                leaves.append(self.countersignature(counter, certs, si["signature"].native, sig,
                                                    "the countersignature of " + what))
            elif oid == NESTED_SIGNATURE and not nested:
                for value in attr["values"]:
                    if len(nested_infos) + 1 >= MAX_SIGNATURES:
                        raise Problem("more than %d signatures" % MAX_SIGNATURES)
                    nested_infos.append(cms.ContentInfo.load(value.dump(), strict=True))
            else:
                raise Problem("%s carries an unexpected unsigned attribute %s" % (what, oid))
        chain_only(certs, leaves, what)

        self.write(sig, "signer", pem([signer]))
        self.write(sig, "certs", pem(certs))
        if sig.stamp is not None:
            sig.fields.append(("timestamp", utc(sig.stamp)))
        sig.complete = True
        return nested_infos

    def read(self, message):
        """Reads every signature of `message`; returns the problem that stopped it, or None."""
        try:
            try:
                info = cms.ContentInfo.load(message, strict=True)
                for part in ("version", "digest_algorithms", "certificates", "crls"):
                    info["content"][part].native  # parsed now: a malformed part is a problem, not a crash
            except (ValueError, TypeError):
                raise Problem("the signature is not a well-formed PKCS#7 message") from None
            nested = self.signature(info, 0, False)
            if len(nested) + 1 > MAX_SIGNATURES:
                raise Problem("more than %d signatures" % MAX_SIGNATURES)
            for n, inner in enumerate(nested, 1):
                self.signature(inner, n, True)
            # The checksum is the one header field that no signed digest covers, and signing sets it: once
            # everything else holds, any other value is a change made after signing.
            if pe.stored_checksum(self.data) != pe.checksum(self.data):
                raise Problem("the header's checksum is not the signed file's: the file was changed after signing")
        except Problem as p:
            return str(p)
        except CannotCheck:
            raise
        except (ValueError, TypeError, KeyError, IndexError, OverflowError):
            # asn1crypto and cryptography on DER that passed the strict reading but not a deeper one; their
            # messages quote the download, so only the kind of failure is told.
            return "the signature is not a well-formed PKCS#7 message"
        except Exception as e:
            raise CannotCheck("the signature holds a structure this verifier cannot check (%s)"
                              % type(e).__name__) from None
        return None


def run(command, what):
    """Runs a tool of ours; (status, its output). A missing tool or one that hangs is CannotCheck."""
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=TOOL_TIMEOUT)
    except FileNotFoundError:
        raise CannotCheck("%s is not installed" % command[0]) from None
    except subprocess.TimeoutExpired:
        raise CannotCheck("%s took more than %d s" % (what, TOOL_TIMEOUT)) from None
    except OSError as e:
        raise CannotCheck("cannot run %s: %s" % (command[0], e.strerror)) from None
    return done.returncode, done.stdout.decode("utf-8", "replace")


# openssl verify's error codes (X509_V_ERR_*), in our words: its text after the code is not used, since the
# line that carries it also carries names from the download.
VERIFY_ERRORS = {
    2: "the issuer's certificate is missing", 4: "a certificate's signature cannot be read",
    7: "a certificate's signature does not match its issuer's key", 9: "a certificate is not valid yet",
    10: "a certificate has expired", 13: "a certificate's start date is malformed",
    14: "a certificate's end date is malformed", 18: "the signer's certificate is self-signed and not the root",
    19: "the chain ends in a self-signed certificate that is not the root",
    20: "the chain does not reach the root", 21: "the signer's issuer is not the root",
    24: "a certificate on the chain is no certificate authority", 25: "the chain is longer than allowed",
    26: "a certificate on the chain is not for this purpose", 28: "the root rejects this purpose",
    32: "an issuer's key may not sign certificates", 34: "a critical extension is not understood",
    41: "a certificate's extensions are invalid", 43: "a certificate's policy extension is invalid",
    47: "a certificate's key identifiers do not match", 79: "the root is not a certificate authority",
}


def why(log):
    """openssl verify's reason, from the code and depth it reports (the first error line)."""
    for line in log.splitlines():
        match = re.match(r"error (\d+) at (\d+) depth lookup", line)
        if match:
            code, depth = int(match.group(1)), int(match.group(2))
            return "%s: openssl verify error %d at depth %d" % (VERIFY_ERRORS.get(code, "verification failed"),
                                                                code, depth)
    return "openssl verify failed without an error code"


def verify_chain(leaf, certs, trust, purpose, at):
    """openssl verify of `leaf` through `certs` to a root of `trust`, at time `at` (seconds) or now."""
    attime = ["-attime", str(at)] if at is not None else []
    status, log = run(["openssl", "verify", "-purpose", purpose] + attime +
                      ["-CAfile", str(trust), "-untrusted", str(certs), str(leaf)], "openssl verify")
    return None if status == 0 else why(log)


def trust_stamp(sig, tsa_trust):
    """Whether the time stamp counts: it passed the reader's checks and leads to a trusted time-stamping
    root, checked at its own time. Sets sig.time when it does."""
    if sig.stamp is None or sig.stamp_problem is not None:
        return
    reason = verify_chain(sig.files["tsa-signer"], sig.files["tsa-certs"], tsa_trust, "timestampsign",
                          int(sig.stamp.timestamp()))
    if reason:
        sig.stamp_problem = "its signer leads to no trusted time-stamping root (%s)" % reason
    else:
        sig.time = int(sig.stamp.timestamp())


def chain_of(sig, ca):
    """Whether signature `sig` leads to the root in `ca`, at its time stamp's time if that counts: (None, the
    chain line's text) or (the verdict's reason, the chain line's text)."""
    if sig.stamp_problem is not None:
        return ("a signature's time stamp is not trusted (%s)" % sig.stamp_problem,
                "FAILED: its time stamp is not trusted (%s)" % sig.stamp_problem)
    reason = verify_chain(sig.files["signer"], sig.files["certs"], ca, "any", sig.time)
    if reason:
        return ("a signature does not lead to %s (%s)" % (visible(ca, 300), reason),
                "FAILED: it does not lead to %s (%s)" % (visible(ca, 300), reason))
    return None, "checked: it leads to %s" % visible(ca, 300)


def trusted_stamp_roots(workdir, ca, tsa_ca):
    """One file of the roots trusted for time stamps: the system's, --tsa-ca's and the publisher's root (a
    root trusted for code signing is, as in a Windows store, trusted for stamping too, unless it says
    otherwise, which openssl checks)."""
    out = Path(workdir) / "tsa-trust.pem"
    parts = []
    try:
        for path in (tsa_ca, ca):
            if path is not None:
                parts.append(Path(path).read_bytes())
        if os.access(SYSTEM_CAS, os.R_OK):
            parts.append(Path(SYSTEM_CAS).read_bytes())
        out.write_bytes(b"\n".join(parts))
    except OSError as e:
        raise CannotCheck("cannot read the trusted roots or write %s: %s" % (out, e.strerror)) from None
    return out


def judge(exe_path, workdir, ca=None, tsa_ca=None):
    """The signature part of the report on `exe_path`: every signature read and checked against the policy,
    its time stamp judged, and with `ca` (the publisher's root certificate) whom each leads to. `tsa_ca`: a
    file of further roots trusted for time stamps. Writes its certificate files into `workdir`."""
    try:
        with open(exe_path, "rb") as f:
            data = f.read(pe.MAX_SIZE + 1)
    except OSError as e:
        raise CannotCheck("cannot read %s: %s" % (visible(exe_path), e.strerror)) from None
    try:
        message = signature_message(data)
        problem = None
    except Problem as p:
        message, problem = b"", str(p)
    if message is None:
        return Judgement(False, ["  signature:   NOT signed"], [],
                         [{"name": "signature", "result": "not checked", "detail": "the file is not signed"},
                          {"name": "chain", "result": "not checked", "detail": "the file is not signed"}])
    reader = Reader(data, workdir)
    if problem is None:
        problem = reader.read(message)
    signatures = reader.signatures
    judgement = Judgement(True, signatures=signatures)
    lines = judgement.lines
    if problem is not None:
        problem = visible(problem, 400)
        lines.append("  signature:   signed, BROKEN: " + problem)
        judgement.failures.append(("signature", problem))
        judgement.checks.append({"name": "signature", "result": "failed", "detail": problem})
    else:
        lines.append("  signature:   signed, intact: %d signatures, each listed" % len(signatures)
                     if len(signatures) > 1 else "  signature:   signed, intact")
        judgement.checks.append({"name": "signature", "result": "ok",
                                 "detail": "%d signature(s), each intact" % len(signatures)})

    tsa_trust = trusted_stamp_roots(workdir, ca, tsa_ca) if problem is None else None
    chain_failed, untrusted = [], []
    for sig in signatures:
        indent = "  "
        if sig.n:
            indent = "    "
            lines.append("  nested signature %d:" % sig.n)
        if problem is None:
            trust_stamp(sig, tsa_trust)
        for label, value in sig.fields:
            text = field_text(value)
            if label == "timestamp" and problem is None:
                text += (", trusted" if sig.stamp_problem is None else ", NOT trusted: " + sig.stamp_problem)
            lines.append("%s%-12s %s" % (indent, label + ":", text))
        if problem is None and sig.stamp is None:
            lines.append(indent + "timestamp:   none (the signature stops being valid when the certificate expires)")
        if problem is None:
            if sig.untrusted:
                untrusted.append(sig.untrusted[0])
                lines.append("%spolicy:      NOT TRUSTED: %s" % (indent, "; ".join(sig.untrusted[:3])))
            else:
                lines.append(indent + "policy:      met (end-entity code-signing certificate, SHA-256 or stronger, "
                                      "RSA 2048+ or ECDSA P-256+)")
        if problem is not None:
            chain = "not checked: the signature is broken"
        elif ca is None:
            chain = "NOT checked (give the publisher's root certificate with --ca FILE)"
        else:
            reason, chain = chain_of(sig, ca)
            if reason:
                chain_failed.append((chain, reason))
        lines.append("%schain:       %s" % (indent, chain))
    if ca is not None and problem is None and not chain_failed:
        # osslsigncode's own verdict as well, the last word. It is not the only word: osslsigncode 2.9 exits 0
        # when a nested signature fails its chain, which the openssl verify of each signature above catches.
        status, _ = run(["osslsigncode", "verify", "-in", str(exe_path), "-CAfile", str(ca),
                         "-TSA-CAfile", str(tsa_trust)], "osslsigncode verify")
        if status:
            chain = "FAILED: osslsigncode verify refuses it (status %d)" % status
            chain_failed.append((chain, "osslsigncode verify refuses a signature (status %d)" % status))
            lines.append("  chain:       " + chain)
    if problem is not None:
        judgement.checks.append({"name": "chain", "result": "not checked", "detail": "the signature is broken"})
    elif ca is None:
        judgement.checks.append({"name": "chain", "result": "not checked",
                                 "detail": "no root certificate given (--ca FILE)"})
    elif chain_failed:
        judgement.failures.append(("chain", chain_failed[0][1]))
        judgement.checks.append({"name": "chain", "result": "failed", "detail": chain_failed[0][0]})
    else:
        judgement.checks.append({"name": "chain", "result": "ok",
                                 "detail": "each signature leads to %s" % visible(ca, 300)})
    if problem is None:
        if untrusted:
            judgement.failures.append(("policy", untrusted[0]))
            judgement.checks.append({"name": "policy", "result": "failed", "detail": untrusted[0]})
        else:
            judgement.checks.append({"name": "policy", "result": "ok",
                                     "detail": "each signature meets the Authenticode policy"})
    return judgement


def _osslsigncode(verb, *args):
    return run(["osslsigncode", verb] + [str(a) for a in args], "osslsigncode " + verb)


def extract_signature(exe_path, out_path):
    """Writes the file's PKCS#7 signature (DER) to out_path; False when the file carries none that
    osslsigncode can take out (unsigned, a certificate table it cannot read, or one too large: judge() says
    which)."""
    # osslsigncode parses what it extracts and attaches, in time that grows faster than the square of the
    # certificates a signature carries: one larger than any signature we read is not handed to it.
    try:
        with open(exe_path, "rb") as f:
            table = pe.certificate_table(f.read(pe.MAX_SIZE + 1))
    except (OSError, pe.NotPE):
        table = None
    if table is None or table[1] > MAX_MESSAGE + 16:
        return False
    status, _ = _osslsigncode("extract-signature", "-in", exe_path, "-out", out_path)
    if status:
        Path(out_path).unlink(missing_ok=True)
    return status == 0


def attach_signature(unsigned_path, signature_path, out_path):
    """out_path: the unsigned file with the signature attached as osslsigncode attaches it (table padded to
    8 bytes, checksum set); False when osslsigncode wrote nothing. Its exit status is not the answer:
    osslsigncode 2.9 writes the file, then checks the signature against its trusted roots and exits 1 when
    that fails, for a genuine signature with no -CAfile as for a foreign one. Whether the result is the
    download is for a byte comparison to say, and whether the signature holds for judge()."""
    out = Path(out_path)
    out.unlink(missing_ok=True)
    if Path(signature_path).stat().st_size > MAX_MESSAGE:
        return False
    _osslsigncode("attach-signature", "-sigin", signature_path, "-in", unsigned_path, "-out", out_path)
    return out.is_file() and out.stat().st_size > 0


def remove_signature(exe_path, out_path):
    """out_path: the file without its certificate table; False when osslsigncode cannot remove it."""
    status, _ = _osslsigncode("remove-signature", "-in", exe_path, "-out", out_path)
    if status:
        Path(out_path).unlink(missing_ok=True)
    return status == 0
