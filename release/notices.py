"""What a statically linked tarnel.exe contains, from the linker's map: the third-party notices and the SBOM.

    notices MAP --list
    notices MAP --exe tarnel.exe --version V --commit C --time ISO-8601 \\
                --notices THIRD-PARTY-NOTICES.txt --sbom tarnel.cdx.json

Every archive member and every input object that the map says was linked in must belong to a component
of the table below, or this fails: a new dependency cannot slip in unaccounted. Each component's Debian
package comes from `dpkg -S` on the file the linker read, its version from dpkg-query, and its copyright
lines and licence texts from the package's /usr/share/doc/<package>/copyright. The outputs hold no time but
the commit's and no path of this machine, so two builds of one commit give the same bytes.
"""
import argparse
import dataclasses
import fnmatch
import hashlib
import json
import os
import re
import subprocess
import sys
import textwrap
import uuid

import debian.copyright
import license_expression

from release.text import visible

GCC_EXCEPTION = "GNU General Public License (v3 or later) with version 3.1 of the GCC Runtime Library Exception"


@dataclasses.dataclass
class Component:
    name: str
    description: str
    files: list  # patterns for an archive or object file the linker read: its base name, or with a "/" its path
    # Where its sources are in the package's copyright file: a folder of a DEP-5 file, or, for GCC's
    # free-form file, the library's name in its list of libraries under the runtime exception.
    dep5_folder: str = ""
    dep5_exclude: tuple = ()
    gcc_library: str = ""
    ours: bool = False


COMPONENTS = [
    # Our own objects, as the linker names them: relative to the build folder.
    Component("tarnel", "the launcher's own code", ["CMakeFiles/tarnel.dir/objects.a"], ours=True),
    Component("libstdc++", "GNU C++ standard library (GCC)", ["libstdc++.a"], gcc_library="libstdc++-v3"),
    Component("libgcc", "GCC low-level runtime and unwinder", ["libgcc.a", "libgcc_eh.a", "crtbegin.o", "crtend.o"],
              gcc_library="libgcc"),
    Component("winpthreads", "mingw-w64 POSIX threads library", ["libpthread.a", "libwinpthread.a"],
              dep5_folder="mingw-w64-libraries/winpthreads/",
              dep5_exclude=("mingw-w64-libraries/winpthreads/tests_pthread/",)),
    # The start-up code, the C runtime support libraries and the import libraries of Windows' own DLLs.
    Component("mingw-w64-crt", "mingw-w64 C runtime start-up and support code, import libraries",
              ["crt2.o", "crt2u.o", "crt2win.o", "libmingw32.a", "libmingwex.a", "libmoldname.a", "libmsvcrt.a",
               "libkernel32.a", "libuser32.a", "libshlwapi.a", "libadvapi32.a", "libshell32.a"],
              dep5_folder="mingw-w64-crt/"),
]

# Licence names of the copyright files as SPDX expressions. LicenseRef- where SPDX has no identifier; a
# name not here stops the run rather than being guessed.
SPDX = {
    "ZPL-2.1": "ZPL-2.1",
    "expat": "MIT",
    "BSD-2-clause-NetBSD": "BSD-2-Clause",
    "BSD-3-clause": "BSD-3-Clause",
    "BSD-3-clause-Lockless": "BSD-3-Clause",
    "BSD-3-clause-MinGW-w64": "BSD-3-Clause",
    "ISC": "ISC",
    "GPL-2+": "GPL-2.0-or-later",
    "GPL-3+": "GPL-3.0-or-later",
    "LGPL-2+": "LGPL-2.0-or-later",
    "LGPL-2.1+": "LGPL-2.1-or-later",
    "Permissive-Sun": "SunPro",
    "public-domain": "LicenseRef-public-domain",
    "Lucent": "LicenseRef-Lucent-gdtoa",
    "David-Gay": "LicenseRef-David-Gay",
    "Keith-Marshall": "LicenseRef-Keith-Marshall",
    "Cygwin": "LicenseRef-Cygwin",
    GCC_EXCEPTION: "GPL-3.0-or-later WITH GCC-exception-3.1",
}
# SPDX identifiers newer than the licence list of Debian 12's license-expression (SunPro: SPDX list 3.21).
NEWER_SPDX_IDS = {"SunPro"}
LICENSE_REF = re.compile(r"LicenseRef-[A-Za-z0-9.-]+")
LICENSING = license_expression.get_spdx_licensing()
C_LOCALE = dict(os.environ, LC_ALL="C.UTF-8")  # dpkg's messages as this module reads them


class NoticesError(Exception):
    pass


def checked(expression):
    """The expression, if it is a valid SPDX expression written as SPDX writes it; else NoticesError."""
    try:
        parsed = LICENSING.parse(expression, validate=False, strict=True)
    except license_expression.ExpressionError as error:
        raise NoticesError(f"{expression!r} is not an SPDX licence expression: {error}") from None
    unknown = [key for key in LICENSING.unknown_license_keys(parsed) if key not in NEWER_SPDX_IDS
               and not LICENSE_REF.fullmatch(key)] if parsed is not None else []
    if parsed is None or unknown or parsed.render() != expression:
        raise NoticesError(f"{expression!r} is not an SPDX licence expression"
                           + (f" (unknown: {', '.join(unknown)})" if unknown else ""))
    return expression


def spdx(name):
    if name in SPDX:
        return SPDX[name]
    parts = re.split(r"\s+(and|or)\s+", name.strip())
    out = []
    for i, part in enumerate(parts):
        if i % 2:
            out.append(part.upper())
        elif part in SPDX:
            out.append(SPDX[part])
        else:
            raise NoticesError(f"licence name {part!r} has no SPDX mapping in release/notices.py")
    return " ".join(out)


def linked_files(map_path):
    """(file, member) for every archive member and input object in the map; member is None for an object."""
    with open(map_path, encoding="utf-8", errors="replace") as f:
        text = f.read()
    head, sep, rest = text.partition("\nDiscarded input sections")
    if not sep or not head.startswith("Archive member included"):
        raise NoticesError(f"{map_path}: not a GNU ld map with an archive member section")
    linked = set()
    for line in head.splitlines()[1:]:
        match = re.match(r"(\S[^(]*)\(([^)]+)\)", line)
        if match:
            linked.add((match.group(1), match.group(2)))
    for line in rest.splitlines():
        match = re.match(r"LOAD (\S+\.(?:o|obj))$", line)
        if match:
            linked.add((match.group(1), None))
    return sorted(linked, key=lambda item: (item[0], item[1] or ""))


def component_of(path):
    base = os.path.basename(path)
    for component in COMPONENTS:
        if any(fnmatch.fnmatchcase(path if "/" in pattern else base, pattern) for pattern in component.files):
            return component
    return None


def packages_of(paths):
    """{path: (package, version, architecture)} for the files the linker read: one dpkg -S, one dpkg-query."""
    real = {path: os.path.realpath(path) for path in paths}
    wanted = sorted(set(real.values()))
    listing = subprocess.run(["dpkg", "-S", *wanted], capture_output=True, text=True, env=C_LOCALE).stdout
    owner = {}
    for line in listing.splitlines():
        names, sep, path = line.partition(": ")
        if sep and path in wanted and not line.startswith("diversion "):
            owner[path] = names
    for path in wanted:
        if path not in owner:
            raise NoticesError(f"{path}: no Debian package owns it")
        if "," in owner[path]:
            raise NoticesError(f"{path}: owned by several packages: {owner[path]}")
    names = sorted({owner[path].split(":")[0] for path in wanted})
    query = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Version} ${Architecture}\\n", *names],
                           capture_output=True, text=True, env=C_LOCALE)
    if query.returncode:
        raise NoticesError(f"dpkg-query: {query.stderr.strip()}")
    versions = {line.split()[0]: tuple(line.split()) for line in query.stdout.splitlines()}
    return {path: versions[owner[real[path]].split(":")[0]] for path in paths}


def dep5_terms(copyright_path, component, stems):
    """The (copyright lines, licence name, [(licence name, text)]) of each Files stanza that covers part of
    the component; a stanza without a text takes it from the stand-alone License paragraph of each name."""
    try:
        with open(copyright_path, encoding="utf-8") as f:
            document = debian.copyright.Copyright(f)
    except (debian.copyright.Error, ValueError) as error:
        raise NoticesError(f"{copyright_path}: not a machine-readable copyright file: {error}") from None
    texts = {p.license.synopsis: p.license.text for p in document.all_license_paragraphs() if p.license.text}
    folder = component.dep5_folder
    stanzas = list(document.all_files_paragraphs())

    def covers_folder(pattern):
        return pattern.endswith("*") and folder.startswith(pattern[:-1])

    terms = []
    for index, stanza in enumerate(stanzas):
        applies = False
        for pattern in stanza.files:
            if covers_folder(pattern):
                # Applies unless a later stanza covers the whole folder (in DEP-5 the last match wins).
                applies |= not any(covers_folder(q) for s in stanzas[index + 1:] for q in s.files)
            elif pattern.startswith(folder) and not pattern.startswith(component.dep5_exclude):
                stem, _, suffix = pattern.rsplit("/", 1)[-1].partition(".")
                # A folder of sources is taken whole, and so is a header (compiled into the objects that
                # include it); any other named file only when an object of that name went in.
                applies |= "*" in stem or suffix == "h" or stem in stems
        if applies:
            name = stanza.license.synopsis
            if stanza.license.text:
                used = [(name, stanza.license.text)]
            else:
                used = [(single, texts.get(single, "")) for single in re.split(r"\s+(?:and|or)\s+", name)]
            lines = [line.strip() for line in (stanza.copyright or "").splitlines() if line.strip()] or [""]
            terms.append((lines, name, used))
    return terms


def gcc_terms(copyright_path, component):
    """GCC's copyright file is free-form: its list of the runtime libraries under the exception."""
    with open(copyright_path, encoding="utf-8") as f:
        text = f.read()
    sentence = re.search(r"The following runtime libraries are licensed under the terms of the\s+([\s\S]*?)\s+"
                         r"\(included in this file\):\n\n((?: - .*\n(?:   .*\n)*)+)", text)
    if not sentence:
        raise NoticesError(f"{copyright_path}: no list of libraries under the runtime library exception")
    name = " ".join(sentence.group(1).split())
    libraries = [line[3:].split()[0] for line in sentence.group(2).splitlines() if line.startswith(" - ")]
    if component.gcc_library not in libraries:
        raise NoticesError(f"{copyright_path}: {component.gcc_library} is not among the exception's libraries")
    holder = re.search(r"^GCC is Copyright .*?Inc\.$", text, re.M | re.S)
    exception = re.search(r"^GCC RUNTIME LIBRARY EXCEPTION\n.*?(?=\n\n\S[^\n]*:\n)", text, re.M | re.S)
    if not holder or not exception:
        raise NoticesError(f"{copyright_path}: no GCC copyright statement or runtime library exception text")
    with open("/usr/share/common-licenses/GPL-3", encoding="utf-8") as f:
        gpl = f.read().strip("\n")
    return [([" ".join(holder.group(0).split())], name, [(name, gpl + "\n\n" + exception.group(0).strip("\n"))])]


def inventory(map_path):
    """The components linked in, each with its members, package, version, terms and licence expression."""
    found = {}
    unknown = []
    for path, member in linked_files(map_path):
        component = component_of(path)
        if component is None:
            unknown.append(f"{path}({member})" if member else path)
            continue
        entry = found.setdefault(component.name, {"component": component, "files": {}, "members": []})
        entry["files"].setdefault(path, []).append(member or os.path.basename(path))
        entry["members"].append(f"{os.path.basename(path)}({member})" if member else os.path.basename(path))
    if unknown:
        raise NoticesError("linked from no known component (add it to the table in release/notices.py, "
                           "with its licence): " + ", ".join(unknown))
    owners = packages_of([path for entry in found.values() if not entry["component"].ours for path in entry["files"]])
    result = []
    for component in COMPONENTS:
        if component.name not in found:
            continue
        entry = found[component.name]
        if component.ours:
            result.append(dict(entry, package=None, version=None, arch=None, terms=[], license=checked("MIT")))
            continue
        packages = {owners[path] for path in entry["files"]}
        if len(packages) != 1:
            raise NoticesError(f"{component.name}: its files come from several packages: {sorted(packages)}")
        package, version, arch = packages.pop()
        copyright_path = f"/usr/share/doc/{package}/copyright"
        if component.gcc_library:
            terms = gcc_terms(copyright_path, component)
        else:
            stems = {re.sub(r"^.*-", "", os.path.splitext(m)[0]) for ms in entry["files"].values() for m in ms}
            terms = dep5_terms(copyright_path, component, stems)
        if not terms:
            raise NoticesError(f"{component.name}: no licence entry in {copyright_path}")
        expressions = []
        for _, name, _ in terms:
            expression = spdx(name)
            expression = f"({expression})" if " " in expression and "WITH" not in expression else expression
            if expression not in expressions:
                expressions.append(expression)
        result.append(dict(entry, package=package, version=version, arch=arch, terms=terms,
                           license=checked(" AND ".join(expressions))))
    return result


def notices(components, version, commit):
    lines = [f"THIRD-PARTY NOTICES for tarnel {version} (commit {commit})", "",
             "tarnel.exe is linked statically: besides tarnel's own code (MIT, see LICENSE) it contains parts of",
             "the components below. Their licences ask that these notices go with every copy of the executable.",
             "Each component lists the Debian package it was taken from and the copyright and licence terms of",
             "that package's copyright file that cover it; the licence texts follow at the end.", ""]
    texts = {}
    for c in components:
        component = c["component"]
        if component.ours:
            continue
        lines += ["=" * 78, f"{component.name}: {component.description}",
                  f"Debian package: {c['package']} {c['version']}", f"License: {c['license']}",
                  f"Linked: {len(c['members'])} objects from "
                  + ", ".join(sorted({os.path.basename(p) for p in c["files"]})),
                  ""]
        for copyright_lines, name, used in c["terms"]:
            # One licence name may stand for different texts (each BSD licence names its own holder).
            labels = [texts.setdefault((single, text), f"[{len(texts) + 1}]") for single, text in used]
            for number, line in enumerate(copyright_lines):
                lines += textwrap.wrap(line, 100, initial_indent="  Copyright: " if number == 0 else " " * 13,
                                       subsequent_indent=" " * 13)
            lines += [f"  License: {name} (text {', '.join(labels)} below)", ""]
    lines += ["=" * 78, "LICENCE TEXTS", ""]
    for (single, text), label in texts.items():
        lines += ["-" * 78, f"{label} {single}", ""]
        lines += [text if text else "(the copyright file gives no further text for this licence)", ""]
    return "\n".join(lines).rstrip("\n") + "\n"


def sbom(components, version, commit, created, exe_sha256):
    """CycloneDX 1.6: tarnel in metadata.component, what is linked into it in the top-level components (the
    array that every consumer imports), and a dependency graph from the launcher to them."""
    parts = []
    for c in components:
        if c["component"].ours:
            continue
        parts.append({
            "type": "library",
            "bom-ref": f"tarnel-component-{c['component'].name}",
            "name": c["component"].name,
            "version": c["version"],
            "description": c["component"].description,
            "licenses": [{"expression": c["license"]}],
            "purl": f"pkg:deb/debian/{c['package']}@{c['version']}?arch={c['arch']}",
            "properties": [{"name": "tarnel:linkage", "value": "static"},
                           {"name": "tarnel:debian-package", "value": c["package"]}]
                          + [{"name": "tarnel:linked-object", "value": m} for m in sorted(c["members"])],
        })
    # The serial number names this document: the same commit and executable always give the same one.
    serial = uuid.uuid5(uuid.NAMESPACE_URL, f"urn:tarnel:{commit}:{exe_sha256}")
    document = {
        "bomFormat": "CycloneDX",
        "specVersion": "1.6",
        "serialNumber": f"urn:uuid:{serial}",
        "version": 1,
        "metadata": {
            "timestamp": created,
            "component": {
                "type": "application",
                "bom-ref": "tarnel",
                "name": "tarnel",
                "version": version,
                "description": "Windows launcher for a Python application with its own interpreter (tarnel.exe, "
                               "unsigned)",
                "hashes": [{"alg": "SHA-256", "content": exe_sha256}],
                "licenses": [{"license": {"id": "MIT"}}],
                "properties": [{"name": "tarnel:commit", "value": commit}],
            },
        },
        "components": parts,
        "dependencies": [{"ref": "tarnel", "dependsOn": [p["bom-ref"] for p in parts]}]
                        + [{"ref": p["bom-ref"]} for p in parts],
    }
    return json.dumps(document, indent=2, ensure_ascii=False) + "\n"


def write(map_path, exe_path, version, commit, time, notices_path, sbom_path):
    """Writes the notices and the SBOM of the executable linked with this map. NoticesError if any part of
    it is unaccounted for or an argument is malformed (then nothing is written), OSError if a file is."""
    if not re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", time):
        raise NoticesError(f"time {time!r}: expected YYYY-MM-DDTHH:MM:SSZ")
    if not re.fullmatch(r"[0-9a-f]{40}|[0-9a-f]{64}", commit):
        raise NoticesError(f"commit {commit!r}: expected a full commit id in hexadecimal")
    components = inventory(map_path)
    with open(exe_path, "rb") as f:
        exe_sha256 = hashlib.sha256(f.read()).hexdigest()
    with open(notices_path, "w", encoding="utf-8", newline="\n") as f:
        f.write(notices(components, version, commit))
    with open(sbom_path, "w", encoding="utf-8", newline="\n") as f:
        f.write(sbom(components, version, commit, time, exe_sha256))


def command(args):
    parser = argparse.ArgumentParser(prog="notices", description=__doc__.split("\n")[0])
    parser.add_argument("map")
    parser.add_argument("--list", action="store_true", help="print each linked object and its component")
    for name in ("exe", "version", "commit", "notices", "sbom"):
        parser.add_argument("--" + name)
    parser.add_argument("--time", help="the commit's time, ISO 8601 in UTC")
    options = parser.parse_args(args)
    missing = [name for name in ("exe", "version", "commit", "time", "notices", "sbom") if not getattr(options, name)]
    if missing and not options.list:
        parser.error("needs --" + ", --".join(missing))
    try:
        if not options.list:
            write(options.map, options.exe, options.version, options.commit, options.time, options.notices,
                  options.sbom)
            return 0
        for c in inventory(options.map):
            print(f"{c['component'].name}\t{c['package'] or '-'}\t{c['version'] or '-'}\t{c['license']}")
            for member in sorted(c["members"]):
                print(f"  {member}")
        return 0
    except (NoticesError, OSError) as error:
        print("notices: " + visible(error, 2000), file=sys.stderr)
        return 1
