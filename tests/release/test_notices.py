"""The third-party notices and the SBOM against real links of the launcher: the suite's own build, relinks
with a planted library, a build with the win32 thread model, and one more build in another folder.

TARNEL_BUILD_DIR (default <repo>/build) holds the suite's tarnel.exe and its linker map; TARNEL_SOURCE_DIR
(default <repo>) the sources."""
import concurrent.futures
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess

import pytest

from conftest import BUILD, SOURCE, unavailable

from release import notices

COMMIT = "0123456789abcdef0123456789abcdef01234567"
# CycloneDX's own JavaScript library, with the official schemas; spdx-expression-parse as a second opinion.
VALIDATOR = ["@cyclonedx/cyclonedx-library@10.3.0", "ajv@8.17.1", "ajv-formats@3.0.1",
             "ajv-formats-draft2019@1.6.1", "spdx-expression-parse@4.0.0"]



@pytest.fixture(autouse=True)
def linked():
    if not (BUILD / "tarnel.map").is_file():
        unavailable(f"{BUILD / 'tarnel.map'} is missing: build the tarnel target first")


def cli(*args):
    return subprocess.run(["/usr/bin/python3", "-I", str(SOURCE / "release/__main__.py"), "notices", *map(str, args)],
                          capture_output=True, text=True)


def generate(folder, out):
    """Notices, SBOM and listing of the link in folder, as the release makes them."""
    done = cli(folder / "tarnel.map", "--exe", folder / "tarnel.exe", "--version", "1.0.0", "--commit", COMMIT,
               "--time", "2026-01-01T00:00:00Z", "--notices", out.with_suffix(".txt"),
               "--sbom", out.with_suffix(".cdx.json"))
    assert done.returncode == 0, done.stderr
    listing = cli(folder / "tarnel.map", "--list")
    assert listing.returncode == 0, listing.stderr
    return {"notices": out.with_suffix(".txt").read_text(), "sbom": out.with_suffix(".cdx.json"),
            "listing": listing.stdout,
            "components": {line.split("\t")[0]: line.split("\t")[1:] for line in listing.stdout.splitlines()
                           if not line.startswith(" ")}}


def launcher_build(folder, *options):
    """None, or why the launcher alone could not be built in folder."""
    folder.parent.mkdir(parents=True, exist_ok=True)
    for step in (["cmake", "-S", SOURCE, "-B", folder, f"-DCMAKE_TOOLCHAIN_FILE={SOURCE}/cmake/mingw-w64-x86_64.cmake",
                  "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DTARNEL_TESTS=OFF", "-DTARNEL_BENCH=OFF", *options],
                 ["cmake", "--build", folder, "--target", "tarnel", "-j", "1"]):
        done = subprocess.run(list(map(str, step)), capture_output=True, text=True)
        if done.returncode:
            return f"{shlex.join(map(str, step))} failed:\n{done.stdout[-3000:]}{done.stderr[-3000:]}"
    return None


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    return tmp_path_factory.mktemp("notices")


@pytest.fixture(scope="module")
def own(scratch):
    return generate(BUILD, scratch / "own")


@pytest.fixture(scope="module")
def builds(scratch):
    """The win32 thread model's build and a second build of the suite's configuration in a deeper folder,
    side by side (one core each)."""
    folders = {"win32": (scratch / "win32", "-DTARNEL_THREADS=win32"), "elsewhere": (scratch / "second" / "deeper",)}
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        errors = dict(zip(folders, pool.map(lambda args: launcher_build(*args), folders.values())))
    for name, error in errors.items():
        if error:
            pytest.fail(f"the {name} build: {error}")
    return {name: generate(args[0], scratch / f"{name}-out") for name, args in folders.items()}


# Ways to break an SBOM that the validator must refuse: a hash algorithm the schema does not know, a
# licence expression that is no SPDX expression, a component without a name.
BREAKS = {
    "hash algorithm": lambda bom: bom["metadata"]["component"]["hashes"][0].update(alg="SHA-257"),
    "licence expression": lambda bom: bom["components"][0]["licenses"][0].update(expression="MIT AND expat"),
    "component name": lambda bom: bom["components"][0].pop("name"),
}


@pytest.fixture(scope="module")
def verdicts(own, builds, scratch):
    """The validator's line for each SBOM: the suite's, the win32 build's and the broken ones, in one run."""
    if not shutil.which("npm"):
        pytest.fail("precondition: npm is missing (dev/deps.sh installs it)")
    tools = BUILD / "sbom-tools"
    installed = tools / "node_modules/@cyclonedx/cyclonedx-library/package.json"
    if not (installed.is_file() and '"version": "10.3.0"' in installed.read_text()
            and (tools / "node_modules/spdx-expression-parse/package.json").is_file()):
        done = subprocess.run(["bash", "-c", 'tarnel_need=(); source "$0"; tarnel_npm_install "$@"',
                               SOURCE / "dev/deps.sh", tools, *VALIDATOR], capture_output=True, text=True)
        if done.returncode:
            pytest.fail(f"precondition: could not install the SBOM validator with npm:\n{done.stderr[-2000:]}")
    files = {"own": own["sbom"], "win32": builds["win32"]["sbom"]}
    for name, break_it in BREAKS.items():
        bom = json.loads(own["sbom"].read_text())
        break_it(bom)
        files[name] = scratch / f"broken-{name.replace(' ', '-')}.cdx.json"
        files[name].write_text(json.dumps(bom))
    done = subprocess.run(["node", SOURCE / "tests/validate_sbom.js", *files.values()], capture_output=True,
                          text=True, env=dict(os.environ, NODE_PATH=str(tools / "node_modules")))
    lines = (done.stdout + done.stderr).splitlines()
    return {name: next((line for line in lines if line.startswith(f"{path}: ")), done.stderr)
            for name, path in files.items()}


def test_own_link_fully_accounted(own):
    names = list(own["components"])
    assert names == [c.name for c in notices.COMPONENTS if c.name in names]
    assert {"tarnel", "libgcc", "mingw-w64-crt"} <= set(names), names
    for name, (package, version, expression) in own["components"].items():
        assert name == "tarnel" or "-" not in (package, version) and expression, name
    # The map read a second way: each archive member and input object, as archive(member) or object.
    text = (BUILD / "tarnel.map").read_text(errors="replace")
    head = text.split("\nDiscarded input sections")[0].splitlines()[1:]
    in_map = {f"{m[1]}({m[2]})" for m in map(re.compile(r"^(?:[^ (]*/)?([^ /(]+)\(([^)]+)\)").match, head) if m}
    in_map |= set(re.findall(r"^LOAD (?:/[^ ]*/)?([^ /]+\.o(?:bj)?)$", text, re.M))
    listed = {line.strip() for line in own["listing"].splitlines() if line.startswith("  ")}
    assert listed == in_map


# What the licences ask to go with a binary, for each component when it is linked: winpthreads' MIT and
# Lockless Inc.'s BSD text in its headers, mingw-w64's ZPL and gdtoa's, GCC's runtime exception.
@pytest.mark.parametrize("component, wanted", [
    ("winpthreads", ["Copyright: 2011-2016 mingw-w64 project", "Copyright: 2010 Lockless Inc."]),
    ("mingw-w64-crt", ["Copyright: 2009-2016 the mingw-w64 project", "Copyright: 1997-2001 Lucent Technologies",
                       "Redistributions in binary form must reproduce the accompanying"]),
    ("libgcc", ["GCC RUNTIME LIBRARY EXCEPTION", "GNU GENERAL PUBLIC LICENSE"]),
])
def test_notices_carry_terms(own, component, wanted):
    if component not in own["components"]:
        pytest.skip(f"{component} is not linked in this build")
    assert [text for text in wanted if text.lower() not in own["notices"].lower()] == []


def test_every_referenced_text_present_and_none_unreferenced(own):
    text = own["notices"]
    assert "gives no further text" not in text
    referenced = {label for line in re.findall(r"^  License: .*$", text, re.M)
                  for label in re.findall(r"\[\d+\]", line)}
    assert referenced and referenced == set(re.findall(r"^(\[\d+\]) ", text, re.M))


def relink(scratch, name):
    """The launcher's own link, as CMake runs it, with one more static library (whole, as the launcher's
    objects are) holding one planted object; the map it gives."""
    (scratch / "planted.c").write_text("int planted_value = 42;\n")
    subprocess.run(["x86_64-w64-mingw32-gcc", "-c", scratch / "planted.c", "-o", scratch / "planted.o"], check=True)
    (scratch / name).unlink(missing_ok=True)
    subprocess.run(["x86_64-w64-mingw32-ar", "rcs", scratch / name, scratch / "planted.o"], check=True)
    link_txt = BUILD / "CMakeFiles/tarnel.dir/link.txt"
    if not link_txt.is_file():
        pytest.fail(f"precondition: {link_txt} is missing (the launcher's link line, from a Makefile build)")
    line = next(line for line in link_txt.read_text().splitlines() if "-Wl,-Map=" in line)
    for pattern, replacement in ((r"-Wl,-Map=\S+", f"-Wl,-Map={scratch / name}.map"), (r" -Wl,--out-implib,\S+", ""),
                                 (r" -o \S+", f" -o {scratch / 'planted.exe'}"),
                                 (r" CMakeFiles/tarnel\.dir/objects\.a ", f"\\g<0>{scratch / name} ")):
        line, count = re.subn(pattern, replacement, line)
        assert count == 1 or not replacement, f"{pattern} not once in the launcher's link line"
    subprocess.run(shlex.split(line), cwd=BUILD, check=True)
    return scratch / f"{name}.map"


def planted_line(scratch):
    lines = (BUILD / "tarnel.map").read_text(errors="replace").splitlines(keepends=True)
    (scratch / "planted.map").write_text(lines[0] + "/usr/lib/x86_64-linux-gnu/libz.a(inflate.o)\n" + "".join(lines[1:]))
    return scratch / "planted.map"


@pytest.mark.parametrize("make_map, refusal", [
    (planted_line, "libz.a(inflate.o)"),
    (lambda scratch: relink(scratch, "libplanted.a"), "libplanted.a(planted.o)"),
    (lambda scratch: relink(scratch, "libmoldname.a"), "libmoldname.a: no Debian package owns it"),
], ids=["planted map line", "unknown library", "known name, no package"])
def test_unaccounted_object_refused(scratch, make_map, refusal):
    done = cli(make_map(scratch), "--list")
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.startswith("notices: ") and done.stderr.count("\n") == 1 and refusal in done.stderr, done.stderr


# A licence name of the copyright files mapped to something that is no SPDX expression, or not at all:
# license-expression in the module refuses it before anything is written.
@pytest.mark.parametrize("mapped, refusal", [
    (None, "has no SPDX mapping"),
    ("zpl-2.1", "not an SPDX licence expression"),           # not as SPDX writes it
    ("ZPL-2.1-expat", "unknown: ZPL-2.1-expat"),             # no such identifier
    ("ZPL-2.1 WITH MIT", "not an SPDX licence expression"),  # a licence where an exception goes
    ("LicenseRef-zope public", "unknown: LicenseRef-zope public"),
])
def test_invalid_expression_refused(monkeypatch, mapped, refusal):
    if mapped is None:
        monkeypatch.delitem(notices.SPDX, "ZPL-2.1")
    else:
        monkeypatch.setitem(notices.SPDX, "ZPL-2.1", mapped)  # mingw-w64's own licence: always linked
    with pytest.raises(notices.NoticesError, match=re.escape(refusal)):
        notices.inventory(BUILD / "tarnel.map")


def test_win32_build_lists_what_it_links(own, builds):
    win32 = builds["win32"]
    for name, result in (("posix", own), ("win32", win32)):
        third_party = [c for c in result["components"] if c != "tarnel"]
        headers = re.findall(r"^=+\n([^ :]+): ", result["notices"], re.M)
        bom = json.loads(result["sbom"].read_text())
        assert headers == third_party, name
        assert [c["name"] for c in bom["components"]] == third_party, name
        assert ("Lockless" in result["notices"]) == ("winpthreads" in third_party), name
        for component in ("libstdc++", "libgcc"):
            if component in third_party:
                assert result["components"][component][0].endswith(f"-x86-64-{name}"), (name, component)
    assert any(package.endswith("-x86-64-win32") for package, _, _ in win32["components"].values()), \
        "the win32 build names no package of the win32 compiler"


def test_sbom_describes_tarnel_and_its_components(own):
    bom = json.loads(own["sbom"].read_text())
    tarnel = bom["metadata"]["component"]
    assert (tarnel["name"], tarnel["version"], tarnel["licenses"]) == ("tarnel", "1.0.0", [{"license": {"id": "MIT"}}])
    exe_sha256 = hashlib.sha256((BUILD / "tarnel.exe").read_bytes()).hexdigest()
    assert tarnel["hashes"] == [{"alg": "SHA-256", "content": exe_sha256}]
    assert {"name": "tarnel:commit", "value": COMMIT} in tarnel["properties"] and "components" not in tarnel
    refs = [c["bom-ref"] for c in bom["components"]]
    assert bom["dependencies"] == [{"ref": "tarnel", "dependsOn": refs}] + [{"ref": r} for r in refs]
    for c in bom["components"]:
        assert c["version"] and c["licenses"][0]["expression"] and c["purl"].startswith("pkg:deb/debian/"), c
        assert {"name": "tarnel:linkage", "value": "static"} in c["properties"], c["name"]


@pytest.mark.parametrize("name", ["own", "win32", *BREAKS])
def test_sbom_by_cyclonedx_validator(verdicts, name):
    valid = name in ("own", "win32")
    assert re.search(r": valid CycloneDX 1\.6$" if valid else r": NOT valid", verdicts[name]), verdicts[name]


def test_two_builds_in_different_folders_same_bytes(own, builds):
    elsewhere = builds["elsewhere"]
    assert elsewhere["notices"] == own["notices"]
    assert elsewhere["sbom"].read_bytes() == own["sbom"].read_bytes()
