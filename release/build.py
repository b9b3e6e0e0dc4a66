"""Building a commit in a clean copy, by the commit's own recipe, in its pinned build root; and the release of
HEAD.

How a commit is built and packed is decided by that commit's tree: its recipe. This tree's recipe is
format RECIPE: `release/__main__.py recipe build` and `recipe pack`, run from the commit's own copy inside
the build root that release/build-packages names (release/buildroot.py). Releases from before recipes were
named (BUILDINFO without "recipe") were built by the commit's own scripts/build-commit.sh and packed by its
scripts/release_zip.py: format 0 here, run in a root with the four toolchain packages BUILDINFO recorded.

  release/__main__.py release [--icon FILE] [--keep-debs DIR] [SIGNING OPTIONS]     (scripts/release.sh)
  release/__main__.py recipe build DIR --commit HEX --commit-time SECONDS [--icon FILE]
  release/__main__.py recipe pack --build DIR --exe FILE --commit HEX --commit-time SECONDS [--icon FILE] OUT
"""
import dataclasses
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from release import buildroot
from release.process import run
from release.text import visible

RECIPE = 1
ROOT = Path(__file__).resolve().parent.parent  # this tree: the verifier's or the releaser's clone
# The packages whose versions decide the bytes, as BUILDINFO names them (the toolchain lines).
TOOLCHAIN = [("compiler", "g++-mingw-w64-x86-64-posix"), ("mingw-w64-runtime", "mingw-w64-x86-64-dev"),
             ("binutils", "binutils-mingw-w64-x86-64"), ("cmake", "cmake")]
# What the older recipe (format 0) needs beside its four toolchain packages: its scripts run git and Python.
LEGACY_PACKAGES = ["cmake", "make", "g++-mingw-w64-x86-64-posix", "binutils-mingw-w64-x86-64", "mingw-w64-x86-64-dev",
                   "git", "python3"]
# Attributes that would change the commit's bytes on their way out of git, and that no option switches off.
ATTRIBUTES = re.compile(rb"filter|export-subst|working-tree-encoding")


class Failed(Exception):
    """The build could not be made here: the verdict is COULD NOT CHECK, never NOT VERIFIED."""


class Refused(Exception):
    """What was asked is not a release this tree will build (a recipe its commit does not follow, an icon the
    build refuses)."""

    def __init__(self, check, reason):
        super().__init__(reason)
        self.check = check


def git(*args, repo=ROOT, check=True):
    """git on the clone, reading the commit's bytes as git stores them: the system's, the user's and the
    clone's attributes and end-of-line settings off, replace objects ignored, no GIT_* from the caller."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("GIT_")}
    env.update(GIT_ATTR_NOSYSTEM="1", GIT_NO_REPLACE_OBJECTS="1")
    command = ["git", "-C", str(repo), "-c", "core.attributesFile=/dev/null", "-c", "core.autocrlf=false",
               "-c", "core.eol=lf", *args]
    result = subprocess.run(command, env=env, capture_output=True, stdin=subprocess.DEVNULL)
    if check and result.returncode:
        raise Failed("git %s: %s" % (args[0], visible(result.stderr.decode(errors="replace").strip(), 300)))
    return result


def commit_of(rev):
    """The full id of a revision of this clone, or None."""
    result = git("rev-parse", "--verify", "--quiet", "--end-of-options", rev + "^{commit}", check=False)
    return result.stdout.decode().strip() if result.returncode == 0 else None


def commit_time(commit):
    return int(git("log", "-1", "--format=%ct", commit).stdout)


def published(commit):
    """The tags and remote-tracking branches of this clone whose history holds `commit`."""
    out = git("for-each-ref", "--contains", commit, "--format=%(refname) %(refname:short)", "refs/tags",
              "refs/remotes").stdout
    refs = (line.split(" ", 1) for line in out.decode(errors="replace").split("\n") if " " in line)
    return [visible(short, 100) for full, short in refs if not full.endswith("/HEAD")]


def clean_copy(commit, dest):
    """The commit's tree, as git stores it, unpacked into `dest`."""
    info = Path(git("rev-parse", "--path-format=absolute", "--git-path", "info/attributes").stdout.decode().strip())
    if info.is_file() and any(l.strip() and not l.lstrip().startswith(b"#") for l in info.read_bytes().splitlines()):
        raise Failed("%s sets attributes that would change the commit's files; empty it to build" % info)
    listing = git("ls-tree", "-r", "-z", "--name-only", commit).stdout.split(b"\0")
    for path in (p for p in listing if p == b".gitattributes" or p.endswith(b"/.gitattributes")):
        if ATTRIBUTES.search(git("cat-file", "blob", "%s:%s" % (commit, path.decode())).stdout):
            raise Failed("%s in %s asks for filters or substitutions; a build takes the commit's bytes as stored"
                         % (visible(path.decode()), commit))
    dest.mkdir(parents=True)
    archive = dest.parent / (dest.name + ".tar")
    archive.write_bytes(git("archive", "--format=tar", commit).stdout)
    status, _, err = run(["tar", "-x", "-f", str(archive), "-C", str(dest)])
    archive.unlink()
    if status:
        raise Failed("cannot unpack the commit: %s" % visible(err.decode(errors="replace"), 300))


def recipe_of_tree(src):
    """The recipe a commit's tree follows: its release/RECIPE, or 0 for a tree with the older scripts."""
    named = src / "release" / "RECIPE"
    if named.is_file():
        text = named.read_text().strip()
        return int(text) if text.isdigit() else None
    return 0 if (src / "scripts" / "build-commit.sh").is_file() else None


@dataclasses.dataclass
class Build:
    work: Path  # bound as /build in the sandbox
    folder: Path  # tarnel.exe, version, toolchain, notices, SBOM (work, or work/out for recipe 0)
    recipe: int
    root: buildroot.Root
    commit: str
    seconds: int
    icon: bool


def sandbox_env(seconds):
    return {"PATH": "/usr/bin:/bin", "HOME": "/build/home", "LC_ALL": "C.UTF-8", "TZ": "UTC",
            "SOURCE_DATE_EPOCH": str(seconds)}


def in_root(b, command, log=None):
    status, out, err = run(buildroot.sandbox(b.root, b.work, command, sandbox_env(b.seconds)), log=log)
    return status, (out or b"") + (err or b"")


def legacy_pins(record):
    """The toolchain a release before recipes recorded: {package: version}; CMake by its upstream version."""
    pins = {}
    for field, package in TOOLCHAIN:
        value = record.get(field, "")
        name, _, version = value.partition(" ")
        if field == "cmake":
            pins["cmake"] = name  # "3.25.1": an upstream version, matched against the archive below
        elif name == package and version:
            pins[package] = version
    return pins


def root_for(followed, src, record, sources_of, log):
    """The build root of this build: the one a release recorded, or its toolchain, or the tree's packages at
    the archive's versions (a new release)."""
    if followed == 0:
        sources = sources_of()
        pins = legacy_pins(record or {})
        if "cmake" in pins:
            upstream = pins["cmake"]
            served = sorted(v for v in sources.versions("cmake") if re.fullmatch(re.escape(upstream) + r"-[^-]+", v))
            if not served:
                raise buildroot.Missing("cmake %s (any Debian revision), which none of the package sources serves"
                                            % upstream)
            pins["cmake"] = served[-1]
        return buildroot.for_release(LEGACY_PACKAGES, pins, sources, log)
    if record and record.get("build-root"):
        return buildroot.for_record(record["build-root"], sources_of, log)
    names = (src / "release" / "build-packages").read_text().split()
    return buildroot.for_release(names, {}, sources_of(), log)


def build(commit, work, icon=None, recipe=None, record=None, sources_of=None, cache=None):
    """Builds `commit` in the new folder `work` by the recipe its tree follows (which must be `recipe` where a
    release names one), in its build root. `record`: the release's BUILDINFO fields (its root)."""
    work = Path(work)
    log = work.parent / (work.name + ".log")
    sources_of = sources_of or (lambda: buildroot.Sources())
    clean_copy(commit, work / "src")
    (work / "home").mkdir()
    followed = recipe_of_tree(work / "src")
    if recipe is not None and followed != recipe:
        raise Refused("recipe", "the release names recipe %d, and commit %s follows %s" % (
            recipe, commit, "recipe %d" % followed if followed is not None else "none this verifier knows"))
    if followed not in (0, RECIPE):
        raise Refused("recipe", "commit %s follows a recipe this verifier does not know (%s); use a newer clone"
                      % (commit, followed))
    root = root_for(followed, work / "src", record, sources_of, log)
    buildroot.check_sandbox(root, work)
    b = Build(work, work if followed else work / "out", followed, root, commit, commit_time(commit), bool(icon))
    if icon:
        shutil.copyfile(icon, work / "icon.ico")
        status, out = in_root(b, ["cmake", "-DICON=/build/icon.ico", "-P", "/build/src/cmake/CheckIcon.cmake"])
        if status:
            text = out.decode(errors="replace").split("Call Stack")[0]
            text = " ".join(text.split("\n", 1)[-1].split()) if "CMake Error" in text else " ".join(text.split())
            raise Refused("icon", re.sub(r"^TARNEL_ICON \S*: ", "", text) or "not a usable .ico file")
    key = None
    if cache:
        icon_sha = hashlib.sha256(Path(icon).read_bytes()).hexdigest() if icon else None
        key = hashlib.sha256(json.dumps([commit, followed, icon_sha, buildroot.key_of(root.packages)]).encode()
                             ).hexdigest()
        stored = Path(cache) / key
        if (stored / "complete").is_file():
            shutil.rmtree(work)
            shutil.copytree(stored, work, symlinks=True)
            return b
    print("tarnel: building %s in its build root ..." % commit, file=sys.stderr, flush=True)
    if followed == 0:
        # The commit's own scripts build from a git repository: one that holds just this commit.
        recipe_repo = work / "recipe"
        git("init", "-q", str(recipe_repo))
        git("-c", "uploadpack.allowAnySHA1InWant=true", "fetch", "-q", "--depth", "1", "file://%s" % ROOT, commit,
            repo=recipe_repo)
        shutil.copytree(work / "src" / "scripts", recipe_repo / "scripts")
        command = ["bash", "/build/recipe/scripts/build-commit.sh", commit, "/build/out"]
    else:
        command = ["/usr/bin/python3", "-I", "-B", "/build/src/release/__main__.py", "recipe", "build", "/build",
                   "--commit", commit, "--commit-time", str(b.seconds)]
    status, _ = in_root(b, command + (["--icon", "/build/icon.ico"] if icon else []), log)
    if status:
        tail = log.read_bytes().decode(errors="replace").splitlines()[-30:]
        sys.stderr.write("".join("  %s\n" % visible(line, 300) for line in tail))
        raise Failed("the build of %s failed (log: %s)" % (commit, log))
    (b.folder / "buildroot").write_text("".join(p.line() + "\n" for p in root.packages))
    if key:
        staging = Path(tempfile.mkdtemp(dir=cache, prefix=".partial-"))
        shutil.copytree(work, staging / "build", symlinks=True)
        (staging / "build" / "complete").write_text("")
        os.replace(staging / "build", Path(cache) / key)
        shutil.rmtree(staging)
    return b


def pack(b, exe, zip_path):
    """The release zip of build `b` with the shipped executable `exe`, packed by the recipe the build followed,
    from the commit's own copy, in the build root."""
    shutil.copyfile(exe, b.work / "shipped.exe")
    if b.recipe == 0:
        command = ["/usr/bin/python3", "/build/out/src/scripts/release_zip.py", "pack", "--build", "/build/out"]
    else:
        command = ["/usr/bin/python3", "-I", "-B", "/build/src/release/__main__.py", "recipe", "pack", "--build",
                   "/build"]
    command += ["--exe", "/build/shipped.exe", "--commit", b.commit, "--commit-time", str(b.seconds)]
    if b.icon:
        command += ["--icon", "/build/icon.ico"]
    (b.work / "release.zip").unlink(missing_ok=True)
    status, out = in_root(b, command + ["/build/release.zip"])
    if status:
        raise Failed("the recipe could not pack the zip: %s" % visible(out.decode(errors="replace"), 300))
    shutil.move(b.work / "release.zip", zip_path)


def version_of(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
    return "%s %s" % (package, result.stdout) if result.returncode == 0 and result.stdout else "unknown"


# The recipe, run from the commit's own copy, in the build root.

def recipe_build(out, commit, seconds, icon):
    from release import notices, pe  # the commit's own, beside this file

    src = out / "src"
    log = out / "build.log"
    options = ["-DTARNEL_TESTS=OFF", "-DTARNEL_BENCH=OFF"] + (["-DTARNEL_ICON=%s" % icon] if icon else [])
    for command in (["cmake", "--preset", "mingw-release", *options],
                    ["cmake", "--build", "--preset", "mingw-release", "--target", "tarnel", "-j", "2"]):
        status, _, _ = run(command, log=log, cwd=src, env=dict(os.environ))
        if status:
            print("\n".join(log.read_text(errors="replace").splitlines()[-30:]), file=sys.stderr)
            print("tarnel: the build of %s failed (log: %s)" % (commit, log), file=sys.stderr)
            return 2
    exe = out / "tarnel.exe"
    shutil.copyfile(src / "build" / "tarnel.exe", exe)
    cache = (src / "build" / "CMakeCache.txt").read_text()
    version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", cache, re.M).group(1)
    (out / "version").write_text(version + "\n")
    lines = ["%s: %s" % (field, version_of(package)) for field, package in TOOLCHAIN]
    (out / "toolchain").write_text("\n".join(lines) + "\n")
    problems = pe.security_problems(exe.read_bytes())
    if problems:
        print("tarnel: the build of %s lacks what a release must have: %s" % (commit, "; ".join(problems)),
              file=sys.stderr)
        return 2
    iso = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))
    try:
        notices.write(src / "build" / "tarnel.map", exe, version, commit, iso, out / "THIRD-PARTY-NOTICES.txt",
                      out / "tarnel.cdx.json")
    except notices.NoticesError as e:
        print("tarnel: no third-party notices for %s: %s" % (commit, e), file=sys.stderr)
        return 2
    return 0


def recipe_command(args):
    from release import bundle

    args = list(args)

    def option(name):
        if name not in args:
            return None
        at = args.index(name)
        value = args[at + 1]
        del args[at:at + 2]
        return value

    if not args or args[0] not in ("build", "pack"):
        print(__doc__.split("\n\n")[2], file=sys.stderr)
        return 2
    step = args.pop(0)
    commit, seconds, icon = option("--commit"), int(option("--commit-time")), option("--icon")
    if step == "build":
        return recipe_build(Path(args[0]), commit, seconds, icon)
    build_dir, exe = option("--build"), option("--exe")
    bundle.pack(build_dir, exe, commit, seconds, icon, args[0], RECIPE)
    return 0


# The release of HEAD.

def command(args):
    caller = Path.cwd()  # the icon and the signing options name files relative to where the caller stands
    options = {"--icon": None, "--keep-debs": None}
    args = list(args)
    while args[:1] and args[0] in options:
        if len(args) < 2:
            print("release.sh: %s needs a value" % args[0], file=sys.stderr)
            return 2
        options[args[0]] = caller / args[1]
        del args[:2]
    icon, keep = options["--icon"], options["--keep-debs"]
    if icon and not icon.is_file():
        print("release.sh: %s: no such file" % icon, file=sys.stderr)
        return 2
    if git("status", "--porcelain", "--untracked-files=no").stdout:
        print("release.sh: the work tree has changes that are not committed:", file=sys.stderr)
        sys.stderr.write(git("status", "--short", "--untracked-files=no").stdout.decode(errors="replace"))
        print("release.sh: commit or stash them; a release is built from a commit only", file=sys.stderr)
        return 1
    commit = commit_of("HEAD")
    work = Path(tempfile.mkdtemp())
    try:
        try:
            b = build(commit, work / "build", icon)
        except Refused as e:
            print("tarnel: the icon %s cannot be built in: %s" % (icon, e) if e.check == "icon" else "tarnel: %s" % e,
                  file=sys.stderr)
            return 2
        exe = b.folder / "tarnel.exe"
        version = (b.folder / "version").read_text().strip()
        shipped = work / "tarnel.exe"
        if args:
            from release import sign

            status = sign.command([str(exe), str(shipped), *args])
            if status:
                return status
        else:
            shutil.copyfile(exe, shipped)
        # A signed release gets its own name, so that signing never replaces the unsigned zip.
        name = "tarnel-%s-win64%s.zip" % (version, "-signed" if args else "")
        pack(b, shipped, work / name)
        (ROOT / "dist").mkdir(exist_ok=True)
        target = ROOT / "dist" / name
        # The same bytes again are no loss; anything else there (a release signed with another key or time
        # stamp, a file of the user's) is never replaced without a word.
        if os.path.lexists(target) and not (target.is_file() and not target.is_symlink()
                                            and target.read_bytes() == (work / name).read_bytes()):
            print("release.sh: dist/%s exists and is not this release; move it away to release again" % name,
                  file=sys.stderr)
            return 1
        os.replace(work / name, target)
        if keep:
            keep.mkdir(parents=True, exist_ok=True)
            for deb in b.root.debs():
                shutil.copyfile(deb, keep / deb.name)
        unsigned = hashlib.sha256(exe.read_bytes()).hexdigest()
        print("dist/%s\ntarnel %s, commit %s\nunsigned tarnel.exe SHA-256: %s" % (name, version, commit, unsigned))
        if keep:
            print("the build root's %d .deb files: %s" % (len(b.root.packages), keep))
        return 0
    except (Failed, buildroot.Unavailable) as e:
        print("tarnel: %s" % e, file=sys.stderr)
        return 2
    finally:
        shutil.rmtree(work, ignore_errors=True)
