"""The signature verdict on each kind tests/release/signatures.py makes: the genuine signatures and their
re-encodings hold; every attack is refused (or COULD NOT CHECK) in one line, in our words, within a bound."""
import os
import shutil
import subprocess
import time

import pytest
import signatures
from conftest import unavailable

from release import authenticode

# kind: a failure it must give (check, words the reason starts with); None: it holds; "cannot": COULD NOT CHECK.
TABLE = {
    "genuine": None,
    "genuine-stamped": None,
    "genuine-ecdsa": None,
    "reencoded-algorithm-id": None,
    "reencoded-stamp-removed": None,
    "reencoded-nested-copy": None,
    "not-der-length": ("signature", "the signature is not DER: a length is not in its shortest form"),
    "signer-web-server": ("policy", "the signer's certificate is not for code signing"),
    "signer-ca": ("policy", "the signer's certificate is a certificate authority's"),
    "signer-rsa-1024": ("policy", "the signer's certificate has a 1024-bit RSA key"),
    "certificate-sha1": ("policy", "the signer's certificate is signed with SHA-1"),
    "digest-sha1": ("policy", "the file digest of the signature uses SHA-1"),
    "signer-name-like-a-reason": None,
    "signer-name-1500-parts": None,
    "signer-key-ed25519": "cannot",
    "stamp-legacy-self-signed-future": ("chain", "a signature's time stamp is not trusted (its time is in the future)"),
    "stamp-rfc3161-future": ("chain", "a signature's time stamp is not trusted (its time is in the future)"),
    "stamp-rfc3161-untrusted": ("chain", "a signature's time stamp is not trusted (its signer leads to no trusted"),
    "certificates-3000-in-a-loop": ("signature", "the signature is 9"),
    "certificates-40-in-a-loop": ("signature", "the signature carries 41 certificates, more than 16"),
}


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    for tool in ("osslsigncode", "openssl", "x86_64-w64-mingw32-gcc"):
        if not shutil.which(tool):
            unavailable("%s is not installed" % tool)
    out = tmp_path_factory.mktemp("signatures")
    (out / "main.c").write_text("int main(void) { return 0; }\n")
    subprocess.run(["x86_64-w64-mingw32-gcc", "-O2", "-s", "-o", str(out / "plain.exe"), str(out / "main.c")],
                   check=True)
    pki = signatures.kinds(out / "plain.exe", out)
    return out, pki.folder / "ca.pem"


def test_every_kind_is_in_the_table(made):
    out, _ = made
    left_out = set() if signatures.can_stamp() else signatures.STAMPED
    assert sorted(p.stem for p in out.glob("*.exe") if p.stem != "plain") == sorted(set(TABLE) - left_out)


@pytest.mark.parametrize("kind", sorted(TABLE))
def test_signature_verdict(made, kind, tmp_path):
    out, ca = made
    if not (out / (kind + ".exe")).exists():
        pytest.skip("this osslsigncode (before 2.6) cannot time-stamp with a key of its own: %s is not made" % kind)
    expected = TABLE[kind]
    started = time.monotonic()
    try:
        judgement = authenticode.judge(out / (kind + ".exe"), tmp_path, ca)
    except authenticode.CannotCheck as e:
        assert expected == "cannot", "COULD NOT CHECK: %s" % e
        assert "\n" not in str(e)
        return
    assert time.monotonic() - started < 10
    assert expected != "cannot", judgement.lines
    if expected is None:
        assert judgement.failures == [], judgement.lines
        assert any(line.startswith("  chain:       checked") for line in judgement.lines)
    else:
        assert expected in [(check, reason[:len(expected[1])]) for check, reason in judgement.failures], \
            judgement.lines
    for line in judgement.lines:  # cut, printable, one line each
        assert len(line) < 700 and line.isprintable(), line


# What Wine's WinVerifyTrust answers on each kind, where it is not success: Wine checks that the signature
# matches the file and leads to a trusted root, and little of the policy beyond (docs/signatures.md).
TRUST_E_CERT_SIGNATURE = 0x80096004
WINE_ANSWERS = {"genuine-ecdsa": TRUST_E_CERT_SIGNATURE, "signer-key-ed25519": TRUST_E_CERT_SIGNATURE}


def test_windows_verdict_beside_ours(made):
    """tests/winverifytrust.cpp under Wine, with the test root in the prefix's store, on every kind."""
    program, wine = os.environ.get("TARNEL_WINVERIFYTRUST"), os.environ.get("TARNEL_WINE")
    if not program or not wine:
        unavailable("TARNEL_WINVERIFYTRUST and TARNEL_WINE name the program and Wine (CTest sets them)")
    out, ca = made
    der = out / "ca.der"
    subprocess.run(["openssl", "x509", "-in", str(ca), "-outform", "DER", "-out", str(der)], check=True)
    kinds = sorted(k for k in TABLE if (out / (k + ".exe")).exists())
    done = subprocess.run(wine.split() + [program, der.name] + [k + ".exe" for k in kinds], cwd=out,
                          capture_output=True, timeout=300)
    assert done.returncode == 0, done.stderr.decode(errors="replace")
    answers = {}
    for line in done.stdout.decode().replace("\r", "").splitlines():
        code, name = line.split(" ", 1)
        answers[name[:-len(".exe")]] = int(code, 16)
    assert answers == {k: WINE_ANSWERS.get(k, 0) for k in kinds}
