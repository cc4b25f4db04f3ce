"""Import lifecycle of the module, each case in a fresh interpreter: the
module's state is process-wide, so these cannot share the test process."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import ROOT, python_command, run_python
from source_map import FILE, MODULE, VALIDATE

NAME = "tarnvel._internal.api_logic"
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."
REINITIALISATION = "Module 'api_logic' has already been imported. Re-initialisation is not supported."

PRELUDE = f"""
import builtins, importlib, importlib.util, sys, traceback, types
NAME = {NAME!r}

def entries(exc):
    return [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__) if f.filename == {FILE!r}]

def failed_import():
    try:
        importlib.import_module(NAME)
    except BaseException as exc:
        assert NAME not in sys.modules, "a failed import left the module in sys.modules"
        return exc
    raise AssertionError("the import succeeded")
"""


def run_case(*parts: str, **kwargs) -> str:
    """Runs the parts, each dedented, one after the other in a fresh interpreter."""
    source = "\n".join([PRELUDE, *(textwrap.dedent(part) for part in parts), "print('case done')\n"])
    result = run_python(source, **kwargs)
    if result.returncode != 0 or not result.stdout.endswith("case done\n"):
        pytest.fail(f"exit status {result.returncode}\n{result.stderr}", pytrace=False)
    return result.stdout


# ---------------------------------------------------------------------------
# Failing imports: the error, one entry at the source line, nothing left behind,
# and the next import once the cause is gone succeeds


class _Finders:
    # requests found by a finder that cannot find it, or whose module fails to run
    missing = """
        class Missing:
            def find_spec(self, name, path=None, target=None):
                if name == "requests":
                    raise ModuleNotFoundError("No module named 'requests'", name=name)
        sys.meta_path.insert(0, Missing())
    """
    broken = """
        import importlib.abc, importlib.machinery
        class Broken(importlib.abc.Loader):
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                raise RuntimeError("requests is broken")
        class Finder:
            def find_spec(self, name, path=None, target=None):
                if name == "requests":
                    return importlib.machinery.ModuleSpec(name, Broken())
        sys.meta_path.insert(0, Finder())
    """


@pytest.mark.parametrize(
    "cause, undo, error, message, line",
    [
        (
            'sys.modules["requests"] = None',
            'del sys.modules["requests"]',
            "ModuleNotFoundError",
            "import of requests halted; None in sys.modules",
            MODULE.import_requests,
        ),
        (
            _Finders.missing,
            "sys.meta_path.pop(0)",
            "ModuleNotFoundError",
            "No module named 'requests'",
            MODULE.import_requests,
        ),
        (_Finders.broken, "sys.meta_path.pop(0)", "RuntimeError", "requests is broken", MODULE.import_requests),
        (
            "saved = builtins.ValueError; del builtins.ValueError",
            "builtins.ValueError = saved",
            "NameError",
            "name 'ValueError' is not defined",
            MODULE.import_requests,
        ),
        (
            "import requests, typing; saved = typing.Optional; del typing.Optional",
            "typing.Optional = saved",
            "ImportError",
            "cannot import name Optional",
            MODULE.import_optional,
        ),
        (
            """
        import requests
        class Typing(types.ModuleType):
            @property
            def Optional(self):
                raise RuntimeError("not this one")
        saved = sys.modules["typing"]
        sys.modules["typing"] = Typing("typing")
     """,
            'sys.modules["typing"] = saved',
            "ImportError",
            "cannot import name Optional",
            MODULE.import_optional,
        ),
        (
            'import requests; saved = sys.modules["typing"]; sys.modules["typing"] = None',
            'sys.modules["typing"] = saved',
            "ModuleNotFoundError",
            "import of typing halted; None in sys.modules",
            MODULE.import_optional,
        ),
    ],
    ids=[
        "requests-None",
        "requests-missing",
        "requests-broken",
        "no-ValueError",
        "no-Optional",
        "Optional-raises",
        "typing-None",
    ],
)
def test_failed_import_then_recovery(cause, undo, error, message, line):
    run_case(
        cause,
        f"""
        exc = failed_import()
        assert (type(exc).__name__, str(exc)) == ({error!r}, {message!r}), repr(exc)
        assert entries(exc) == [({line}, {MODULE.function!r})], entries(exc)
        {undo}
        module = importlib.import_module(NAME)
        import requests, typing
        assert module.requests is requests and module.Optional is typing.Optional
        assert isinstance(module.InternalClass(), module.InternalClass)
    """,
    )


# ---------------------------------------------------------------------------
# What the module binds as requests and Optional

REQUESTS_ENTRIES = {
    "no __spec__": "class Stand: pass",
    "__spec__ None": "Stand = lambda: types.ModuleType('requests')",
    "__spec__ raising": """
        class Stand:
            @property
            def __spec__(self):
                raise RuntimeError("unreadable spec")
    """,
    "no _initializing": "class Stand: __spec__ = types.SimpleNamespace(name='requests')",
}


@pytest.mark.parametrize("entry", REQUESTS_ENTRIES.values(), ids=REQUESTS_ENTRIES)
def test_requests_entry_is_bound_without_import(entry):
    # From 3.13 the interpreter's own lookup in sys.modules (PyImport_GetModule,
    # as the import statement's) reads __spec__ itself and lets its error
    # through; the import system then raises it too.
    refused = entry == REQUESTS_ENTRIES["__spec__ raising"] and sys.version_info >= (3, 13)
    run_case(
        entry,
        f"""
        stand = Stand()
        sys.modules["requests"] = stand
        try:
            import requests as by_statement
        except RuntimeError as exc:
            by_statement = exc
        if {refused}:
            assert type(by_statement) is RuntimeError, by_statement
            exc = failed_import()
            assert (type(exc), str(exc)) == (RuntimeError, "unreadable spec"), repr(exc)
            assert entries(exc) == [({MODULE.import_requests}, {MODULE.function!r})], entries(exc)
        else:
            assert by_statement is stand, by_statement
            module = importlib.import_module(NAME)
            assert module.requests is stand
        assert "requests.models" not in sys.modules  # the package itself was never imported
    """,
    )


@pytest.mark.parametrize("flag, reads", [("False", 2), ("0", 2), ("True", 3), ("Truthy()", 3)])
def test_requests_entry_still_initialising_goes_through_the_import_system(flag, reads):
    # The lookup in sys.modules reads _initializing once and the module once
    # more; the import system, when consulted, reads it a third time.
    run_case(f"""
        class Truthy:
            def __bool__(self):
                return True
        class Spec:
            reads = 0
            @property
            def _initializing(self):
                Spec.reads += 1
                return {flag}
        stand = types.ModuleType("requests")
        stand.__spec__ = Spec()
        sys.modules["requests"] = stand
        module = importlib.import_module(NAME)
        assert module.requests is stand
        assert Spec.reads == {reads}, Spec.reads
    """)


def test_replaced_import_function_is_not_consulted():
    # A call from the exec step would come from C: its innermost Python frame
    # is the import system's, which runs the step (other C modules' imports
    # come from there too), or its globals would be the module's.
    run_case("""
        assert "requests" not in sys.modules
        original, seen = builtins.__import__, []
        def recording(name, globals=None, locals=None, fromlist=(), level=0):
            seen.append((name, sys._getframe(1).f_code.co_name, (globals or {}).get("__name__")))
            return original(name, globals, locals, fromlist, level)
        builtins.__import__ = recording
        import tarnvel._internal.api_logic as module
        builtins.__import__ = original
        assert module.requests is sys.modules["requests"]
        assert (NAME, "<module>", "__main__") in seen and len(seen) > 100  # requests' own imports
        assert [s for s in seen if s[2] == NAME or s[0] == "requests"
                or (s[0] == "typing" and s[1] == "_call_with_frames_removed")] == []
    """)


def test_optional_found_in_sys_modules():
    run_case("""
        import requests, typing
        saved, stand = typing.Optional, object()
        del typing.Optional
        sys.modules["typing.Optional"] = stand
        module = importlib.import_module(NAME)
        assert module.Optional is stand
    """)


# ---------------------------------------------------------------------------
# Re-entry: nothing runs twice


@pytest.mark.parametrize(
    "again",
    [
        "del sys.modules[NAME]; again = importlib.import_module(NAME)",
        "del sys.modules[NAME]; import tarnvel._internal.api_logic as again",
        "again = importlib.reload(module)",
    ],
)
def test_second_import_gives_the_same_module(again):
    run_case(f"""
        module = importlib.import_module(NAME)
        cls, real_requests = module.InternalClass, module.requests
        module.marker = "kept"
        module.InternalClass.extra = 1
        sys.modules["requests"] = types.ModuleType("requests")  # a fresh import would bind this
        {again}
        assert again is module and sys.modules[NAME] is module
        assert module.marker == "kept" and module.InternalClass is cls and cls.extra == 1
        assert module.requests is real_requests
    """)


def test_exec_on_a_second_module_object_is_refused():
    run_case(f"""
        import tarnvel._internal
        spec = importlib.util.find_spec(NAME)
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        assert first is not second
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            assert str(exc) == {REINITIALISATION!r}, str(exc)
            assert entries(exc) == []
        else:
            raise AssertionError("second exec accepted")
        spec.loader.exec_module(first)  # the initialised module: quietly nothing
        assert not hasattr(second, "InternalClass")
        assert isinstance(first.InternalClass(), first.InternalClass)
        assert importlib.import_module(NAME) is first
    """)


@pytest.mark.parametrize("name", [NAME, "elsewhere.api_logic"])
def test_failed_exec_outside_the_import_system(name):
    # Executed by hand, so the import system cleans up nothing: what the exec
    # step registered itself must not outlive its failure.
    run_case(f"""
        import requests, typing
        import tarnvel._internal
        spec = importlib.util.spec_from_file_location({name!r}, importlib.util.find_spec(NAME).origin)
        failed = importlib.util.module_from_spec(spec)
        saved = typing.Optional
        del typing.Optional
        try:
            spec.loader.exec_module(failed)
        except ImportError as exc:
            assert entries(exc) == [({MODULE.import_optional}, {MODULE.function!r})]
        else:
            raise AssertionError("exec succeeded without Optional")
        typing.Optional = saved
        assert NAME not in sys.modules, "the failed module is left for the next import"
        assert failed.requests is requests and "InternalClass" not in vars(failed)
        fresh = importlib.util.module_from_spec(spec)
        assert fresh is not failed
        spec.loader.exec_module(fresh)
        assert fresh.__name__ == {name!r} and fresh.InternalClass.__module__ == NAME
        assert sys.modules[NAME] is fresh and importlib.import_module(NAME) is fresh
        assert importlib.util.module_from_spec(spec) is fresh  # once ready, the one module object
    """)


# How the import fails in a second interpreter, by the kind of interpreter: one
# that shares the main interpreter's GIL reaches the module's own guard; one
# with a GIL of its own (3.12+) is turned away by the import system itself, as
# the module supports only shared-GIL sub-interpreters.
SECOND_INTERPRETERS = {
    "shared GIL": ("ImportError", INTERPRETER_CHANGE),
    "own GIL": ("ImportError", f"module {NAME} does not support loading in subinterpreters"),
}

IMPORT_ELSEWHERE = """
def import_elsewhere(own_gil):
    # (exception name, text) of the module's import in a new interpreter, or None.
    try:
        import _interpreters as interpreters  # 3.13+
    except ModuleNotFoundError:
        import _xxsubinterpreters as interpreters
    if hasattr(interpreters, "new_config"):
        other = interpreters.create("isolated" if own_gil else "legacy")
    else:
        other = interpreters.create(isolated=own_gil)  # 3.11: always the shared GIL
    try:
        failure = interpreters.run_string(other, "import tarnvel._internal.api_logic")
    except interpreters.RunFailedError as exc:  # up to 3.12: "<class 'Name'>: text"
        kind, _, text = str(exc).partition(": ")
        return kind.removeprefix("<class '").removesuffix("'>"), text
    finally:
        interpreters.destroy(other)
    # 3.13 hands back a description of the failure.
    return None if failure is None else (failure.type.__name__, failure.msg)
"""


@pytest.mark.parametrize("kind", list(SECOND_INTERPRETERS))
@pytest.mark.parametrize(
    "first_import",
    [
        "import tarnvel._internal.api_logic",
        'sys.modules["requests"] = None; failed_import(); del sys.modules["requests"]',
    ],
)
def test_second_interpreter_is_refused(first_import, kind):
    if kind == "own GIL" and sys.version_info < (3, 12):
        pytest.skip("a sub-interpreter with a GIL of its own arrives in 3.12")
    run_case(
        IMPORT_ELSEWHERE,
        f"""
        {first_import}
        refusal = import_elsewhere(own_gil={kind == "own GIL"})
        assert refusal == {SECOND_INTERPRETERS[kind]!r}, refusal
        module = importlib.import_module(NAME)
        try:
            module.InternalClass().validate_token()
        except TypeError as exc:
            assert entries(exc) == [({VALIDATE.def_}, {VALIDATE.function!r})]
    """,
    )


# ---------------------------------------------------------------------------
# The create step: what it copies from the import spec


def test_create_step_copies_the_import_spec():
    # _imp.create_dynamic runs the create step only. The module's loader,
    # origin, parent and search locations come from whatever the import spec offers.
    run_case("""
        import _imp
        import tarnvel._internal
        real = importlib.util.find_spec(NAME)

        class Spec:
            name, parent, submodule_search_locations = NAME, "tarnvel._internal", None
            def __init__(self, **fields):
                self.creating = False
                self.__dict__.update(fields)
            @property
            def loader(self):
                self.creating = True  # the loading machinery reads only name and origin
                return real.loader
            def __getattr__(self, attribute):
                if attribute == "origin":
                    if not self.creating:
                        return real.origin
                    if "origin_in_create" in self.__dict__:
                        value = self.origin_in_create
                        if isinstance(value, BaseException):
                            raise value
                        return value
                raise AttributeError(attribute)

        def created(**fields):
            return dict(vars(_imp.create_dynamic(Spec(**fields))))

        base = {"__name__": NAME, "__doc__": None, "__package__": "tarnvel._internal",
                "__loader__": real.loader, "__spec__": None}
        assert created() == base
        assert created(origin_in_create=None) == {**base, "__file__": None}
        assert created(origin_in_create="/where") == {**base, "__file__": "/where"}
        assert created(origin_in_create=AttributeError("gone")) == base
        assert created(parent=None) == {**base, "__package__": None}
        paths = ["/somewhere"]
        assert created(submodule_search_locations=paths)["__path__"] is paths
        try:
            created(origin_in_create=ValueError("unreadable"))
        except ValueError as exc:
            assert str(exc) == "unreadable"
        else:
            raise AssertionError("a failing import spec attribute was ignored")
        module = _imp.create_dynamic(Spec())
        _imp.exec_dynamic(module)
        assert "__file__" not in vars(module) and "__path__" not in vars(module)
        assert sys.modules[NAME] is module and module.InternalClass.__module__ == NAME
    """)


# ---------------------------------------------------------------------------
# Embedding


def test_embedding_flag_names_the_module_main():
    run_case("""
        import ctypes
        import tarnvel._internal
        library = ctypes.CDLL(importlib.util.find_spec(NAME).origin)
        flag = ctypes.c_int32.in_dll(library, "tarnvel_api_logic_embedded_as_main")
        assert flag.value == 0
        flag.value = 1
        main = sys.modules["__main__"]
        module = importlib.import_module(NAME)
        assert module.__name__ == "__main__" and flag.value == 1
        assert sys.modules[NAME] is module and sys.modules["__main__"] is main
        assert module.InternalClass.__module__ == NAME and module.InternalClass.validate_token.__module__ == NAME
    """)


# ---------------------------------------------------------------------------
# The version warning, from a copy built to believe it targets the next minor version

RUNNING_MINOR = sys.version_info.minor
FAKE_MINOR = RUNNING_MINOR + 1
WARNING = (
    f"compile time Python version 3.{FAKE_MINOR} of module 'tarnvel._internal.api_logic' "
    f"does not match runtime version 3.{RUNNING_MINOR}"
)


def _why_no_build() -> str | None:
    """Why the copy cannot be built here, or None when it can."""
    wanted = os.environ.get("TARNVEL_BUILD_TOOLS")
    if wanted == "0":
        return "building is turned off (TARNVEL_BUILD_TOOLS=0)"
    if os.environ.get("TARNVEL_TEST_LAUNCHER"):
        # The host's toolchain builds for the host, not for the emulated interpreter.
        return "the interpreter runs under TARNVEL_TEST_LAUNCHER, for which the host cannot build"
    missing = [tool for tool in ("cmake", "ninja") if not shutil.which(tool)]
    if wanted != "1" and missing:
        return f"{' and '.join(missing)} not found on the host (TARNVEL_BUILD_TOOLS=1 forces a build)"
    return None


@pytest.fixture(scope="module")
def fake_minor_stage(tmp_path_factory) -> Path:
    prebuilt = os.environ.get("TARNVEL_FAKE_MINOR_STAGE")
    if prebuilt:
        stage = Path(prebuilt)
        assert list((stage / "tarnvel" / "_internal").glob("api_logic*.so")), (
            f"TARNVEL_FAKE_MINOR_STAGE={prebuilt} holds no tarnvel/_internal/api_logic*.so"
        )
        return stage
    why = _why_no_build()
    if why is not None:
        pytest.skip(
            f"{why}, and TARNVEL_FAKE_MINOR_STAGE names no stage built with -DTARNVEL_FAKE_BUILD_MINOR={FAKE_MINOR}"
        )
    build = tmp_path_factory.mktemp("build-fake-minor")
    result = subprocess.run(
        [str(ROOT / "devtools" / "dev_build.sh"), str(build), f"-DTARNVEL_FAKE_BUILD_MINOR={FAKE_MINOR}"],
        capture_output=True,
        text=True,
        env={**os.environ, "PYTHON": sys.executable},
        timeout=600,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    return Path(result.stdout.strip().splitlines()[-1])


def test_version_mismatch_warns_once(fake_minor_stage):
    run_case(
        f"""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            module = importlib.import_module(NAME)
        assert module.__file__.startswith({str(fake_minor_stage)!r}), module.__file__
        runtime = [str(w.message) for w in caught if w.category is RuntimeWarning]
        assert runtime == [{WARNING!r}], runtime
        assert isinstance(module.InternalClass(), module.InternalClass)
    """,
        env={"PYTHONPATH": str(fake_minor_stage)},
    )


def test_version_mismatch_as_error_fails_the_import(fake_minor_stage):
    source = PRELUDE + textwrap.dedent(f"""
        exc = failed_import()
        assert (type(exc), str(exc)) == (RuntimeWarning, {WARNING!r}), repr(exc)
        assert entries(exc) == []
        import warnings
        warnings.simplefilter("ignore")
        assert importlib.import_module(NAME).InternalClass
        print("case done")
    """)
    result = subprocess.run(
        [*python_command(), "-W", "error::RuntimeWarning", "-c", source],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=str(ROOT / "tests"),
        env={**os.environ, "PYTHONPATH": str(fake_minor_stage)},
    )
    assert result.returncode == 0 and result.stdout.endswith("case done\n"), result.stderr


def test_matching_version_does_not_warn():
    # The file name carries this interpreter's own tag: built for this very version.
    source = (
        f"import importlib.machinery, {NAME} as m\n"
        "assert m.__file__.endswith(importlib.machinery.EXTENSION_SUFFIXES[0]), m.__file__\n"
    )
    result = subprocess.run(
        [*python_command(), "-W", "error", "-c", source],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=str(ROOT / "tests"),
    )
    assert result.returncode == 0, result.stderr
