"""Authenticode signatures: read strictly (asn1crypto), checked (cryptography), their chains judged (openssl
verify, then osslsigncode verify), and moved between files (osslsigncode extract/attach/remove-signature).

judge() is what the verifier reports about the signature part of a download. The file is the attacker's:
every text from it passes through visible(), and nothing it holds raises; only trouble on this machine's
side (a tool missing, a file that cannot be written) raises CannotCheck."""
import hashlib
import os
import struct
import subprocess
from dataclasses import dataclass, field
from datetime import timezone
from pathlib import Path

from asn1crypto import algos, cms, core, tsp
from cryptography import x509 as cx509
from cryptography.exceptions import InvalidSignature
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
MAX_SIGNATURES = 8
DIGESTS = {"sha1": hashes.SHA1, "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}
SYSTEM_CAS = "/etc/ssl/certs/ca-certificates.crt"
TOOL_TIMEOUT = 120  # seconds for one openssl or osslsigncode run; a hostile file must not hold us longer


class Problem(Exception):
    """The signature is not a sound, single Authenticode signature."""


class CannotCheck(Exception):
    """Trouble on this machine's side: the check could not be made."""


@dataclass
class Signature:
    n: int  # 0 the primary, 1... nested
    fields: list = field(default_factory=list)  # (label, value) as shown: signer, issuer, serial, valid, timestamp
    time: int = None  # seconds since 1970 of an intact time stamp
    complete: bool = False  # every check of this signature passed
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
    return data[offset + 8:offset + 8 + message]


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

    def timestamp(self, token, signature_value, sig, what):
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
        if algorithm not in DIGESTS or imprint["hashed_message"].native != hashlib.new(algorithm,
                                                                                       signature_value).digest():
            raise Problem("%s does not stamp this signature" % what)
        self.write(sig, "tsa-signer", pem([signer]))
        self.write(sig, "tsa-certs", pem(certs))
        return tst["gen_time"].native

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
        validity = signer["tbs_certificate"]["validity"]
        sig.fields += [("signer", subject_of(signer)), ("issuer", loaded(signer).issuer.rfc4514_string()),
                       ("serial", "%x" % signer.serial_number),
                       ("valid", "%s to %s" % (utc(validity["not_before"].native), utc(validity["not_after"].native)))]

        algorithm = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
        if algorithm not in DIGESTS:
            raise Problem("%s uses an unsupported file digest, %s" % (what, algorithm))
        try:
            digest = pe.authenticode_digest(self.data, algorithm)
        except pe.NotPE as e:
            raise Problem(str(e)) from None
        if indirect["message_digest"]["digest"].native != digest:
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
                stamp = self.timestamp(token, si["signature"].native, sig, "the time stamp of " + what)
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

        self.write(sig, "signer", pem([signer]))
        self.write(sig, "certs", pem(certs))
        if stamp is not None:
            sig.fields.append(("timestamp", utc(stamp)))
            sig.time = int(stamp.timestamp())
        sig.complete = True
        return nested_infos

    def read(self, message):
        """Reads every signature of `message`; returns the problem that stopped it, or None."""
        try:
            try:
                info = cms.ContentInfo.load(message, strict=True)
                for part in ("version", "digest_algorithms", "certificates", "crls"):
                    info["content"][part].native  # parsed now: a malformed part is a problem, not a crash
            except (ValueError, TypeError) as e:
                raise Problem("the signature is not a well-formed PKCS#7 message (%s)" % e) from None
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
        except Exception as e:  # asn1crypto and cryptography on hostile DER: any failure is a broken signature
            return "the signature cannot be read (%s: %s)" % (type(e).__name__, e)
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


def why(log):
    """openssl's reason, from its log: the first line naming an error, else the last line."""
    for line in log.splitlines():
        at = line.lower().find("error")
        if at >= 0:
            return visible(line[at:], 300)
    lines = log.strip().splitlines()
    return visible(lines[-1] if lines else "no output", 300)


def chain_of(sig, ca, tsa_trust):
    """Whether signature `sig`, and its time stamp, lead to the root in `ca`: (ok, the chain line's text)."""
    if "tsa-signer" in sig.files:
        status, log = run(["openssl", "verify", "-purpose", "timestampsign", "-CAfile", str(tsa_trust),
                           "-untrusted", str(sig.files["tsa-certs"]), str(sig.files["tsa-signer"])], "openssl verify")
        if status:
            return False, "FAILED: its time stamp leads to no trusted root (%s)" % why(log)
    attime = ["-attime", str(sig.time)] if sig.time is not None else []
    status, log = run(["openssl", "verify", "-purpose", "any"] + attime + [
        "-CAfile", str(ca), "-untrusted", str(sig.files["certs"]), str(sig.files["signer"])], "openssl verify")
    if status:
        return False, "FAILED: it does not lead to %s (%s)" % (visible(ca), why(log))
    return True, "checked: it leads to %s" % visible(ca)


def judge(exe_path, workdir, ca=None):
    """The signature part of the report on `exe_path`: every signature read and checked, and with `ca` (the
    publisher's root certificate) whom each leads to. Writes its certificate files into `workdir`."""
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
        problem = visible(problem, 1000)
        lines.append("  signature:   signed, BROKEN: " + problem)
        judgement.failures.append(("signature", problem))
        judgement.checks.append({"name": "signature", "result": "failed", "detail": problem})
    else:
        lines.append("  signature:   signed, intact: %d signatures, each listed" % len(signatures)
                     if len(signatures) > 1 else "  signature:   signed, intact")
        judgement.checks.append({"name": "signature", "result": "ok",
                                 "detail": "%d signature(s), each intact" % len(signatures)})

    tsa_trust = Path(workdir) / "tsa-trust.pem"
    if ca is not None and problem is None:
        try:
            trusted = Path(ca).read_bytes()
            if os.access(SYSTEM_CAS, os.R_OK):
                trusted += b"\n" + Path(SYSTEM_CAS).read_bytes()
            tsa_trust.write_bytes(trusted)
        except OSError as e:
            raise CannotCheck("cannot read %s or write the trusted time-stamp roots: %s"
                              % (visible(ca), e.strerror)) from None
    chain_failed = []
    for sig in signatures:
        indent = "  "
        if sig.n:
            indent = "    "
            lines.append("  nested signature %d:" % sig.n)
        lines += ["%s%-12s %s" % (indent, label + ":", visible(value, 1000)) for label, value in sig.fields]
        if problem is None and sig.time is None:
            lines.append(indent + "timestamp:   none (the signature stops being valid when the certificate expires)")
        if problem is not None:
            chain = "not checked: the signature is broken"
        elif ca is None:
            chain = "NOT checked (give the publisher's root certificate with --ca FILE)"
        else:
            ok, chain = chain_of(sig, ca, tsa_trust)
            if not ok:
                chain_failed.append(chain)
        lines.append("%schain:       %s" % (indent, chain))
    if ca is not None and problem is None and not chain_failed:
        # osslsigncode's own verdict as well, the last word (it also checks each time stamp against its
        # signature). It is not the only word: osslsigncode 2.9 exits 0 when a nested signature fails its
        # chain, which the openssl verify of each signature above catches.
        status, log = run(["osslsigncode", "verify", "-in", str(exe_path), "-CAfile", str(ca),
                           "-TSA-CAfile", str(tsa_trust)], "osslsigncode verify")
        if status:
            reason = next((line for line in log.splitlines() if "error" in line.lower() or "failed" in line.lower()),
                          "status %d" % status)
            chain = "FAILED: osslsigncode verify: " + visible(reason, 300)
            chain_failed.append(chain)
            lines.append("  chain:       " + chain)
    if problem is not None:
        judgement.checks.append({"name": "chain", "result": "not checked", "detail": "the signature is broken"})
    elif ca is None:
        judgement.checks.append({"name": "chain", "result": "not checked",
                                 "detail": "no root certificate given (--ca FILE)"})
    elif chain_failed:
        judgement.failures.append(("chain", "a signature does not lead to %s" % visible(ca)))
        judgement.checks.append({"name": "chain", "result": "failed", "detail": chain_failed[0]})
    else:
        judgement.checks.append({"name": "chain", "result": "ok", "detail": "each signature leads to %s" % visible(ca)})
    return judgement


def _osslsigncode(verb, *args):
    return run(["osslsigncode", verb] + [str(a) for a in args], "osslsigncode " + verb)


def extract_signature(exe_path, out_path):
    """Writes the file's PKCS#7 signature (DER) to out_path; False when the file carries none that
    osslsigncode can take out (unsigned, or a certificate table it cannot read: judge() says which)."""
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
    _osslsigncode("attach-signature", "-sigin", signature_path, "-in", unsigned_path, "-out", out_path)
    return out.is_file() and out.stat().st_size > 0


def remove_signature(exe_path, out_path):
    """out_path: the file without its certificate table; False when osslsigncode cannot remove it."""
    status, _ = _osslsigncode("remove-signature", "-in", exe_path, "-out", out_path)
    if status:
        Path(out_path).unlink(missing_ok=True)
    return status == 0
