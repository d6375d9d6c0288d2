"""Loopback TCP connections as the kernel lists them in /proc/net/tcp: for one connection, the bytes sent and
not yet acknowledged and the bytes received and not yet read by the program; and which process holds a
connection. A test waits on these instead of sleeping when it needs data to have arrived at the engine's
socket or been read from it, or a process to have connected."""

import asyncio
import os
import socket
import struct
import time


def _address(host, port):
    """An endpoint as /proc/net/tcp writes it: the address's four bytes as one hexadecimal number in the
    machine's byte order, a colon, the port in hexadecimal."""
    (number,) = struct.unpack("=I", socket.inet_aton(host))
    return f"{number:08X}:{port:04X}"


def _rows():
    """Each socket's fields: local and remote endpoint, state, queues, ..., inode (index 9)."""
    with open("/proc/net/tcp") as table:
        next(table)
        return [line.split() for line in table]


def tcp_queues(port, peer_port, host="127.0.0.1"):
    """(not yet acknowledged, not yet read) in bytes for the socket of host:port connected to host:peer_port,
    or None when there is no such connection."""
    wanted = (_address(host, port), _address(host, peer_port))
    for fields in _rows():
        if (fields[1], fields[2]) == wanted:
            unacknowledged, unread = fields[4].split(":")
            return int(unacknowledged, 16), int(unread, 16)
    return None


ESTABLISHED = "01"


def connected(pid, port, host="127.0.0.1"):
    """Whether the process `pid` holds an established connection to host:port."""
    try:
        links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
    except OSError:  # gone, or a descriptor closed while listed
        return False
    inodes = {link[len("socket:["):-1] for link in links if link.startswith("socket:[")}
    return any(fields[2] == _address(host, port) and fields[3] == ESTABLISHED and fields[9] in inodes
               for fields in _rows())


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
