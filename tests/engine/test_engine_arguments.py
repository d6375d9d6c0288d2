"""Argument handling of the engine methods on the caller's thread: binding, conversions, the order and
close checks, the time-out's duration, and which failure is reported when several arguments are wrong.
Every failure raises at the call, sends nothing and consumes no seq."""

import asyncio
import math
import struct

import numpy as np
import pytest

START_SEQ = 77
NEGATIVE = "cannot convert float seconds to Duration: value is negative"
TOO_BIG = "cannot convert float seconds to Duration: value is either too big or NaN"


@pytest.fixture
async def guarded(make_link):
    """A connected engine whose interface must see nothing until the test's closing call: after the
    test, one get_sync_policy call must be the only request and carry seq = start_seq."""
    link = await make_link(start_seq=START_SEQ)
    yield link
    link.ui.on(120, link.ui.default)
    assert await asyncio.wait_for(link.engine.get_sync_policy(), 5.0) is None
    assert [(r.seq, r.fn_id) for r in link.ui.requests] == [(START_SEQ, 120)]


@pytest.fixture
def engine(guarded):
    return guarded.engine


def panic_of(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    error = info.value
    assert type(error).__name__ == "PanicException"
    assert type(error).__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    return error.args


def prefixed_by_interpreter(name, fn, *args):
    """The interpreter's TypeError of a conversion, as the module must report it for argument `name`."""
    try:
        fn(*args)
    except TypeError as error:
        return f"argument '{name}': {error}"
    raise AssertionError("the interpreter accepted the value")


FLOAT_OF_STR = "must be real number, not str"
FLOAT_OF_NONE = "must be real number, not NoneType"


# ---- binding --------------------------------------------------------------------------------------------------

@pytest.mark.parametrize("method, args, kwargs, text", [
    ("place_order", ("buy",), {},
     "TarnelEngineAsync.place_order() missing 3 required positional arguments: 'order_type', 'price', and 'units'"),
    ("place_order", ("buy", "limit"), {},
     "TarnelEngineAsync.place_order() missing 2 required positional arguments: 'price' and 'units'"),
    ("place_order", (), {"units": 1},
     "TarnelEngineAsync.place_order() missing 3 required positional arguments: 'side', 'order_type', and 'price'"),
    ("place_order", (), {},
     "TarnelEngineAsync.place_order() missing 4 required positional arguments: 'side', 'order_type', 'price', "
     "and 'units'"),
    ("place_ticket", (), {"timeout_secs": 1},
     "TarnelEngineAsync.place_ticket() missing 2 required positional arguments: 'side' and 'units'"),
    ("place_ticket", (), {"side": "buy"},
     "TarnelEngineAsync.place_ticket() missing 1 required positional argument: 'units'"),
    ("close_positions", ([1],), {},
     "TarnelEngineAsync.close_positions() missing 2 required positional arguments: 'actions' and 'ratios'"),
    ("reset_episode", (), {},
     "TarnelEngineAsync.reset_episode() missing 2 required positional arguments: 'episode_index' and 'episode_type'"),
    ("init_candles", (), {"timeout_secs": None},
     "TarnelEngineAsync.init_candles() missing 1 required positional argument: 'ohlc5'"),
    ("get_ohlc", (), {"timeout": 1}, "TarnelEngineAsync.get_ohlc() got an unexpected keyword argument 'timeout'"),
    ("wait_connected", (), {"timeout": 1},
     "TarnelEngineAsync.wait_connected() got an unexpected keyword argument 'timeout'"),
    ("get_ohlc", (1, 2), {}, "TarnelEngineAsync.get_ohlc() takes from 0 to 1 positional arguments but 2 were given"),
    ("place_ticket", ("buy", 1, None, None, None, None, None), {},
     "TarnelEngineAsync.place_ticket() takes from 2 to 6 positional arguments but 7 were given"),
    ("place_order", ("buy", "limit", 1.0, 1, None, None, None, None, None, None), {},
     "TarnelEngineAsync.place_order() takes from 4 to 9 positional arguments but 10 were given"),
    ("close_positions", ([], [], [], None), {"ratios": []},
     "TarnelEngineAsync.close_positions() got multiple values for argument 'ratios'"),
    # which binding error wins: too many positionals first, then the keywords in their order, then missing ones
    ("get_ohlc", (1, 2), {"bogus": 1},
     "TarnelEngineAsync.get_ohlc() takes from 0 to 1 positional arguments but 2 were given"),
    ("place_order", (), {"bogus": 1}, "TarnelEngineAsync.place_order() got an unexpected keyword argument 'bogus'"),
    ("reset_episode", (1, "test"), {"extra": 1, "episode_index": 3},
     "TarnelEngineAsync.reset_episode() got an unexpected keyword argument 'extra'"),
    ("reset_episode", (1, "test"), {"episode_index": 3, "extra": 1},
     "TarnelEngineAsync.reset_episode() got multiple values for argument 'episode_index'"),
    # binding comes before every conversion
    ("place_order", (None,), {"timeout_secs": -1},
     "TarnelEngineAsync.place_order() missing 3 required positional arguments: 'order_type', 'price', and 'units'"),
])
async def test_binding_errors(engine, raises_exactly, method, args, kwargs, text):
    raises_exactly(TypeError, text, getattr(engine, method), *args, **kwargs)


async def test_start_takes_no_arguments(engine):
    with pytest.raises(TypeError):
        engine.start(1)
    with pytest.raises(TypeError):
        engine.start(timeout_secs=1)


async def test_keywords_give_the_same_requests_as_positions(make_link, wire):
    calls = [
        ("place_order", ("buy", "stop", 2.0, 3, 0.1, 0.2, 0.3, 4.0, 5.0),
         {"timeout_secs": 5.0, "time_limit": 4.0, "trailing_stop": 0.3, "stop_loss": 0.2, "take_profit": 0.1,
          "units": 3, "price": 2.0, "order_type": "stop", "side": "buy"}),
        ("place_ticket", ("sell", 2, None, 0.5, None, 5), {"stop_loss": 0.5, "units": 2, "side": "sell"}),
        ("close_positions", ([1], [2], [0.5], 5), {"ratios": [0.5], "actions": [2], "position_ids": [1]}),
        ("reset_episode", (9, "Test", 5), {"episode_type": "Test", "episode_index": 9}),
        ("init_candles", (np.eye(2), None), {"ohlc5": np.eye(2)}),
    ]
    link = await make_link()
    link.ui.default = wire.respond(struct.pack("<II", 0, 0))
    link.ui.always(20, wire.respond(struct.pack("<I", 0))).always(21, wire.respond(struct.pack("<I", 0)))
    for method, args, kwargs in calls:
        await asyncio.wait_for(getattr(link.engine, method)(*args), 5.0)
        await asyncio.wait_for(getattr(link.engine, method)(**kwargs), 5.0)
    requests = link.ui.requests
    assert len(requests) == 2 * len(calls)
    for by_position, by_keyword in zip(requests[::2], requests[1::2]):
        assert (by_position.fn_id, by_position.payload) == (by_keyword.fn_id, by_keyword.payload)


# ---- conversions of single arguments -----------------------------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("no float for you")


@pytest.mark.parametrize("kwargs, exc_type, text", [
    ({"side": None}, TypeError, "argument 'side': 'NoneType' object cannot be converted to 'PyString'"),
    ({"side": 5}, TypeError, "argument 'side': 'int' object cannot be converted to 'PyString'"),
    ({"side": b"buy"}, TypeError, "argument 'side': 'bytes' object cannot be converted to 'PyString'"),
    ({"order_type": None}, TypeError, "argument 'order_type': 'NoneType' object cannot be converted to 'PyString'"),
    ({"price": None}, TypeError, "argument 'price': " + FLOAT_OF_NONE),
    ({"price": "1.0"}, TypeError, "argument 'price': " + FLOAT_OF_STR),
    ({"price": 10 ** 400}, OverflowError, "int too large to convert to float"),
    ({"price": FloatRaises()}, ZeroDivisionError, "no float for you"),
    ({"units": None}, TypeError, "argument 'units': 'NoneType' object cannot be interpreted as an integer"),
    ({"units": 2.5}, TypeError, "argument 'units': 'float' object cannot be interpreted as an integer"),
    ({"units": "3"}, TypeError, "argument 'units': 'str' object cannot be interpreted as an integer"),
    ({"units": np.float64(3.0)}, TypeError,
     "argument 'units': 'numpy.float64' object cannot be interpreted as an integer"),
    ({"take_profit": "x"}, TypeError, "argument 'take_profit': " + FLOAT_OF_STR),
    ({"stop_loss": [1.0]}, TypeError, "argument 'stop_loss': must be real number, not list"),
    ({"trailing_stop": 1j}, TypeError, "argument 'trailing_stop': must be real number, not complex"),
    ({"time_limit": "30"}, TypeError, "argument 'time_limit': " + FLOAT_OF_STR),
    ({"timeout_secs": "5"}, TypeError, "argument 'timeout_secs': " + FLOAT_OF_STR),
    ({"timeout_secs": b""}, TypeError, "argument 'timeout_secs': must be real number, not bytes"),
])
async def test_place_order_conversion_errors(engine, raises_exactly, kwargs, exc_type, text):
    arguments = {"side": "buy", "order_type": "limit", "price": 1.0, "units": 1} | kwargs
    raises_exactly(exc_type, text, engine.place_order, **arguments)


@pytest.mark.parametrize("units", [2 ** 31, -2 ** 31 - 1, 2 ** 63, -2 ** 70])
async def test_units_out_of_range(engine, units):
    for method, args in [(engine.place_order, ("buy", "limit", 1.0, units)), (engine.place_ticket, ("buy", units))]:
        with pytest.raises(OverflowError) as info:
            method(*args)
        assert type(info.value) is OverflowError
        assert not str(info.value).startswith("argument")


async def test_lone_surrogate_text_raises_the_encoding_error(engine):
    for call in [lambda: engine.place_order("\ud800", "limit", 1.0, 1),
                 lambda: engine.place_ticket("buy\udfff", 1),
                 lambda: engine.reset_episode(1, "\ud83d")]:
        with pytest.raises(UnicodeEncodeError):
            call()


async def test_conversion_error_keeps_its_cause(engine):
    class BadIndex:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("refused") from inner

    with pytest.raises(TypeError) as info:
        engine.place_ticket("buy", BadIndex())
    assert info.value.args == ("argument 'units': refused",)
    assert type(info.value.__cause__) is KeyError


@pytest.mark.parametrize("args, exc_type, text", [
    ((-1, "test"), OverflowError, None),
    ((2 ** 32, "test"), OverflowError, "out of range integral type conversion attempted"),
    ((1.0, "test"), TypeError, "argument 'episode_index': 'float' object cannot be interpreted as an integer"),
    ((None, "test"), TypeError, "argument 'episode_index': 'NoneType' object cannot be interpreted as an integer"),
    ((1, None), TypeError, "argument 'episode_type': 'NoneType' object cannot be converted to 'PyString'"),
    ((1, 1), TypeError, "argument 'episode_type': 'int' object cannot be converted to 'PyString'"),
    # episode_index, then episode_type, then timeout_secs, and the duration last
    ((-1, None), OverflowError, None),
    ((1.5, 2), TypeError, "argument 'episode_index': 'float' object cannot be interpreted as an integer"),
    ((1, None, "x"), TypeError, "argument 'episode_type': 'NoneType' object cannot be converted to 'PyString'"),
    ((1, "test", "x"), TypeError, "argument 'timeout_secs': " + FLOAT_OF_STR),
    ((2 ** 32, "test", -1.0), OverflowError, "out of range integral type conversion attempted"),
])
async def test_reset_episode_argument_errors(engine, raises_exactly, args, exc_type, text):
    if text is None:
        with pytest.raises(exc_type) as info:
            engine.reset_episode(*args)
        assert type(info.value) is exc_type and not str(info.value).startswith("argument")
    else:
        raises_exactly(exc_type, text, engine.reset_episode, *args)


# ---- the order checks --------------------------------------------------------------------------------------------

SIDE = "side must be 'buy' or 'sell'"
ORDER_TYPE = "order_type must be 'limit' or 'stop'"
PRICE = "price must be finite"
UNITS = "units must be > 0"
AMOUNT = "value must be finite and >= 0"


@pytest.mark.parametrize("side", [
    "long", "", "   ", "b uy", "buy!", "buyy", "sel", "\x1cbuy", "buy\x1f", "\u200bbuy", "buy\ufeff",
    "\uff42\uff55\uff59",
    "\u017fell", "buy\x00", "\u0392UY",
])
async def test_side_refused(engine, raises_exactly, side):
    raises_exactly(ValueError, SIDE, engine.place_order, side, "limit", 1.0, 1)
    raises_exactly(ValueError, SIDE, engine.place_ticket, side, 1)


@pytest.mark.parametrize("order_type", ["market", "", "limits", "st op", "\u017ftop", "\x1elimit"])
async def test_order_type_refused(engine, raises_exactly, order_type):
    raises_exactly(ValueError, ORDER_TYPE, engine.place_order, "buy", order_type, 1.0, 1)


@pytest.mark.parametrize("kwargs, text", [
    ({"price": math.inf}, PRICE), ({"price": -math.inf}, PRICE), ({"price": math.nan}, PRICE),
    ({"units": 0}, UNITS), ({"units": -1}, UNITS), ({"units": False}, UNITS), ({"units": -2 ** 31}, UNITS),
    ({"take_profit": -0.01}, AMOUNT), ({"take_profit": math.nan}, AMOUNT), ({"take_profit": math.inf}, AMOUNT),
    ({"stop_loss": -5e-324}, AMOUNT), ({"stop_loss": -math.inf}, AMOUNT),
    ({"trailing_stop": math.nan}, AMOUNT), ({"trailing_stop": -1}, AMOUNT),
    # the first failing check wins
    ({"side": "long", "price": math.inf}, SIDE),
    ({"side": "long", "order_type": "market"}, SIDE),
    ({"order_type": "market", "price": math.nan}, ORDER_TYPE),
    ({"price": math.nan, "units": 0}, PRICE),
    ({"units": 0, "take_profit": -1.0}, UNITS),
    ({"take_profit": -1.0, "stop_loss": math.nan}, AMOUNT),
    ({"side": "long", "timeout_secs": -1.0}, SIDE),
    ({"units": -1, "timeout_secs": math.nan}, UNITS),
    ({"trailing_stop": -1.0, "time_limit": math.nan, "timeout_secs": math.inf}, AMOUNT),
])
async def test_place_order_checks(engine, raises_exactly, kwargs, text):
    arguments = {"side": "buy", "order_type": "limit", "price": 1.0, "units": 1} | kwargs
    raises_exactly(ValueError, text, engine.place_order, **arguments)


@pytest.mark.parametrize("kwargs, text", [
    ({"units": 0}, UNITS), ({"units": -7}, UNITS),
    ({"take_profit": -0.01}, AMOUNT), ({"stop_loss": math.nan}, AMOUNT), ({"trailing_stop": math.inf}, AMOUNT),
    ({"side": "hold", "units": 0}, SIDE),
    ({"units": 0, "stop_loss": -1.0}, UNITS),
    ({"side": "hold", "timeout_secs": -1}, SIDE),
])
async def test_place_ticket_checks(engine, raises_exactly, kwargs, text):
    arguments = {"side": "buy", "units": 1} | kwargs
    raises_exactly(ValueError, text, engine.place_ticket, **arguments)


@pytest.mark.parametrize("kwargs, exc_type, text", [
    # every conversion comes before the first check
    ({"side": "long", "timeout_secs": "x"}, TypeError, "argument 'timeout_secs': " + FLOAT_OF_STR),
    ({"side": "long", "units": 2.5}, TypeError, "argument 'units': 'float' object cannot be interpreted as an integer"),
    ({"price": math.inf, "time_limit": "x"}, TypeError, "argument 'time_limit': " + FLOAT_OF_STR),
    ({"side": None, "order_type": None}, TypeError,
     "argument 'side': 'NoneType' object cannot be converted to 'PyString'"),
    ({"order_type": 1, "price": None}, TypeError,
     "argument 'order_type': 'int' object cannot be converted to 'PyString'"),
    ({"units": None, "take_profit": "x"}, TypeError,
     "argument 'units': 'NoneType' object cannot be interpreted as an integer"),
    ({"take_profit": "x", "stop_loss": "y"}, TypeError, "argument 'take_profit': " + FLOAT_OF_STR),
])
async def test_place_order_conversions_before_checks(engine, raises_exactly, kwargs, exc_type, text):
    arguments = {"side": "buy", "order_type": "limit", "price": 1.0, "units": 1} | kwargs
    raises_exactly(exc_type, text, engine.place_order, **arguments)


async def test_place_ticket_conversion_order(engine, raises_exactly):
    raises_exactly(TypeError, "argument 'timeout_secs': " + FLOAT_OF_STR, engine.place_ticket, "hold", 1,
                   timeout_secs="x")
    raises_exactly(TypeError, "argument 'units': 'str' object cannot be interpreted as an integer",
                   engine.place_ticket, "hold", "1", take_profit="x")
    raises_exactly(TypeError, "argument 'side': 'NoneType' object cannot be converted to 'PyString'",
                   engine.place_ticket, None, "1")
    raises_exactly(TypeError, "argument 'trailing_stop': " + FLOAT_OF_STR, engine.place_ticket, "buy", 0,
                   trailing_stop="x", timeout_secs="y")


# ---- accepted values: the request that goes out ----------------------------------------------------------------

@pytest.mark.parametrize("side, order_type, side_value, type_value", [
    ("BUY", "LIMIT", 1.0, 1.0), (" Buy\n", "\tstop ", 1.0, -1.0), ("sElL", "Stop", -1.0, -1.0),
    ("\u3000sell\u2029", "\u00a0limit\u0085", -1.0, 1.0),
    ("\u1680\u2000buy\u200a\u202f", "\u205fstop\u2028", 1.0, -1.0),
    ("\v\fsell\r", "limit\x85", -1.0, 1.0),
])
async def test_words_are_matched_after_trimming_white_space(make_link, wire, side, order_type, side_value,
                                                            type_value):
    link = await make_link()
    link.ui.default = wire.respond(struct.pack("<I", 0))
    await asyncio.wait_for(link.engine.place_order(side, order_type, 1.0, 1), 5.0)
    await asyncio.wait_for(link.engine.place_ticket(side, 1), 5.0)
    order, ticket = (struct.unpack_from(f"<I{n}d", r.payload) for r, n in zip(link.ui.requests, (13, 9)))
    assert (order[7], order[8]) == (side_value, type_value)
    assert ticket[5] == (1.0 if side_value == 1.0 else 0.0)


WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"


async def test_every_white_space_character_is_trimmed(make_link, wire):
    assert len(WHITE_SPACE) == 25
    link = await make_link()
    link.ui.default = wire.respond(struct.pack("<I", 0))
    for space in WHITE_SPACE:
        await asyncio.wait_for(link.engine.place_ticket(space * 2 + "Sell" + space, 1), 5.0)
    assert [struct.unpack_from("<I9d", r.payload)[5] for r in link.ui.requests] == [0.0] * 25
    for not_white_space in "\x1c\x1d\x1e\x1f\u180e\u200b\u2060\ufeff":
        with pytest.raises(ValueError):
            link.engine.place_ticket(not_white_space + "sell", 1)


@pytest.mark.parametrize("units, sent", [(True, 1.0), (np.int64(3), 3.0), (Index(2147483647), 2147483647.0)])
async def test_units_through_the_index_conversion(make_link, wire, units, sent):
    link = await make_link()
    link.ui.default = wire.respond(struct.pack("<I", 0))
    await asyncio.wait_for(link.engine.place_order("buy", "limit", 1.0, units), 5.0)
    await asyncio.wait_for(link.engine.place_ticket("buy", units), 5.0)
    order, ticket = (struct.unpack_from(f"<I{n}d", r.payload) for r, n in zip(link.ui.requests, (13, 9)))
    assert order[9] == sent and ticket[6] == sent


async def test_prices_and_amounts_through_the_float_conversion(make_link, wire):
    class AsFloat:
        def __float__(self):
            return 0.5

    link = await make_link()
    link.ui.default = wire.respond(struct.pack("<I", 0))
    await asyncio.wait_for(link.engine.place_order("buy", "limit", 7, 1, take_profit=AsFloat(), stop_loss=Index(2),
                                                   time_limit=np.float32(1.5)), 5.0)
    values = struct.unpack_from("<I13d", link.ui.requests[0].payload)[1:]
    assert values[1] == 7.0 and values[9] == 49.0 and values[10] == 199.0 and values[12] == 1.5


# ---- close_positions -------------------------------------------------------------------------------------------

RATIO = "ratio out of range for reduce"
LENGTH = "close_positions: arrays must have equal length"


@pytest.mark.parametrize("args, kwargs, exc_type, text", [
    (("12", [1], [0.5]), {}, TypeError, "Can't extract `str` to `Vec`"),
    (([1], "1", [0.5]), {}, TypeError, "Can't extract `str` to `Vec`"),
    (([1], [1], "0.5"), {}, TypeError, "Can't extract `str` to `Vec`"),
    ((5, [1], [0.5]), {}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (([1], None, [0.5]), {}, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    (([1], [1], {0.5}), {}, TypeError, "'set' object cannot be converted to 'Sequence'"),
    (({1: 1}, [1], [0.5]), {}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    (((i for i in [1]), [1], [0.5]), {}, TypeError, "'generator' object cannot be converted to 'Sequence'"),
    (([1.5], [1], [0.5]), {}, TypeError, "'float' object cannot be interpreted as an integer"),
    (([1], [None], [0.5]), {}, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    (([2 ** 31], [1], [0.5]), {}, OverflowError, None),
    (([1], [-2 ** 31 - 1], [0.5]), {}, OverflowError, None),
    (([1], [1], ["x"]), {}, TypeError, FLOAT_OF_STR),
    (([1], [1], [None]), {}, TypeError, FLOAT_OF_NONE),
    (([1], [1], [FloatRaises()]), {}, ZeroDivisionError, "no float for you"),
    (([1], np.array([1.0]), [0.5]), {}, TypeError, "'numpy.float64' object cannot be interpreted as an integer"),
    (([1, 2], [1, 2], [0.5, 0.5, 0.5]), {}, ValueError, LENGTH),
    (([1, 2], [1], [0.5, 0.5]), {}, ValueError, LENGTH),
    (([], [1], []), {}, ValueError, LENGTH),
    (([1], [2], [1.0000001]), {}, ValueError, RATIO),
    (([1], [2], [math.nan]), {}, ValueError, RATIO),
    (([1], [2], [-0.01]), {}, ValueError, RATIO),
    (([1, 2, 3], [1, 2, 2], [9.0, 0.5, math.inf]), {}, ValueError, RATIO),
    # which error wins
    (("12", [1], [0.5]), {"timeout_secs": "x"}, TypeError, "argument 'timeout_secs': " + FLOAT_OF_STR),
    (([1], [2], [2.0]), {"timeout_secs": -1.0}, ValueError, RATIO),
    (([1], [2, 2], [0.5]), {"timeout_secs": math.nan}, ValueError, LENGTH),
    (([1.5], 5, "x"), {}, TypeError, "'float' object cannot be interpreted as an integer"),
    (([1], 5, "x"), {}, TypeError, "'int' object cannot be converted to 'Sequence'"),
    (([1], [1, 2], [None]), {}, TypeError, FLOAT_OF_NONE),
    (([1, 2], [2], [5.0, 5.0]), {}, ValueError, LENGTH),
    (([1, 1.5], [1], [0.5]), {}, TypeError, "'float' object cannot be interpreted as an integer"),
])
async def test_close_positions_argument_errors(engine, raises_exactly, args, kwargs, exc_type, text):
    if text is None:
        with pytest.raises(exc_type) as info:
            engine.close_positions(*args, **kwargs)
        assert type(info.value) is exc_type and not str(info.value).startswith("argument")
    else:
        raises_exactly(exc_type, text, engine.close_positions, *args, **kwargs)


@pytest.mark.parametrize("ids, actions, ratios, sent", [
    ((1, 2), [2, 2], (0.0, 1.0), ([1, 2], [2, 2], [0.0, 1.0])),
    (np.array([1, 2], dtype=np.int64), np.array([2, 5], dtype=np.int16), np.array([0.5, 9.0], dtype=np.float32),
     ([1, 2], [2, 5], [0.5, 0.0])),
    (b"\x01\x02", bytearray(b"\x02\x01"), memoryview(b"\x01\x07"), ([1, 2], [2, 1], [1.0, 0.0])),
    (range(3), [0, 0, 0], [math.nan, -math.inf, 2.0], ([0, 1, 2], [0, 0, 0], [0.0, 0.0, 0.0])),
])
async def test_close_positions_accepts_sequences(make_link, wire, ids, actions, ratios, sent):
    link = await make_link()
    link.ui.default = wire.respond(struct.pack("<II", 0, 0))
    await asyncio.wait_for(link.engine.close_positions(ids, actions, ratios), 5.0)
    flags, acts, normalised = sent
    n = len(flags)
    assert link.ui.requests[0].payload == struct.pack(f"<I{n}i{n}i{n}d", n, *flags, *acts, *normalised)


# ---- the time-out's duration is formed last ---------------------------------------------------------------------

ALL_CALLS = {
    "wait_connected": (),
    "init_candles": (np.zeros((1, 1)),),
    "reset_episode": (1, "test"),
    "get_rl_config": (),
    "step_next": (),
    "step_and_sync": (),
    "get_snapshot": (),
    "get_ticket_list": (),
    "get_ohlc": (),
    "fetch_events": (),
    "end_session": (),
    "get_sync_policy": (),
    "close_positions": ([1], [2], [0.5]),
    "place_order": ("buy", "limit", 1.0, 1),
    "place_ticket": ("buy", 1),
}


@pytest.mark.parametrize("method", list(ALL_CALLS))
async def test_bad_durations_raise_panic(engine, raises_exactly, method):
    fn = getattr(engine, method)
    args = ALL_CALLS[method]
    assert panic_of(fn, *args, timeout_secs=-1) == (NEGATIVE,)
    assert panic_of(fn, *args, timeout_secs=-5e-324) == (NEGATIVE,)
    assert panic_of(fn, *args, timeout_secs=-math.inf) == (NEGATIVE,)
    assert panic_of(fn, *args, timeout_secs=math.nan) == (TOO_BIG,)
    assert panic_of(fn, *args, timeout_secs=math.inf) == (TOO_BIG,)
    assert panic_of(fn, *args, timeout_secs=2.0 ** 64) == (TOO_BIG,)
    assert panic_of(fn, *args, timeout_secs=2 ** 64) == (TOO_BIG,)
    assert panic_of(fn, *args, **{"timeout_secs": 1e300}) == (TOO_BIG,)
    raises_exactly(TypeError, "argument 'timeout_secs': " + FLOAT_OF_STR, fn, *args, timeout_secs="1")
    raises_exactly(OverflowError, "int too large to convert to float", fn, *args, timeout_secs=10 ** 400)


async def test_panic_is_not_caught_as_exception(engine):
    with pytest.raises(BaseException) as info:
        try:
            engine.get_ohlc(timeout_secs=-1.0)
        except Exception:  # noqa: BLE001 - the point: this handler must not see it
            pytest.fail("PanicException was caught by a handler for Exception")
    assert type(info.value).__name__ == "PanicException"


@pytest.mark.parametrize("method, args, kwargs, text", [
    ("init_candles", ("not an array",), {"timeout_secs": "x"}, "argument 'timeout_secs': " + FLOAT_OF_STR),
    ("init_candles", (np.zeros(2),), {"timeout_secs": -1.0}, "dimensionality mismatch:\n from=1, to=2"),
    ("init_candles", (np.zeros((2, 4))[:, ::2],), {"timeout_secs": math.nan}, "The given array is not contiguous"),
])
async def test_init_candles_argument_order(engine, raises_exactly, method, args, kwargs, text):
    raises_exactly(TypeError, text, getattr(engine, method), *args, **kwargs)


async def test_largest_durations_are_accepted(make_link, wire):
    """A duration just below 2**64 seconds is valid, and waiting with it is a wait without practical limit."""
    link = await make_link()
    link.ui.on(15, wire.respond(struct.pack("<II", 0, 0)))
    result = await asyncio.wait_for(link.engine.get_ohlc(timeout_secs=18446744073709549568.0), 5.0)
    assert result.shape == (0, 0)
    await asyncio.wait_for(link.engine.step_next(timeout_secs=2 ** 64 - 2 ** 11), 5.0)
    assert await asyncio.wait_for(link.engine.wait_connected(timeout_secs=1.8e19), 5.0) is None
    assert [r.seq for r in link.ui.requests] == [1, 2]


async def test_no_running_loop_raises_at_the_call(tarnel):
    engine = tarnel.TarnelEngineAsync("127.0.0.1", 1)

    def outside_the_loop():
        with pytest.raises(RuntimeError):
            engine.get_ohlc()
        with pytest.raises(TypeError):  # argument errors still come first
            engine.get_ohlc(timeout_secs="x")

    await asyncio.to_thread(outside_the_loop)
