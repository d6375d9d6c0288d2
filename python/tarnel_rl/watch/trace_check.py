"""The checks a saved episode trace passes before it is played back: its keys and their types, the lengths
of its per-step lists, and the numbers agreeing with one another as far as the file allows.

What is checked exactly (to rounding):
- the times, when the trace has them: one ISO 8601 text a candle, strictly increasing;
- the closes are the candles' closes, from the history window's last candle on;
- a discrete action's position (long, short, flat, or unchanged for hold; a long or short sized by the
  equity may be 0 lots) and a target's net units are the net units after the step;
- the equity, from the account the summary records (fee rate, slippage, spread, lot size): a step
  trades at the close it starts from and holds its net units to the next close, so
  equity[k] = equity[k-1] - cost + net_units[k] x lot_size x (close[k] - close[k-1]), and the closing
  of the session at the end pays one more cost. Trading u lots at the close c costs
  u lot_size c (m + fee_rate (1 +- m)), m = slippage + half the spread (+ when buying). With a
  borrow rate the financing comes on top, which the file cannot recompute: the equity is then only
  checked to be at most that. A margin call's step is not checked; without a summary (an episode not
  ended) neither is the equity, whose lot size the file does not say;
- the fills and closes are the ones the net units and closes make;
- the summary's type, index, initial balance, steps and final equity are the trace's.
The rewards depend on the reward function, which the file does not name: they are only checked to be
numbers (or null for NaN)."""
from __future__ import annotations

import math
from dataclasses import MISSING, asdict, dataclass, fields
from typing import Any, TypeGuard

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.env.summary import EpisodeSummary
from tarnel_rl.env.trading import CANDLE_CLOSE, FLAT, HOLD, LONG, SHORT, UNITS_TOLERANCE
from tarnel_rl.market_data.loader import check_candles
from tarnel_rl.watch.episode_trace import EpisodeTrace

# Relative rounding allowed between an equity and the one recomputed from the trace.
EQUITY_TOLERANCE = 1e-9


class TraceError(ValueError):
    """A damaged trace: what is wrong, without the file's name (load_trace adds it)."""


def _number(value: Any) -> TypeGuard[int | float]:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _finite_numbers(data: dict[str, Any], key: str) -> list[float]:
    values = data[key]
    if not isinstance(values, list):
        raise TraceError(f"{key} must be a list, got {type(values).__name__}")
    for k, value in enumerate(values):
        if not _number(value) or not math.isfinite(value):
            raise TraceError(f"{key}[{k}] must be a finite number, got {value!r}")
    return values


REQUIRED = {"episode_type": str, "episode_index": int, "initial_balance": float, "steps_total": int,
            "first": int, "candles": list, "actions": list, "rewards": list, "net_units": list, "closes": list,
            "equity": list, "fills": list, "ended": bool}

KIND_NAMES = {str: "a text", int: "an integer", float: "a finite number", list: "a list", bool: "true or false"}


def check_trace(data: Any) -> None:
    """Raises a TraceError naming the first fault of the trace `data` (a loaded JSON object)."""
    if not isinstance(data, dict):
        raise TraceError(f"a trace is a JSON object, got {type(data).__name__}")
    _check_keys(data)
    steps = len(data["equity"]) - 1
    _check_lengths(data, steps)
    candles = np.asarray(data["candles"], dtype=np.float64)
    try:
        check_candles(candles, _times(data))
    except ValueError as error:
        raise TraceError(str(error)) from None
    closes = _finite_numbers(data, "closes")
    for k, close in enumerate(closes):
        if close != candles[data["first"] + k, CANDLE_CLOSE]:
            raise TraceError(f"closes[{k}] is {close!r}, but the close of its candle ({data['first'] + k}) is "
                             f"{float(candles[data['first'] + k, CANDLE_CLOSE])!r}")
    _finite_numbers(data, "net_units")
    for k, reward in enumerate(data["rewards"]):
        if reward is not None and not _number(reward):
            raise TraceError(f"rewards[{k}] must be a number or null, got {reward!r}")
    summary = data.get("summary")
    _check_summary(data, summary, steps)
    account = _account(summary)
    _check_actions(data["actions"], data["net_units"], account is not None and account.margin_call)
    _check_equity(data, account)
    _check_fills(data)


def _check_keys(data: dict[str, Any]) -> None:
    for key, kind in REQUIRED.items():
        if key not in data:
            raise TraceError(f"the key {key!r} is missing")
        value = data[key]
        fits = (_number(value) and math.isfinite(value) if kind is float
                else isinstance(value, int) and not isinstance(value, bool) if kind is int
                else isinstance(value, kind))
        if not fits:
            raise TraceError(f"{key} must be {KIND_NAMES[kind]}, got {value!r:.60}")
    if data["initial_balance"] <= 0:
        raise TraceError(f"initial_balance must be above 0, got {data['initial_balance']!r}")
    if data["first"] < 0 or data["steps_total"] < 0:
        raise TraceError(f"first and steps_total must be 0 or more, got {data['first']} and {data['steps_total']}")
    if "summary" in data and data["summary"] is not None and not isinstance(data["summary"], dict):
        raise TraceError(f"summary must be an object or null, got {data['summary']!r:.60}")


def _check_lengths(data: dict[str, Any], steps: int) -> None:
    if steps < 0:
        raise TraceError("equity is empty: it holds the equity at the start, then after every step")
    if steps > data["steps_total"]:
        raise TraceError(f"{steps} steps in an episode of {data['steps_total']}")
    for key, wanted in (("actions", steps), ("rewards", steps), ("net_units", steps + 1), ("closes", steps + 1),
                        ("candles", data["first"] + steps + 1)):
        if len(data[key]) != wanted:
            raise TraceError(f"{len(data[key])} {key} for {steps} steps" + (
                f" after {data['first'] + 1} candles of history" if key == "candles" else ""))
    for row, candle in enumerate(data["candles"]):
        if not isinstance(candle, list) or len(candle) != 5 or not all(_number(v) for v in candle):
            raise TraceError(f"candles row {row} must be 5 numbers (open, high, low, close, volume), got {candle!r:.60}")


def _times(data: dict[str, Any]) -> NDArray[np.datetime64] | None:
    """The candles' times (None: the trace has none); check_candles then wants them increasing."""
    times = data.get("times")
    if times is None:
        return None
    if not isinstance(times, list) or len(times) != len(data["candles"]):
        raise TraceError(f"times must be null or a list of one time a candle ({len(data['candles'])}), got "
                         f"{len(times) if isinstance(times, list) else repr(times)[:60]}")
    for k, text in enumerate(times):
        try:
            if not isinstance(text, str):
                raise ValueError("not a text")
            np.datetime64(text, "ns")
        except ValueError:
            raise TraceError(f"times[{k}] must be an ISO 8601 time such as 2024-01-31T09:30, got {text!r:.60}") from None
    return np.array([np.datetime64(t, "ns") for t in times], dtype="datetime64[ns]")


def _check_actions(actions: list[Any], net_units: list[float], margin_call: bool) -> None:
    # A margin call closes everything inside the last step, whatever it asked.
    for k, action in enumerate(actions[:-1] if margin_call else actions, start=1):
        net, before = net_units[k], net_units[k - 1]
        if isinstance(action, int) and not isinstance(action, bool):
            # Sized by the equity, a long or short can be under one lot: 0.
            wanted = {HOLD: abs(net - before) <= UNITS_TOLERANCE, LONG: net >= 0 and net >= before or net > 0,
                      SHORT: net <= 0 and net <= before or net < 0,
                      FLAT: abs(net) <= UNITS_TOLERANCE}.get(action)
            if wanted is None:
                raise TraceError(f"actions[{k - 1}] is {action}, not a discrete action (0 to 3)")
            if not wanted:
                raise TraceError(f"actions[{k - 1}] is {action}, but the net units went from {before:g} to {net:g}")
        elif _number(action) and math.isfinite(action):
            if abs(net - action) > UNITS_TOLERANCE:
                raise TraceError(f"actions[{k - 1}] asked for {action:g} net units, but the step left {net:g}")
        else:
            raise TraceError(f"actions[{k - 1}] must be a discrete action or target net units, got {action!r:.60}")


@dataclass(frozen=True)
class _Account:
    """What the summary records of the account's costs and lot."""

    fee_rate: float
    price_move: float  # slippage + half the spread, a fraction of the price
    lot_size: float
    borrow_rate: float
    margin_call: bool


def _account(summary: dict[str, Any] | None) -> _Account | None:
    if summary is None:
        return None
    values: dict[str, float] = {}
    for key, default in (("fee_rate", None), ("slippage_bps", None), ("spread_bps", 0.0), ("lot_size", 1.0),
                         ("borrow_rate", 0.0)):
        value = summary.get(key, default)
        if not (_number(value) and math.isfinite(value)):
            raise TraceError(f"the summary's {key} must be a finite number, got {value!r:.60}")
        values[key] = float(value)
    return _Account(values["fee_rate"], (values["slippage_bps"] + values["spread_bps"] / 2) / 10000.0,
                    values["lot_size"], values["borrow_rate"], summary.get("margin_call") is True)


def _trade_cost(before: float, after: float, close: float, account: _Account) -> float:
    """What trading from `before` to `after` lots at `close` costs: the price moved against the trader
    (slippage, half the spread) and the fee on the price paid."""
    units = abs(after - before) * account.lot_size
    if units <= UNITS_TOLERANCE * account.lot_size:
        return 0.0
    side = 1.0 if after > before else -1.0
    move = account.price_move
    return units * close * (move + account.fee_rate * (1.0 + side * move))


def _check_equity(data: dict[str, Any], account: _Account | None) -> None:
    equity, closes, net = _finite_numbers(data, "equity"), data["closes"], data["net_units"]
    steps = len(equity) - 1
    if account is None:
        return  # without the lot size, the net units say nothing of the equity
    # A margin call closes everything at the last bar's close inside the step: that step is not checked.
    last = steps - 1 if account.margin_call else steps
    exact = account.borrow_rate == 0.0  # the financing runs by the candles' times and the equity: only >= 0
    for k in range(1, last + 1):
        held = net[k] * account.lot_size * (closes[k] - closes[k - 1])
        closing = data["ended"] and k == steps
        cost = _trade_cost(net[k - 1], net[k], closes[k - 1], account)
        if closing:
            cost += _trade_cost(net[k], 0.0, closes[k], account)
        expected = equity[k - 1] - cost + held
        scale = EQUITY_TOLERANCE * (abs(equity[k - 1]) + account.lot_size * (abs(net[k] * closes[k])
                                                                                 + abs(net[k - 1] * closes[k - 1])))
        if exact and abs(equity[k] - expected) > scale:
            raise TraceError(f"equity[{k}] is {equity[k]!r}, but the step's net units, closes and costs make "
                             f"{expected!r}")
        if not exact and equity[k] > expected + scale:
            raise TraceError(f"equity[{k}] is {equity[k]!r}, more than the {expected!r} that the step's net units, "
                             f"closes and costs make before any financing")


def _check_summary(data: dict[str, Any], summary: dict[str, Any] | None, steps: int) -> None:
    if summary is None:
        return
    names = {field.name for field in fields(EpisodeSummary)}
    needed = {field.name for field in fields(EpisodeSummary) if field.default is MISSING}
    if set(summary) - names or needed - set(summary):
        wrong = sorted((set(summary) - names) | (needed - set(summary)))
        raise TraceError(f"the summary is not an episode summary: {', '.join(wrong)} missing or unknown")
    for field in fields(EpisodeSummary):
        value = summary.get(field.name)
        fits = {"str": isinstance(value, str), "bool": isinstance(value, bool) or value is None,
                "int": isinstance(value, int) and not isinstance(value, bool) or value is None,
                "float": _number(value) or value is None}.get(str(field.type), True)  # null: NaN
        if not fits:
            kind = {"str": "a text", "bool": "true or false"}.get(str(field.type), "a number")
            raise TraceError(f"the summary's {field.name} must be {kind}, got {value!r:.60}")
    same = {"episode_type": data["episode_type"], "episode_index": data["episode_index"],
            "initial_balance": data["initial_balance"], "final_equity": data["equity"][-1]}
    if data["ended"]:
        same["steps"] = steps
    for key, value in same.items():
        if summary.get(key) != value:
            raise TraceError(f"the summary's {key} is {summary.get(key)!r}, but the trace's is {value!r}")


def _check_fills(data: dict[str, Any]) -> None:
    first, net = data["first"], data["net_units"]
    trace = EpisodeTrace()
    trace.begin(data["episode_type"], data["episode_index"], np.asarray(data["candles"][:first + 1]),
                data["steps_total"], data["equity"][0], data["closes"][0], net[0], data["initial_balance"])
    for k in range(1, len(net)):
        trace.advance(net[k], np.asarray(data["candles"][first + k]), data["equity"][k], data["closes"][k])
    if data["ended"]:
        trace.finish(data["equity"][-1])
    made = [asdict(mark) for mark in trace.marks]
    if data["fills"] != made:
        at = next((k for k, (a, b) in enumerate(zip(data["fills"], made)) if a != b), min(len(made), len(data["fills"])))
        raise TraceError(f"fills[{at}] is {data['fills'][at] if at < len(data['fills']) else 'missing'}, but the net "
                         f"units and closes make {made[at] if at < len(made) else 'no more fills'}")
