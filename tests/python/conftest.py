"""Markers of the Python tests."""

import sys

import pytest


def pytest_collection_modifyitems(items):
    # linux_only(reason): the test needs what only Linux gives it (/proc, an
    # address-space limit, SIGALRM, a stack limit set before exec); the hosted
    # wheel runs on macOS and Windows skip it with the reason.
    if sys.platform.startswith("linux"):
        return
    for item in items:
        if marker := item.get_closest_marker("linux_only"):
            item.add_marker(pytest.mark.skip(reason=f"needs Linux: {marker.args[0]}"))
