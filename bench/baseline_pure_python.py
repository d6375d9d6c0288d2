"""The pure-Python baseline: the server side of the same RPC link written as a competent user would,
with asyncio and the `websockets` library, NumPy decoding straight from the received bytes
(`numpy.frombuffer`, no copy), the same frame checks in the same order, one lock per engine and a
time-out per call.

It offers the subset of the module's engine API that the benchmark drives, with the same names, so one
measuring loop drives both: start, wait_connected, get_snapshot, step_and_sync, get_ohlc, init_candles.
"""

import asyncio
import struct

from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed

from rpc_wire import (EngineMethods, ECHO_REPLY, ECHO_REQUEST, ERROR_RESPONSE, HEADER, REQUEST, RESPONSE, VERSION,
                      RpcError, RpcTransportError)

HANDSHAKE = '{"type":"handshake","python_library_version":"0.1.0"}'
ORIGINS = ["http://127.0.0.1", "http://localhost", "https://127.0.0.1", "https://localhost",
           "https://tarnel.app", "https://beta.tarnel.app", None]


class PurePythonEngine(EngineMethods):
    def __init__(self, host, port, start_seq=1):
        self.host, self.port, self.start_seq = host, port, start_seq
        self._seq = start_seq
        self._ws = None
        self._connected = asyncio.Event()
        self._lock = asyncio.Lock()
        self._server = None

    async def start(self):
        self._server = await serve(self._serve, self.host, self.port, origins=ORIGINS, compression=None,
                                   max_size=64 * 1024 * 1024, ping_interval=None)

    async def _serve(self, ws):
        await ws.send(HANDSHAKE)
        async with self._lock:
            if self._ws is not None:
                await self._ws.close()
            self._ws = ws
            self._seq = self.start_seq
        self._connected.set()
        await ws.wait_closed()

    async def wait_connected(self, timeout_secs=None):
        await asyncio.wait_for(self._connected.wait(), timeout_secs)

    async def close(self):
        if self._server is not None:
            self._server.close()
            await self._server.wait_closed()

    async def _call(self, fn_id, payload=None, timeout_secs=10.0):
        """Sends one Request and returns the whole Response message (bytes; the payload starts at 16)."""
        async with self._lock:
            ws = self._ws
            if ws is None:
                raise RpcTransportError("no websocket connected")
            seq = self._seq
            self._seq = (seq + 1) & 0xFFFFFFFF
            size = 0 if payload is None else sum(len(part) for part in payload)
            header = HEADER.pack(VERSION, REQUEST, 0, seq, fn_id, 0, size)
            try:
                # A payload goes out as a fragmented message rather than being copied behind its header.
                await ws.send(header if payload is None else [header + payload[0], *payload[1:]])
                async with asyncio.timeout(timeout_secs):
                    while True:
                        data = await ws.recv()
                        if isinstance(data, str):
                            continue
                        answer = self._classify(data, seq, fn_id)
                        if answer is not None:
                            return answer
                        if data[1] == ECHO_REQUEST:
                            await ws.send(bytes([VERSION, ECHO_REPLY]) + data[2:])
            except (RpcTransportError, TimeoutError, ConnectionClosed) as failure:
                self._ws = None
                await ws.close()
                raise RpcTransportError(f"seq={seq} fnId={fn_id}: {failure!r}") from failure

    @staticmethod
    def _classify(data, seq, fn_id):
        """The message when it answers this call; None when it is to be skipped; raises otherwise."""
        if len(data) < HEADER.size:
            raise ValueError(f"frame too short: {len(data)} < 16")
        version, kind, _, got_seq, got_fn, _, length = HEADER.unpack_from(data)
        if HEADER.size + length != len(data):
            raise ValueError(f"payload length mismatch: expected {HEADER.size + length}, got {len(data)}")
        if version != VERSION:
            raise RpcTransportError(f"protocol version mismatch: got {version}, expected {VERSION}")
        if kind not in (RESPONSE, ERROR_RESPONSE):
            return None
        if got_seq != seq:
            raise RpcTransportError(f"seq mismatch: expected {seq}, got {got_seq}")
        if got_fn != fn_id:
            raise RpcTransportError(f"fnId mismatch: expected {fn_id}, got {got_fn}")
        if kind == ERROR_RESPONSE:
            err, sub, n = struct.unpack_from("<HHI", data, HEADER.size)
            raise RpcError(f"RpcError(seq={seq}, fnId={fn_id}, err={err}, sub={sub}): "
                               f"{data[24:24 + n].decode(errors='replace')}")
        return data

    @staticmethod
    def _array_part(array):
        return memoryview(array).cast("B")
