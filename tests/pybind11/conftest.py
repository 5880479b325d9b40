"""The pybind11 patches' own tests: each test_<NNNN>_<what>.py runs its
reproducers against the module m<NNNN> built from test_<NNNN>_<what>.cpp,
each in an interpreter of its own (the Python tests' harness), so that a
crash shows as one. ./dev test builds the modules against the patched tree;
./dev canary against the pristine release, where each patch's fault must
show."""

import os
import pathlib
import sys

import pytest

# The harness's interpreters import the built modules.
MODULES = os.environ.get("TOLVANE_PATCH_TEST_MODULES")
if MODULES:
    os.environ["PYTHONPATH"] = MODULES
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))


def pytest_collection_modifyitems(items):
    for item in items:
        if MODULES is None:
            item.add_marker(pytest.mark.skip(reason="TOLVANE_PATCH_TEST_MODULES names no built modules"))
        if (marker := item.get_closest_marker("linux_only")) and not sys.platform.startswith("linux"):
            item.add_marker(pytest.mark.skip(reason=f"needs Linux: {marker.args[0]}"))
