"""The project's tasks, one nox session each; `./dev <task>` runs them.

Each session runs in an environment of its own that nox makes under `.nox/`
and reuses, with the dependency groups of `pyproject.toml` it needs at the
versions `constraints.txt` pins. CMake rebuilds only what changed: the C++
builds through `CMakePresets.json` in `build/<preset>`, the module through
scikit-build-core in `build/py-<flavour>`.
"""

import json
import logging
import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile

import nox
from packaging.requirements import Requirement
from packaging.utils import canonicalize_name

nox.options.reuse_venv = "yes"
nox.options.sessions = ["test"]
# nox looks for uv once per run and reports its absence, which reads like an
# error; the sessions use virtualenv.
logging.getLogger("nox").addFilter(lambda record: record.getMessage() != "uv binary not found.")

ROOT = pathlib.Path(__file__).resolve().parent
BUILD = ROOT / "build"
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
CONSTRAINTS = ROOT / "constraints.txt"  # the exact version of every package the tasks install
PYBIND11 = ROOT / "third_party" / "pybind11"  # the release the module builds against, patched
PATCHES = ROOT / "third_party" / "pybind11-patches"
PATCH_TESTS = ROOT / "tests" / "pybind11"  # each patch's own test module and tests
TOOLCHAINS = ROOT / "cmake" / "toolchains"
GLIBC_BASELINE = "2.28"  # the oldest glibc the Linux wheels run on (manylinux_2_28)
WERROR, CHECKS = "TOLVANE_WERROR=ON", "TOLVANE_CHECK_INVARIANTS=ON"
# The module the tests run: optimised like the wheel, with every record checked
# where it is made (expect_kept ends the process on a broken invariant).
DEV_MODULE = ("dev", WERROR, CHECKS)
CHECKS_MARKER = b"tolvane: invariant broken: "  # expect_kept's message, only in modules that check
TEST_SWITCH = b"TOLVANE_PLAIN_PYBIND11"  # the variable only test builds read
README_RUN = "# run by ./dev package"  # the first line of the README blocks that package runs


def groups(*names):
    return list(nox.project.dependency_groups(PYPROJECT, *names))


def system_cmake():
    """Whether the cmake on PATH is 3.25 or newer, which CMakePresets.json needs."""
    try:
        found = subprocess.run(["cmake", "-E", "capabilities"], capture_output=True, check=True, text=True)
        version = json.loads(found.stdout)["version"]
    except (OSError, subprocess.CalledProcessError, ValueError, KeyError):
        return False
    return (version["major"], version["minor"]) >= (3, 25)


SYSTEM_CMAKE = system_cmake()


def install(session, *names):
    """The dependency groups `names`, at the pinned versions; with "build",
    CMake too where the system has none that will do."""
    names += ("cmake",) if "build" in names and not SYSTEM_CMAKE else ()
    session.install("-c", str(CONSTRAINTS), *groups(*names))


def site_packages(session):
    (found,) = pathlib.Path(session.virtualenv.location).glob("lib/python3*/site-packages")
    return found


def build_module(session, flavour, *defines, settings=(), env=None):
    """Builds _tolvane in build/py-<flavour> with the CMake `defines` (and
    scikit-build-core `settings`) and installs it into the session's
    environment; fails unless the binary checks invariants exactly when
    CHECKS is among the defines."""
    checks = CHECKS in defines
    session.log(f"_tolvane ({flavour}, invariant checks {'on' if checks else 'off'})")
    settings = [f"build-dir={BUILD / f'py-{flavour}'}", *settings, *(f"cmake.define.{d}" for d in defines)]
    session.install("--no-build-isolation", "--no-deps", *(f"-C{s}" for s in settings), str(ROOT), env=env)
    (module,) = site_packages(session).glob("_tolvane.*")
    if (CHECKS_MARKER in module.read_bytes()) != checks:
        session.error(f"the installed _tolvane does not have invariant checks {'on' if checks else 'off'}")


def cmake_workflow(session, preset):
    """The preset's configure and build, quietly, then its tests."""
    session.run("cmake", "--preset", preset, silent=True)
    session.run("cmake", "--build", "--preset", preset, silent=True)
    session.run("ctest", "--preset", preset)


def wheel_module(wheel):
    """The bytes of the _tolvane binary in `wheel`."""
    with zipfile.ZipFile(wheel) as whl:
        (binary,) = [n for n in whl.namelist() if n.startswith("_tolvane.")]
        return whl.read(binary)


def zig_env(session, target):
    """A build with zig's clang and libc++ for `target`, which
    cmake/toolchains/zig.cmake reads. zig (the "cross" group) is installed
    beside nox in .venv and shared by every task: zig keys its cache of the
    libc++ it builds by its own path, so a zig in each session's environment
    would build libc++ again in each, for about two minutes."""
    pip = [sys.executable, "-m", "pip", "install", "-q", "-c", str(CONSTRAINTS)]
    session.run(*pip, *groups("cross"), silent=True, external=True)
    return {
        "TOLVANE_ZIG": str(pathlib.Path(sysconfig.get_path("purelib")) / "ziglang" / "zig"),
        "TOLVANE_ZIG_TARGET": target,
        "CMAKE_TOOLCHAIN_FILE": str(TOOLCHAINS / "zig.cmake"),
    }


def linux_wheel(session, source, out, isolated, env=None):
    """The Linux wheel recipe, here and on the hosted runners: `source` (a tree
    or an sdist) built with zig's clang for the glibc baseline with libc++
    linked in, into `out`/wheel; then repaired by auditwheel to manylinux_2_28
    into `out`/wheelhouse. Returns the built wheel and the repaired one."""
    env = {**zig_env(session, f"{platform.machine()}-linux-gnu.{GLIBC_BASELINE}"), **(env or {})}
    for folder in ("wheel", "wheelhouse"):
        shutil.rmtree(out / folder, ignore_errors=True)
    if isolated:
        session.run("python", "-m", "build", "--wheel", "-o", str(out / "wheel"), str(source), env=env, silent=True)
    else:
        settings = [f"-Cbuild-dir={out / 'wheel-build'}", "--no-build-isolation", "--no-deps"]
        session.run("pip", "wheel", "-q", *settings, "-w", str(out / "wheel"), str(source), env=env, silent=True)
    (built,) = (out / "wheel").glob("*.whl")
    if b"_tolvane_private_libcpp_" not in wheel_module(built):  # pybind11's key names the C++ library
        session.error(f"{built.name}: the module was not built with libc++")
    tag = json.loads(session.run("auditwheel", "show", "--json", str(built), silent=True, stderr=None))["overall_tag"]
    policy = re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", tag)
    if not policy or (int(policy[1]), int(policy[2])) > tuple(map(int, GLIBC_BASELINE.split("."))):
        session.error(f"{built.name} needs more than glibc {GLIBC_BASELINE}: auditwheel finds it {tag}")
    plat = f"manylinux_{GLIBC_BASELINE.replace('.', '_')}_{platform.machine()}"
    session.run("auditwheel", "repair", "--plat", plat, "-w", str(out / "wheelhouse"), str(built), silent=True)
    (repaired,) = (out / "wheelhouse").glob("*.whl")
    session.log(f"{built.name}: consistent with {tag}, repaired to {repaired.name}")
    return built, repaired


def release_build(session, tree, out, wheels, isolated, env=None):
    """The recipe ./dev package and ./dev release-check share: the sdist of
    `tree` into `out`/dist, the Linux wheel built from it (linux_wheel, into
    `wheels`) and that wheel's metadata checked. Returns the sdist, the wheel and
    the repaired wheel."""
    shutil.rmtree(out / "dist", ignore_errors=True)
    isolation = [] if isolated else ["--no-isolation"]
    command = ["python", "-m", "build", "--sdist", *isolation, "-o", str(out / "dist"), str(tree)]
    session.run(*command, env=env, silent=True)
    (sdist,) = (out / "dist").glob("*.tar.gz")
    built, repaired = linux_wheel(session, sdist, wheels, isolated, env)
    with zipfile.ZipFile(repaired) as whl:
        metadata = next(whl.read(n).decode() for n in whl.namelist() if n.endswith(".dist-info/METADATA"))
    expected = ["License-Expression: BSD-3-Clause", "Keywords: tensor"]
    expected += [f"Classifier: {c}" for c in PYPROJECT["project"]["classifiers"]]
    if missing := [line for line in expected if line not in metadata]:
        session.error(f"the wheel's metadata lacks {missing}")
    return sdist, built, repaired


def fresh_env(session, where, *wheels):
    """A new environment at `where` with `wheels` and the test group."""
    shutil.rmtree(where, ignore_errors=True)
    session.run("python", "-m", "venv", str(where))
    python = where / "bin" / "python"
    requirements = ["-c", str(CONSTRAINTS), *map(str, wheels), *groups("test")]
    session.run(str(python), "-m", "pip", "install", *requirements, external=True, silent=True)
    return python


def pytest_outside(session, *pythons, env=None):
    """The Python tests with each of `pythons`, side by side, each from a copy
    of the tests outside the tree, so that only the installed module can be
    imported. Returns the count of tests each passed."""
    runs, passed = [], []
    with tempfile.TemporaryDirectory() as outside:
        for i, python in enumerate(pythons):
            where = pathlib.Path(outside, str(i))
            shutil.copytree(ROOT / "tests" / "python", where / "tests")
            config = ["-c", str(ROOT / "pyproject.toml"), "--rootdir", str(where), "-p", "no:cacheprovider"]
            command = [str(python), "-m", "pytest", "-q", *config, f"--junitxml={where / 'report.xml'}", "tests"]
            session.log(" ".join(command))
            log = open(where / "log", "w+")  # closed once the run ends
            process = subprocess.Popen(command, cwd=where, env={**os.environ, **(env or {})}, stdout=log, stderr=log)
            runs.append((process, log, where))
        failed = False
        for process, log, where in runs:
            failed |= process.wait() != 0
            log.seek(0)
            print(log.read(), end="")
            log.close()
            suite = ET.parse(where / "report.xml").getroot().find("testsuite")
            passed.append(sum(-int(suite.get(k)) for k in ("failures", "errors", "skipped")) + int(suite.get("tests")))
    if failed:
        session.error("the Python tests failed")
    return passed


def copy_tracked(where):
    """The tracked files as the working tree has them, at `where`."""
    commit = subprocess.run(["git", "stash", "create"], cwd=ROOT, capture_output=True, text=True, check=True)
    where.mkdir(parents=True)
    archive = subprocess.run(["git", "archive", commit.stdout.strip() or "HEAD"], cwd=ROOT, capture_output=True)
    subprocess.run(["tar", "-x", "-C", str(where)], input=archive.stdout, check=True)
    return where


@nox.session
def quickstart(session):
    """Build the module (no test tools) and run examples/quickstart.py."""
    install(session, "build")
    build_module(session, "release")
    session.run("python", str(ROOT / "examples" / "quickstart.py"), *session.posargs)


@nox.session(name="test")
def tests(session):
    """The C++ tests, the Python tests (arguments go to pytest), the pybind11 patches' own tests and tests/tasks."""
    install(session, "build", "test", "tasks")  # tests/tasks imports the noxfile
    build_module(session, *DEV_MODULE)
    cmake_workflow(session, "dev")
    # From the test folder, so that the installed module is the one imported.
    session.chdir(ROOT / "tests" / "python")
    pytest = ["pytest", "-q", "-c", str(ROOT / "pyproject.toml"), "--rootdir", str(ROOT)]
    session.run(*pytest, *session.posargs)
    if not session.posargs:
        modules = patch_test_modules(session, PYBIND11, BUILD / "patch-tests")
        env = {"TOLVANE_PATCH_TEST_MODULES": str(modules)}
        session.run(*pytest, "-p", "no:cacheprovider", str(PATCH_TESTS), env=env)
        session.run(*pytest, "-p", "no:cacheprovider", str(ROOT / "tests" / "tasks"))


def generate_stubs(session):
    """The stubs pybind11-stubgen makes from the module, which it reads with
    the fast paths off (it skips a getset descriptor). Shapes and dims take
    entries with __index__ only, which pybind11's integer type does not say."""
    out = BUILD / "stubs"
    shutil.rmtree(out, ignore_errors=True)
    session.run("pybind11-stubgen", "_tolvane", "-o", str(out), env={"TOLVANE_PLAIN_PYBIND11": "1"}, silent=True)
    stub = out / "_tolvane.pyi"
    entries = "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]"
    stub.write_text(stub.read_text().replace(entries, "collections.abc.Sequence[typing.SupportsIndex]"))
    return stub


def unpinned_requirements():
    """The packages the dependency groups name that constraints.txt does not
    pin to one exact version (bench-torch pins its own, for another Python)."""
    lines = [Requirement(s) for s in CONSTRAINTS.read_text().splitlines() if s.strip() and not s.startswith("#")]
    pinned = {canonicalize_name(r.name) for r in lines if [s.operator for s in r.specifier] == ["=="]}
    named = {canonicalize_name(Requirement(r).name) for g in PYPROJECT["dependency-groups"] for r in groups(g)}
    return sorted(named - pinned - {canonicalize_name(Requirement(r).name) for r in groups("bench-torch")})


@nox.session
def lint(session):
    """clang-format, clang-tidy, ruff, stubs, stubtest, mypy, the patched pybind11 tree and the documents."""
    install(session, "build", "lint")
    build_module(session, *DEV_MODULE)
    session.run("cmake", "--preset", "dev", silent=True)  # the compile commands clang-tidy reads
    failed = []

    def check(name, *args):
        session.log(name)
        try:
            session.run(*args, external=True)
        except nox.command.CommandFailed:
            failed.append(name)

    def tracked(*patterns):
        command = ["git", "ls-files", "-z", "--", *patterns, ":!third_party"]
        return subprocess.run(command, cwd=ROOT, capture_output=True, text=True).stdout.strip("\0").split("\0")

    stubtest = ["--mypy-config-file", "pyproject.toml", "--allowlist", "python/stubtest-allowlist.txt"]
    pinned = ["--warn-unused-ignores", "--enable-error-code", "ignore-without-code"]
    check("clang-format", "clang-format", "--dry-run", "--Werror", *tracked("*.cpp", "*.h"))
    check(
        "clang-tidy (core/, graph/)", "clang-tidy", "-p", "build/dev", "--quiet", *tracked("core/*.cpp", "graph/*.cpp")
    )
    # The module's compile commands are those of its build for the tests.
    check("clang-tidy (python/)", "clang-tidy", "-p", str(BUILD / "py-dev"), "--quiet", *tracked("python/*.cpp"))
    check("ruff", "ruff", "check", "--quiet", ".")
    check("ruff format", "ruff", "format", "--check", "--quiet", ".")
    check("type stubs are those the module generates", "diff", "-u", "python/_tolvane.pyi", generate_stubs(session))
    check("stubtest", "python", "-m", "mypy.stubtest", "_tolvane", *stubtest)
    check("mypy --strict on examples/typed.py", "mypy", "--strict", "--no-incremental", "examples/typed.py")
    check(
        "mypy rejects each call in tests/typing/wrong_calls.py with the error pinned beside it",
        *("mypy", "--strict", "--no-incremental", *pinned, "tests/typing/wrong_calls.py"),
    )
    with tempfile.TemporaryDirectory() as scratch:
        rebuilt = pybind11_release(session, pathlib.Path(scratch) / "pybind11")
        check(
            "third_party/pybind11 is the pinned release with the patches applied",
            "diff",
            "-r",
            str(rebuilt),
            str(PYBIND11),
        )
    readme = (ROOT / "README.md").read_text()
    documents = readme + (ROOT / "CONTRIBUTING.md").read_text()
    shown = dict(re.findall(r"```\w+\n(?:#|//) file: (\S+)\n(.*?)```", readme, re.S))
    for example in (ROOT / "examples" / "cpp").iterdir():
        if shown.get(str(example.relative_to(ROOT))) != example.read_text():
            failed.append(f"the README does not show {example.relative_to(ROOT)} exactly")
    if unknown := set(re.findall(r"\./dev ([\w-]+)", documents)) - set(nox.registry.get()) - {"help"}:
        failed.append(f"the documents name unknown tasks {sorted(unknown)}")
    if unpinned := unpinned_requirements():
        failed.append(f"constraints.txt pins no exact version of {unpinned} (./dev bump)")
    regex = PYPROJECT["tool"]["scikit-build"]["metadata"]["version"]["regex"]  # the package's own
    version = re.search(regex, (ROOT / "CMakeLists.txt").read_text())["value"]
    if f"\n## [{version}] - " not in (ROOT / "CHANGELOG.md").read_text():
        failed.append(f"CHANGELOG.md has no section '## [{version}] - <date or Unreleased>'")
    if failed:
        session.error("lint failed: " + ", ".join(failed))


def pybind11_release(session, where, patched=True):
    """The pinned pybind11 release laid out as third_party/pybind11 is
    (include/, share/, LICENSE), with every patch of PATCHES applied, or
    without them."""
    with tempfile.TemporaryDirectory() as wheels:
        session.run("pip", "download", "-q", "--no-deps", "-d", wheels, *groups("pybind11"), silent=True)
        (whl,) = pathlib.Path(wheels).glob("pybind11-*.whl")
        with zipfile.ZipFile(whl) as release:
            for name in release.namelist():
                if name.startswith(("pybind11/include/", "pybind11/share/")) or name.endswith("/LICENSE"):
                    target = where / (name.removeprefix("pybind11/") if name.startswith("pybind11/") else "LICENSE")
                    target.parent.mkdir(parents=True, exist_ok=True)
                    target.write_bytes(release.read(name))
    with session.chdir(where):  # outside the project's git tree, where git apply works on plain files
        for patch in sorted(PATCHES.glob("*.patch")) if patched else []:
            session.run("git", "apply", "--whitespace=nowarn", str(patch), external=True, log=False)
    return where


@nox.session
def pybind11(session):
    """Rebuild third_party/pybind11 from the pinned release and the patch series (after changing either)."""
    with tempfile.TemporaryDirectory() as scratch:
        rebuilt = pybind11_release(session, pathlib.Path(scratch) / "pybind11")
        shutil.rmtree(PYBIND11)
        shutil.copytree(rebuilt, PYBIND11)
    session.log(f"third_party/pybind11: the release with {len(list(PATCHES.glob('*.patch')))} patches applied")


def patch_test_modules(session, pybind11, where, *targets):
    """The patches' test modules (tests/pybind11), built at `where` against
    the pybind11 tree `pybind11` (all, or the named targets)."""
    config = ["-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", f"-Dpybind11_DIR={pybind11 / 'share/cmake/pybind11'}"]
    session.run("cmake", "-S", str(PATCH_TESTS), "-B", str(where), *config, silent=True)
    session.run("cmake", "--build", str(where), *(["--target", *targets] if targets else []), silent=True)
    return where


@nox.session
def canary(session):
    """Each pybind11 patch's own tests against the pristine release, where each fault patch's fault must still show."""
    install(session, "build", "test")
    named = {}  # patch: its test file, and its kind (a "Kind:" line, else a fault)
    for patch in sorted(PATCHES.glob("*.patch")):
        header = patch.read_text().split("\n---\n", 1)[0]
        if not (test := re.search(r"^Test: (tests/pybind11/test_(\d+)_\w+\.py)", header, re.M)):
            session.error(f"{patch.name} names no test of its own")
        named[patch.name] = (test, (re.findall(r"^Kind: (\w+)", header, re.M) or ["fault"])[0])
    out = BUILD / "canary"
    shutil.rmtree(out / "pristine", ignore_errors=True)
    pristine = pybind11_release(session, out / "pristine", patched=False)
    # A feature's test module uses what the patch adds: it builds only against the patched tree.
    built = [test for test, kind in named.values() if kind != "feature"]
    modules = patch_test_modules(session, pristine, out / "patch-tests", *(f"m{test[2]}" for test in built))
    report = out / "report.xml"
    pytest = ["pytest", "-q", "-c", str(ROOT / "pyproject.toml"), "--rootdir", str(ROOT), "-p", "no:cacheprovider"]
    pytest += [f"--junitxml={report}", "-W", "ignore", *(str(ROOT / test[1]) for test in built)]
    env = {"TOLVANE_PATCH_TEST_MODULES": str(modules)}
    session.run(*pytest, env=env, silent=True, success_codes=[0, 1])
    failing = {
        case.get("classname").rsplit(".", 1)[-1]
        for case in ET.parse(report).iter("testcase")
        if case.find("failure") is not None or case.find("error") is not None
    }
    fixed = []
    for patch, (test, kind) in named.items():
        shows = pathlib.Path(test[1]).stem in failing
        print(f"{kind:12} {patch}" if kind != "fault" else f"{'fault shows' if shows else 'NO FAULT':12} {patch}")
        fixed += [patch] if kind == "fault" and not shows else []
    if fixed:
        session.error(f"the pristine release passes these patches' tests: drop or revisit {fixed}")


@nox.session(reuse_venv=False)
def bump(session):
    """Pin every Python package the tasks install at its newest release (constraints.txt), then regenerate the stubs."""
    pinned = [g for g in PYPROJECT["dependency-groups"] if g != "bench-torch"]
    session.install(*groups(*pinned))  # the newest releases, in a new environment
    frozen = session.run("pip", "freeze", "--exclude-editable", silent=True).splitlines()
    pins = sorted((p for p in frozen if not p.startswith("tolvane")), key=str.lower)
    header = "# The exact version of every Python package that the tasks install. Rewritten\n"
    CONSTRAINTS.write_text(header + "# by ./dev bump; do not edit by hand.\n" + "\n".join(pins) + "\n")
    session.log(f"constraints.txt: {len(pins)} packages pinned")
    session.notify("stubs")


@nox.session
def stubs(session):
    """Regenerate python/_tolvane.pyi from the built module."""
    install(session, "build", "lint")
    build_module(session, *DEV_MODULE)
    shutil.copy(generate_stubs(session), ROOT / "python" / "_tolvane.pyi")
    session.log("python/_tolvane.pyi regenerated")


@nox.session
def package(session):
    """The sdist, the Linux wheel from it and that wheel repaired, each tested outside the tree; the README's blocks.

    The README's blocks marked to be run, run as a user would type them in a
    copy of the tree: a virtual environment with the module built from source
    and a plain wheel; the C++ package from the release preset, and
    examples/cpp built against it and run."""
    install(session, "build", "package")
    out = BUILD / "package"
    _, built, repaired = release_build(session, ROOT, out, out, isolated=False)
    pytest_outside(session, fresh_env(session, out / "env", repaired), fresh_env(session, out / "env-built", built))
    blocks = re.findall(r"```sh\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    blocks = [block for block in blocks if block.startswith(README_RUN + "\n")]
    if len(blocks) < 2:
        session.error(f"the README has {len(blocks)} blocks marked '{README_RUN}', not the install and the C++ ones")
    shutil.rmtree(out / "readme", ignore_errors=True)
    tree, home = copy_tracked(out / "readme" / "tree"), out / "readme" / "home"
    home.mkdir()  # where the C++ package installs
    env = {"HOME": str(home), "PIP_CACHE_DIR": os.environ.get("PIP_CACHE_DIR", str(pathlib.Path.home() / ".cache/pip"))}
    if shutil.which("pyenv") and "PYENV_ROOT" not in os.environ:
        env["PYENV_ROOT"] = session.run("pyenv", "root", silent=True, external=True).strip()
    for block in blocks:
        session.log("the README block: " + block.splitlines()[1])
        with session.chdir(tree):
            session.run("bash", "-euo", "pipefail", "-c", block, env=env, external=True, silent=True)


@nox.session(name="release-check")
def release_check(session):
    """Release artifacts: sdist and wheel from a clean copy and from the sdist, twine, tests, a reproducible wheel.

    Isolated builds, as a user's pip or a release runner makes them, with the
    build backend at the pinned version and the Linux wheel recipe, dated by
    the last commit (SOURCE_DATE_EPOCH). The wheel from the sdist, repaired to
    manylinux_2_28, is the one tested, and the one the hosted workflow keeps."""
    install(session, "build", "release")  # the isolated builds take CMake and Ninja from PATH
    out = BUILD / "release"
    shutil.rmtree(out, ignore_errors=True)
    epoch = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, capture_output=True, text=True, check=True)
    env = {"SOURCE_DATE_EPOCH": epoch.stdout.strip(), "PIP_CONSTRAINT": str(CONSTRAINTS)}
    env["PIP_BUILD_CONSTRAINT"] = str(CONSTRAINTS)  # pip's build environments take either, by pip version
    tree = copy_tracked(out / "tree")
    sdist, sdist_wheel, repaired = release_build(session, tree, out, out / "from-sdist", isolated=True, env=env)
    tree_wheel, _ = linux_wheel(session, tree, out / "from-tree", isolated=True, env=env)
    again, _ = linux_wheel(session, copy_tracked(out / "elsewhere" / "tree"), out / "again", isolated=True, env=env)
    session.run("twine", "check", "--strict", str(sdist), str(tree_wheel), str(sdist_wheel))
    if CHECKS_MARKER in wheel_module(sdist_wheel):
        session.error("the release wheel was built with invariant checks")
    if TEST_SWITCH in wheel_module(sdist_wheel):
        session.error(f"the release module names the test builds' switch {TEST_SWITCH.decode()}")
    for made, other in (("a second copy", again), ("the sdist", sdist_wheel)):
        if tree_wheel.read_bytes() != other.read_bytes():
            with zipfile.ZipFile(tree_wheel) as a, zipfile.ZipFile(other) as b:
                members = [{(i.filename, i.date_time, i.CRC, i.external_attr) for i in w.infolist()} for w in (a, b)]
            print("members that differ (name, time, CRC, mode):", *sorted(members[0] ^ members[1]), sep="\n")
            session.error(f"the wheel is not reproducible: the one from {made} differs from the one from the copy")
    session.log(f"{tree_wheel.name}: byte for byte the same from the copy, from a second copy and from the sdist")
    pytest_outside(session, fresh_env(session, out / "env", repaired))


@nox.session
def sanitize(session):
    """The C++ tests (asan preset) and the pytest suite against a module built with ASan and UBSan."""
    install(session, "build", "test")
    cmake_workflow(session, "asan")
    # -O1, as the sanitizers advise: -O2 takes twice as long to build.
    o1, debug = "CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g -DNDEBUG", ["cmake.build-type=RelWithDebInfo"]
    build_module(session, "asan", "TOLVANE_SANITIZE=ON", WERROR, CHECKS, o1, settings=debug)

    def runtime(lib):
        return subprocess.run(["g++", f"-print-file-name={lib}"], capture_output=True, text=True).stdout.strip()

    env = {
        "LD_PRELOAD": f"{runtime('libasan.so')} {runtime('libstdc++.so')}",
        # The interpreter's own allocations are not ours: no leak detection.
        "ASAN_OPTIONS": "detect_leaks=0:allocator_may_return_null=1:halt_on_error=1",
        "UBSAN_OPTIONS": f"halt_on_error=1:print_stacktrace=1:suppressions={ROOT / 'tests' / 'ubsan-suppressions.txt'}",
    }
    pytest_outside(session, pathlib.Path(session.bin) / "python", env=env)


@nox.session
def valgrind(session):
    """valgrind memcheck over the C++ tests (dev preset): no errors, nothing definitely lost."""
    install(session, "build")
    cmake_workflow(session, "dev")
    checks = "--error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite --show-leak-kinds=definite"
    session.run("valgrind", *checks.split(), str(BUILD / "dev" / "tests" / "cpp" / "tolvane_tests"), "--gtest_brief=1")


@nox.session
def fuzz(session):
    """libFuzzer over the C++ core, then atheris over the fast paths, N seconds each (default 60)."""
    seconds = session.posargs[0] if session.posargs else "60"
    install(session, "build", "fuzz")
    cmake_workflow(session, "fuzz")  # its test replays the kept regression inputs
    corpus, python = BUILD / "fuzz" / "corpus", BUILD / "fuzz" / "python"
    corpus.mkdir(exist_ok=True)
    (python / "corpus").mkdir(parents=True, exist_ok=True)
    quiet = [f"-max_total_time={seconds}", "-print_final_stats=1", "-verbosity=0"]
    session.log(f"fuzzing the core for {seconds}s (crashing inputs land in tests/fuzz/regressions/)")
    options = [*quiet, "-rss_limit_mb=8192", f"-artifact_prefix={ROOT / 'tests' / 'fuzz' / 'regressions'}/"]
    env = {"ASAN_OPTIONS": "allocator_may_return_null=1", "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1"}
    fuzz_core = [str(BUILD / "fuzz" / "fuzz_core"), *options, str(corpus), str(ROOT / "tests" / "fuzz" / "regressions")]
    session.run(*fuzz_core, env=env, external=True)
    build_module(session, *DEV_MODULE)
    session.log(f"the fast paths against pybind11's functions, for {seconds}s (a differing input lands in {python})")
    with session.chdir(python):
        fuzz_fast_paths = str(ROOT / "tests" / "fuzz" / "fuzz_fast_paths.py")
        session.run("python", fuzz_fast_paths, *quiet, f"-artifact_prefix={python}/", str(python / "corpus"))


@nox.session
def bench(session):
    """The benchmark suite, which rewrites benchmarks/results/ (--quick: tiny sizes, no torch, into build/)."""
    install(session, "build", "bench")
    build_module(session, "release")  # the binary a user's pip install builds
    python = pathlib.Path(session.bin) / "python"
    session.run("cmake", "--preset", "bench", f"-DPython_EXECUTABLE={python}", silent=True)
    session.run("cmake", "--build", "--preset", "bench", silent=True)
    if "--quick" not in session.posargs:  # the torch peer, in a Python 3.11 environment of its own
        torch = BUILD / "bench" / "torch-py311"
        try:
            if not (torch / "bin" / "python").exists():
                session.run(shutil.which("python3.11") or "python3.11", "-m", "venv", str(torch), external=True)
                session.run(str(torch / "bin" / "python"), "-m", "pip", "install", "-q", *groups("bench-torch"))
        except nox.command.CommandFailed:
            shutil.rmtree(torch, ignore_errors=True)
            session.warn("no Python 3.11 with torch: its cases will be reported as missing")
    session.run("python", str(ROOT / "benchmarks" / "run.py"), *session.posargs)


# The cross targets of ./dev portability: name, toolchain, toolchain file,
# zig target (None: not a zig build), and where the C++ tests run ("wine",
# "here", or None: built and linked only). The macOS builds target the oldest
# macOS the hosted wheels are built for (pyproject.toml), so that a call newer
# than that fails them.
MACOS = {
    o["select"]: o["environment"]["MACOSX_DEPLOYMENT_TARGET"] for o in PYPROJECT["tool"]["cibuildwheel"]["overrides"]
}
CROSS_TARGETS = [
    ("windows-x86_64", "MinGW-w64 GCC, static runtimes", "mingw-w64-x86_64.cmake", None, "wine"),
    (f"linux-{platform.machine()}-glibc-{GLIBC_BASELINE}", "zig clang, libc++ static", "zig.cmake",
     f"{platform.machine()}-linux-gnu.{GLIBC_BASELINE}", "here"),
    ("macos-arm64", "zig clang, libc++ static", "zig.cmake", f"aarch64-macos.{MACOS['*-macosx_arm64']}", None),
    ("macos-x86_64", "zig clang, libc++ static", "zig.cmake", f"x86_64-macos.{MACOS['*-macosx_x86_64']}", None),
]  # fmt: skip


def cross_target(session, out, name, toolchain_file, zig_target, runs):
    """Builds the core and the C++ tests for one target and runs them where
    they can run. Returns what was done and the count of tests passed."""
    build, env = out / name, zig_env(session, zig_target) if zig_target else {}
    config = [
        "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DTOLVANE_PYTHON=OFF", "-DTOLVANE_TESTS=ON",
        "-DTOLVANE_WERROR=ON", "-DTOLVANE_CHECK_INVARIANTS=ON", f"--toolchain={TOOLCHAINS / toolchain_file}",
        "-DTOLVANE_GTEST_SOURCE_DIR=/usr/src/googletest/googletest",  # Debian's googletest package
    ]  # fmt: skip
    session.log(f"{name}: building the core and the C++ tests")
    session.run("cmake", "-S", str(ROOT), "-B", str(build), *config, env=env, silent=True)
    session.run("cmake", "--build", str(build), env=env, silent=True)
    (tests,) = [p for p in (build / "tests" / "cpp").glob("tolvane_tests*") if p.suffix in ("", ".exe")]
    if runs is None:
        read = "from macholib.MachO import MachO; import sys; print(MachO(sys.argv[1]).headers[0].header.cputype)"
        cputype = int(session.run("python", "-c", read, str(tests), silent=True))
        arch = {0x0100000C: "arm64", 0x01000007: "x86_64"}.get(cputype)  # macholib.mach_o's CPU_TYPE_ARM64, _X86_64
        if not name.endswith(str(arch)):
            session.error(f"{name}: {tests.name} is a Mach-O executable for CPU type {cputype:#x}")
        return f"built and linked ({arch} Mach-O)", None
    # The report's path is relative: a Windows program reads an absolute one as a drive's.
    command = [str(tests), "--gtest_brief=1", f"--gtest_output=json:{name}.json"]
    with tempfile.TemporaryDirectory() as home, session.chdir(out):  # wine's prefix links z: to /, outside the tree
        if runs == "wine":
            env = {"WINEDEBUG": "-all", "WINEPREFIX": str(pathlib.Path(home, "wine"))}
            command = [shutil.which("wine64") or "/usr/lib/wine/wine64", *command]
        session.log(f"{name}: the C++ tests" + (" under wine" if runs == "wine" else ""))
        session.run(*command, env=env, external=True, silent=True)
    counts = json.loads((out / f"{name}.json").read_text())
    return f"built and tested {'under wine' if runs == 'wine' else 'here'}", counts["tests"] - counts["failures"]


@nox.session
def portability(session):
    """The C++ tests for Windows (under wine) and glibc 2.28, built for macOS; the module with clang and libc++."""
    install(session, "build", "test", "portability")
    out, start = BUILD / "portability", time.monotonic()
    found = set()  # what the pinned cibuildwheel would build on the hosted runners
    for name, archs in {"macos": "arm64 x86_64", "windows": "AMD64"}.items():
        command = ["cibuildwheel", "--print-build-identifiers", "--platform", name, "--archs", archs]
        found |= set(session.run(*command, silent=True, env={"CI": ""}).split())
    if found != set(PYPROJECT["tool"]["cibuildwheel"]["build"]):
        session.error(f"cibuildwheel would build {sorted(found)}, not pyproject.toml's list")
    pinned = re.search(r"^cibuildwheel==(\S+)", CONSTRAINTS.read_text(), re.M)[1]
    if f"pypa/cibuildwheel@v{pinned}\n" not in (ROOT / ".github" / "workflows" / "ci.yml").read_text():
        session.error(f"the workflow does not use pypa/cibuildwheel@v{pinned}, the version constraints.txt pins")
    rows = [("hosted-ci", f"cibuildwheel {pinned}", "configured, identifiers checked", None, time.monotonic() - start)]
    for name, toolchain, toolchain_file, zig_target, runs in CROSS_TARGETS:
        start = time.monotonic()
        done = cross_target(session, out, name, toolchain_file, zig_target, runs)
        rows.append((name, toolchain, *done, time.monotonic() - start))
    start = time.monotonic()
    session.log("the module with clang and libc++ (shared), so that a libstdc++-only habit shows")
    env = {"CXX": "clang++", "CXXFLAGS": "-stdlib=libc++", "LDFLAGS": "-stdlib=libc++"}
    build_module(session, "clang-libcxx", WERROR, CHECKS, env=env)
    (passed,) = pytest_outside(session, pathlib.Path(session.bin) / "python")
    done = ("linux-clang-libcxx", "Debian clang, libc++ shared", "module built, Python tests here")
    rows.append((*done, passed, time.monotonic() - start))
    print(f"\n{'target':<28} {'toolchain':<32} {'result':<34} {'tests passed':>12} {'time':>6}")
    for name, toolchain, done, count, seconds in rows:
        print(f"{name:<28} {toolchain:<32} {done:<34} {'-' if count is None else count:>12} {seconds:>5.0f}s")
