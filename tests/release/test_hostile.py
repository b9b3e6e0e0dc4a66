"""The hostile downloads: one table, run through scripts/verify.sh. Each row must end with its status, one
verdict line that holds its reason, no raw control character in the output, and nothing left in TMPDIR.
A control row (status 0) is a genuine release, or the generator's own packing of one: it must verify."""
import re

import pytest

from conftest import run

VERDICT = re.compile(rb"^(NOT VERIFIED: |VERIFIED|verify.sh: could not check: ).*$", re.M)
CONTROL = re.compile(rb"[\x00-\x08\x0b-\x1f\x7f]|\xc2[\x80-\x9f]")

# kind | status | a pattern of the verdict line | options ({ca}: the test CA)
ROWS = [
    ("control-repacked.zip", 0, r"^VERIFIED$", ()),
    ("control-resigned.zip", 0, r"^VERIFIED$", ()),
    ("tarnel1.zip", 0, r"^VERIFIED$", ()),
    ("-genuine[1].zip", 0, r"^VERIFIED$", ()),
    ("sums-first-digit.zip", 1, r"NOT VERIFIED.*SHA256SUMS", ()),
    ("readme-changed-sums-kept.zip", 1, r"NOT VERIFIED.*SHA256SUMS", ()),
    ("planted-interpreter.zip", 1, r"zip .*member that no release holds: 'embeddables/pythonw.exe'", ()),
    ("readme-changed.zip", 1, r"zip .*README.md differs from the rebuilt one", ()),
    ("license-changed.zip", 1, r"zip .*LICENSE differs from the rebuilt one", ()),
    ("notices-changed.zip", 1, r"zip .*THIRD-PARTY-NOTICES.txt differs from the rebuilt one", ()),
    ("sbom-changed.zip", 1, r"zip .*tarnel.cdx.json differs from the rebuilt one", ()),
    ("notices-missing.zip", 1, r"zip .*no THIRD-PARTY-NOTICES.txt in the zip", ()),
    ("version-changed.zip", 1, r"zip .*BUILDINFO differs from the rebuilt one", ()),
    ("toolchain-changed.zip", 1, r"zip .*BUILDINFO differs from the rebuilt one", ()),
    ("name-upper-case.zip", 1, r"zip .*one file on Windows: 'tarnel.exe' and 'TARNEL.EXE'", ()),
    ("name-trailing-dot.zip", 1, r"zip .*one file on Windows: 'tarnel.exe' and 'tarnel.exe.'", ()),
    ("name-trailing-space.zip", 1, r"zip .*one file on Windows: 'README.md' and 'README.md '", ()),
    ("name-twice.zip", 1, r"zip .*one file on Windows", ()),
    ("name-readme-bat.zip", 1, r"zip .*no release holds: 'README.bat'", ()),
    ("name-escapes.zip", 1, r"zip .*control characters: '\\x1b\]0;owned\\x07", ()),
    ("name-path.zip", 1, r"zip .*no release holds: '\.\./tarnel.exe'", ()),
    ("name-not-ascii.zip", 1, r"zip .*not ASCII", ()),
    ("commit-branch.zip", 1, r"BUILDINFO .*not a full 40-hex commit id: main", ()),
    ("commit-short.zip", 1, r"BUILDINFO .*not a full 40-hex commit id", ()),
    ("commit-upper-case.zip", 1, r"BUILDINFO .*not a full 40-hex commit id", ()),
    ("commit-missing.zip", 1, r"BUILDINFO .*lacks commit", ()),
    ("field-twice.zip", 1, r"BUILDINFO .*names version twice", ()),
    ("field-unknown.zip", 1, r"BUILDINFO .*a field no release writes: run", ()),
    ("buildinfo-escapes.zip", 1, r"BUILDINFO .*not a field: version: [0-9.]+\\x1b\[2K\\x0d", ()),
    ("hidden-local-entry.zip", 1, r"zip .*outside its members, before 'tarnel.exe' \(a hidden entry\)", ()),
    ("data-before-directory.zip", 1, r"zip .*outside its members, before the central directory", ()),
    ("data-after-zip.zip", 1, r"zip .*no end record at the end", ()),
    ("zip-comment.zip", 1, r"zip .*no end record at the end", ()),
    ("sums-hostname.zip", 1, r"SHA256SUMS .*7 lines where a release writes 6", ()),
    ("sums-dev-zero.zip", 1, r"SHA256SUMS .*7 lines where a release writes 6", ()),
    ("sums-binary-mode.zip", 1, r"SHA256SUMS .*line 1 is not what a release writes", ()),
    ("sums-wrong-hash.zip", 1, r"SHA256SUMS .*line 1 is not what a release writes", ()),
    ("sums-missing-line.zip", 1, r"SHA256SUMS .*line 1 is not what a release writes", ()),
    ("bomb-deflated.zip", 1, r"zip .*'README.md' is compressed", ()),
    ("size-claimed-huge.zip", 1, r"zip .*1073741824 bytes, more than a release's can be", ()),
    ("huge.zip", 1, r"download .*more than any release", ()),
    ("member-encrypted.zip", 1, r"zip .*'README.md' is encrypted", ()),
    ("member-symlink.zip", 1, r"zip .*'LICENSE' is not stored as a regular Unix file", ()),
    ("member-directory.zip", 1, r"zip .*'LICENSE' is not stored as a regular Unix file", ()),
    ("member-executable-mode.zip", 1, r"zip .*'LICENSE' is not stored as a regular Unix file with mode 0644", ()),
    ("made-on-windows.zip", 1, r"zip .*not stored as a regular Unix file", ()),
    ("member-extra-field.zip", 1, r"zip .*'README.md' has extra fields", ()),
    ("member-bad-crc.zip", 1, r"zip .*'README.md' does not match its checksum", ()),
    ("local-name-differs.zip", 1, r"zip .*local header of 'README.md' differs from the central directory", ()),
    ("member-missing.zip", 1, r"zip .*no LICENSE in the zip", ()),
    ("exe-missing.zip", 1, r"zip .*no tarnel.exe in the zip", ()),
    ("members-reordered.zip", 1, r"zip .*not in a release's order", ()),
    ("member-time-changed.zip", 1, r"zip .*headers \(times, attributes\) differ", ()),
    ("tarnel[1].zip", 1, r"zip .*README.md differs", ()),
    ("icon-byte-sums-rewritten.zip", 1, r"content zip .*not the rebuild", ()),
    ("icon-byte.zip", 1, r"icon .*icon.ico is not the icon BUILDINFO names", ()),
    ("icon-removed.zip", 1, r"BUILDINFO .*names an icon but the zip has no icon.ico", ()),
    ("icon-added.zip", 1, r"icon .*has an icon.ico but BUILDINFO no icon-sha256", ()),
    ("icon-directory-outside.zip", 1, r"icon .*lies outside the file", ()),
    ("icon-not-ico.zip", 1, r"icon .*not an .ico file: it does not begin with the ICO header", ()),
    ("sig-table-grown.zip", 1, r"signature .*bytes that no signature covers", ("--ca", "{ca}")),
    ("sig-second-entry.zip", 1, r"signature .*holds more than its one entry", ()),
    ("sig-bytes-after-table.zip", 1, r"signature .*does not end at the end of the file", ()),
    ("sig-truncated.zip", 1, r"signature .*for a [0-9]+-byte signature", ()),
    ("sig-checksum-changed.zip", 1, r"signature .*the header's checksum is not the signed file's", ()),
    ("sig-certificate-twice.zip", 1, r"signature .*carries a certificate twice", ()),
    ("sig-digest-algorithm-added.zip", 1, r"signature .*lists digest algorithms other than its signer's", ()),
    ("sig-intruder-certificate.zip", 1, r"signature .*not on its signer's chain", ("--ca", "{ca}")),
    ("sig-signer-missing.zip", 1, r"signature .*the certificate the signer information names .* is missing", ()),
    ("sig-unexpected-attribute.zip", 1, r"signature .*unexpected unsigned attribute 1.2.3.4.5", ()),
    ("sig-signed-digest-byte.zip", 1, r"signature .*the signature signs a digest that is not its content's", ("--ca", "{ca}")),
    ("sig-value-byte.zip", 1, r"signature .*the signature does not match what it signs", ()),
    ("sig-timestamp-byte.zip", 1, r"signature .*the time stamp of the signature does not match what it signs", ()),
    ("sig-nested-intruder.zip", 1, r"chain .*a signature does not lead to", ("--ca", "{ca}")),
    ("sig-escaped-signer.zip", 1, r"chain .*a signature does not lead to", ("--ca", "{ca}")),
]


@pytest.mark.parametrize("kind, status, reason, options", ROWS, ids=[row[0] for row in ROWS])
def test_hostile(kind, status, reason, options, hostile_dir, repo, pki, build_cache, tmp_path):
    options = [option.format(ca=pki.ca) for option in options]
    ran = run(repo.path / "scripts/verify.sh", hostile_dir / kind, *options, *build_cache,
              env={"TMPDIR": str(tmp_path)})
    shown = ran.raw.decode("latin-1").encode("unicode_escape").decode()  # the output, escaped for the report
    verdicts = [m.group(0).decode(errors="replace") for m in VERDICT.finditer(ran.raw)]
    assert ran.status == status, shown
    assert len(verdicts) == 1 and re.search(reason, verdicts[0]), shown
    assert not CONTROL.search(ran.raw), "a raw control character was printed: " + shown
    assert not list(tmp_path.iterdir()), "left behind: %s" % list(tmp_path.iterdir())
