"""The verdict of whole reports: category, alert level and the fixed texts.

Recordings come from tools/ctg_synth.py with clinically recognisable content
(a reassuring trace, absent variability with late decelerations, a
tachycardic trace with minimal variability, ...), sampled at 1 Hz.
"""

from __future__ import annotations

import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ctg_synth
from ctg_synth import Event, Plateau, Recording
from pulsequill import analyze_csv_string

# The closed sets of texts each list may hold.
REASONS = {
    "cannot classify without a determinate baseline",
    "cannot classify without determinate variability",
    "absent variability with bradycardia or recurrent late/variable decelerations",
    "normal baseline, moderate variability, and no detected late or variable decelerations",
    "bradycardia not accompanied by category-III criteria",
    "tachycardia",
    "absent variability without recurrent decelerations",
    "minimal variability",
    "marked variability",
    "variable deceleration",
    "late deceleration",
    "prolonged deceleration",
    "gradual deceleration not classifiable without clearer TOCO association",
    "tachysystole",
}
HIGH_RISK = {
    "marked variability",
    "absent variability",
    "persistent minimal variability for at least 20 minutes",
    "baseline changed from normal to tachycardia",
    "recurrent late decelerations",
    "recurrent variable decelerations",
    "gradual deceleration with absent or minimal variability",
    "severe variable deceleration",
    "deep deceleration nadir below 80 bpm",
    "high deceleration burden: at least 60 seconds in deceleration",
    "more than one prolonged deceleration",
    "possible maternal heart-rate capture: fetal channel often tracks HRM within 5 bpm",
    "tachysystole",
    "tachysystole with high-risk Category II features",
}
PROTECTIVE = {"moderate variability", "accelerations present"}
# In the order they are appended.
LIMITATIONS = [
    "less than 10 minutes: baseline and variability assessment is incomplete",
    "less than 20 minutes: recurrent deceleration assessment is incomplete",
    "fewer than two detected contractions: recurrent deceleration assessment is limited",
    "less than 30 minutes: tachysystole assessment is incomplete",
    "TOCO unavailable or sparse: late/early timing and contraction recurrence are limited",
    "tachysystole requires a 30-minute contraction average",
    "baseline indeterminate: fewer than 120 usable fetal-HR seconds in the current 10-minute segment",
]
UNDER_10, UNDER_20, FEW_CONTRACTIONS, UNDER_30, TOCO_SPARSE, TACHYSYSTOLE_30, NO_BASELINE = LIMITATIONS

CATEGORY_I = "normal baseline, moderate variability, and no detected late or variable decelerations"
CATEGORY_III = "absent variability with bradycardia or recurrent late/variable decelerations"


def contractions(every_s: float, minutes: float = 35, duration_s: float = 90, start_s: float = 60) -> list[Event]:
    """Regular contractions of 50 TOCO units above rest."""
    return ctg_synth.contractions_every(every_s, duration_s=duration_s, amplitude=50.0, start_s=start_s,
                                        end_s=minutes * 60)


def late_decelerations(cs: list[Event]) -> list[Event]:
    """A smooth fall of 50 bpm whose lowest point trails each contraction's peak by 35 s."""
    return [Event(c.start_s + 20, 120, -50.0) for c in cs]


def variable_decelerations(cs: list[Event]) -> list[Event]:
    """An abrupt fall of 40 bpm shortly after each contraction."""
    return [Event(c.start_s + 40, 40, -40.0) for c in cs]


def last_window(recording: Recording, **options) -> dict:
    report = json.loads(analyze_csv_string(ctg_synth.to_csv(recording.rows()), **options))
    return report["windows"][-1]


def every_window(recording: Recording, **options) -> list[dict]:
    return json.loads(analyze_csv_string(ctg_synth.to_csv(recording.rows()), **options))["windows"]


# name, recording (35 minutes at 1 Hz unless said otherwise), category, alert,
# texts that must be among the reasons, the high-risk and the protective features,
# and texts that must not be among the high-risk features.
def scenarios():
    every_4 = contractions(240)
    every_7 = contractions(420)
    return [
        ("reassuring trace with accelerations",
         Recording(minutes=35, hz=1, contractions=every_4, fetal_events=[Event(t, 40, 25.0) for t in (300, 1500)]),
         "category_i", "none", [CATEGORY_I], [], ["accelerations present", "moderate variability"], []),
        ("absent variability with recurrent late decelerations",
         Recording(minutes=35, hz=1, variability_bpm=0.8, contractions=every_7,
                   fetal_events=late_decelerations(every_7)),
         "category_iii", "critical", [CATEGORY_III], ["absent variability", "recurrent late decelerations"], [], []),
        ("moderate variability with recurrent late decelerations",
         Recording(minutes=35, hz=1, contractions=every_7, fetal_events=late_decelerations(every_7)),
         "category_ii", "urgent_review", ["late deceleration"], ["recurrent late decelerations"],
         ["moderate variability"], ["absent variability"]),
        ("bradycardia with absent variability",
         Recording(minutes=35, hz=1, baseline_bpm=100.0, variability_bpm=0.8, contractions=every_4),
         "category_iii", "critical", [CATEGORY_III], ["absent variability"], [], []),
        ("tachycardia with minimal variability",
         Recording(minutes=35, hz=1, baseline_bpm=170.0, variability_bpm=4.0, contractions=every_4),
         "category_ii", "urgent_review", ["minimal variability", "tachycardia"],
         ["persistent minimal variability for at least 20 minutes"], [],
         ["baseline changed from normal to tachycardia"]),
        ("baseline rising from normal to tachycardia",
         Recording(minutes=35, hz=1, baseline_bpm=145.0, contractions=every_4,
                   fetal_events=[Plateau(22 * 60, 20 * 60, 25.0)]),
         "category_ii", "warning", ["tachycardia"], ["baseline changed from normal to tachycardia"],
         ["moderate variability"], []),
        ("marked variability",
         Recording(minutes=35, hz=1, variability_bpm=40.0, contractions=every_4),
         "category_ii", "warning", ["marked variability"], ["marked variability"], [], []),
        ("recurrent variable decelerations",
         Recording(minutes=35, hz=1, contractions=every_4, fetal_events=variable_decelerations(every_4)),
         "category_ii", "urgent_review", ["variable deceleration"],
         ["recurrent variable decelerations", "high deceleration burden: at least 60 seconds in deceleration"],
         ["moderate variability"], []),
        ("one prolonged deceleration",
         Recording(minutes=35, hz=1, contractions=every_4, fetal_events=[Plateau(18 * 60, 180, -30.0)]),
         "category_ii", "warning", ["prolonged deceleration"],
         ["high deceleration burden: at least 60 seconds in deceleration"], ["moderate variability"],
         ["more than one prolonged deceleration"]),
        ("tachysystole in a reassuring trace",
         Recording(minutes=35, hz=1, contractions=contractions(70, duration_s=45)),
         "category_i", "warning", [CATEGORY_I, "tachysystole"], ["tachysystole"], ["moderate variability"], []),
        ("fetal channel tracking the mother",
         Recording(minutes=35, hz=1, maternal_bpm=140.0, contractions=every_4),
         "category_i", "warning", [CATEGORY_I],
         ["possible maternal heart-rate capture: fetal channel often tracks HRM within 5 bpm"], [], []),
        ("sparse fetal signal",
         Recording(minutes=35, hz=1, contractions=every_4, fetal_gaps=[(0, 22 * 60)]),
         "category_i", "data_quality", [CATEGORY_I], [], ["moderate variability"], []),
        ("no fetal signal",
         Recording(minutes=35, hz=1, contractions=every_4, fetal_gaps=[(0, 40 * 60)]),
         "unclassified", "data_quality", ["cannot classify without a determinate baseline"], [], [], []),
    ]


@pytest.mark.parametrize("name, recording, category, alert, reasons, high_risk, protective, not_high_risk",
                         scenarios(), ids=[s[0] for s in scenarios()])
def test_verdict_of_recognisable_traces(name, recording, category, alert, reasons, high_risk, protective,
                                        not_high_risk):
    window = last_window(recording)
    assert (window["classification"], window["alert_level"]) == (category, alert)
    assert set(reasons) <= set(window["reasons"])
    assert set(high_risk) <= set(window["high_risk_features"])
    assert set(protective) <= set(window["protective_features"])
    assert not set(not_high_risk) & set(window["high_risk_features"])


def test_reassuring_trace_has_nothing_else():
    window = last_window(scenarios()[0][1])
    assert window["reasons"] == [CATEGORY_I]
    assert window["high_risk_features"] == []
    assert window["protective_features"] == ["accelerations present", "moderate variability"]
    assert window["limitations"] == []


LIMITATION_CASES = [
    ("8 minutes", Recording(minutes=8, hz=1, contractions=contractions(240, minutes=8)),
     [UNDER_10, UNDER_20, UNDER_30, TACHYSYSTOLE_30]),
    ("8 minutes without TOCO", Recording(minutes=8, hz=1, toco_rest=None),
     [UNDER_10, UNDER_20, UNDER_30, TOCO_SPARSE, TACHYSYSTOLE_30]),
    ("8 minutes without fetal signal", Recording(minutes=8, hz=1, fetal_gaps=[(0, 8 * 60 + 1)]),
     [UNDER_10, UNDER_20, UNDER_30, TACHYSYSTOLE_30, NO_BASELINE]),
    ("25 minutes, one contraction", Recording(minutes=25, hz=1, contractions=[Event(20 * 60, 90, 50.0)]),
     [FEW_CONTRACTIONS, UNDER_30, TACHYSYSTOLE_30]),
    ("25 minutes, regular contractions", Recording(minutes=25, hz=1, contractions=contractions(240, minutes=25)),
     [UNDER_30, TACHYSYSTOLE_30]),
    ("35 minutes without TOCO", Recording(minutes=35, hz=1, toco_rest=None),
     [FEW_CONTRACTIONS, TOCO_SPARSE]),
    # Too little TOCO to judge tachysystole, but the window is long enough for it.
    ("35 minutes, TOCO lost for the first 21", Recording(minutes=35, hz=1, contractions=contractions(240),
                                                         toco_gaps=[(0, 21 * 60)]),
     [TOCO_SPARSE]),
]


@pytest.mark.parametrize("name, recording, expected", LIMITATION_CASES, ids=[c[0] for c in LIMITATION_CASES])
def test_limitations_in_order(name, recording, expected):
    assert last_window(recording)["limitations"] == expected


def test_persistence_needs_twenty_minutes_of_window():
    """Minimal variability throughout: persistent in 20-minute windows, never in 10-minute ones."""
    recording = Recording(minutes=35, hz=1, baseline_bpm=170.0, variability_bpm=4.0, contractions=contractions(240))
    persistent = "persistent minimal variability for at least 20 minutes"
    short = every_window(recording, window_min=10, step_sec=300)
    assert all(persistent not in w["high_risk_features"] for w in short)
    assert {w["alert_level"] for w in short} == {"warning"}
    long = every_window(recording, window_min=20, step_sec=300)
    assert all(persistent in w["high_risk_features"] for w in long)
    assert {w["alert_level"] for w in long} == {"urgent_review"}


def check_verdict_invariants(window: dict) -> None:
    for key, closed in (("reasons", REASONS), ("high_risk_features", HIGH_RISK),
                        ("protective_features", PROTECTIVE)):
        texts = window[key]
        assert set(texts) <= closed, key
        assert texts == sorted(set(texts), key=str.encode), key
    limitations = window["limitations"]
    assert limitations == [text for text in LIMITATIONS if text in limitations]
    category, alert = window["classification"], window["alert_level"]
    assert (alert == "data_quality") == (category == "unclassified"
                                         or window["data_quality"]["fetal_usable_ratio"] < 0.5)
    if category == "category_iii":
        assert "absent variability" in window["high_risk_features"]
        assert alert in ("critical", "data_quality")
    if category == "category_i":
        assert "moderate variability" in window["protective_features"]
    if alert == "none":
        assert window["high_risk_features"] == []
    assert (NO_BASELINE in limitations) == (window["baseline_bpm"] is None)


@settings(max_examples=20, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(baseline=st.sampled_from([95.0, 120.0, 140.0, 165.0, 180.0]),
       variability=st.sampled_from([0.5, 3.0, 10.0, 40.0]),
       minutes=st.sampled_from([6.0, 15.0, 25.0, 35.0]),
       every=st.sampled_from([60.0, 150.0, 300.0]),
       dips=st.lists(st.tuples(st.integers(0, 2000), st.integers(20, 200), st.integers(15, 70)), max_size=6),
       gap=st.integers(0, 30 * 60))
def test_verdict_invariants_hold_for_any_trace(baseline, variability, minutes, every, dips, gap):
    recording = Recording(minutes=minutes, hz=1, baseline_bpm=baseline, variability_bpm=variability,
                          contractions=contractions(every, minutes=minutes, duration_s=min(every - 10, 80)),
                          fetal_events=[Event(s, d, -a) for s, d, a in dips], fetal_gaps=[(0, gap)])
    check_verdict_invariants(last_window(recording))
