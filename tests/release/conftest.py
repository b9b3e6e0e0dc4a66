"""Fixtures of the release chain's tests, each made once per run and only when a test asks for it: the
current sources committed in a scratch repository, a throwaway PKI with a SoftHSM token, a local RFC 3161
server, genuine releases, and the hostile downloads made from them.

The environment names what the suite needs: TARNEL_SOURCE_DIR (default: this checkout), TARNEL_BUILD_DIR
(tarnel_tests.exe and standin.exe; default <source>/build), TARNEL_WINE (the emulator command,
space-separated; default wine64 in <build>/wineprefix). A missing one skips the tests that need it, or fails
them under TARNEL_REQUIRE_ALL=1 (set by CTest, where nothing may be skipped silently).
"""
import os
import re
import shlex
import shutil
import socket
import subprocess
import sys
import threading
import time
import zipfile
from pathlib import Path
from types import SimpleNamespace

import pytest

HERE = Path(__file__).resolve().parent
SOURCE = Path(os.environ.get("TARNEL_SOURCE_DIR") or HERE.parents[1]).resolve()
BUILD = Path(os.environ.get("TARNEL_BUILD_DIR") or SOURCE / "build").resolve()
REQUIRE_ALL = os.environ.get("TARNEL_REQUIRE_ALL") == "1"
PYTHON = "/usr/bin/python3"  # Debian's, with asn1crypto
MODULE = "/usr/lib/softhsm/libsofthsm2.so"
TOKEN_URI = "pkcs11:token=tarnel-test;object=publisher;type=private"
ZIP_LINE = r"^dist/tarnel-[0-9]+\.[0-9]+\.[0-9]+-win64(-signed)?\.zip$"

# The release chain under test, and the generators beside this file, for every module of the suite.
sys.path[:0] = [str(SOURCE), str(HERE)]
import hostile  # noqa: E402


def unavailable(reason):
    """A precondition is missing: the test skips, or fails under TARNEL_REQUIRE_ALL=1."""
    if REQUIRE_ALL:
        pytest.fail(reason, pytrace=False)
    pytest.skip(reason)


class Ran:
    """A finished command: its status and its output and errors together."""

    def __init__(self, cmd, status, raw):
        self.cmd, self.status, self.raw = cmd, status, raw
        self.text = raw.decode(errors="replace")

    def expect(self, status, *patterns):
        """The status is `status` and the output holds each pattern (a leading '!': it does not)."""
        wrong = [p for p in patterns if bool(re.search(p.lstrip("!"), self.text, re.M)) == p.startswith("!")]
        assert self.status == status and not wrong, "%s\nstatus %s, wanted %s; wrong: %s\n%s" % (
            shlex.join(self.cmd), self.status, status, wrong, self.text)
        return self


def run(*cmd, env=None, cwd=None, timeout=900):
    cmd = [str(c) for c in cmd]
    done = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          env={**os.environ, **(env or {})}, cwd=cwd, timeout=timeout)
    return Ran(cmd, done.returncode, done.stdout)


def must(*cmd, **kw):
    return run(*cmd, **kw).expect(0)


def git_commit(repo, *args, publish=True):
    """A commit of the scratch repository; published (on a remote-tracking branch, where verify.sh looks for
    it) unless told not to."""
    must("git", "-C", repo, "-c", "user.name=t", "-c", "user.email=t@t.invalid", "commit", "-q",
         "--date=2026-01-02T03:04:05Z", *args, env={"GIT_COMMITTER_DATE": "2026-01-02T03:04:05Z"})
    commit = run("git", "-C", repo, "rev-parse", "HEAD").text.strip()
    if publish:
        must("git", "-C", repo, "update-ref", "refs/remotes/origin/main", commit)
    return commit


@pytest.fixture(scope="session")
def work(tmp_path_factory):
    return tmp_path_factory.mktemp("release")


@pytest.fixture(scope="session")
def build_cache(work):
    """verify.sh --build-cache: the rows that check one release share its rebuild, made by verify.sh itself
    the first time."""
    folder = work / "builds"
    folder.mkdir()
    return ["--build-cache", str(folder)]


@pytest.fixture(scope="session")
def repo(work):
    """The sources as they are now, committed in a scratch repository: the scripts under test run on them."""
    path = work / "repo"
    listed = subprocess.run(["git", "-C", SOURCE, "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            capture_output=True, check=True).stdout.split(b"\0")
    for name in filter(None, (n.decode() for n in listed)):
        if os.path.lexists(SOURCE / name):
            (path / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(SOURCE / name, path / name, follow_symlinks=False)
    must("git", "-C", path, "init", "-q")
    must("git", "-C", path, "add", "-A")
    commit = git_commit(path, "-m", "release under test")

    def release(*options, env=None):
        """Runs release.sh; returns its run and the zip it wrote (its version is not this suite's business)."""
        for old in path.glob("dist/tarnel-*-win64*.zip"):
            old.unlink()
        ran = run(path / "scripts/release.sh", *options, env=env, cwd=path)
        made = list(path.glob("dist/tarnel-*-win64*.zip"))
        return ran, made[0] if len(made) == 1 else None

    return SimpleNamespace(path=path, commit=commit, release=release,
                           verify=lambda *a, **kw: run(path / "scripts/verify.sh", *a, **kw))


CA_CONFIG = """[ca]
default_ca = test_ca
[test_ca]
dir = {dir}
database = {dir}/index.txt
serial = {dir}/serial
new_certs_dir = {dir}/new
certificate = {dir}/ca.pem
private_key = {dir}/ca.key
default_md = sha256
policy = any
unique_subject = no
[any]
commonName = supplied
[codesign]
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
[web]
keyUsage = critical, digitalSignature
extendedKeyUsage = serverAuth
[tsa]
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
"""


@pytest.fixture(scope="session")
def pki(work):
    """A CA and what it issues (publisher, expired, web server, time-stamp server), an intruder's own key, one
    whose name carries terminal escape codes, the publisher's .p12, and the publisher's key on a SoftHSM token."""
    d = work / "pki"
    (d / "new").mkdir(parents=True)
    (d / "index.txt").write_text("")
    (d / "serial").write_text("01\n")
    (d / "ca.cnf").write_text(CA_CONFIG.format(dir=d))
    req = ["openssl", "req", "-newkey", "rsa:2048", "-nodes"]
    must(*req, "-x509", "-keyout", d / "ca.key", "-out", d / "ca.pem", "-days", "30", "-subj", "/CN=Test Root",
         "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign")
    now, later = (time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + s)) for s in (0, 30 * 86400))
    for name, extensions, start, end in (("publisher", "codesign", now, later), ("web", "web", now, later),
                                         ("expired", "codesign", "20200101000000Z", "20210101000000Z"),
                                         ("tsa", "tsa", now, later)):
        must(*req, "-keyout", d / f"{name}.key", "-out", d / f"{name}.csr", "-subj", f"/CN=Test {name}")
        must("openssl", "ca", "-batch", "-config", d / "ca.cnf", "-extensions", extensions, "-startdate", start,
             "-enddate", end, "-notext", "-in", d / f"{name}.csr", "-out", d / f"{name}.pem")
    for name, subject in (("intruder", "/CN=Intruder"), ("escaped", "/CN=\x1b[2K\r\x1b[32mVERIFIED\x1b[0m")):
        must(*req, "-x509", "-keyout", d / f"{name}.key", "-out", d / f"{name}.pem", "-days", "3", "-subj", subject)
    env = {"TARNEL_SIGN_PASSWORD": "p12-secret", "SOFTHSM2_CONF": str(work / "softhsm2.conf"),
           "TOKEN_PIN": "1234", "WRONG_PIN": "4321"}
    must("openssl", "pkcs12", "-export", "-in", d / "publisher.pem", "-inkey", d / "publisher.key", "-certfile",
         d / "ca.pem", "-out", d / "publisher.p12", "-passout", "env:TARNEL_SIGN_PASSWORD", env=env)
    # The token's PINs are throwaway ones, on softhsm2-util's command line.
    (work / "tokens").mkdir()
    Path(env["SOFTHSM2_CONF"]).write_text(f"directories.tokendir = {work / 'tokens'}\n")
    must("softhsm2-util", "--init-token", "--free", "--label", "tarnel-test", "--so-pin", "5678", "--pin", "1234",
         env=env)
    must("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", d / "publisher.key", "-out", d / "publisher.p8")
    must("softhsm2-util", "--import", d / "publisher.p8", "--token", "tarnel-test", "--label", "publisher", "--id",
         "01", "--pin", "1234", env=env)
    return SimpleNamespace(dir=d, ca=d / "ca.pem", p12=d / "publisher.p12", env=env)


def wait_for(check, seconds, what):
    deadline = time.monotonic() + seconds
    while not check():
        assert time.monotonic() < deadline, f"{what}: not within {seconds} s"
        time.sleep(0.05)


@pytest.fixture(scope="session")
def tsa(pki, work):
    """The URL of a time-stamp server on 127.0.0.1, signing with the CA's time-stamp certificate."""
    d = pki.dir
    (d / "tsa.cnf").write_text(f"""[tsa]
default_tsa = test_tsa
[test_tsa]
serial = {d}/tsa-serial
signer_cert = {d}/tsa.pem
signer_key = {d}/tsa.key
certs = {d}/ca.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
""")
    port = work / "tsa-port"
    server = subprocess.Popen([PYTHON, HERE / "tsa_server.py", d / "tsa.cnf", port])
    try:
        wait_for(lambda: port.exists() and port.read_text(), 10, "the time-stamp server")
        yield f"http://127.0.0.1:{port.read_text()}/"
    finally:
        server.terminate()
        server.wait(10)


@pytest.fixture
def silent_server():
    """A server that takes a connection and never answers, and an event set once it has one."""
    listener = socket.create_server(("127.0.0.1", 0))
    connected, held = threading.Event(), []
    threading.Thread(target=lambda: (held.append(listener.accept()), connected.set()), daemon=True).start()
    yield f"http://127.0.0.1:{listener.getsockname()[1]}/", connected
    listener.close()
    for connection, _ in held:
        connection.close()


@pytest.fixture(scope="session")
def signed_release(repo, pki, tsa, work):
    """The release signed on the token with a time stamp: release.sh's run and a copy of its zip."""
    ran, made = repo.release("--pkcs11-module", MODULE, "--pkcs11-uri", TOKEN_URI, "--cert", pki.dir / "publisher.pem",
                             "--password-env", "TOKEN_PIN", "--timestamp", tsa, "--name", "tarnel", "--url",
                             "https://example.invalid/tarnel", env=pki.env)
    ran.expect(0, ZIP_LINE)
    return ran, Path(shutil.copy(made, work / "signed.zip"))


@pytest.fixture(scope="session")
def signed_zip(signed_release):
    return signed_release[1]


@pytest.fixture(scope="session")
def unsigned_zip(repo, work):
    ran, made = repo.release()
    ran.expect(0, ZIP_LINE)
    return Path(shutil.copy(made, work / "unsigned.zip"))


def member(zip_path, name, out):
    """One member of a zip, written to `out`."""
    out.parent.mkdir(parents=True, exist_ok=True)
    with zipfile.ZipFile(zip_path) as z:
        out.write_bytes(z.read(name))
    return out


@pytest.fixture(scope="session")
def icons(work):
    """The publisher's icons: three sizes made from a picture by ImageMagick, and seven drawn as the default
    icon is, in other colours."""
    must("convert", "-size", "64x64", "gradient:orange-purple", work / "picture.png")
    must("convert", work / "picture.png", "-define", "icon:auto-resize=48,32,16", work / "three.ico")
    must(PYTHON, "-c", """import sys
import threading
sys.path.insert(0, sys.argv[1])
import make_icon
drawn = make_icon.colour
make_icon.colour = lambda x, y: (lambda r, g, b, a: (b, r, g, a))(*drawn(x, y))
sys.argv = ["make_icon.py", sys.argv[2]]
make_icon.main()""", SOURCE / "res", work / "seven.ico")
    return {"three": work / "three.ico", "seven": work / "seven.ico"}


@pytest.fixture(scope="session")
def icon_releases(repo, icons, work):
    """release.sh with each icon: {name: (run, zip)}."""
    made = {}
    for name, icon in icons.items():
        ran, zip_path = repo.release("--icon", icon)
        made[name] = ran, Path(shutil.copy(zip_path, work / f"icon-{name}.zip")) if zip_path else None
    return made


@pytest.fixture(scope="session")
def other(repo, pki, work):
    """A commit of other sources, released and its executable signed by the publisher's key; HEAD goes back."""
    source = repo.path / "src/require_path.cpp"
    source.write_text(source.read_text().replace('L"Resource Error"', 'L"Resource Failure"'))
    must("git", "-C", repo.path, "add", "-A")
    commit = git_commit(repo.path, "-m", "other sources")
    try:
        ran, zip_path = repo.release()
        ran.expect(0, ZIP_LINE)
    finally:
        must("git", "-C", repo.path, "checkout", "-q", repo.commit)
    plain = member(zip_path, "tarnel.exe", work / "other/tarnel.exe")
    must(repo.path / "scripts/sign.sh", plain, work / "other/signed.exe", "--pkcs12", pki.p12, env=pki.env)
    return SimpleNamespace(commit=commit, signed=work / "other/signed.exe")


@pytest.fixture(scope="session")
def hostile_dir(signed_zip, icon_releases, pki, work):
    """Every hostile download, as <folder>/<kind>.zip, and the genuine zip under names a shell would misread."""
    out = work / "hostile"
    out.mkdir()
    intruder = subprocess.run(["openssl", "x509", "-in", pki.dir / "web.pem", "-outform", "DER"],
                              capture_output=True, check=True).stdout
    for kind, data in hostile.zip_kinds(signed_zip, icon_releases["three"][1], intruder).items():
        (out / f"{kind}.zip").write_bytes(data)
    # A second signature nested in the genuine one by an intruder, and a signer whose name holds escape codes.
    genuine = member(signed_zip, "tarnel.exe", work / "genuine/tarnel.exe")
    d = pki.dir
    must("osslsigncode", "sign", "-nest", "-certs", d / "intruder.pem", "-key", d / "intruder.key", "-h", "sha256",
         "-in", genuine, "-out", work / "nested.exe")
    must("osslsigncode", "remove-signature", "-in", genuine, "-out", work / "stripped.exe")
    must("osslsigncode", "sign", "-certs", d / "escaped.pem", "-key", d / "escaped.key", "-h", "sha256",
         "-in", work / "stripped.exe", "-out", work / "escaped.exe")
    for kind, exe in (("sig-nested-intruder", "nested.exe"), ("sig-escaped-signer", "escaped.exe")):
        (out / f"{kind}.zip").write_bytes(hostile.repack(signed_zip, (work / exe).read_bytes()))
    for name in ("tarnel1.zip", "-genuine[1].zip"):
        shutil.copy(signed_zip, out / name)
    shutil.copy(out / "readme-changed.zip", out / "tarnel[1].zip")
    with open(out / "huge.zip", "wb") as huge:
        huge.write(b"PK\3\4")
        huge.truncate(65 << 20)
    return out


@pytest.fixture(scope="session")
def wine():
    """The command that runs a Windows program, with tarnel_tests.exe and standin.exe to run."""
    command = shlex.split(os.environ.get("TARNEL_WINE", "")) or [
        "env", "WINEDEBUG=-all", f"WINEPREFIX={BUILD / 'wineprefix'}", "WINEDLLOVERRIDES=mscoree,mshtml=",
        shutil.which("wine64") or "/usr/lib/wine/wine64"]
    program = next((c for c in command if "=" not in c and c != "env"), "")
    if not shutil.which(program):
        unavailable(f"no Windows emulator: {program or 'TARNEL_WINE is empty'} is not a command")
    missing = [name for name in ("tarnel_tests.exe", "standin.exe") if not (BUILD / name).is_file()]
    if missing:
        unavailable(f"{BUILD} lacks {', '.join(missing)}: build the tests (cmake --build --preset mingw-release)")
    if not os.environ.get("DISPLAY"):
        unavailable("no X display for the launch tests: run under xvfb-run -a")
    return command


def windows_path(path):
    """A Linux path as Wine names it (drive Z: is the Linux root)."""
    return "Z:" + str(path).replace("/", "\\")
