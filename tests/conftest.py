"""Shared fixtures for the Python test suites."""

import importlib
import os

import pytest
from hypothesis import HealthCheck, settings

settings.register_profile(
    "tarnel",
    max_examples=300,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("tarnel")


@pytest.fixture(scope="session")
def tarnel():
    """The extension module, imported once for the session."""
    return importlib.import_module("py_engine_tarnel")


def _raises_exactly(exc_type, text, fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc_type, f"{type(info.value).__name__}: {info.value}"
    assert info.value.args == (text,)
    return info.value


@pytest.fixture(scope="session")
def raises_exactly():
    """raises_exactly(exc_type, text, fn, *args, **kwargs): fn must raise exactly exc_type (no subclass)
    whose only argument is text; returns the exception."""
    return _raises_exactly


@pytest.fixture(scope="session", autouse=True)
def runs_in_a_temporary_folder(tmp_path_factory):
    """Training runs (tarnel_rl.training_log) of every test, and of the processes tests start, go to a
    temporary folder, never into the checkout."""
    before = os.environ.get("TARNEL_RUNS_DIR")
    os.environ["TARNEL_RUNS_DIR"] = str(tmp_path_factory.mktemp("runs"))
    yield
    if before is None:
        os.environ.pop("TARNEL_RUNS_DIR", None)
    else:
        os.environ["TARNEL_RUNS_DIR"] = before
