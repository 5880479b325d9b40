"""Markers of the Python tests."""

import pathlib
import sys

import pytest

import _tolvane

# A module built with clang and the system's shared libc++ links LLVM's
# libunwind, which can crash while it unwinds when malloc fails
# (llvm/llvm-project#198323 mends one such write). The wheels, which link
# their own in, and GCC builds pass these tests.
SYSTEM_LIBUNWIND = b"libunwind.so" in pathlib.Path(_tolvane.__file__).read_bytes()


def pytest_collection_modifyitems(items):
    # linux_only(reason): the test needs what only Linux gives it (/proc, an
    # address-space limit, SIGALRM, a stack limit set before exec); the hosted
    # wheel runs on macOS and Windows skip it with the reason.
    # raises_out_of_memory: the module raises while memory is exhausted.
    for item in items:
        if (marker := item.get_closest_marker("linux_only")) and not sys.platform.startswith("linux"):
            item.add_marker(pytest.mark.skip(reason=f"needs Linux: {marker.args[0]}"))
        if item.get_closest_marker("raises_out_of_memory") and SYSTEM_LIBUNWIND:
            reason = "the system's LLVM libunwind crashes when malloc fails (llvm/llvm-project#198323)"
            item.add_marker(pytest.mark.skip(reason=reason))
