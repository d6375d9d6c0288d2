"""Type stub of py_engine_tarnel: the asyncio RPC link to the back-test engine of the user interface, and the
codec functions of its numeric payloads."""

from asyncio import Future
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, TypeAlias, final

import numpy as np
import numpy.typing as npt

__all__ = [
    "TarnelEngineAsync",
    "decode_vec_f64_py",
    "decode_mat_f64_py",
    "decode_close_step_py",
    "decode_vec_mat_f64_py",
    "encode_vec_f64_py",
    "encode_mat_f64_py",
    "encode_close_step_py",
]

# What the interpreter's float conversion accepts: float, int, objects with __float__ or __index__.
_Real: TypeAlias = SupportsFloat | SupportsIndex
_F64Array: TypeAlias = npt.NDArray[np.float64]
_I32Array: TypeAlias = npt.NDArray[np.int32]

@final
class TarnelEngineAsync:
    """One link to one user interface: a WebSocket server on host:port and the engine's RPC methods.

    Every method returns an asyncio future at once; its work runs in the background. A timeout_secs of
    None means the method's default (10 seconds; 5 for get_sync_policy; no limit for wait_connected)."""

    def __new__(cls, host: str, port: SupportsIndex, start_seq: SupportsIndex | None = None) -> TarnelEngineAsync: ...
    def start(self, /) -> Future[None]: ...
    def wait_connected(self, /, timeout_secs: _Real | None = None) -> Future[None]: ...
    def init_candles(self, /, ohlc5: _F64Array, timeout_secs: _Real | None = None) -> Future[None]: ...
    def reset_episode(
        self, /, episode_index: SupportsIndex, episode_type: str, timeout_secs: _Real | None = None
    ) -> Future[int]: ...
    def get_rl_config(self, /, timeout_secs: _Real | None = None) -> Future[str]: ...
    def step_next(self, /, timeout_secs: _Real | None = None) -> Future[None]: ...
    def step_and_sync(self, /, timeout_secs: _Real | None = None) -> Future[tuple[_F64Array, _F64Array]]: ...
    def get_snapshot(self, /, timeout_secs: _Real | None = None) -> Future[_F64Array]: ...
    def get_ticket_list(self, /, timeout_secs: _Real | None = None) -> Future[_F64Array]: ...
    def get_ohlc(self, /, timeout_secs: _Real | None = None) -> Future[_F64Array]: ...
    def fetch_events(self, /, timeout_secs: _Real | None = None) -> Future[_F64Array]: ...
    def end_session(self, /, timeout_secs: _Real | None = None) -> Future[_F64Array]: ...
    def get_sync_policy(self, /, timeout_secs: _Real | None = None) -> Future[str | None]: ...
    def close_positions(
        self,
        /,
        position_ids: Sequence[SupportsIndex],
        actions: Sequence[SupportsIndex],
        ratios: Sequence[_Real],
        timeout_secs: _Real | None = None,
    ) -> Future[_F64Array]: ...
    def place_order(
        self,
        /,
        side: str,
        order_type: str,
        price: _Real,
        units: SupportsIndex,
        take_profit: _Real | None = None,
        stop_loss: _Real | None = None,
        trailing_stop: _Real | None = None,
        time_limit: _Real | None = None,
        timeout_secs: _Real | None = None,
    ) -> Future[_F64Array]: ...
    def place_ticket(
        self,
        /,
        side: str,
        units: SupportsIndex,
        take_profit: _Real | None = None,
        stop_loss: _Real | None = None,
        trailing_stop: _Real | None = None,
        timeout_secs: _Real | None = None,
    ) -> Future[_F64Array]: ...
    def close(self, /) -> Future[None]:
        """Stop the engine: close the listening sockets and the connection, and fail calls in flight and later calls with "engine closed". The port is free again when the future is done. Idempotent."""
    def __aenter__(self, /) -> Future[TarnelEngineAsync]:
        """Returns the engine."""
    def __aexit__(self, exc_type: object, exc_value: object, traceback: object, /) -> Future[None]:
        """Closes the engine."""

def decode_vec_f64_py(payload: bytes) -> _F64Array:
    """Decode VecF64 payload into numpy.ndarray(float64, shape=(n,))"""

def decode_mat_f64_py(payload: bytes) -> _F64Array:
    """Decode MatF64 payload into numpy.ndarray(float64, shape=(rows, cols))"""

def decode_close_step_py(payload: bytes) -> tuple[_I32Array, _I32Array, _F64Array]:
    """Decode CloseStep payload into tuple(flags, actions, ratios) as numpy arrays."""

def decode_vec_mat_f64_py(payload: bytes) -> tuple[_F64Array, _F64Array]:
    """Decode VecF64 + MatF64 payload into (vec, mat)."""

def encode_vec_f64_py(arr: _F64Array) -> list[int]: ...
def encode_mat_f64_py(mat: _F64Array) -> list[int]: ...
def encode_close_step_py(flags: _I32Array, actions: _I32Array, ratios: _F64Array) -> list[int]: ...
