"""Cross-check of whole window reports against the independent reference model.

Every printed field of every window, and the input summary, must agree with
`reference_model` (numbers compared in their printed three-decimal form). The
recordings are the real intrapartum traces and synthetic ones whose placed
events make each stage of the verdict fire: accelerations at both gestational
criteria, early, late, variable, gradual and prolonged decelerations,
tachysystole, gaps, seconds without samples, maternal capture, other channels.
"""

from __future__ import annotations

import json
import random

import pytest

import conftest
import reference_model as rm
from ctg_synth import Event, Plateau, Recording, contractions_every, to_csv, to_request
from pulsequill import _native

REAL_DATA = conftest.SHARED_DATA / "ctu-uhb"
REAL_FILES = sorted(REAL_DATA.glob("*.csv")) if REAL_DATA.is_dir() else []


def report_of(text: str, **kwargs) -> dict:
    # Numbers stay as their printed text, so the comparison sees what a reader sees.
    return json.loads(_native.analyze_csv_string(text, **kwargs), parse_float=str)


def assert_agrees(model: dict, report: dict) -> None:
    diffs = rm.differences(model, report)
    assert not diffs, "\n".join(f"{where}: expected {expected!r}, got {actual!r}"
                                for where, expected, actual in diffs[:20])


def check_csv(text: str, **kwargs) -> dict:
    model = rm.analyze(rm.read_csv(text), **kwargs)
    assert_agrees(model, report_of(text, **kwargs))
    return model


class Ramp:
    """A gradual deceleration: a straight fall to `amplitude` over `fall_s`, then a straight recovery."""

    def __init__(self, start_s: float, amplitude: float, fall_s: float = 80.0, rise_s: float = 20.0):
        self.start_s, self.amplitude, self.fall_s, self.rise_s = start_s, amplitude, fall_s, rise_s

    def offset(self, t: float) -> float:
        u = t - self.start_s
        if u < 0 or u > self.fall_s + self.rise_s:
            return 0.0
        if u <= self.fall_s:
            return self.amplitude * u / self.fall_s
        return self.amplitude * (1.0 - (u - self.fall_s) / self.rise_s)


def every(period_s: float, duration_s: float = 90.0, amplitude: float = 50.0, end_s: float = 35 * 60.0):
    return contractions_every(period_s, duration_s=duration_s, amplitude=amplitude, end_s=end_s)


def without_seconds(rows: list, hz: float, spans: list) -> list:
    """Drops every row of the given (start_s, length_s) spans: whole seconds without samples."""
    return [r for i, r in enumerate(rows) if not any(a <= i / hz < a + n for a, n in spans)]


def kinds(window: dict) -> list:
    return [d.kind for d in window["_decelerations"]]


EVERY_4 = every(240)
EVERY_7 = every(420)
ACCELERATIONS = [Event(t, 40, 25.0) for t in (900, 1300, 1700, 1950)] + [Event(t, 30, 14.0) for t in (1100, 1500)]

# name: (recording, drop spans, analyze_csv_string arguments, what the last window must show for the
# case to exercise its rule)
SYNTHETIC = {
    "accelerations at 40 weeks (15 bpm criterion)": (
        Recording(minutes=35, variability_bpm=8, seed=2, contractions=EVERY_4, fetal_events=ACCELERATIONS),
        [], {"ga_weeks": 40}, lambda w: w["features"]["acceleration_count"] == 4),
    "accelerations at 31 weeks (10 bpm criterion)": (
        Recording(minutes=35, variability_bpm=8, seed=2, contractions=EVERY_4, fetal_events=ACCELERATIONS),
        [], {"ga_weeks": 31}, lambda w: w["features"]["acceleration_count"] >= 5),
    "early decelerations": (
        Recording(minutes=35, variability_bpm=8, seed=3, contractions=EVERY_7,
                  fetal_events=[Ramp(c.start_s - 35, -40.0) for c in EVERY_7]),
        [], {}, lambda w: "early" in kinds(w) and w["classification"] == "category_i"),
    "late decelerations": (
        Recording(minutes=35, variability_bpm=8, seed=4, contractions=EVERY_7,
                  fetal_events=[Ramp(c.start_s - 5, -40.0) for c in EVERY_7]),
        [], {}, lambda w: "recurrent late decelerations" in w["high_risk_features"]),
    "gradual decelerations before the peak or without a contraction": (
        Recording(minutes=35, variability_bpm=8, seed=23, contractions=EVERY_7,
                  fetal_events=[Ramp(c.start_s - 55, -40.0) for c in EVERY_7] + [Ramp(1950, -40.0)]),
        [], {}, lambda w: "gradual" in kinds(w)),
    "absent variability with recurrent late decelerations": (
        Recording(minutes=35, variability_bpm=0.6, seed=12, contractions=EVERY_7,
                  fetal_events=[Ramp(c.start_s - 5, -40.0) for c in EVERY_7]),
        [], {}, lambda w: w["classification"] == "category_iii"),
    "variable decelerations, one deep": (
        Recording(minutes=35, variability_bpm=8, seed=5, contractions=EVERY_7,
                  fetal_events=[Event(c.start_s + 20, 40, -45.0) for c in EVERY_7] + [Event(1000, 70, -75.0)]),
        [], {}, lambda w: "severe variable deceleration" in w["high_risk_features"]),
    "two prolonged decelerations": (
        Recording(minutes=35, variability_bpm=8, seed=6, contractions=EVERY_7,
                  fetal_events=[Plateau(900, 150, -35.0), Event(1500, 300, -40.0)]),
        [], {}, lambda w: "more than one prolonged deceleration" in w["high_risk_features"]),
    "contractions every 100 s over 35 minutes": (
        Recording(minutes=35, variability_bpm=8, seed=7, contractions=every(100, duration_s=60)),
        [], {}, lambda w: w["tachysystole"] is False and w["contractions"] == 12),
    "tachysystole, contractions every 70 s": (
        Recording(minutes=35, variability_bpm=8, seed=8, contractions=every(70, duration_s=50)),
        [], {}, lambda w: w["tachysystole"] is True),
    "signal gaps on fetal and TOCO channels": (
        Recording(minutes=35, variability_bpm=10, seed=9, contractions=EVERY_4,
                  fetal_gaps=[(t, 100) for t in range(50, 35 * 60, 300)],
                  toco_gaps=[(t, 90) for t in range(200, 35 * 60, 400)]),
        [], {}, lambda w: w["data_quality"]["fetal_usable_ratio"] < 1.0),
    "fetal signal mostly lost": (
        Recording(minutes=35, variability_bpm=8, seed=26, contractions=EVERY_4,
                  fetal_gaps=[(t, 200) for t in range(0, 35 * 60, 300)]),
        [], {}, lambda w: w["alert_level"] == "data_quality"),
    "sparse TOCO": (
        Recording(minutes=35, variability_bpm=8, seed=24, contractions=EVERY_4,
                  toco_gaps=[(t, 150) for t in range(0, 35 * 60, 200)]),
        [], {}, lambda w: w["tachysystole"] is None),
    "seconds without samples at event ends": (
        Recording(minutes=35, variability_bpm=8, seed=27, contractions=EVERY_7,
                  fetal_events=[Ramp(c.start_s - 5, -40.0) for c in EVERY_7]),
        [(c.start_s + 95, 3) for c in EVERY_7] + [(c.start_s + 62, 4) for c in EVERY_7] + [(700, 40)], {},
        lambda w: any(rm.decel_times(d) is None for d in w["_decelerations"])),
    "maternal heart rate close to the fetal trace": (
        Recording(minutes=35, variability_bpm=6, seed=10, maternal_bpm=139.0, contractions=EVERY_4),
        [], {}, lambda w: w["data_quality"]["suspected_maternal_capture_ratio"] > 0.25),
    "bradycardia with absent variability": (
        Recording(minutes=35, baseline_bpm=100, variability_bpm=0.6, seed=13, contractions=EVERY_7),
        [], {}, lambda w: w["classification"] == "category_iii"),
    "baseline rising from normal to tachycardia": (
        Recording(minutes=35, baseline_bpm=145, variability_bpm=4, seed=14, contractions=EVERY_7,
                  fetal_events=[Plateau(23 * 60, 13 * 60, 30.0)]),
        [], {}, lambda w: "baseline changed from normal to tachycardia" in w["high_risk_features"]),
    "persistent minimal variability": (
        Recording(minutes=35, baseline_bpm=150, variability_bpm=3.5, seed=15, contractions=EVERY_4),
        [], {}, lambda w: "persistent minimal variability for at least 20 minutes" in w["high_risk_features"]),
    "marked variability": (
        Recording(minutes=35, variability_bpm=45, seed=16, contractions=EVERY_4),
        [], {}, lambda w: w["variability_class"] == "marked"),
    "flat trace with plateaus (equal peaks and nadirs)": (
        Recording(minutes=35, variability_bpm=0, seed=1, contractions=EVERY_7,
                  fetal_events=[Plateau(1000, 40, 20.0), Plateau(1200, 25, 20.0), Plateau(1500, 40, -20.0)]),
        [], {}, lambda w: w["features"]["acceleration_count"] == 1),
    "channel HR2": (
        Recording(minutes=35, variability_bpm=8, seed=17, channel="HR2", contractions=EVERY_4,
                  fetal_events=[Ramp(c.start_s - 5, -40.0) for c in EVERY_4[4:]]),
        [], {"channel": "HR2"}, lambda w: w["baseline_bpm"] is not None),
    "channel hr3 in lower case": (
        Recording(minutes=35, variability_bpm=8, seed=18, channel="HR3", contractions=EVERY_4,
                  fetal_events=[Event(t, 40, 25.0) for t in (900, 1500)]),
        [], {"channel": " hr3 "}, lambda w: w["features"]["acceleration_count"] == 2),
    "5-minute recording": (
        Recording(minutes=5, variability_bpm=8, seed=19, contractions=every(100, end_s=300)),
        [], {}, lambda w: len(w["limitations"]) == 4),
    "15-minute recording": (
        Recording(minutes=15, variability_bpm=8, seed=20, contractions=every(200, end_s=900)),
        [], {}, lambda w: w["duration_seconds"] == 900.0),
    "rolling 10-minute windows, 60 s step": (
        Recording(minutes=35, variability_bpm=8, seed=21, contractions=EVERY_4,
                  fetal_events=[Ramp(c.start_s - 5, -40.0) for c in EVERY_4]
                  + [Event(t, 40, 25.0) for t in (500, 1400)]),
        [], {"window_min": 10, "step_sec": 60}, lambda w: w["contractions"] > 0),
    "one sample a second, rolling 20-minute windows": (
        Recording(minutes=40, hz=1, variability_bpm=8, seed=22, contractions=EVERY_4,
                  fetal_events=[Ramp(c.start_s - 35, -40.0) for c in EVERY_4]),
        [], {"window_min": 20, "step_sec": 300}, lambda w: w["features"]["deceleration_count"] > 0),
}


@pytest.mark.parametrize("name", list(SYNTHETIC))
def test_synthetic_recording_agrees_with_reference(name):
    recording, drops, kwargs, shows = SYNTHETIC[name]
    rows = without_seconds(recording.rows(), recording.hz, drops)
    model = check_csv(to_csv(rows), **kwargs)
    assert shows(model["windows"][-1]), "the recording no longer exercises its rule"


@pytest.mark.parametrize("name", [n for n in SYNTHETIC if "window_min" not in SYNTHETIC[n][2]][:8])
def test_json_request_agrees_with_reference(name):
    recording, drops, kwargs, _ = SYNTHETIC[name]
    rows = without_seconds(recording.rows(), recording.hz, drops)
    model = rm.analyze(rm.read_csv(to_csv(rows)), **kwargs)
    request = to_request(rows, channel=kwargs.get("channel"), ga_weeks=kwargs.get("ga_weeks"))
    assert_agrees(model, json.loads(_native.analyze_json_string(request), parse_float=str))


HEADER = "Date,HR1,HR2,HR3,HRM,TOCO\n"


def _odd_cells() -> str:
    rows = Recording(minutes=31, variability_bpm=8, seed=31, contractions=every(240)).rows()
    odd = ["nan", "inf", "-inf", "+1.4e2", ".5", "140.", "250", "0"]
    lines = [f"{r['t']},{odd[i % 8] if i % 13 == 0 else r['hr1']},,,{r['hrm']},{'-0' if i % 5 == 0 else r['toco']}"
             for i, r in enumerate(rows)]
    # A few rows out of order and a repeated time.
    lines[100], lines[101] = lines[101], lines[100]
    lines.insert(200, lines[200])
    return HEADER + "\n".join(lines) + "\n"


def _terse_texts() -> str:
    """Late decelerations whose times are written without leading zeros and with a T, as some monitors do:
    the texts are kept as written and must still be read back for the typing."""
    recording, drops, _, _ = SYNTHETIC["late decelerations"]
    rows = recording.rows()
    for r in rows:
        date, time = r["t"].split(" ")
        y, mo, d = date.split("-")
        h, mi, sec = time.split(":")
        whole, _, frac = sec.partition(".")
        r["t"] = (f"{int(y)}-{int(mo)}-{int(d)}T{int(h)}:{int(mi)}:{int(whole)}"
                  + (f".{frac.rstrip('0')}" if frac else ""))
    return to_csv(rows)


def _long_hole() -> str:
    """Twenty-five minutes without any row: some rolling windows select no sample at all."""
    rows = Recording(minutes=45, hz=1, variability_bpm=8, seed=33, contractions=every(240, end_s=45 * 60)).rows()
    return to_csv(rows[:600] + rows[2100:])


SMALL_INPUTS = {
    "terse time texts": (_terse_texts(), {}),
    "rolling windows across a long hole": (_long_hole(), {"window_min": 10, "step_sec": 60}),
    "header only": (HEADER, {}),
    "one sample": (HEADER + "2024-03-01 08:00:00.250,140,,,80,10\n", {}),
    "one sample, rolling": (HEADER + "2024-03-01 08:00:00.250,140,,,80,10\n", {"window_min": 10}),
    "many samples in one second": (
        HEADER + "".join(f"2024-03-01 08:00:00.{i:03d},{140 + i % 7},,,,{i % 3}\n" for i in range(0, 1000, 37)), {}),
    "unusable, odd and negative-zero cells": (_odd_cells(), {}),
    "before the epoch, step 0": (to_csv(Recording(minutes=12, start="1969-12-31 23:55:00", seed=32).rows()),
                                 {"window_min": 10, "step_sec": 0}),
}


@pytest.mark.parametrize("name", list(SMALL_INPUTS))
def test_small_input_agrees_with_reference(name):
    text, kwargs = SMALL_INPUTS[name]
    check_csv(text, **kwargs)


def one_hz_csv(seconds: int, fetal, maternal=lambda i: None, toco=lambda i: None) -> str:
    """A hand-made trace, one row a second; each channel a function of the second's index."""
    def cell(v):
        return "" if v is None else repr(float(v))
    start = 1709280000  # 2024-03-01 08:00:00 UTC
    lines = [HEADER.strip()]
    for i in range(seconds):
        t = start + i
        text = f"2024-03-01 {t // 3600 % 24:02d}:{t // 60 % 60:02d}:{t % 60:02d}"
        lines.append(",".join([text, cell(fetal(i)), "", "", cell(maternal(i)), cell(toco(i))]))
    return "\n".join(lines) + "\n"


def _pulses(period: int, first: int = 0):
    # TOCO at rest 10, a 20-second contraction at 60 every `period` seconds, nothing before `first`.
    return lambda i: None if i < first else (60.0 if i % period < 20 else 10.0)


# Thresholds met exactly: (trace, what the window must show).
BOUNDARIES = {
    "capture ratio exactly 0.25": (
        one_hz_csv(1801, lambda i: 140.0, lambda i: None if i == 1800 else (135.0 if i % 4 == 0 else 100.0)),
        lambda w: w["data_quality"]["suspected_maternal_capture_ratio"] == 0.25),
    "capture ratio 0.26": (
        one_hz_csv(1801, lambda i: 140.0,
                   lambda i: None if i == 1800 else (135.0 if i % 4 == 0 or i % 100 == 1 else 100.0)),
        lambda w: w["data_quality"]["suspected_maternal_capture_ratio"] == 0.26),
    "variability exactly 1.0": (one_hz_csv(1801, lambda i: 140.0 + i % 2), lambda w: w["variability_bpm"] == 1.0),
    "variability exactly 5.0": (one_hz_csv(1801, lambda i: 140.0 + 5 * (i % 2)),
                                lambda w: w["variability_bpm"] == 5.0),
    "variability exactly 25.0": (one_hz_csv(1801, lambda i: 130.0 + 25 * (i % 2)),
                                 lambda w: w["variability_bpm"] == 25.0),
    "TOCO usable ratio exactly 0.5": (one_hz_csv(1800, lambda i: 140.0, toco=lambda i: 10.0 if i % 2 == 0 else None),
                                      lambda w: w["data_quality"]["toco_usable_ratio"] == 0.5),
    "1199 TOCO seconds": (one_hz_csv(1801, lambda i: 140.0, toco=_pulses(70, first=602)),
                          lambda w: w["tachysystole"] is None),
    "1200 TOCO seconds": (one_hz_csv(1801, lambda i: 140.0, toco=_pulses(70, first=601)),
                          lambda w: w["tachysystole"] is True),
    "16 contractions in 20 minutes": (one_hz_csv(1801, lambda i: 140.0, toco=_pulses(75)),
                                      lambda w: w["contractions"] == 16),
    "15 contractions in 20 minutes": (one_hz_csv(1801, lambda i: 140.0, toco=_pulses(80)),
                                      lambda w: w["contractions"] == 15 and w["tachysystole"] is False),
}


@pytest.mark.parametrize("name", list(BOUNDARIES))
def test_threshold_met_exactly_agrees_with_reference(name):
    text, shows = BOUNDARIES[name]
    model = check_csv(text)
    assert shows(model["windows"][-1]), "the trace no longer meets its threshold exactly"


def random_recording(seed: int):
    """A recording with randomly placed events, gaps, missing seconds and unusable values."""
    r = random.Random(seed)
    minutes = r.choice([4, 9.5, 12, 19.9, 20, 25, 30, 31, 35, 45])
    hz = r.choice([0.5, 1, 2, 3, 4])
    span = minutes * 60
    contractions = []
    if r.random() < 0.85:
        contractions = contractions_every(r.choice([60, 70, 90, 100, 150, 240, 420]),
                                          duration_s=r.choice([40, 60, 90]), amplitude=r.choice([10, 20, 50, 80]),
                                          start_s=r.uniform(0, 100), end_s=span)
    events = []
    for _ in range(r.randint(0, 12)):
        t, kind = r.uniform(0, span), r.random()
        if kind < 0.25:
            events.append(Event(t, r.uniform(8, 140), r.uniform(8, 35)))
        elif kind < 0.45:
            events.append(Event(t, r.uniform(10, 80), -r.uniform(10, 70)))
        elif kind < 0.6:
            events.append(Plateau(t, r.uniform(5, 700), r.choice([-1, 1]) * r.uniform(5, 50)))
        else:
            if contractions and r.random() < 0.7:
                t = r.choice(contractions).start_s + r.uniform(-60, 30)
            events.append(Ramp(t, -r.uniform(15, 60), r.uniform(20, 120), r.uniform(5, 60)))
    channel = r.choice(["HR1", "HR1", "HR2", "HR3"])
    recording = Recording(
        minutes=minutes, hz=hz, baseline_bpm=r.uniform(90, 185), variability_bpm=r.choice([0, 0.5, 2, 4, 8, 15, 40]),
        maternal_bpm=r.choice([None, 80.0, r.uniform(90, 180)]), toco_rest=r.choice([None, 5.0, 12.0, 30.0]),
        fetal_events=events, contractions=contractions, channel=channel, seed=seed,
        fetal_gaps=[(r.uniform(0, span), r.uniform(1, 200)) for _ in range(r.randint(0, 4))],
        toco_gaps=[(r.uniform(0, span), r.uniform(1, 400)) for _ in range(r.randint(0, 4))],
        start=r.choice(["2024-03-01 08:00:00", "2024-02-29 23:45:13", "1969-12-31 23:50:00"]))
    rows = without_seconds(recording.rows(), hz, [(int(r.uniform(0, span)), r.choice([1, 2, 3, 5, 30, 90]))
                                                  for _ in range(r.randint(0, 5))])
    for _ in range(r.randint(0, 6)):
        if rows:
            r.choice(rows)[r.choice(["hr1", "hr2", "hr3", "hrm", "toco"])] = r.choice(
                [0.0, 29.9, 30.0, 240.0, 240.1, -0.1, 300.0, 300.1])
    for _ in range(r.randint(0, 3)):
        if len(rows) > 3:
            i = r.randrange(len(rows) - 2)
            if r.random() < 0.5:
                rows.insert(i, dict(rows[i]))
            else:
                rows[i], rows[i + 1] = rows[i + 1], rows[i]
    kwargs = {"channel": channel}
    if r.random() < 0.5:
        kwargs["ga_weeks"] = r.choice([25, 31, 32, 40])
    if r.random() < 0.5:
        kwargs["window_min"] = r.choice([10, 15, 20, 30])
        kwargs["step_sec"] = r.choice([45, 60, 300, 1000])
    return to_csv(rows), kwargs


@pytest.mark.parametrize("seed", range(40))
def test_random_recording_agrees_with_reference(seed):
    text, kwargs = random_recording(seed)
    check_csv(text, **kwargs)


@pytest.mark.skipif(not REAL_FILES, reason="shared CTU-UHB recordings not present")
@pytest.mark.parametrize("path", REAL_FILES, ids=lambda p: p.stem)
def test_real_recording_agrees_with_reference(path):
    text = path.read_text(encoding="utf-8")
    data = rm.read_csv(text)
    modes = [{}, {"window_min": 20, "step_sec": 300}]
    if path.stem in ("1001", "1162", "1344", "2005", "2045"):
        modes.append({"window_min": 10, "step_sec": 60})
    for kwargs in modes:
        assert_agrees(rm.analyze(data, **kwargs), report_of(text, **kwargs))


# The model's own helpers, on the worked examples of the rules, so that an
# agreement above is agreement with the rules and not with a shared mistake.

@pytest.mark.parametrize("x, expected", [(0.5, 1), (1.5, 2), (2.5, 3), (-0.5, -1), (-2.5, -3),
                                         (0.49999999999999994, 0), (27.5, 28), (26.48, 26)])
def test_model_rounds_halves_away_from_zero(x, expected):
    assert rm.round_half_away(x) == expected


@pytest.mark.parametrize("values, p, expected", [
    ([100.0, 120.0], 0.5, 120.0), ([100.0, 120.0], 0.05, 100.0),
    ([float(i) for i in range(11)], 0.05, 1.0), ([float(i) for i in range(11)], 0.95, 10.0),
    ([0.0, -0.0], 0.0, -0.0)])
def test_model_nearest_rank_percentile(values, p, expected):
    got = rm.value_at_fraction(rm.sort_values(values), p)
    assert (got, str(got)) == (expected, str(expected))


def _seconds(values: list) -> list:
    return [rm.Second(i * 1000, "", v, None, None) for i, v in enumerate(values)]


@pytest.mark.parametrize("values, expected", [
    ([60.0] * 12 + [200.0] * 12 + [141.0] * 96, 140),
    ([137.5] * 120, 140),
    ([132.4] * 120, 130),
    ([140.0] * 119, None)])
def test_model_baseline_examples(values, expected):
    assert rm.estimate_baseline(_seconds(values), 0, 10**9) == expected


@pytest.mark.parametrize("minutes, window_min, step, expected_ends", [
    (25.5, 10, 60, [m * 60000 for m in range(10, 26)] + [25.5 * 60000]),
    (25.0, 10, 60, [m * 60000 for m in range(10, 26)]),
    (15.0, 20, 60, [15 * 60000]),
    (25.0, 10, 1800, [10 * 60000, 25 * 60000])])
def test_model_rolling_window_ends(minutes, window_min, step, expected_ends):
    bounds = rm.window_bounds(0, int(minutes * 60000), window_min, step)
    assert [end for _, end in bounds] == expected_ends


@pytest.mark.parametrize("text, expected", [
    ("2024-03-01 10:00:00", 1709287200000), ("2024-03-01 10:00:00.5", 1709287200500),
    ("1969-12-31 23:59:59.999", -1), ("2024-02-30 00:00:00", 1709251200000), ("5000ms", None)])
def test_model_reads_plain_times_only(text, expected):
    assert rm.parse_plain_timestamp(text) == expected
