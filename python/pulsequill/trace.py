"""What the service's page draws: the recording's samples, the report and each window's place in time.

The analyser returns the report only; the page also needs the trace itself. After the analyser has accepted a
recording, its samples are read again here for drawing (times with the analyser's own timestamp grammar,
unreadable or non-finite values as gaps) and sorted by time the way the analyser sorts them.
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Iterable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ._support import parse_timestamp

if TYPE_CHECKING:
    from .report import Report

__all__ = ["Trace", "page_document", "read_trace"]

CHANNELS = ("hr1", "hr2", "hr3", "hrm", "toco")
_NUMBER = re.compile(r"[+-]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")
_ASCII_LOWER = str.maketrans("ABCDEFGHIJKLMNOPQRSTUVWXYZ", "abcdefghijklmnopqrstuvwxyz")


@dataclass(frozen=True)
class Trace:
    """Samples in time order: epoch milliseconds and one list per channel (None where there is no value)."""

    times_ms: list[int]
    channels: dict[str, list[float | None]]


def read_trace(kind: str, text: str) -> Trace:
    """The samples of an accepted CSV export (`kind` "csv") or JSON analysis request ("json")."""
    rows = _json_rows(text) if kind == "json" else _csv_rows(text)
    rows.sort(key=lambda row: row[0])  # stable, as the analyser's order
    return Trace([row[0] for row in rows], {name: [row[1][i] for row in rows] for i, name in enumerate(CHANNELS)})


Row = tuple[int, tuple[float | None, ...]]


def _finite(value: object) -> float | None:
    if isinstance(value, bool) or not isinstance(value, int | float):
        return None
    number = float(value)
    return number if math.isfinite(number) else None


def _json_rows(text: str) -> list[Row]:
    request = json.loads(text)
    return [
        (parse_timestamp(sample["t"]), tuple(_finite(sample.get(name)) for name in CHANNELS))
        for sample in request["samples"]
    ]


def _cell_number(cell: str) -> float | None:
    cell = cell.strip()
    return _finite(float(cell)) if _NUMBER.fullmatch(cell) else None


def _csv_rows(text: str) -> list[Row]:
    lines = [line.removesuffix("\r") for line in text.split("\n")]
    header = [cell.strip().translate(_ASCII_LOWER) for cell in lines[0].split(",")]
    date_at = header.index("date")
    at = [header.index(name) if name in header else None for name in CHANNELS]
    rows: list[Row] = []
    for line in lines[1:]:
        if not line.strip():
            continue
        cells = line.split(",")
        values = tuple(None if i is None or i >= len(cells) else _cell_number(cells[i]) for i in at)
        rows.append((parse_timestamp(cells[date_at].strip()), values))
    return rows


def _rounded(values: Iterable[float | None]) -> list[float | None]:
    return [None if value is None else round(value, 2) for value in values]


def page_document(kind: str, text: str, report: Report) -> dict[str, object]:
    """The page's view of one analysis: the report, the trace in seconds from the first sample (the analysed
    fetal channel, the maternal heart rate and uterine activity), and each window's bounds in the same seconds
    (None for a window without any time)."""
    trace = read_trace(kind, text)
    origin = trace.times_ms[0] if trace.times_ms else 0

    def seconds(epoch_ms: int | None) -> float | None:
        return None if epoch_ms is None else (epoch_ms - origin) / 1000

    return {
        "report": json.loads(report.text),
        "start": None if report.input.start_timestamp is None else report.input.start_timestamp.text,
        "trace": {
            "seconds": [seconds(t) for t in trace.times_ms],
            "fetal": _rounded(trace.channels[report.channel.lower()]),
            "maternal": _rounded(trace.channels["hrm"]),
            "toco": _rounded(trace.channels["toco"]),
        },
        "windows": [
            {"start_s": seconds(window.window_start.epoch_ms), "end_s": seconds(window.window_end.epoch_ms)}
            for window in report.windows
        ],
    }
