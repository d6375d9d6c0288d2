"""The reports a test's code makes through `sys.unraisablehook` (the module's report of an exception it
caught and could not raise), collected instead of printed or turned into pytest warnings."""

import sys
import time

import pytest


class Reports(list):
    """The hook's arguments, one per report, in order."""

    def texts(self):
        return [str(report.exc_value) for report in self]

    def wait_for(self, text, limit):
        """True once a report's text holds `text` (reports may come from the module's own threads)."""
        deadline = time.monotonic() + limit
        while not any(text in seen for seen in self.texts()):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.02)
        return True


@pytest.fixture
def unraisable(monkeypatch):
    reports = Reports()
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    return reports
