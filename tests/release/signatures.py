"""Signed executables as a publisher and as an attacker would make them, for the signature table and for
Windows' own verdict on them (tests/winverifytrust.cpp):

  signatures.py OUT-DIR EXE      makes OUT-DIR/pki (a throwaway root) and OUT-DIR/KIND.exe for every kind

Each kind is EXE signed by osslsigncode, or the genuine signature changed by hand where no tool makes it."""
import hashlib
import struct
import subprocess
import sys
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path

from asn1crypto import algos, cms, core, x509
from cryptography import x509 as cx509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, ed25519, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

PROFILES = {  # certificate profile: (extended key usage, CA)
    "codesign": ([ExtendedKeyUsageOID.CODE_SIGNING], False),
    "web": ([ExtendedKeyUsageOID.SERVER_AUTH], False),
    "tsa": ([ExtendedKeyUsageOID.TIME_STAMPING], False),
    "ca": (None, True),
}


def name(text):
    return cx509.Name([cx509.NameAttribute(NameOID.COMMON_NAME, text)])


class Pki:
    """A root and the certificates it issues, written as PEM files into `folder`."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.serial = 1
        self.root_key = rsa.generate_private_key(65537, 2048)
        self.root = self.certificate(name("Test Root"), self.root_key.public_key(), "ca", self_signed=True,
                                     issuer_key=self.root_key)
        self.write("ca", self.root, self.root_key)

    def certificate(self, subject, public_key, profile, self_signed=False, digest=hashes.SHA256(), issuer=None,
                    issuer_key=None, days=30):
        usage, is_ca = PROFILES[profile]
        now = datetime.utcnow() - timedelta(minutes=5)
        builder = (cx509.CertificateBuilder().subject_name(subject)
                   .issuer_name(subject if self_signed else (issuer or self.root.subject))
                   .public_key(public_key).serial_number(self.serial)
                   .not_valid_before(now).not_valid_after(now + timedelta(days=days))
                   .add_extension(cx509.BasicConstraints(ca=is_ca, path_length=None), critical=True)
                   .add_extension(cx509.KeyUsage(not is_ca, False, False, False, False, is_ca, is_ca, False, False),
                                  critical=True))
        if usage:
            builder = builder.add_extension(cx509.ExtendedKeyUsage(usage), critical=profile == "tsa")
        self.serial += 1
        key = issuer_key or self.root_key
        return builder.sign(key, None if isinstance(key, ed25519.Ed25519PrivateKey) else digest)

    def write(self, label, cert, key):
        (self.folder / (label + ".pem")).write_bytes(cert.public_bytes(serialization.Encoding.PEM))
        (self.folder / (label + ".key")).write_bytes(key.private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))

    def issue(self, label, subject=None, profile="codesign", key=None, digest=hashes.SHA256()):
        key = key or rsa.generate_private_key(65537, 2048)
        cert = self.certificate(subject or name("Test " + label), key.public_key(), profile, digest=digest)
        self.write(label, cert, key)
        return cert, key


def sign(exe, out, pki, label, *options):
    subprocess.run(["osslsigncode", "sign", "-certs", pki.folder / (label + ".pem"), "-key",
                    pki.folder / (label + ".key")] + list(options) + ["-in", exe, "-out", out],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    return Path(out).read_bytes()


def certificate_table(exe):
    at = struct.unpack_from("<I", exe, 60)[0] + 24 + 112 + 4 * 8
    return at, struct.unpack_from("<II", exe, at)


def with_checksum(exe):
    at = struct.unpack_from("<I", exe, 60)[0] + 24 + 64
    padded = bytes(exe) + b"\0" * (len(exe) % 2)
    words = memoryview(padded).cast("H")
    total = sum(words) - words[at // 2] - words[at // 2 + 1]
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    out = bytearray(exe)
    struct.pack_into("<I", out, at, (total + len(exe)) & 0xFFFFFFFF)
    return bytes(out)


def message(exe):
    _, (offset, _) = certificate_table(exe)
    length = struct.unpack_from("<I", exe, offset)[0]
    return exe[offset + 8:offset + length].rstrip(b"\0")


def resigned(exe, der):
    """exe with its signature replaced by `der`, table and checksum as a signing tool sets them."""
    entry, (offset, _) = certificate_table(exe)
    body = der + b"\0" * (-len(der) % 8)
    out = bytearray(exe[:offset] + struct.pack("<IHH", 8 + len(body), 0x0200, 2) + body)
    struct.pack_into("<II", out, entry, offset, 8 + len(body))
    return with_checksum(out)


def changed(exe, change):
    """exe with its signature loaded, changed in place by `change(info)`, and written back."""
    info = cms.ContentInfo.load(message(exe))
    change(info)
    return resigned(exe, info.dump(force=True))


def add_certificates(info, certs):
    sd = info["content"]
    sd["certificates"] = cms.CertificateSet(list(sd["certificates"]) + [
        cms.CertificateChoices(name="certificate", value=x509.Certificate.load(c.public_bytes(
            serialization.Encoding.DER))) for c in certs])


def legacy_countersignature(info, cert, key, when):
    """An old-style countersignature by (cert, key) over the signature value, claiming time `when`."""
    si = info["content"]["signer_infos"][0]
    value = si["signature"].native
    attrs = cms.CMSAttributes([
        {"type": "content_type", "values": ["data"]},
        {"type": "signing_time", "values": [cms.Time({"utc_time": when})]},
        {"type": "message_digest", "values": [hashlib.sha256(value).digest()]},
    ])
    signed = key.sign(attrs.dump(), padding.PKCS1v15(), hashes.SHA256())
    issuer_serial = cms.IssuerAndSerialNumber({"issuer": x509.Name.load(cert.issuer.public_bytes()),
                                               "serial_number": cert.serial_number})
    counter = cms.SignerInfo({
        "version": "v1", "sid": cms.SignerIdentifier(name="issuer_and_serial_number", value=issuer_serial),
        "digest_algorithm": {"algorithm": "sha256"}, "signed_attrs": attrs,
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": signed})
    unsigned = list(si["unsigned_attrs"]) if si["unsigned_attrs"] else []
    unsigned.append(cms.CMSAttribute({"type": "counter_signature", "values": [counter]}))
    si["unsigned_attrs"] = cms.CMSAttributes(unsigned)
    add_certificates(info, [cert])


def kinds(exe, out):
    """Every kind as OUT/KIND.exe; returns the Pki."""
    out = Path(out)
    pki = Pki(out / "pki")
    pki.issue("publisher")
    pki.issue("tsa", profile="tsa")
    tsa = ["-TSA-certs", str(pki.folder / "tsa.pem"), "-TSA-key", str(pki.folder / "tsa.key")]
    made = {}

    def signed(kind, label="publisher", *options):
        made[kind] = sign(exe, out / (kind + ".exe"), pki, label, *options)

    signed("genuine")
    signed("genuine-stamped", "publisher", *tsa)
    # Re-encodings of the genuine signature: the same publisher's signature over the same code.
    genuine = made["genuine"]
    made["reencoded-algorithm-id"] = changed(genuine, lambda i: i["content"]["signer_infos"][0].__setitem__(
        "signature_algorithm", algos.SignedDigestAlgorithm({"algorithm": "sha256_rsa"})))
    made["reencoded-stamp-removed"] = changed(made["genuine-stamped"], lambda i: i["content"]["signer_infos"][0]
                                              .__setitem__("unsigned_attrs", None))

    def nest_self(info):
        copy = cms.ContentInfo.load(info.dump())
        info["content"]["signer_infos"][0]["unsigned_attrs"] = cms.CMSAttributes(
            [{"type": "1.3.6.1.4.1.311.2.4.1", "values": [copy]}])
    made["reencoded-nested-copy"] = changed(genuine, nest_self)
    # Not DER: the outer length in a longer form than it needs.
    der = message(genuine)
    assert der[1] == 0x82
    made["not-der-length"] = resigned(genuine, b"\x30\x83\x00" + der[2:])

    # Signers the policy does not trust.
    pki.issue("web", profile="web")
    signed("signer-web-server", "web")
    pki.issue("subca", profile="ca")
    signed("signer-ca", "subca")
    pki.issue("weak", key=rsa.generate_private_key(65537, 1024))
    signed("signer-rsa-1024", "weak")
    pki.issue("sha1cert", digest=hashes.SHA1())
    signed("certificate-sha1", "sha1cert")
    signed("digest-sha1", "publisher", "-h", "sha1")
    pki.issue("ecdsa", key=ec.generate_private_key(ec.SECP256R1()))
    signed("genuine-ecdsa", "ecdsa")
    # Names written to mislead a reader: openssl's words, and 1,500 parts.
    pki.issue("liar", subject=name("error 0 at 0 depth lookup: ok"))
    signed("signer-name-like-a-reason", "liar")
    many = cx509.Name([cx509.RelativeDistinguishedName([cx509.NameAttribute(NameOID.ORGANIZATIONAL_UNIT_NAME,
                                                                            "part %d" % i)]) for i in range(1500)])
    pki.issue("long", subject=many)
    signed("signer-name-1500-parts", "long")

    # A key the verifier cannot check: the signer's certificate swapped for one with an Ed25519 key, same
    # issuer and serial number.
    signer_serial = cms.ContentInfo.load(der)["content"]["signer_infos"][0]["sid"].chosen["serial_number"].native
    odd_key = ed25519.Ed25519PrivateKey.generate()
    saved = pki.serial
    pki.serial = signer_serial
    odd = pki.certificate(name("Test publisher"), odd_key.public_key(), "codesign")
    pki.serial = saved

    def swap(info):
        info["content"]["certificates"] = cms.CertificateSet([])
        add_certificates(info, [odd])
    made["signer-key-ed25519"] = changed(genuine, swap)

    # Time stamps: one by a self-signed key in the future, one by the real server's key at a time long after
    # the certificate ends, one RFC 3161 token from a time-stamping key nobody trusts.
    rogue_key = rsa.generate_private_key(65537, 2048)
    rogue = pki.certificate(name("Any Time Stamper"), rogue_key.public_key(), "tsa", self_signed=True,
                             issuer_key=rogue_key)
    future = datetime(2027, 1, 1, tzinfo=timezone.utc)
    made["stamp-legacy-self-signed-future"] = changed(genuine, lambda i: legacy_countersignature(
        i, rogue, rogue_key, future))
    pki.write("rogue-tsa", rogue, rogue_key)
    made["stamp-rfc3161-untrusted"] = sign(exe, out / "stamp-rfc3161-untrusted.exe", pki, "publisher",
                                           "-TSA-certs", str(pki.folder / "rogue-tsa.pem"),
                                           "-TSA-key", str(pki.folder / "rogue-tsa.key"))
    made["stamp-rfc3161-future"] = sign(exe, out / "stamp-rfc3161-future.exe", pki, "publisher", *tsa,
                                        "-TSA-time", str(int(time.time()) + 400 * 86400))

    # Thousands of certificates issuing each other, beside the genuine signature.
    pair_key = ec.generate_private_key(ec.SECP256R1())
    crowd = [pki.certificate(name("Loop %d" % (i % 2)), pair_key.public_key(), "ca", issuer=name("Loop %d" % (
        1 - i % 2)), issuer_key=pair_key) for i in range(3000)]
    made["certificates-3000-in-a-loop"] = changed(genuine, lambda i: add_certificates(i, crowd))
    made["certificates-40-in-a-loop"] = changed(genuine, lambda i: add_certificates(i, crowd[:40]))

    for kind, data in made.items():
        (out / (kind + ".exe")).write_bytes(data)
    return pki


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    kinds(sys.argv[2], sys.argv[1])
