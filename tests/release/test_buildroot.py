"""The build root: the released build is the tested one, a release stays verifiable from its own .deb files
with no archive at all, an archive that has moved on gives COULD NOT CHECK before any build, a commit on no
branch or tag is refused before any of its code runs, and a damaged cached root is noticed."""
import hashlib
import re
import zipfile

import pytest
from conftest import BUILD, git_commit, must, unavailable

from release import buildroot


def buildinfo(zip_path):
    with zipfile.ZipFile(zip_path) as z:
        return z.read("BUILDINFO").decode()


def test_the_tested_build_is_the_released_one(unsigned_zip):
    """The developer build on this machine and the build root's build of the same sources: one executable."""
    tested = BUILD / "tarnel.exe"
    if not tested.is_file():
        unavailable("%s is missing: build the tarnel target first" % tested)
    released = re.search(r"^unsigned-sha256: ([0-9a-f]{64})$", buildinfo(unsigned_zip), re.M).group(1)
    assert hashlib.sha256(tested.read_bytes()).hexdigest() == released


@pytest.fixture(scope="module")
def kept_debs(repo, work):
    """A release made with --keep-debs: the zip and the folder of its root's .deb files."""
    folder = work / "kept-debs"
    ran, made = repo.release("--keep-debs", folder)
    ran.expect(0, r"the build root's \d+ \.deb files")
    return made, folder


def test_with_the_archive_gone_a_release_could_not_be_checked_before_any_build(kept_debs, repo, tmp_path):
    empty = tmp_path / "empty-archive"
    empty.mkdir()
    ran = repo.verify(kept_debs[0], "--mirror", "file://%s" % empty, env={"XDG_CACHE_HOME": str(tmp_path)})
    ran.expect(2, r"could not check: the build root cannot be made: \S+ \S+ \(\w+\) is in none of the package "
                  r"sources.*--debs DIR.*--mirror URL", "!building", "!VERIFIED")


def test_with_the_archive_gone_the_kept_debs_verify_with_no_network(kept_debs, repo, tmp_path):
    zip_path, debs = kept_debs
    empty = tmp_path / "empty-archive"
    empty.mkdir()
    ran = repo.verify(zip_path, "--mirror", "file://%s" % empty, "--debs", debs,
                      env={"XDG_CACHE_HOME": str(tmp_path)})
    ran.expect(0, "making the build root", "zip: +the same bytes", "^VERIFIED")
    # A .deb that is not the one the release recorded is not taken for it.
    victim = sorted(debs.glob("*.deb"))[0]
    victim.write_bytes(victim.read_bytes() + b"\0")
    ran = repo.verify(zip_path, "--mirror", "file://%s" % empty, "--debs", debs,
                      env={"XDG_CACHE_HOME": str(tmp_path / "again")})
    ran.expect(2, r"could not check: .* is in none of the package sources")


def test_a_commit_on_no_branch_or_tag_is_refused_before_its_code_runs(unsigned_zip, repo, work):
    must("git", "-C", repo.path, "checkout", "-q", "--detach")
    try:
        with open(repo.path / "CMakeLists.txt", "a") as f:
            f.write('message(FATAL_ERROR "the unpublished commit\'s code ran")\n')
        unpublished = git_commit(repo.path, "-a", "-m", "a pull request's head, fetched by its id", publish=False)
    finally:
        must("git", "-C", repo.path, "checkout", "-q", "-f", "-")
    with zipfile.ZipFile(unsigned_zip) as z:
        exe = work / "unpublished" / "tarnel.exe"
        exe.parent.mkdir(exist_ok=True)
        exe.write_bytes(z.read("tarnel.exe"))
    cache = work / "unpublished" / "builds"
    cache.mkdir()
    ran = repo.verify(exe, "--rev", unpublished, "--build-cache", cache)
    ran.expect(1, "NOT VERIFIED: failed check\\(s\\): commit \\(%s is on no branch or tag of this repository\\)"
               % unpublished, "!code ran", "!building")
    assert not any(cache.iterdir()), "a build was made"


@pytest.mark.parametrize("damage", ["a file removed", "a file cut short", "never finished"])
def test_a_damaged_or_partial_cached_root_is_noticed_and_removed(damage, tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path))
    folder = buildroot.cache_folder() / "key"
    (folder / "root" / "usr" / "bin").mkdir(parents=True)
    (folder / "root" / "usr" / "bin" / "cc").write_bytes(b"\x7fELF compiler")
    (folder / "root" / "usr" / "bin" / "make").write_bytes(b"\x7fELF make")
    (folder / "packages").write_text("make 4.3-4.1 amd64 %s\n" % ("0" * 64))
    (folder / "complete").write_text(buildroot.tree_fingerprint(folder / "root"))
    assert buildroot.cached("key") is not None
    if damage == "a file removed":
        (folder / "root" / "usr" / "bin" / "make").unlink()
    elif damage == "a file cut short":
        (folder / "root" / "usr" / "bin" / "cc").write_bytes(b"\x7fELF")
    else:
        (folder / "complete").unlink()
    assert buildroot.cached("key") is None
    assert not folder.exists()
