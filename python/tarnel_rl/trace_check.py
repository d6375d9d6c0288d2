"""The checks a saved episode trace passes before it is played back: its keys and their types, the lengths
of its per-step lists, and the numbers agreeing with one another as far as the file allows.

What is checked exactly (to rounding):
- the times, when the trace has them: one ISO 8601 text a candle, strictly increasing;
- the closes are the candles' closes, from the history window's last candle on;
- a discrete action's position (long, short, flat, or unchanged for hold) and a target's net units are
  the net units after the step;
- the equity: a step trades at the close it starts from and holds its net units to the next close, so
  equity[k] = equity[k-1] - cost + net_units[k] x (close[k] - close[k-1]); the closing of the session
  at the end pays one more cost. The cost of trading u units at the close c is
  u c (slippage + fee_rate (1 +- slippage)) (+ when buying), with the fee rate and slippage that the
  summary records; a trace without them (no summary) is only checked for costs of at least 0, and a step
  without a trade for a cost of exactly 0;
- the fills and closes are the ones the net units and closes make;
- the summary's type, index, initial balance, steps and final equity are the trace's.
The rewards depend on the reward function, which the file does not name: they are only checked to be
numbers (or null for NaN)."""
from __future__ import annotations

import math
from dataclasses import asdict, fields
from typing import Any, TypeGuard

import numpy as np
from numpy.typing import NDArray

from tarnel_rl.data import check_candles
from tarnel_rl.episode_trace import EpisodeTrace
from tarnel_rl.summary import EpisodeSummary
from tarnel_rl.trading import CANDLE_CLOSE, FLAT, HOLD, LONG, SHORT, UNITS_TOLERANCE

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
    _check_actions(data["actions"], _finite_numbers(data, "net_units"))
    for k, reward in enumerate(data["rewards"]):
        if reward is not None and not _number(reward):
            raise TraceError(f"rewards[{k}] must be a number or null, got {reward!r}")
    summary = data.get("summary")
    _check_summary(data, summary, steps)
    _check_equity(data, summary)
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


def _check_actions(actions: list[Any], net_units: list[float]) -> None:
    for k, action in enumerate(actions, start=1):
        net, before = net_units[k], net_units[k - 1]
        if isinstance(action, int) and not isinstance(action, bool):
            wanted = {HOLD: abs(net - before) <= UNITS_TOLERANCE, LONG: net > 0, SHORT: net < 0,
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


def _costs(summary: dict[str, Any] | None) -> tuple[float, float] | None:
    """(fee rate, slippage as a fraction of the price) from the summary, when it records them."""
    if summary is None:
        return None
    fee, slippage_bps = summary.get("fee_rate"), summary.get("slippage_bps")
    if not (_number(fee) and _number(slippage_bps) and math.isfinite(fee) and math.isfinite(slippage_bps)):
        return None
    return float(fee), float(slippage_bps) / 10000.0


def _trade_cost(before: float, after: float, close: float, costs: tuple[float, float]) -> float:
    fee, slippage = costs
    units = abs(after - before)
    if units <= UNITS_TOLERANCE:
        return 0.0
    side = 1.0 if after > before else -1.0
    return units * close * (slippage + fee * (1.0 + side * slippage))


def _check_equity(data: dict[str, Any], summary: dict[str, Any] | None) -> None:
    equity, closes, net = _finite_numbers(data, "equity"), data["closes"], data["net_units"]
    costs = _costs(summary)
    steps = len(equity) - 1
    for k in range(1, steps + 1):
        held = net[k] * (closes[k] - closes[k - 1])
        traded = abs(net[k] - net[k - 1]) > UNITS_TOLERANCE
        closing = data["ended"] and k == steps and abs(net[k]) > UNITS_TOLERANCE
        scale = EQUITY_TOLERANCE * (abs(equity[k - 1]) + abs(net[k] * closes[k]) + abs(net[k - 1] * closes[k - 1]))
        if costs is not None:
            cost = _trade_cost(net[k - 1], net[k], closes[k - 1], costs)
            if closing:
                cost += _trade_cost(net[k], 0.0, closes[k], costs)
            expected = equity[k - 1] - cost + held
            if abs(equity[k] - expected) > scale:
                raise TraceError(f"equity[{k}] is {equity[k]!r}, but the step's net units, closes and costs make "
                                 f"{expected!r}")
        elif not (traded or closing):
            if abs(equity[k] - equity[k - 1] - held) > scale:
                raise TraceError(f"equity[{k}] is {equity[k]!r}, but without a trade it is "
                                 f"{equity[k - 1] + held!r}")
        elif equity[k] > equity[k - 1] + held + scale:
            raise TraceError(f"equity[{k}] is {equity[k]!r}, more than the {equity[k - 1] + held!r} the step's "
                             f"net units and closes make before any cost")


def _check_summary(data: dict[str, Any], summary: dict[str, Any] | None, steps: int) -> None:
    if summary is None:
        return
    names = {field.name for field in fields(EpisodeSummary)}
    if set(summary) != names:
        wrong = sorted(set(summary) ^ names)
        raise TraceError(f"the summary is not an episode summary: {', '.join(wrong)} missing or unknown")
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
