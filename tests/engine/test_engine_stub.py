"""The type stub py_engine_tarnel.pyi against the installed module: mypy's stubtest, the order of its
declarations, its installed copy, and a type check of client code that uses it."""

import ast
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "py_engine_tarnel.pyi"
ALLOWLIST = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")

pytest.importorskip("mypy", reason="mypy is part of the test extra")


@pytest.fixture
def stub_dir(tmp_path):
    """A directory holding only the stub, and a mypy configuration with its cache under tmp_path."""
    stubs = tmp_path / "stubs"
    stubs.mkdir()
    shutil.copy(STUB, stubs / STUB.name)
    (tmp_path / "mypy.ini").write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\nwarn_unused_ignores = True\n")
    return tmp_path


def run_mypy(stub_dir, tool, *args):
    """Runs `python -m tool` (mypy or mypy.stubtest) with the stub directory as the only search path."""
    config = "--mypy-config-file" if tool == "mypy.stubtest" else "--config-file"
    env = dict(os.environ, MYPYPATH=str(stub_dir / "stubs"))
    return subprocess.run([sys.executable, "-m", tool, *args, config, str(stub_dir / "mypy.ini")],
                          capture_output=True, text=True, timeout=110, cwd=stub_dir, env=env)


def test_stubtest_passes(stub_dir):
    args = ["py_engine_tarnel"]
    if ALLOWLIST.exists():
        args += ["--allowlist", str(ALLOWLIST)]
    result = run_mypy(stub_dir, "mypy.stubtest", *args)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success" in result.stdout


def stub_tree():
    return ast.parse(STUB.read_text())


def test_stub_declares_in_the_module_order(tarnel):
    tree = stub_tree()
    classes = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    functions = [node.name for node in tree.body if isinstance(node, ast.FunctionDef)]
    assert [c.name for c in classes] == ["TarnelEngineAsync"]
    methods = [node.name for node in classes[0].body if isinstance(node, ast.FunctionDef)]
    runtime_methods = [name for name in vars(tarnel.TarnelEngineAsync)
                       if not name.startswith("__") or name in ("__aenter__", "__aexit__")]
    assert methods == ["__new__", *runtime_methods]
    assert functions == tarnel.__all__[1:]
    declared_all = next(node.value for node in tree.body if isinstance(node, ast.Assign)
                        and [t.id for t in node.targets] == ["__all__"])
    assert ast.literal_eval(declared_all) == tarnel.__all__


def test_stub_is_installed_beside_the_module(tarnel):
    installed = pathlib.Path(tarnel.__file__).with_name(STUB.name)
    assert installed.is_file(), f"{installed} is missing: the module was installed without its stub"
    assert installed.read_bytes() == STUB.read_bytes()


CLIENT = '''
    import asyncio
    from typing import assert_type

    import numpy as np
    import numpy.typing as npt

    from py_engine_tarnel import (
        TarnelEngineAsync, decode_close_step_py, decode_mat_f64_py, decode_vec_f64_py, decode_vec_mat_f64_py,
        encode_close_step_py, encode_mat_f64_py, encode_vec_f64_py,
    )

    F64 = npt.NDArray[np.float64]
    I32 = npt.NDArray[np.int32]


    async def session(engine: TarnelEngineAsync, candles: F64) -> None:
        assert_type(engine.start(), asyncio.Future[None])
        assert_type(await engine.wait_connected(), None)
        assert_type(await engine.init_candles(candles, timeout_secs=2), None)
        assert_type(await engine.reset_episode(3, "train", 1.5), int)
        assert_type(await engine.get_rl_config(), str)
        assert_type(await engine.step_next(), None)
        assert_type(await engine.step_and_sync(), tuple[F64, F64])
        assert_type(await engine.get_snapshot(), F64)
        assert_type(await engine.get_ticket_list(), F64)
        assert_type(await engine.get_ohlc(None), F64)
        assert_type(await engine.fetch_events(), F64)
        assert_type(await engine.end_session(), F64)
        assert_type(await engine.get_sync_policy(), str | None)
        assert_type(await engine.close_positions([1, 2], (2, 1), [0.5, 1]), F64)
        assert_type(await engine.place_order("buy", "limit", 1.25, 10, take_profit=0.02, time_limit=30), F64)
        assert_type(await engine.place_ticket("sell", True, stop_loss=0.5), F64)
        assert_type(await engine.close(), None)
        async with TarnelEngineAsync("127.0.0.1", 0) as scoped:
            assert_type(scoped, TarnelEngineAsync)
        engine.place_order("buy", "limit", 1.0, 2.5)  # type: ignore[arg-type]
        engine.get_ohlc(timeout=1)  # type: ignore[call-arg]
        engine.reset_episode(1)  # type: ignore[call-arg]
        engine.start(1)  # type: ignore[call-arg]


    def codecs(payload: bytes, vector: F64, flags: I32) -> None:
        assert_type(decode_vec_f64_py(payload), F64)
        assert_type(decode_mat_f64_py(payload=payload), F64)
        assert_type(decode_close_step_py(payload), tuple[I32, I32, F64])
        assert_type(decode_vec_mat_f64_py(payload), tuple[F64, F64])
        assert_type(encode_vec_f64_py(vector), list[int])
        assert_type(encode_mat_f64_py(mat=vector), list[int])
        assert_type(encode_close_step_py(flags, flags, vector), list[int])
        decode_vec_f64_py("text")  # type: ignore[arg-type]


    engine = TarnelEngineAsync("127.0.0.1", 8765)
    TarnelEngineAsync("127.0.0.1", port=8765, start_seq=None)
    TarnelEngineAsync(8765)  # type: ignore[call-arg, arg-type]
'''


def test_client_code_type_checks_against_the_stub(stub_dir):
    (stub_dir / "client.py").write_text(textwrap.dedent(CLIENT))
    result = run_mypy(stub_dir, "mypy", "--strict", "client.py")
    assert result.returncode == 0, result.stdout + result.stderr
