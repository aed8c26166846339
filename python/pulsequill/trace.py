"""What the service's page draws: the recording's samples, the report and each window's place in time.

The analyser returns the report only; the page also needs the trace itself. After the analyser has accepted a
recording, its samples are read again here for drawing (times with the analyser's own timestamp grammar,
unreadable or non-finite values as gaps) and sorted by time the way the analyser sorts them.
"""

from __future__ import annotations

import json
import math
import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

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


def _timestamp(text: str) -> int:
    from ._support import parse_timestamp

    return parse_timestamp(text)


def _finite(value: object) -> float | None:
    if isinstance(value, bool) or not isinstance(value, int | float):
        return None
    number = float(value)
    return number if math.isfinite(number) else None


def _json_rows(text: str) -> list[Row]:
    request = json.loads(text)
    return [
        (_timestamp(sample["t"]), tuple(_finite(sample.get(name)) for name in CHANNELS))
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
        rows.append((_timestamp(cells[date_at].strip()), values))
    return rows


def window_bounds_ms(window: Mapping[str, Any]) -> tuple[int, int]:
    """A window's start and end in epoch milliseconds (an empty second's "<ms>ms" marker gives its value)."""

    def instant(text: str) -> int:
        return int(text[:-2]) if text.endswith("ms") else _timestamp(text)

    return instant(window["window_start"]), instant(window["window_end"])


def _rounded(values: Iterable[float | None]) -> list[float | None]:
    return [None if value is None else round(value, 2) for value in values]


def page_document(kind: str, text: str, report: Mapping[str, Any]) -> dict[str, object]:
    """The page's view of one analysis: the report, the trace in seconds from the first sample, the analysed
    fetal channel, and each window's bounds in the same seconds."""
    trace = read_trace(kind, text)
    origin = trace.times_ms[0] if trace.times_ms else 0
    fetal = str(report["channel"]).lower()
    windows = []
    for window in report["windows"]:
        start, end = window_bounds_ms(window)
        windows.append({"start_s": (start - origin) / 1000, "end_s": (end - origin) / 1000})
    return {
        "report": report,
        "start": report["input"]["start_timestamp"],
        "trace": {
            "seconds": [(t - origin) / 1000 for t in trace.times_ms],
            "fetal": _rounded(trace.channels[fetal]),
            "maternal": _rounded(trace.channels["hrm"]),
            "toco": _rounded(trace.channels["toco"]),
        },
        "windows": windows,
    }
