"""An episode's summary as a named record. The page answers `end_session` with a row of 12 numbers
(docs/protocol.md, "Summary"), which `info["summary"]` keeps as it is; `info["episode_summary"]` is the
same as an `EpisodeSummary`, with returns and drawdowns in percent of the initial balance (the unit of
the rewards and of every return a trainer reads here) and the task's fee rate and slippage. A page run
with the account's options (`tarnel_rl.account`) answers 17 values: the 12, then what the spread and
the financing cost and the margin call's bar (-1 without one), equity and required margin.

    record = info["episode_summary"]
    record.return_pct, record.trades, record.max_drawdown_pct, record.as_dict()
"""
from __future__ import annotations

from dataclasses import asdict, dataclass
from typing import Any

import numpy as np
from numpy.typing import NDArray

# The columns of the page's summary row, in order; ACCOUNT_COLUMNS follow them with the account's options.
SUMMARY_COLUMNS = ("steps", "initial_balance", "final_equity", "return", "realised_pnl", "fees", "trades", "wins",
                   "max_drawdown", "bar", "episode_type", "episode_index")
ACCOUNT_COLUMNS = ("spread_cost", "borrow_cost", "margin_call_bar", "margin_call_equity", "margin_call_required")
MARGIN_CALL = "margin call"
EPISODE_END = "episode end"


@dataclass(frozen=True)
class EpisodeSummary:
    episode_type: str  # "train", "validation" or "test"
    episode_index: int  # within its type
    steps: int
    initial_balance: float
    final_equity: float
    return_pct: float  # (final_equity / initial_balance - 1) x 100
    realised_pnl: float  # before fees
    fees: float
    fees_pct: float  # fees in percent of the initial balance
    trades: int  # positions closed in full
    wins: int  # of those, the ones that gained after all their fees
    win_rate: float  # wins / trades; NaN without trades
    max_drawdown_pct: float  # largest fall of equity from its peak, in percent of the peak
    last_bar: int  # the series' bar the episode ended on
    fee_rate: float
    slippage_bps: float
    # The account's (0 and no margin call on a page without its options; tarnel_rl.account).
    spread_cost: float = 0.0  # what the half spreads cost: part of realised_pnl already, not of the fees
    borrow_cost: float = 0.0  # the financing of shorts and leverage, paid out of the balance
    spread_bps: float = 0.0
    borrow_rate: float = 0.0
    lot_size: float = 1.0
    margin_call: bool = False  # the episode was ended by a margin call
    margin_call_bar: int = -1
    margin_call_equity: float = 0.0  # the equity that fell below the margin, before the closing
    margin_call_required: float = 0.0  # the maintenance margin it fell below

    @classmethod
    def from_row(cls, row: NDArray[np.float64], config: dict[str, Any], episode_type: str | None = None,
                 episode_index: int | None = None) -> EpisodeSummary:
        """The record of a summary row; `config` is the page's (get_rl_config). The episode's type and
        index within it default to the row's (a validation episode reads as a test episode there)."""
        values = dict(zip(SUMMARY_COLUMNS + ACCOUNT_COLUMNS, (float(v) for v in row)))
        account = config.get("account") or {}
        call_bar = int(values.get("margin_call_bar", -1.0))
        initial = values["initial_balance"]
        trades = int(values["trades"])
        kind = episode_type if episode_type is not None else {0.0: "train", 1.0: "test"}.get(values["episode_type"], "series")
        return cls(
            episode_type=kind,
            episode_index=int(values["episode_index"]) if episode_index is None else int(episode_index),
            steps=int(values["steps"]),
            initial_balance=initial,
            final_equity=values["final_equity"],
            return_pct=values["return"] * 100.0,
            realised_pnl=values["realised_pnl"],
            fees=values["fees"],
            fees_pct=values["fees"] / initial * 100.0,
            trades=trades,
            wins=int(values["wins"]),
            win_rate=values["wins"] / trades if trades else float("nan"),
            max_drawdown_pct=values["max_drawdown"] * 100.0,
            last_bar=int(values["bar"]),
            fee_rate=float(config.get("fee_rate", float("nan"))),
            slippage_bps=float(config.get("slippage_bps", 0.0)),
            spread_cost=values.get("spread_cost", 0.0),
            borrow_cost=values.get("borrow_cost", 0.0),
            spread_bps=float(account.get("spread_bps", 0.0)),
            borrow_rate=float(account.get("borrow_rate", 0.0)),
            lot_size=float(account.get("lot_size", 1.0)),
            margin_call=call_bar >= 0,
            margin_call_bar=call_bar,
            margin_call_equity=values.get("margin_call_equity", 0.0),
            margin_call_required=values.get("margin_call_required", 0.0),
        )

    def as_dict(self) -> dict[str, Any]:
        return asdict(self)


def ending_info(record: EpisodeSummary, maintenance_margin: float) -> dict[str, Any]:
    """What a terminated step's `info` says of why: `terminated_by` ("episode end" or "margin call") and,
    after a margin call, `margin_call` with its bar, the equity, the margin it fell below and the
    maintenance margin (the fraction of the positions' value)."""
    if not record.margin_call:
        return {"terminated_by": EPISODE_END}
    return {"terminated_by": MARGIN_CALL, "margin_call": {
        "bar": record.margin_call_bar, "equity": record.margin_call_equity,
        "required": record.margin_call_required, "maintenance_margin": maintenance_margin,
        "final_equity": record.final_equity}}
