"""WFDB records: the real CTU-UHB database against its CSV exports, and records written from generated recordings."""

import csv
import datetime as dt
import pathlib

import pytest

import ctg_synth
import pulsequill
from conftest import SHARED_DATA
from pulsequill.wfdb_records import DEFAULT_START, read_wfdb

wfdb = pytest.importorskip("wfdb")
np = pytest.importorskip("numpy")

WFDB_DIR = SHARED_DATA / "ctu-uhb-wfdb"
CSV_DIR = SHARED_DATA / "ctu-uhb"
needs_database = pytest.mark.skipif(not WFDB_DIR.is_dir(), reason="the CTU-UHB WFDB records are not present")
CSV_RECORDS = sorted(path.stem for path in CSV_DIR.glob("*.csv")) if CSV_DIR.is_dir() else []
ROLLING = {"window_min": 20, "step_sec": 300}


def verdicts(report: pulsequill.Report) -> list[tuple[object, ...]]:
    return [(w.duration_seconds, w.classification, w.alert_level, w.baseline_bpm, w.variability_bpm,
             w.features, w.data_quality, w.reasons, w.limitations) for w in report.windows]


@needs_database
@pytest.mark.parametrize("record", CSV_RECORDS)
def test_real_record_gives_the_reports_of_its_csv_export(record: str) -> None:
    csv_path = CSV_DIR / f"{record}.csv"
    expected = pulsequill.analyze_file(csv_path, ga_weeks=None, **ROLLING)
    # Started at the export's first time, the record reproduces the export's report to the byte.
    first_date = csv_path.read_text().splitlines()[1].split(",")[0]
    recording = read_wfdb(WFDB_DIR / record, start=dt.datetime.fromisoformat(first_date))
    assert recording.signals == {"HR1": "FHR", "TOCO": "UC"}
    assert pulsequill.analyze_csv(recording.to_csv(), **ROLLING).text == expected.text
    # From the documented default start only the times differ; every verdict is the same.
    from_header = pulsequill.analyze_file(WFDB_DIR / f"{record}.hea", ga_weeks=None, **ROLLING)
    assert from_header.windows[0].window_start.text == DEFAULT_START.strftime("%Y-%m-%d %H:%M:%S.000")
    assert verdicts(from_header) == verdicts(expected)


@needs_database
def test_gestational_age_and_outcomes_come_from_the_header() -> None:
    with (WFDB_DIR / "outcomes.csv").open(newline="") as table:
        outcomes = {row["Name"]: row for row in csv.DictReader(table)}
    for record in sorted(outcomes)[::50]:
        recording = read_wfdb(WFDB_DIR / f"{record}.hea")
        assert recording.ga_weeks == int(outcomes[record]["Gestation [weeks]"]), record
        assert recording.clinical["pH"] == pytest.approx(float(outcomes[record]["pH"])), record
        assert not np.isin(recording.channels["HR1"], [0.0]).any()  # the monitors' 0 bpm is no value
        report = pulsequill.analyze_file(WFDB_DIR / f"{record}.hea")
        assert len(report.windows) == 1 and report.input.rows == recording.timestamp_ms.size


def write_record(directory: pathlib.Path, name: str, rows: list[dict], *,
                 signals: tuple[str, ...] = ("FHR", "MHR", "UC"), comments: list[str] | None = None) -> pathlib.Path:
    """The generated rows as a WFDB record (format 16, 0.01 resolution) with a base date and time."""
    keys = {"FHR": "hr1", "FHR1": "hr1", "ECG": "hr1", "MHR": "hrm", "UC": "toco"}
    columns = [[np.nan if row[keys[name]] is None else row[keys[name]] for row in rows] for name in signals]
    start = dt.datetime.fromisoformat(rows[0]["t"])
    wfdb.wrsamp(name, fs=1, units=["bpm"] * len(signals), sig_name=list(signals),
                p_signal=np.array(columns, dtype=np.float64).T, fmt=["16"] * len(signals),
                adc_gain=[100.0] * len(signals), baseline=[0] * len(signals), comments=comments or [],
                base_date=start.date(), base_time=start.time(), write_dir=str(directory))
    return directory / f"{name}.hea"


@pytest.mark.parametrize("scenario", sorted(ctg_synth.golden_recordings()))
def test_round_trip_through_wfdb_gives_the_csv_report(tmp_path: pathlib.Path, scenario: str) -> None:
    recording, options = ctg_synth.golden_recordings()[scenario]
    rows = recording.rows()
    header = write_record(tmp_path, scenario, rows)
    expected = pulsequill.analyze_csv(ctg_synth.to_csv(rows), **options)
    assert pulsequill.analyze_file(header, **options).text == expected.text


def test_header_gestational_age_selects_the_acceleration_criterion(tmp_path: pathlib.Path) -> None:
    # 12-bpm accelerations: counted before 32 weeks only.
    recording = ctg_synth.Recording(minutes=30, hz=1, variability_bpm=3.0, seed=5,
                                    fetal_events=[ctg_synth.Event(t, 40, 13.0) for t in range(700, 1700, 200)])
    rows = recording.rows()
    header = write_record(tmp_path, "preterm", rows, comments=["-- Fetus/Neonate descriptors", "Gest. weeks  31"])
    text = ctg_synth.to_csv(rows)
    from_header = pulsequill.analyze_file(header)
    assert from_header.text == pulsequill.analyze_csv(text, ga_weeks=31).text
    assert pulsequill.analyze_file(header, ga_weeks=40).text == pulsequill.analyze_csv(text, ga_weeks=40).text
    term = pulsequill.analyze_csv(text)
    assert from_header.windows[0].features.acceleration_count > term.windows[0].features.acceleration_count
    assert read_wfdb(header).clinical == {"Gest. weeks": 31}


@pytest.mark.parametrize(("signals", "problem"), [
    (("ECG", "UC"), "no fetal heart-rate signal"),
    (("FHR", "FHR1", "UC"), "both give HR1"),
])
def test_unknown_signal_layout_is_refused_naming_the_signals(tmp_path: pathlib.Path, signals: tuple[str, ...],
                                                             problem: str) -> None:
    rows = ctg_synth.Recording(minutes=2, hz=1).rows()
    header = write_record(tmp_path, "odd", rows, signals=signals)
    with pytest.raises(ValueError, match=problem) as refused:
        pulsequill.analyze_file(header)
    assert "signals found: " + ", ".join(signals) in str(refused.value)
