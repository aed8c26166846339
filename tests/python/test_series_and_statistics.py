"""Signal quality, baseline, variability and the heart-rate figures as whole
reports show them.

Synthetic recordings come from tools/ctg_synth.py; with no beat-to-beat wander
every second's fetal value is known, so counts and means can be stated
exactly. The real CTU-UHB recordings are checked against a small independent
reading of the same rules, written out below in plain Python.
"""

from __future__ import annotations

import datetime as dt
import json
import math

import pytest

import conftest
import ctg_synth
from ctg_synth import Plateau, Recording
from pulsequill import analyze_csv_string


def window_of(recording: Recording, **options) -> dict:
    report = json.loads(analyze_csv_string(ctg_synth.to_csv(recording.rows()), **options))
    return report["windows"][-1]


def printed(value: float) -> float:
    """A number as the report prints it: three decimals."""
    return float(f"{value:.3f}")


# ------------------------------------------------------ baseline and classes

@pytest.mark.parametrize(
    "baseline, variability, baseline_class, variability_class",
    [
        (140.0, 10.0, "normal", "moderate"),
        (100.0, 10.0, "bradycardia", "moderate"),
        (175.0, 10.0, "tachycardia", "moderate"),
        (140.0, 3.0, "normal", "minimal"),
        (140.0, 40.0, "normal", "marked"),
    ],
)
def test_baseline_and_variability_of_a_wandering_trace(baseline, variability, baseline_class, variability_class):
    window = window_of(Recording(minutes=20, baseline_bpm=baseline, variability_bpm=variability, seed=5))
    assert window["baseline_bpm"] == baseline
    assert window["baseline_class"] == baseline_class
    assert window["variability_class"] == variability_class


def test_flat_trace_has_absent_variability_not_a_missing_one():
    window = window_of(Recording(minutes=20, hz=1, variability_bpm=0.0))
    assert window["variability_bpm"] == 0.0
    assert window["variability_class"] == "absent"
    assert window["features"]["fetal_hr_std_dev_bpm"] == 0.0


def test_baseline_reads_only_the_last_ten_minutes():
    # 20 minutes at 140 bpm of which the first ten sit 30 bpm higher.
    window = window_of(Recording(minutes=20, hz=1, variability_bpm=0.0, fetal_events=[Plateau(0, 600, 30.0)]))
    assert window["baseline_bpm"] == 140
    features = window["features"]
    assert features["fetal_hr_mean_bpm"] == printed((600 * 170.0 + 601 * 140.0) / 1201)
    assert features["baseline_delta_mean_bpm"] == printed((600 * 170.0 + 601 * 140.0) / 1201 - 140.0)
    assert features["fetal_hr_median_bpm"] == 140.0  # index 600 of 1201 sorted values
    assert features["fetal_hr_seconds_above_160"] == 600
    assert features["fetal_hr_seconds_110_to_160"] == 601
    assert features["fetal_hr_percent_above_160"] == printed(600 / 1201 * 100)


def test_too_little_signal_leaves_baseline_and_classes_null():
    # Only 119 seconds of fetal signal in the last ten minutes.
    recording = Recording(minutes=20, hz=1, variability_bpm=0.0, fetal_gaps=[(600, 482)])
    window = window_of(recording)
    assert window["baseline_bpm"] is None
    assert window["baseline_class"] is None
    assert window["variability_bpm"] is None
    assert window["variability_class"] is None
    assert window["features"]["baseline_delta_mean_bpm"] is None
    assert window["features"]["fetal_hr_mean_bpm"] == 140.0


# ------------------------------------------------------------ signal quality

@pytest.mark.parametrize("hz, raw_samples", [(4.0, 4801), (1.0, 1201), (0.5, 601)])
def test_expected_seconds_do_not_depend_on_the_sampling_rate(hz, raw_samples):
    window = window_of(Recording(minutes=20, hz=hz))
    quality = window["data_quality"]
    assert quality["expected_seconds"] == 1201
    assert quality["raw_samples"] == raw_samples
    assert window["duration_seconds"] == 1200.0
    assert window["window_start"] == "2024-03-01 08:00:00"
    assert window["window_end"] == "2024-03-01 08:20:00"


@pytest.mark.parametrize(
    "fetal_gaps, toco_gaps, fetal_ratio, toco_ratio",
    [
        ([], [], 1.0, 1.0),
        ([(300, 120)], [], 1081 / 1201, 1.0),
        ([(0, 60), (600, 30)], [(100, 601)], 1111 / 1201, 600 / 1201),
        ([(0, 1201)], [(0, 1201)], 0.0, 0.0),
    ],
)
def test_gaps_lower_the_usable_ratios(fetal_gaps, toco_gaps, fetal_ratio, toco_ratio):
    # At 4 Hz a gap of whole seconds removes every sample of those seconds.
    recording = Recording(minutes=20, fetal_gaps=fetal_gaps, toco_gaps=toco_gaps)
    quality = window_of(recording)["data_quality"]
    assert quality["fetal_usable_ratio"] == printed(fetal_ratio)
    assert quality["toco_usable_ratio"] == printed(toco_ratio)
    assert quality["maternal_usable_ratio"] == 1.0


def test_window_without_maternal_signal():
    window = window_of(Recording(minutes=20, hz=1, maternal_bpm=None))
    assert window["data_quality"]["maternal_usable_ratio"] == 0.0
    assert window["data_quality"]["suspected_maternal_capture_ratio"] == 0.0
    assert window["features"]["maternal_hr_mean_bpm"] is None
    assert window["features"]["fetal_maternal_mean_difference_bpm"] is None


@pytest.mark.parametrize("maternal_bpm, capture_ratio", [(82.0, 0.0), (140.0, 1.0), (137.0, 1.0), (147.5, 0.0)])
def test_fetal_channel_tracking_the_maternal_rate(maternal_bpm, capture_ratio):
    # A flat fetal trace at 140 against a maternal rate swinging 2 bpm around its mean.
    window = window_of(Recording(minutes=20, hz=1, variability_bpm=0.0, maternal_bpm=maternal_bpm))
    assert window["data_quality"]["suspected_maternal_capture_ratio"] == capture_ratio


# --------------------------------------------- real recordings, read afresh

def read_recording(path) -> list[tuple[int, str, float | None, float | None, float | None]]:
    """(epoch ms, text, HR1, HRM, TOCO) per row, sorted stably by time."""
    epoch = dt.datetime(1970, 1, 1)
    rows = []
    lines = path.read_text().splitlines()
    header = [name.strip().upper() for name in lines[0].split(",")]
    column = {name: header.index(name) for name in ("DATE", "HR1", "HRM", "TOCO")}
    for line in lines[1:]:
        cells = line.split(",")

        def value(name, cells=cells):
            text = cells[column[name]].strip()
            return float(text) if text else None

        text = cells[column["DATE"]].strip()
        when = dt.datetime.fromisoformat(text)
        ms = (when - epoch) // dt.timedelta(milliseconds=1)
        rows.append((ms, text, value("HR1"), value("HRM"), value("TOCO")))
    rows.sort(key=lambda row: row[0])
    return rows


def in_order_sum(values) -> float:
    total = 0.0
    for v in values:
        total += v
    return total


def at_fraction(ordered, p):
    rank = (len(ordered) - 1) * p
    whole = math.floor(rank)
    return ordered[min(len(ordered) - 1, whole + (1 if rank - whole >= 0.5 else 0))]


def per_second(rows, start, end):
    """{second start: (fetal, maternal, toco) means} over [start, end]."""
    sums = {}
    for ms, _, fetal, maternal, toco in rows:
        if start <= ms <= end:
            acc = sums.setdefault(ms // 1000 * 1000, ([], [], []))
            for values, value, low, high in ((acc[0], fetal, 30, 240), (acc[1], maternal, 30, 240),
                                             (acc[2], toco, 0, 300)):
                if value is not None and low <= value <= high:
                    values.append(value)
    return {second: tuple(in_order_sum(v) / len(v) if v else None for v in acc) for second, acc in sums.items()}


def baseline_of(values):
    if len(values) < 120:
        return None
    ordered = sorted(values)
    k = len(ordered) // 10
    kept = ordered[k:len(ordered) - k]
    mean = in_order_sum(kept) / len(kept) / 5
    return 5 * (math.floor(mean) + (1 if mean - math.floor(mean) >= 0.5 else 0))


def variability_of(baseline, fetal_at, start, end):
    ranges = []
    t = start
    while t < end:
        minute_end = min(end, t + 60000)
        values = sorted(v for s, v in fetal_at.items() if t <= s < minute_end and abs(v - baseline) <= 25.0)
        if len(values) >= 30:
            ranges.append(at_fraction(values, 0.95) - at_fraction(values, 0.05))
        t = minute_end
    return at_fraction(sorted(ranges), 0.5) if len(ranges) >= 2 else None


RECORDINGS = sorted((conftest.SHARED_DATA / "ctu-uhb").glob("*.csv")) if conftest.SHARED_DATA.exists() else []


@pytest.mark.skipif(not RECORDINGS, reason="shared recordings are not available")
@pytest.mark.parametrize("path", RECORDINGS, ids=lambda p: p.stem)
def test_real_recording_figures_follow_the_rules(path):
    rows = read_recording(path)
    window = json.loads(analyze_csv_string(path.read_text()))["windows"][0]

    first, last = rows[0][0], rows[-1][0]
    start = last - 1800000 if last - first > 1800000 else first
    seconds = per_second(rows, start, last)
    expected_seconds = last // 1000 - start // 1000 + 1
    fetal_at = {s: v[0] for s, v in seconds.items() if v[0] is not None}
    fetal = list(fetal_at.values())

    quality = window["data_quality"]
    assert quality["expected_seconds"] == expected_seconds
    assert quality["raw_samples"] == sum(1 for row in rows if start <= row[0] <= last)
    assert quality["fetal_usable_ratio"] == printed(len(fetal) / expected_seconds)
    toco_seconds = sum(1 for v in seconds.values() if v[2] is not None)
    assert quality["toco_usable_ratio"] == printed(toco_seconds / expected_seconds)
    assert window["window_start"] == next(row[1] for row in rows if row[0] >= start)

    recent = max(start, last - 600000)
    baseline = baseline_of([v for s, v in fetal_at.items() if recent <= s <= last])
    assert window["baseline_bpm"] == baseline
    if baseline is not None:
        variability = variability_of(float(baseline), fetal_at, recent, last)
        assert window["variability_bpm"] == (None if variability is None else printed(variability))

    features = window["features"]
    if fetal:
        ordered = sorted(fetal)
        mean = in_order_sum(ordered) / len(ordered)
        std_dev = math.sqrt(in_order_sum((v - mean) * (v - mean) for v in ordered) / len(ordered))
        assert features["fetal_hr_min_bpm"] == printed(ordered[0])
        assert features["fetal_hr_p05_bpm"] == printed(at_fraction(ordered, 0.05))
        assert features["fetal_hr_mean_bpm"] == printed(mean)
        assert features["fetal_hr_median_bpm"] == printed(at_fraction(ordered, 0.5))
        assert features["fetal_hr_p95_bpm"] == printed(at_fraction(ordered, 0.95))
        assert features["fetal_hr_max_bpm"] == printed(ordered[-1])
        assert features["fetal_hr_std_dev_bpm"] == printed(std_dev)
        below = sum(1 for v in fetal if v < 110.0)
        above = sum(1 for v in fetal if v > 160.0)
        assert features["fetal_hr_seconds_below_110"] == below
        assert features["fetal_hr_seconds_above_160"] == above
        assert features["fetal_hr_seconds_110_to_160"] == len(fetal) - below - above
        assert features["fetal_hr_percent_below_110"] == printed(below / len(fetal) * 100)
