"""The fourteen RPC methods of TarnelEngineAsync against a scripted user interface: function identifiers,
request payloads byte for byte, decoding of the responses, default time-outs, signatures and docstrings."""

import asyncio
import inspect
import math
import struct
import time

import numpy as np
import pytest

NAN_WITH_PAYLOAD = struct.unpack("<d", bytes.fromhex("0100000000e8ff7f"))[0]  # a quiet NaN with payload bits
# The vector [3.0] followed by the 1 x 1 matrix [[4.0]].
VEC_MAT_3_4 = bytes.fromhex("01000000 0000000000000840 01000000 01000000 0000000000001040")


def vec(*values):
    return struct.pack(f"<I{len(values)}d", len(values), *values)


def mat(rows, cols, values):
    return struct.pack(f"<II{len(values)}d", rows, cols, *values)


def close_step(flags, actions, ratios):
    n = len(flags)
    return struct.pack(f"<I{n}i{n}i{n}d", n, *flags, *actions, *ratios)


def f64_bytes(array):
    return np.ascontiguousarray(array, dtype="<f8").tobytes()


def assert_fresh_f64(array, shape):
    assert type(array) is np.ndarray
    assert array.dtype == np.float64
    assert array.shape == shape
    assert array.flags.c_contiguous and array.flags.writeable and array.flags.owndata


async def call(method, *args, **kwargs):
    return await asyncio.wait_for(method(*args, **kwargs), 5.0)


# ---- function identifier and request payload of every method ----------------------------------------------

OHLC = np.arange(6.0).reshape(2, 3) - 2.5
SNAPSHOT = [1.5, -0.0, math.inf]
MATRIX_1x2 = mat(1, 2, [1.0, -2.0])
CONFIG = '{"seed": 7, "name": "\u00e9\u20ac"}'
# (method, arguments, fnId, request payload, response payload, check of the result)
REQUESTS = [
    ("init_candles", (OHLC,), 100, mat(2, 3, [-2.5, -1.5, -0.5, 0.5, 1.5, 2.5]), b"\xffnot a payload", None),
    ("reset_episode", (5, "TEST"), 101, bytes.fromhex("0500000001"), bytes.fromhex("07000000ff"), 7),
    ("get_rl_config", (), 102, b"", CONFIG.encode(), CONFIG),
    ("step_next", (), 2, b"", b"\x01\x02\x03", None),
    ("step_and_sync", (), 130, b"", VEC_MAT_3_4,
     ("pair", [3.0], [[4.0]])),
    ("get_snapshot", (), 12, b"", vec(*SNAPSHOT), ("vector", SNAPSHOT)),
    ("get_ticket_list", (), 10, b"", MATRIX_1x2, ("matrix", [[1.0, -2.0]])),
    ("get_ohlc", (), 15, b"", MATRIX_1x2, ("matrix", [[1.0, -2.0]])),
    ("fetch_events", (), 30, b"", MATRIX_1x2, ("matrix", [[1.0, -2.0]])),
    ("end_session", (), 40, b"", MATRIX_1x2, ("matrix", [[1.0, -2.0]])),
    ("get_sync_policy", (), 120, b"", b"\x01", "eager"),
    ("close_positions", ([4, 9], [1, 2], [0.7, 0.25]), 31, close_step([4, 9], [1, 2], [0.0, 0.25]), MATRIX_1x2,
     ("matrix", [[1.0, -2.0]])),
    ("place_order", ("Buy", " LIMIT ", 1.25, 10), 20,
     vec(1.0, 1.25, -1.0, -1.0, -1.0, -1.0, 1.0, 1.0, 10.0, 0.0, 0.0, 0.0, 0.0), vec(2.0), ("vector", [2.0])),
    ("place_ticket", ("sell", 3), 21, vec(1.0, 0.0, 0.0, 0.0, 0.0, 3.0, 0.0, 0.0, 0.0), vec(), ("vector", [])),
]


@pytest.mark.parametrize("method, args, fn_id, request_payload, answer, expected", REQUESTS,
                         ids=[row[0] for row in REQUESTS])
async def test_request_frame_and_result(make_link, wire, method, args, fn_id, request_payload, answer, expected):
    link = await make_link(start_seq=41)
    link.ui.default = wire.respond(answer)
    result = await call(getattr(link.engine, method), *args)

    assert [r.raw for r in link.ui.requests] == [wire.frame(wire.REQUEST, 41, fn_id, request_payload)]
    if isinstance(expected, tuple) and expected[0] == "vector":
        assert_fresh_f64(result, (len(expected[1]),))
        assert f64_bytes(result) == f64_bytes(np.array(expected[1], dtype=np.float64))
    elif isinstance(expected, tuple) and expected[0] == "matrix":
        assert_fresh_f64(result, np.array(expected[1]).shape)
        assert f64_bytes(result) == f64_bytes(np.array(expected[1]))
    elif isinstance(expected, tuple) and expected[0] == "pair":
        assert type(result) is tuple and len(result) == 2
        assert_fresh_f64(result[0], (1,))
        assert_fresh_f64(result[1], (1, 1))
        assert result[0].tolist() == expected[1] and result[1].tolist() == expected[2]
    else:
        assert type(result) is type(expected) and result == expected


async def test_requests_carry_consecutive_seqs_and_zero_reserved_fields(link, wire):
    for method in ["get_ohlc", "step_next", "get_sync_policy"]:
        link.ui.on(wire.FN_IDS[method], wire.respond(mat(0, 0, []) if method == "get_ohlc" else b""))
        await call(getattr(link.engine, method))
    assert [(r.seq, r.fn_id, r.version, r.kind, r.reserved, r.length) for r in link.ui.requests] == [
        (1, 15, 1, 1, (0, 0), 0), (2, 2, 1, 1, (0, 0), 0), (3, 120, 1, 1, (0, 0), 0)]


# ---- reset_episode's episode type byte -----------------------------------------------------------------------

class LowerSaysTest(str):
    def lower(self):
        return "test"


@pytest.mark.parametrize("episode_type, byte", [
    ("TEST", 1), ("test", 1), ("Test", 1), ("tEsT", 1),
    ("Train", 0), ("train", 0), (" test", 0), ("test ", 0), ("test\n", 0), ("tests", 0), ("", 0), ("te st", 0),
    ("TE\u017fT", 0),  # LATIN SMALL LETTER LONG S: lower() keeps it, only case folding would make it "s"
    ("\uff34\uff25\uff33\uff34", 0),  # FULLWIDTH TEST lower-cases to fullwidth letters
    ("TEST\u0307", 0),
    # the text's own case mapping decides, not an override of str.lower
    pytest.param(LowerSaysTest("train"), 0, id="str-subclass-overriding-lower"),
])
async def test_reset_episode_type_byte(link, wire, episode_type, byte):
    link.ui.default = wire.respond(b"")
    assert await call(link.engine.reset_episode, 5, episode_type) == 0
    assert link.ui.requests[0].payload == bytes([5, 0, 0, 0, byte])


@pytest.mark.parametrize("index, payload", [(0, "00000000"), (4294967295, "ffffffff"), (0x01020304, "04030201")])
async def test_reset_episode_index_is_little_endian_u32(link, wire, index, payload):
    await call(link.engine.reset_episode, index, episode_type="test")
    assert link.ui.requests[0].payload == bytes.fromhex(payload + "01")


@pytest.mark.parametrize("answer, expected", [
    (b"", 0), (b"\x07\x00\x00", 0), (bytes.fromhex("07000000ff"), 7), (bytes.fromhex("ffffffff"), 4294967295),
    (bytes.fromhex("00000080") + b"junk", 2147483648),
])
async def test_reset_episode_result(link, wire, answer, expected):
    link.ui.default = wire.respond(answer)
    result = await call(link.engine.reset_episode, 1, "train")
    assert type(result) is int and result == expected


# ---- results of the other scalar methods ---------------------------------------------------------------------

@pytest.mark.parametrize("answer, expected", [
    (bytes.fromhex("0005"), "deferred"), (b"\x00", "deferred"), (b"\x01", "eager"), (b"\x01\xff\xff", "eager"),
    (b"\x02", None), (b"\xff", None), (b"", None),
])
async def test_get_sync_policy_result(link, wire, answer, expected):
    link.ui.default = wire.respond(answer)
    assert await call(link.engine.get_sync_policy) == expected


@pytest.mark.parametrize("answer, expected", [
    (b"\xff\xfe", "{}"), (b"", ""), (b"{\"a\":1}\xc3", "{}"), (b"\xed\xa0\x80", "{}"), (b"a\x00b", "a\x00b"),
    ("\U0001f600 \u00e9".encode(), "\U0001f600 \u00e9"), (b"not json", "not json"),
])
async def test_get_rl_config_result(link, wire, answer, expected):
    link.ui.default = wire.respond(answer)
    result = await call(link.engine.get_rl_config)
    assert type(result) is str and result == expected


@pytest.mark.parametrize("method", ["step_next", "init_candles"])
async def test_ignored_responses_give_none_whatever_they_hold(link, wire, method):
    args = (np.zeros((1, 1)),) if method == "init_candles" else ()
    for answer in [b"", b"\x01", b"\xff" * 3, mat(5, 5, [])]:
        link.ui.on(wire.FN_IDS[method], wire.respond(answer))
        assert await call(getattr(link.engine, method), *args) is None


# ---- array results -------------------------------------------------------------------------------------------

async def test_matrix_without_rows_has_shape_0_0(link, wire):
    link.ui.on(10, wire.respond(mat(0, 8, [])))
    result = await call(link.engine.get_ticket_list)
    assert_fresh_f64(result, (0, 0))


async def test_matrix_rows_are_filled_row_by_row(link, wire):
    values = [float(v) for v in range(10)]
    link.ui.on(15, wire.respond(mat(2, 5, values)))
    result = await call(link.engine.get_ohlc)
    assert_fresh_f64(result, (2, 5))
    for r in range(2):
        assert result[r].tolist() == values[5 * r:5 * r + 5]


async def test_vector_values_are_copied_bit_for_bit(link, wire):
    values = [NAN_WITH_PAYLOAD, -0.0, math.inf, -math.inf, 5e-324, 1.7976931348623157e308]
    link.ui.on(12, wire.respond(vec(*values)))
    result = await call(link.engine.get_snapshot)
    assert_fresh_f64(result, (6,))
    assert result.tobytes() == struct.pack("<6d", *values)


async def test_results_are_fresh_arrays_each_time(link, wire):
    link.ui.always(20, wire.respond(vec(1.0, 2.0)))
    first = await call(link.engine.place_order, "buy", "limit", 1.0, 1)
    second = await call(link.engine.place_order, "buy", "limit", 1.0, 1)
    first[0] = 99.0
    assert second.tolist() == [1.0, 2.0]
    assert not np.shares_memory(first, second)


async def test_step_and_sync_with_empty_parts(link, wire):
    link.ui.on(130, wire.respond(struct.pack("<III", 0, 0, 3)))
    vector, matrix = await call(link.engine.step_and_sync)
    assert_fresh_f64(vector, (0,))
    assert_fresh_f64(matrix, (0, 0))


async def test_step_and_sync_matrix_layout(link, wire):
    payload = struct.pack("<I2d", 2, 0.5, -0.5) + mat(3, 2, [1, 2, 3, 4, 5, 6])
    link.ui.on(130, wire.respond(payload))
    vector, matrix = await call(link.engine.step_and_sync)
    assert vector.tolist() == [0.5, -0.5]
    assert matrix.tolist() == [[1, 2], [3, 4], [5, 6]]
    assert_fresh_f64(matrix, (3, 2))


MALFORMED = [
    ("step_and_sync", bytes.fromhex("01000000") + b"\x00" * 8, "VecMatF64 missing matrix header"),
    ("step_and_sync", b"\x01\x00\x00", "VecMatF64 payload too short"),
    ("step_and_sync", VEC_MAT_3_4[:-1], "VecMatF64 length mismatch: expected 28, got 27"),
    ("get_snapshot", b"\x01\x00\x00", "VecF64 payload too short"),
    ("get_snapshot", struct.pack("<I", 2) + b"\x00" * 15, "VecF64 length mismatch: expected 20, got 19"),
    ("place_order", struct.pack("<I", 2) + b"\x00" * 17, "VecF64 length mismatch: expected 20, got 21"),
    ("place_ticket", b"", "VecF64 payload too short"),
    ("get_ohlc", b"\x00" * 7, "MatF64 payload too short"),
    ("get_ticket_list", MATRIX_1x2 + b"\x00", "MatF64 length mismatch: expected 24, got 25"),
    ("fetch_events", struct.pack("<II", 0xFFFFFFFF, 0xFFFFFFFF),
     f"MatF64 length mismatch: expected {8 + 8 * 0xFFFFFFFF ** 2}, got 8"),
    ("end_session", b"", "MatF64 payload too short"),
    ("close_positions", vec(1.0), "MatF64 length mismatch: expected 8, got 12"),
]

CALL_ARGS = {
    "place_order": ("sell", "stop", 2.0, 1),
    "place_ticket": ("buy", 1),
    "close_positions": ([], [], []),
}


@pytest.mark.parametrize("method, answer, text", MALFORMED, ids=[f"{m}-{t[:24]}" for m, _, t in MALFORMED])
async def test_malformed_payload_is_value_error_and_keeps_connection(link, wire, fails_with, method, answer, text):
    link.ui.on(wire.FN_IDS[method], wire.respond(answer))
    await fails_with(ValueError, text, getattr(link.engine, method)(*CALL_ARGS.get(method, ())))
    link.ui.on(120, wire.respond(b"\x00"))
    assert await call(link.engine.get_sync_policy) == "deferred"
    assert [r.seq for r in link.ui.requests] == [1, 2]
    assert len(link.uis) == 1


# ---- order and close requests --------------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, values", [
    (("Buy", " LIMIT ", 1.25, 10), {}, [1.0, 1.25, -1.0, -1.0, -1.0, -1.0, 1.0, 1.0, 10.0, 0.0, 0.0, 0.0, 0.0]),
    (("Buy", " LIMIT ", 1.25, 10), {"take_profit": 0.02, "time_limit": 30.0},
     [1.0, 1.25, 1.0, -1.0, -1.0, 1.0, 1.0, 1.0, 10.0, 1.0, 0.0, 0.0, 30.0]),
    (("sell\n", "Stop", -5.0, 2147483647), {"stop_loss": 0.5, "trailing_stop": 0.25},
     [1.0, -5.0, -1.0, 1.0, 1.0, -1.0, -1.0, -1.0, 2147483647.0, 0.0, 49.0, 24.0, 0.0]),
    (("buy", "stop", 0, True), {"take_profit": 0.0, "stop_loss": -0.0, "trailing_stop": 3},
     [1.0, 0.0, 1.0, 1.0, 1.0, -1.0, 1.0, -1.0, 1.0, -1.0, -1.0, 299.0, 0.0]),
    (("buy", "limit", 1.0, 1), {"time_limit": -3.0}, [1.0, 1.0, -1.0, -1.0, -1.0, 1.0, 1.0, 1.0, 1.0, 0, 0, 0, -3.0]),
    (("buy", "limit", 1.0, 1), {"time_limit": -math.inf},
     [1.0, 1.0, -1.0, -1.0, -1.0, 1.0, 1.0, 1.0, 1.0, 0, 0, 0, -math.inf]),
    (("buy", "limit", 1.0, 1), {"time_limit": NAN_WITH_PAYLOAD},
     [1.0, 1.0, -1.0, -1.0, -1.0, 1.0, 1.0, 1.0, 1.0, 0, 0, 0, NAN_WITH_PAYLOAD]),
])
async def test_place_order_vector(link, wire, args, kwargs, values):
    link.ui.default = wire.respond(vec())
    await call(link.engine.place_order, *args, **kwargs)
    payload = link.ui.requests[0].payload
    assert len(payload) == 108 and payload[:4] == bytes.fromhex("0d000000")
    assert payload == struct.pack("<I13d", 13, *values)


@pytest.mark.parametrize("args, kwargs, values", [
    (("sell", 3), {"stop_loss": 0.5}, [1.0, 0.0, 1.0, 0.0, 0.0, 3.0, 0.0, -0.5, 0.0]),
    (("BUY\n", 7), {"take_profit": 2.5, "trailing_stop": 0.0}, [1.0, 1.0, 0.0, 1.0, 1.0, 7.0, 1.5, 0.0, -1.0]),
    ((" sell ", True), {"take_profit": -0.0, "stop_loss": 1e300, "trailing_stop": 1},
     [1.0, 1.0, 1.0, 1.0, 0.0, 1.0, -1.0, 1e300, 0.0]),
])
async def test_place_ticket_vector(link, wire, args, kwargs, values):
    link.ui.default = wire.respond(vec())
    await call(link.engine.place_ticket, *args, **kwargs)
    payload = link.ui.requests[0].payload
    assert len(payload) == 76 and payload[:4] == bytes.fromhex("09000000")
    assert payload == struct.pack("<I9d", 9, *values)


@pytest.mark.parametrize("ids, actions, ratios, sent_ratios", [
    ([4, 9], [1, 2], [0.7, 0.25], [0.0, 0.25]),
    ([7, 8], [2, 1], [0.5, 0.9], [0.5, 0.0]),
    ([], [], [], []),
    ([-2147483648, 2147483647, 0], [2, -5, 2], [1.0, math.nan, 0.0], [1.0, 0.0, 0.0]),
    ([1], [2], [-0.0], [-0.0]),
    ((3, 4), (0, 3), (math.inf, -7.0), [0.0, 0.0]),
    (np.array([4, 9]), np.array([1, 2], dtype=np.int32), np.array([0.7, 0.25]), [0.0, 0.25]),
    (range(2), [2, 2], [np.float32(0.5), 1], [0.5, 1.0]),
])
async def test_close_positions_request(link, wire, ids, actions, ratios, sent_ratios):
    link.ui.default = wire.respond(mat(0, 0, []))
    await call(link.engine.close_positions, ids, actions, ratios)
    assert link.ui.requests[0].payload == close_step(list(ids), list(actions), sent_ratios)


# ---- init_candles' matrix --------------------------------------------------------------------------------------

class Candles(np.ndarray):
    pass


def grid(rows, cols):
    return np.arange(rows * cols, dtype=np.float64).reshape(rows, cols) / 4.0 - 1.0


def row_major_mat(array):
    array = np.asarray(array)
    return struct.pack("<II", *array.shape) + np.ascontiguousarray(array, dtype="<f8").tobytes()


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


@pytest.mark.parametrize("make", [
    lambda: grid(3, 5),
    lambda: np.asfortranarray(grid(3, 5)),
    lambda: read_only(grid(3, 5)),
    lambda: read_only(np.asfortranarray(grid(4, 2))),
    lambda: grid(5, 3).T,  # a Fortran-ordered view
    lambda: grid(6, 3)[1:4],  # a C-contiguous slice
    lambda: np.zeros((0, 0)),
    lambda: np.zeros((0, 4)),
    lambda: np.full((1, 1), NAN_WITH_PAYLOAD),
    lambda: grid(2, 2).view(Candles),
], ids=["c", "fortran", "read-only", "read-only-fortran", "transposed", "row-slice", "0x0", "0x4", "nan", "subclass"])
async def test_init_candles_sends_row_major_matrix(link, wire, make):
    array = make()
    before = np.array(array, copy=True)
    await call(link.engine.init_candles, array)
    assert link.ui.requests[0].payload == row_major_mat(before)
    assert np.asarray(array).tobytes(order="A") == before.tobytes(order="A")


@pytest.mark.parametrize("ohlc5, text", [
    (grid(3, 6)[:, ::2], "The given array is not contiguous"),
    (grid(4, 4)[::2, ::2], "The given array is not contiguous"),
    (grid(3, 5).astype(np.float32), "type mismatch:\n from=float32, to=float64"),
    (np.zeros((2, 2), dtype=np.int64), "type mismatch:\n from=int64, to=float64"),
    (grid(2, 2).astype(">f8"), "type mismatch:\n from=>f8, to=float64"),
    (np.zeros(3), "dimensionality mismatch:\n from=1, to=2"),
    (np.zeros((1, 1, 1)), "dimensionality mismatch:\n from=3, to=2"),
    ([[1.0, 2.0]], "'list' object cannot be converted to 'PyArray<T, D>'"),
    (None, "'NoneType' object cannot be converted to 'PyArray<T, D>'"),
])
async def test_init_candles_refuses_at_the_call(link, raises_exactly, ohlc5, text):
    raises_exactly(TypeError, text, link.engine.init_candles, ohlc5)
    await call(link.engine.init_candles, grid(1, 1))
    assert [r.seq for r in link.ui.requests] == [1]


# ---- time-outs -------------------------------------------------------------------------------------------------

METHOD_ARGS = {
    "init_candles": (grid(1, 5),),
    "reset_episode": (0, "train"),
    "close_positions": ([1], [2], [0.5]),
    "place_order": ("buy", "limit", 1.0, 1),
    "place_ticket": ("buy", 1),
}
VALID_ANSWERS = {
    "step_and_sync": struct.pack("<III", 0, 0, 0), "get_snapshot": vec(), "place_order": vec(), "place_ticket": vec(),
    "get_ticket_list": mat(0, 0, []), "get_ohlc": mat(0, 0, []), "fetch_events": mat(0, 0, []),
    "end_session": mat(0, 0, []), "close_positions": mat(0, 0, []),
}


@pytest.mark.parametrize("method", list(METHOD_ARGS) + ["get_ohlc", "get_sync_policy", "step_next"])
async def test_explicit_timeout_bounds_the_wait(make_link, wire, fails_with, method):
    link = await make_link()
    link.ui.default = wire.silence()
    fn_id = wire.FN_IDS[method]
    started = time.monotonic()
    await fails_with(RuntimeError, f"RpcTransportError(seq=Some(1), fnId=Some({fn_id})): timeout waiting response",
                     getattr(link.engine, method)(*METHOD_ARGS.get(method, ()), timeout_secs=0.3))
    assert 0.28 <= time.monotonic() - started < 2.0


# Half-way between the two defaults: either side has 2.5 s to spare on a loaded machine.
LATE_ANSWER = 7.5


async def test_default_timeouts(make_link, wire, fails_with):
    """get_sync_policy gives up after 5 s by default; an answer after 7.5 s still reaches every other method,
    whose default is 10 s."""
    policy_link = await make_link()
    policy_link.ui.default = wire.silence()
    others = {}
    for method in wire.FN_IDS:
        if method != "get_sync_policy":
            others[method] = await make_link()
            others[method].ui.default = wire.later(LATE_ANSWER, wire.respond(VALID_ANSWERS.get(method, b"")))

    async def late_success(method):
        return await asyncio.wait_for(getattr(others[method].engine, method)(*METHOD_ARGS.get(method, ())), 15.0)

    async def policy_timeout():
        started = time.monotonic()  # before the call: its deadline cannot start earlier
        future = policy_link.engine.get_sync_policy()
        await fails_with(RuntimeError, "RpcTransportError(seq=Some(1), fnId=Some(120)): timeout waiting response",
                         future, timeout=15.0)
        return time.monotonic() - started

    waited, *results = await asyncio.gather(policy_timeout(), *(late_success(m) for m in others))
    assert 5.0 - 0.001 <= waited < LATE_ANSWER
    assert len(results) == 13
    assert all(len(others[m].ui.requests) == 1 for m in others)


# ---- the Python surface of the methods ---------------------------------------------------------------------------

SIGNATURES = [
    ("start", "(self, /)", None),
    ("wait_connected", "(self, /, timeout_secs=None)", None),
    ("init_candles", "(self, /, ohlc5, timeout_secs=None)", None),
    ("reset_episode", "(self, /, episode_index, episode_type, timeout_secs=None)",
     "Reset to a specific episode by index.\nPayload: [u32 episode_index, u8 episode_type (0=train, 1=test)]"),
    ("get_rl_config", "(self, /, timeout_secs=None)",
     "Get RL config from UI (seed, episode counts, etc.). Returns JSON string."),
    ("step_next", "(self, /, timeout_secs=None)", None),
    ("step_and_sync", "(self, /, timeout_secs=None)", None),
    ("get_snapshot", "(self, /, timeout_secs=None)", None),
    ("get_ticket_list", "(self, /, timeout_secs=None)", None),
    ("get_ohlc", "(self, /, timeout_secs=None)", None),
    ("fetch_events", "(self, /, timeout_secs=None)", None),
    ("end_session", "(self, /, timeout_secs=None)", None),
    ("get_sync_policy", "(self, /, timeout_secs=None)", None),
    ("close_positions", "(self, /, position_ids, actions, ratios, timeout_secs=None)", None),
    ("place_order", "(self, /, side, order_type, price, units, take_profit=None, stop_loss=None, "
                    "trailing_stop=None, time_limit=None, timeout_secs=None)", None),
    ("place_ticket", "(self, /, side, units, take_profit=None, stop_loss=None, trailing_stop=None, "
                     "timeout_secs=None)", None),
    ("close", "(self, /)",
     'Stop the engine: close the listening sockets and the connection, and fail calls in flight and later calls '
     'with "engine closed". The port is free again when the future is done. Idempotent.'),
]


def test_methods_in_class_order(tarnel):
    names = [name for name in vars(tarnel.TarnelEngineAsync) if not name.startswith("__")]
    assert names == [name for name, _, _ in SIGNATURES]


@pytest.mark.parametrize("name, signature, doc", SIGNATURES, ids=[s[0] for s in SIGNATURES])
def test_signature_and_docstring(tarnel, name, signature, doc):
    method = getattr(tarnel.TarnelEngineAsync, name)
    assert str(inspect.signature(method)) == signature
    assert method.__text_signature__ == signature.replace("self, /", "$self")
    assert method.__doc__ == doc
    bound = inspect.signature(getattr(tarnel.TarnelEngineAsync("127.0.0.1", 1), name))
    assert list(bound.parameters) == [p.strip().split("=")[0] for p in signature[1:-1].split(",")][2:]
    for parameter in bound.parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
