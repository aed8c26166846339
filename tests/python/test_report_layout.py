"""Whole reports: the fixed layout of the JSON text (lines, indentation, key
order, number format) and the analysis windows seen through their bounds."""

import json
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from ctg_synth import Recording, to_csv
from pulsequill import analyze_csv_string

HEADER = "Date,HR1,HR2,HR3,HRM,TOCO\n"

# The report's skeleton: (indent level, key) for every line that carries a key,
# (indent level, bracket) for the others.
FRAME_HEAD = [
    (0, "{"),
    (1, "channel"),
    (1, "analysis_mode"),
    (1, "requested_window_minutes"),
    (1, "step_seconds"),
    (1, "input"),
    (2, "rows"),
    (2, "start_timestamp"),
    (2, "end_timestamp"),
    (2, "duration_seconds"),
    (2, "out_of_order_rows"),
    (2, "duplicate_timestamps"),
    (1, "},"),
    (1, "windows"),
]
FRAME_TAIL = [(1, "]"), (0, "}")]

FEATURE_KEYS = [
    "fetal_hr_min_bpm", "fetal_hr_p05_bpm", "fetal_hr_mean_bpm", "fetal_hr_median_bpm", "fetal_hr_p95_bpm",
    "fetal_hr_max_bpm", "fetal_hr_std_dev_bpm", "baseline_delta_mean_bpm",
    "fetal_hr_seconds_below_110", "fetal_hr_seconds_110_to_160", "fetal_hr_seconds_above_160",
    "fetal_hr_percent_below_110", "fetal_hr_percent_110_to_160", "fetal_hr_percent_above_160",
    "acceleration_count", "deceleration_count", "prolonged_deceleration_count",
    "total_deceleration_seconds", "deepest_deceleration_nadir_bpm", "max_deceleration_depth_bpm",
    "contraction_count", "contractions_per_10_min",
    "toco_mean", "toco_max", "maternal_hr_mean_bpm", "fetal_maternal_mean_difference_bpm",
]
QUALITY_KEYS = [
    "expected_seconds", "raw_samples", "fetal_usable_ratio", "maternal_usable_ratio", "toco_usable_ratio",
    "suspected_maternal_capture_ratio",
]
WINDOW_KEYS = [
    "window_start", "window_end", "duration_seconds", "classification", "alert_level", "baseline_bpm",
    "baseline_class", "variability_bpm", "variability_class", "features", "data_quality", "contractions",
    "contractions_per_10_min", "tachysystole", "reasons", "high_risk_features", "protective_features",
    "limitations",
]


def window_skeleton(last: bool) -> list:
    return (
        [(2, "{")]
        + [(3, k) for k in WINDOW_KEYS[:9]]
        + [(3, "features")]
        + [(4, k) for k in FEATURE_KEYS]
        + [(3, "},"), (3, "data_quality")]
        + [(4, k) for k in QUALITY_KEYS]
        + [(3, "},")]
        + [(3, k) for k in WINDOW_KEYS[11:]]
        + [(2, "}" if last else "},")]
    )


LINE = re.compile(r'^(?P<indent>(?:  )*)(?:"(?P<key>[a-z0-9_]+)": (?P<value>.*)|(?P<bracket>[{}\[\],]+))$')


def skeleton_of(text: str) -> list:
    """(level, key or bracket) for every line; also checks each line's shape."""
    assert text.endswith("\n")
    result = []
    for line in text[:-1].split("\n"):
        match = LINE.match(line)
        assert match, f"malformed line: {line!r}"
        level = len(match["indent"]) // 2
        result.append((level, match["key"] or match["bracket"]))
    return result


def at(offset_s):
    """The display text of a time `offset_s` seconds after 08:00:00."""
    whole, frac = divmod(round(offset_s * 1000), 1000)
    text = f"2024-03-01 {8 + whole // 3600:02d}:{whole // 60 % 60:02d}:{whole % 60:02d}"
    return text + (f".{frac:03d}" if frac else "")


def seconds_csv(offsets_s):
    """One row per offset (seconds after 08:00:00) with plausible values."""
    rows = [HEADER] + [f"{at(offset)},{140 + i % 5},,,82,{12 + i % 3}\n" for i, offset in enumerate(offsets_s)]
    return "".join(rows)


def every_second(minutes):
    return [float(s) for s in range(int(minutes * 60) + 1)]


# ------------------------------------------------------------------- layout


@pytest.mark.parametrize(
    "name, csv_text, kwargs, windows",
    [
        ("header only", HEADER, {}, 0),
        ("chunk, 12 minutes at 4 Hz", to_csv(Recording(minutes=12).rows()), {}, 1),
        ("rolling 10/120 s over 15 minutes", to_csv(Recording(minutes=15, hz=2).rows()),
         {"window_min": 10, "step_sec": 120}, 4),
    ],
)
def test_report_lines_follow_the_fixed_layout(name, csv_text, kwargs, windows):
    text = analyze_csv_string(csv_text, **kwargs)
    expected = FRAME_HEAD + sum((window_skeleton(i == windows - 1) for i in range(windows)), []) + FRAME_TAIL
    assert skeleton_of(text) == expected
    assert text.count("\n") == 16 + 54 * windows
    assert "\r" not in text and " \n" not in text


def test_report_parses_with_keys_in_order():
    text = analyze_csv_string(to_csv(Recording(minutes=22, hz=2).rows()), window_min=20, step_sec=60)
    report = json.loads(text)
    assert list(report) == ["channel", "analysis_mode", "requested_window_minutes", "step_seconds", "input", "windows"]
    assert list(report["input"]) == ["rows", "start_timestamp", "end_timestamp", "duration_seconds",
                                     "out_of_order_rows", "duplicate_timestamps"]
    assert len(report["windows"]) == 3
    for window in report["windows"]:
        assert list(window) == WINDOW_KEYS
        assert list(window["features"]) == FEATURE_KEYS
        assert list(window["data_quality"]) == QUALITY_KEYS


INTEGER_KEYS = {
    "requested_window_minutes", "step_seconds", "rows", "out_of_order_rows", "duplicate_timestamps",
    "baseline_bpm", "fetal_hr_seconds_below_110", "fetal_hr_seconds_110_to_160", "fetal_hr_seconds_above_160",
    "acceleration_count", "deceleration_count", "prolonged_deceleration_count", "contraction_count",
    "expected_seconds", "raw_samples", "contractions",
}
TEXT_KEYS = {"channel", "analysis_mode", "start_timestamp", "end_timestamp", "window_start", "window_end",
             "classification", "alert_level", "baseline_class", "variability_class"}
LIST_KEYS = {"reasons", "high_risk_features", "protective_features", "limitations"}


def test_values_are_written_in_their_formats():
    csv_text = to_csv(Recording(minutes=35, hz=4).rows())
    text = analyze_csv_string(csv_text, window_min=30, step_sec=120)
    seen = set()
    for line in text.split("\n"):
        match = LINE.match(line)
        if not match or not match["key"] or match["value"] in ("{", "["):
            continue
        key, value = match["key"], match["value"].removesuffix(",")
        seen.add(key)
        if value == "null":
            assert key not in {"rows", "duration_seconds", "step_seconds", "contractions_per_10_min"}, line
        elif key in INTEGER_KEYS:
            assert re.fullmatch(r"-?(0|[1-9][0-9]*)", value), line
        elif key in TEXT_KEYS:
            assert re.fullmatch(r'"[^"\\\n]*"', value), line
        elif key in LIST_KEYS:
            assert re.fullmatch(r'\[("[^"]*"(, "[^"]*")*)?\]', value), line
        elif key == "tachysystole":
            assert value in ("true", "false"), line
        else:  # every other value is a number with exactly three decimals
            assert re.fullmatch(r"-?(0|[1-9][0-9]*)\.[0-9]{3}", value), line
    assert seen >= set(FEATURE_KEYS) | set(QUALITY_KEYS) | {"baseline_bpm", "duration_seconds", "tachysystole"}


EMPTY_REPORT = """{
  "channel": "HR2",
  "analysis_mode": "rolling",
  "requested_window_minutes": 20,
  "step_seconds": 1,
  "input": {
    "rows": 0,
    "start_timestamp": null,
    "end_timestamp": null,
    "duration_seconds": 0.000,
    "out_of_order_rows": 0,
    "duplicate_timestamps": 0
  },
  "windows": [
  ]
}
"""


def test_header_only_export_gives_the_empty_report():
    assert analyze_csv_string(HEADER, channel="hr2", window_min=20, step_sec=0) == EMPTY_REPORT


def test_chunk_mode_prints_null_window_minutes():
    report = json.loads(analyze_csv_string(HEADER))
    assert report["analysis_mode"] == "chunk"
    assert report["requested_window_minutes"] is None
    assert report["step_seconds"] == 60


# ------------------------------------------------------------ window bounds

M = 60.0  # seconds per minute


def stepped(first_end_min, last_end_min, length_min=10):
    return [(at((e - length_min) * M), at(e * M)) for e in range(first_end_min, last_end_min + 1)]


@pytest.mark.parametrize(
    "name, offsets_s, kwargs, bounds",
    [
        ("chunk, 45 minutes: the most recent 30", every_second(45), {}, [(at(15 * M), at(45 * M))]),
        ("chunk, exactly 30 minutes: from the first sample", every_second(30), {}, [(at(0), at(30 * M))]),
        ("chunk, 10 minutes: all of it", every_second(10), {}, [(at(0), at(10 * M))]),
        ("rolling 10/60 s over 25.5 minutes: 16 stepped, then a final one", every_second(25.5),
         {"window_min": 10}, stepped(10, 25) + [(at(15.5 * M), at(25.5 * M))]),
        ("rolling 10/60 s over exactly 25 minutes: no final one", every_second(25), {"window_min": 10},
         stepped(10, 25)),
        ("rolling 20 over 15 minutes: the whole recording", every_second(15), {"window_min": 20},
         [(at(0), at(15 * M))]),
        ("rolling 10 with a 30-minute step over 25 minutes", every_second(25), {"window_min": 10, "step_sec": 1800},
         [(at(0), at(10 * M)), (at(15 * M), at(25 * M))]),
        ("step 0 counts as one second", every_second(10) + [601.0, 602.0], {"window_min": 10, "step_sec": 0},
         [(at(0), at(600)), (at(1), at(601)), (at(2), at(602))]),
        ("one sample, chunk", [7.5], {}, [(at(7.5), at(7.5))]),
        ("one sample, rolling", [7.5], {"window_min": 10}, [(at(7.5), at(7.5))]),
        ("duplicate times leave the bounds alone", [0.0, 0.0] + every_second(12)[1:] + [720.0],
         {"window_min": 10, "step_sec": 60}, stepped(10, 12)),
    ],
)
def test_windows_are_cut_as_tabled(name, offsets_s, kwargs, bounds):
    report = json.loads(analyze_csv_string(seconds_csv(offsets_s), **kwargs))
    assert [(w["window_start"], w["window_end"]) for w in report["windows"]] == bounds
    assert report["input"]["rows"] == len(offsets_s)
    assert report["input"]["start_timestamp"] == at(offsets_s[0])
    assert report["input"]["end_timestamp"] == at(offsets_s[-1])


def test_one_sample_has_zero_duration():
    text = analyze_csv_string(seconds_csv([3.0]))
    assert '    "duration_seconds": 0.000,\n' in text
    assert '      "duration_seconds": 0.000,\n' in text


@settings(max_examples=40, deadline=None)
@given(
    window_min=st.integers(min_value=10, max_value=30),
    step_sec=st.integers(min_value=10, max_value=2400),
    span_ms=st.integers(min_value=0, max_value=95 * 60 * 1000),
)
def test_window_count_follows_the_arithmetic(window_min, step_sec, span_ms):
    # Only the first and last sample: the windows in between hold no sample,
    # but their number and the last one's end do not depend on that.
    csv_text = seconds_csv([0.0, span_ms / 1000])
    report = json.loads(analyze_csv_string(csv_text, window_min=window_min, step_sec=step_sec))
    length, step = window_min * 60000, step_sec * 1000
    if span_ms < length:
        expected = 1
    else:
        beyond = span_ms - length
        expected = beyond // step + 1 + (1 if beyond % step else 0)
    assert len(report["windows"]) == expected
    assert report["windows"][0]["window_start"] == at(0.0)
    assert report["windows"][-1]["window_end"] == at(span_ms / 1000)
