"""The whole CTU-UHB intrapartum database through rolling analysis on Dask.

Run from the repository root, with the package and its extras installed
(``pip install '.[all]'``) and the database beside the repository in
``../shared/data/ctu-uhb-wfdb/`` (552 WFDB records and ``outcomes.csv``)::

    python examples/ctu_uhb.py

It analyses every record in rolling 20-minute windows with a 60-second step on
a local Dask cluster (or on ``--scheduler ADDRESS``), writes one row per window
to the Parquet dataset ``build/ctu-uhb/windows.parquet`` (partitioned by record,
``file=1001.hea``), prints the descriptive tables shown in the README (also
written to ``build/ctu-uhb/summary.md``) and draws the charts of one acidaemic and
one normal record into ``docs/images/``.

The tables describe what the analysis says about the traces; they are counts and
proportions, not a measure of diagnostic accuracy.
"""

from __future__ import annotations

import argparse
import collections
import csv
import pathlib
import sys
import time
from collections.abc import Iterable, Mapping, Sequence

import pulsequill
from pulsequill.chart import save_chart
from pulsequill.dask_batch import write_parquet

ROOT = pathlib.Path(__file__).resolve().parents[1]
OPTIONS = {"window_min": 20, "step_sec": 60}
LAST_MINUTES = 60
ACIDAEMIA_PH = 7.05
# Severity orders for "worst": a window that cannot be classified is the least
# informative verdict, not the worst one.
CATEGORIES = ("unclassified", "category_i", "category_ii", "category_iii")
ALERTS = ("none", "data_quality", "warning", "urgent_review", "critical")
# The charted records: the acidaemic one with the lowest pH and the normal one
# with the highest, among records whose fetal signal is at least 90 % present
# and whose uterine activity was recorded.
CHART_SIGNAL_RATIO = 0.9
CHART_TOCO_PEAK = 20.0


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--data", type=pathlib.Path, default=ROOT.parent / "shared" / "data" / "ctu-uhb-wfdb")
    parser.add_argument("--out", type=pathlib.Path, default=ROOT / "build" / "ctu-uhb")
    parser.add_argument("--images", type=pathlib.Path, default=ROOT / "docs" / "images")
    parser.add_argument("--scheduler", help="a distributed scheduler's address; default: a local cluster")
    parser.add_argument("--workers", type=int, help="workers of the local cluster (default: one per processor)")
    args = parser.parse_args(argv)

    headers = sorted(args.data.glob("*.hea"))
    if not headers:
        print(f"no WFDB records in {args.data}", file=sys.stderr)
        return 1
    args.out.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    reports: dict[str, pulsequill.Report] = {}
    for path, outcome in pulsequill.analyze_files(headers, engine="dask", scheduler=args.scheduler,
                                                  workers=args.workers, **OPTIONS):
        if isinstance(outcome, pulsequill.Report):
            reports[path.stem] = outcome
        else:
            print(f"{path}: {outcome}", file=sys.stderr)
    dataset = args.out / "windows.parquet"
    rows = write_parquet(((f"{name}.hea", report) for name, report in reports.items()), dataset)
    elapsed = time.monotonic() - started
    print(f"{len(reports)} of {len(headers)} records, {rows} windows in {elapsed:.0f} s -> {dataset}\n",
          file=sys.stderr)

    ph = outcome_ph(args.data / "outcomes.csv")
    summary = describe(reports, ph)
    (args.out / "summary.md").write_text(summary)
    sys.stdout.write(summary)

    args.images.mkdir(parents=True, exist_ok=True)
    for name in charted_records(reports, ph):
        image = args.images / f"ctu-uhb-{name}.png"
        save_chart(image, args.data / f"{name}.hea", reports[name])
        print(f"chart of {name} (pH {ph[name]}) -> {image}", file=sys.stderr)
    return 0


def outcome_ph(table: pathlib.Path) -> dict[str, float]:
    """Umbilical artery pH per record, from the database's outcome table."""
    with table.open(newline="") as file:
        return {row["Name"]: float(row["pH"]) for row in csv.DictReader(file) if row["pH"] not in ("", "NaN")}


def worst(values: Iterable[str], order: Sequence[str]) -> str:
    return max(values, key=order.index)


def last_hour(report: pulsequill.Report) -> list[pulsequill.Window]:
    """The windows that end in the last 60 minutes of the recording."""
    ends = [window.window_end.epoch_ms for window in report.windows]
    last = max(end for end in ends if end is not None)
    return [w for w, end in zip(report.windows, ends, strict=True) if end is not None and end >= last - 3_600_000]


def describe(reports: Mapping[str, pulsequill.Report], ph: Mapping[str, float]) -> str:
    windows = [window for report in reports.values() for window in report.windows]
    lines = [f"All {len(windows)} windows of {len(reports)} records (rolling 20-minute windows, 60-second step):", ""]
    lines += shares_table("category", [w.classification for w in windows], CATEGORIES)
    lines += [""] + shares_table("alert level", [w.alert_level for w in windows], ALERTS)

    groups: dict[str, list[str]] = {f"pH < {ACIDAEMIA_PH}": [], f"pH ≥ {ACIDAEMIA_PH}": []}
    for name in reports:
        if name in ph:
            groups[f"pH < {ACIDAEMIA_PH}" if ph[name] < ACIDAEMIA_PH else f"pH ≥ {ACIDAEMIA_PH}"].append(name)
    for title, field, order in (("category", "classification", CATEGORIES), ("alert level", "alert_level", ALERTS)):
        lines += ["", f"Worst {title} per record in the last {LAST_MINUTES} minutes, by umbilical artery pH:", ""]
        lines += split_table(title, {
            group: [worst((str(getattr(w, field)) for w in last_hour(reports[name])), order) for name in names]
            for group, names in groups.items()
        }, order)
    return "\n".join(lines) + "\n"


def shares_table(title: str, values: Sequence[str], order: Sequence[str]) -> list[str]:
    counts = collections.Counter(str(value) for value in values)
    rows = [f"| {title} | windows | share |", "|---|---:|---:|"]
    rows += [f"| {key} | {counts[key]} | {counts[key] / len(values):.1%} |" for key in order]
    return rows


def split_table(title: str, groups: Mapping[str, Sequence[str]], order: Sequence[str]) -> list[str]:
    counts = {group: collections.Counter(values) for group, values in groups.items()}
    header = " | ".join(f"{group} (n = {len(values)})" for group, values in groups.items())
    rows = [f"| worst {title} | {header} |", "|---|" + "---:|" * len(groups)]
    for key in order:
        cells = [f"{counts[g][key]} ({counts[g][key] / max(len(v), 1):.1%})" for g, v in groups.items()]
        rows.append(f"| {key} | " + " | ".join(cells) + " |")
    return rows


def charted_records(reports: Mapping[str, pulsequill.Report], ph: Mapping[str, float]) -> list[str]:
    def signal(name: str) -> float:
        windows = reports[name].windows
        return sum(w.data_quality.fetal_usable_ratio for w in windows) / len(windows)

    def toco_peak(name: str) -> float:
        return max(w.features.toco_max or 0.0 for w in reports[name].windows)

    clean = [name for name in reports
             if name in ph and signal(name) >= CHART_SIGNAL_RATIO and toco_peak(name) >= CHART_TOCO_PEAK]
    acidaemic = min((name for name in clean if ph[name] < ACIDAEMIA_PH), key=lambda name: ph[name])
    normal = max((name for name in clean if ph[name] >= ACIDAEMIA_PH), key=lambda name: ph[name])
    return [acidaemic, normal]


if __name__ == "__main__":
    sys.exit(main())
