"""Accelerations, decelerations and contractions as whole reports show them.

Recordings come from tools/ctg_synth.py at 1 Hz. Where an edge must be hit to
the second, the trace is perfectly flat (no beat-to-beat wander) and events are
plateaus, so every second's value is known; the chunk window then covers the
last 30 minutes and events are searched in its last 20.
"""

from __future__ import annotations

import json

import pytest

import conftest
import ctg_synth
from ctg_synth import Event, Plateau, Recording
from pulsequill import analyze_csv_string, analyze_json_string

LATE = "late deceleration"
GRADUAL = "gradual deceleration not classifiable without clearer TOCO association"


def flat(**fields) -> Recording:
    """30 minutes at exactly 140 bpm, TOCO resting at 12."""
    return Recording(minutes=30, hz=1, variability_bpm=0.0, **fields)


def window_of(recording: Recording, **options) -> dict:
    report = json.loads(analyze_csv_string(ctg_synth.to_csv(recording.rows()), **options))
    return report["windows"][-1]


def features_of(recording: Recording, **options) -> dict:
    return window_of(recording, **options)["features"]


# ------------------------------------------------------------ accelerations

ACCELERATIONS = [
    ("31 weeks: 10 bpm for 10 s", [Plateau(700, 10, 10.0)], 31, 1),
    ("32 weeks: 10 bpm for 10 s", [Plateau(700, 10, 10.0)], 32, 0),
    ("no age: 10 bpm for 10 s", [Plateau(700, 10, 10.0)], None, 0),
    ("15 bpm for 15 s", [Plateau(700, 15, 15.0)], None, 1),
    ("a 3-second dip is bridged", [Plateau(700, 10, 15.0), Plateau(713, 10, 15.0)], None, 1),
    ("a 4-second dip splits into two short rises", [Plateau(700, 10, 15.0), Plateau(714, 10, 15.0)], None, 0),
    ("a 25 s plateau", [Plateau(700, 25, 20.0)], None, 1),
    ("a 40 s plateau peaks too late", [Plateau(700, 40, 20.0)], None, 0),
    ("before the last 20 minutes", [Plateau(300, 25, 20.0)], None, 0),
    ("two rises", [Plateau(700, 25, 20.0), Plateau(900, 20, 25.0)], None, 2),
]


@pytest.mark.parametrize("name, events, ga_weeks, count", ACCELERATIONS, ids=[c[0] for c in ACCELERATIONS])
def test_acceleration_count(name, events, ga_weeks, count):
    features = features_of(flat(fetal_events=events), ga_weeks=ga_weeks)
    assert features["acceleration_count"] == count
    assert features["deceleration_count"] == 0


def test_gestational_age_from_a_json_request():
    rows = flat(fetal_events=[Plateau(700, 10, 10.0)]).rows()
    preterm = json.loads(analyze_json_string(ctg_synth.to_request(rows, ga_weeks=31)))["windows"][-1]
    term = json.loads(analyze_json_string(ctg_synth.to_request(rows, ga_weeks=32)))["windows"][-1]
    assert preterm["features"]["acceleration_count"] == 1
    assert term["features"]["acceleration_count"] == 0


def test_smooth_accelerations_on_a_wandering_trace():
    recording = Recording(minutes=30, hz=1, variability_bpm=4.0,
                          fetal_events=[Event(t, 40, 30.0) for t in (650, 800, 1000)])
    assert features_of(recording)["acceleration_count"] == 3


# ------------------------------------------------------------ decelerations

DECELERATIONS = [
    ("125 for 15 s", [Plateau(700, 15, -15.0)], [], 1, 0, 15.0, 125.0),
    ("125.5 for 30 s", [Plateau(700, 30, -14.5)], [], 0, 0, 0.0, None),
    ("20, 30 and 150 s", [Plateau(620, 20, -30.0), Plateau(700, 30, -40.0), Plateau(800, 150, -20.0)], [],
     3, 1, 200.0, 100.0),
    ("120 s is prolonged", [Plateau(700, 120, -20.0)], [], 1, 1, 120.0, 120.0),
    ("a 3-second loss of signal is bridged", [Plateau(700, 30, -20.0)], [(710, 3)], 1, 0, 30.0, 120.0),
    ("a 4-second loss of signal splits", [Plateau(700, 30, -20.0)], [(710, 4)], 1, 0, 16.0, 120.0),
    ("before the last 20 minutes", [Plateau(500, 30, -20.0)], [], 0, 0, 0.0, None),
]


@pytest.mark.parametrize("name, events, fetal_gaps, count, prolonged, total, nadir", DECELERATIONS,
                         ids=[c[0] for c in DECELERATIONS])
def test_deceleration_aggregates(name, events, fetal_gaps, count, prolonged, total, nadir):
    features = features_of(flat(fetal_events=events, fetal_gaps=fetal_gaps))
    assert features["deceleration_count"] == count
    assert features["prolonged_deceleration_count"] == prolonged
    assert features["total_deceleration_seconds"] == total
    assert features["deepest_deceleration_nadir_bpm"] == nadir
    assert features["max_deceleration_depth_bpm"] == (None if nadir is None else 140.0 - nadir)


def test_no_baseline_means_no_events():
    # The signal is lost for the last ten minutes, so there is no baseline to
    # measure the earlier deceleration and acceleration against.
    recording = flat(fetal_events=[Plateau(700, 30, -20.0), Plateau(900, 25, 20.0)], fetal_gaps=[(1200, 601)])
    window = window_of(recording)
    assert window["baseline_bpm"] is None
    features = window["features"]
    assert (features["acceleration_count"], features["deceleration_count"],
            features["prolonged_deceleration_count"]) == (0, 0, 0)
    assert features["total_deceleration_seconds"] == 0.0
    assert features["deepest_deceleration_nadir_bpm"] is None
    assert features["max_deceleration_depth_bpm"] is None


# A gradual deceleration (150 s, 30 bpm deep, lowest at 700 + 75 s) against one
# contraction whose peak lies `lag` seconds before that lowest point.
TIMINGS = [
    ("no contraction", [], False, True),
    ("peak with the nadir: early", [Event(775 - 60, 120, 50.0)], False, False),
    ("peak 20 s before the nadir: late", [Event(755 - 60, 120, 50.0)], True, False),
    ("peak 30 s after the nadir: still gradual", [Event(805 - 60, 120, 50.0)], False, True),
]


@pytest.mark.parametrize("name, contractions, late, gradual", TIMINGS, ids=[c[0] for c in TIMINGS])
def test_gradual_deceleration_timed_against_contractions(name, contractions, late, gradual):
    recording = flat(fetal_events=[Event(700, 150, -30.0)], contractions=contractions)
    window = window_of(recording)
    assert window["features"]["deceleration_count"] == 1
    assert window["contractions"] == len(contractions)
    assert (LATE in window["reasons"]) == late
    assert (GRADUAL in window["reasons"]) == gradual


# ------------------------------------------------------------- contractions

def every(seconds: int, count: int, first: int = 620, duration: int = 40) -> list[Event]:
    return [Event(first + seconds * k, duration, 50.0) for k in range(count)]


THIRTY_MINUTES = [
    ("12 contractions", every(90, 12), [], 12, False),
    ("15 contractions", every(70, 15), [], 15, False),
    ("16 contractions", every(70, 16), [], 16, True),
    ("16 contractions, 1199 TOCO seconds", every(70, 16), [(0, 602)], 16, None),
    ("16 contractions, 1200 TOCO seconds", every(70, 16), [(0, 601)], 16, True),
    ("only those of the last 20 minutes count", every(120, 4, first=60) + every(120, 4, first=700), [], 4, False),
]


@pytest.mark.parametrize("name, contractions, toco_gaps, count, tachysystole", THIRTY_MINUTES,
                         ids=[c[0] for c in THIRTY_MINUTES])
def test_contractions_of_a_thirty_minute_window(name, contractions, toco_gaps, count, tachysystole):
    window = window_of(Recording(minutes=30, hz=1, contractions=contractions, toco_gaps=toco_gaps))
    assert window["contractions"] == count
    assert window["features"]["contraction_count"] == count
    # The rate divides by the whole 30 minutes.
    assert window["contractions_per_10_min"] == pytest.approx(count / 3, abs=5e-4)
    assert window["features"]["contractions_per_10_min"] == window["contractions_per_10_min"]
    assert window["tachysystole"] is tachysystole


def test_ten_minute_window_rate_is_the_count():
    recording = Recording(minutes=30, hz=1, contractions=every(90, 20, first=30))
    window = window_of(recording, window_min=10, last_only=True)
    assert window["contractions"] > 0
    assert window["contractions_per_10_min"] == window["contractions"]
    assert window["tachysystole"] is None


def test_no_toco():
    window = window_of(Recording(minutes=30, hz=1, toco_rest=None))
    assert window["features"]["toco_mean"] is None
    assert window["features"]["toco_max"] is None
    assert window["contractions"] == 0
    assert window["contractions_per_10_min"] == 0.0
    assert window["tachysystole"] is None


def test_constant_toco_has_no_contractions():
    rows = Recording(minutes=30, hz=1).rows()
    for row in rows:
        row["toco"] = 40.0
    window = json.loads(analyze_csv_string(ctg_synth.to_csv(rows)))["windows"][-1]
    assert window["contractions"] == 0
    assert window["tachysystole"] is False
    assert (window["features"]["toco_mean"], window["features"]["toco_max"]) == (40.0, 40.0)


# ------------------------------------------------------- real recordings

RECORDINGS = sorted((conftest.SHARED_DATA / "ctu-uhb").glob("*.csv"))


@pytest.mark.skipif(not RECORDINGS, reason="shared CTU-UHB recordings not present")
@pytest.mark.parametrize("path", RECORDINGS, ids=[p.stem for p in RECORDINGS])
def test_event_figures_agree_on_real_recordings(path):
    report = json.loads(analyze_csv_string(path.read_text(), window_min=20, step_sec=600))
    for window in report["windows"]:
        features = window["features"]
        count = window["contractions"]
        assert features["contraction_count"] == count
        assert features["contractions_per_10_min"] == window["contractions_per_10_min"]
        if window["duration_seconds"] > 0:
            assert window["contractions_per_10_min"] == pytest.approx(
                count / window["duration_seconds"] * 600, abs=5e-4)
        if window["duration_seconds"] < 1800:
            assert window["tachysystole"] is None

        decelerations = features["deceleration_count"]
        assert features["prolonged_deceleration_count"] <= decelerations
        if window["baseline_bpm"] is None:
            assert features["acceleration_count"] == decelerations == 0
        if decelerations == 0:
            assert features["total_deceleration_seconds"] == 0.0
            assert features["deepest_deceleration_nadir_bpm"] is None
            assert features["max_deceleration_depth_bpm"] is None
        else:
            assert features["total_deceleration_seconds"] >= 15.0 * decelerations
            assert features["max_deceleration_depth_bpm"] >= 15.0
            # The deepest nadir is the largest depth below the same baseline.
            assert features["max_deceleration_depth_bpm"] == pytest.approx(
                window["baseline_bpm"] - features["deepest_deceleration_nadir_bpm"], abs=2e-3)
