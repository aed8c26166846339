#!/usr/bin/env python3
"""The benchmark suite: builds a release build, generates deterministic recordings, prints medians.

    python3 bench/run.py                  # everything, 5 repeats per figure
    python3 bench/run.py --repeats 9 --json figures.json
    python3 bench/run.py --compare before.json     # adds a column with earlier figures

Figures (medians of repeated runs; each of wall time and of processor time, which is the steadier
one on a shared machine; ratios to peers use wall time, as the peers may use several threads):
- CSV read alone in the core (MB/s): the generated 24-hour export with six columns, the same
  with Date,HR1,TOCO only, and the real exports in ../shared/data/ctu-uhb/ when present;
- JSON request read alone in the core (MB/s), a generated 24-hour request;
- calls through Python: the 30-minute chunk call (CSV and JSON), the 24-hour chunk call (MB/s),
  rolling 30 min / 60 s over 24 hours, rolling 10 min / 1 s over 2 hours, and the cost of one
  window of rolling 30 min / 60 s over 1, 4 and 24 hours (it should not grow with the length);
- the peak memory of a 24-hour chunk call beyond its input, in a fresh process;
- as ratios in the same run: the 30-minute chunk call against the pure-Python reference model
  (tests/python/reference_model.py), and the 24-hour chunk call against pyarrow.csv.read_csv and
  polars.read_csv (no date parsing) on the same text, when those are installed.

Run it with a Python that has pyarrow and polars for the peer ratios (they are optional):
    python3 -m venv /tmp/bench-venv && /tmp/bench-venv/bin/pip install pyarrow polars
    /tmp/bench-venv/bin/python bench/run.py
"""

from __future__ import annotations

import argparse
import datetime as dt
import gc
import io
import json
import math
import os
import pathlib
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from typing import NamedTuple

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))
sys.path.insert(0, str(ROOT / "tests" / "python"))

from ctg_synth import Event, Recording, contractions_every, to_csv, to_request  # noqa: E402  (found through the path set just above)

MB = 1e6
Figure = tuple[float, float]  # (from wall time, from processor time)
HOUR_MINUTES = 60


def build(source: pathlib.Path, build_dir: pathlib.Path) -> pathlib.Path:
    """Builds the extensions and the benchmark programs in release mode; returns the staged package's parent."""
    subprocess.run(["cmake", "-S", str(source), "-B", str(build_dir), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DPULSEQUILL_BUILD_BENCH=ON", f"-DPython_EXECUTABLE={sys.executable}"],
                   check=True, stdout=subprocess.DEVNULL)
    # The default target: the extension modules the tree has, and the benchmark programs.
    subprocess.run(["cmake", "--build", str(build_dir), "-j2"], check=True, stdout=subprocess.DEVNULL)
    return build_dir / "python"


# ------------------------------------------------------------------ recordings

def day_rows(hours: int) -> list[dict]:
    """`hours` generated hours at 4 Hz from 2024-03-01 00:00, one seeded hour after another: contractions
    every 3.5 minutes, an acceleration and a deceleration each hour, a signal loss every other hour."""
    rows: list[dict] = []
    start = dt.datetime(2024, 3, 1)
    for hour in range(hours):
        recording = Recording(minutes=HOUR_MINUTES, start=(start + dt.timedelta(hours=hour)).isoformat(" "),
                              seed=hour + 1, contractions=contractions_every(210, end_s=3600.0),
                              fetal_events=[Event(600, 40, 25.0), Event(2000, 60, -30.0)],
                              fetal_gaps=[(3000, 20)] if hour % 2 else [])
        hour_rows = recording.rows()
        rows.extend(hour_rows if hour == hours - 1 else hour_rows[:-1])  # the next hour starts at the last row
    return rows


def three_columns(rows: list[dict]) -> str:
    def cell(value: float | None) -> str:
        return "" if value is None else repr(float(value))
    lines = ["Date,HR1,TOCO"] + [f"{r['t']},{cell(r['hr1'])},{cell(r['toco'])}" for r in rows]
    return "\n".join(lines) + "\n"


def recordings(folder: pathlib.Path) -> dict[str, pathlib.Path]:
    """Writes the generated recordings once (they are deterministic) and returns their paths."""
    folder.mkdir(parents=True, exist_ok=True)
    paths = {name: folder / name for name in
             ("day.csv", "day-3col.csv", "day.json", "30min.csv", "30min.json", "1h.csv", "2h.csv", "4h.csv")}
    if all(p.exists() for p in paths.values()):
        return paths
    day = day_rows(24)
    per_hour = 3600 * 4
    paths["day.csv"].write_text(to_csv(day))
    paths["day-3col.csv"].write_text(three_columns(day))
    paths["day.json"].write_text(to_request(day))
    last_half_hour = day[-(1800 * 4 + 1):]
    paths["30min.csv"].write_text(to_csv(last_half_hour))
    paths["30min.json"].write_text(to_request(last_half_hour))
    for hours in (1, 2, 4):
        paths[f"{hours}h.csv"].write_text(to_csv(day[:hours * per_hour + 1]))
    return paths


# -------------------------------------------------------------------- timing

class Seconds(NamedTuple):
    """Median wall and processor seconds of a call."""

    wall: float
    cpu: float

    def per(self, count: float) -> Seconds:
        return Seconds(self.wall / count, self.cpu / count)


def median_seconds(call: Callable[[], object], repeats: int) -> Seconds:
    return interleaved_medians([call], repeats)[0]


BATCH_SECONDS = 0.02


def interleaved_medians(calls: list[Callable[[], object]], repeats: int) -> list[Seconds]:
    """Median times of calls measured in turn, one batch of each per round, so that a machine whose speed drifts
    during the run (a shared VM) slows all of them alike and their ratios stay fair. As in timeit, a short call is
    timed in a batch of consecutive runs lasting at least BATCH_SECONDS: timed alone, a call of a fraction of a
    millisecond right after a collection or another call's work measures refilling the caches more than itself."""
    batch = []
    for call in calls:
        start = time.perf_counter()
        call()
        batch.append(max(1, math.ceil(BATCH_SECONDS / max(time.perf_counter() - start, 1e-9))))
    wall: list[list[float]] = [[] for _ in calls]
    cpu: list[list[float]] = [[] for _ in calls]
    for _ in range(repeats):
        for index, call in enumerate(calls):
            gc.collect()
            cpu_start, start = time.process_time(), time.perf_counter()
            for _ in range(batch[index]):
                call()
            wall[index].append((time.perf_counter() - start) / batch[index])
            cpu[index].append((time.process_time() - cpu_start) / batch[index])
    return [Seconds(statistics.median(w), statistics.median(c)) for w, c in zip(wall, cpu, strict=True)]


def core_read(build_dir: pathlib.Path, kind: str, files: list[pathlib.Path], repeats: int) -> Figure:
    """MB/s of reading the files in the core alone."""
    program = build_dir / "bench" / "bench_read"
    out = subprocess.run([str(program), kind, str(repeats), *map(str, files)], check=True, capture_output=True,
                         text=True).stdout
    figures = json.loads(out)
    megabytes = figures["bytes"] / MB
    return (megabytes / figures["median_s"], megabytes / figures["median_cpu_s"])


PEAK_SCRIPT = """
import sys
sys.path.insert(0, sys.argv[1])
from pulsequill import _native
text = open(sys.argv[2], encoding="utf-8").read()

def status(key):
    for line in open("/proc/self/status"):
        if line.startswith(key):
            return int(line.split()[1]) * 1024

before = status("VmRSS:")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the peak resident size starts again from the current one
_native.analyze_csv_string(text)
print(status("VmHWM:") - before)
"""


def peak_extra_bytes(package: pathlib.Path, path: pathlib.Path) -> int:
    out = subprocess.run([sys.executable, "-c", PEAK_SCRIPT, str(package), str(path)], check=True,
                         capture_output=True, text=True).stdout
    return int(out)


def measure(package: pathlib.Path, build_dir: pathlib.Path, paths: dict[str, pathlib.Path],
            repeats: int) -> dict[str, Figure]:
    sys.path.insert(0, str(package))
    from pulsequill import _native

    figures: dict[str, Figure] = {}
    texts = {name: path.read_text() for name, path in paths.items()}
    day = texts["day.csv"]
    day_mb = len(day.encode()) / MB

    figures["CSV read, 24 h, six columns (MB/s)"] = core_read(build_dir, "csv", [paths["day.csv"]], repeats)
    figures["CSV read, 24 h, Date,HR1,TOCO (MB/s)"] = core_read(build_dir, "csv", [paths["day-3col.csv"]], repeats)
    real = sorted((ROOT.parent / "shared" / "data" / "ctu-uhb").glob("*.csv"))
    if real:
        figures[f"CSV read, {len(real)} real exports (MB/s)"] = core_read(build_dir, "csv", real, repeats)
    figures["JSON request read, 24 h (MB/s)"] = core_read(build_dir, "json", [paths["day.json"]], repeats)

    def milliseconds(seconds: Seconds) -> Figure:
        return (seconds.wall * 1e3, seconds.cpu * 1e3)

    chunk_csv = median_seconds(lambda: _native.analyze_csv_string(texts["30min.csv"]), repeats)
    figures["30-min chunk call, CSV (ms)"] = milliseconds(chunk_csv)
    figures["30-min chunk call, JSON (ms)"] = milliseconds(
        median_seconds(lambda: _native.analyze_json_string(texts["30min.json"]), repeats))
    day_chunk = median_seconds(lambda: _native.analyze_csv_string(day), repeats)
    figures["24-h chunk call (MB/s)"] = (day_mb / day_chunk.wall, day_mb / day_chunk.cpu)
    if real:
        real_texts = [p.read_text() for p in real]
        figures[f"chunk calls, {len(real)} real exports (ms)"] = milliseconds(
            median_seconds(lambda: [_native.analyze_csv_string(t) for t in real_texts], repeats))

    def rolling(text: str, window: int, step: int) -> tuple[Seconds, int]:
        windows = len(json.loads(_native.analyze_csv_string(text, window_min=window, step_sec=step))["windows"])
        return median_seconds(lambda: _native.analyze_csv_string(text, window_min=window, step_sec=step),
                              repeats), windows

    seconds, windows = rolling(day, 30, 60)
    figures["rolling 30 min / 60 s, 24 h (ms)"] = milliseconds(seconds)
    figures["per window, 24 h (us)"] = milliseconds(seconds.per(windows / 1e3))
    for hours in (1, 4):
        seconds, windows = rolling(texts[f"{hours}h.csv"], 30, 60)
        figures[f"per window, {hours} h (us)"] = milliseconds(seconds.per(windows / 1e3))
    figures["rolling 10 min / 1 s, 2 h (ms)"] = milliseconds(rolling(texts["2h.csv"], 10, 1)[0])

    peak = peak_extra_bytes(package, paths["day.csv"]) / (day_mb * MB)
    figures["peak extra memory, 24-h call (x input)"] = (peak, peak)

    def ratio(other: Seconds, ours: Seconds) -> Figure:
        return (other.wall / ours.wall, other.wall / ours.wall)

    # Each ratio from its own round of interleaved runs of the two calls.
    import reference_model as rm
    ours, model = interleaved_medians([lambda: _native.analyze_csv_string(texts["30min.csv"]),
                                       lambda: rm.analyze(rm.read_csv(texts["30min.csv"]))], repeats)
    figures["30-min chunk call vs pure-Python model (x faster)"] = (model.wall / ours.wall, model.cpu / ours.cpu)
    day_bytes = day.encode()
    day_call = lambda: _native.analyze_csv_string(day)  # noqa: E731  (named for the two rounds below)
    try:
        import pyarrow as pa
        import pyarrow.csv as pa_csv
        ours, arrow = interleaved_medians([day_call, lambda: pa_csv.read_csv(pa.BufferReader(day_bytes))], repeats)
        figures["24-h chunk call vs pyarrow.csv.read_csv (x faster)"] = ratio(arrow, ours)
    except ImportError:
        pass
    try:
        import polars as pl
        ours, polars_s = interleaved_medians(
            [day_call, lambda: pl.read_csv(io.BytesIO(day_bytes), try_parse_dates=False)], repeats)
        figures["24-h chunk call vs polars.read_csv (x faster)"] = ratio(polars_s, ours)
    except ImportError:
        pass
    return figures


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--source", type=pathlib.Path, default=ROOT, help="source tree to build (default: this one)")
    parser.add_argument("--build-dir", type=pathlib.Path, default=None)
    parser.add_argument("--json", type=pathlib.Path, help="also write the figures to this file")
    parser.add_argument("--compare", type=pathlib.Path, help="figures of an earlier run (--json) to show beside")
    args = parser.parse_args()

    build_dir = args.build_dir or args.source / "build" / "bench-release"
    package = build(args.source, build_dir)
    paths = recordings(ROOT / "build" / "bench-data")
    figures = measure(package, build_dir, paths, args.repeats)

    earlier = json.loads(args.compare.read_text()) if args.compare else {}
    header = f"{'figure':<52} {'wall':>9} {'cpu':>9}"
    print(header + (f" {'was wall':>9} {'was cpu':>9}" if earlier else ""))
    for name, (wall, cpu) in figures.items():
        line = f"{name:<52} {wall:>9.2f} {cpu:>9.2f}"
        if earlier:
            was = earlier.get(name)
            line += f" {was[0]:>9.2f} {was[1]:>9.2f}" if was else f" {'-':>9} {'-':>9}"
        print(line)
    print(f"(median of {args.repeats} runs; {os.cpu_count()} cores; Python {sys.version.split()[0]})")
    if args.json:
        args.json.write_text(json.dumps(figures, indent=2) + "\n")


if __name__ == "__main__":
    main()
