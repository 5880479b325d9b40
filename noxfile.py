"""The project's tasks, one nox session each; `./dev <task>` runs them.

Every session runs in the project's `.venv` (which `./dev` makes) and installs
the dependency groups of `pyproject.toml` that it needs, once, at the versions
`constraints.txt` pins. The C++ builds go through `CMakePresets.json`, each
preset in `build/<preset>`. Tasks share two builds: the module with invariant
checks (`build/py-dev`: test, lint, stubs, fuzz) and the dev preset (test,
lint, valgrind); the others build in folders of their own.
"""

import hashlib
import importlib
import importlib.metadata
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

nox.options.default_venv_backend = "none"
nox.options.sessions = ["tests"]
# The sessions run in .venv and never use uv; nox still looks for it once per
# run and reports its absence, which reads like an error.
logging.getLogger("nox").addFilter(lambda record: record.getMessage() != "uv binary not found.")

ROOT = pathlib.Path(__file__).resolve().parent
BUILD = ROOT / "build"
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")
PYTHON = sys.executable  # .venv's interpreter, the one nox runs in
VENV = pathlib.Path(sys.prefix)
MODULE_INPUTS = ["core", "graph", "python", "third_party", "CMakeLists.txt", "pyproject.toml"]
PYBIND11 = ROOT / "third_party" / "pybind11"  # the release the module builds against, patched
PATCHES = ROOT / "third_party" / "pybind11-patches"  # the patches, in the order they apply
PATCH_TESTS = ROOT / "tests" / "pybind11"  # each patch's own test module and tests
WERROR = "cmake.define.TOLVANE_WERROR=ON"
CHECKS = "cmake.define.TOLVANE_CHECK_INVARIANTS=ON"
# The module the tests run: optimised like the wheel, with every record checked
# where it is made (expect_kept ends the process on a broken invariant).
DEV_MODULE = ("dev", WERROR, CHECKS)
CONSTRAINTS = ROOT / "constraints.txt"  # the exact version of every package the tasks install
CMAKE_MINIMUM = (3, 25)  # what CMakePresets.json (version 6) needs
README_RUN = "# run by ./dev package"  # the first line of the README blocks that package runs
TOOLCHAINS = ROOT / "cmake" / "toolchains"
# The oldest glibc the Linux wheels are built for and tagged with (manylinux_2_28).
GLIBC_BASELINE = (2, 28)
GTEST_SOURCES = pathlib.Path("/usr/src/googletest/googletest")  # Debian's googletest package

# The sessions run their tools by name: .venv's own (cmake, ninja, clang-format,
# ruff, mypy, ...) come first, also under `.venv/bin/nox` without ./dev.
os.environ["PATH"] = os.pathsep.join([str(VENV / "bin"), os.environ.get("PATH", "")])


def groups(*names):
    return list(nox.project.dependency_groups(PYPROJECT, *names))


def pip(session, python, *args, env=None):
    """Runs pip of `python` quietly; its output shows only when it fails."""
    session.run(str(python), "-m", "pip", *args, "-q", silent=True, external=True, env=env)


def install(session, *names):
    """Installs into .venv the dependency groups that it does not hold yet at
    the pinned versions (cmake with "build" where no system cmake will do)."""
    if "build" in names and not system_cmake():
        names += ("cmake",)
    missing = [n for n in names if not stamp_of(n).exists() or stamp_of(n).read_text() != installed_as(n)]
    if missing:
        pip(session, PYTHON, "install", "-c", str(CONSTRAINTS), *groups(*missing))
        for name in missing:
            stamp_of(name).write_text(installed_as(name))


def installed_as(group):
    """The group's requirements and the pins they were installed under."""
    return "\n".join([*groups(group), hashlib.sha256(CONSTRAINTS.read_bytes()).hexdigest()])


def stamp_of(group):
    """What .venv holds of `group`: the requirements it was installed with."""
    return VENV / f".installed-{group}"


def system_cmake():
    """Whether a cmake of at least CMAKE_MINIMUM is on PATH."""
    cmake = shutil.which("cmake")
    version = subprocess.run([cmake, "--version"], capture_output=True, text=True).stdout if cmake else ""
    found = re.search(r"(\d+)\.(\d+)", version)
    return found is not None and (int(found[1]), int(found[2])) >= CMAKE_MINIMUM


def build_with_venv(session, build_dir, config, *pip_args, env=None):
    """A pip build (install or wheel) with .venv's build tools, in `build_dir`,
    with the scikit-build-core settings `config`."""
    settings = [f"-C{c}" for c in (f"build-dir={build_dir}", *config)]
    pip(session, PYTHON, *pip_args[:1], "--no-build-isolation", "--no-deps", *settings, *pip_args[1:], env=env)


def wheel(session, out, build_dir, source, *config, env=None):
    """Builds a wheel of `source` into `out`, which holds no other wheel."""
    shutil.rmtree(out, ignore_errors=True)
    build_with_venv(session, build_dir, config, "wheel", "-w", str(out), str(source), env=env)
    (built,) = pathlib.Path(out).glob("*.whl")
    return built


def zig_env(target):
    """The environment of a build with zig's clang and libc++ for `target`,
    which cmake/toolchains/zig.cmake reads (pip and scikit-build-core pass it
    on to CMake)."""
    return {
        "TOLVANE_ZIG": str(pathlib.Path(sysconfig.get_path("purelib")) / "ziglang" / "zig"),
        "TOLVANE_ZIG_TARGET": target,
        "CMAKE_TOOLCHAIN_FILE": str(TOOLCHAINS / "zig.cmake"),
    }


def linux_wheel_env(session):
    """The Linux wheels' build: zig for this machine's architecture and the
    glibc baseline, with libc++ linked in."""
    install(session, "cross")
    return zig_env(f"{platform.machine()}-linux-gnu.{GLIBC_BASELINE[0]}.{GLIBC_BASELINE[1]}")


def manylinux_policy(show):
    """The glibc version (major, minor) of the manylinux tag that `auditwheel
    show` found a wheel consistent with, or None."""
    found = re.search(r'platform tag:\s*"manylinux_(\d+)_(\d+)_', show)
    return (int(found[1]), int(found[2])) if found else None


def repair_for_baseline(session, built, into):
    """The wheel `built`, which auditwheel must find fit for the glibc
    baseline, tagged for it by `auditwheel repair` into `into`."""
    show = session.run(PYTHON, "-m", "auditwheel", "show", str(built), silent=True)
    policy = manylinux_policy(show)
    if policy is None or policy > GLIBC_BASELINE:
        print(show)
        session.error(f"{built.name} needs more than glibc {GLIBC_BASELINE[0]}.{GLIBC_BASELINE[1]}")
    session.log(f"auditwheel show: {built.name} is consistent with manylinux_{policy[0]}_{policy[1]}")
    plat = f"manylinux_{GLIBC_BASELINE[0]}_{GLIBC_BASELINE[1]}_{platform.machine()}"
    shutil.rmtree(into, ignore_errors=True)
    session.run(PYTHON, "-m", "auditwheel", "repair", "--plat", plat, "-w", str(into), str(built), silent=True)
    (repaired,) = into.glob("*.whl")
    return repaired


def wheel_module(wheel):
    """The bytes of the _tolvane binary in `wheel`."""
    with zipfile.ZipFile(wheel) as whl:
        (binary,) = [n for n in whl.namelist() if n.startswith("_tolvane.")]
        return whl.read(binary)


def uses_libcxx(module_bytes):
    """Whether a built module uses libc++: its pybind11 key names the library."""
    return b"_tolvane_private_libcpp_" in module_bytes


def newest_input():
    paths = (p for name in MODULE_INPUTS for p in [ROOT / name, *(ROOT / name).rglob("*")])
    return max(p.stat().st_mtime for p in paths if p.is_file())


def build_module(session, flavor, *config):
    """Builds _tolvane in build/py-<flavor> and installs it into .venv, unless
    that flavor is installed and no source changed since. Says whether the
    module checks invariants, and fails when the binary says otherwise."""
    checks = CHECKS in config
    stamp = VENV / ".module.stamp"
    if stamp.exists() and stamp.read_text() == flavor and stamp.stat().st_mtime >= newest_input():
        session.log(f"_tolvane ({flavor}, invariant checks {'on' if checks else 'off'}) is up to date")
        return
    session.log(f"building and installing _tolvane ({flavor}, Release, invariant checks {'on' if checks else 'off'})")
    build_with_venv(session, BUILD / f"py-{flavor}", config, "install", str(ROOT))
    if checks_invariants(installed_module()) != checks:
        session.error(f"the installed _tolvane does not have invariant checks {'on' if checks else 'off'}")
    stamp.write_text(flavor)


def installed_module():
    """The _tolvane binary in .venv."""
    (module,) = pathlib.Path(sysconfig.get_path("platlib")).glob("_tolvane.*")
    return module


# expect_kept's message, which a module holds only when it checks records
# where they are made.
CHECKS_MARKER = b"tolvane: invariant broken: "


# The environment variable only test builds read (python/fast_paths.h): the
# release module reads none.
TEST_SWITCH = b"TOLVANE_PLAIN_PYBIND11"


def checks_invariants(module):
    """Whether the built module at `module` checks invariants."""
    return CHECKS_MARKER in pathlib.Path(module).read_bytes()


def wheel_checks_invariants(wheel):
    """Whether the module in `wheel` checks invariants."""
    return CHECKS_MARKER in wheel_module(wheel)


def cmake_workflow(session, preset):
    """The preset's workflow: configure and build quietly, then its tests."""
    install(session, "build")  # ninja, and cmake where the system has none
    session.run("cmake", "--preset", preset, silent=True)
    session.run("cmake", "--build", "--preset", preset, silent=True)
    session.run("ctest", "--preset", preset)


def fresh_env(session, where, *wheels):
    """A new environment at `where` with `wheels` and the test group."""
    shutil.rmtree(where, ignore_errors=True)
    session.run(PYTHON, "-m", "venv", str(where))
    python = where / "bin" / "python"
    pip(session, python, "install", "-c", str(CONSTRAINTS), *map(str, wheels), *groups("test"))
    return python


def pytest_outside(session, *pythons, env=None):
    """The Python tests with each of `pythons`, side by side, each from a copy
    of the tests outside the tree, so that only the installed module can be
    imported. Their output shows when all are done, and is returned."""
    runs, environment = [], {**os.environ, **(env or {})}
    with tempfile.TemporaryDirectory() as outside:
        for i, python in enumerate(pythons):
            where = pathlib.Path(outside, str(i))
            shutil.copytree(ROOT / "tests" / "python", where / "tests")
            config = ["-c", str(ROOT / "pyproject.toml"), "--rootdir", str(where), "-p", "no:cacheprovider"]
            command = [str(python), "-m", "pytest", "-q", *config, "tests"]
            session.log(" ".join(command))
            output = tempfile.TemporaryFile("w+")
            process = subprocess.Popen(command, cwd=where, env=environment, stdout=output, stderr=subprocess.STDOUT)
            runs.append((process, output))
        failed, outputs = False, []
        for process, output in runs:
            failed |= process.wait() != 0
            output.seek(0)
            outputs.append(output.read())
            print(outputs[-1], end="")
            output.close()
    if failed:
        session.error("the Python tests failed")
    return outputs


@nox.session
def quickstart(session):
    """Build the module (no test tools) and run examples/quickstart.py."""
    install(session, "build")
    build_module(session, "release")
    session.run(PYTHON, str(ROOT / "examples" / "quickstart.py"), *session.posargs)


@nox.session
def tests(session):
    """The C++ tests (dev preset), the Python tests (arguments go to pytest) and the tasks' own checks."""
    install(session, "build", "test")
    build_module(session, *DEV_MODULE)
    session.log("C++ tests")
    cmake_workflow(session, "dev")
    session.log("Python tests")
    # From the test folder, so that the installed module is the one imported.
    session.chdir(ROOT / "tests" / "python")
    config = ["-c", str(ROOT / "pyproject.toml"), "--rootdir", str(ROOT)]
    session.run(PYTHON, "-m", "pytest", "-q", *config, *session.posargs)
    if not session.posargs:
        session.log("the pybind11 patches' own tests (tests/pybind11)")
        modules = patch_test_modules(session, PYBIND11 / "share" / "cmake" / "pybind11", BUILD / "patch-tests")
        env = {"TOLVANE_PATCH_TEST_MODULES": str(modules)}
        session.run(PYTHON, "-m", "pytest", "-q", *config, "-p", "no:cacheprovider", str(PATCH_TESTS), env=env)
        session.log("the checks the tasks make (tests/tasks)")
        session.run(PYTHON, "-m", "pytest", "-q", *config, "-p", "no:cacheprovider", str(ROOT / "tests" / "tasks"))


# Shapes and dims take entries with __index__ only; pybind11 renders them as
# its integer type, which also admits __int__ (and so float) in the stubs.
ENTRIES = (
    "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]",
    "collections.abc.Sequence[typing.SupportsIndex]",
)


def generate_stubs(session):
    """The stubs pybind11-stubgen makes from the module, with ENTRIES' types."""
    out = BUILD / "stubs"
    shutil.rmtree(out, ignore_errors=True)
    # From pybind11's own entries: pybind11-stubgen reads a property's getter
    # for its signature, and skips the getset descriptor of a fast path.
    plain = {"TOLVANE_PLAIN_PYBIND11": "1"}
    session.run(str(VENV / "bin" / "pybind11-stubgen"), "_tolvane", "-o", str(out), env=plain, silent=True)
    stub = out / "_tolvane.pyi"
    stub.write_text(stub.read_text().replace(*ENTRIES))
    return stub


def readme_shows_examples_cpp():
    """Whether the README shows each file of examples/cpp exactly, in a block
    that names it on its first line."""
    blocks = re.findall(r"```\w+\n(?:#|//) file: (\S+)\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    files = {str(p.relative_to(ROOT)) for p in (ROOT / "examples" / "cpp").iterdir()}
    shown = dict(blocks)
    return files <= set(shown) and all((ROOT / name).read_text() == shown[name] for name in files)


def project_version():
    """The one version of the project, which CMakeLists.txt declares and the
    package metadata and the module's __version__ take."""
    return re.search(r"project\(tolvane VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())[1]


def changelog_problem(text, version):
    """What keeps `text` from being a Keep a Changelog file with a section for
    `version`, or None. Released sections carry an ISO date; the section of
    the version may say Unreleased while it is being written."""
    sections = re.findall(r"^## \[([^\]]+)\](.*)$", text, re.M)
    if not text.startswith("# Changelog\n"):
        return "CHANGELOG.md does not start with '# Changelog'"
    for name, rest in sections:
        if name != "Unreleased" and not re.fullmatch(r" - (\d{4}-\d{2}-\d{2}|Unreleased)", rest):
            return f"CHANGELOG.md: section [{name}] has no ' - YYYY-MM-DD' date"
    names = [name for name, _ in sections]
    if version not in names:
        return f"CHANGELOG.md has no section for version {version}"
    if names.count(version) > 1 or len(set(names)) != len(names):
        return "CHANGELOG.md has a section twice"
    return None


def documented_unknown_tasks():
    """The `./dev TASK` that README.md or CONTRIBUTING.md names but no session is."""
    known = set(nox.registry.get()) | {"test", "help"}
    text = "".join((ROOT / name).read_text() for name in ("README.md", "CONTRIBUTING.md"))
    return sorted(set(re.findall(r"\./dev ([\w-]+)", text)) - known)


@nox.session
def lint(session):
    """clang-format, clang-tidy, ruff, stubs, stubtest, mypy, the README's C++ example and tasks."""
    install(session, "build", "test", "lint")
    build_module(session, *DEV_MODULE)
    session.run("cmake", "--preset", "dev", silent=True)  # the compile commands clang-tidy reads
    failed = []

    def check(name, *args):
        session.log(name)
        try:
            session.run(*args)
        except nox.command.CommandFailed:
            failed.append(name)

    def tracked(*patterns):
        command = ["git", "ls-files", "--", *patterns, ":!third_party"]
        return subprocess.run(command, cwd=ROOT, capture_output=True, text=True).stdout.split()

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
    check("stubtest", PYTHON, "-m", "mypy.stubtest", "_tolvane", *stubtest)
    check("mypy --strict on examples/typed.py", "mypy", "--strict", "--no-incremental", "examples/typed.py")
    check(
        "mypy rejects each call in tests/typing/wrong_calls.py with the error pinned beside it",
        *("mypy", "--strict", "--no-incremental", *pinned, "tests/typing/wrong_calls.py"),
    )
    session.log("third_party/pybind11 is the pinned release with the patch series applied")
    with tempfile.TemporaryDirectory() as scratch:
        rebuilt = patched_pybind11(session, pathlib.Path(scratch) / "pybind11")
        difference = subprocess.run(["diff", "-ru", str(rebuilt), str(PYBIND11)], capture_output=True, text=True)
    if difference.returncode != 0:
        print(difference.stdout[-20000:] + difference.stderr)
        failed.append("third_party/pybind11 differs from the release with the patches applied (./dev pybind11)")
    session.log("the README shows examples/cpp exactly")
    if not readme_shows_examples_cpp():
        failed.append("the README's C++ example differs from examples/cpp")
    session.log("every ./dev task the documents name exists")
    if unknown := documented_unknown_tasks():
        failed.append(f"the documents name unknown tasks {unknown}")
    session.log("constraints.txt pins every package the dependency groups name")
    if unpinned := unpinned_requirements():
        failed.append(f"constraints.txt pins no exact version of {unpinned} (./dev bump)")
    session.log("CHANGELOG.md has a section for the project's version")
    if problem := changelog_problem((ROOT / "CHANGELOG.md").read_text(), project_version()):
        failed.append(problem)
    if failed:
        session.error("lint failed: " + ", ".join(failed))
    session.log("lint clean")


def pristine_pybind11(session, where):
    """The pinned pybind11 release from PyPI (the "pybind11" dependency
    group), laid out at `where` as third_party/pybind11 is: include/, share/
    and LICENSE."""
    install(session, "pybind11")
    importlib.invalidate_caches()
    (pinned,) = groups("pybind11")
    dist = importlib.metadata.distribution("pybind11")
    if f"pybind11=={dist.version}" != pinned:
        session.error(f"pybind11 {dist.version} is installed, not {pinned}")
    package = pathlib.Path(str(dist.locate_file("pybind11")))
    shutil.rmtree(where, ignore_errors=True)
    for part in ("include", "share"):
        shutil.copytree(package / part, where / part, ignore=shutil.ignore_patterns("__pycache__"))
    (license_file,) = [f for f in dist.files or [] if f.name == "LICENSE"]
    shutil.copy(pathlib.Path(str(dist.locate_file(license_file))), where / "LICENSE")
    return where


def patched_pybind11(session, where):
    """The pinned release with every patch of PATCHES applied, at `where`
    (outside the project's git tree, where git apply works on plain files)."""
    pristine_pybind11(session, where)
    with session.chdir(where):
        for patch in sorted(PATCHES.glob("*.patch")):
            session.run("git", "apply", "--whitespace=nowarn", str(patch), external=True, silent=True)
    return where


@nox.session
def pybind11(session):
    """Rebuild third_party/pybind11 from the pinned release and the patch series (after changing either)."""
    with tempfile.TemporaryDirectory() as scratch:
        rebuilt = patched_pybind11(session, pathlib.Path(scratch) / "pybind11")
        shutil.rmtree(PYBIND11)
        shutil.copytree(rebuilt, PYBIND11)
    session.log(f"third_party/pybind11: the release with {len(list(PATCHES.glob('*.patch')))} patches applied")


def patch_tests():
    """Each patch with its own test file (its "Test:" paragraph), the number
    of its test module, and its kind ("Kind: speed" or "Kind: feature",
    whose tests need not fail against the release; else "fault")."""
    named = {}
    for patch in sorted(PATCHES.glob("*.patch")):
        header = patch.read_text().split("\n---\n", 1)[0]
        test = re.search(r"^Test: (tests/pybind11/test_(\d+)_\w+\.py)", header, re.M)
        kind = re.search(r"^Kind: (\w+)", header, re.M)
        named[patch.name] = (test and test[1], test and test[2], kind[1] if kind else "fault")
    return named


def patch_test_modules(session, package, where, *targets):
    """The patches' test modules (tests/pybind11), built at `where` against
    the pybind11 CMake package in `package` (all, or the named targets)."""
    config = [f"-DPython_EXECUTABLE={PYTHON}", f"-Dpybind11_DIR={package}", "-DCMAKE_BUILD_TYPE=Release"]
    session.run("cmake", "-S", str(PATCH_TESTS), "-B", str(where), "-G", "Ninja", *config, silent=True)
    session.run("cmake", "--build", str(where), *(["--target", *targets] if targets else []), silent=True)
    return where


@nox.session
def canary(session):
    """Each pybind11 patch's own tests against the pristine release, where each patch's fault must still show."""
    install(session, "build", "test")
    named = patch_tests()
    if unnamed := [patch for patch, (test, _, _) in named.items() if not test]:
        session.error(f"patches that name no test of their own: {unnamed}")
    out = BUILD / "canary"
    pristine = pristine_pybind11(session, out / "pybind11")
    # A feature's test module uses what the patch adds: it builds only against the patched tree.
    built = {patch: entry for patch, entry in named.items() if entry[2] != "feature"}
    session.log("the patches' test modules, built against the pristine release")
    modules = patch_test_modules(
        session,
        pristine / "share" / "cmake" / "pybind11",
        out / "patch-tests",
        *(f"m{n}" for _, n, _ in built.values()),
    )
    report = out / "report.xml"
    session.log("each patch's tests against them")
    pytest = [PYTHON, "-m", "pytest", "-q", "-c", str(ROOT / "pyproject.toml"), "--rootdir", str(ROOT)]
    pytest += [
        "-p",
        "no:cacheprovider",
        f"--junitxml={report}",
        "-W",
        "ignore",
        *(str(ROOT / t) for t, _, _ in built.values()),
    ]
    env = {**os.environ, "TOLVANE_PATCH_TEST_MODULES": str(modules)}
    subprocess.run(pytest, cwd=PATCH_TESTS, env=env, capture_output=True)
    failing_files = {
        case.get("classname").rsplit(".", 1)[-1]
        for case in ET.parse(report).iter("testcase")
        if case.find("failure") is not None or case.find("error") is not None
    }
    fixed = []
    for patch, (test, _, kind) in named.items():
        shows = pathlib.Path(test).stem in failing_files
        if kind != "fault":
            print(f"{kind:12} {patch}")
            continue
        print(f"{'fault shows' if shows else 'NO FAULT  '}  {patch}  {test}")
        if not shows:
            fixed.append(patch)
    if fixed:
        session.error(f"the pristine release passes these patches' tests: drop or revisit {fixed}")


# The groups of .venv, which constraints.txt pins; bench-torch is for another
# Python and pins its one package itself.
PINNED_GROUPS = ["tasks", "build", "cmake", "test", "lint", "package", "fuzz", "bench", "release", "cross", "hosted"]
CONSTRAINTS_HEADER = """\
# The exact version of every Python package that the tasks install into .venv
# and into the test environments they make. Rewritten by ./dev bump; do not
# edit by hand.
"""


def unpinned_requirements():
    """The packages the pinned groups name that constraints.txt does not pin
    to one exact version."""
    pins = {}
    for line in CONSTRAINTS.read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            requirement = Requirement(line)
            specifiers = list(requirement.specifier)
            exact = len(specifiers) == 1 and specifiers[0].operator == "=="
            pins[canonicalize_name(requirement.name)] = exact
    names = {canonicalize_name(Requirement(r).name) for r in groups(*PINNED_GROUPS)}
    return sorted(name for name in names if not pins.get(name))


@nox.session
def bump(session):
    """Pin every Python package the tasks install at its newest release (constraints.txt), then regenerate the stubs."""
    with tempfile.TemporaryDirectory() as scratch:
        session.log("resolving the newest releases in a scratch environment")
        session.run(PYTHON, "-m", "venv", scratch)
        python = pathlib.Path(scratch, "bin", "python")
        pip(session, python, "install", *groups(*PINNED_GROUPS))
        frozen = subprocess.run([str(python), "-m", "pip", "freeze"], capture_output=True, text=True, check=True)
    pins = sorted(frozen.stdout.splitlines(), key=str.lower)
    CONSTRAINTS.write_text(CONSTRAINTS_HEADER + "\n".join(pins) + "\n")
    session.log(f"constraints.txt: {len(pins)} packages pinned")
    stubs(session)
    session.run("git", "diff", "--stat", "--", "constraints.txt", "python/_tolvane.pyi", external=True)


@nox.session
def stubs(session):
    """Regenerate python/_tolvane.pyi from the built module and install it."""
    install(session, "build", "lint")
    build_module(session, *DEV_MODULE)
    shutil.copy(generate_stubs(session), ROOT / "python" / "_tolvane.pyi")
    build_module(session, *DEV_MODULE)  # the new stubs are an input
    session.log("python/_tolvane.pyi regenerated and installed")


@nox.session
def package(session):
    """The sdist-built wheel and its repaired copy tested from outside the tree; the README's install blocks run.

    The wheel is built from the sdist, so a file missing from the sdist fails
    here, with zig's clang against the glibc baseline and libc++ linked in;
    auditwheel must find it fit for manylinux_2_28 or older, and repairs it
    to that tag. Each of the two goes into a fresh environment. Then the README's blocks marked to be run, as
    a user would type them in a copy of the tree: a virtual environment with
    the module built from source and a plain wheel; the C++ package from the
    release preset, and examples/cpp, a consumer with only find_package and
    target_link_libraries, built against it and run."""
    install(session, "build", "test", "package")
    out = BUILD / "package"
    shutil.rmtree(out / "dist", ignore_errors=True)
    session.log("the sdist, a wheel built from it for the glibc baseline, and that wheel repaired with auditwheel")
    session.run(PYTHON, "-m", "build", "--sdist", "--no-isolation", "-o", str(out / "dist"), str(ROOT), silent=True)
    (sdist,) = (out / "dist").glob("*.tar.gz")
    built = wheel(session, out / "wheel", out / "wheel-build", sdist, env=linux_wheel_env(session))
    if not uses_libcxx(wheel_module(built)):
        session.error("the wheel's module was not built with libc++")
    repaired = repair_for_baseline(session, built, out / "wheelhouse")
    session.log(f"repaired: {repaired.name}")
    with zipfile.ZipFile(repaired) as whl:
        metadata = next(whl.read(n).decode() for n in whl.namelist() if n.endswith(".dist-info/METADATA"))
    expected = ["License-Expression: BSD-3-Clause", "Keywords: tensor"]
    expected += [f"Classifier: {c}" for c in PYPROJECT["project"]["classifiers"]]
    missing = [line for line in expected if line not in metadata]
    if missing:
        session.error(f"the wheel's metadata lacks {missing}")
    session.log("each wheel in a fresh environment, tested from outside the tree")
    pytest_outside(
        session, fresh_env(session, out / "repaired-env", repaired), fresh_env(session, out / "sdist-env", built)
    )

    run_readme_blocks(session, out / "readme")


def copy_tracked(where):
    """A copy of the tracked files at `where`, as a clean checkout has them
    (no .git, no build folders)."""
    for name in subprocess.run(
        ["git", "ls-files", "-z"], cwd=ROOT, capture_output=True, text=True, check=True
    ).stdout.split("\0"):
        if name:
            (where / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(ROOT / name, where / name)
    return where


def wheel_difference(first, second):
    """What differs between two wheels, member by member, or None when the
    two files are identical."""
    if first.read_bytes() == second.read_bytes():
        return None
    with zipfile.ZipFile(first) as a, zipfile.ZipFile(second) as b:
        members = {i.filename: i for i in a.infolist()}, {i.filename: i for i in b.infolist()}
        lines = [f"only in one wheel: {name}" for name in sorted(set(members[0]) ^ set(members[1]))]
        for name in sorted(set(members[0]) & set(members[1])):
            x, y = members[0][name], members[1][name]
            if a.read(name) != b.read(name):
                lines.append(f"{name}: contents differ")
            elif x.date_time != y.date_time or x.external_attr != y.external_attr:
                lines.append(f"{name}: timestamp or permissions differ")
        if [i.filename for i in a.infolist()] != [i.filename for i in b.infolist()]:
            lines.append("the members are in another order")
    return "\n".join(lines) or "the zip containers differ, every member alike"


@nox.session(name="release-check")
def release_check(session):
    """Release artifacts: sdist and wheel from a clean copy and from the sdist, twine, tests, a reproducible wheel.

    Isolated builds, as a user's pip or a release runner makes them, with the
    build backend at the version constraints.txt pins and the wheels' zig
    toolchain. SOURCE_DATE_EPOCH is the last commit's time. The wheel from the
    sdist, repaired to the manylinux_2_28 tag, is the one tested."""
    install(session, "release", "test")
    out = BUILD / "release"
    shutil.rmtree(out, ignore_errors=True)
    epoch = subprocess.run(["git", "log", "-1", "--format=%ct"], cwd=ROOT, capture_output=True, text=True, check=True)
    env = {
        **linux_wheel_env(session),
        "SOURCE_DATE_EPOCH": epoch.stdout.strip(),
        # pip's build environments take the pins from either, by pip version.
        "PIP_CONSTRAINT": str(CONSTRAINTS),
        "PIP_BUILD_CONSTRAINT": str(CONSTRAINTS),
    }

    def build(source, into, *kinds):
        """What `python -m build` makes of `source`: the sdist first, then the wheel."""
        session.run(PYTHON, "-m", "build", *kinds, "-o", str(into), str(source), env=env, silent=True)
        return [*into.glob("*.tar.gz"), *into.glob("*.whl")]

    session.log("the sdist and a wheel, from a clean copy of the tracked files")
    tree = copy_tracked(out / "tree")
    sdist, tree_wheel = build(tree, out / "dist", "--sdist", "--wheel")
    session.log("a wheel from that sdist, in isolation")
    (sdist_wheel,) = build(sdist, out / "from-sdist", "--wheel")
    session.log("twine check")
    session.run(PYTHON, "-m", "twine", "check", "--strict", str(sdist), str(tree_wheel), str(sdist_wheel))
    if wheel_checks_invariants(sdist_wheel):
        session.error("the release wheel was built with invariant checks")
    if TEST_SWITCH in wheel_module(sdist_wheel):
        session.error(f"the release module names the test builds' switch {TEST_SWITCH.decode()}")
    session.log("the same wheel again, from a second copy elsewhere, with the same SOURCE_DATE_EPOCH")
    (again,) = build(copy_tracked(out / "elsewhere" / "tree"), out / "again", "--wheel")
    for made, other in (("a second copy", again), ("the sdist", sdist_wheel)):
        if difference := wheel_difference(tree_wheel, other):
            print(difference)
            session.error(f"the wheel is not reproducible: the one from {made} differs from the one from the copy")
    session.log(f"{tree_wheel.name}: byte for byte the same from the copy, from a second copy and from the sdist")
    repaired = repair_for_baseline(session, sdist_wheel, out / "wheelhouse")
    session.log(f"the Python tests against {repaired.name}, in a fresh environment")
    pytest_outside(session, fresh_env(session, out / "env", repaired))


def readme_blocks():
    """The README's shell blocks whose first line is README_RUN."""
    blocks = re.findall(r"```sh\n(.*?)```", (ROOT / "README.md").read_text(), re.S)
    return [block for block in blocks if block.startswith(README_RUN + "\n")]


def run_readme_blocks(session, where):
    """Runs each README block as it stands, in a copy of the tracked files,
    with a home of its own (where the C++ package installs)."""
    shutil.rmtree(where, ignore_errors=True)
    tree, home = copy_tracked(where / "tree"), where / "home"
    home.mkdir()
    env = {"HOME": str(home), "PIP_CACHE_DIR": os.environ.get("PIP_CACHE_DIR", str(pathlib.Path.home() / ".cache/pip"))}
    if shutil.which("pyenv") and "PYENV_ROOT" not in os.environ:
        env["PYENV_ROOT"] = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
    blocks = readme_blocks()
    if len(blocks) < 2:
        session.error(f"the README has {len(blocks)} blocks marked '{README_RUN}', not the install and the C++ ones")
    for block in blocks:
        session.log("the README block: " + block.splitlines()[1])
        with session.chdir(tree):
            session.run("bash", "-euo", "pipefail", "-c", block, env=env, external=True, silent=True)


@nox.session
def sanitize(session):
    """The C++ tests (asan preset) and the pytest suite against a module built with ASan and UBSan."""
    install(session, "build", "test")
    session.log("sanitizers: C++ tests")
    cmake_workflow(session, "asan")
    session.log("sanitizers: the module under pytest")
    out = BUILD / "asan-py"
    # -O1, as the sanitizers advise: -O2 takes twice as long to build.
    o1 = "cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g -DNDEBUG"
    config = ["cmake.define.TOLVANE_SANITIZE=ON", WERROR, CHECKS, "cmake.build-type=RelWithDebInfo", o1]
    built = wheel(session, out / "dist", out / "build", ROOT, *config)
    if not wheel_checks_invariants(built):
        session.error("the sanitized module was built without invariant checks")
    session.log("the sanitized module checks invariants")
    python = fresh_env(session, out / "env", built)

    def runtime(lib):
        return subprocess.run(["g++", f"-print-file-name={lib}"], capture_output=True, text=True).stdout.strip()

    env = {
        "LD_PRELOAD": f"{runtime('libasan.so')} {runtime('libstdc++.so')}",
        # The interpreter's own allocations are not ours: no leak detection.
        "ASAN_OPTIONS": "detect_leaks=0:allocator_may_return_null=1:halt_on_error=1",
        "UBSAN_OPTIONS": f"halt_on_error=1:print_stacktrace=1:suppressions={ROOT / 'tests' / 'ubsan-suppressions.txt'}",
    }
    pytest_outside(session, python, env=env)


@nox.session
def valgrind(session):
    """valgrind memcheck over the C++ tests (dev preset): no errors, nothing definitely lost."""
    cmake_workflow(session, "dev")
    checks = ["--error-exitcode=1", "--leak-check=full", "--errors-for-leak-kinds=definite"]
    with tempfile.NamedTemporaryFile("r", suffix=".log") as log:
        tests = [str(BUILD / "dev" / "tests" / "cpp" / "tolvane_tests"), "--gtest_brief=1"]
        run = subprocess.run(
            ["valgrind", *checks, "--show-leak-kinds=definite", f"--log-file={log.name}", *tests], capture_output=True
        )
        report = log.read()
    summary = re.compile(r"ERROR SUMMARY|definitely lost|in use at exit|total heap usage")
    print("\n".join(re.sub(r"^==\d+== ", "", line) for line in report.splitlines() if summary.search(line)))
    if run.returncode != 0:
        print(report)
        session.error("valgrind found errors")


@nox.session
def fuzz(session):
    """libFuzzer over the C++ core for N seconds (default 60), after replaying tests/fuzz/regressions; then
    atheris over the fast paths' differential test for as long."""
    seconds = session.posargs[0] if session.posargs else "60"
    session.log("the kept regression inputs (the fuzz preset's test)")
    cmake_workflow(session, "fuzz")
    corpus, regressions = BUILD / "fuzz" / "corpus", ROOT / "tests" / "fuzz" / "regressions"
    corpus.mkdir(exist_ok=True)
    kept = set(regressions.iterdir())
    session.log(f"fuzzing for {seconds}s (crashing inputs land in tests/fuzz/regressions/)")
    options = [f"-max_total_time={seconds}", "-rss_limit_mb=8192", "-print_final_stats=1"]
    options.append(f"-artifact_prefix={regressions}/")
    env = {
        **os.environ,
        "ASAN_OPTIONS": "allocator_may_return_null=1",
        "UBSAN_OPTIONS": "halt_on_error=1:print_stacktrace=1",
    }
    run = subprocess.run(
        [str(BUILD / "fuzz" / "fuzz_core"), *options, str(corpus), str(regressions)],
        capture_output=True,
        text=True,
        env=env,
    )
    summary = re.compile(r"stat::number_of_executed_units|stat::peak_rss_mb|#\d+ +DONE|==\d+==ERROR|SUMMARY")
    print("\n".join(line for line in run.stderr.splitlines() if summary.match(line)))
    print(f"corpus: {sum(1 for _ in corpus.iterdir())} inputs")
    if run.returncode != 0 or set(regressions.iterdir()) != kept:
        print(run.stderr[-20000:])
        session.error("the fuzzer found a crashing input")
    fuzz_fast_paths(session, seconds)


def fuzz_fast_paths(session, seconds):
    """atheris drives the fast paths' differential test (tests/fuzz/fuzz_fast_paths.py)."""
    install(session, "build", "fuzz")
    build_module(session, *DEV_MODULE)
    out = BUILD / "fuzz" / "python"
    corpus = out / "corpus"
    corpus.mkdir(parents=True, exist_ok=True)
    session.log(f"the fast paths against pybind11's functions, coverage-guided, for {seconds}s")
    options = [f"-max_total_time={seconds}", "-print_final_stats=1", f"-artifact_prefix={out}/"]
    run = subprocess.run(
        [PYTHON, str(ROOT / "tests" / "fuzz" / "fuzz_fast_paths.py"), *options, str(corpus)],
        capture_output=True,
        text=True,
        cwd=out,
    )
    summary = re.compile(r"stat::number_of_executed_units|#\d+ +DONE|==\d+==|AssertionError|RuntimeError")
    print("\n".join(line for line in run.stderr.splitlines() if summary.search(line)))
    if run.returncode != 0:
        print(run.stderr[-20000:])
        session.error(f"the fast paths differ from pybind11's functions (the input is in {out})")


@nox.session
def bench(session):
    """The benchmark suite, which rewrites benchmarks/results/ (--quick: tiny sizes, no torch, into build/)."""
    install(session, "build", "bench")
    build_module(session, "release")  # the binary a user's pip install builds
    floors = [f"-DPython_EXECUTABLE={PYTHON}", f"-Dpybind11_DIR={PYBIND11 / 'share' / 'cmake' / 'pybind11'}"]
    session.run("cmake", "--preset", "bench", *floors, silent=True)
    session.run("cmake", "--build", "--preset", "bench", silent=True)
    if "--quick" not in session.posargs:  # the quick run leaves the torch peer out
        torch_env(session)
    session.run(PYTHON, str(ROOT / "benchmarks" / "run.py"), *session.posargs)


def torch_env(session):
    """torch in a Python 3.11 environment of its own, when pyenv holds a 3.11."""
    env = BUILD / "bench" / "torch-py311"
    python = env / "bin" / "python"
    ready = python.exists() and subprocess.run([str(python), "-c", "import torch, pyperf"], capture_output=True)
    if ready and ready.returncode == 0:
        return
    found = (
        subprocess.run(["pyenv", "prefix", "3.11"], capture_output=True, text=True) if shutil.which("pyenv") else None
    )
    py311 = pathlib.Path(found.stdout.splitlines()[0], "bin", "python3.11") if found and found.returncode == 0 else None
    if py311 is None or not py311.exists():
        session.warn("no Python 3.11 for torch: its cases will be reported as missing")
        return
    session.log("creating the torch environment (Python 3.11)")
    shutil.rmtree(env, ignore_errors=True)
    session.run(str(py311), "-m", "venv", str(env), external=True)
    try:
        pip(session, python, "install", *groups("bench-torch"))
    except nox.command.CommandFailed:
        session.warn("torch could not be installed: its cases will be reported as missing")


# The oldest macOS the hosted wheels are built for, by architecture, as
# pyproject.toml's cibuildwheel overrides set it: the macOS cross builds
# target the same, so that a call newer than that fails them.
MACOS_DEPLOYMENT = {
    o["select"].removeprefix("*-macosx_"): o["environment"]["MACOSX_DEPLOYMENT_TARGET"]
    for o in PYPROJECT["tool"]["cibuildwheel"]["overrides"]
    if o["select"].startswith("*-macosx_")
}
# The cross targets of ./dev portability: name, toolchain, toolchain file,
# zig target (None: not a zig build), and where the C++ tests run ("wine",
# "here", or None: built and linked only).
CROSS_TARGETS = [
    ("windows-x86_64", "MinGW-w64 GCC, static runtimes", "mingw-w64-x86_64.cmake", None, "wine"),
    (
        f"linux-{platform.machine()}-glibc-{GLIBC_BASELINE[0]}.{GLIBC_BASELINE[1]}",
        "zig clang, libc++ static",
        "zig.cmake",
        f"{platform.machine()}-linux-gnu.{GLIBC_BASELINE[0]}.{GLIBC_BASELINE[1]}",
        "here",
    ),
    ("macos-arm64", "zig clang, libc++ static", "zig.cmake", f"aarch64-macos.{MACOS_DEPLOYMENT['arm64']}", None),
    ("macos-x86_64", "zig clang, libc++ static", "zig.cmake", f"x86_64-macos.{MACOS_DEPLOYMENT['x86_64']}", None),
]
MACHO_CPU = {0x0100000C: "arm64", 0x01000007: "x86_64"}


def macho_arch(path):
    """The architecture of a 64-bit Mach-O executable, or None for any other file."""
    header = pathlib.Path(path).read_bytes()[:8]
    if len(header) < 8 or int.from_bytes(header[:4], "little") != 0xFEEDFACF:
        return None
    return MACHO_CPU.get(int.from_bytes(header[4:], "little"))


def gtest_counts(output):
    """(passed, failed) from a GoogleTest run's summary; None for a run that
    printed none."""
    passed = re.search(r"^\[  PASSED  \] (\d+) tests?\.", output, re.M)
    failed = re.search(r"^\[  FAILED  \] (\d+) tests?,", output, re.M)
    if passed is None and failed is None:
        return None
    return int(passed[1]) if passed else 0, int(failed[1]) if failed else 0


def pytest_passed(output):
    """The count of passed tests in pytest's closing line, or 0."""
    found = re.search(r"(\d+) passed", output.strip().splitlines()[-1] if output.strip() else "")
    return int(found[1]) if found else 0


def cross_target(session, out, name, toolchain_file, zig_target, runs):
    """Builds the core and the C++ tests for one target; runs them where they
    can run. Returns what was done and the count of tests passed."""
    build = out / name
    env = zig_env(zig_target) if zig_target else {}
    config = [
        "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release", "-DTOLVANE_PYTHON=OFF", "-DTOLVANE_TESTS=ON",
        "-DTOLVANE_WERROR=ON", "-DTOLVANE_CHECK_INVARIANTS=ON", f"-DTOLVANE_GTEST_SOURCE_DIR={GTEST_SOURCES}",
        f"--toolchain={TOOLCHAINS / toolchain_file}",
    ]  # fmt: skip
    session.log(f"{name}: building the core and the C++ tests")
    session.run("cmake", "-S", str(ROOT), "-B", str(build), *config, env=env, silent=True)
    session.run("cmake", "--build", str(build), env=env, silent=True)
    (tests,) = [p for p in (build / "tests" / "cpp").glob("tolvane_tests*") if p.suffix in ("", ".exe")]
    if runs is None:
        arch = macho_arch(tests)
        if arch is None or not name.endswith(arch):
            session.error(f"{name}: {tests.name} is not a Mach-O executable for {name}")
        return f"built and linked ({arch} Mach-O)", None
    session.log(f"{name}: the C++ tests" + (" under wine" if runs == "wine" else ""))
    if runs == "wine":
        # wine's prefix links z: to /: outside the tree, which the sdist's
        # build walks.
        with tempfile.TemporaryDirectory() as home:
            wine = shutil.which("wine64") or "/usr/lib/wine/wine64"
            env = {**os.environ, "WINEDEBUG": "-all", "WINEPREFIX": str(pathlib.Path(home, "wine"))}
            run = subprocess.run([wine, str(tests), "--gtest_brief=1"], capture_output=True, text=True, env=env)
    else:
        run = subprocess.run([str(tests), "--gtest_brief=1"], capture_output=True, text=True)
    counts = gtest_counts(run.stdout)
    if run.returncode != 0 or counts is None or counts[1] != 0:
        print(run.stdout[-20000:], run.stderr[-5000:])
        session.error(f"{name}: the C++ tests failed")
    return "built and tested" + (" under wine" if runs == "wine" else " here"), counts[0]


def clang_libcxx(session, out):
    """The module built with Debian's clang and libc++ (shared), and the
    Python tests against it, so that a libstdc++-only habit shows."""
    where = out / "clang-libcxx"
    env = {"CXX": "clang++", "CXXFLAGS": "-stdlib=libc++", "LDFLAGS": "-stdlib=libc++"}
    session.log("clang-libcxx: the module with clang and libc++")
    built = wheel(session, where / "dist", where / "build", ROOT, WERROR, CHECKS, env=env)
    if not uses_libcxx(wheel_module(built)):
        session.error("clang-libcxx: the module was not built with libc++")
    (output,) = pytest_outside(session, fresh_env(session, where / "env", built))
    return "module built, Python tests here", pytest_passed(output)


# The architectures of the hosted wheel runners, by cibuildwheel platform.
HOSTED_ARCHS = {"linux": "x86_64 aarch64", "macos": "arm64 x86_64", "windows": "AMD64"}
WORKFLOW = ROOT / ".github" / "workflows" / "ci.yml"


def hosted_problems(session):
    """What is wrong with the hosted wheel builds' configuration, as far as
    this machine can tell: what cibuildwheel (the pinned version) would build
    for each platform against pyproject.toml's list, and the workflow's
    cibuildwheel action against the pinned version."""
    found = set()
    for name, archs in HOSTED_ARCHS.items():
        command = ["cibuildwheel", "--print-build-identifiers", "--platform", name, "--archs", archs]
        found |= set(session.run(*command, silent=True, env={"CI": ""}).split())
    expected = set(PYPROJECT["tool"]["cibuildwheel"]["build"])
    problems = [f"cibuildwheel would build {sorted(found)}, not {sorted(expected)}"] if found != expected else []
    pinned = importlib.metadata.version("cibuildwheel")
    if f"pypa/cibuildwheel@v{pinned}\n" not in WORKFLOW.read_text():
        problems.append(f"the workflow does not use pypa/cibuildwheel@v{pinned}, the version constraints.txt pins")
    return problems, sorted(found)


@nox.session
def portability(session):
    """The C++ tests for Windows (under wine) and glibc 2.28, built for macOS; the module with clang and libc++."""
    install(session, "build", "test", "cross", "hosted")
    out = BUILD / "portability"
    start = time.monotonic()
    problems, identifiers = hosted_problems(session)
    if problems:
        session.error("; ".join(problems))
    session.log(f"hosted CI would build and test: {', '.join(identifiers)}")
    cibuildwheel = f"cibuildwheel {importlib.metadata.version('cibuildwheel')}"
    rows = [("hosted-ci", cibuildwheel, "configured, identifiers checked", None, time.monotonic() - start)]
    for name, toolchain, toolchain_file, zig_target, runs in CROSS_TARGETS:
        start = time.monotonic()
        done, passed = cross_target(session, out, name, toolchain_file, zig_target, runs)
        rows.append((name, toolchain, done, passed, time.monotonic() - start))
    start = time.monotonic()
    done, passed = clang_libcxx(session, out)
    rows.append(("linux-clang-libcxx", "Debian clang, libc++ shared", done, passed, time.monotonic() - start))
    print(f"\n{'target':<28} {'toolchain':<32} {'result':<34} {'tests passed':>12} {'time':>6}")
    for name, toolchain, done, passed, seconds in rows:
        count = "-" if passed is None else str(passed)
        print(f"{name:<28} {toolchain:<32} {done:<34} {count:>12} {seconds:>5.0f}s")
