"""Releasing, signing and verifying on the real tools (osslsigncode, OpenSSL, SoftHSM, a local time-stamp
server), and the image and launch tests under Wine on what was released."""
import hashlib
import os
import shutil
import signal
import subprocess
import zipfile

import pefile
import pytest

from conftest import (BUILD, MODULE, SOURCE, TOKEN_URI, ZIP_LINE, member, must, run, unavailable, wait_for,
                      windows_path)


def test_signed_release_says_what_it_made(signed_release):
    signed_release[0].expect(0, ZIP_LINE, r"^unsigned tarnel\.exe SHA-256: [0-9a-f]{64}$")


@pytest.fixture(scope="session")
def named(request, work):
    """The files and commits the verify table names, each made when a row first asks for it."""
    fixture = request.getfixturevalue

    def signed_exe():
        return member(fixture("signed_zip"), "tarnel.exe", work / "named/signed.exe")

    def flipped():  # one byte of the code: the first byte of the first section (.text)
        exe = bytearray(signed_exe().read_bytes())
        exe[pefile.PE(data=bytes(exe), fast_load=True).sections[0].PointerToRawData] ^= 1
        (work / "named/flipped.exe").write_bytes(exe)
        return work / "named/flipped.exe"

    def forged():  # one byte of the signature value: 20 bytes before the end of a signature without time stamp
        pki = fixture("pki")
        out = work / "named/forged.exe"
        must(fixture("repo").path / "scripts/sign.sh", signed_exe(), out, "--pkcs12", pki.p12, "--resign",
             env=pki.env)
        exe = bytearray(out.read_bytes())
        exe[-20] = ord("U") if exe[-20] != ord("U") else ord("V")
        out.write_bytes(exe)
        return out

    makers = {
        "signed.zip": lambda: fixture("signed_zip"),
        "unsigned.zip": lambda: fixture("unsigned_zip"),
        "flipped.exe": flipped,
        "forged.exe": forged,
        "other-signed.exe": lambda: fixture("other").signed,
        "icon-three.zip": lambda: fixture("icon_releases")["three"][1],
        "icon-seven.zip": lambda: fixture("icon_releases")["seven"][1],
        "icon-seven.exe": lambda: member(fixture("icon_releases")["seven"][1], "tarnel.exe", work / "named/icon.exe"),
        "seven_ico": lambda: fixture("icons")["seven"],
        "ca": lambda: fixture("pki").ca,
        "released": lambda: fixture("repo").commit,
        "other": lambda: fixture("other").commit,
    }
    made = {}

    class Named(dict):
        def __missing__(self, key):
            if key.startswith("hostile/"):
                return fixture("hostile_dir") / key[len("hostile/"):]
            if key not in made:
                made[key] = makers[key]()
            return made[key]

    return Named()


# download | options ({name}: a file or commit of `named`) | status | patterns of the report ('!': absent)
VERIFY = [
    ("signed.zip", "--ca {ca} --require-signature", 0,
     [r"SHA256SUMS: +ok", r"content: +MATCHES.*{released}", "signed, intact", "signer: +CN=Test publisher",
      "issuer: +CN=Test Root", r"timestamp: +[0-9]{{4}}-[0-9]{{2}}-[0-9]{{2}}T", "chain: +checked", "^VERIFIED$"]),
    ("signed.zip", "", 0, ["chain: +NOT checked", "^VERIFIED$"]),
    ("unsigned.zip", "", 0, ["signature: +NOT signed", "^VERIFIED$"]),
    ("unsigned.zip", "--require-signature", 1, [r"signature: +NOT signed", r"failed check\(s\): signature required"]),
    ("flipped.exe", "--rev {released}", 1, ["signed, BROKEN", "content: +DIFFERS", "NOT VERIFIED"]),
    ("forged.exe", "", 1, ["content: +MATCHES", "signed, BROKEN: the signature does not match"]),
    ("other-signed.exe", "--rev {released} --ca {ca}", 1,
     ["content: +DIFFERS", "signed, intact", "signer: +CN=Test publisher", r"failed check\(s\): content"]),
    ("hostile/toolchain-changed.zip", "--rev {other}", 1,
     ["content: +DIFFERS", "toolchain differs", r"< compiler: gcc 99\.1", "> compiler: ", "BUILDINFO names commit"]),
    ("ca", "", 2, ["could not check: .*not a Windows executable", "!building"]),
    ("flipped.exe", "--rev no-such-tag", 2, ["could not check: unknown revision 'no-such-tag'"]),
    ("icon-three.zip", "", 0, ["zip: +the same bytes", "content: +MATCHES", "^VERIFIED$"]),
    ("icon-seven.zip", "", 0, ["zip: +the same bytes", "content: +MATCHES", "^VERIFIED$"]),
    ("icon-seven.exe", "--rev {released} --icon {seven_ico}", 0, ["content: +MATCHES", "^VERIFIED$"]),
    ("icon-seven.zip", "--icon {seven_ico}", 2, ["could not check: --icon is for a bare tarnel.exe"]),
    # A broken signature beside --ca: the chain line says it was not checked, and why.
    ("hostile/sig-value-byte.zip", "--ca {ca}", 1, ["chain: +not checked: the signature is broken"]),
    ("hostile/sig-nested-intruder.zip", "--ca {ca}", 1,
     ["nested signature 1:", "signer: +CN=Intruder", "chain: +FAILED: it does not lead", "signer: +CN=Test publisher"]),
    # The signer is the one the signer information names, not a guess from the set.
    ("hostile/sig-intruder-certificate.zip", "", 1, ["signer: +CN=Test publisher", "not on its signer's chain"]),
]


@pytest.mark.parametrize("download, options, status, patterns", VERIFY,
                         ids=["%s %s" % (row[0], row[1]) if row[1] else row[0] for row in VERIFY])
def test_verify(download, options, status, patterns, named, repo, build_cache):
    options = [option.format_map(named) for option in options.split()]
    ran = repo.verify(named[download], *options, *build_cache)
    ran.expect(status, *(pattern.format_map(named) for pattern in patterns))


@pytest.fixture(scope="session")
def sign_inputs(unsigned_zip, signed_zip, pki, work):
    """An unsigned and a signed executable, and a file that is not one."""
    return {"plain.exe": member(unsigned_zip, "tarnel.exe", work / "inputs/plain.exe"),
            "signed.exe": member(signed_zip, "tarnel.exe", work / "inputs/signed.exe"), "text.exe": pki.ca}


# case | input | output | pattern | options ({pki}: its folder, {dir}: the test's folder)
REFUSED = [
    ("wrong password, signing in place", "plain.exe", "plain.exe", r"wrong password for .*publisher\.p12",
     "--pkcs12 {pki}/publisher.p12 --password-env WRONG_PIN"),
    ("expired certificate", "plain.exe", "out.exe", "certificate of CN=Test expired expired on",
     "--cert {pki}/expired.pem --key {pki}/expired.key"),
    ("certificate not for code signing", "plain.exe", "out.exe", "not for code signing",
     "--cert {pki}/web.pem --key {pki}/web.key"),
    ("token absent", "plain.exe", "out.exe", "no token or key matches",
     "--pkcs11-module {module} --pkcs11-uri pkcs11:token=absent;object=publisher --cert {pki}/publisher.pem "
     "--password-env TOKEN_PIN"),
    ("wrong PIN", "plain.exe", "out.exe", "wrong PIN for the token",
     "--pkcs11-module {module} --pkcs11-uri {uri} --cert {pki}/publisher.pem --password-env WRONG_PIN"),
    ("not a PE executable", "text.exe", "out.exe", r"text\.exe is not a Windows executable",
     "--pkcs12 {pki}/publisher.p12"),
    ("already signed", "signed.exe", "out.exe", "already signed; add --resign", "--pkcs12 {pki}/publisher.p12"),
    ("a PIN in the token address", "plain.exe", "out.exe", "may not hold pin-value or pin-source",
     "--pkcs11-module {module} --pkcs11-uri pkcs11:token=tarnel-test;object=publisher;pin-value=1234 "
     "--cert {pki}/publisher.pem"),
    ("a PIN source in the token address, in capitals", "plain.exe", "out.exe", "may not hold pin-value or pin-source",
     "--pkcs11-module {module} --pkcs11-uri pkcs11:token=tarnel-test;object=publisher;PIN-SOURCE=file:{dir}/pin "
     "--cert {pki}/publisher.pem"),
    ("a password file that others can read", "plain.exe", "out.exe", "open-password can be read by other users",
     "--pkcs12 {pki}/publisher.p12 --password-file {dir}/open-password"),
    ("an OUT that is a folder", "plain.exe", "out-folder", "out-folder is a folder", "--pkcs12 {pki}/publisher.p12"),
]


@pytest.mark.parametrize("case, given, output, pattern, options", REFUSED, ids=[row[0] for row in REFUSED])
def test_sign_refuses(case, given, output, pattern, options, sign_inputs, repo, pki, tmp_path):
    """sign.sh refuses, leaves its input alone and writes nothing: no output, no partial file."""
    source = tmp_path / given
    source.write_bytes(sign_inputs[given].read_bytes())
    (tmp_path / "open-password").write_text("p12-secret\n")
    (tmp_path / "open-password").chmod(0o644)
    (tmp_path / "out-folder").mkdir()
    before, digest = sorted(tmp_path.rglob("*")), hashlib.sha256(source.read_bytes()).digest()
    options = options.format(pki=pki.dir, dir=tmp_path, module=MODULE, uri=TOKEN_URI).split()
    run(repo.path / "scripts/sign.sh", source, tmp_path / output, *options, env=pki.env).expect(1, pattern)
    assert hashlib.sha256(source.read_bytes()).digest() == digest, "the input changed"
    assert sorted(tmp_path.rglob("*")) == before, "it wrote a file"


def test_resign_replaces_a_signature_in_place(sign_inputs, repo, pki, tmp_path):
    exe = tmp_path / "signed.exe"
    exe.write_bytes(sign_inputs["signed.exe"].read_bytes())
    run(repo.path / "scripts/sign.sh", exe, exe, "--pkcs12", pki.p12, "--resign", env=pki.env).expect(
        0, r"signed .*signed\.exe for CN=Test publisher")
    assert exe.read_bytes() != sign_inputs["signed.exe"].read_bytes()


def signers_of(path):
    """The osslsigncode processes that sign `path`."""
    found = subprocess.run(["pgrep", "-f", "--", f"-in {path}"], capture_output=True, text=True).stdout.split()
    return [int(pid) for pid in found]


def test_stopping_sign_stops_osslsigncode_and_leaves_nothing(sign_inputs, silent_server, repo, pki, tmp_path):
    """Stopped while osslsigncode waits for a time-stamp server that never answers."""
    url, connected = silent_server
    plain = tmp_path / "plain.exe"
    plain.write_bytes(sign_inputs["plain.exe"].read_bytes())
    sign = subprocess.Popen([repo.path / "scripts/sign.sh", plain, tmp_path / "stopped.exe", "--pkcs12", pki.p12,
                             "--timestamp", url], env={**os.environ, **pki.env}, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        assert connected.wait(30), "osslsigncode never reached the time-stamp server"
        assert signers_of(plain), "no osslsigncode signs the file"
        sign.terminate()
        sign.wait(10)
        try:
            wait_for(lambda: not signers_of(plain), 10, "osslsigncode still running")
        finally:
            for pid in signers_of(plain):
                os.kill(pid, signal.SIGTERM)
    finally:
        if sign.poll() is None:
            sign.kill()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["plain.exe"], "output or partial folder left"


def test_stopping_verify_stops_its_build_and_leaves_nothing(unsigned_zip, repo, tmp_path):
    """SIGTERM while the rebuild runs in the build root: no build process outlives verify.sh."""
    builds = tmp_path / "builds"
    builds.mkdir()
    verify = subprocess.Popen([repo.path / "scripts/verify.sh", unsigned_zip, "--build-cache", builds],
                              env={**os.environ, "TMPDIR": str(tmp_path)}, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    try:
        for line in verify.stdout:  # bounded: verify.sh ends, and its output with it
            if "building" in line:
                break
        building = lambda: subprocess.run(["pgrep", "-f", "--", str(tmp_path)], capture_output=True).stdout  # noqa
        wait_for(building, 60, "no build in the root")
        verify.terminate()
        assert verify.wait(60) == 143
        wait_for(lambda: not building(), 30, "the build goes on after verify.sh was stopped")
    finally:
        if verify.poll() is None:
            verify.kill()
    assert [p.name for p in tmp_path.iterdir()] == ["builds"] and not any(builds.iterdir()), "left behind"


@pytest.fixture
def git_settings(repo, tmp_path):
    """A releaser's own git settings: a smudge filter on every file, autocrlf in the clone; undone after."""
    (tmp_path / "gitattributes").write_text("* filter=smudgy\n")
    (tmp_path / "gitconfig").write_text(f"""[core]
\tautocrlf = true
\tattributesFile = {tmp_path / 'gitattributes'}
[filter "smudgy"]
\tsmudge = sed s/Resource/Smudged/
""")
    must("git", "-C", repo.path, "config", "core.autocrlf", "true")
    yield {"GIT_CONFIG_GLOBAL": str(tmp_path / "gitconfig")}
    must("git", "-C", repo.path, "config", "--unset", "core.autocrlf")


@pytest.mark.parametrize("settings", ["none", "git_settings"])
def test_releases_of_one_commit_are_the_same_bytes(settings, unsigned_zip, repo, request):
    env = request.getfixturevalue(settings) if settings != "none" else {}
    ran, made = repo.release(env=env)
    ran.expect(0, ZIP_LINE)
    assert made.read_bytes() == unsigned_zip.read_bytes()


def test_attributes_of_the_clone_are_refused(repo, git_settings):
    attributes = repo.path / run("git", "-C", repo.path, "rev-parse", "--git-path", "info/attributes").text.strip()
    attributes.parent.mkdir(parents=True, exist_ok=True)
    attributes.write_text("*.cpp filter=smudgy\n")
    try:
        repo.release(env=git_settings)[0].expect(2, "sets attributes that would change the commit's files")
    finally:
        attributes.unlink()


@pytest.mark.parametrize("icon", ["three", "seven"])
def test_icon_release(icon, icon_releases, icons):
    """A release with the publisher's icon holds it and names it in BUILDINFO."""
    ran, made = icon_releases[icon]
    ran.expect(0, ZIP_LINE)
    with zipfile.ZipFile(made) as z:
        assert "icon.ico" in z.namelist()
        assert f"icon-sha256: {hashlib.sha256(icons[icon].read_bytes()).hexdigest()}\n" in z.read("BUILDINFO").decode()


@pytest.fixture(scope="session")
def wine_folders(wine, signed_zip, icon_releases, work):
    """Released executables (with the zip's icon.ico, if any) beside tarnel_tests.exe and standin.exe."""
    folders = {}
    for name, made in (("signed", signed_zip), *((icon, made) for icon, (_, made) in icon_releases.items())):
        folder = work / f"wine-{name}"
        with zipfile.ZipFile(made) as z:
            z.extractall(folder, [n for n in ("tarnel.exe", "icon.ico") if n in z.namelist()])
        for program in ("tarnel_tests.exe", "standin.exe"):
            shutil.copy(BUILD / program, folder)
        folders[name] = folder
    return folders


# release | the icon it is compared with | tests | status | patterns
IMAGE = [
    # (Not the size budget: it measures the code, and the signature is not code.)
    ("signed", None, "Image.*:Launches.*", 0,
     [r"OK \] Image\.OnlyResourceIsTheIconBuiltFromItsIcoFile", r"OK \] Image\.DefaultIcon", r"OK \] Image\.ImportsOnly",
      r"OK \] Launches\.", "PASSED"]),
    ("three", "three", "Image.*", 0,
     [r"OK \] Image\.OnlyResourceIsTheIconBuiltFromItsIcoFile", r"SKIPPED \] Image\.DefaultIcon", "PASSED"]),
    ("seven", "seven", "Image.*", 0,
     [r"OK \] Image\.OnlyResourceIsTheIconBuiltFromItsIcoFile", r"SKIPPED \] Image\.DefaultIcon", "PASSED"]),
    # The image test tells the three-size release from the seven-size icon.
    ("three", "seven", "Image.OnlyResourceIsTheIconBuiltFromItsIcoFile", 1,
     [r"FAILED +\] Image\.OnlyResourceIsTheIconBuiltFromItsIcoFile"]),
]


@pytest.mark.parametrize("release, icon, tests, status, patterns", IMAGE,
                         ids=[f"{row[0]} release, {row[1] or 'default'} icon" for row in IMAGE])
def test_image_under_wine(release, icon, tests, status, patterns, wine, wine_folders):
    """tarnel_tests.exe beside the released tarnel.exe; with an icon, it compares it with that icon.ico."""
    folder = wine_folders[release]
    env = {"TARNEL_TEST_ICON": windows_path(wine_folders[icon] / "icon.ico")} if icon else None
    run(*wine, folder / "tarnel_tests.exe", f"--gtest_filter={tests}", env=env, timeout=300).expect(status, *patterns)


LEGACY = "164a709"  # the last commit before the release chain became one Python package


@pytest.fixture(scope="session")
def legacy_clone(work):
    """A clone of the project's own history at LEGACY."""
    if run("git", "-C", SOURCE, "cat-file", "-e", f"{LEGACY}^{{commit}}").status:
        unavailable(f"the git history of {SOURCE} lacks commit {LEGACY}")
    clone = work / "legacy"
    must("git", "clone", "-q", "--shared", "--no-checkout", SOURCE, clone)
    must("git", "-C", clone, "checkout", "-q", LEGACY)
    return clone


@pytest.mark.parametrize("signing", [[], ["--pkcs12", "{p12}"]], ids=["unsigned", "signed with a key file"])
def test_legacy_release_verifies(signing, legacy_clone, pki):
    """A release made by LEGACY's own release.sh is VERIFIED by the current verify.sh."""
    for old in legacy_clone.glob("dist/*.zip"):
        old.unlink()
    options = [option.format(p12=pki.p12) for option in signing]
    must(legacy_clone / "scripts/release.sh", *options, env=pki.env, cwd=legacy_clone)
    made, = legacy_clone.glob("dist/tarnel-*-win64.zip")
    ran = run(SOURCE / "scripts/verify.sh", made, *(["--ca", pki.ca, "--require-signature"] if signing else []))
    ran.expect(0, r"^VERIFIED$")
