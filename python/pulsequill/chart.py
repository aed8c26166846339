"""The CTG chart: the trace as clinicians read it on paper, with the analysis drawn on it.

Fetal heart rate on the 50 to 210 bpm grid with the 110 to 160 band shaded, the
maternal heart rate in its own colour, uterine activity below on 0 to 100, time in
minutes along both. Each analysis window is a band coloured by its category and
labelled with its alert level, its baseline a dashed line; accelerations,
decelerations (by kind) and contractions are marked where they happened::

    report = pulsequill.analyze_file("1001.hea", window_min=20, step_sec=300)
    fhr_axes, toco_axes = pulsequill.plot("1001.hea", report)
    fhr_axes.figure.savefig("1001.png")

``save_chart`` writes a file (PNG, SVG, or PDF with one page per
``page_minutes`` of recording). Needs matplotlib: ``pip install 'pulsequill[chart]'``.
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import sys
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

from .events import InputKind, Trace, WindowEvents, recording_trace, window_events
from .report import report_document
from .wfdb_records import WfdbRecording, read_wfdb

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from .cli import Commands
    from .report import Report

__all__ = ["CtgAxes", "add_chart_command", "plot", "save_chart"]

FHR_LIMITS = (50.0, 210.0)
NORMAL_BAND = (110.0, 160.0)
TOCO_LIMITS = (0.0, 100.0)
# The analysis reads heart rates only in this range; values outside it (the
# monitor's 0 for a lost signal) are left out of the line rather than drawn.
USABLE_HEART_RATE = (30.0, 240.0)
# A pause longer than this between samples breaks the line.
GAP_MS = 2500

CATEGORY_COLOURS: Mapping[str, str] = {
    "category_i": "#2e7d32",
    "category_ii": "#ffb300",
    "category_iii": "#c62828",
    "unclassified": "#9e9e9e",
}
CATEGORY_LABELS: Mapping[str, str] = {
    "category_i": "I",
    "category_ii": "II",
    "category_iii": "III",
    "unclassified": "unclassified",
}
ALERT_COLOURS: Mapping[str, str] = {
    "none": "#cfd8dc",
    "warning": "#fff176",
    "urgent_review": "#e65100",
    "critical": "#b71c1c",
    "data_quality": "#7986cb",
}
DECELERATION_STYLES: Mapping[str, tuple[str, str]] = {  # kind: (letter, colour)
    "early": ("E", "#1565c0"),
    "late": ("L", "#c62828"),
    "variable": ("V", "#6a1b9a"),
    "prolonged": ("P", "#4e342e"),
    "gradual": ("G", "#546e7a"),
}
FHR_COLOUR = "#0d47a1"
MATERNAL_COLOUR = "#ef6c00"
TOCO_COLOUR = "#37474f"
ACCELERATION_COLOUR = "#2e7d32"
CONTRACTION_COLOUR = "#00838f"
PAPER_COLOUR = "#fff6f4"
PAPER_GRID = "#f4a7a0"


class CtgAxes(NamedTuple):
    """The two panels of a chart, sharing the time axis."""

    fhr: Axes
    toco: Axes


@dataclass(frozen=True)
class _Source:
    name: str
    text: str
    kind: InputKind
    ga_weeks: int | None


ChartRecording = WfdbRecording | str | os.PathLike[str]


def plot(
    recording: ChartRecording,
    report: Report | str,
    *,
    ax: Axes | None = None,
    ga_weeks: int | None = None,
    paper: bool = False,
) -> CtgAxes:
    """Draw the chart of ``recording`` (a WFDB record or the path of a .csv, .json or .hea file) and its report.

    ``report`` (a :class:`~pulsequill.Report` or its JSON text) must have been made
    from this recording; ``ga_weeks`` is the gestational age it was made with when
    not the header's. Draws on ``ax`` (split into the heart-rate panel and the
    uterine-activity panel below it) or on a new figure, and returns both panels.
    ``paper`` gives the look of CTG paper: 1 cm per minute on a new figure.
    """
    source = _read_source(recording, ga_weeks)
    report_data: dict[str, Any] = report_document(report if isinstance(report, str) else report.text)
    windows, last_only = _matching_events(source, report_data)
    trace = recording_trace(source.text, source.kind)
    axes = _chart_axes(ax, trace, paper)
    _draw(axes, source, report_data, windows, trace, paper)
    axes.fhr.set_title(_title(source, report_data, last_only))
    return axes


def save_chart(
    path: str | os.PathLike[str],
    recording: ChartRecording,
    report: Report | str,
    *,
    ga_weeks: int | None = None,
    paper: bool = False,
    page_minutes: float = 30.0,
) -> int:
    """Write the chart to ``path`` (its suffix chooses PNG, SVG or PDF); returns the number of pages.

    A PDF has one page per ``page_minutes`` of recording; other formats hold the
    whole recording in one image.
    """
    from matplotlib.figure import Figure

    axes = plot(recording, report, ga_weeks=ga_weeks, paper=paper)
    figure = axes.fhr.get_figure()
    assert isinstance(figure, Figure)  # plot() made it
    target = pathlib.Path(path)
    if target.suffix.lower() != ".pdf":
        figure.savefig(target)
        return 1

    from matplotlib.backends.backend_pdf import PdfPages

    start, end = axes.fhr.get_xlim()
    pages = max(1, math.ceil((end - start) / page_minutes - 1e-9))
    if paper:
        _size_paper(figure, page_minutes)
    with PdfPages(target) as pdf:
        for page in range(pages):
            axes.fhr.set_xlim(start + page * page_minutes, start + (page + 1) * page_minutes)
            pdf.savefig(figure)
    return pages


# ------------------------------------------------------------ command line


def add_chart_command(commands: Commands) -> None:
    """``pulsequill chart FILE -o out.png|svg|pdf``: analyse the recording and draw its chart."""
    from .cli import analysis_options

    command = commands.add_parser(
        "chart", parents=[analysis_options()], help="draw the CTG chart of a recording",
        description="Analyse a recording and draw its CTG chart: the trace, each window's category, alert level "
                    "and baseline, and the events. A PDF has one page per --page-minutes of recording.",
    )
    command.add_argument("file", metavar="FILE", help="a monitor CSV export (.csv), an analysis request (.json) "
                         "or a WFDB record (.hea)")
    command.add_argument("-o", "--output", required=True, type=pathlib.Path, metavar="IMAGE",
                         help="the image to write; its suffix chooses the format: .png, .svg or .pdf")
    command.add_argument("--paper", action="store_true", help="the look of CTG paper, 1 cm per minute")
    command.add_argument("--page-minutes", type=float, default=30.0, metavar="MINUTES",
                         help="minutes of recording per PDF page (default 30)")
    command.set_defaults(run=run_chart)


def run_chart(args: argparse.Namespace) -> int:
    from .cli import analysis_arguments, describe_failure
    from .files import analyze_file

    options = analysis_arguments(args)
    try:
        report = analyze_file(args.file, **options)
        save_chart(args.output, args.file, report, ga_weeks=options.get("ga_weeks"), paper=args.paper,
                   page_minutes=args.page_minutes)
    except (ValueError, TypeError, OSError, ImportError) as error:
        print(describe_failure(args.file, error), file=sys.stderr)
        return 1
    return 0


# ------------------------------------------------------------------ inputs


def _read_source(recording: ChartRecording, ga_weeks: int | None) -> _Source:
    if isinstance(recording, WfdbRecording):
        return _Source(recording.name, recording.to_csv(), "csv", _given(ga_weeks, recording.ga_weeks))
    path = pathlib.Path(recording)
    kind = path.suffix.lower()
    if kind == ".hea":
        return _read_source(read_wfdb(path), ga_weeks)
    if kind not in (".csv", ".json"):
        raise ValueError(f"cannot chart {path}: expected a .csv, .json or .hea file")
    from .files import read_text

    return _Source(path.stem, read_text(path), "json" if kind == ".json" else "csv", ga_weeks)


def _given(value: int | None, default: int | None) -> int | None:
    return default if value is None else value


def _matching_events(source: _Source, report: Mapping[str, Any]) -> tuple[list[WindowEvents], bool]:
    """The events of the report's windows, recomputed from the recording with the report's settings,
    and whether the report kept only the last window."""
    if source.kind == "json":
        windows = window_events(source.text, "json")
    else:
        rolling = report.get("analysis_mode") == "rolling"
        windows = window_events(
            source.text,
            channel=report.get("channel"),
            ga_weeks=source.ga_weeks,
            window_min=report.get("requested_window_minutes") if rolling else None,
            step_sec=report.get("step_seconds"),
        )
    reported: Sequence[Mapping[str, Any]] = report.get("windows", [])
    last_only = len(reported) == 1 and len(windows) > 1
    if last_only:
        windows = windows[-1:]
    mismatch = len(windows) != len(reported) or any(
        _counts(found) != _reported_counts(window) or found["window_end"] != window["window_end"]
        for found, window in zip(windows, reported, strict=False)
    )
    if mismatch:
        raise ValueError(
            f"the report does not belong to {source.name} as charted: its windows or event counts differ "
            "(was it made from another recording, or with another ga_weeks?)"
        )
    return windows, last_only


def _counts(window: WindowEvents) -> tuple[int, int, int]:
    return len(window["accelerations"]), len(window["decelerations"]), len(window["contractions"])


def _reported_counts(window: Mapping[str, Any]) -> tuple[int, int, int]:
    features = window["features"]
    return features["acceleration_count"], features["deceleration_count"], features["contraction_count"]


# ----------------------------------------------------------------- drawing


def _require_matplotlib() -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError as error:
        raise ImportError("the chart needs matplotlib: pip install 'pulsequill[chart]'") from error


def _chart_axes(ax: Axes | None, trace: Trace, paper: bool) -> CtgAxes:
    _require_matplotlib()
    if ax is not None:
        from mpl_toolkits.axes_grid1 import make_axes_locatable

        toco = make_axes_locatable(ax).append_axes("bottom", size="50%", pad=0.35, sharex=ax)
        return CtgAxes(ax, toco)
    from matplotlib.figure import Figure

    figure = Figure(figsize=(14.0, 6.5), layout="constrained")
    fhr, toco = figure.subplots(2, 1, sharex=True, gridspec_kw={"height_ratios": [2, 1]})
    if paper:
        times = trace["timestamp_ms"]
        _size_paper(figure, (times[-1] - times[0]) / 60000.0 if times else 30.0)
    return CtgAxes(fhr, toco)


def _size_paper(figure: Figure, minutes: float) -> None:
    """One centimetre per minute, 20 bpm per centimetre, plus room for the labels."""
    centimetre = 1 / 2.54
    figure.set_size_inches(max(minutes, 10.0) * centimetre + 1.6, (8.0 + 4.0) * centimetre + 1.6)


def _minutes(times_ms: npt.NDArray[np.int64], origin_ms: int) -> npt.NDArray[np.float64]:
    return (times_ms - origin_ms) / 60000.0


def _line(
    times_ms: npt.NDArray[np.int64], values: Sequence[float | None], origin_ms: int, usable: tuple[float, float]
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """x (minutes) and y with NaN where a value is missing or unusable and where the samples pause."""
    import numpy as np

    y = np.array([math.nan if value is None else value for value in values], dtype=np.float64)
    with np.errstate(invalid="ignore"):
        y[(y < usable[0]) | (y > usable[1])] = math.nan
    x = _minutes(times_ms, origin_ms)
    pauses = np.flatnonzero(np.diff(times_ms) > GAP_MS) + 1
    return np.insert(x, pauses, math.nan), np.insert(y, pauses, math.nan)


def _draw(
    axes: CtgAxes,
    source: _Source,
    report: Mapping[str, Any],
    windows: list[WindowEvents],
    trace: Trace,
    paper: bool,
) -> None:
    import numpy as np

    fhr, toco = axes
    times = np.asarray(trace["timestamp_ms"], dtype=np.int64)
    origin = int(times[0]) if times.size else 0
    span = float(_minutes(times[-1:], origin)[0]) if times.size else 1.0
    channel = str(report.get("channel", "HR1"))
    to_minutes = _time_scale(origin)

    _grid(fhr, FHR_LIMITS, major=30.0, minor=10.0, paper=paper)
    _grid(toco, _toco_limits(trace), major=25.0, minor=5.0, paper=paper)
    fhr.axhspan(*NORMAL_BAND, color="#e3f2e1" if not paper else "#fbe3df", zorder=0, gid="normal-band")
    for panel in axes:
        panel.set_xlim(0.0, max(span, 1.0))
        _time_grid(panel, max(span, 1.0), paper)

    if times.size:
        fetal_x, fetal_y = _line(times, trace[channel.lower()], origin, USABLE_HEART_RATE)  # type: ignore[literal-required]
        fhr.plot(fetal_x, fetal_y, color=FHR_COLOUR, linewidth=0.8, label=f"FHR ({channel})", gid="fhr")
        if any(value is not None for value in trace["hrm"]):
            maternal_x, maternal_y = _line(times, trace["hrm"], origin, USABLE_HEART_RATE)
            fhr.plot(maternal_x, maternal_y, color=MATERNAL_COLOUR, linewidth=0.8, label="maternal HR", gid="hrm")
        toco_x, toco_y = _line(times, trace["toco"], origin, (0.0, 300.0))
        toco.plot(toco_x, toco_y, color=TOCO_COLOUR, linewidth=0.8, label="TOCO", gid="toco")

    segments = _segments(windows, to_minutes)
    _draw_windows(fhr, report.get("windows", []), segments, span)
    _draw_events(axes, windows, segments, to_minutes)

    fhr.set_ylabel("FHR (bpm)")
    toco.set_ylabel("TOCO")
    toco.set_xlabel("minutes from the first sample")
    fhr.tick_params(labelbottom=False)
    # Beside the trace, never over it: the curve and the markers fill the panels.
    handles = [*fhr.get_legend_handles_labels()[0], *toco.get_legend_handles_labels()[0]]
    fhr.legend(handles=handles, loc="upper left", bbox_to_anchor=(1.005, 1.0), fontsize="small", frameon=False)


def _time_scale(origin_ms: int) -> Any:
    def to_minutes(ms: int | None) -> float:
        return math.nan if ms is None else (ms - origin_ms) / 60000.0

    return to_minutes


def _toco_limits(trace: Trace) -> tuple[float, float]:
    highest = max((value for value in trace["toco"] if value is not None and value <= 300.0), default=0.0)
    return TOCO_LIMITS if highest <= TOCO_LIMITS[1] else (0.0, math.ceil(highest / 10.0) * 10.0)


def _grid(panel: Axes, limits: tuple[float, float], *, major: float, minor: float, paper: bool) -> None:
    from matplotlib.ticker import MultipleLocator

    panel.set_ylim(*limits)
    panel.yaxis.set_major_locator(MultipleLocator(major))
    panel.yaxis.set_minor_locator(MultipleLocator(minor))
    if paper:
        panel.set_facecolor(PAPER_COLOUR)
    colour = PAPER_GRID if paper else "#b0bec5"
    panel.grid(True, which="major", color=colour, linewidth=0.8, alpha=0.9)
    panel.grid(True, which="minor", color=colour, linewidth=0.4, alpha=0.5)
    panel.set_axisbelow(True)


def _time_grid(panel: Axes, span_minutes: float, paper: bool) -> None:
    from matplotlib.ticker import MultipleLocator

    major = 10.0 if span_minutes <= 240 else 60.0
    panel.xaxis.set_major_locator(MultipleLocator(major))
    panel.xaxis.set_minor_locator(MultipleLocator(1.0 if span_minutes <= 240 and paper else major / 5))


def _segments(windows: list[WindowEvents], to_minutes: Any) -> list[tuple[float, float]]:
    """Per window, the time it is the newest verdict for: from the previous window's end (or its own start) to its end.

    Rolling windows overlap; these segments do not, and each lies in the part of
    its window where events are searched.
    """
    segments = []
    previous_end = -math.inf
    for window in windows:
        start, end = to_minutes(window["start_ms"]), to_minutes(window["end_ms"])
        segments.append((max(start, previous_end), end))
        previous_end = end
    return segments


def _draw_windows(
    fhr: Axes, reported: Sequence[Mapping[str, Any]], segments: list[tuple[float, float]], span: float
) -> None:
    """One band per window over its segment, coloured by category, with a strip below it coloured by alert level."""
    for window, (left, end) in zip(reported, segments, strict=True):
        category = str(window["classification"])
        colour = CATEGORY_COLOURS.get(category, CATEGORY_COLOURS["unclassified"])
        fhr.axvspan(left, end, color=colour, alpha=0.08, zorder=0.5, linewidth=0)
        fhr.axvspan(left, end, ymin=0.955, ymax=1.0, facecolor=colour, alpha=0.9, linewidth=0, gid="window-band")
        alert = str(window["alert_level"])
        fhr.axvspan(left, end, ymin=0.93, ymax=0.955, facecolor=ALERT_COLOURS.get(alert, "#ffffff"), linewidth=0,
                    gid="alert-band")
        label = CATEGORY_LABELS.get(category, category)
        if end - left >= max(span, 1.0) * 0.1:
            label += " · " + alert.replace("_", " ")
        if end - left >= max(span, 1.0) * 0.025:
            fhr.text((left + end) / 2, FHR_LIMITS[1] - 3.5, label, ha="center", va="center", fontsize="x-small",
                     color="white", fontweight="bold", clip_on=True)
        baseline = window.get("baseline_bpm")
        if baseline is not None:
            fhr.hlines(baseline, left, end, colors="#283593", linestyles="dashed", linewidth=1.0, gid="baseline")


def _in_segments(
    windows: list[WindowEvents], segments: list[tuple[float, float]], to_minutes: Any, group: str, time_key: str
) -> list[tuple[float, Any]]:
    """The events of one group whose time lies in their window's segment, with that time in minutes.

    Overlapping windows find the same event again, its edges sometimes a little
    apart: each is kept once, as the newest window that holds it sees it.
    """
    chosen: list[tuple[int, float, Any]] = []
    for index, (window, (left, end)) in enumerate(zip(windows, segments, strict=True)):
        for event in window[group]:  # type: ignore[literal-required]
            at = to_minutes(event[time_key])
            if not ((left <= at if index == 0 else left < at) and at <= end):
                continue
            start, stop = to_minutes(event["start_ms"]), to_minutes(event["end_ms"])
            chosen = [(i, t, e) for i, t, e in chosen
                      if i == index or not (to_minutes(e["start_ms"]) < stop and start < to_minutes(e["end_ms"]))]
            chosen.append((index, at, event))
    return sorted(((at, event) for _, at, event in chosen), key=lambda item: item[0])


def _draw_events(
    axes: CtgAxes, windows: list[WindowEvents], segments: list[tuple[float, float]], to_minutes: Any
) -> None:
    fhr, toco = axes
    accelerations = _in_segments(windows, segments, to_minutes, "accelerations", "start_ms")
    if accelerations:
        x = [(at + to_minutes(e["end_ms"])) / 2 for at, e in accelerations]
        y = [min(e["peak_bpm"] + 6.0, FHR_LIMITS[1] - 10.0) for _, e in accelerations]
        fhr.plot(x, y, linestyle="none", marker="^", markersize=7, color=ACCELERATION_COLOUR,
                 label="acceleration", gid="accelerations")
    decelerations = _in_segments(windows, segments, to_minutes, "decelerations", "nadir_ms")
    for kind, (letter, colour) in DECELERATION_STYLES.items():
        chosen = [(at, e) for at, e in decelerations if e["kind"] == kind]
        if not chosen:
            continue
        x = [at for at, _ in chosen]
        y = [max(e["nadir_bpm"] - 6.0, FHR_LIMITS[0] + 4.0) for _, e in chosen]
        fhr.plot(x, y, linestyle="none", marker="v", markersize=7, color=colour,
                 label=f"{kind} deceleration", gid=f"decelerations-{kind}")
        for xi, yi in zip(x, y, strict=True):
            fhr.annotate(letter, (xi, yi), xytext=(0, -10), textcoords="offset points", ha="center", va="top",
                         fontsize="x-small", color=colour, fontweight="bold", annotation_clip=True)
    contractions = _in_segments(windows, segments, to_minutes, "contractions", "peak_ms")
    for _, event in contractions:
        toco.axvspan(to_minutes(event["start_ms"]), to_minutes(event["end_ms"]), color=CONTRACTION_COLOUR,
                     alpha=0.15, linewidth=0)
    if contractions:
        toco.plot([at for at, _ in contractions], [e["peak_toco"] for _, e in contractions], linestyle="none",
                  marker="o", markersize=5, color=CONTRACTION_COLOUR, label="contraction", gid="contractions")


def _title(source: _Source, report: Mapping[str, Any], last_only: bool) -> str:
    channel = report.get("channel", "HR1")
    if report.get("analysis_mode") == "rolling":
        mode = f"rolling {report.get('requested_window_minutes')}-min windows, step {report.get('step_seconds')} s"
    else:
        mode = "most recent 30 minutes"
    if last_only:
        mode += ", last window only"
    weeks = f", {source.ga_weeks} weeks" if source.ga_weeks is not None else ""
    return f"{source.name} · {channel} · {mode}{weeks}"
