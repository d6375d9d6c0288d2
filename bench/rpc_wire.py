"""The RPC frame as both Python baselines read and write it: the 16-byte header, the message kinds, the
two errors, the VecF64 / MatF64 payloads viewed as arrays without a copy, and the engine methods the
benchmark drives."""
import struct

import numpy as np

HEADER = struct.Struct("<BBHIHHI")  # version, kind, reserved, seq, fnId, reserved, payload length
REQUEST, RESPONSE, ERROR_RESPONSE, ECHO_REQUEST, ECHO_REPLY = 1, 2, 3, 4, 5
VERSION = 1
U32 = struct.Struct("<I")
U32x2 = struct.Struct("<II")
F64 = np.dtype("<f8")


class RpcTransportError(RuntimeError):
    """The link failed; the connection is dropped."""


class RpcError(RuntimeError):
    """The user interface answered with an ErrorResponse; the connection stays."""


def vector(data, offset=HEADER.size):
    """VecF64 at `offset`: a read-only array viewing `data`, and where the next field starts."""
    (n,) = U32.unpack_from(data, offset)
    end = offset + 4 + 8 * n
    if end > len(data):
        raise ValueError("VecF64 length mismatch")
    return np.frombuffer(data, F64, n, offset + 4), end


def matrix(data, offset=HEADER.size):
    rows, cols = U32x2.unpack_from(data, offset)
    if offset + 8 + 8 * rows * cols != len(data):
        raise ValueError("MatF64 length mismatch")
    return np.frombuffer(data, F64, rows * cols, offset + 8).reshape(rows, cols)


class EngineMethods:
    """The engine methods the benchmark drives, over the `_call(fn_id, parts, timeout_secs)` of a server
    (which returns the whole Response message; the payload starts at 16). `_array_part` gives the bytes
    of a C-contiguous array in the form that server's `_call` sends without a copy."""

    async def get_snapshot(self, timeout_secs=10.0):
        data = await self._call(12, timeout_secs=timeout_secs)
        values, end = vector(data)
        if end != len(data):
            raise ValueError("VecF64 length mismatch")
        return values

    async def step_and_sync(self, timeout_secs=10.0):
        data = await self._call(130, timeout_secs=timeout_secs)
        values, end = vector(data)
        return values, matrix(data, end)

    async def get_ohlc(self, timeout_secs=10.0):
        return matrix(await self._call(15, timeout_secs=timeout_secs))

    async def init_candles(self, ohlc5, timeout_secs=10.0):
        array = np.ascontiguousarray(ohlc5, dtype=F64)
        rows, cols = array.shape
        await self._call(100, [U32x2.pack(rows, cols), self._array_part(array)], timeout_secs)
        return None
