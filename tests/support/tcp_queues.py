"""What the kernel holds for one loopback TCP connection, from /proc/net/tcp: the bytes sent and not yet
acknowledged, and the bytes received and not yet read by the program. A test waits on these instead of
sleeping when it needs data to have arrived at the engine's socket, or to have been read from it."""

import asyncio
import socket
import struct
import time


def _address(host, port):
    """An endpoint as /proc/net/tcp writes it: the address's four bytes as one hexadecimal number in the
    machine's byte order, a colon, the port in hexadecimal."""
    (number,) = struct.unpack("=I", socket.inet_aton(host))
    return f"{number:08X}:{port:04X}"


def tcp_queues(port, peer_port, host="127.0.0.1"):
    """(not yet acknowledged, not yet read) in bytes for the socket of host:port connected to host:peer_port,
    or None when there is no such connection."""
    wanted = (_address(host, port), _address(host, peer_port))
    with open("/proc/net/tcp") as table:
        next(table)
        for line in table:
            fields = line.split()
            if (fields[1], fields[2]) == wanted:
                unacknowledged, unread = fields[4].split(":")
                return int(unacknowledged, 16), int(unread, 16)
    return None


async def until(condition, timeout=5.0):
    """Polls `condition()` every few milliseconds until it holds or `timeout` seconds passed; its last value."""
    deadline = time.monotonic() + timeout
    while not (held := condition()) and time.monotonic() < deadline:
        await asyncio.sleep(0.005)
    return held


def delivered(port, peer_port, host="127.0.0.1"):
    """Whether everything the peer sent has reached the socket of host:port (acknowledged by its kernel)."""
    sender, receiver = tcp_queues(peer_port, port, host), tcp_queues(port, peer_port, host)
    return sender is not None and receiver is not None and sender[0] == 0


def delivered_and_read(port, peer_port, host="127.0.0.1"):
    """Whether everything the peer sent has reached the socket of host:port and been read from it."""
    queues = tcp_queues(port, peer_port, host)
    return delivered(port, peer_port, host) and queues is not None and queues[1] == 0
