"""Guidance on common input mistakes.

The readers' messages stay exactly as they are; where the input shows a
mistake that people often make (a path passed as text, a semicolon-separated
export, a byte-order mark, a spreadsheet's date, NaN in a JSON request), a
PEP 678 note says what was seen and what to do. Notes appear in tracebacks and
in the command line's error output.
"""

from __future__ import annotations

import os
import re
import sys
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from .report import Report

__all__ = ["InputWarning", "TIMESTAMP_FORM", "add_guidance", "warn_if_channel_empty"]


class InputWarning(UserWarning):
    """The recording was analysed, but part of it is probably not what was meant."""


TIMESTAMP_FORM = (
    "YYYY-MM-DD HH:MM:SS[.fff] with a space or T between date and time and an optional Z or ±HH:MM "
    "(for example 2024-02-29 22:50:00 or 2024-02-29T22:50:00.250+01:00)"
)
EXPECTED_HEADER = "Date,HR1,HR2,HR3,HRM,TOCO"
FETAL_CHANNELS = ("HR1", "HR2", "HR3")
_SHOWN_LENGTH = 100
_READ_THE_FILE = "pass the path to pulsequill.analyze_file(path), which reads the file"

_MISSING_DATE_COLUMN = "CSV is missing required Date column"
_INVALID_DATE = re.compile(r"row (?P<row>[0-9]+) has invalid Date: ")
_INVALID_T = re.compile(r"sample [0-9]+ has invalid t: ")
_INVALID_JSON_START = "invalid analysis request JSON: "
_INVALID_JSON = re.compile(_INVALID_JSON_START + r".* at line (?P<line>[0-9]+) column (?P<column>[0-9]+)")
_DAY_MONTH_YEAR = re.compile(r"\b[0-9]{1,2}[/.][0-9]{1,2}[/.][0-9]{2,4}\b")
_NOT_A_NUMBER = re.compile(r"-?\b(?:NaN|Infinity)\b")
_NUMBER_FOR_TEXT = re.compile(r"invalid type: (?:integer|floating point) `[^`]*`, expected a string")
_TIME_MEMBER_NUMBER = re.compile(r'"t"\s*:\s*(?P<value>[-+0-9.eE]+)\s*[,}]?$')
_SEPARATORS = {";": "semicolons", "\t": "tabs", "|": "vertical bars"}
_TIME_COLUMN_NAMES = frozenset({"time", "timestamp", "datetime", "date_time", "date/time", "time_stamp", "t"})
_FILE_SUFFIXES = (".csv", ".json", ".txt", ".hea", ".dat")


def add_guidance(error: BaseException, text: object, *, source: str | None = None) -> None:
    """Add one note to `error` when `text` shows a recognisable mistake.

    `error` is the ValueError a reader raised for `text` (or the TypeError for
    something that is not text at all); its message is left unchanged.
    `source` names where the text came from (a file name).
    """
    note = _note_for(str(error), text, source)
    if note is not None and note not in getattr(error, "__notes__", ()):
        error.add_note(note)


def _note_for(message: str, text: object, source: str | None) -> str | None:
    if isinstance(text, bytes | bytearray | memoryview):
        return "the recording was given as bytes\nhelp: decode it first, data.decode('utf-8-sig')"
    if isinstance(text, os.PathLike):
        return f"the recording was given as a path: {_shown(os.fspath(text))}\nhelp: {_READ_THE_FILE}"
    if not isinstance(text, str):
        return None
    for recognise in _RECOGNISERS:
        note = recognise(message, text, source)
        if note is not None:
            return note
    return None


def warn_if_channel_empty(report: Report, *, source: str | None = None) -> None:
    """Warn with :class:`InputWarning` when no analysed window has a usable
    value of the chosen fetal channel, which leaves every window unclassified.
    The warning points at the first caller outside the package."""
    if not report.windows or any(window.features.fetal_hr_mean_bpm is not None for window in report.windows):
        return
    where = f"{source}: " if source else ""
    others = " or ".join(repr(channel) for channel in FETAL_CHANNELS if channel != report.channel)
    warnings.warn(
        InputWarning(
            f"{where}channel {report.channel} has no usable fetal heart rate in any analysed window, "
            "so no window can be classified; check that the column exists and holds heart rates "
            f"(30 to 240 bpm), or choose another channel: channel={others}"
        ),
        stacklevel=_first_outside_package(),
    )


# ---------------------------------------------------------------- recognisers
# Each takes the message, the text and the source and returns a note or None.


def _path_instead_of_text(message: str, text: str, source: str | None) -> str | None:
    if not _refused_as_a_whole(message):
        return None
    candidate = text.strip()
    if not candidate or "\n" in candidate or len(candidate) > 4096:
        return None
    looks_like_path = candidate.lower().endswith(_FILE_SUFFIXES) or os.path.exists(candidate)
    if not looks_like_path:
        return None
    return f"the text is a file path, not the recording: {_shown(candidate)}\nhelp: {_READ_THE_FILE}"


def _byte_order_mark(message: str, text: str, source: str | None) -> str | None:
    if not text.startswith("\ufeff") or not _refused_as_a_whole(message):
        return None
    return (
        "the text begins with a byte-order mark (U+FEFF), as Excel's 'CSV UTF-8' and some editors write it\n"
        "help: read the file with encoding='utf-8-sig', or use pulsequill.analyze_file(path), which removes it"
    )


def _json_given_as_csv(message: str, text: str, source: str | None) -> str | None:
    if message != _MISSING_DATE_COLUMN or not text.lstrip().startswith(("{", "[")):
        return None
    return (
        "the text looks like JSON, not a CSV export\n"
        "help: a JSON analysis request goes to pulsequill.analyze_request(text) or analyze_json_string(text)"
    )


def _csv_given_as_json(message: str, text: str, source: str | None) -> str | None:
    if not message.startswith(_INVALID_JSON_START) or text.lstrip().startswith(("{", "[")):
        return None
    header = _first_line(text)
    if "date" not in header.lower():
        return None
    return (
        f"the text looks like a CSV export, not JSON; its first line is {_shown(header)}\n"
        "help: a CSV export goes to pulsequill.analyze_csv(text) or analyze_csv_string(text)"
    )


def _header_mistake(message: str, text: str, source: str | None) -> str | None:
    if message != _MISSING_DATE_COLUMN:
        return None
    header = _first_line(text)
    seen = f"the header as read is {_shown(header)}"
    cells = [cell.strip() for cell in header.split(",")]
    for separator, name in _SEPARATORS.items():
        if separator in header and header.count(separator) >= len(cells) - 1:
            return (
                f"{seen}: it looks separated by {name}\n"
                "help: the reader expects commas between cells; export the recording as comma-separated CSV"
            )
    quoted = [cell for cell in cells if len(cell) >= 2 and cell[0] == cell[-1] and cell[0] in "\"'"]
    if quoted:
        return (
            f"{seen}: its names are quoted ({quoted[0]})\n"
            f"help: the reader takes quote characters as part of the name; write the header as {EXPECTED_HEADER}"
        )
    time_names = [cell for cell in cells if cell.lower() in _TIME_COLUMN_NAMES]
    if time_names:
        return f"{seen}: the time column is named {time_names[0]!r}\nhelp: name it Date (in any letter case)"
    return f"{seen}\nhelp: the first line names the columns, separated by commas, one of them Date: {EXPECTED_HEADER}"


def _timestamp_form(message: str, text: str, source: str | None) -> str | None:
    row = _INVALID_DATE.match(message)
    if row is None and _INVALID_T.match(message) is None:
        return None
    seen = ""
    if row is not None:
        lines = text.split("\n")
        number = int(row["row"])
        where = f" of {source}" if source else ""
        if number <= len(lines):
            seen = f"row {number}{where} reads {_shown(lines[number - 1].rstrip(chr(13)))}\n"
    if _DAY_MONTH_YEAR.search(message):
        return (
            f"{seen}the date is written day/month/year or month/day/year, as spreadsheets show it\n"
            f"help: export times as {TIMESTAMP_FORM}"
        )
    return f"{seen}help: write times as {TIMESTAMP_FORM}"


def _not_a_number_in_json(message: str, text: str, source: str | None) -> str | None:
    place = _json_place(message, text)
    if place is None:
        return None
    line_number, column, line = place
    # The parser stops at the token or just after its sign.
    found = [match for match in _NOT_A_NUMBER.finditer(line) if match.start() <= column <= match.end() + 1]
    if not found:
        return None
    return (
        f"line {line_number} column {column} holds {found[0].group()}, which JSON does not have "
        "(Python's json.dumps writes it for a float NaN or infinity)\n"
        "help: write null for a missing value; json.dumps(..., allow_nan=False) refuses NaN instead of writing it"
    )


def _number_as_time(message: str, text: str, source: str | None) -> str | None:
    place = _json_place(message, text)
    if place is None or _NUMBER_FOR_TEXT.search(message) is None:
        return None
    line_number, column, line = place
    # The parser stops at the end of the number, so the member's name stands just before.
    number = _TIME_MEMBER_NUMBER.search(line[:column])
    if number is None:
        return None
    return (
        f"line {line_number} gives a sample time as the number {number['value']}; times are text\n"
        f"help: write {TIMESTAMP_FORM}; from epoch milliseconds: "
        "datetime.datetime.fromtimestamp(ms / 1000, datetime.UTC).isoformat()"
    )


def _json_place(message: str, text: str) -> tuple[int, int, str] | None:
    """The line number, column and line text where the JSON parser stopped."""
    position = _INVALID_JSON.match(message)
    if position is None:
        return None
    lines = text.split("\n")
    line_number = int(position["line"])
    if line_number > len(lines):
        return None
    return line_number, int(position["column"]), lines[line_number - 1]


_RECOGNISERS: tuple[Callable[[str, str, str | None], str | None], ...] = (
    _path_instead_of_text,
    _byte_order_mark,
    _json_given_as_csv,
    _csv_given_as_json,
    _header_mistake,
    _timestamp_form,
    _not_a_number_in_json,
    _number_as_time,
)


def _first_outside_package() -> int:
    """The stacklevel of the innermost caller outside this package."""
    package = os.path.dirname(__file__) + os.sep
    level = 1
    frame = sys._getframe(1)
    while frame.f_back is not None and frame.f_code.co_filename.startswith(package):
        frame = frame.f_back
        level += 1
    return level


def _refused_as_a_whole(message: str) -> bool:
    """Whether the reader refused the text from its start (header or JSON syntax), not one of its rows."""
    return message == _MISSING_DATE_COLUMN or message.startswith(_INVALID_JSON_START)


def _first_line(text: str) -> str:
    return text.split("\n", 1)[0].removesuffix("\r")


def _shown(text: str) -> str:
    """The text quoted for a note, shortened when long."""
    if len(text) > _SHOWN_LENGTH:
        text = text[:_SHOWN_LENGTH] + "…"
    return repr(text)
