"""The JSON analysis request as analyze_json_string reads it: the reader's
messages reach Python as ValueError, the request's options reach the report,
and a request carries the same recording as the equivalent CSV export."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import conftest
import ctg_synth
from pulsequill import _native

JSON_PREFIX = "invalid analysis request JSON: "
SAMPLE = {"t": "2024-03-01T10:00:00Z", "hr1": 140}


def request(samples=None, **members) -> dict:
    body = {"episode_id": "ep-1", "sent_at": "2024-03-01T11:00:00Z",
            "samples": [dict(SAMPLE)] if samples is None else samples}
    body.update(members)
    return body


def report(body) -> dict:
    text = body if isinstance(body, str) else json.dumps(body)
    return json.loads(_native.analyze_json_string(text))


def refusal(text: str) -> str:
    with pytest.raises(ValueError) as caught:
        _native.analyze_json_string(text)
    assert type(caught.value) is ValueError
    assert len(caught.value.args) == 1
    return caught.value.args[0]


REFUSED = [
    ("missing samples", '{"episode_id":"e","sent_at":"s"}',
     JSON_PREFIX + "missing field `samples` at line 1 column 32"),
    ("empty samples", json.dumps(request(samples=[])), "analysis request samples must not be empty"),
    ("blank episode_id before bad samples", json.dumps(request(samples=[{"t": "x"}], episode_id="   ")),
     "analysis request episode_id must not be empty"),
    ("blank sent_at", json.dumps(request(sent_at="\u3000\t")), "analysis request sent_at must not be empty"),
    ("HR4", json.dumps(request(analysis_options={"fetal_channel": "HR4"})), "unsupported fetal channel: HR4"),
    ("9 minutes", json.dumps(request(analysis_options={"max_analysis_minutes": 9})),
     "analysis_options.max_analysis_minutes must be between 10 and 30"),
    ("31 minutes", json.dumps(request(analysis_options={"max_analysis_minutes": 31})),
     "analysis_options.max_analysis_minutes must be between 10 and 30"),
    ("second sample without separator",
     json.dumps(request(samples=[SAMPLE, {"t": "2024-03-01"}, SAMPLE])),
     "sample 2 has invalid t: timestamp is missing date/time separator: 2024-03-01"),
    ("hr1 as a string", '{"episode_id":"e","sent_at":"s","samples":[{"t":"2024-03-01 10:00:00","hr1":"140"}]}',
     JSON_PREFIX + 'invalid type: string "140", expected f64 at line 1 column 81'),
    ("null samples", '{"episode_id":"e","sent_at":"s","samples":null}',
     JSON_PREFIX + "invalid type: null, expected a sequence at line 1 column 43"),
    ("300 weeks", '{"metadata":{"gestational_age_weeks":300}}',
     JSON_PREFIX + "invalid value: integer `300`, expected u8 at line 1 column 41"),
    ("fractional minutes", '{"analysis_options":{"max_analysis_minutes":10.5}}',
     JSON_PREFIX + "invalid type: floating point `10.5`, expected u32 at line 1 column 49"),
    ("duplicate t", '{"samples":[{"t":"a","t":"b"}]}', JSON_PREFIX + "duplicate field `t` at line 1 column 24"),
    ("empty text", "", JSON_PREFIX + "EOF while parsing a value at line 1 column 1"),
    ("text after the request", json.dumps(request()) + "\n\u00e9",
     JSON_PREFIX + "trailing characters at line 2 column 1"),
    # Columns count characters: "é€" before the error are two, not five bytes.
    ("error after non-ASCII text", '{"episode_id":"e",\n "sent_at":"é€", "x":[1 2]}',
     JSON_PREFIX + "expected `,` or `]` at line 2 column 25"),
]


@pytest.mark.parametrize("text, message", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_refused_request_raises_the_readers_message(text, message):
    assert refusal(text) == message


@pytest.mark.parametrize("channel, expected", [("hr2", "HR2"), (" Hr3 ", "HR3"), (None, "HR1")])
def test_fetal_channel_reaches_the_report(channel, expected):
    assert report(request(analysis_options={"fetal_channel": channel}))["channel"] == expected


@pytest.mark.parametrize("options", [
    {"max_analysis_minutes": 10}, {"max_analysis_minutes": 30}, {"max_analysis_minutes": None}, None, {}])
def test_accepted_minutes_leave_chunk_mode(options):
    result = report(request(analysis_options=options))
    assert (result["analysis_mode"], result["requested_window_minutes"], result["step_seconds"]) == ("chunk", None, 60)


def test_null_values_read_as_missing_ones():
    with_nulls = request(samples=[{"t": "2024-03-01 10:00:00", "hr1": 140, "hr2": None, "hrm": None, "toco": None}],
                         analysis_options=None, metadata={"gestational_age_weeks": None})
    without = request(samples=[{"t": "2024-03-01 10:00:00", "hr1": 140}])
    assert report(with_nulls) == report(without)


def test_unknown_fields_are_ignored_at_every_level():
    noisy = ('{"x":1,"episode_id":"ep-1","x":[{"samples":null}],"sent_at":"2024-03-01T11:00:00Z",'
             '"samples":[{"spo2":"96","t":"2024-03-01T10:00:00Z","spo2":{"hr1":"x"},"hr1":140}],'
             '"analysis_options":{"window":true,"window":null},"metadata":{"parity":2,"parity":[]}}')
    assert report(noisy) == report(request())


# Any JSON value under a member the request does not define changes nothing.
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=20)


@settings(max_examples=150, deadline=None)
@given(value=json_values, level=st.sampled_from(["request", "sample", "options", "metadata"]))
def test_any_unknown_value_is_ignored(value, level):
    plain = request(analysis_options={}, metadata={})
    noisy = request(analysis_options={}, metadata={})
    target = {"request": noisy, "sample": noisy["samples"][0],
              "options": noisy["analysis_options"], "metadata": noisy["metadata"]}[level]
    target["extra_member"] = value
    assert report(noisy) == report(plain)


def test_t_is_shown_trimmed_without_zone_letter_or_T():
    result = report(request(samples=[{"t": " 2024-03-01T10:00:00.250ZZ "}, {"t": "2024-03-01T10:00:01Z"}]))
    assert (result["input"]["start_timestamp"], result["input"]["end_timestamp"]) == (
        "2024-03-01 10:00:00.250", "2024-03-01 10:00:01")


def test_out_of_order_samples_are_sorted_and_counted():
    result = report(request(samples=[{"t": "2024-03-01 10:00:01"}, {"t": "2024-03-01 10:00:00"},
                                     {"t": "2024-03-01 10:00:00"}]))
    summary = result["input"]
    assert (summary["rows"], summary["out_of_order_rows"], summary["duplicate_timestamps"]) == (3, 1, 1)
    assert (summary["start_timestamp"], summary["end_timestamp"]) == ("2024-03-01 10:00:00", "2024-03-01 10:00:01")


RECORDINGS = [
    ("plain 40 minutes", ctg_synth.Recording(minutes=40), {}),
    ("decelerations on HR2 at 32 weeks",
     ctg_synth.Recording(minutes=35, channel="HR2", seed=3,
                         fetal_events=[ctg_synth.Event(600, 60, -30), ctg_synth.Event(1500, 90, -40)],
                         contractions=[ctg_synth.Event(590, 80, 50), ctg_synth.Event(1480, 90, 60)]),
     {"channel": "HR2", "ga_weeks": 32}),
    ("accelerations with gaps at 1 Hz",
     ctg_synth.Recording(minutes=25, hz=1.0, seed=5, fetal_events=[ctg_synth.Event(300, 30, 20)],
                         fetal_gaps=[(900, 60)], toco_gaps=[(100, 30)], maternal_bpm=None),
     {"ga_weeks": 40}),
]


@pytest.mark.parametrize("recording, options", [c[1:] for c in RECORDINGS], ids=[c[0] for c in RECORDINGS])
def test_request_and_csv_export_give_the_same_report(recording, options):
    rows = recording.rows()
    from_csv = _native.analyze_csv_string(ctg_synth.to_csv(rows), **options)
    from_json = _native.analyze_json_string(ctg_synth.to_request(rows, **options))
    assert json.loads(from_json)["windows"], "the recording must yield a window"
    assert from_json == from_csv


# ------------------------------------------------------------ JSONTestSuite

SUITE = conftest.SHARED_DATA / "jsontestsuite"
SUITE_FILES = sorted(SUITE.glob("*.json")) if SUITE.is_dir() else []


def embedded(document: str) -> str:
    """The document as the value of a member the request does not define."""
    return json.dumps(request())[:-1] + ', "suite": ' + document + "}"


@pytest.mark.skipif(not SUITE_FILES, reason="JSONTestSuite data not present")
@pytest.mark.parametrize("path", SUITE_FILES, ids=[p.name for p in SUITE_FILES])
def test_json_test_suite_inside_an_unknown_member(path):
    try:
        document = path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        pytest.skip("not UTF-8: a Python str cannot carry it")
    if path.name.startswith("y_"):
        assert report(embedded(document))["input"]["rows"] == 1
    elif path.name.startswith("n_"):
        assert refusal(embedded(document)).startswith(JSON_PREFIX)
    else:
        try:
            report(embedded(document))
        except ValueError as error:
            assert str(error).startswith(JSON_PREFIX)
