"""Counts the system calls of this process's main thread (the event loop's, in the benchmark's workers)
over a stretch of work, with `perf stat` on the raw_syscalls tracepoint attached to that one thread: it
does not slow the thread down, so the calls counted are those of an unobserved run. Needs perf (Debian's
linux-perf) and the right to trace (root, or perf_event_paranoid <= 1); otherwise counting is skipped."""

import os
import shutil
import signal
import subprocess
import tempfile
import time


class MainThreadSyscalls:
    """with MainThreadSyscalls() as counted: ...work...; then counted.total (None when perf is missing or
    refused)."""

    def __init__(self):
        self.total = None
        self._perf = None
        self._out = None

    def __enter__(self):
        perf = shutil.which("perf")
        if perf is None:
            return self
        self._out = tempfile.NamedTemporaryFile(prefix="tarnel-syscalls-", suffix=".csv", delete=False)
        self._perf = subprocess.Popen([perf, "stat", "-x,", "-o", self._out.name, "-e", "raw_syscalls:sys_enter",
                                       "-t", str(os.getpid())], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.5)  # perf has attached by then; the few calls of this sleep are noise next to the work
        return self

    def __exit__(self, *exc):
        if self._perf is None:
            return False
        self._perf.send_signal(signal.SIGINT)
        try:
            self._perf.wait(timeout=10)
            with open(self._out.name) as out:
                for line in out:
                    fields = line.strip().split(",")
                    if len(fields) > 2 and fields[2].startswith("raw_syscalls:sys_enter") and fields[0].isdigit():
                        self.total = int(fields[0])
        except (subprocess.TimeoutExpired, OSError):
            self._perf.kill()
        finally:
            os.unlink(self._out.name)
        return False
