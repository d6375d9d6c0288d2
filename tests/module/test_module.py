"""The py_engine_tarnel module object: initialisation, __all__, public names and the built file."""

import importlib
import importlib.machinery
import pathlib
import shutil
import subprocess
import sys
import textwrap
import types

import pytest

MODULE = "py_engine_tarnel"
CLASS = "TarnelEngineAsync"
FUNCTIONS = [
    "decode_vec_f64_py",
    "decode_mat_f64_py",
    "decode_close_step_py",
    "decode_vec_mat_f64_py",
    "encode_vec_f64_py",
    "encode_mat_f64_py",
    "encode_close_step_py",
]


def expected_all(module):
    # the class is registered first, when it is built into the module
    return ([CLASS] if hasattr(module, CLASS) else []) + FUNCTIONS


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )


class TestContents:
    def test_all_lists_the_names_in_registration_order(self, tarnel):
        assert type(tarnel.__all__) is list
        assert all(type(name) is str for name in tarnel.__all__)
        assert tarnel.__all__ == expected_all(tarnel)
        if CLASS in tarnel.__all__:
            assert tarnel.__all__.index(CLASS) == 0
            assert tarnel.__all__[1:] == FUNCTIONS

    def test_no_other_public_attributes(self, tarnel):
        names = {name for name in vars(tarnel) if not (name.startswith("__") and name.endswith("__"))}
        assert names == set(expected_all(tarnel))
        assert hasattr(tarnel, "__all__")

    def test_every_listed_name_is_set(self, tarnel):
        for name in FUNCTIONS:
            function = getattr(tarnel, name)
            assert isinstance(function, types.BuiltinFunctionType)
            assert function.__name__ == name
        if hasattr(tarnel, CLASS):
            assert isinstance(getattr(tarnel, CLASS), type)

    def test_star_import_gives_exactly_the_listed_names(self, tarnel):
        namespace = {}
        exec(f"from {MODULE} import *", namespace)
        namespace.pop("__builtins__")
        assert set(namespace) == set(expected_all(tarnel))
        for name, value in namespace.items():
            assert value is getattr(tarnel, name)

    @pytest.mark.parametrize("name", ["PanicException", "TarnelPanic"])
    def test_failure_exceptions_are_not_module_attributes(self, tarnel, name):
        assert not hasattr(tarnel, name)
        assert name not in tarnel.__all__

    def test_name(self, tarnel):
        assert tarnel.__name__ == MODULE


class TestInitialisation:
    def test_second_import_returns_the_same_module(self, tarnel):
        first = sys.modules[MODULE]
        assert first is tarnel
        try:
            del sys.modules[MODULE]
            second = importlib.import_module(MODULE)
            assert second is first
            assert sys.modules[MODULE] is first
            del sys.modules[MODULE]
            third = __import__(MODULE)
            assert third is first
        finally:
            sys.modules[MODULE] = first

    def test_second_import_keeps_all_as_it_was(self, tarnel):
        before = list(tarnel.__all__)
        try:
            del sys.modules[MODULE]
            again = importlib.import_module(MODULE)
        finally:
            sys.modules[MODULE] = tarnel
        assert again.__all__ == before

    def test_fresh_process_sees_the_same_surface(self, tarnel):
        result = run_python(
            f"""
            import sys
            import {MODULE} as m
            first = m
            del sys.modules["{MODULE}"]
            import {MODULE} as m2
            print(m2 is first, m.__all__)
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == f"True {expected_all(tarnel)}"

    def test_sub_interpreter_import_is_refused(self):
        result = run_python(
            f"""
            try:
                import _xxsubinterpreters as interpreters
            except ImportError:
                print("unavailable")
                raise SystemExit(0)
            import {MODULE}
            interp = interpreters.create()
            try:
                interpreters.run_string(interp, "import {MODULE}")
            except interpreters.RunFailedError as error:
                print("refused", error)
            else:
                print("imported")
            finally:
                interpreters.destroy(interp)
            """
        )
        assert result.returncode == 0, result.stderr
        if result.stdout.strip() == "unavailable":
            pytest.skip("this interpreter has no sub-interpreter module")
        assert result.stdout.startswith("refused"), result.stdout
        assert "ImportError" in result.stdout


class TestBuiltFile:
    def test_extension_is_the_stable_abi_file(self, tarnel):
        path = pathlib.Path(tarnel.__file__)
        assert path.name == f"{MODULE}.abi3.so"
        assert path.is_file()
        assert ".abi3.so" in importlib.machinery.EXTENSION_SUFFIXES
        assert isinstance(tarnel.__spec__.loader, importlib.machinery.ExtensionFileLoader)

    def test_no_version_specific_build_shadows_it(self, tarnel):
        folder = pathlib.Path(tarnel.__file__).parent
        built = sorted(p.name for p in folder.iterdir() if p.name.startswith(MODULE + ".") and p.suffix == ".so")
        assert built == [f"{MODULE}.abi3.so"]

    def test_only_stable_abi_symbols_are_used(self, tarnel):
        nm = shutil.which("nm")
        if nm is None:
            pytest.skip("nm is not installed")
        try:
            from test import test_stable_abi_ctypes
        except ImportError:
            pytest.skip("the interpreter's list of stable-ABI symbols is not installed")
        stable = set(test_stable_abi_ctypes.SYMBOL_NAMES)
        # in the stable ABI, but left out of that list because debug builds rename them
        stable |= {"PyModule_Create2", "PyModule_FromDefAndSpec2"}
        listing = subprocess.run(
            [nm, "-D", tarnel.__file__], capture_output=True, text=True, check=True, timeout=60
        ).stdout
        undefined, exported = set(), set()
        for line in listing.splitlines():
            fields = line.split()
            if len(fields) == 2 and fields[0] == "U":
                undefined.add(fields[1].split("@")[0])
            elif len(fields) == 3 and fields[1] == "T":
                exported.add(fields[2])
        python_symbols = {s for s in undefined if s.lstrip("_").startswith("Py")}
        assert python_symbols, "no interpreter symbol referenced at all"
        assert python_symbols <= stable, sorted(python_symbols - stable)
        assert f"PyInit_{MODULE}" in exported
