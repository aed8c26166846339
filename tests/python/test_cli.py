"""The command line end to end, run as a separate process: several files, standard input, failures among good
files, exit statuses, JSON Lines, report folders, the summary table and the progress bar."""

import csv
import fcntl
import io
import json
import os
import pty
import struct
import subprocess
import sys
import termios

import pytest

from ctg_synth import Recording, to_csv, to_request
from pulsequill import analyze_csv_string, analyze_json_string, parse_report

GOOD = {
    "calm.csv": to_csv(Recording(minutes=12, hz=1, seed=3).rows()),
    "busy.csv": to_csv(Recording(minutes=25, hz=2, seed=4, variability_bpm=20).rows()),
    "request.json": to_request(Recording(minutes=6, hz=1, seed=5).rows()),
}
BAD_HEADER = "Date;HR1;TOCO\n2024-03-01 08:00:00;140;10\n"


def pulsequill(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "pulsequill", *map(str, args)], input=stdin, capture_output=True,
                          cwd=cwd, timeout=120)


def expected_report(name, **options):
    text = GOOD[name]
    return analyze_json_string(text) if name.endswith(".json") else analyze_csv_string(text, **options)


@pytest.fixture
def folder(tmp_path):
    for name, text in {**GOOD, "bad.csv": BAD_HEADER}.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    return tmp_path


def test_jsonl_keeps_input_order_and_reports_a_bad_file_without_stopping(folder):
    names = ["busy.csv", "bad.csv", "missing.csv", "calm.csv", "request.json"]
    result = pulsequill("analyze", "--jsonl", "--workers", "2", *names, cwd=folder)
    assert result.returncode == 1
    lines = [json.loads(line) for line in result.stdout.decode().splitlines()]
    assert [line["file"] for line in lines] == ["busy.csv", "calm.csv", "request.json"]
    for line in lines:
        assert line["report"] == json.loads(expected_report(line["file"]))
    assert result.stderr.decode().splitlines() == [
        "bad.csv: CSV is missing required Date column",
        "  the header as read is 'Date;HR1;TOCO': it looks separated by semicolons",
        "  help: the reader expects commas between cells; export the recording as comma-separated CSV",
        "missing.csv: No such file or directory",
    ]


def test_out_writes_one_exact_report_per_file(folder):
    result = pulsequill("analyze", "calm.csv", "busy.csv", "bad.csv", "--window-min", "10", "--out", "reports",
                        cwd=folder)
    assert result.returncode == 1 and result.stdout == b""
    written = sorted(path.name for path in (folder / "reports").iterdir())
    assert written == ["busy.report.json", "calm.report.json"]
    for name in ("calm.csv", "busy.csv"):
        report = (folder / "reports" / name.replace(".csv", ".report.json")).read_text(encoding="utf-8")
        assert report == expected_report(name, window_min=10)


@pytest.mark.parametrize("stdin, flags, expected", [
    (GOOD["busy.csv"].encode(), ["--window-min", "20", "--step-sec", "300"],
     analyze_csv_string(GOOD["busy.csv"], window_min=20, step_sec=300)),
    (b"\xef\xbb\xbf" + GOOD["calm.csv"].encode(), [], analyze_csv_string(GOOD["calm.csv"])),
    (GOOD["request.json"].encode(), [], analyze_json_string(GOOD["request.json"])),
], ids=["CSV", "CSV with a byte-order mark", "JSON request"])
def test_standard_input_gives_the_report_as_the_function_returns_it(stdin, flags, expected):
    result = pulsequill("analyze", "-", *flags, stdin=stdin)
    assert (result.returncode, result.stderr.decode(), result.stdout.decode()) == (0, "", expected)


@pytest.mark.parametrize("args, status, message", [
    (["analyze", "calm.csv"], 0, ""),
    (["calm.csv", "--last-only"], 0, ""),  # the command may be left out before a file
    (["analyze", "bad.csv"], 1, "bad.csv: CSV is missing required Date column"),
    (["analyze", "request.json", "--channel", "HR2"], 1, "request.json: a JSON request carries its own options"),
    (["analyze", "calm.csv", "busy.csv"], 2, "several files: write their reports into a folder with --out DIR"),
    (["analyze", "-", "calm.csv"], 2, "'-' (standard input) cannot be combined with files"),
    (["analyze", "calm.csv", "a/calm.csv", "--out", "reports"], 2, "these files would write the same report"),
    (["summary", "calm.csv", "--workers", "0"], 2, "must be at least 1"),
])
def test_exit_status_and_message(folder, args, status, message):
    result = pulsequill(*args, cwd=folder)
    assert result.returncode == status
    assert message in result.stderr.decode()
    assert bool(message) == bool(result.stderr)


def test_summary_csv_has_one_row_per_window_across_files(folder):
    result = pulsequill("summary", "--csv", "--window-min", "10", "--step-sec", "120", "calm.csv", "busy.csv",
                        "bad.csv", cwd=folder)
    assert result.returncode == 1
    rows = list(csv.DictReader(io.StringIO(result.stdout.decode())))
    expected = [(name, window) for name in ("calm.csv", "busy.csv")
                for window in parse_report(expected_report(name, window_min=10, step_sec=120)).windows]
    assert len(rows) == len(expected) > 2
    for row, (name, window) in zip(rows, expected, strict=True):
        assert row["file"] == name
        assert row["window_start"] == window.window_start.time.isoformat(timespec="milliseconds")
        assert (row["category"], row["alert"]) == (window.classification, window.alert_level)
        assert row["decelerations"] == str(window.features.deceleration_count)
        assert row["reasons"] == "; ".join(window.reasons)


def test_summary_table_shows_each_window(folder):
    result = pulsequill("summary", "busy.csv", cwd=folder)
    report = parse_report(expected_report("busy.csv"))
    lines = result.stdout.decode().splitlines()
    assert result.returncode == 0 and lines[0] == "busy.csv"
    assert lines[1].split()[:4] == ["window", "start", "window", "end"]
    window = report.windows[0]
    assert lines[2].startswith(f"  {window.window_start.text}  {window.window_end.text}  {window.classification}")
    assert lines[2].endswith("; ".join(window.reasons))


def test_an_empty_fetal_channel_is_warned_about(folder):
    result = pulsequill("analyze", "calm.csv", "--channel", "HR3", cwd=folder)
    assert result.returncode == 0
    assert result.stderr.decode().startswith("calm.csv: warning: channel HR3 has no usable fetal heart rate")


def test_progress_bar_on_a_terminal_only(folder):
    pytest.importorskip("tqdm")
    args = [sys.executable, "-m", "pulsequill", "analyze", "--jsonl", "calm.csv", "busy.csv"]
    piped = subprocess.run(args, cwd=folder, capture_output=True, timeout=120)
    assert piped.returncode == 0 and piped.stderr == b""
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # rows, columns
    try:
        shown = subprocess.run(args, cwd=folder, stdout=subprocess.DEVNULL, stderr=terminal, timeout=120)
        os.close(terminal)
        drawn = b""
        while chunk := _read_or_empty(controller):
            drawn += chunk
    finally:
        os.close(controller)
    assert shown.returncode == 0
    assert b"analysing" in drawn and b"/2 " in drawn


def _read_or_empty(fd):
    try:
        return os.read(fd, 4096)
    except OSError:  # the terminal's other side is closed
        return b""
