"""The hub's connections, bounded: at most `budget` open at once, within the process's file descriptors.
A connection past the bound pushes out the oldest one that is not in a request (an idle or half-sent
one), so that no number of idle connections keeps a dashboard out; and when descriptors run out anyway
the hub stops accepting for a moment instead of spinning on a failing accept."""
from __future__ import annotations

import asyncio
import errno
import resource
import socket
from typing import Any

from aiohttp import web
from aiohttp.web_protocol import RequestHandler

DESCRIPTORS_KEPT = 48  # for the hub's own files, pipes and listening socket, and ACCEPTS_PER_WAKE in passing
MAX_CONNECTIONS = 256
ACCEPTS_PER_WAKE = 16
FULL_PAUSE_SECS = 0.5  # every connection is in a request, or no descriptor is left: accept again after this
CLOSING_PAUSE_SECS = 0.01  # a connection being handed to aiohttp, or closed, is settled within a few turns
OUT_OF_RESOURCES = (errno.EMFILE, errno.ENFILE, errno.ENOBUFS, errno.ENOMEM)


def descriptor_budget(wanted: int = MAX_CONNECTIONS) -> int:
    """How many connections fit in this process's descriptors: raises the soft limit to the hard one
    first (as a server may), then leaves DESCRIPTORS_KEPT for the rest."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < hard or hard == resource.RLIM_INFINITY:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard if hard != resource.RLIM_INFINITY else 65536, hard))
            soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        except (ValueError, OSError):
            pass
    return max(4, min(wanted, soft - DESCRIPTORS_KEPT))


class BoundedServer(web.Server):
    """aiohttp's low-level server, fed by its own accept loop (`listen`). The request handler marks the
    connections that are in a request (`busy`); the others may be pushed out."""

    def __init__(self, handler: Any, budget: int, **kwargs: Any) -> None:
        super().__init__(handler, **kwargs)
        self.budget = budget
        self.busy: set[RequestHandler] = set()
        self._closing: set[RequestHandler] = set()
        self._adopting = 0  # accepted, not yet handed to aiohttp
        self.pushed_out = 0
        self._socket: socket.socket | None = None
        self._paused: asyncio.TimerHandle | None = None

    def listen(self, port: int) -> int:
        """Listens on 127.0.0.1:`port` (0: a free one); answers the port. A taken port raises OSError."""
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind(("127.0.0.1", port))
            listener.listen(128)
            listener.setblocking(False)
        except BaseException:
            listener.close()
            raise
        self._socket = listener
        self._resume()
        return int(listener.getsockname()[1])

    def stop_listening(self) -> None:
        if self._socket is not None:
            if self._paused is not None:
                self._paused.cancel()
            else:
                asyncio.get_running_loop().remove_reader(self._socket.fileno())
            self._socket.close()
            self._socket = None

    def _resume(self) -> None:
        self._paused = None
        if self._socket is not None:
            asyncio.get_running_loop().add_reader(self._socket.fileno(), self._accept)

    def _pause(self, seconds: float) -> None:
        loop = asyncio.get_running_loop()
        if self._socket is not None and self._paused is None:
            loop.remove_reader(self._socket.fileno())
            self._paused = loop.call_later(seconds, self._resume)

    def _accept(self) -> None:
        assert self._socket is not None
        for _ in range(ACCEPTS_PER_WAKE):
            # A connection pushed out frees its descriptor on the loop's next turn: until then the hub holds
            # at most ACCEPTS_PER_WAKE more than its budget, well within DESCRIPTORS_KEPT.
            if self.open_connections() + self._adopting >= self.budget and not self._push_out_one():
                # Connections just accepted (not yet handed to aiohttp) or closing are settled on the loop's
                # next turns; only when every connection is in a request is there nothing to wait for.
                self._pause(CLOSING_PAUSE_SECS if self._adopting or self._closing else FULL_PAUSE_SECS)
                return
            try:
                connection, _ = self._socket.accept()
            except (BlockingIOError, InterruptedError, ConnectionAbortedError):
                return
            except OSError as error:
                # Descriptors ran out all the same (the hub's own files): free one, and wait. Any other
                # failure: wait too, rather than be called again at once for the same failure.
                freed = error.errno in OUT_OF_RESOURCES and self._push_out_one()
                self._pause(CLOSING_PAUSE_SECS if freed else FULL_PAUSE_SECS)
                return
            connection.setblocking(False)
            self._adopting += 1
            asyncio.get_running_loop().create_task(self._adopt(connection))

    async def _adopt(self, connection: socket.socket) -> None:
        try:
            await asyncio.get_running_loop().connect_accepted_socket(self, sock=connection)
        except OSError:
            connection.close()
        finally:
            self._adopting -= 1

    def open_connections(self) -> int:
        # aiohttp forgets a closed connection only once its task ends: count the ones still open.
        return sum(1 for h in self._connections if h.transport is not None and h not in self._closing)

    def _push_out_one(self) -> bool:
        """Closes the oldest connection that is in no request (the dict keeps the order of arrival)."""
        for handler in self._connections:
            if handler not in self.busy and handler not in self._closing and handler.transport is not None:
                self._closing.add(handler)
                self.pushed_out += 1
                handler.transport.abort()
                return True
        return False

    def connection_lost(self, handler: RequestHandler, exc: BaseException | None = None) -> None:
        self.busy.discard(handler)
        self._closing.discard(handler)
        super().connection_lost(handler, exc)
