"""The build root: a Debian 12 root made by mmdebstrap with exactly the build's packages at exactly their
versions, kept in a cache keyed by its package list, and the sandbox (bubblewrap) every build runs in.

A root is made from package names (a new release: the archive's versions of the recipe's packages), or
from the recorded list of a release (every package pinned to its version, each .deb checked against its
recorded SHA-256). Its .deb files stay in it (var/cache/apt/archives), for --keep-debs.
"""
import dataclasses
import gzip
import hashlib
import lzma
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from pathlib import Path

from debian import deb822, debfile

from release.process import run

SUITES = ["bookworm", "bookworm-updates", "bookworm-security"]
ARCH = "amd64"
DISTRIBUTION = "debian bookworm %s" % ARCH
DEFAULT_MIRRORS = ["http://deb.debian.org/debian", "http://deb.debian.org/debian-security"]
MAX_INDEX = 256 << 20  # an uncompressed Packages index
MAX_PACKAGES = 1000
PACKAGE_LINE = re.compile(r"([a-z0-9][a-z0-9+.-]*) ([A-Za-z0-9.+~:-]+) ([a-z0-9-]+) ([0-9a-f]{64})")
SANDBOX_USER = "1000"


class Unavailable(Exception):
    """The root cannot be had: a package from none of the sources, or no way to make a root on this machine.
    The verdict is COULD NOT CHECK: nothing is said of the download."""


class Missing(Unavailable):
    """A package the root needs can be had from none of the sources."""


@dataclasses.dataclass(frozen=True, order=True)
class Package:
    name: str
    version: str
    arch: str
    sha256: str

    def line(self):
        return "%s %s %s %s" % (self.name, self.version, self.arch, self.sha256)

    @property
    def deb(self):
        return "%s_%s_%s.deb" % (self.name, self.version.replace(":", "%3a"), self.arch)


def parse_packages(lines):
    """Recorded packages, one "name version arch sha256" a line; None where a line is not one."""
    packages = []
    for line in lines:
        match = PACKAGE_LINE.fullmatch(line)
        if not match:
            return None
        packages.append(Package(*match.groups()))
    return packages


def cache_folder():
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "tarnel" / "roots"


def key_of(packages):
    return hashlib.sha256("".join(p.line() + "\n" for p in sorted(packages)).encode()).hexdigest()


# Sources: archives (a mirror, a snapshot) and a folder of .deb files.

def fetch(url, limit):
    """The bytes at `url` (http, https or file), at most `limit`; None where there is nothing."""
    try:
        if url.startswith("file://"):
            path = Path(url[len("file://"):])
            if not path.is_file():
                return None
            with open(path, "rb") as f:
                data = f.read(limit + 1)
        else:
            with urllib.request.urlopen(url, timeout=60) as answer:
                data = answer.read(limit + 1)
    except urllib.error.HTTPError:
        return None
    except (urllib.error.URLError, OSError, ValueError) as e:
        raise Unavailable("cannot reach %s: %s" % (url, getattr(e, "reason", e))) from None
    if len(data) > limit:
        raise Unavailable("%s is larger than any package index" % url)
    return data


def archive_index(mirror, suite):
    """{(name, version, arch): sha256} of one suite of an archive; None when the archive has no such suite."""
    base = "%s/dists/%s/main/binary-%s/" % (mirror.rstrip("/"), suite, ARCH)
    for name, unpack in (("Packages.xz", lzma.decompress), ("Packages.gz", gzip.decompress), ("Packages", bytes)):
        data = fetch(base + name, MAX_INDEX)
        if data is None:
            continue
        try:
            text = unpack(data)
        except (lzma.LZMAError, OSError, EOFError):
            raise Unavailable("%s%s is damaged" % (base, name)) from None
        if len(text) > MAX_INDEX:
            raise Unavailable("%s%s is larger than any package index" % (base, name))
        return {(p["Package"], p["Version"], p["Architecture"]): p.get("SHA256", "")
                for p in deb822.Packages.iter_paragraphs(text.decode("utf-8", "replace"), use_apt_pkg=False)}
    return None


class Sources:
    """Where packages come from: a folder of .deb files made into a local archive, and archives (their suites
    of bookworm), read only when the folder does not hold what is asked. `apt` lists them as mmdebstrap takes
    them."""

    def __init__(self, mirrors=None, debs=None, work=None):
        self.mirrors = list(mirrors) if mirrors else list(DEFAULT_MIRRORS)
        self.indexes = None  # (mirror, suite) -> index, once read
        self.archives = []
        self.local_apt = []
        self.local = {}  # (name, version, arch) -> (sha256, path)
        if debs:
            self._local_archive(Path(debs), Path(work))

    @property
    def apt(self):
        return self.local_apt + self.archives

    def _read_archives(self):
        if self.indexes is None:
            self.indexes = {}
            for mirror in self.mirrors:
                for suite in SUITES:
                    index = archive_index(mirror, suite)
                    if index is not None:
                        self.indexes[(mirror, suite)] = index
                        # copy:// makes apt copy the files into the root it makes, where a file:// path is not seen.
                        url = "copy://" + mirror[len("file://"):] if mirror.startswith("file://") else mirror
                        self.archives.append("deb %s %s main" % (url, suite))
        return self.indexes

    def _local_archive(self, folder, work):
        repo = work / "local-archive"
        paragraphs = []
        for path in sorted(folder.glob("*.deb")):
            try:
                control = debfile.DebFile(str(path)).debcontrol()
            except Exception:  # python-debian raises several kinds for a file that is no .deb
                continue
            digest = hashlib.sha256(path.read_bytes()).hexdigest()
            key = (control["Package"], control["Version"], control["Architecture"])
            self.local[key] = (digest, path)
            paragraph = deb822.Packages(control)
            paragraph["Filename"] = path.name
            paragraph["Size"] = str(path.stat().st_size)
            paragraph["SHA256"] = digest
            paragraphs.append(paragraph.dump())
            repo.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(path, repo / path.name)
        if paragraphs:
            (repo / "Packages").write_text("\n".join(paragraphs))
            # Each .deb here was checked against its recorded SHA-256 before it is used: nothing to trust.
            self.local_apt = ["deb [trusted=yes] copy://%s ./" % repo]

    def has(self, package):
        """Whether some source serves this very package: name, version, architecture and SHA-256."""
        key = (package.name, package.version, package.arch)
        if key in self.local and self.local[key][0] == package.sha256:
            return True
        return any(index.get(key) == package.sha256 for index in self._read_archives().values())

    def versions(self, name):
        """The versions of `name` the sources serve."""
        keys = [key for index in self._read_archives().values() for key in index] + list(self.local)
        return {key[1] for key in keys if key[0] == name}

    def fingerprint(self):
        """What the archives serve now: a new release's root is made again when it changes."""
        digest = hashlib.sha256()
        for (mirror, suite), index in sorted(self._read_archives().items()):
            digest.update(("%s %s %d\n" % (mirror, suite, len(index))).encode())
            for key in sorted(index):
                digest.update(("%s %s %s %s\n" % (*key, index[key])).encode())
        return digest.hexdigest()


# The cache of roots.

class Root:
    def __init__(self, folder):
        self.folder = Path(folder)
        self.tree = self.folder / "root"
        self.packages = parse_packages((self.folder / "packages").read_text().splitlines()) or []

    def debs(self):
        return [self.tree / "var/cache/apt/archives" / p.deb for p in self.packages]


def tree_fingerprint(tree):
    """Paths, kinds and sizes of everything in a root: a partial or damaged copy differs."""
    digest = hashlib.sha256()
    for top, folders, files in os.walk(tree):
        folders.sort()
        for name in sorted(files) + folders:
            path = os.path.join(top, name)
            info = os.lstat(path)
            digest.update(("%s %o %d\n" % (os.path.relpath(path, tree), info.st_mode, info.st_size)).encode())
    return digest.hexdigest()


def cached(key):
    """The root cached under `key`, when it is whole; a partial or damaged one is removed."""
    folder = cache_folder() / key
    if folder.is_symlink():
        folder = folder.resolve()
    if not folder.exists():
        return None
    try:
        if (folder / "complete").read_text() == tree_fingerprint(folder / "root"):
            return Root(folder)
    except OSError:
        pass
    remove(folder)
    return None


def mounts_under(folder):
    """Mount points at or below `folder`: a root whose making was killed can keep /proc and /sys mounted."""
    folder = os.path.realpath(folder)
    with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as f:
        points = [re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), line.split()[4]) for line in f]
    return [p for p in points if p == folder or p.startswith(folder + "/")]


def remove(folder):
    """Removes a root, never through a mount point (that could be this machine's own /dev)."""
    for point in sorted(mounts_under(folder), reverse=True):
        subprocess.run(["umount", "--lazy", point], stdin=subprocess.DEVNULL, capture_output=True)
    if mounts_under(folder):
        raise Unavailable("file systems are still mounted under %s; unmount them, then remove it" % folder)
    if os.geteuid() == 0:
        command = ["rm", "-rf", "--one-file-system", str(folder)]
    else:  # made in a user namespace: its files belong to subordinate ids
        command = ["unshare", "--map-root-user", "--map-auto", "rm", "-rf", "--one-file-system", str(folder)]
    subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True)


def can_make_roots():
    if os.geteuid() == 0:
        return "root"
    probe = subprocess.run(["unshare", "--user", "--map-root-user", "--map-auto", "true"], capture_output=True)
    if probe.returncode:
        raise Unavailable("a build root needs root, or unprivileged user namespaces, which this kernel does not "
                          "allow (sysctl kernel.unprivileged_userns_clone, user.max_user_namespaces): run as root")
    return "unshare"


def make(include, variant, sources, log, keys=()):
    """A new root with `include` (names, or name=version), cached under its package list's key and `keys`."""
    mode = can_make_roots()
    cache = cache_folder()
    print("tarnel: making the build root with mmdebstrap (some minutes; it is kept in %s) ..." % cache,
          file=sys.stderr, flush=True)
    cache.mkdir(parents=True, exist_ok=True)
    for stale in cache.glob(".partial-*"):  # left by a run that was killed an hour or more ago
        if stale.stat().st_mtime < time.time() - 3600:
            remove(stale)
    staging = Path(tempfile.mkdtemp(dir=cache, prefix=".partial-"))
    command = ["mmdebstrap", "--mode=%s" % mode, "--variant=%s" % variant, "--architectures=%s" % ARCH,
               "--skip=essential/unlink", "--skip=cleanup/apt/cache", "--include=%s" % ",".join(include),
               "--customize-hook=mkdir \"$1/build\"", "bookworm", str(staging / "root"), *sources.apt]
    try:
        status, _, _ = run(command, log=log)
    except BaseException:
        remove(staging)
        raise
    if status:
        text = Path(log).read_text(errors="replace")
        missing = re.findall(r"E: (?:Version '[^']*' for '[^']*' was not found|Unable to locate package \S+)", text)
        remove(staging)
        if missing:
            raise Missing("mmdebstrap could not make the build root: %s" % missing[0][3:])
        raise Unavailable("mmdebstrap could not make the build root (log: %s)" % log)
    tree = staging / "root"
    listed = subprocess.run(["dpkg-query", "--admindir=%s" % (tree / "var/lib/dpkg"), "-W",
                             "-f=${Package} ${Version} ${Architecture}\n"], capture_output=True, text=True,
                            check=True).stdout.split("\n")
    packages = []
    for line in filter(None, listed):
        name, version, arch = line.split(" ")
        deb = tree / "var/cache/apt/archives" / Package(name, version, arch, "").deb
        if not deb.is_file():
            remove(staging)
            raise Unavailable("the .deb of %s %s is not among the root's (%s)" % (name, version, deb))
        packages.append(Package(name, version, arch, hashlib.sha256(deb.read_bytes()).hexdigest()))
    (staging / "packages").write_text("".join(p.line() + "\n" for p in sorted(packages)))
    (staging / "complete").write_text(tree_fingerprint(tree))
    key = key_of(packages)
    final = cache / key
    if cached(key) is None:
        os.replace(staging, final)
    else:
        remove(staging)
    for alias in keys:
        link = cache / alias
        if link.is_symlink():
            link.unlink()
        elif link.exists():
            remove(link)
        link.symlink_to(key)
    return Root(final)


def for_release(names, pins, sources, log):
    """The root of a new release (or of an earlier one that recorded only its toolchain): `names` at the
    archive's versions, `pins` {name: version} at theirs."""
    for name, version in sorted(pins.items()):
        if version not in sources.versions(name):
            raise Missing("%s %s (%s), the release's, which none of the package sources serves"
                              % (name, version, ARCH))
    alias = hashlib.sha256(("%s\n%s\n%s" % (sorted(names), sorted(pins.items()), sources.fingerprint()))
                           .encode()).hexdigest()
    root = cached(alias)
    if root is not None:
        return root
    include = [("%s=%s" % (n, pins[n])) if n in pins else n for n in sorted(set(names) | set(pins))]
    return make(include, "apt", sources, log, keys=[alias])


def for_record(packages, sources_of, log):
    """The root a release recorded, package for package. `sources_of()` gives the Sources, asked only when the
    root is not in the cache (so a cached root needs no network)."""
    root = cached(key_of(packages))
    if root is not None:
        return root
    sources = sources_of()
    for package in sorted(packages):
        if not sources.has(package):
            raise Missing("%s %s (%s) is in none of the package sources" % (package.name, package.version,
                                                                                package.arch))
    root = make(["%s=%s" % (p.name, p.version) for p in sorted(packages)], "custom", sources, log)
    if sorted(root.packages) != sorted(packages):
        extra = sorted(set(root.packages) ^ set(packages))
        raise Unavailable("the root made is not the one the release recorded (first: %s)" % extra[0].line())
    return root


def check_sandbox(root, folder):
    """bubblewrap can make its sandbox here (user namespaces are allowed, this is no chroot), or Unavailable."""
    status, out, err = run(sandbox(root, folder, ["true"], {}))
    if status:
        reason = ((out or b"") + (err or b"")).decode(errors="replace").strip().split("\n")[0]
        raise Unavailable("bubblewrap cannot make the build's sandbox on this machine: %s" % reason[:300])


def sandbox(root, folder, command, env):
    """The bwrap command that runs `command` in the root: no network, the root read-only, only `folder` (as
    /build) writable, an unprivileged user, `env` and nothing else in its environment, ended with this
    process."""
    argv = ["bwrap", "--unshare-all", "--unshare-user", "--die-with-parent", "--new-session",
            "--ro-bind", str(root.tree), "/", "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp",
            "--bind", str(folder), "/build", "--chdir", "/build", "--uid", SANDBOX_USER, "--gid", SANDBOX_USER,
            "--clearenv"]
    for key, value in env.items():
        argv += ["--setenv", key, value]
    return argv + list(command)
