"""Command line: analyse one recording file and print the JSON report.

    python3 -m pulsequill recording.csv --window-min 20 --step-sec 60
    python3 -m pulsequill request.json

A .csv file is a monitor export and takes the analysis options below; a .json
file is an analysis request, which carries its own options.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

from ._native import analyze_csv_string, analyze_json_string

CSV_OPTIONS = ("channel", "window_min", "step_sec", "last_only", "ga_weeks")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python3 -m pulsequill",
        description="Analyse a cardiotocography recording and print the JSON report.",
    )
    parser.add_argument("file", type=pathlib.Path, help="a monitor CSV export (.csv) or an analysis request (.json)")
    parser.add_argument("--channel", help="fetal heart-rate channel of a CSV export: HR1 (default), HR2 or HR3")
    parser.add_argument("--window-min", type=int, help="rolling windows of this many minutes (10 to 30); "
                        "without it, one window over the most recent 30 minutes")
    parser.add_argument("--step-sec", type=int, help="seconds between the ends of rolling windows (default 60)")
    parser.add_argument("--last-only", action="store_true", default=None,
                        help="report only the window that ends at the last sample")
    parser.add_argument("--ga-weeks", type=int, help="gestational age in whole weeks")
    return parser


def analyze_file(path: pathlib.Path, options: dict) -> str:
    """The report for one file; ValueError, OSError or UnicodeDecodeError when it cannot be made."""
    kind = path.suffix.lower()
    if kind not in (".csv", ".json"):
        raise ValueError(f"cannot tell the kind of {path}: expected a .csv or .json file")
    text = path.read_text(encoding="utf-8")
    given = {name: value for name, value in options.items() if value is not None}
    if kind == ".json":
        if given:
            flags = ", ".join("--" + name.replace("_", "-") for name in given)
            raise ValueError(f"{flags}: a JSON analysis request carries its own options")
        return analyze_json_string(text)
    return analyze_csv_string(text, **given)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    options = {name: getattr(args, name) for name in CSV_OPTIONS}
    try:
        report = analyze_file(args.file, options)
    except (ValueError, OverflowError, MemoryError, OSError) as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return 1
    sys.stdout.write(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
