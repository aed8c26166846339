"""The times of each window's events and the sample trace behind a report.

The report counts accelerations, decelerations and contractions but does not say
when they happened. :func:`window_events` gives them, per window and in the
report's window order, for the same text and options the report was made from;
:func:`recording_trace` gives the samples as the readers understood them. Both
results are plain dicts and lists of texts, ints, floats and None, so they go
straight into ``json.dumps``::

    events = window_events(csv_text, window_min=20, step_sec=300)
    events[-1]["decelerations"][0]["kind"]      # 'late'
    events[-1]["decelerations"][0]["nadir_ms"]  # epoch milliseconds

Times are given twice: as the display text the analysis uses (``"start"``) and
as epoch milliseconds (``"start_ms"``). A second in which no sample fell has the
text ``"<ms>ms"``; its milliseconds are still given.
"""

from __future__ import annotations

from typing import Literal, TypedDict

from . import _support

__all__ = [
    "AccelerationTimes",
    "ContractionTimes",
    "DecelerationTimes",
    "InputKind",
    "Trace",
    "WindowEvents",
    "recording_trace",
    "window_events",
]

InputKind = Literal["csv", "json"]
DecelerationKind = Literal["variable", "early", "late", "prolonged", "gradual"]


class AccelerationTimes(TypedDict):
    start: str
    start_ms: int | None
    end: str
    end_ms: int | None
    duration_seconds: float
    peak_bpm: float


class DecelerationTimes(TypedDict):
    start: str
    start_ms: int | None
    end: str
    end_ms: int | None
    nadir_ms: int | None
    kind: DecelerationKind
    duration_seconds: float
    nadir_bpm: float
    depth_bpm: float
    time_to_nadir_seconds: float


class ContractionTimes(TypedDict):
    start: str
    start_ms: int | None
    peak: str
    peak_ms: int | None
    end: str
    end_ms: int | None
    duration_seconds: float
    peak_toco: float


class WindowEvents(TypedDict):
    """One analysis window: its texts as in the report, its bounds in epoch ms, and its events in time order."""

    window_start: str
    window_end: str
    start_ms: int
    end_ms: int
    accelerations: list[AccelerationTimes]
    decelerations: list[DecelerationTimes]
    contractions: list[ContractionTimes]


class Trace(TypedDict):
    """The samples sorted by time: equal-length lists, None where a sample has no (finite) value."""

    timestamp_ms: list[int]
    hr1: list[float | None]
    hr2: list[float | None]
    hr3: list[float | None]
    hrm: list[float | None]
    toco: list[float | None]


def window_events(
    text: str,
    kind: InputKind = "csv",
    *,
    channel: str | None = None,
    ga_weeks: int | None = None,
    window_min: int | None = None,
    step_sec: int | None = None,
    last_only: bool | None = None,
) -> list[WindowEvents]:
    """The events of each window of the report that the same text and options give.

    ``kind`` is ``"csv"`` (a monitor export, with the options of
    ``analyze_csv_string``) or ``"json"`` (an analysis request, which carries its
    own options: giving one raises ValueError). Input the readers refuse raises
    the same ValueError as the analysis.
    """
    windows: list[WindowEvents] = _support.window_events(
        text, kind, channel, ga_weeks, window_min, step_sec, last_only
    )
    return windows


def recording_trace(text: str, kind: InputKind = "csv") -> Trace:
    """The samples of a monitor CSV export or an analysis request, sorted by time as the analysis reads them."""
    trace: Trace = _support.recording_trace(text, kind)
    return trace
