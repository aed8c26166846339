"""The monitor CSV export as analyze_csv_string reads it: the reader's messages
reach Python as ValueError, and the report's "input" object describes the rows
that were read."""

import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pulsequill import _native

HEADER = "Date,HR1,HR2,HR3,HRM,TOCO\n"


def read_input(text: str) -> dict:
    return json.loads(_native.analyze_csv_string(text))["input"]


def refusal(text: str) -> ValueError:
    with pytest.raises(ValueError) as caught:
        _native.analyze_csv_string(text)
    return caught.value


REFUSED = [
    ("empty text", "", "CSV is empty; expected a header row"),
    ("lone line feed", "\n", "CSV is missing required Date column"),
    ("quoted Date", '"Date",HR1\n2024-03-01 10:00:00,140\n', "CSV is missing required Date column"),
    ("byte-order mark", "\ufeffDate,HR1\n2024-03-01 10:00:00,140\n", "CSV is missing required Date column"),
    ("semicolons", "Date;HR1\n2024-03-01 10:00:00;140\n", "CSV is missing required Date column"),
    ("tabs", "Date\tHR1\n2024-03-01 10:00:00\t140\n", "CSV is missing required Date column"),
    ("NUL in the header name", "Da\x00te,HR1\n", "CSV is missing required Date column"),
    ("blank lines count", "Date,HR1\n\n  \r\n2024-03-01\n",
     "row 4 has invalid Date: timestamp is missing date/time separator: 2024-03-01"),
    ("empty Date cell", "Date,HR1\n,140\n",
     "row 2 has invalid Date: timestamp is missing date/time separator: "),
    ("blank Date cell", "Date,HR1\n \u3000 ,140\n",
     "row 2 has invalid Date: timestamp is missing date/time separator: "),
    ("short row", "HR1,Date\n140\n", "row 2 is missing Date"),
    ("missing seconds", "Date\n2024-03-01 10:00\n",
     "row 2 has invalid Date: timestamp is missing seconds: 2024-03-01 10:00"),
    ("out of range", "Date\n2024-02-01 10:00:60\n",
     "row 2 has invalid Date: timestamp component out of range: 2024-02-01 10:00:60"),
    ("offset overflow", "Date\n2024-03-01 10:00:00+-9223372036854775808:00\n",
     "row 2 has invalid Date: timestamp component out of range: 2024-03-01 10:00:00+-9223372036854775808:00"),
    ("fraction", "Date\n2024-03-01 10:00:00.12a\n", "row 2 has invalid Date: invalid millisecond digit: 12a"),
    ("NUL in the Date cell", "Date\n2024-03-01 10:00:00\x00\n",
     "row 2 has invalid Date: invalid seconds in timestamp: 2024-03-01 10:00:00\x00"),
    ("non-ASCII Date cell", "Date\n2024-03-01 10:00:0\u0661\n",
     "row 2 has invalid Date: invalid seconds in timestamp: 2024-03-01 10:00:0\u0661"),
    ("first bad row wins", "Date\n2024-03-01 10:00:00\nx\ny\n",
     "row 3 has invalid Date: timestamp is missing date/time separator: x"),
]


@pytest.mark.parametrize("text, message", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_refused_text_raises_the_readers_message(text, message):
    error = refusal(text)
    assert type(error) is ValueError
    assert error.args == (message,)


@pytest.mark.parametrize("text", [HEADER + "2024-03-01 10:00:00,\ud800,,,,\n", "Date\n2024-03-01 10:00:00\udfff\n"],
                         ids=["surrogate in a value cell", "surrogate in a Date cell"])
def test_lone_surrogates_fail_in_pythons_encoding_not_in_the_reader(text):
    with pytest.raises(UnicodeEncodeError):
        _native.analyze_csv_string(text)


ROWS_ACCEPTED = [
    ("header only", "Date,HR1", 0, None, None),
    ("header and blank lines", "Date,HR1\n\n \n\r\n", 0, None, None),
    ("upper and lower case names", "DATE,hr1,Toco\n2024-03-01 10:00:00,140,10\n", 1,
     "2024-03-01 10:00:00", "2024-03-01 10:00:00"),
    ("trimmed Date kept as written", "Date\n\u00a0 2024-03-01T10:00:00Z\t\n", 1,
     "2024-03-01T10:00:00Z", "2024-03-01T10:00:00Z"),
    ("lone CR does not end a line", "Date,HR1\r2024-03-01 10:00:00,140\r", 0, None, None),
    ("unreadable values are not errors", "Date,HR1,HR2,HR3\n2024-03-01 10:00:00,abc,,140\n"
     "2024-03-01 10:00:01\n2024-03-01 10:00:02,nan,0x10,1_000,\x00\n", 3,
     "2024-03-01 10:00:00", "2024-03-01 10:00:02"),
]


@pytest.mark.parametrize("text, rows, start, end", [c[1:] for c in ROWS_ACCEPTED], ids=[c[0] for c in ROWS_ACCEPTED])
def test_accepted_text_is_summarised(text, rows, start, end):
    summary = read_input(text)
    assert summary["rows"] == rows
    assert summary["start_timestamp"] == start
    assert summary["end_timestamp"] == end


def test_windows_line_ends_give_the_same_report():
    rows = "".join(f"2024-03-01 10:{m:02d}:{s:02d},{130 + s % 20},,,82,{10 + m}\n"
                   for m in range(12) for s in range(60))
    lf = HEADER + rows
    assert _native.analyze_csv_string(lf.replace("\n", "\r\n")) == _native.analyze_csv_string(lf)


def test_order_and_repeated_times_are_counted():
    summary = read_input("Date,HR1\n2024-03-01 10:00:02,1\n2024-03-01 10:00:01,2\n2024-03-01 10:00:01,3\n")
    assert summary == {
        "rows": 3,
        "start_timestamp": "2024-03-01 10:00:01",
        "end_timestamp": "2024-03-01 10:00:02",
        "duration_seconds": 1.0,
        "out_of_order_rows": 1,
        "duplicate_timestamps": 1,
    }


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(min_value=0, max_value=30), min_size=1, max_size=40))
def test_counts_follow_the_row_order(seconds):
    text = "Date,HR1\n" + "".join(f"2024-03-01 10:00:{s:02d},140\n" for s in seconds)
    summary = read_input(text)
    assert summary["rows"] == len(seconds)
    assert summary["out_of_order_rows"] == sum(b < a for a, b in zip(seconds, seconds[1:], strict=False))
    assert summary["duplicate_timestamps"] == len(seconds) - len(set(seconds))
    assert summary["start_timestamp"] == f"2024-03-01 10:00:{min(seconds):02d}"
    assert summary["end_timestamp"] == f"2024-03-01 10:00:{max(seconds):02d}"
    assert summary["duration_seconds"] == max(seconds) - min(seconds)


def test_a_megabyte_line_is_read():
    text = "Date,Notes,HR1\n2024-03-01 10:00:00," + "x" * (1 << 20) + ",140\n2024-03-01 10:00:01,,141\n"
    assert read_input(text)["rows"] == 2


def test_a_long_recording_is_read_whole():
    # Six hours at 4 Hz.
    rows = 6 * 3600 * 4
    lines = [HEADER]
    for i in range(rows):
        s = i // 4
        lines.append(f"2024-03-01 {s // 3600:02d}:{s // 60 % 60:02d}:{s % 60:02d}.{i % 4 * 250:03d},140,,,82,12\n")
    summary = read_input("".join(lines))
    assert summary["rows"] == rows
    assert summary["start_timestamp"] == "2024-03-01 00:00:00.000"
    assert summary["end_timestamp"] == "2024-03-01 05:59:59.750"
    assert summary["duration_seconds"] == pytest.approx(6 * 3600 - 0.25)
    assert summary["out_of_order_rows"] == 0
    assert summary["duplicate_timestamps"] == 0
