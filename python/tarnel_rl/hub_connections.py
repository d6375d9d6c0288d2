"""The hub's bound on connections: at most `max_connections` open at once, within the process's file
descriptors; a connection past the bound pushes out the oldest one that is not in a request (an idle
or a half-sent one), so that no number of idle connections keeps a dashboard out."""
from __future__ import annotations

import resource
from typing import Any

from aiohttp import web
from aiohttp.web_protocol import RequestHandler

DESCRIPTORS_KEPT = 32  # for the hub's own files, pipes and listening socket
MAX_CONNECTIONS = 256


def descriptor_budget(wanted: int = MAX_CONNECTIONS) -> int:
    """How many connections fit in this process's descriptors: raises the soft limit to the hard one
    first (as a server may), then leaves DESCRIPTORS_KEPT for the rest."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard == resource.RLIM_INFINITY or soft < hard:
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard if hard != resource.RLIM_INFINITY else 65536,) * 2)
            soft = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
        except (ValueError, OSError):
            pass
    return max(4, min(wanted, soft - DESCRIPTORS_KEPT))


class BoundedServer(web.Server):
    """aiohttp's low-level server with a bound on open connections. The request handler marks the
    connections that are in a request (`busy`); the others may be pushed out."""

    def __init__(self, handler: Any, max_connections: int, **kwargs: Any) -> None:
        super().__init__(handler, **kwargs)
        self.max_connections = max_connections
        self.busy: set[RequestHandler] = set()
        self.pushed_out = 0

    def connection_made(self, handler: RequestHandler, transport: Any) -> None:
        super().connection_made(handler, transport)
        if len(self._connections) <= self.max_connections:
            return
        # The oldest first (the dict keeps the order of arrival); with none idle the newcomer goes.
        victim = next((h for h in self._connections if h is not handler and h not in self.busy), handler)
        self.pushed_out += 1
        victim.force_close()

    def connection_lost(self, handler: RequestHandler, exc: BaseException | None = None) -> None:
        self.busy.discard(handler)
        super().connection_lost(handler, exc)
