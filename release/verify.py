"""Is a download the release of a public commit? The verdict, made by making the release again.

  scripts/verify.sh FILE [--rev REV] [--ca FILE] [--tsa-ca FILE] [--require-signature] [--icon FILE] [--json]
                         [--debs DIR] [--mirror URL]... [--build-cache DIR]

A zip is read strictly; its commit is built in a clean copy by the commit's own recipe (the one its
BUILDINFO names), the download's signature is attached to the rebuilt executable and the whole file
compared byte for byte, then the whole zip is packed again by the same recipe and compared byte for byte.
Every signature is then judged on its own. Exit status: 0 VERIFIED, 1 NOT VERIFIED (the verdict says which
check failed and why), 2 COULD NOT CHECK (this machine could not make the check: nothing is said of the
download).
"""
import hashlib
import json
import os
import shutil
import sys
import tempfile
from pathlib import Path

from release import authenticode, build, buildroot, bundle, pe
from release.text import visible

MAX_DOWNLOAD = bundle.MAX_ZIP
USAGE = __doc__.split("\n\n")[1]


class CannotCheck(Exception):
    pass


class Report:
    def __init__(self, shown):
        self.shown = shown
        self.lines = []
        self.checks = []  # {"name", "result", "detail"} in the order made
        self.failed = []  # (check, reason)
        self.commit = None
        self.sha256 = {}

    def ok(self, name, detail):
        self.checks.append({"name": name, "result": "ok", "detail": detail})

    def fail(self, name, reason):
        self.failed.append((name, reason))
        self.checks.append({"name": name, "result": "failed", "detail": reason})

    def refuse(self, name, reason):
        """A check failed before anything was built: its line in the report, and nothing more to make."""
        self.fail(name, reason)
        self.lines.append("  %-12s FAILED: %s" % (name + ":", reason))

    def verdict(self):
        if not self.failed:
            return "VERIFIED", 0
        names = []
        for name, _ in self.failed:
            if name not in names:
                names.append(name)
        return "NOT VERIFIED: failed check(s): %s (%s)" % (" ".join(names), self.failed[0][1]), 1

    def print(self, as_json):
        verdict, status = self.verdict()
        if as_json:
            print(json.dumps({"verdict": verdict.split(":")[0], "status": status, "commit": self.commit,
                              "checks": self.checks, "executable": self.sha256}, indent=2))
        else:
            print("\n%s" % self.shown)
            for line in self.lines:
                print(line)
            print("\n%s" % verdict)
        return status


def parse(args):
    options = {"file": None, "rev": None, "ca": None, "tsa-ca": None, "icon": None, "require": False, "json": False,
               "cache": None, "debs": None, "mirror": []}
    takes = {"--rev": "rev", "--ca": "ca", "--tsa-ca": "tsa-ca", "--icon": "icon", "--build-cache": "cache",
             "--debs": "debs", "--mirror": "mirror"}
    args = list(args)
    while args:
        arg = args.pop(0)
        if arg in takes:
            if not args:
                raise CannotCheck("%s needs a value" % arg)
            if takes[arg] == "mirror":
                options["mirror"].append(args.pop(0))
            else:
                options[takes[arg]] = args.pop(0)
        elif arg == "--require-signature":
            options["require"] = True
        elif arg == "--json":
            options["json"] = True
        elif options["file"] is None and (not arg.startswith("--") or arg == "-"):
            options["file"] = arg
        else:
            raise CannotCheck("unknown option %s" % visible(arg, 100))
    if options["file"] is None:
        raise CannotCheck("no file given\n" + USAGE)
    if options["rev"] is not None and options["rev"].startswith("-"):
        raise CannotCheck("--rev %s: not a revision" % visible(options["rev"], 100))
    if options["debs"] is not None and not os.path.isdir(options["debs"]):
        raise CannotCheck("--debs %s: no such folder" % visible(options["debs"], 200))
    return options


def private_copy(path):
    """The download read once, at most one byte more than MAX_DOWNLOAD, whatever the path names; only this
    copy is used."""
    try:
        with open(path, "rb") as f:
            return f.read(MAX_DOWNLOAD + 1)
    except OSError as e:
        raise CannotCheck("%s: %s" % (visible(path, 200), visible(e.strerror or e, 200))) from None


def read_download(data, options, report, work):
    """The executable and its icon, from a zip read strictly or from a bare executable. None when refused."""
    if len(data) > MAX_DOWNLOAD:
        report.refuse("download", "more than %d bytes, more than any release" % MAX_DOWNLOAD)
        return None
    if not data.startswith(b"PK\3\4"):
        icon = Path(options["icon"]) if options["icon"] else None
        if icon and not os.access(icon, os.R_OK):
            raise CannotCheck("%s: no such file, or not readable" % visible(options["icon"], 200))
        return {"exe": data, "icon": icon, "buildinfo": None, "zip": False}
    if options["icon"]:
        raise CannotCheck("--icon is for a bare tarnel.exe: a release zip carries its own icon")
    try:
        members, fields = bundle.read(data)
    except bundle.Fault as f:
        report.refuse(f.check, str(f))
        return None
    report.lines.append("  SHA256SUMS:  ok, exactly the lines a release writes for these members")
    report.ok("SHA256SUMS", "the listing, BUILDINFO and SHA256SUMS are as a release writes them")
    icon = None
    if "icon.ico" in members:
        icon = work / "icon.ico"
        icon.write_bytes(members["icon.ico"])
    return {"exe": members["tarnel.exe"], "icon": icon, "buildinfo": fields, "zip": True}


def toolchain_note(buildinfo, rebuilt):
    """The toolchain lines of the release that differ from this machine's: a different compiler, not different
    code, may be why the bytes differ."""
    theirs = ["%s: %s" % (k, buildinfo[k]) for k, _ in build.TOOLCHAIN if k in buildinfo]
    ours = (rebuilt / "toolchain").read_text().splitlines()
    if theirs == ours:
        return []
    lines = ["               note: this machine's toolchain differs from the release's (< release, > here):"]
    lines += ["                 < %s" % visible(line, 200) for line in theirs if line not in ours]
    lines += ["                 > %s" % line for line in ours if line not in theirs]
    return lines + ["               a different compiler, not different code, may cause the difference"]


def verify(options, work, report):
    data = private_copy(options["file"])
    got = read_download(data, options, report, work)
    if got is None:
        return
    exe_path = work / "tarnel.exe"
    exe_path.write_bytes(got["exe"])
    if not pe.is_pe(got["exe"]):
        raise CannotCheck("%s is not a Windows executable (no PE header)" % report.shown)
    fields = got["buildinfo"] or {}
    rev = options["rev"] or fields.get("commit") or "HEAD"
    commit = build.commit_of(rev)
    if commit is None:
        raise CannotCheck("unknown revision '%s' in %s (git fetch it, or name one with --rev)"
                          % (visible(rev, 100), build.ROOT))
    report.commit = commit
    for given in (options["ca"], options["tsa-ca"]):
        if given and not os.access(given, os.R_OK):
            raise CannotCheck("%s: no such file, or not readable" % visible(given, 200))
    # Only the project's published history is built: a commit no tag or remote-tracking branch holds (a
    # pull request's head fetched by its id) could be anyone's, and none of its code runs here.
    refs = build.published(commit)
    if not refs:
        report.refuse("commit", "%s is on no branch or tag of this repository" % commit)
        return
    shown_refs = ", ".join(refs[:5]) + (" and %d more" % (len(refs) - 5) if len(refs) > 5 else "")
    report.ok("commit", "%s is in the published history: %s" % (commit, shown_refs))

    # The signatures, judged on their own.
    (work / "sig").mkdir()
    try:
        judgement = authenticode.judge(exe_path, work / "sig", options["ca"], options["tsa-ca"])
    except authenticode.CannotCheck as e:
        raise CannotCheck("the signature could not be read: %s" % e) from None
    report.checks += judgement.checks
    report.failed += judgement.failures
    unsigned = work / "shipped.exe"
    if judgement.signed:
        if not authenticode.remove_signature(exe_path, unsigned):
            if not judgement.failures:
                raise CannotCheck("osslsigncode cannot remove the signature")
            shutil.copyfile(exe_path, unsigned)
    else:
        shutil.copyfile(exe_path, unsigned)
        if options["require"]:
            report.fail("signature required", "the file is not signed")

    # The release made again, by the commit's own recipe, in the build root it recorded.
    recipe = int(fields["recipe"]) if "recipe" in fields else (0 if got["zip"] else None)
    sources_of = lambda: buildroot.Sources(options["mirror"], options["debs"], work)  # noqa: E731
    try:
        b = build.build(commit, work / "build", got["icon"], recipe, fields or None, sources_of, options["cache"])
    except build.Refused as e:
        report.refuse(e.check, str(e))
        report.lines += judgement.lines
        return
    except buildroot.Missing as e:
        raise CannotCheck("the build root cannot be made: %s. Keep a release's .deb files (release.sh "
                          "--keep-debs DIR) and give them with --debs DIR, or name an archive that still serves "
                          "them (a snapshot of the Debian archive, a local mirror) with --mirror URL" % e) from None
    except buildroot.Unavailable as e:
        raise CannotCheck(str(e)) from None
    except build.Failed as e:
        raise CannotCheck(str(e)) from None
    rebuilt = b.folder
    shipped_sha = hashlib.sha256(unsigned.read_bytes()).hexdigest()
    rebuilt_sha = hashlib.sha256((rebuilt / "tarnel.exe").read_bytes()).hexdigest()
    report.sha256 = {"sha256": hashlib.sha256(got["exe"]).hexdigest(), "sha256_without_signature": shipped_sha,
                     "rebuilt_sha256": rebuilt_sha}
    version = (rebuilt / "version").read_text().strip()
    content = []
    # The download first: first_difference names the part of its first argument.
    where = pe.first_difference(unsigned.read_bytes(), (rebuilt / "tarnel.exe").read_bytes())
    if where is None:
        content.append("  content:     MATCHES the build of commit %s (tarnel %s)" % (commit, version))
        report.ok("content", "the executable less its signature is the rebuild of %s" % commit)
    else:
        content.append("  content:     DIFFERS from the build of commit %s (tarnel %s): first in %s"
                       % (commit, version, where))
        report.fail("content", "the executable less its signature is not the rebuild (first in %s)" % where)
    if fields.get("commit") and fields["commit"] != commit:
        content.append("               (BUILDINFO names commit %s)" % fields["commit"])
    if judgement.signed:
        content.append("               signed, as downloaded:      %s" % report.sha256["sha256"])
    content += ["               shipped, without signature: %s" % shipped_sha,
                "               rebuilt here:               %s" % rebuilt_sha]
    if judgement.signed and where is None:
        # The download's signature on the rebuild: the whole signed file, certificate table and checksum
        # included, must be the download's to the byte.
        blob, attached = work / "signature.p7", work / "attached.exe"
        if not authenticode.extract_signature(exe_path, blob):
            where = "the certificate table, which osslsigncode cannot read"
        elif not authenticode.attach_signature(rebuilt / "tarnel.exe", blob, attached):
            # A sound signature always attaches; a broken one (osslsigncode 2.5 takes some out that it
            # cannot put back) is the download's fault, and judged above.
            if not judgement.failures:
                raise CannotCheck("osslsigncode cannot attach the download's signature to the rebuild")
            where = "the certificate table, whose signature osslsigncode cannot attach again"
        else:
            where = pe.first_difference(got["exe"], attached.read_bytes())
        if where is None:
            content.append("               signed: the rebuild with the download's signature attached is the "
                           "download's executable, byte for byte")
            report.ok("signed executable", "the rebuild with the download's signature is the download's executable")
        else:
            content.append("               signed: DIFFERS from the rebuild with the download's signature "
                           "attached, first in %s" % where)
            report.fail("signed executable", "the signed file is not the rebuild with its signature attached "
                                             "(first in %s)" % where)
    if got["zip"]:
        rezip = work / "rebuilt.zip"
        try:
            build.pack(b, exe_path, rezip)
        except build.Failed as e:
            raise CannotCheck(str(e)) from None
        difference = bundle.difference(data, rezip.read_bytes())
        if difference is None:
            content.insert(0, "  zip:         the same bytes as the release rebuilt here")
            report.ok("zip", "the download is the zip rebuilt here, byte for byte")
        else:
            content.insert(0, "  zip:         DIFFERS: %s" % difference)
            report.fail("zip", difference)
            content += toolchain_note(fields, rebuilt)
    if got["icon"]:
        content.append("  icon:        the download's own (SHA-256 %s), built in as the release's"
                       % hashlib.sha256(Path(got["icon"]).read_bytes()).hexdigest())
    else:
        content.append("  icon:        the project's default (res/tarnel.ico of the commit)")
    report.lines += ["  commit:      %s, published as %s" % (commit, shown_refs)] + content + judgement.lines


def command(args):
    try:
        options = parse(args)
    except CannotCheck as e:
        print("verify.sh: could not check: %s" % e, file=sys.stderr)
        return 2
    report = Report(visible(options["file"], 300))
    work = Path(tempfile.mkdtemp())
    try:
        verify(options, work, report)
        return report.print(options["json"])
    except Exception as e:
        if not isinstance(e, CannotCheck):  # a fault of ours, told in one line: never a traceback
            e = CannotCheck("internal error (%s); please report it" % type(e).__name__)
        if options["json"]:
            print(json.dumps({"verdict": "COULD NOT CHECK", "status": 2, "commit": report.commit,
                              "checks": report.checks + [{"name": "check", "result": "not checked",
                                                          "detail": str(e)}],
                              "executable": report.sha256}, indent=2))
        print("verify.sh: could not check: %s" % e, file=sys.stderr)
        return 2
    finally:
        shutil.rmtree(work, ignore_errors=True)
