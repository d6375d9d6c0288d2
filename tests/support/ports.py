"""Loopback ports that stay the test's own from the moment it picks one until it lets go.

A port found free and then closed again can be taken by another program before the engine binds it: by
that program's own bind to port 0, or as the local port of its outgoing connection. The engine binds
host:port itself on start(), so a test cannot hand it a bound socket. Instead the test holds the port:
a socket bound to it with SO_REUSEADDR that never listens. Linux then gives the port to nobody else
(ports chosen for a bind to port 0 or for a connection skip bound ones, and a plain bind to it fails),
while the engine, which binds with SO_REUSEADDR too, can still bind and listen beside the holder: only a
listener makes a port busy for another SO_REUSEADDR socket. Connections go to the listener only; with
none, a connection is refused as on any closed port.

Import it as `from support.ports import held_port` (tests/ is on the path through tests/conftest.py)."""

import asyncio
import contextlib
import errno
import os
import socket

HOST = "127.0.0.1"
ADDRESS_IN_USE = os.strerror(errno.EADDRINUSE)


def hold_port(host=HOST):
    """A socket holding a free port of `host`; its number is `holder.getsockname()[1]`. Close it to let go."""
    holder = socket.socket()
    holder.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    holder.bind((host, 0))
    return holder


@contextlib.contextmanager
def held_port(host=HOST):
    """A free port of `host`, held for the block: no other program can bind it or listen on it meanwhile."""
    with hold_port(host) as holder:
        yield holder.getsockname()[1]


async def start_on_held_port(new_engine, timeout, host=HOST, attempts=3):
    """(engine, port): `new_engine(port)` started on a held port; from then on its listener keeps the port.
    Should a program have bound that very number anyway, a new port is tried, `attempts` times in all."""
    for attempt in range(attempts):
        with held_port(host) as port:
            engine = new_engine(port)
            try:
                await asyncio.wait_for(engine.start(), timeout)
                return engine, port
            except RuntimeError as error:
                if ADDRESS_IN_USE not in str(error) or attempt == attempts - 1:
                    raise


def listening(port, host=HOST):
    """Whether something accepts connections on the port."""
    with socket.socket() as probe:
        probe.settimeout(5)
        return probe.connect_ex((host, port)) == 0


def can_listen(port, host=HOST):
    """Whether a new listener can take the port now, as the engine binds it: connections of earlier
    listeners lingering in TIME_WAIT and a holder allow it, another listener does not."""
    with socket.socket() as probe:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            probe.bind((host, port))
            probe.listen()
        except OSError:
            return False
        return True
