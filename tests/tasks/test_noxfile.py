"""What the tasks check of the tree that no tool checks: that constraints.txt
pins every package the dependency groups name."""

import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2]))
import noxfile  # noqa: E402

GROUPS = {"dependency-groups": {"lint": ["nox>=2025", "ruff"], "bench-torch": ["torch==2.13.0"]}}


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
    monkeypatch.setattr(noxfile, "PYPROJECT", GROUPS)
    assert noxfile.unpinned_requirements() == unpinned
