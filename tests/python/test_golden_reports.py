"""Whole reports of a few realistic recordings, compared byte for byte.

The recordings (tests/python/golden/*.csv) come from ctg_synth.golden_recordings;
their reports (*.report.json) were checked by hand when they were made. After a
change meant to alter reports, regenerate both with
tools/regenerate_golden_reports.py and review the difference.
"""

from __future__ import annotations

import pathlib

import pytest

import ctg_synth
from pulsequill import analyze_csv_string

GOLDEN = pathlib.Path(__file__).resolve().parent / "golden"
CASES = ctg_synth.golden_recordings()


@pytest.mark.parametrize("name", sorted(CASES))
def test_report_matches_golden(name):
    _, options = CASES[name]
    csv_text = (GOLDEN / f"{name}.csv").read_bytes().decode()
    expected = (GOLDEN / f"{name}.report.json").read_bytes().decode()
    assert analyze_csv_string(csv_text, **options) == expected


@pytest.mark.parametrize("name", sorted(CASES))
def test_recording_regenerates_from_its_description(name):
    recording, _ = CASES[name]
    assert ctg_synth.to_csv(recording.rows()) == (GOLDEN / f"{name}.csv").read_bytes().decode()
