"""Building a commit in a clean copy, by the commit's own recipe; and the release of HEAD.

How a commit is built and packed is decided by that commit's tree: its recipe. This tree's recipe is
format RECIPE: `release/__main__.py recipe build` and `recipe pack`, run from the commit's own copy.
Releases from before recipes were named (BUILDINFO without "recipe") were built by the commit's own
scripts/build-commit.sh and packed by its scripts/release_zip.py: format 0 here.

  release/__main__.py release [--icon FILE] [SIGNING OPTIONS]     (scripts/release.sh)
  release/__main__.py recipe build DIR --commit HEX --commit-time SECONDS [--icon FILE]
  release/__main__.py recipe pack --build DIR --exe FILE --commit HEX --commit-time SECONDS [--icon FILE] OUT
"""
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from release.text import visible

RECIPE = 1
ROOT = Path(__file__).resolve().parent.parent  # this tree: the verifier's or the releaser's clone
# The packages whose versions decide the bytes, as BUILDINFO names them.
TOOLCHAIN = [("compiler", "g++-mingw-w64-x86-64-posix"), ("mingw-w64-runtime", "mingw-w64-x86-64-dev"),
             ("binutils", "binutils-mingw-w64-x86-64"), ("cmake", "cmake")]
# Attributes that would change the commit's bytes on their way out of git, and that no option switches off.
ATTRIBUTES = re.compile(rb"filter|export-subst|working-tree-encoding")


class Failed(Exception):
    """The build could not be made here: the verdict is COULD NOT CHECK, never NOT VERIFIED."""


class Refused(Exception):
    """What was asked is not a release this tree will build or check (an unknown recipe, a bad icon)."""


def clean_environment(home):
    """An environment made from nothing: no caller's flags, compilers, Python or git settings reach a build."""
    return {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": str(home), "LC_ALL": "C.UTF-8", "TZ": "UTC"}


def run(command, log=None, env=None, cwd=None, stdin=subprocess.DEVNULL):
    """Runs a child in its own process group, which is ended with it if this process is stopped."""
    out = open(log, "ab") if log else subprocess.PIPE
    try:
        child = subprocess.Popen(command, stdin=stdin, stdout=out, stderr=subprocess.STDOUT if log else subprocess.PIPE,
                                 env=env, cwd=cwd, start_new_session=True)
        try:
            stdout, stderr = child.communicate()
        except BaseException:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
            raise
    finally:
        if log:
            out.close()
    return child.returncode, stdout, stderr


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


def check_icon(path):
    """The build's own icon check (cmake/CheckIcon.cmake, which the configure runs), on its own; the reason
    the icon cannot be built in, or None."""
    status, out, _ = run(["cmake", "-DICON=%s" % path, "-P", str(ROOT / "cmake" / "CheckIcon.cmake")],
                         env=clean_environment("/nonexistent"))
    if status == 0:
        return None
    text = out.decode(errors="replace").split("Call Stack")[0]
    text = " ".join(text.split("\n", 1)[-1].split()) if "CMake Error" in text else " ".join(text.split())
    return re.sub(r"^TARNEL_ICON .*?: ", "", text, count=1) or "not a usable .ico file"


def build(commit, out, icon=None, recipe=None, cache=None):
    """Builds `commit` in `out` (its tree in out/src) by the recipe its tree follows, or `recipe` where the
    release names one. Leaves out/tarnel.exe, version, toolchain, THIRD-PARTY-NOTICES.txt and tarnel.cdx.json;
    returns the recipe followed. With `cache`, a build made earlier here for the same inputs is taken."""
    out = Path(out)
    key = None
    if cache:
        toolchain = [version_of(package) for _, package in TOOLCHAIN]
        icon_sha = hashlib.sha256(Path(icon).read_bytes()).hexdigest() if icon else None
        key = hashlib.sha256(json.dumps([commit, recipe, icon_sha, toolchain]).encode()).hexdigest()
        cached = Path(cache) / key
        if (cached / "complete").is_file():
            shutil.copytree(cached, out, symlinks=True)
            return int((cached / "complete").read_text())
    home = out.parent / (out.name + ".home")
    home.mkdir(exist_ok=True)
    env = clean_environment(home)
    log = out.parent / (out.name + ".log")
    clean_copy(commit, out / "src")
    followed = recipe_of_tree(out / "src")
    if recipe is not None and followed != recipe:
        raise Refused("the release names recipe %d, and commit %s follows %s" % (
            recipe, commit, "recipe %d" % followed if followed is not None else "none this verifier knows"))
    seconds = commit_time(commit)
    if followed == 0:
        # The commit's own scripts, which build from a git repository: a clone that borrows this one's objects.
        recipe_repo = out.parent / (out.name + ".recipe")
        git("clone", "--quiet", "--shared", "--no-checkout", str(ROOT), str(recipe_repo))
        shutil.copytree(out / "src" / "scripts", recipe_repo / "scripts")
        shutil.rmtree(out / "src")  # build-commit.sh makes it again
        command = ["bash", str(recipe_repo / "scripts" / "build-commit.sh"), commit, str(out)]
    elif followed == RECIPE:
        command = ["/usr/bin/python3", "-I", str(out / "src" / "release" / "__main__.py"), "recipe", "build",
                   str(out), "--commit", commit, "--commit-time", str(seconds)]
    else:
        raise Refused("commit %s follows a recipe this verifier does not know (%s); use a newer tarnel clone"
                      % (commit, followed))
    if icon:
        command += ["--icon", str(icon)]
    status, _, _ = run(command, log=log, env=env)
    if status:
        tail = log.read_bytes().decode(errors="replace").splitlines()[-30:]
        sys.stderr.write("".join("  %s\n" % visible(line, 300) for line in tail))
        raise Failed("the build of %s failed (log: %s)" % (commit, log))
    if key:
        staging = Path(tempfile.mkdtemp(dir=cache, prefix=".partial-"))
        shutil.copytree(out, staging / "build", symlinks=True)
        (staging / "build" / "complete").write_text(str(followed))
        os.replace(staging / "build", Path(cache) / key)
        shutil.rmtree(staging)
    return followed


def pack(followed, out, exe, commit, icon, zip_path):
    """The release zip of the build in `out` with the shipped executable `exe`, packed by the recipe the build
    followed, from the commit's own copy."""
    seconds = commit_time(commit)
    if followed == 0:
        command = ["/usr/bin/python3", str(Path(out) / "src" / "scripts" / "release_zip.py"), "pack"]
    else:
        command = ["/usr/bin/python3", "-I", str(Path(out) / "src" / "release" / "__main__.py"), "recipe", "pack"]
    command += ["--build", str(out), "--exe", str(exe), "--commit", commit, "--commit-time", str(seconds)]
    if icon:
        command += ["--icon", str(icon)]
    status, stdout, stderr = run(command + [str(zip_path)], env=clean_environment("/nonexistent"))
    if status:
        raise Failed("the recipe could not pack the zip: %s" % visible((stdout + stderr).decode(errors="replace"), 300))


def version_of(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
    return "%s %s" % (package, result.stdout) if result.returncode == 0 and result.stdout else "unknown"


# The recipe, run from the commit's own copy.

def recipe_build(out, commit, seconds, icon):
    from release import notices, pe  # the commit's own, beside this file

    src = out / "src"
    log = out / "build.log"
    options = ["-DTARNEL_TESTS=OFF", "-DTARNEL_BENCH=OFF"] + (["-DTARNEL_ICON=%s" % icon] if icon else [])
    for command in (["cmake", "--preset", "mingw-release", *options],
                    ["cmake", "--build", "--preset", "mingw-release", "--target", "tarnel", "-j", "2"]):
        status, _, _ = run(command, log=log, cwd=src, env=dict(os.environ))
        if status:
            tail = log.read_bytes().decode(errors="replace").splitlines()[-30:]
            print("\n".join(tail), file=sys.stderr)
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
    except notices.Unaccounted as e:
        print("tarnel: no third-party notices for %s: %s" % (commit, e), file=sys.stderr)
        return 2
    return 0


def recipe_command(args):
    from release import bundle

    def option(name, default=None):
        if name in args:
            at = args.index(name)
            value = args[at + 1]
            del args[at:at + 2]
            return value
        return default

    args = list(args)
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
    icon = None
    if args[:1] == ["--icon"]:
        if len(args) < 2:
            print("release.sh: --icon needs an .ico file", file=sys.stderr)
            return 2
        icon = (caller / args[1]).resolve()
        args = args[2:]
        if not icon.is_file():
            print("release.sh: %s: no such file" % args[1], file=sys.stderr)
            return 2
    status = git("status", "--porcelain", "--untracked-files=no").stdout
    if status:
        print("release.sh: the work tree has changes that are not committed:", file=sys.stderr)
        sys.stderr.write(git("status", "--short", "--untracked-files=no").stdout.decode(errors="replace"))
        print("release.sh: commit or stash them; a release is built from a commit only", file=sys.stderr)
        return 1
    commit = commit_of("HEAD")
    work = Path(tempfile.mkdtemp())
    try:
        if icon:
            problem = check_icon(icon)
            if problem:
                print("tarnel: the icon %s cannot be built in: %s" % (icon, problem), file=sys.stderr)
                return 2
        try:
            followed = build(commit, work / "build", icon)
        except (Failed, Refused) as e:
            print("tarnel: %s" % e, file=sys.stderr)
            return 2
        version = (work / "build" / "version").read_text().strip()
        shipped = work / "tarnel.exe"
        if args:
            from release import sign

            status = sign.command([str(work / "build" / "tarnel.exe"), str(shipped), *args])
            if status:
                return status
        else:
            shutil.copyfile(work / "build" / "tarnel.exe", shipped)
        name = "tarnel-%s-win64.zip" % version
        pack(followed, work / "build", shipped, commit, icon, work / name)
        (ROOT / "dist").mkdir(exist_ok=True)
        os.replace(work / name, ROOT / "dist" / name)
        unsigned = hashlib.sha256((work / "build" / "tarnel.exe").read_bytes()).hexdigest()
        print("dist/%s\ntarnel %s, commit %s\nunsigned tarnel.exe SHA-256: %s" % (name, version, commit, unsigned))
        return 0
    except Failed as e:
        print("tarnel: %s" % e, file=sys.stderr)
        return 2
    finally:
        shutil.rmtree(work, ignore_errors=True)
