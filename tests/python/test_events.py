"""Event times of each window and the sample trace, against the reports made from the same input."""

import json

import pytest

import ctg_synth
import pulsequill
from pulsequill.events import recording_trace, window_events

SCENARIOS = ctg_synth.golden_recordings()
OPTIONS = [{}, {"window_min": 10, "step_sec": 120}, {"window_min": 20, "step_sec": 300, "last_only": True}]


@pytest.mark.parametrize("options", OPTIONS, ids=["chunk", "rolling", "last-only"])
@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_events_belong_to_the_reports_windows(scenario: str, options: dict) -> None:
    text = ctg_synth.to_csv(SCENARIOS[scenario][0].rows())
    report = pulsequill.analyze_csv(text, **options)
    windows = window_events(text, **options)
    assert [(w["window_start"], w["window_end"]) for w in windows] == [
        (w.window_start.text, w.window_end.text) for w in report.windows]
    for found, window in zip(windows, report.windows, strict=True):
        features = window.features
        assert (len(found["accelerations"]), len(found["decelerations"]), len(found["contractions"])) == (
            features.acceleration_count, features.deceleration_count, features.contraction_count)
        prolonged = [event for event in found["decelerations"] if event["kind"] == "prolonged"]
        assert len(prolonged) == features.prolonged_deceleration_count
        for event in found["decelerations"]:
            assert event["start_ms"] <= event["nadir_ms"] <= event["end_ms"]
        for event in found["contractions"]:
            assert found["start_ms"] <= event["start_ms"] <= event["peak_ms"] <= event["end_ms"] <= found["end_ms"]
    json.dumps(windows, allow_nan=False)  # plain JSON values only


def test_late_decelerations_are_typed_and_timed_after_their_contractions() -> None:
    recording, _ = SCENARIOS["late_decelerations"]
    (window,) = window_events(ctg_synth.to_csv(recording.rows()))
    decelerations, contractions = window["decelerations"], window["contractions"]
    assert [event["kind"] for event in decelerations] == ["late"] * len(contractions) and contractions
    for deceleration, contraction in zip(decelerations, contractions, strict=True):
        assert deceleration["nadir_ms"] - contraction["peak_ms"] > 5000


def test_request_gives_the_events_of_its_csv_twin() -> None:
    rows = SCENARIOS["reassuring"][0].rows()
    from_csv = window_events(ctg_synth.to_csv(rows))
    from_request = window_events(ctg_synth.to_request(rows), "json")

    def times(windows: list) -> list:
        return [[e["start_ms"] for e in w[group]] for w in windows for group in ("accelerations", "contractions")]

    assert times(from_request) == times(from_csv) and any(times(from_csv))


def test_an_event_ending_in_a_second_without_samples_keeps_its_milliseconds() -> None:
    # A deceleration running into a pause of the monitor: its end text is that second's "<ms>ms".
    recording = ctg_synth.Recording(minutes=20, hz=1, variability_bpm=2.0, toco_rest=None,
                                    fetal_events=[ctg_synth.Plateau(900, 40, -40.0)])
    rows = [row for index, row in enumerate(recording.rows()) if not 940 <= index < 960]
    (window,) = window_events(ctg_synth.to_csv(rows))
    (deceleration,) = window["decelerations"]
    assert deceleration["end"].endswith("ms")
    assert deceleration["end_ms"] == int(deceleration["end"][:-2]) == deceleration["start_ms"] + 40_000


@pytest.mark.parametrize(("call", "message"), [
    (lambda text: window_events(text, "xml"), 'kind must be "csv" or "json": xml'),
    (lambda text: window_events(text, window_min=5), "window_min must be between 10 and 30"),
    (lambda text: window_events(text, channel="HR4"), "unsupported fetal channel: HR4"),
    (lambda text: window_events(ctg_synth.to_request([]), "json", channel="HR2"), "carries its own options"),
    (lambda text: recording_trace("Date,HR1\nnot a time,140\n"), "not a time"),
])
def test_refusals(call, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        call(ctg_synth.to_csv(ctg_synth.Recording(minutes=1, hz=1).rows()))


def test_trace_holds_the_samples_in_time_order() -> None:
    text = "Date,HR1,HR2,HR3,HRM,TOCO\n2024-03-01 08:00:01,0,,,80,nan\n2024-03-01 08:00:00,141.5,,,,12\n"
    assert recording_trace(text) == {
        "timestamp_ms": [1709280000000, 1709280001000],
        "hr1": [141.5, 0.0], "hr2": [None, None], "hr3": [None, None], "hrm": [None, 80.0], "toco": [12.0, None],
    }
