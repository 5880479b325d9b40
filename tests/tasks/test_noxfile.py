"""The checks the tasks make of the tree: the changelog, the pins, the
reproducibility report, the invariant-check marker and the clean copy; and
what the portability and packaging tasks read from their tools' output."""

import pathlib
import subprocess
import sys
import zipfile

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2]))
import noxfile  # noqa: E402

HEAD = "# Changelog\n\nText.\n\n"


@pytest.mark.parametrize(
    ("text", "problem"),
    [
        (HEAD + "## [Unreleased]\n\n## [1.2.0] - 2026-01-02\n", None),
        (HEAD + "## [1.2.0] - Unreleased\n", None),
        (HEAD + "## [1.1.0] - 2026-01-02\n", "no section for version 1.2.0"),
        (HEAD + "## [1.2.0]\n", "no ' - YYYY-MM-DD' date"),
        (HEAD + "## [1.2.0] - 2 Jan 2026\n", "no ' - YYYY-MM-DD' date"),
        (HEAD + "## [1.2.0] - 2026-01-02\n## [1.2.0] - 2026-01-01\n", "a section twice"),
        ("# Changes\n\n## [1.2.0] - 2026-01-02\n", "does not start with"),
    ],
)
def test_changelog_problem(text, problem):
    found = noxfile.changelog_problem(text, "1.2.0")
    assert found is None if problem is None else problem in found


def test_the_changelog_has_the_projects_version():
    assert noxfile.project_version() == "0.1.0"
    assert noxfile.changelog_problem((noxfile.ROOT / "CHANGELOG.md").read_text(), "0.1.0") is None


@pytest.mark.parametrize(
    ("pins", "unpinned"),
    [
        ("# header\nnox==1.0\nruff==0.1\n", []),
        ("nox==1.0\n", ["ruff"]),
        ("nox==1.0\nruff>=0.1\n", ["ruff"]),
        ("Nox==1.0\nruff==0.1,<1\n", ["ruff"]),
    ],
)
def test_unpinned_requirements(tmp_path, monkeypatch, pins, unpinned):
    (tmp_path / "constraints.txt").write_text(pins)
    monkeypatch.setattr(noxfile, "CONSTRAINTS", tmp_path / "constraints.txt")
    monkeypatch.setattr(noxfile, "groups", lambda *names: ["nox>=2025", "ruff"])
    assert noxfile.unpinned_requirements() == unpinned


def make_wheel(path, members, date=(2026, 1, 2, 3, 4, 6)):
    with zipfile.ZipFile(path, "w") as whl:
        for name, data in members:
            whl.writestr(zipfile.ZipInfo(name, date), data)
    return path


@pytest.mark.parametrize(
    ("second", "date", "said"),
    [
        ([("a.so", b"x"), ("b.txt", b"y")], (2026, 1, 2, 3, 4, 6), None),
        ([("a.so", b"z"), ("b.txt", b"y")], (2026, 1, 2, 3, 4, 6), "a.so: contents differ"),
        ([("a.so", b"x"), ("b.txt", b"y")], (2026, 1, 2, 3, 4, 8), "a.so: timestamp or permissions differ"),
        ([("b.txt", b"y"), ("a.so", b"x")], (2026, 1, 2, 3, 4, 6), "the members are in another order"),
        ([("a.so", b"x")], (2026, 1, 2, 3, 4, 6), "only in one wheel: b.txt"),
    ],
)
def test_wheel_difference(tmp_path, second, date, said):
    first = make_wheel(tmp_path / "first.whl", [("a.so", b"x"), ("b.txt", b"y")])
    other = make_wheel(tmp_path / "second.whl", second, date)
    found = noxfile.wheel_difference(first, other)
    assert found is None if said is None else said in found


def test_checks_invariants_reads_the_binary(tmp_path):
    (tmp_path / "on.so").write_bytes(b"\0\0tolvane: invariant broken: %s\n\0")
    (tmp_path / "off.so").write_bytes(b"\0\0tolvane: something else\0")
    assert noxfile.checks_invariants(tmp_path / "on.so")
    assert not noxfile.checks_invariants(tmp_path / "off.so")


def test_wheel_checks_invariants_reads_the_module_inside(tmp_path):
    on = make_wheel(
        tmp_path / "on.whl",
        [("x.txt", b"tolvane: invariant broken: "), ("_tolvane.so", b"\0tolvane: invariant broken: %s\0")],
    )
    off = make_wheel(tmp_path / "off.whl", [("x.txt", b"tolvane: invariant broken: "), ("_tolvane.so", b"\0\0")])
    assert noxfile.wheel_checks_invariants(on)
    assert not noxfile.wheel_checks_invariants(off)


def test_copy_tracked_takes_the_tracked_files_only(tmp_path, monkeypatch):
    repo = tmp_path / "repo"
    (repo / "src" / "with space").mkdir(parents=True)
    for name in ("a.txt", "src/b.cpp", "src/with space/c.h", "untracked.txt", "build/out.o"):
        (repo / name).parent.mkdir(parents=True, exist_ok=True)
        (repo / name).write_text(name)
    subprocess.run(["git", "init", "-q", str(repo)], check=True)
    subprocess.run(["git", "-C", str(repo), "add", "a.txt", "src"], check=True)
    monkeypatch.setattr(noxfile, "ROOT", repo)
    copy = noxfile.copy_tracked(tmp_path / "copy")
    copied = sorted(str(p.relative_to(copy)) for p in copy.rglob("*") if p.is_file())
    assert copied == ["a.txt", "src/b.cpp", "src/with space/c.h"]
    assert (copy / "src" / "with space" / "c.h").read_text() == "src/with space/c.h"


@pytest.mark.parametrize(
    ("output", "counts"),
    [
        ("[==========] 64 tests from 24 test suites ran. (142 ms total)\n[  PASSED  ] 64 tests.\n", (64, 0)),
        ("[  PASSED  ] 1 test.\n", (1, 0)),
        ("[  PASSED  ] 62 tests.\n[  FAILED  ] 2 tests, listed below:\n[  FAILED  ] A.B\n", (62, 2)),
        ("[  FAILED  ] 3 tests, listed below:\n", (0, 3)),
        ("Segmentation fault\n", None),
        ("  [  PASSED  ] 5 tests.\n", None),  # only at the start of a line
    ],
)
def test_gtest_counts(output, counts):
    assert noxfile.gtest_counts(output) == counts


@pytest.mark.parametrize(
    ("output", "passed"),
    [
        ("....\n352 passed in 20.71s\n", 352),
        ("F.\n1 failed, 351 passed in 20.71s\n", 351),
        ("351 passed, 1 skipped in 3s", 351),
        ("", 0),
        ("12 passed earlier\nERROR: no tests ran\n", 0),  # the closing line only
    ],
)
def test_pytest_passed(output, passed):
    assert noxfile.pytest_passed(output) == passed


@pytest.mark.parametrize(
    ("show", "policy"),
    [
        ('is consistent with the\nfollowing platform tag: "manylinux_2_17_x86_64".', (2, 17)),
        ('following platform tag: "manylinux_2_34_aarch64".', (2, 34)),
        ('following platform tag: "linux_x86_64".', None),
        ("", None),
    ],
)
def test_manylinux_policy(show, policy):
    assert noxfile.manylinux_policy(show) == policy


@pytest.mark.parametrize(
    ("header", "arch"),
    [
        (bytes.fromhex("cffaedfe0c000001"), "arm64"),
        (bytes.fromhex("cffaedfe07000001"), "x86_64"),
        (bytes.fromhex("cffaedfe12000000"), None),  # a 64-bit Mach-O of another CPU
        (bytes.fromhex("cefaedfe07000000"), None),  # 32-bit Mach-O
        (b"\x7fELF\x02\x01\x01\x00", None),
        (b"MZ", None),
    ],
)
def test_macho_arch(tmp_path, header, arch):
    (tmp_path / "exe").write_bytes(header + bytes(24))
    assert noxfile.macho_arch(tmp_path / "exe") == arch


def test_macos_cross_builds_target_the_hosted_deployment_versions():
    overrides = noxfile.PYPROJECT["tool"]["cibuildwheel"]["overrides"]
    hosted = {o["select"].removeprefix("*-macosx_"): o["environment"]["MACOSX_DEPLOYMENT_TARGET"] for o in overrides}
    assert hosted == noxfile.MACOS_DEPLOYMENT
    targets = {t[3] for t in noxfile.CROSS_TARGETS if t[0].startswith("macos-")}
    assert targets == {"aarch64-macos.11.0", "x86_64-macos.10.15"}
