"""The awaitable bridge: futures of the running loop, calls without a loop, cancellation, time-out
conversion failures, the context, a closed loop, and interpreter exit with work in flight."""

import asyncio
import concurrent.futures
import contextvars
import math
import os
import random
import struct
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

import pytest
from websockets.asyncio.client import connect

from support.call_order import ends_first
from support.ports import held_port, listening, start_on_held_port

STEP = 5.0
HEADER = struct.Struct("<BBHIHHI")
FN_GET_SNAPSHOT = 12
WAIT_TIMED_OUT = "RpcTransportError(seq=None, fnId=None): wait_connected timed out"
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"


def interpreter_message(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    return str(info.value)


def _no_running_loop_message():
    try:
        asyncio.get_running_loop()
    except RuntimeError as error:
        return str(error)
    raise AssertionError("imported inside a running loop")


NO_RUNNING_LOOP = _no_running_loop_message()  # asyncio's own text, taken where no loop runs


def snapshot_response(seq, values):
    payload = struct.pack(f"<I{len(values)}d", len(values), *values)
    return HEADER.pack(1, 2, 0, seq, FN_GET_SNAPSHOT, 0, len(payload)) + payload


class UI:
    """A user interface that answers get_snapshot requests."""

    def __init__(self, ws):
        self.ws = ws

    @classmethod
    async def connect(cls, port):
        ws = await connect(f"ws://127.0.0.1:{port}", ping_interval=None, close_timeout=1, open_timeout=STEP)
        assert await asyncio.wait_for(ws.recv(), STEP) == '{"type":"handshake","python_library_version":"0.1.0"}'
        return cls(ws)

    async def next_seq(self):
        data = await asyncio.wait_for(self.ws.recv(), STEP)
        version, kind, _, seq, fn_id, _, length = HEADER.unpack_from(data)
        assert (version, kind, fn_id, length) == (1, 1, FN_GET_SNAPSHOT, 0)
        return seq

    async def answer(self, seq, values):
        await self.ws.send(snapshot_response(seq, values))

    def close(self):
        self.ws.transport.abort()


@pytest.fixture
def Engine(tarnel):
    return tarnel.TarnelEngineAsync


async def served_engine(Engine):
    """(engine, ui): an engine listening on a free port with a user interface installed."""
    engine, port = await start_on_held_port(lambda port: Engine("127.0.0.1", port), STEP)
    ui = await UI.connect(port)
    await asyncio.wait_for(engine.wait_connected(), STEP)
    return engine, ui


@pytest.fixture
async def served(Engine):
    engine, ui = await served_engine(Engine)
    yield engine, ui
    ui.close()


@pytest.fixture
def loop_errors():
    """Errors reported to the running loop's exception handler (a completion on a done future lands there)."""
    return []


def watch_loop(errors):
    loop = asyncio.get_running_loop()
    loop.set_exception_handler(lambda _loop, context: errors.append(context))


# Children import support.ports as the tests do.
CHILD_ENV = {**os.environ, "PYTHONPATH": os.pathsep.join(
    filter(None, [str(Path(__file__).resolve().parents[1]), os.environ.get("PYTHONPATH")]))}


def run_child(*parts, timeout=60):
    code = "".join(textwrap.dedent(part) for part in parts)
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env=CHILD_ENV)


def run_child_until_reported(text, *parts, timeout=60):
    """As run_child, for a child that reads one line from its standard input: it gets it once `text` shows in
    its standard error (or after STEP * 2). The module reports from its own threads, at a moment that no
    sleep in the child could bound on a loaded machine."""
    code = "".join(textwrap.dedent(part) for part in parts)
    with tempfile.TemporaryDirectory() as directory:
        log = Path(directory) / "stderr"
        # The child appends to the file through a descriptor of its own, so that reading it here moves
        # no offset the child writes at.
        with open(log, "ab") as err:
            child = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=err, text=True, env=CHILD_ENV)
        deadline = time.monotonic() + STEP * 2
        while child.poll() is None and time.monotonic() < deadline and text not in log.read_text(errors="replace"):
            time.sleep(0.02)
        try:
            out, _ = child.communicate("go\n", timeout=timeout)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
        return subprocess.CompletedProcess(child.args, child.returncode, out, log.read_text(errors="replace"))


# ---- the future -----------------------------------------------------------------------------------


class TestFutures:
    async def test_methods_return_pending_futures_of_the_running_loop(self, Engine):
        with held_port() as port:
            engine = Engine("127.0.0.1", port)
            loop = asyncio.get_running_loop()
            futures = [engine.wait_connected(), engine.wait_connected(30), engine.start()]
            for future in futures:
                assert asyncio.isfuture(future) and isinstance(future, asyncio.Future)
                assert not asyncio.iscoroutine(future)
                assert future.get_loop() is loop
            assert not futures[0].done() and not futures[1].done()
            assert await asyncio.wait_for(futures[2], STEP) is None
        for future in futures[:2]:
            future.cancel()

    async def test_success_and_failure_are_delivered_through_the_future(self, served):
        engine, ui = served
        future = engine.get_snapshot(STEP)
        await ui.answer(await ui.next_seq(), [4.0, 5.0])
        assert (await asyncio.wait_for(future, STEP)).tolist() == [4.0, 5.0]
        with pytest.raises(RuntimeError) as info:
            await asyncio.wait_for(type(engine)("127.0.0.1", 1).wait_connected(0), STEP)
        assert type(info.value) is RuntimeError
        assert info.value.args == (WAIT_TIMED_OUT,)

    async def test_futures_of_two_loops_in_two_threads(self, Engine):
        engine, port = await start_on_held_port(lambda port: Engine("127.0.0.1", port), STEP)
        results = {}
        waiting = threading.Barrier(3, timeout=STEP)

        def other_thread(name):
            async def wait():
                future = engine.wait_connected(STEP * 2)
                loop = asyncio.get_running_loop()
                waiting.wait()
                value = await future
                results[name] = (value, future.get_loop() is loop, threading.current_thread().name)

            asyncio.run(wait())

        threads = [threading.Thread(target=other_thread, args=(n,), name=n) for n in ("t1", "t2")]
        for t in threads:
            t.start()
        await asyncio.to_thread(waiting.wait)
        ui = await UI.connect(port)
        for t in threads:
            await asyncio.to_thread(t.join, STEP * 3)
        ui.close()
        assert results == {"t1": (None, True, "t1"), "t2": (None, True, "t2")}


class TestWithoutARunningLoop:
    # The port is held meanwhile, so that no other program listens on it: a start that ran anyway would bind
    # beside the holder and, given the moment the sleep leaves it, be seen listening.

    def test_calls_outside_a_loop_raise_at_once(self, Engine, raises_exactly):
        with held_port() as port:
            engine = Engine("127.0.0.1", port)
            message = NO_RUNNING_LOOP
            for call in (engine.start, engine.wait_connected, engine.get_snapshot):
                raises_exactly(RuntimeError, message, call)
            raises_exactly(RuntimeError, message, engine.wait_connected, 1.5)
            time.sleep(0.2)
            assert not listening(port)  # start did not run

    async def test_a_thread_without_a_loop_raises_while_another_runs_one(self, Engine):
        with held_port() as port:
            engine = Engine("127.0.0.1", port)
            with pytest.raises(RuntimeError) as info:
                await asyncio.to_thread(engine.start)
            assert str(info.value) == NO_RUNNING_LOOP
            await asyncio.sleep(0.2)
            assert not listening(port)

    def test_a_call_without_a_loop_starts_nothing(self):
        child = run_child(
            """
            import os, socket
            def threads():
                return len(os.listdir("/proc/self/task"))
            import py_engine_tarnel as m
            from support.ports import hold_port, listening
            holder = hold_port()
            port = holder.getsockname()[1]
            engine = m.TarnelEngineAsync("127.0.0.1", port)
            before = threads()
            raised = 0
            for call in (engine.start, engine.wait_connected, engine.get_snapshot, engine.get_ohlc):
                try:
                    call()
                except RuntimeError:
                    raised += 1
            after = threads()
            print(raised, before, after, listening(port))
            """
        )
        assert child.returncode == 0, child.stderr
        raised, before, after, listens = child.stdout.split()
        assert raised == "4"
        assert listens == "False"
        assert int(after) == int(before), "a call that raised for want of a loop started the runtime's threads"


# ---- cancellation ---------------------------------------------------------------------------------


class TestCancellation:
    async def test_cancelling_wait_connected_ends_it_quietly(self, Engine, capfd, loop_errors):
        watch_loop(loop_errors)
        engine, port = await start_on_held_port(lambda port: Engine("127.0.0.1", port), STEP)
        cancelled = [engine.wait_connected() for _ in range(5)] + [engine.wait_connected(30)]
        kept = engine.wait_connected()
        await asyncio.sleep(0.1)
        for future in cancelled:
            assert future.cancel()
        await asyncio.sleep(0.1)
        ui = await UI.connect(port)
        assert await asyncio.wait_for(kept, STEP) is None
        await asyncio.sleep(0.3)
        assert all(f.cancelled() for f in cancelled)
        assert loop_errors == []
        assert capfd.readouterr().err == ""
        ui.close()

    async def test_cancelling_before_the_task_ran(self, Engine, capfd, loop_errors):
        watch_loop(loop_errors)
        engine = Engine("127.0.0.1", 1)
        futures = [engine.wait_connected(0) for _ in range(50)]
        for future in futures:
            future.cancel()
        await asyncio.sleep(0.3)
        assert all(f.cancelled() for f in futures)
        assert loop_errors == []
        assert capfd.readouterr().err == ""

    async def test_cancelling_an_awaiting_task(self, served):
        engine, ui = served
        task = asyncio.ensure_future(asyncio.wait_for(engine.get_snapshot(STEP), STEP * 2))
        seq = await ui.next_seq()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        await ui.answer(seq, [1.0])  # a late answer is skipped by the next call
        future = engine.get_snapshot(STEP)
        await ui.answer(await ui.next_seq(), [2.0])
        assert (await asyncio.wait_for(future, STEP)).tolist() == [2.0]

    async def test_a_cancelled_future_is_never_completed(self, served, capfd, loop_errors):
        # Cancel at every moment around the answer's arrival: the outcome may already be on its way to
        # the loop, but a cancelled future must stay cancelled and nothing may be reported.
        watch_loop(loop_errors)
        engine, ui = served
        rng = random.Random(1234)
        outcomes = {"result": 0, "cancelled": 0}
        for i in range(150):
            future = engine.get_snapshot(STEP)
            seq = await ui.next_seq()
            await ui.answer(seq, [float(i)])
            delay = rng.choice([0, 0, 0.0001, 0.0003, 0.001, 0.003])
            if delay:
                await asyncio.sleep(delay)
            future.cancel()
            await asyncio.sleep(0)
            if future.cancelled():
                outcomes["cancelled"] += 1
            else:
                assert future.result().tolist() == [float(i)]
                outcomes["result"] += 1
        await asyncio.sleep(0.3)
        assert loop_errors == []
        assert capfd.readouterr().err == ""
        assert outcomes["cancelled"] > 0
        # The connection is still in order.
        future = engine.get_snapshot(STEP)
        await ui.answer(await ui.next_seq(), [9.0])
        assert (await asyncio.wait_for(future, STEP)).tolist() == [9.0]


# ---- time-out conversion --------------------------------------------------------------------------


class TestTimeoutConversion:
    @pytest.mark.parametrize(
        "timeout, text",
        [
            (-1, NEGATIVE),
            (-1.0, NEGATIVE),
            (-5e-324, NEGATIVE),
            (math.nan, TOO_BIG),
            (math.inf, TOO_BIG),
            (2.0**64, TOO_BIG),
            (1e300, TOO_BIG),
            (2**64, TOO_BIG),
        ],
        ids=["-1", "-1.0", "-tiny", "nan", "inf", "2**64.0", "1e300", "int-2**64"],
    )
    async def test_unconvertible_time_outs_raise_panic_exception_at_the_call(self, Engine, capfd, timeout, text):
        engine = Engine("127.0.0.1", 1)
        with pytest.raises(BaseException) as info:
            engine.wait_connected(timeout)
        error = info.value
        assert type(error).__name__ == "PanicException"
        assert error.args == (text,)
        assert isinstance(error, BaseException) and not isinstance(error, Exception)
        assert type(error).__bases__ == (BaseException,)
        with pytest.raises(BaseException) as again:
            engine.get_snapshot(timeout)
        assert type(again.value) is type(error) and again.value.args == (text,)
        assert capfd.readouterr().err != ""  # the failure is also reported

    def test_a_handler_for_exception_does_not_catch_it(self, Engine, tarnel):
        engine = Engine("127.0.0.1", 1)
        caught_by = None
        try:
            try:
                engine.wait_connected(-1)
            except Exception:
                caught_by = "Exception"
        except BaseException as error:
            caught_by = "BaseException"
            assert type(error).__name__ == "PanicException"
            assert not hasattr(tarnel, "PanicException")
        assert caught_by == "BaseException"

    def test_conversion_comes_before_the_loop_is_looked_for(self, Engine):
        engine = Engine("127.0.0.1", 1)
        with pytest.raises(BaseException) as info:
            engine.wait_connected(math.nan)
        assert type(info.value).__name__ == "PanicException" and info.value.args == (TOO_BIG,)

    @pytest.mark.parametrize("timeout", [0, 0.0, -0.0, False], ids=["0", "0.0", "-0.0", "False"])
    async def test_zero_time_outs_are_accepted(self, Engine, timeout):
        engine = Engine("127.0.0.1", 1)
        call = engine.wait_connected(timeout)
        assert await ends_first(call, engine.wait_connected(1.0), STEP)
        assert type(call.exception()) is RuntimeError and call.exception().args == (WAIT_TIMED_OUT,)

    async def test_the_largest_time_out_below_two_to_the_64_is_accepted(self, Engine):
        engine = Engine("127.0.0.1", 1)
        future = engine.wait_connected(18446744073709549568.0)
        await asyncio.sleep(0.2)
        assert not future.done()  # an effectively unlimited wait
        future.cancel()

    async def test_numbers_of_other_types(self, Engine):
        class Seconds:
            def __float__(self):
                return 0.05

        class Count:
            def __index__(self):
                return 0

        engine = Engine("127.0.0.1", 1)
        for timeout, seconds in ((Seconds(), 0.05), (Count(), 0.0), (True, 1.0)):
            started = time.monotonic()
            call = engine.wait_connected(timeout)
            assert await ends_first(call, engine.wait_connected(seconds + 1.0), STEP)
            assert time.monotonic() - started >= seconds - 0.001
            assert call.exception().args == (WAIT_TIMED_OUT,)

    @pytest.mark.parametrize("timeout", ["x", "1.0", b"1", [1], object()], ids=["str", "numeric-str", "bytes", "list", "object"])
    async def test_a_time_out_of_a_refused_type(self, Engine, raises_exactly, timeout):
        engine = Engine("127.0.0.1", 1)
        expected = "argument 'timeout_secs': " + interpreter_message(math.sqrt, timeout)
        raises_exactly(TypeError, expected, engine.wait_connected, timeout)
        raises_exactly(TypeError, expected, engine.wait_connected, timeout_secs=timeout)

    async def test_other_conversion_errors_pass_unchanged(self, Engine, raises_exactly):
        engine = Engine("127.0.0.1", 1)
        raises_exactly(OverflowError, interpreter_message(float, 10**400), engine.wait_connected, 10**400)

        class Broken:
            def __float__(self):
                raise ValueError("broken float")

        raises_exactly(ValueError, "broken float", engine.wait_connected, Broken())


# ---- context and loop ----------------------------------------------------------------------------


REQUEST_ID = contextvars.ContextVar("request_id", default="unset")


class RecordingFuture(asyncio.Future):
    def set_result(self, result):
        self.seen_in_set_result = REQUEST_ID.get()
        self.set_on_thread = threading.current_thread()
        super().set_result(result)


class RecordingLoop(asyncio.SelectorEventLoop):
    def __init__(self):
        super().__init__()
        self.scheduled = []

    def create_future(self):
        return RecordingFuture(loop=self)

    def call_soon_threadsafe(self, callback, *args, **kwargs):
        self.scheduled.append((callback, args, kwargs, REQUEST_ID.get()))
        return super().call_soon_threadsafe(callback, *args, **kwargs)


class TestContextAndLoop:
    def test_the_callers_context_is_not_used_to_run_anything(self, Engine):
        loop = RecordingLoop()
        try:
            async def scenario():
                REQUEST_ID.set("caller")
                engine, port = await start_on_held_port(lambda port: Engine("127.0.0.1", port), STEP)
                future = engine.wait_connected(STEP)
                ui = await UI.connect(port)
                assert await asyncio.wait_for(future, STEP) is None
                ui.close()
                return future

            future = loop.run_until_complete(scenario())
        finally:
            loop.close()
        # Completed on the loop's own thread, by the module's reader of the loop (no thread hand-over
        # through call_soon_threadsafe), in a context of its own.
        assert future.seen_in_set_result == "unset"
        assert future.set_on_thread is threading.main_thread()
        assert not [entry for entry in loop.scheduled if entry[1] and entry[1][0] is future]

    def test_closing_the_loop_while_wait_connected_is_pending_prints_an_error(self):
        child = run_child_until_reported(
            "Event loop is closed",
            """
            import asyncio, socket, sys, time
            import py_engine_tarnel as m
            from support.ports import hold_port

            holder = hold_port()
            port = holder.getsockname()[1]
            engine = m.TarnelEngineAsync("127.0.0.1", port)
            loop = asyncio.new_event_loop()
            async def start():
                await engine.start()
            loop.run_until_complete(start())

            async def make_waiter():
                return engine.wait_connected()

            waiter = loop.run_until_complete(make_waiter())
            loop.close()
            request = (f"GET / HTTP/1.1\\r\\nHost: 127.0.0.1:{port}\\r\\nUpgrade: websocket\\r\\n"
                       "Connection: Upgrade\\r\\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\n"
                       "Sec-WebSocket-Version: 13\\r\\n\\r\\n").encode()
            with socket.create_connection(("127.0.0.1", port), timeout=5) as ui:
                ui.sendall(request)
                received = b""
                while not received.endswith(b"0.1.0\\"}"):
                    chunk = ui.recv(4096)
                    if not chunk:
                        break
                    received += chunk
                sys.stdin.readline()  # until the failed completion was reported
            print("pending" if not waiter.done() else "done", flush=True)
            """
        )
        assert child.returncode == 0, child.stderr
        assert child.stdout == "pending\n"
        assert "Event loop is closed" in child.stderr, child.stderr
        assert "Traceback" in child.stderr

    @pytest.mark.parametrize("answered", ["after the close", "before the close"])
    def test_closing_the_loop_while_a_call_is_pending_prints_an_error(self, answered):
        """Answered after the close, the outcome finds the loop closed; answered before it (the loop stopped
        but not closed), the outcome waits for the loop and is reported when the loop closes."""
        close_then_answer = """
            loop.close()
            blocking_answer(ui, blocking_next_seq(ui))
            sys.stdin.readline()  # until the failed completion was reported
        """
        answer_then_close = """
            blocking_answer(ui, blocking_next_seq(ui))
            time.sleep(0.5)  # a moment for the answer to arrive while the loop is stopped
            print("stopped:", "done" if future.done() else "pending", flush=True)
            loop.close()
            sys.stdin.readline()
        """
        child = run_child_until_reported(
            "Event loop is closed",
            CHILD_PRELUDE,
            """
            loop = asyncio.new_event_loop()
            engine = m.TarnelEngineAsync("127.0.0.1", PORT)
            async def start():
                await engine.start()
            loop.run_until_complete(start())
            ui = blocking_ui()
            async def make_call():
                await engine.wait_connected(5.0)
                return engine.get_snapshot(5.0)
            future = loop.run_until_complete(make_call())
            """,
            close_then_answer if answered == "after the close" else answer_then_close,
            """
            print("pending" if not future.done() else "done", flush=True)
            """
        )
        assert child.returncode == 0, child.stderr
        assert child.stdout == ("pending\n" if answered == "after the close" else "stopped: pending\npending\n")
        assert "Event loop is closed" in child.stderr, child.stderr


# ---- interpreter exit --------------------------------------------------------------------------------

CHILD_PRELUDE = """
import asyncio, os, random, socket, struct, sys, time
import py_engine_tarnel as m

from support.ports import hold_port

_HOLDER = hold_port()  # the child's port, held until it ends
PORT = _HOLDER.getsockname()[1]
HEADER = struct.Struct("<BBHIHHI")
UPGRADE = (f"GET / HTTP/1.1\\r\\nHost: 127.0.0.1:{PORT}\\r\\nUpgrade: websocket\\r\\nConnection: Upgrade\\r\\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\nSec-WebSocket-Version: 13\\r\\n\\r\\n").encode()
GREETING_END = b'"0.1.0"}'

def masked_binary(payload):
    mask = os.urandom(4)
    assert len(payload) < 126
    return bytes([0x82, 0x80 | len(payload)]) + mask + bytes(b ^ mask[i % 4] for i, b in enumerate(payload))

def response(seq):
    payload = struct.pack("<Id", 1, float(seq))
    return HEADER.pack(1, 2, 0, seq, 12, 0, len(payload)) + payload

def blocking_ui():
    ui = socket.create_connection(("127.0.0.1", PORT), timeout=5)
    ui.sendall(UPGRADE)
    received = b""
    while not received.endswith(GREETING_END):
        chunk = ui.recv(4096)
        assert chunk
        received += chunk
    return ui

def blocking_next_seq(ui):
    data = b""
    while len(data) < 18:
        chunk = ui.recv(18 - len(data))
        assert chunk
        data += chunk
    assert data[:2] == b"\\x82\\x10"
    return HEADER.unpack_from(data, 2)[3]

def blocking_answer(ui, seq):
    ui.sendall(masked_binary(response(seq)))

async def stream_ui():
    reader, writer = await asyncio.open_connection("127.0.0.1", PORT)
    writer.write(UPGRADE)
    await reader.readuntil(GREETING_END)
    return reader, writer

async def stream_next_seq(reader):
    data = await reader.readexactly(18)
    return HEADER.unpack_from(data, 2)[3]

async def answer_all(reader, writer):
    while True:
        seq = await stream_next_seq(reader)
        writer.write(masked_binary(response(seq)))
"""

EXIT_SCENARIOS = {
    "listening-with-waiters": """
        async def main():
            engine = m.TarnelEngineAsync("127.0.0.1", PORT)
            await engine.start()
            waiters = [engine.wait_connected() for _ in range(5)] + [engine.wait_connected(30.0)]
            if random.random() < 0.5:
                # a user interface arrives just as the interpreter goes away
                reader, writer = await asyncio.open_connection("127.0.0.1", PORT)
                writer.write(UPGRADE)
                await asyncio.sleep(random.choice([0, 0.001, 0.005]))
        asyncio.run(main())
        """,
    "calls-in-flight": """
        async def main():
            engine = m.TarnelEngineAsync("127.0.0.1", PORT)
            await engine.start()
            reader, writer = await stream_ui()
            await engine.wait_connected(5.0)
            answering = asyncio.ensure_future(answer_all(reader, writer))
            calls = [engine.get_snapshot() for _ in range(30)]
            await asyncio.sleep(random.choice([0, 0.002, 0.01, 0.03]))
        asyncio.run(main())
        """,
    "cancelled-call": """
        async def main():
            engine = m.TarnelEngineAsync("127.0.0.1", PORT)
            await engine.start()
            reader, writer = await stream_ui()
            await engine.wait_connected(5.0)
            call = engine.get_snapshot()
            seq = await stream_next_seq(reader)
            call.cancel()
            writer.write(masked_binary(response(seq)))
            later = engine.get_snapshot()
            await asyncio.sleep(random.choice([0, 0.001, 0.01]))
        asyncio.run(main())
        """,
    "loop-closed-with-a-call-pending": """
        loop = asyncio.new_event_loop()
        engine = m.TarnelEngineAsync("127.0.0.1", PORT)
        async def start():
            await engine.start()
        loop.run_until_complete(start())
        ui = blocking_ui()
        async def make_calls():
            await engine.wait_connected(5.0)
            return [engine.get_snapshot(10.0), engine.wait_connected()]
        pending = loop.run_until_complete(make_calls())
        loop.close()
        blocking_answer(ui, blocking_next_seq(ui))
        time.sleep(random.choice([0, 0.001, 0.01]))
        """,
}

# Each scenario at least 50 times; TARNEL_LONG_TESTS=1 runs it 250 times.
REPEATS = 250 if os.environ.get("TARNEL_LONG_TESTS") == "1" else 50
PARALLEL = 6
# Seconds from the end of a child's imports to its exit: half the shortest time-out of the work in flight
# (10 s), so an exit that waits for that work fails, while interpreter start-up and imports, the part a
# loaded machine slows most, are not counted.
EXIT_LIMIT = 5.0
HANG_LIMIT = 60.0


def run_exit_scenario(name):
    """(seconds from the end of the imports to the exit, or None when the child hung; exit status; stderr)."""
    code = (textwrap.dedent(CHILD_PRELUDE) + "print(time.monotonic(), flush=True)\n"
            + textwrap.dedent(EXIT_SCENARIOS[name]))
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True, env=CHILD_ENV)
    try:
        out, err = child.communicate(timeout=HANG_LIMIT)
    except subprocess.TimeoutExpired:
        child.kill()
        out, err = child.communicate()
        return None, child.returncode, err
    exited = time.monotonic()
    lines = out.split()
    return (exited - float(lines[0]) if lines else 0.0), child.returncode, err


@pytest.mark.timeout(900 if REPEATS > 50 else 240)
def test_the_interpreter_exits_promptly_with_work_in_flight():
    runs = [name for name in EXIT_SCENARIOS for _ in range(REPEATS)]
    failures, slowest = [], 0.0
    started_all = time.monotonic()
    # One thread per running child notes its exit as it happens.
    with concurrent.futures.ThreadPoolExecutor(PARALLEL) as pool:
        outcomes = list(pool.map(run_exit_scenario, runs))
    for i, (name, (seconds, status, err)) in enumerate(zip(runs, outcomes)):
        if seconds is None:
            failures.append(f"{name} #{i}: still running after {HANG_LIMIT} s\n{err}")
            continue
        slowest = max(slowest, seconds)
        if seconds > EXIT_LIMIT:
            failures.append(f"{name} #{i}: exited {seconds:.1f} s after its imports\n{err}")
        for sign in ("Fatal Python error", "terminate called", "Segmentation fault", "Aborted"):
            if sign in err:
                failures.append(f"{name} #{i}: {sign}\n{err}")
        if status != 0:
            failures.append(f"{name} #{i}: exit status {status}\n{err}")
    assert not failures, "\n".join(failures[:5]) + f"\n({len(failures)} failures of {len(runs)} runs)"
    print(f"\n{len(runs)} interpreter exits ({REPEATS} of each of {len(EXIT_SCENARIOS)} scenarios), all with status 0, "
          f"at most {slowest:.2f} s after the imports; {time.monotonic() - started_all:.1f} s in all")
