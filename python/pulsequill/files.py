"""Recordings from text and from files, returned as typed reports.

:func:`analyze_csv` and :func:`analyze_request` run the analysis on text and
return a :class:`~pulsequill.report.Report`; a refused input keeps the
reader's exact ValueError, with a note when the mistake is a common one.
:func:`analyze_file` reads a monitor CSV export (``.csv``) or a JSON analysis
request (``.json``) from disk as UTF-8, with or without a byte-order mark.
"""

from __future__ import annotations

import os
import pathlib
from collections.abc import Callable
from typing import TypedDict, Unpack

from ._native import analyze_csv_string, analyze_json_string
from .guidance import add_guidance, warn_if_channel_empty
from .report import Report, parse_report
from .wfdb_records import analyze_wfdb_file

__all__ = ["CsvOptions", "analyze_csv", "analyze_file", "analyze_request", "read_text"]

StrPath = str | os.PathLike[str]


class CsvOptions(TypedDict, total=False):
    """Options of a CSV analysis; an omitted option or None takes the default.

    channel: fetal heart-rate channel, "HR1" (default), "HR2" or "HR3".
    ga_weeks: gestational age in whole weeks.
    window_min: rolling windows of 10 to 30 minutes; omitted, one window over
        the last 30 minutes.
    step_sec: seconds between the ends of rolling windows (default 60).
    last_only: keep only the last window.
    """

    channel: str | None
    ga_weeks: int | None
    window_min: int | None
    step_sec: int | None
    last_only: bool | None


def analyze_csv(text: str, **options: Unpack[CsvOptions]) -> Report:
    """Analyse the text of a monitor CSV export (options: see :class:`CsvOptions`)."""
    return _analyze_csv_text(text, options, source=None)


def analyze_request(text: str) -> Report:
    """Analyse the text of a JSON analysis request (it carries its own options)."""
    return _analyze_request_text(text, source=None)


def analyze_file(
    path: StrPath,
    *,
    channel: str | None = None,
    ga_weeks: int | None = None,
    window_min: int | None = None,
    step_sec: int | None = None,
    last_only: bool | None = None,
) -> Report:
    """Analyse a recording file, chosen by its suffix: ``.csv``, ``.json`` or ``.hea`` (a WFDB record).

    The options (see :class:`CsvOptions`) apply to CSV exports; a JSON request
    carries its own, so passing any with a ``.json`` file is a TypeError.
    """
    options = CsvOptions(
        channel=channel, ga_weeks=ga_weeks, window_min=window_min, step_sec=step_sec, last_only=last_only
    )
    suffix = pathlib.PurePath(path).suffix.lower()
    reader = FILE_READERS.get(suffix)
    if reader is None:
        known = ", ".join(sorted(FILE_READERS))
        raise ValueError(f"{os.fspath(path)}: cannot tell the recording's format from the suffix; expected {known}")
    return reader(path, options)


def read_text(path: StrPath) -> str:
    """The file's text, read as UTF-8 with or without a byte-order mark.

    Other encodings are refused with a ValueError naming the file and a note
    on how to convert it. Line ends are kept as written.
    """
    data = pathlib.Path(path).read_bytes()
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        name = os.fspath(path)
        if data.startswith((b"\xff\xfe", b"\xfe\xff")):
            refusal = ValueError(f"{name}: the file is UTF-16 text; expected UTF-8")
        else:
            byte = data[error.start]
            line = data.count(b"\n", 0, error.start) + 1
            refusal = ValueError(f"{name}: not UTF-8 text (byte 0x{byte:02x} at offset {error.start}, line {line})")
        refusal.add_note(
            "save the file as UTF-8 (Excel: 'CSV UTF-8'), or convert it, "
            f"for example: iconv -f WINDOWS-1252 -t UTF-8 {name} > converted.csv"
        )
        raise refusal from None


def _analyze_csv_text(text: str, options: CsvOptions, source: str | None) -> Report:
    given = {name: value for name, value in options.items() if value is not None}
    return _analyze_text(lambda: analyze_csv_string(text, **given), text, source)  # type: ignore[arg-type]


def _analyze_request_text(text: str, source: str | None) -> Report:
    return _analyze_text(lambda: analyze_json_string(text), text, source)


def _analyze_text(run_analysis: Callable[[], str], text: str, source: str | None) -> Report:
    """The report of one entry function's call on `text`, with guidance on a refused input."""
    try:
        report_text = run_analysis()
    except (ValueError, TypeError) as error:
        add_guidance(error, text, source=source)
        raise
    report = parse_report(report_text)
    warn_if_channel_empty(report, source=source)
    return report


def _analyze_csv_file(path: StrPath, options: CsvOptions) -> Report:
    return _analyze_csv_text(read_text(path), options, source=os.fspath(path))


def _analyze_request_file(path: StrPath, options: CsvOptions) -> Report:
    if any(value is not None for value in options.values()):
        raise TypeError(f"{os.fspath(path)}: a JSON request carries its own options; the options apply to CSV files")
    return _analyze_request_text(read_text(path), source=os.fspath(path))


# The readers by file suffix (lower case).
FILE_READERS: dict[str, Callable[[StrPath, CsvOptions], Report]] = {
    ".csv": _analyze_csv_file,
    ".json": _analyze_request_file,
    ".hea": analyze_wfdb_file,
}
