"""A future that refuses its call's outcome (its `set_result` raises) does not leave the call pending: the
refusal is reported through `sys.unraisablehook`, and the call fails with TarnelPanic. When the panic is
refused as well, that is reported too and the future is let go: nothing is tried a third time."""

import asyncio
import time

import pytest

from support.unraisable import unraisable  # noqa: F401 (fixture)
from test_bridge_futures import STEP
from test_bridge_loop_liveness import FN_GET_SNAPSHOT, response, run, served_on, vector

REFUSED_RESULT = "this future refuses its result"
REFUSED_EXCEPTION = "this future refuses its exception too"
ESCAPED = "py_engine_tarnel: an exception escaped "


class RefusingFuture(asyncio.Future):
    def set_result(self, result):
        raise RuntimeError(REFUSED_RESULT)


class RefusingEverythingFuture(RefusingFuture):
    def set_exception(self, exception):
        raise RuntimeError(REFUSED_EXCEPTION)


class RefusingLoop(asyncio.SelectorEventLoop):
    """The next future made while `refusing` names a class is of that class (the page's and the engine's
    other futures are plain)."""

    refusing = None

    def create_future(self):
        kind, self.refusing = self.refusing, None
        return kind(loop=self) if kind else super().create_future()


@pytest.fixture
def served(tarnel):
    yield from served_on(tarnel.TarnelEngineAsync, RefusingLoop())


ANSWERED = ["before the call", "after the call"]  # completed while the call is made, or through the inbox


def snapshot_call(loop, engine, page, future_kind, answered, seq):
    """Makes a get_snapshot call whose future is of `future_kind`, answered with [4.0] before or after it is
    made; returns the future."""
    if answered == ANSWERED[0]:
        page.send(response(seq, FN_GET_SNAPSHOT, vector([4.0])))
    loop.refusing = future_kind
    future = engine.get_snapshot(30.0)
    assert type(future) is future_kind
    if answered == ANSWERED[1]:
        page.send(response(seq, FN_GET_SNAPSHOT, vector([4.0])))
    return future


def check_report(report, where, cause_text):
    assert report.object == where
    assert type(report.exc_value) is RuntimeError
    assert str(report.exc_value) == f"{ESCAPED}{where}: RuntimeError: {cause_text}"
    assert type(report.exc_value.__cause__) is RuntimeError
    assert str(report.exc_value.__cause__) == cause_text


@pytest.mark.parametrize("answered", ANSWERED)
def test_a_refused_result_fails_the_call_with_a_panic_at_once(served, unraisable, answered):
    loop, engine, page = served

    async def call():
        deadline = time.monotonic() + STEP  # the call's own time-out is 30 s; a lost outcome is never seen
        future = snapshot_call(loop, engine, page, RefusingFuture, answered, seq=1)
        with pytest.raises(Exception) as failure:
            await asyncio.wait_for(future, deadline - time.monotonic())
        return failure.value

    error = loop.run_until_complete(call())
    assert (type(error).__module__, type(error).__name__) == ("py_engine_tarnel", "TarnelPanic")
    assert str(error) == f"tarnel future panicked: its delivery failed: RuntimeError: {REFUSED_RESULT}"
    assert len(unraisable) == 1
    check_report(unraisable[0], "a call's delivery", REFUSED_RESULT)
    # The link is untouched: the next call, on a future that takes its result, is answered.
    assert run(loop, lambda: snapshot_call(loop, engine, page, asyncio.Future, "after the call", seq=2)).tolist() == [4.0]


@pytest.mark.parametrize("answered", ANSWERED)
def test_a_refused_panic_is_reported_and_the_future_let_go(served, unraisable, answered):
    loop, engine, page = served

    async def call():
        future = snapshot_call(loop, engine, page, RefusingEverythingFuture, answered, seq=1)
        # The second report is the last thing the module does with this call; the loop goes on meanwhile.
        deadline = time.monotonic() + STEP
        while len(unraisable) < 2 and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        return future

    future = loop.run_until_complete(call())
    assert [report.object for report in unraisable] == ["a call's delivery", "a call's delivery, reporting a panic"]
    check_report(unraisable[0], "a call's delivery", REFUSED_RESULT)
    check_report(unraisable[1], "a call's delivery, reporting a panic", REFUSED_EXCEPTION)
    assert not future.done()  # no way was left to end it
    assert run(loop, lambda: snapshot_call(loop, engine, page, asyncio.Future, "after the call", seq=2)).tolist() == [4.0]
    assert len(unraisable) == 2
    future.cancel()
