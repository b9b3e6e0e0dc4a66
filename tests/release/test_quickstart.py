"""The README's quick start, typed as a new publisher types it: in a fresh clone of the scratch repository, with
a home of its own (where the throwaway key must land), each command's status checked. The build root is taken
from the caller's cache, so that the test does not make a second one."""
import os
import re
import subprocess
from pathlib import Path

import pytest
from conftest import unavailable

MARK = "<!-- quick start: tests/release/test_quickstart.py runs this block as it stands -->"
PASSWORD = "throwaway test password\n"  # what the reader of the quick start types at its prompt


def quick_start(readme):
    """The commands of the marked block, a continued line joined to its command."""
    readme = readme.read_text()
    assert MARK in readme, "README.md lost the quick start's mark"
    block = re.match(r"\s*```sh\n(.*?)\n```", readme.split(MARK, 1)[1], re.S)
    assert block, "the quick start's mark is not followed by a ```sh block"
    return [line for line in block[1].replace("\\\n", "").splitlines() if line.strip()]


def run(script, cwd, home, timeout=3600):
    env = {k: v for k, v in os.environ.items() if k != "TARNEL_SIGN_PASSWORD"}
    env["XDG_CACHE_HOME"] = env.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    env["HOME"] = str(home)
    return subprocess.run(["bash", "-c", script], cwd=cwd, env=env, input=PASSWORD, text=True,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout)


@pytest.fixture(scope="module")
def clone(repo, tmp_path_factory):
    if os.geteuid() != 0:
        unavailable("the quick start runs as root (its scripts install what they lack)")
    top = tmp_path_factory.mktemp("quickstart")
    home, clone = top / "home", top / "tarnel"
    home.mkdir()
    subprocess.run(["git", "clone", "--quiet", str(repo.path), str(clone)], check=True)
    (clone / "app.ico").write_bytes((clone / "res" / "tarnel.ico").read_bytes())
    commands = quick_start(clone / "README.md")  # the clone's: the page of the tree it runs
    # Each command is followed by a line with its status; bash's state (the exported password) carries on.
    script = "".join("%s\necho \"quickstart-status %d $?\"\n" % (c, i) for i, c in enumerate(commands))
    out = run(script, clone, home).stdout
    statuses = {int(i): int(s) for i, s in re.findall(r"^quickstart-status (\d+) (\d+)$", out, re.M)}
    failed = [(c, statuses.get(i)) for i, c in enumerate(commands) if statuses.get(i) != 0]
    assert not failed, "quick start commands failed (command, status):\n%s\n%s" % (failed, out[-4000:])
    assert out.endswith("\nVERIFIED\nquickstart-status %d 0\n" % (len(commands) - 1)), out[-4000:]
    return clone, home


def test_quick_start_keeps_the_key_out_of_the_clone(clone):
    clone, home = clone
    assert {p.name for p in (home / "tarnel-test").iterdir()} == {"key.pem", "cert.pem", "test.pfx"}
    status = subprocess.run(["git", "status", "--porcelain"], cwd=clone, capture_output=True, text=True).stdout
    assert status.splitlines() == ["?? app.ico"], status
    assert sorted(p.name for p in (clone / "dist").iterdir()) == ["tarnel-1.1.0-win64-signed.zip",
                                                                  "tarnel-1.1.0-win64.zip"]


@pytest.mark.parametrize("other, status, says", [
    (False, 0, "dist/tarnel-1.1.0-win64.zip"),  # the same bytes again: no loss, no word
    (True, 1, "exists and is not this release"),  # never replaced without a word
])
def test_a_release_replaces_only_its_own_bytes(clone, other, status, says):
    clone, home = clone
    zip_ = clone / "dist" / "tarnel-1.1.0-win64.zip"
    if other:
        zip_.write_bytes(zip_.read_bytes() + b"\0")
    before = zip_.read_bytes()
    result = run("scripts/release.sh --icon app.ico", clone, home)
    assert (result.returncode, says in result.stdout) == (status, True), result.stdout[-4000:]
    assert zip_.read_bytes() == before
