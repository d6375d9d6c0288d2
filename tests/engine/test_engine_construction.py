"""TarnelEngineAsync as a class: construction with its conversions and binding errors, the Python
surface of the class and of start/wait_connected, and what construction leaves untouched."""

import asyncio
import gc
import inspect
import operator
import subprocess
import sys
import textwrap
import warnings

import pytest

from support.ports import can_listen, held_port, listening

OUT_OF_RANGE = "out of range integral type conversion attempted"

METHODS = [
    ("start", "($self)", None),
    ("wait_connected", "($self, timeout_secs=None)", None),
    ("init_candles", "($self, ohlc5, timeout_secs=None)", None),
    (
        "reset_episode",
        "($self, episode_index, episode_type, timeout_secs=None)",
        "Reset to a specific episode by index.\nPayload: [u32 episode_index, u8 episode_type (0=train, 1=test)]",
    ),
    (
        "get_rl_config",
        "($self, timeout_secs=None)",
        "Get RL config from UI (seed, episode counts, etc.). Returns JSON string.",
    ),
    ("step_next", "($self, timeout_secs=None)", None),
    ("step_and_sync", "($self, timeout_secs=None)", None),
    ("get_snapshot", "($self, timeout_secs=None)", None),
    ("get_ticket_list", "($self, timeout_secs=None)", None),
    ("get_ohlc", "($self, timeout_secs=None)", None),
    ("fetch_events", "($self, timeout_secs=None)", None),
    ("end_session", "($self, timeout_secs=None)", None),
    ("get_sync_policy", "($self, timeout_secs=None)", None),
    ("close_positions", "($self, position_ids, actions, ratios, timeout_secs=None)", None),
    (
        "place_order",
        "($self, side, order_type, price, units, take_profit=None, stop_loss=None, trailing_stop=None, "
        "time_limit=None, timeout_secs=None)",
        None,
    ),
    ("place_ticket", "($self, side, units, take_profit=None, stop_loss=None, trailing_stop=None, timeout_secs=None)", None),
    (
        "close",
        "($self)",
        'Stop the engine: close the listening sockets and the connection, and fail calls in flight and later calls '
        'with "engine closed". The port is free again when the future is done. Idempotent.',
    ),
]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def interpreter_message(fn, *args):
    """The text of the error the interpreter's own conversion raises for these arguments."""
    with pytest.raises(BaseException) as info:
        fn(*args)
    return str(info.value)


def run_child(code, timeout=60):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def Engine(tarnel):
    return tarnel.TarnelEngineAsync


# ---- the class -------------------------------------------------------------------------------------


class TestClassSurface:
    def test_names_and_module(self, Engine, tarnel):
        assert isinstance(Engine, type)
        assert Engine.__name__ == "TarnelEngineAsync"
        assert Engine.__qualname__ == "TarnelEngineAsync"
        assert Engine.__module__ == "builtins"
        assert tarnel.TarnelEngineAsync is Engine

    def test_constructor_signature_comes_from_the_docstring(self, Engine):
        assert Engine.__text_signature__ == "(host, port, start_seq=None)"
        assert not Engine.__doc__  # nothing after the signature and its separator
        assert str(inspect.signature(Engine)) == "(host, port, start_seq=None)"
        parameters = inspect.signature(Engine).parameters
        assert [p.kind for p in parameters.values()] == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 3
        assert parameters["start_seq"].default is None

    def test_methods_in_order_with_their_docstrings(self, Engine):
        own = [name for name in vars(Engine) if not name.startswith("__")]
        assert own == [name for name, _, _ in METHODS]
        for name, text_signature, description in METHODS:
            method = getattr(Engine, name)
            assert method.__name__ == name
            assert method.__qualname__ == f"TarnelEngineAsync.{name}"
            assert method.__text_signature__ == text_signature, name
            assert method.__doc__ == description, name

    def test_signatures_of_start_and_wait_connected(self, Engine):
        engine = Engine("127.0.0.1", 1)
        assert str(inspect.signature(Engine.start)) == "(self, /)"
        assert str(inspect.signature(engine.start)) == "()"
        assert str(inspect.signature(Engine.wait_connected)) == "(self, /, timeout_secs=None)"
        assert str(inspect.signature(engine.wait_connected)) == "(timeout_secs=None)"
        parameter = inspect.signature(engine.wait_connected).parameters["timeout_secs"]
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and parameter.default is None

    def test_instances_have_no_attributes_besides_the_methods(self, Engine):
        engine = Engine("127.0.0.1", 8765)
        assert not hasattr(engine, "__dict__")
        for name in ("host", "port", "start_seq", "seq"):
            assert not hasattr(engine, name)
        with pytest.raises(AttributeError):
            engine.host = "x"

    def test_importing_emits_no_warning(self):
        # A program that turns warnings into errors must still be able to import the module.
        child = run_child(
            """
            import warnings
            warnings.simplefilter("error")
            import py_engine_tarnel
            print(py_engine_tarnel.TarnelEngineAsync.__module__)
            """
        )
        assert child.returncode == 0, child.stderr
        assert child.stdout == "builtins\n"


# ---- construction ----------------------------------------------------------------------------------


class TestConversions:
    @pytest.mark.parametrize("port", [0, 1, 8765, 65535, True, Index(65535)])
    def test_ports_in_range(self, Engine, port):
        assert type(Engine("127.0.0.1", port)) is Engine

    @pytest.mark.parametrize("port", [65536, -1, 2**31, -(2**31), 2**32 + 8765])
    def test_ports_out_of_range(self, Engine, raises_exactly, port):
        raises_exactly(OverflowError, OUT_OF_RANGE, Engine, "127.0.0.1", port)

    def test_ports_beyond_the_interpreters_integer_conversion(self, Engine):
        for port in (2**64, -(2**64), 10**30):
            with pytest.raises(OverflowError) as info:
                Engine("127.0.0.1", port)
            assert type(info.value) is OverflowError
            assert str(info.value) != OUT_OF_RANGE

    @pytest.mark.parametrize("port", [8765.0, "8765", None, b"1", 1j], ids=["float", "str", "None", "bytes", "complex"])
    def test_ports_of_a_refused_type(self, Engine, raises_exactly, port):
        expected = "argument 'port': " + interpreter_message(operator.index, port)
        raises_exactly(TypeError, expected, Engine, "127.0.0.1", port)

    def test_float_port_text(self, Engine, raises_exactly):
        error = raises_exactly(
            TypeError, "argument 'port': 'float' object cannot be interpreted as an integer", Engine, "127.0.0.1", 8765.0
        )
        assert error.args[0].startswith("argument 'port': ")

    @pytest.mark.parametrize("start_seq", [None, 0, 1, 4294967295, True, Index(7)])
    def test_start_seq_in_range(self, Engine, start_seq):
        assert type(Engine("127.0.0.1", 1, start_seq)) is Engine
        assert type(Engine("127.0.0.1", 1, start_seq=start_seq)) is Engine

    def test_negative_start_seq_raises_the_interpreters_overflow_error(self, Engine):
        for start_seq in (-1, -(2**40), Index(-1)):
            with pytest.raises(OverflowError) as info:
                Engine("127.0.0.1", 1, start_seq)
            assert type(info.value) is OverflowError
            assert not str(info.value).startswith("argument ")

    @pytest.mark.parametrize("start_seq", [4294967296, 2**33, 2**63 - 1])
    def test_start_seq_too_large(self, Engine, raises_exactly, start_seq):
        raises_exactly(OverflowError, OUT_OF_RANGE, Engine, "127.0.0.1", 1, start_seq)

    def test_start_seq_beyond_the_interpreters_integer_conversion(self, Engine):
        with pytest.raises(OverflowError) as info:
            Engine("127.0.0.1", 1, 2**64)
        assert type(info.value) is OverflowError

    @pytest.mark.parametrize("start_seq", [1.0, "1", b"\x01"], ids=["float", "str", "bytes"])
    def test_start_seq_of_a_refused_type(self, Engine, raises_exactly, start_seq):
        expected = "argument 'start_seq': " + interpreter_message(operator.index, start_seq)
        raises_exactly(TypeError, expected, Engine, "127.0.0.1", 1, start_seq)

    @pytest.mark.parametrize(
        "host, type_name",
        [(5, "int"), (None, "NoneType"), (b"127.0.0.1", "bytes"), (bytearray(b"h"), "bytearray"), (["h"], "list")],
    )
    def test_host_must_be_a_str(self, Engine, raises_exactly, host, type_name):
        raises_exactly(
            TypeError, f"argument 'host': '{type_name}' object cannot be converted to 'PyString'", Engine, host, 8765
        )

    def test_host_str_subclasses_and_any_text_are_taken(self, Engine):
        class Host(str):
            pass

        for host in (Host("127.0.0.1"), "", "nosuch.invalid", "ünïcode", "a" * 10000):
            assert type(Engine(host, 8765)) is Engine

    def test_host_that_cannot_be_utf8(self, Engine):
        with pytest.raises(UnicodeEncodeError):
            Engine("\ud800", 8765)

    def test_conversions_run_in_parameter_order(self, Engine, raises_exactly):
        raises_exactly(TypeError, "argument 'host': 'int' object cannot be converted to 'PyString'", Engine, 1, 70000, -1)
        raises_exactly(OverflowError, OUT_OF_RANGE, Engine, "h", 70000, "x")
        raises_exactly(OverflowError, OUT_OF_RANGE, Engine, "h", -5, -5)


class TestBinding:
    def test_missing_arguments(self, Engine, raises_exactly):
        raises_exactly(TypeError, "TarnelEngineAsync.__new__() missing 1 required positional argument: 'port'", Engine, "h")
        raises_exactly(
            TypeError, "TarnelEngineAsync.__new__() missing 1 required positional argument: 'port'", Engine, host="h"
        )
        raises_exactly(
            TypeError, "TarnelEngineAsync.__new__() missing 1 required positional argument: 'host'", Engine, port=1
        )
        raises_exactly(
            TypeError, "TarnelEngineAsync.__new__() missing 2 required positional arguments: 'host' and 'port'", Engine
        )
        raises_exactly(
            TypeError,
            "TarnelEngineAsync.__new__() missing 2 required positional arguments: 'host' and 'port'",
            Engine,
            start_seq=1,
        )

    def test_too_many_positional_arguments(self, Engine, raises_exactly):
        raises_exactly(
            TypeError,
            "TarnelEngineAsync.__new__() takes from 2 to 3 positional arguments but 4 were given",
            Engine,
            "h",
            1,
            2,
            3,
        )
        raises_exactly(
            TypeError,
            "TarnelEngineAsync.__new__() takes from 2 to 3 positional arguments but 6 were given",
            Engine,
            *range(6),
        )

    def test_keywords(self, Engine, raises_exactly):
        raises_exactly(
            TypeError, "TarnelEngineAsync.__new__() got multiple values for argument 'host'", Engine, "h", 1, host="x"
        )
        raises_exactly(
            TypeError, "TarnelEngineAsync.__new__() got multiple values for argument 'port'", Engine, "h", 1, port=1
        )
        raises_exactly(
            TypeError, "TarnelEngineAsync.__new__() got an unexpected keyword argument 'seq'", Engine, "h", 1, seq=1
        )
        assert type(Engine(port=1, start_seq=3, host="h")) is Engine
        assert type(Engine("h", start_seq=None, port=65535)) is Engine

    def test_binding_errors_come_before_conversion(self, Engine, raises_exactly):
        raises_exactly(
            TypeError, "TarnelEngineAsync.__new__() got an unexpected keyword argument 'x'", Engine, 5, 70000, x=1
        )
        raises_exactly(TypeError, "TarnelEngineAsync.__new__() missing 1 required positional argument: 'port'", Engine, 5)

    def test_start_takes_no_argument(self, Engine):
        engine = Engine("127.0.0.1", 1)
        with pytest.raises(TypeError):
            engine.start(1)
        with pytest.raises(TypeError):
            engine.start(timeout_secs=1)

    def test_wait_connected_binding(self, Engine, raises_exactly):
        engine = Engine("127.0.0.1", 1)
        raises_exactly(
            TypeError,
            "TarnelEngineAsync.wait_connected() takes from 0 to 1 positional arguments but 2 were given",
            engine.wait_connected,
            1,
            2,
        )
        raises_exactly(
            TypeError,
            "TarnelEngineAsync.wait_connected() got an unexpected keyword argument 'timeout'",
            engine.wait_connected,
            timeout=1,
        )
        raises_exactly(
            TypeError,
            "TarnelEngineAsync.wait_connected() got multiple values for argument 'timeout_secs'",
            engine.wait_connected,
            1,
            timeout_secs=1,
        )


# ---- what construction does not do ---------------------------------------------------------------


class TestConstructionIsInert:
    def test_constructing_starts_no_thread(self):
        child = run_child(
            """
            import asyncio, os
            def threads():
                return len(os.listdir("/proc/self/task"))
            import py_engine_tarnel as m
            before = threads()
            engines = [m.TarnelEngineAsync("127.0.0.1", port, seq) for port, seq in [(0, None), (8765, 0), (65535, 7)]]
            engines.append(m.TarnelEngineAsync("nosuch.invalid", 1))
            for bad in [("h", 70000), (5, 1), ("h", 1, -1)]:
                try:
                    m.TarnelEngineAsync(*bad)
                except (TypeError, OverflowError):
                    pass
            del engines[0]
            after = threads()

            async def first_call():
                await m.TarnelEngineAsync("127.0.0.1", 1).wait_connected(0)
            try:
                asyncio.run(first_call())
            except RuntimeError:
                pass
            print(before, after, threads())
            """
        )
        assert child.returncode == 0, child.stderr
        before, after, with_runtime = map(int, child.stdout.split())
        assert after == before
        # The first call that needs the runtime does create threads: the count above can see them.
        assert with_runtime > after

    def test_constructing_binds_nothing(self, Engine):
        with held_port() as port:  # so that no other program listens on it meanwhile
            engines = [Engine("127.0.0.1", port) for _ in range(3)]
            assert not listening(port)
            assert can_listen(port)  # still free
            del engines


class TestLifecycle:
    async def test_a_new_object_has_no_connection(self, Engine):
        engine = Engine("127.0.0.1", 1)
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(engine.get_snapshot(), 5)
        assert info.value.args == ("RpcTransportError(seq=None, fnId=Some(12)): no websocket connected",)
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(engine.wait_connected(0), 5)
        assert info.value.args == ("RpcTransportError(seq=None, fnId=None): wait_connected timed out",)

    async def test_objects_share_nothing(self, Engine):
        # A connection waited for on one object is no concern of another object on another port.
        first = Engine("127.0.0.1", 1)
        second = Engine("127.0.0.1", 2)
        pending = first.wait_connected()
        with pytest.raises(RuntimeError, match="wait_connected timed out$"):
            await asyncio.wait_for(second.wait_connected(0.05), 5)
        assert not pending.done()
        pending.cancel()

    @pytest.mark.parametrize("life", ["started", "closed", "never started"])
    async def test_only_an_engine_dropped_while_listening_warns(self, Engine, life):
        """As unclosed sockets do: a ResourceWarning that names the port, for a started engine only."""
        with held_port() as port:  # no other program can take it before the engine binds it
            engine = Engine("127.0.0.1", port)
            if life != "never started":
                await asyncio.wait_for(engine.start(), 5)
        if life == "closed":
            await asyncio.wait_for(engine.close(), 5)
        gc.collect()  # engines other tests dropped warn now, not below
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del engine
            gc.collect()
        texts = [str(w.message) for w in caught
                 if issubclass(w.category, ResourceWarning) and f":{port}:" in str(w.message)]
        expected = [f"unclosed TarnelEngineAsync listening on 127.0.0.1:{port}: it serves until the process "
                    "ends; await its close()"]
        assert texts == (expected if life == "started" else [])
