"""Typed reports: parse_report on generated and real recordings, flat rows with
every report key mapped, and the reference table of docs/report.md in step
with the keys the analysis writes."""

from __future__ import annotations

import datetime as dt
import functools
import json
import pathlib
import re
import sys

import pytest

import ctg_synth
from conftest import ROOT, SHARED_DATA
from pulsequill import Category, analyze_csv_string, analyze_json_string, parse_report
from pulsequill._support import parse_timestamp
from pulsequill.report import Moment

GOLDEN = pathlib.Path(__file__).resolve().parent / "golden"
REAL = sorted((SHARED_DATA / "ctu-uhb").glob("*.csv"))
TIME_KEYS = {"window_start", "window_end", "input.start_timestamp", "input.end_timestamp"}
# The window repeats two contraction figures of its features; a row keeps one copy.
REPEATED = {"contractions": "contraction_count", "contractions_per_10_min": "contractions_per_10_min"}


def gapped_recording() -> str:
    """Two bursts of samples 25 minutes apart: rolling windows in between hold no sample."""
    rows = ctg_synth.Recording(minutes=31, hz=1, seed=3).rows()
    kept = rows[:120] + rows[-240:]
    return ctg_synth.to_csv(kept)


@functools.cache
def generated_reports() -> dict[str, str]:
    reports = {path.stem: path.read_text(encoding="utf-8") for path in sorted(GOLDEN.glob("*.report.json"))}
    rows = ctg_synth.Recording(minutes=15, hz=2, seed=5).rows()
    reports["request"] = analyze_json_string(ctg_synth.to_request(rows, channel="HR1", ga_weeks=39))
    reports["gapped rolling"] = analyze_csv_string(gapped_recording(), window_min=10, step_sec=120)
    reports["no samples"] = analyze_csv_string("Date,HR1\n")
    # Only the fraction's first three characters are read: the rest is kept, raw tab and quote included.
    reports["raw characters"] = analyze_csv_string('Date,HR1\n2024-03-01 10:00:00.123\tx"\\,140\n')
    return reports


def leaves(members: dict[str, object], prefix: str = "") -> dict[str, object]:
    """The report object's values by dotted key path, nested objects flattened, windows left out."""
    flat: dict[str, object] = {}
    for key, value in members.items():
        if isinstance(value, dict):
            flat.update(leaves(value, f"{prefix}{key}."))
        elif key != "windows":
            flat[prefix + key] = value
    return flat


def column_of(path: str) -> str:
    """The flat row's column for a report key path, by the naming rules of docs/report.md."""
    group, _, name = path.rpartition(".")
    if group == "input":
        return f"input_{name}"
    return REPEATED.get(path, name)


def assert_row_holds(row: dict[str, object], path: str, value: object) -> None:
    column = column_of(path)
    cell = row[column]
    if path in TIME_KEYS and value is not None:
        assert isinstance(value, str)
        marker = re.fullmatch(r"(-?[0-9]+)ms", value)
        epoch_ms = int(marker[1]) if marker else parse_timestamp(value)
        if marker:
            assert cell is None
        else:
            assert isinstance(cell, dt.datetime)
            assert cell.tzinfo is not None and cell.utcoffset() == dt.timedelta(0)
            assert (cell - dt.datetime(1970, 1, 1, tzinfo=dt.UTC)) // dt.timedelta(milliseconds=1) == epoch_ms
        if f"{column}_ms" in row:
            assert row[f"{column}_ms"] == epoch_ms
    else:
        assert cell == value, path
        assert type(cell) is type(value) or isinstance(cell, type(value)), path


def check_report(text: str) -> None:
    report = parse_report(text)
    assert report.text == text
    assert parse_report(report.text) == report
    document = json.loads(text, strict=False)
    records = report.to_records()
    assert len(records) == len(report.windows) == len(document["windows"])
    recording = leaves(document)
    for index, (row, window) in enumerate(zip(records, document["windows"], strict=True)):
        assert row["window_index"] == index
        mapped = {"window_index"} | {f"{column_of(key)}_ms" for key in TIME_KEYS if not key.startswith("input")}
        for path, value in {**recording, **leaves(window)}.items():
            assert_row_holds(row, path, value)
            mapped.add(column_of(path))
        assert set(row) == mapped


@pytest.mark.parametrize("name", sorted(generated_reports()))
def test_generated_report_maps_every_key(name):
    check_report(generated_reports()[name])


@pytest.mark.skipif(not REAL, reason="shared recordings not available")
@pytest.mark.parametrize("options", [{}, {"window_min": 20, "step_sec": 600}], ids=["chunk", "rolling"])
def test_real_recordings_map_every_key(options):
    for path in REAL:
        check_report(analyze_csv_string(path.read_text(encoding="utf-8"), **options))


def test_empty_second_keeps_its_milliseconds_and_frames_as_not_a_time():
    pandas = pytest.importorskip("pandas")
    report = parse_report(analyze_csv_string(gapped_recording(), window_min=10, step_sec=120))
    empty = [window for window in report.windows if window.data_quality.raw_samples == 0]
    assert empty, "the gap should leave windows without samples"
    for window in empty:
        assert window.start is None and window.window_start.text == f"{window.window_start.epoch_ms}ms"
        assert window.classification is Category.UNCLASSIFIED
    frame = report.to_frame()
    assert isinstance(frame["window_start"].dtype, pandas.DatetimeTZDtype)
    assert frame["window_start"].isna().sum() == len(empty)
    assert list(frame.columns) == list(report.to_records()[0])
    assert list(parse_report(analyze_csv_string("Date,HR1\n")).to_frame().columns) == list(frame.columns)


def test_to_frame_without_pandas_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=re.escape("pip install 'pulsequill[pandas]'")):
        parse_report(analyze_csv_string("Date,HR1\n")).to_frame()


@pytest.mark.parametrize(
    ("text", "has_time", "epoch_ms"),
    [
        ("2024-03-01 10:00:00+01:00", True, 1709283600000),
        ("1709287800000ms", False, 1709287800000),
        ("-5000ms", False, -5000),
        ("unknown", False, None),
        ("20000-01-01 00:00:00", False, parse_timestamp("20000-01-01 00:00:00")),
    ],
)
def test_moment_from_report_text(text, has_time, epoch_ms):
    moment = Moment.from_text(text)
    assert (moment.time is not None, moment.epoch_ms) == (has_time, epoch_ms)


def edited(change):
    document = json.loads((GOLDEN / "reassuring.report.json").read_text(encoding="utf-8"))
    change(document, document["windows"][0])
    return json.dumps(document)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("{", "report text is not JSON"),
        ("[]", "report text must be a JSON object"),
        (
            edited(lambda d, w: w["features"].pop("toco_mean")),
            "windows[0].features does not have the report's keys: missing toco_mean",
        ),
        (edited(lambda d, w: d.update(extra=1)), "report text does not have the report's keys: unexpected extra"),
        (edited(lambda d, w: w.update(classification="category_iv")), "windows[0].classification must be one of"),
        (edited(lambda d, w: w.update(baseline_bpm=140.5)), "windows[0].baseline_bpm must be a whole number"),
        (edited(lambda d, w: w.update(window_end="yesterday")), "windows[0].window_end is not a time"),
        (edited(lambda d, w: w.update(reasons="none")), "windows[0].reasons must be a list of texts"),
        (edited(lambda d, w: w.update(contractions=99)), "windows[0] contractions differ"),
        (edited(lambda d, w: d.update(windows={})), "report windows must be a JSON array"),
    ],
)
def test_text_that_is_not_a_report_is_refused_with_its_place(text, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        parse_report(text)


def documented_fields() -> list[str]:
    reference = (ROOT / "docs" / "report.md").read_text(encoding="utf-8").split("## Reference", 1)[1]
    return re.findall(r"^\| `([a-z0-9_.\[\]]+)` \|", reference, flags=re.MULTILINE)


def test_reference_table_lists_every_written_key_once_in_report_order():
    document = json.loads((GOLDEN / "reassuring.report.json").read_text(encoding="utf-8"))
    written = list(leaves(document)) + [f"windows[].{key}" for key in leaves(document["windows"][0])]
    assert documented_fields() == written
