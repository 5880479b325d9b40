import importlib.metadata
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest
from harness import run

import _tolvane

# Names the module body creates, in creation order (the interpreter adds the
# import-system dunders around them).
MODULE_NAMES = [
    "__version__",
    "Dtype",
    "FLOAT32",
    "INT32",
    "FLOAT64",
    "INT64",
    "Device",
    "CPU",
    "CUDA",
    "HIP",
    "float32",
    "int32",
    "float64",
    "int64",
    "cpu",
    "Tensor",
    "execute",
]


def test_attributes():
    assert _tolvane.__doc__ == "Tolvane doc"
    assert _tolvane.__version__ == "0.1.0"


def test_namespace_order():
    ours = [name for name in vars(_tolvane) if not (name.startswith("__") and name != "__version__")]
    expected = [name for name in MODULE_NAMES if hasattr(_tolvane, name)]
    assert ours == expected


def test_reimport_gives_the_same_module():
    module = sys.modules.pop("_tolvane")
    try:
        import _tolvane as again

        assert again is module
    finally:
        sys.modules["_tolvane"] = module


def test_loaded_from_site_packages():
    # The tests must exercise the installed module, never a build folder.
    assert "site-packages" in pathlib.Path(_tolvane.__file__).parts


def test_distribution_names_its_source():
    # Problem reports quote this line: the version, and the commit of a build
    # from a git checkout.
    text = importlib.metadata.distribution("tolvane").read_text("source.txt")
    assert re.fullmatch(
        rf"tolvane {re.escape(_tolvane.__version__)} from "
        r"(commit (v[\w.]+-\d+-g)?[0-9a-f]{40}(-dirty)?|a source tree without git history \(an sdist or a copy\))\n",
        text or "",
    ), text


def _python312():
    candidates = [shutil.which("python3.12")]
    pyenv = shutil.which("pyenv")
    if pyenv:
        prefix = subprocess.run([pyenv, "prefix", "3.12"], capture_output=True, text=True).stdout.strip()
        if prefix:
            candidates.append(os.path.join(prefix.splitlines()[0], "bin", "python3.12"))
    for candidate in candidates:
        if candidate and run("pass", python=candidate, check=False).returncode == 0:
            return candidate
    return None


def test_other_interpreter_is_refused():
    python = _python312()
    if python is None:
        pytest.skip("no CPython 3.12 on this machine to try the module in")
    out = run(
        """
        import importlib.util, os, sys
        sys.setdlopenflags(os.RTLD_LAZY)
        found = importlib.util.spec_from_file_location("_tolvane", sys.argv[1])
        try:
            importlib.util.module_from_spec(found)
        except ImportError as e:
            print(e)
            print(sys.version)
        else:
            print("imported")
        """,
        _tolvane.__file__,
        python=python,
    )
    message, version = out.stdout.split("\n", 1)
    assert message == (
        "Python version mismatch: module was compiled for Python 3.13, "
        f"but the interpreter version is incompatible: {version.rstrip()}."
    )


def test_tensor_member_order():
    members = [
        "__init__",
        "zeros",
        "ones",
        "shape",
        "strides",
        "dtype",
        "device",
        "offset",
        "numel",
        "nbytes",
        "allocated",
        "is_contiguous",
        "contiguous",
        "view",
        "reshape",
        "__add__",
        "__repr__",
    ]
    assert [name for name in vars(_tolvane.Tensor) if name in members] == members
