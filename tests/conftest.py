"""Shared fixtures for the Python test suites."""

import importlib

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
