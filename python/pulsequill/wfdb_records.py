"""PhysioNet WFDB records (a ``.hea`` header beside its signal files) as monitor recordings.

Public cardiotocography databases such as CTU-UHB publish each record as a header
with the signal descriptions and clinical fields (``#Gest. weeks  37``) and the
signals at 4 Hz. :func:`read_wfdb` reads one with PhysioNet's ``wfdb`` package
and maps its signals onto the monitor channels the analysis reads::

    recording = pulsequill.read_wfdb("ctu-uhb-wfdb/1001")
    report = pulsequill.analyze_csv(recording.to_csv(), ga_weeks=recording.ga_weeks)

``analyze_file`` does the same for a ``.hea`` path.
"""

from __future__ import annotations

import datetime as dt
import math
import os
import pathlib
import re
import warnings
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from .files import CsvOptions
    from .report import Report

__all__ = ["DEFAULT_START", "WfdbRecording", "analyze_wfdb_file", "read_wfdb"]

# A header may leave out the base date and time (CTU-UHB's do). The samples
# then start at this instant, on the monitor's clock (no zone: read as UTC).
DEFAULT_START = dt.datetime(2000, 1, 1)

# Signal descriptions, compared in upper case, and the channel each fills.
SIGNAL_CHANNELS: Mapping[str, str] = {
    "FHR": "HR1",
    "FHR1": "HR1",
    "FHR2": "HR2",
    "FHR3": "HR3",
    "MHR": "HRM",
    "HR": "HRM",
    "UC": "TOCO",
    "TOCO": "TOCO",
}
MONITOR_CHANNELS = ("HR1", "HR2", "HR3", "HRM", "TOCO")
# Monitors write 0 bpm when they lose the heart rate; on these channels 0 is
# no value. A uterine-activity 0 may be a real resting tone and is kept.
HEART_RATE_CHANNELS = frozenset({"HR1", "HR2", "HR3", "HRM"})
# Header fields that give the gestational age in whole weeks.
GESTATION_FIELDS = ("Gest. weeks",)

ClinicalValue = int | float | str | None
_FIELD_LINE = re.compile(r"^(?P<name>\S.*?)\s+(?P<value>\S+)$")


@dataclass(frozen=True, eq=False)
class WfdbRecording:
    """One WFDB record mapped onto the monitor channels.

    ``channels`` holds one float array per channel the record has (``HR1`` ..
    ``HR3``, ``HRM``, ``TOCO``), NaN where there is no value; ``timestamp_ms``
    the time of each sample in epoch milliseconds. ``signals`` names the header's
    signal behind each channel, ``ignored_signals`` the signals no channel
    takes, and ``clinical`` the header's ``#`` fields as parsed values (numbers
    as int or float, ``NaN`` as None).
    """

    name: str
    path: pathlib.Path
    start: dt.datetime
    sampling_hz: float
    timestamp_ms: npt.NDArray[np.int64]
    channels: Mapping[str, npt.NDArray[np.float64]]
    signals: Mapping[str, str]
    ignored_signals: tuple[str, ...]
    clinical: Mapping[str, ClinicalValue]

    @property
    def ga_weeks(self) -> int | None:
        """Gestational age in whole weeks from the header, or None when it gives none."""
        for field in GESTATION_FIELDS:
            value = self.clinical.get(field)
            if isinstance(value, int | float) and float(value).is_integer() and 0 <= value <= 255:
                return int(value)
        return None

    def to_csv(self) -> str:
        """The recording as a monitor CSV export (``Date,HR1,HR2,HR3,HRM,TOCO``).

        Times carry milliseconds unless every sample falls on a whole second.
        """
        import numpy as np

        unit: Literal["s", "ms"] = "s" if bool(np.all(self.timestamp_ms % 1000 == 0)) else "ms"
        stamps = np.datetime_as_string(self.timestamp_ms.astype("datetime64[ms]"), unit=unit)
        columns = [_cells(self.channels.get(channel)) for channel in MONITOR_CHANNELS]
        empty = [""] * len(stamps)
        lines = [",".join(["Date", *MONITOR_CHANNELS])]
        for stamp, *cells in zip(stamps.tolist(), *(column or empty for column in columns), strict=True):
            lines.append(",".join([stamp.replace("T", " "), *cells]))
        return "\n".join(lines) + "\n"


def _cells(values: npt.NDArray[np.float64] | None) -> list[str] | None:
    if values is None:
        return None
    return ["" if math.isnan(value) else repr(value) for value in values.tolist()]


def read_wfdb(record: str | os.PathLike[str], *, start: dt.datetime | None = None) -> WfdbRecording:
    """Read a WFDB record: its path without extension, or the path of its ``.hea`` header.

    The signals are mapped onto channels by their descriptions (FHR or FHR1..FHR3:
    fetal heart rate; MHR or HR: maternal heart rate; UC or TOCO: uterine
    activity); 0 bpm on a heart-rate signal counts as no value. The samples start
    at ``start`` when given, else at the header's base date and time, else at
    :data:`DEFAULT_START`. A record without a fetal heart-rate signal, or with two
    signals for one channel, raises ValueError naming the signals found.
    """
    path = pathlib.Path(record)
    if path.suffix.lower() == ".hea":
        path = path.with_suffix("")
    header = path.with_name(path.name + ".hea")
    if not header.is_file():
        raise FileNotFoundError(f"no WFDB header {header}")
    # The library's own deprecation notices (from the libraries it uses) say
    # nothing about the record; a batch would show them as the file's warnings.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        warnings.simplefilter("ignore", FutureWarning)
        try:
            import numpy as np
            import wfdb
        except ImportError as error:
            raise ImportError(
                "reading WFDB records needs the 'wfdb' package: pip install 'pulsequill[wfdb]'"
            ) from error
        data = wfdb.rdrecord(str(path))

    names = [str(name) for name in data.sig_name or []]
    signals: dict[str, str] = {}
    ignored: list[str] = []
    for name in names:
        channel = SIGNAL_CHANNELS.get(name.strip().upper())
        if channel is None:
            ignored.append(name)
        elif channel in signals:
            raise ValueError(_layout_message(path, names, f"signals {signals[channel]} and {name} both give {channel}"))
        else:
            signals[channel] = name
    if not any(channel in signals for channel in ("HR1", "HR2", "HR3")):
        raise ValueError(_layout_message(path, names, "no fetal heart-rate signal"))

    physical = np.asarray(data.p_signal, dtype=np.float64)
    channels: dict[str, npt.NDArray[np.float64]] = {}
    for channel, name in signals.items():
        values = physical[:, names.index(name)].copy()
        if channel in HEART_RATE_CHANNELS:
            values[values == 0.0] = np.nan
        channels[channel] = values

    first = _start_time(start, data.base_date, data.base_time)
    sampling_hz = float(data.fs)
    first_ms = round((first - dt.datetime(1970, 1, 1)) / dt.timedelta(milliseconds=1))
    offsets = np.rint(np.arange(physical.shape[0], dtype=np.float64) * (1000.0 / sampling_hz)).astype(np.int64)
    return WfdbRecording(
        name=str(data.record_name),
        path=path,
        start=first,
        sampling_hz=sampling_hz,
        timestamp_ms=first_ms + offsets,
        channels=channels,
        signals=signals,
        ignored_signals=tuple(ignored),
        clinical=parse_clinical_fields(data.comments or []),
    )


def analyze_wfdb_file(path: str | os.PathLike[str], options: CsvOptions) -> Report:
    """The report of a WFDB record with the CSV options; the header's gestational age unless one is given."""
    from .files import analyze_csv

    recording = read_wfdb(path)
    given: CsvOptions = {**options}
    if given.get("ga_weeks") is None:
        given["ga_weeks"] = recording.ga_weeks
    return analyze_csv(recording.to_csv(), **given)


def _layout_message(path: pathlib.Path, names: list[str], problem: str) -> str:
    found = ", ".join(names) if names else "none"
    known = ", ".join(SIGNAL_CHANNELS)
    return f"cannot read WFDB record {path} as a CTG recording: {problem}; signals found: {found} (known: {known})"


def _start_time(start: dt.datetime | None, base_date: Any, base_time: Any) -> dt.datetime:
    """The first sample's time as a naive UTC datetime."""
    if start is not None:
        if start.tzinfo is not None:
            start = start.astimezone(dt.UTC).replace(tzinfo=None)
        return start
    if base_date is None and base_time is None:
        return DEFAULT_START
    day = base_date if base_date is not None else DEFAULT_START.date()
    clock = base_time if base_time is not None else dt.time()
    return dt.datetime.combine(day, clock)


def parse_clinical_fields(comments: list[str]) -> dict[str, ClinicalValue]:
    """The ``#name  value`` lines of a header as a dict; headings (``-- ...``) are skipped."""
    fields: dict[str, ClinicalValue] = {}
    for line in comments:
        text = line.strip()
        match = _FIELD_LINE.match(text)
        if not text or text.startswith("-") or match is None:
            continue
        fields[match["name"]] = _clinical_value(match["value"])
    return fields


def _clinical_value(text: str) -> ClinicalValue:
    for number in (int, float):
        try:
            value = number(text)
        except ValueError:
            continue
        return None if isinstance(value, float) and math.isnan(value) else value
    return text
