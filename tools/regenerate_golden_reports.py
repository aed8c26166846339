"""Rewrites the golden recordings and reports under tests/python/golden/.

The golden reports pin the whole analysis byte for byte. Run this only when a
change is meant to alter reports (or the recordings of
ctg_synth.golden_recordings), then read the difference and check each report
still makes clinical sense before committing it:

    PYTHONPATH=build/<name>/python python3 tools/regenerate_golden_reports.py
    git diff tests/python/golden/
"""

from __future__ import annotations

import pathlib
import sys

TOOLS = pathlib.Path(__file__).resolve().parent
GOLDEN = TOOLS.parent / "tests" / "python" / "golden"
sys.path.insert(0, str(TOOLS))

import ctg_synth  # noqa: E402
from pulsequill import analyze_csv_string  # noqa: E402


def main() -> None:
    GOLDEN.mkdir(parents=True, exist_ok=True)
    for name, (recording, options) in ctg_synth.golden_recordings().items():
        csv_text = ctg_synth.to_csv(recording.rows())
        report = analyze_csv_string(csv_text, **options)
        (GOLDEN / f"{name}.csv").write_bytes(csv_text.encode())
        (GOLDEN / f"{name}.report.json").write_bytes(report.encode())
        print(f"wrote {name}.csv and {name}.report.json")


if __name__ == "__main__":
    main()
