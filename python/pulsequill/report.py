"""Typed reports: the analysis report text read into frozen dataclasses.

:func:`parse_report` reads the JSON text that the analysis returns into a
:class:`Report`: one :class:`Window` per analysed window, times as aware
datetimes (UTC), the verdict words as :class:`enum.StrEnum` members. The text
itself stays available, unchanged, as :attr:`Report.text`. Every field is
described in ``docs/report.md``.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import enum
import json
import re
import types
import typing
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from ._support import parse_timestamp

if TYPE_CHECKING:
    import pandas

__all__ = [
    "AlertLevel",
    "AnalysisMode",
    "BaselineClass",
    "Category",
    "DataQuality",
    "Features",
    "InputSummary",
    "Moment",
    "Report",
    "VariabilityClass",
    "Window",
    "parse_report",
    "report_document",
]


class Category(enum.StrEnum):
    """The window's place in the three-tier interpretation scheme."""

    CATEGORY_I = "category_i"
    CATEGORY_II = "category_ii"
    CATEGORY_III = "category_iii"
    UNCLASSIFIED = "unclassified"


class AlertLevel(enum.StrEnum):
    """How urgently the window asks for a clinician's attention."""

    NONE = "none"
    WARNING = "warning"
    URGENT_REVIEW = "urgent_review"
    CRITICAL = "critical"
    DATA_QUALITY = "data_quality"


class BaselineClass(enum.StrEnum):
    BRADYCARDIA = "bradycardia"
    NORMAL = "normal"
    TACHYCARDIA = "tachycardia"


class VariabilityClass(enum.StrEnum):
    ABSENT = "absent"
    MINIMAL = "minimal"
    MODERATE = "moderate"
    MARKED = "marked"


class AnalysisMode(enum.StrEnum):
    CHUNK = "chunk"
    ROLLING = "rolling"


_Record = typing.TypeVar("_Record")

# A second without samples is shown as its epoch milliseconds followed by "ms".
_EMPTY_SECOND = re.compile(r"-?[0-9]+ms")
# A window without any sample and without any second is shown as this word.
_UNKNOWN_TIME = "unknown"


@dataclass(frozen=True)
class Moment:
    """A time as the report writes it.

    ``time`` is the instant as an aware UTC datetime when the text is a
    timestamp. For a second in which no sample fell the report shows its
    epoch milliseconds instead ("1709287800000ms"): ``time`` is then None and
    ``epoch_ms`` still holds the value. For "unknown" both are None.
    """

    text: str
    time: dt.datetime | None
    epoch_ms: int | None

    @classmethod
    def from_text(cls, text: str) -> Moment:
        try:
            epoch_ms = parse_timestamp(text)
        except ValueError:
            if _EMPTY_SECOND.fullmatch(text):
                return cls(text, None, int(text[:-2]))
            if text == _UNKNOWN_TIME:
                return cls(text, None, None)
            raise
        return cls(text, _utc_datetime(epoch_ms), epoch_ms)


def _utc_datetime(epoch_ms: int) -> dt.datetime | None:
    """The instant as an aware datetime, or None beyond the years 1 to 9999."""
    try:
        return dt.datetime(1970, 1, 1, tzinfo=dt.UTC) + dt.timedelta(milliseconds=epoch_ms)
    except OverflowError:
        return None


@dataclass(frozen=True)
class InputSummary:
    """The recording as read: its rows and the span of their times."""

    rows: int
    start_timestamp: Moment | None
    end_timestamp: Moment | None
    duration_seconds: float
    out_of_order_rows: int
    duplicate_timestamps: int


@dataclass(frozen=True)
class Features:
    """Heart-rate statistics, events and uterine activity of one window."""

    fetal_hr_min_bpm: float | None
    fetal_hr_p05_bpm: float | None
    fetal_hr_mean_bpm: float | None
    fetal_hr_median_bpm: float | None
    fetal_hr_p95_bpm: float | None
    fetal_hr_max_bpm: float | None
    fetal_hr_std_dev_bpm: float | None
    baseline_delta_mean_bpm: float | None
    fetal_hr_seconds_below_110: int
    fetal_hr_seconds_110_to_160: int
    fetal_hr_seconds_above_160: int
    fetal_hr_percent_below_110: float
    fetal_hr_percent_110_to_160: float
    fetal_hr_percent_above_160: float
    acceleration_count: int
    deceleration_count: int
    prolonged_deceleration_count: int
    total_deceleration_seconds: float
    deepest_deceleration_nadir_bpm: float | None
    max_deceleration_depth_bpm: float | None
    contraction_count: int
    contractions_per_10_min: float
    toco_mean: float | None
    toco_max: float | None
    maternal_hr_mean_bpm: float | None
    fetal_maternal_mean_difference_bpm: float | None


@dataclass(frozen=True)
class DataQuality:
    """How much of the window carried usable signal."""

    expected_seconds: int
    raw_samples: int
    fetal_usable_ratio: float
    maternal_usable_ratio: float
    toco_usable_ratio: float
    suspected_maternal_capture_ratio: float


@dataclass(frozen=True)
class Window:
    """One analysed window: its bounds, verdict, measurements and signal quality.

    ``contractions`` and ``contractions_per_10_min`` repeat
    ``features.contraction_count`` and ``features.contractions_per_10_min``
    as the report writes them twice.
    """

    window_start: Moment
    window_end: Moment
    duration_seconds: float
    classification: Category
    alert_level: AlertLevel
    baseline_bpm: int | None
    baseline_class: BaselineClass | None
    variability_bpm: float | None
    variability_class: VariabilityClass | None
    features: Features
    data_quality: DataQuality
    contractions: int
    contractions_per_10_min: float
    tachysystole: bool | None
    reasons: tuple[str, ...]
    high_risk_features: tuple[str, ...]
    protective_features: tuple[str, ...]
    limitations: tuple[str, ...]

    @property
    def start(self) -> dt.datetime | None:
        return self.window_start.time

    @property
    def end(self) -> dt.datetime | None:
        return self.window_end.time

    def to_record(self) -> dict[str, object]:
        """The window as one flat row of its own fields (no recording-level ones)."""
        row: dict[str, object] = {}
        for name, value in _field_values(self):
            if name in _REPEATED_WINDOW_FIELDS:
                continue
            if isinstance(value, Moment):
                row[name] = value.time
                row[f"{name}_ms"] = value.epoch_ms
            elif isinstance(value, Features | DataQuality):
                row.update(_field_values(value))
            elif isinstance(value, tuple):
                row[name] = list(value)
            else:
                row[name] = value
        return row


# Window fields whose value a flat row already carries under the features' name.
_REPEATED_WINDOW_FIELDS = frozenset({"contractions", "contractions_per_10_min"})


@dataclass(frozen=True)
class Report:
    """An analysis report: settings, input summary and the windows in time order."""

    text: str = field(repr=False)
    channel: str
    analysis_mode: AnalysisMode
    requested_window_minutes: int | None
    step_seconds: int
    input: InputSummary
    windows: tuple[Window, ...]

    def to_records(self) -> list[dict[str, object]]:
        """One flat row per window, the recording-level fields repeated in each.

        The input summary's fields carry the prefix ``input_``; times are aware
        datetimes (None for a second without samples) with their epoch
        milliseconds beside them in ``<name>_ms``.
        """
        recording = self._recording_record()
        return [{**recording, "window_index": index, **window.to_record()} for index, window in enumerate(self.windows)]

    def to_frame(self) -> pandas.DataFrame:
        """The rows of :meth:`to_records` as a pandas DataFrame (needs the ``pandas`` extra)."""
        try:
            import pandas
        except ImportError as error:
            raise ImportError(
                "Report.to_frame() needs pandas: pip install 'pulsequill[pandas]'", name=error.name
            ) from error
        records = self.to_records()
        columns = list(records[0]) if records else _record_columns()
        return pandas.DataFrame.from_records(records, columns=columns)

    def _recording_record(self) -> dict[str, object]:
        row: dict[str, object] = {}
        for name, value in _field_values(self):
            if name in ("text", "windows"):
                continue
            if isinstance(value, InputSummary):
                for input_name, input_value in _field_values(value):
                    is_moment = isinstance(input_value, Moment)
                    row[f"input_{input_name}"] = input_value.time if is_moment else input_value
            else:
                row[name] = value
        return row


def _field_values(record: Any) -> list[tuple[str, Any]]:
    return [(item.name, getattr(record, item.name)) for item in dataclasses.fields(record)]


def _record_columns() -> list[str]:
    """The columns of :meth:`Report.to_records`, also for a report without windows."""
    window = _placeholder(Window)
    report = dataclasses.replace(_placeholder(Report), windows=(window,))
    return list(report.to_records()[0])


def _placeholder(cls: type[_Record]) -> _Record:
    """A record of the right shape with empty values, for naming columns."""
    hints = typing.get_type_hints(cls)
    values: dict[str, object] = {}
    for name in _field_plan(cls):
        kind = _optional_of(hints[name]) or hints[name]
        if kind is Moment:
            values[name] = Moment("", None, None)
        elif isinstance(kind, type) and dataclasses.is_dataclass(kind):
            values[name] = _placeholder(kind)
        else:
            values[name] = () if typing.get_origin(kind) is tuple else None
    return cls(**values)


# ---------------------------------------------------------------- reading


class _Reader:
    """Reads one JSON object of the report into a dataclass, field by field,
    naming the offending place ("windows[2].features.toco_mean") when the text
    is not a report."""

    def __init__(self, value: object, path: str) -> None:
        if not isinstance(value, dict):
            raise ValueError(f"report {path or 'text'} must be a JSON object")
        self.members: dict[str, object] = value
        self.path = path

    def read(self, cls: type[_Record], given: Mapping[str, object] | None = None) -> _Record:
        """The record whose fields are the object's members; `given` supplies
        the values read elsewhere (nested objects, the text itself)."""
        given = given or {}
        plan = _field_plan(cls)
        if self.members.keys() != plan.keys() - _NOT_IN_TEXT:
            missing = [name for name in plan if name not in self.members and name not in _NOT_IN_TEXT]
            unexpected = [key for key in self.members if key not in plan]
            details = [f"missing {', '.join(missing)}"] if missing else []
            details += [f"unexpected {', '.join(unexpected)}"] if unexpected else []
            raise ValueError(f"report {self.path or 'text'} does not have the report's keys: {'; '.join(details)}")
        values = {name: given[name] if name in given else self.value(name, field) for name, field in plan.items()}
        return cls(**values)

    def value(self, key: str, field: _Field) -> object:
        raw = self.members[key]
        if raw is None and field.optional:
            return None
        try:
            return field.convert(raw)
        except (TypeError, ValueError) as error:
            place = f"{self.path}.{key}" if self.path else key
            raise ValueError(f"report {place} {error}") from None


@dataclass(frozen=True)
class _Field:
    """How one record field is read from its JSON value."""

    optional: bool
    convert: Callable[[object], object]


def _number(raw: object) -> float:
    if type(raw) is float or type(raw) is int:
        return float(raw)
    raise ValueError(f"must be a number, not {raw!r}")


def _exactly(kind: type) -> Callable[[object], object]:
    def convert(raw: object) -> object:
        if type(raw) is not kind:
            raise ValueError(f"must be {_KIND_NAMES[kind]}, not {raw!r}")
        return raw

    return convert


def _texts(raw: object) -> tuple[str, ...]:
    if not isinstance(raw, list) or not all(type(item) is str for item in raw):
        raise ValueError(f"must be a list of texts, not {raw!r}")
    return tuple(raw)


def _word(kind: type[enum.StrEnum]) -> Callable[[object], object]:
    def convert(raw: object) -> object:
        if isinstance(raw, str):
            try:
                return kind(raw)
            except ValueError:
                pass
        words = ", ".join(member.value for member in kind)
        raise ValueError(f"must be one of {words}, not {raw!r}")

    return convert


def _moment(raw: object) -> Moment:
    if type(raw) is not str:
        raise ValueError(f"must be a time text, not {raw!r}")
    try:
        return Moment.from_text(raw)
    except ValueError as error:
        raise ValueError(f"is not a time: {error}") from None


def _nested(raw: object) -> object:
    return raw  # read by the caller and handed in as a given value


_KIND_NAMES = {int: "a whole number", bool: "true or false", str: "text"}
# Fields of the records that the report's JSON does not carry as a member.
_NOT_IN_TEXT = frozenset({"text"})
_FieldPlan = dict[str, _Field]
_PLANS: dict[type, _FieldPlan] = {}


def _field_plan(cls: type) -> _FieldPlan:
    """How each field of the record class is read, by name. Computed once per
    class (reading type hints is slow)."""
    plan = _PLANS.get(cls)
    if plan is None:
        hints = typing.get_type_hints(cls)
        plan = {}
        for item in dataclasses.fields(cls):
            optional = _optional_of(hints[item.name])
            plan[item.name] = _Field(optional is not None, _converter(optional or hints[item.name]))
        _PLANS[cls] = plan
    return plan


def _converter(kind: object) -> Callable[[object], object]:
    if kind is float:
        return _number
    if kind in _KIND_NAMES:
        return _exactly(kind)
    if kind is Moment:
        return _moment
    if kind == tuple[str, ...]:
        return _texts
    if isinstance(kind, type) and issubclass(kind, enum.StrEnum):
        return _word(kind)
    return _nested


def _optional_of(hint: object) -> object | None:
    """X for the hint ``X | None``, else None."""
    if isinstance(hint, types.UnionType):
        members: list[object] = [member for member in typing.get_args(hint) if member is not type(None)]
        if len(members) == 1:
            return members[0]
    return None


def report_document(text: str) -> Any:
    """A report's text as JSON data.

    Timestamp texts are copied into the report as written, so a control character after the fraction's digits (a
    tab, say) stands raw in a string, which strict JSON refuses: it is read as it stands.
    """
    return json.loads(text, strict=False)


def parse_report(text: str) -> Report:
    """Read an analysis report's text into a :class:`Report`.

    Raises ValueError naming the place when the text is not such a report.
    """
    try:
        document = report_document(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"report text is not JSON: {error}") from None
    root = _Reader(document, "")
    summary = _Reader(root.members.get("input"), "input").read(InputSummary)
    raw_windows = root.members.get("windows")
    if not isinstance(raw_windows, list):
        raise ValueError("report windows must be a JSON array")
    windows = tuple(_read_window(raw, f"windows[{index}]") for index, raw in enumerate(raw_windows))
    return root.read(Report, {"text": text, "input": summary, "windows": windows})


def _read_window(raw: object, path: str) -> Window:
    reader = _Reader(raw, path)
    features = _Reader(reader.members.get("features"), f"{path}.features").read(Features)
    quality = _Reader(reader.members.get("data_quality"), f"{path}.data_quality").read(DataQuality)
    window = reader.read(Window, {"features": features, "data_quality": quality})
    # The report writes the contraction figures twice; a flat row keeps one copy.
    if (window.contractions, window.contractions_per_10_min) != (
        features.contraction_count,
        features.contractions_per_10_min,
    ):
        raise ValueError(f"report {path} contractions differ from its features' contraction figures")
    return window
