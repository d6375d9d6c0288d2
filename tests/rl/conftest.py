"""The reinforcement-learning tests keep their training runs (tarnel_rl.training_log) in a temporary
folder, never in the checkout."""
import os

import pytest


@pytest.fixture(scope="session", autouse=True)
def runs_in_a_temporary_folder(tmp_path_factory):
    before = os.environ.get("TARNEL_RUNS_DIR")
    os.environ["TARNEL_RUNS_DIR"] = str(tmp_path_factory.mktemp("runs"))
    yield
    if before is None:
        os.environ.pop("TARNEL_RUNS_DIR", None)
    else:
        os.environ["TARNEL_RUNS_DIR"] = before
