"""Files, guidance notes on common mistakes, the empty-channel warning, and the
timestamp grammar of the private module agreeing with the readers."""

from __future__ import annotations

import json
import pathlib
import warnings

import pytest

import ctg_synth
import pulsequill
from pulsequill import InputWarning, _native, analyze_csv, analyze_file, analyze_request
from pulsequill._support import parse_timestamp
from pulsequill.guidance import add_guidance

RECORDING = ctg_synth.to_csv(ctg_synth.Recording(minutes=12, hz=1, seed=7).rows())
REQUEST = ctg_synth.to_request(ctg_synth.Recording(minutes=12, hz=1, seed=7).rows())
NAN_REQUEST = json.dumps({"episode_id": "e", "sent_at": "s", "samples": [{"t": "2024-03-01 10:00:00", "hr1": 1e999}]})


def refused(run, text):
    with pytest.raises(ValueError) as caught:
        run(text)
    return caught.value


# (case, package function, text, what the note says)
MISTAKES = [
    ("path as text", analyze_csv, "exports/1001.csv", "pulsequill.analyze_file(path)"),
    ("semicolons", analyze_csv, RECORDING.replace(",", ";"), "separated by semicolons"),
    ("tabs", analyze_csv, RECORDING.replace(",", "\t"), "separated by tabs"),
    ("byte-order mark", analyze_csv, "\ufeff" + RECORDING, "encoding='utf-8-sig'"),
    ("quoted header", analyze_csv, '"Date","HR1"\n', "names are quoted"),
    ("Time header", analyze_csv, "Time,HR1\n", "time column is named 'Time'"),
    ("JSON as CSV", analyze_csv, REQUEST, "pulsequill.analyze_request(text)"),
    ("other header", analyze_csv, "when,fhr\n", "the header as read is 'when,fhr'"),
    ("day/month/year", analyze_csv, "Date,HR1\n29/02/2024 22:50,140\n", "day/month/year"),
    ("bad time", analyze_csv, "Date\n\n2024-03-01 10:00\n", "row 3 reads '2024-03-01"),
    ("NaN in JSON", analyze_request, NAN_REQUEST.replace("Infinity", "NaN"), "holds NaN"),
    ("-Infinity", analyze_request, NAN_REQUEST.replace("Inf", "-Inf"), "holds -Infinity"),
    ("JSON with BOM", analyze_request, "\ufeff" + REQUEST, "byte-order mark"),
    ("CSV as JSON", analyze_request, RECORDING, "pulsequill.analyze_csv(text)"),
    (
        "epoch time",
        analyze_request,
        NAN_REQUEST.replace('"2024-03-01 10:00:00"', "1e3"),
        "sample time as the number 1e3",
    ),
    ("bad t", analyze_request, REQUEST.replace("T08:00:00Z", "x", 1), "YYYY-MM-DD"),
]


# The core's entry function behind each package function, whose message must stay unchanged.
ENTRY = {analyze_csv: _native.analyze_csv_string, analyze_request: _native.analyze_json_string}


@pytest.mark.parametrize(("run", "text", "note"), [case[1:] for case in MISTAKES], ids=[c[0] for c in MISTAKES])
def test_mistake_keeps_the_message_and_gets_one_note(run, text, note):
    error = refused(run, text)
    assert str(error) == str(refused(ENTRY[run], text))
    assert len(error.__notes__) == 1 and note in error.__notes__[0]
    add_guidance(error, text)
    assert len(error.__notes__) == 1


@pytest.mark.parametrize(
    ("text", "note"),
    [(RECORDING.encode(), "decode it first"), (pathlib.Path("1001.csv"), "pulsequill.analyze_file(path)")],
    ids=["bytes", "path object"],
)
def test_recording_that_is_not_text_gets_a_note(text, note):
    with pytest.raises(TypeError) as caught:
        analyze_csv(text)
    assert len(caught.value.__notes__) == 1 and note in caught.value.__notes__[0]


@pytest.mark.parametrize("text", ["", "HR1,Date\n140\n"], ids=["empty", "no Date cell"])
def test_no_note_without_a_recognisable_mistake(text):
    assert not hasattr(refused(analyze_csv, text), "__notes__")


@pytest.mark.parametrize(
    ("text", "channel", "warns"),
    [
        (RECORDING, "HR1", False),
        (RECORDING, "HR2", True),  # column present, every cell empty
        ("Date,HR1\n2024-03-01 10:00:00,140\n", "HR3", True),  # no such column
        ("Date,HR1\n2024-03-01 10:00:00,0\n2024-03-01 10:00:01,0\n", "HR1", True),  # no usable value
        ("Date,HR1\n", "HR1", False),  # no window at all
    ],
)
def test_input_warning_when_the_channel_has_no_usable_value(text, channel, warns):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        analyze_csv(text, channel=channel)
    assert [item.category for item in caught] == ([InputWarning] if warns else [])
    assert all(item.filename == __file__ for item in caught)


@pytest.mark.parametrize(
    ("encoding", "line_end"),
    [("utf-8", "\n"), ("utf-8-sig", "\n"), ("utf-8-sig", "\r\n")],
)
def test_csv_file_in_utf8_with_or_without_byte_order_mark(tmp_path, encoding, line_end):
    path = tmp_path / "recording.csv"
    path.write_bytes(RECORDING.replace("\n", line_end).encode(encoding))
    expected = analyze_csv(RECORDING, window_min=10)
    assert analyze_file(path, window_min=10).windows == expected.windows
    assert analyze_file(str(path), window_min=10).windows == expected.windows


@pytest.mark.parametrize(
    ("data", "message"),
    [
        ("Date,HR1,Remarque é\n".encode("latin-1"), "not UTF-8 text (byte 0xe9 at offset 18, line 1)"),
        (RECORDING.encode("utf-16"), "the file is UTF-16 text; expected UTF-8"),
    ],
)
def test_other_encodings_are_refused_with_the_file_name_and_a_hint(tmp_path, data, message):
    path = tmp_path / "export.csv"
    path.write_bytes(data)
    error = refused(analyze_file, path)
    assert str(error) == f"{path}: {message}"
    assert "iconv" in error.__notes__[0]


def test_json_request_file_and_its_options(tmp_path):
    path = tmp_path / "request.json"
    path.write_text(REQUEST, encoding="utf-8")
    assert analyze_file(path).text == _native.analyze_json_string(REQUEST)
    with pytest.raises(TypeError, match="carries its own options"):
        analyze_file(path, channel="HR2")
    with pytest.raises(ValueError, match="expected .csv, .hea, .json"):
        analyze_file(tmp_path / "request.txt")


def test_refused_file_gets_a_note_naming_the_row_and_file(tmp_path):
    path = tmp_path / "excel.csv"
    path.write_text("Date,HR1\n29/02/2024 22:50,140\n", encoding="utf-8")
    error = refused(analyze_file, path)
    assert str(error) == "row 2 has invalid Date: invalid year in timestamp: 29/02/2024 22:50"
    assert f"row 2 of {path} reads" in error.__notes__[0]


@pytest.mark.parametrize(
    "text",
    [
        "2024-03-01 10:15:02",
        "2024-03-01T10:15:02.250Z",
        "2024-3-1 7:5:2+01:00",
        "1970-01-01 00:00:00.5",
        "29/02/2024 22:50",
        "2024-03-01 10:00",
        "2024-03-01 10:00:00+0100",
        "2024-13-01 00:00:00",
        "2024-03-01 10:00:0x",
    ],
)
def test_support_module_reads_times_as_the_csv_reader_does(text):
    csv_text = f"Date\n1970-01-01 00:00:00\n{text}\n"
    try:
        epoch_ms = parse_timestamp(text)
    except ValueError as error:
        assert str(refused(_native.analyze_csv_string, csv_text)) == f"row 3 has invalid Date: {error}"
    else:
        report = pulsequill.parse_report(_native.analyze_csv_string(csv_text))
        assert report.input.duration_seconds == epoch_ms / 1000


def test_support_module_refuses_what_is_not_text():
    with pytest.raises(TypeError, match="must be str, not bytes"):
        parse_timestamp(b"2024-03-01 10:00:00")  # type: ignore[arg-type]
