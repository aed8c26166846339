"""Synthetic cardiotocography recordings with known content.

Builds monitor rows (Date, HR1, HR2, HR3, HRM, TOCO) at a fixed sampling rate
from a baseline, a variability amplitude and placed events (accelerations,
decelerations, contractions, signal loss), and writes them as a monitor CSV
export or a JSON analysis request. Deterministic for a given seed, so tests and
benchmarks can state what the analysis must find.

    python3 tools/ctg_synth.py --minutes 40 > recording.csv
"""

from __future__ import annotations

import argparse
import datetime as dt
import json
import math
import random
import sys
from dataclasses import dataclass, field


@dataclass
class Event:
    """A shape added to a channel from `start_s` for `duration_s` seconds."""

    start_s: float
    duration_s: float
    amplitude: float  # bpm for heart-rate events (negative for decelerations), TOCO units for contractions

    def offset(self, t: float) -> float:
        """Raised-cosine bump: 0 outside, `amplitude` at the middle."""
        if t < self.start_s or t > self.start_s + self.duration_s or self.duration_s <= 0:
            return 0.0
        phase = (t - self.start_s) / self.duration_s
        return self.amplitude * 0.5 * (1.0 - math.cos(2.0 * math.pi * phase))


@dataclass
class Plateau:
    """A flat step added to a channel: `amplitude` for the whole span."""

    start_s: float
    duration_s: float
    amplitude: float

    def offset(self, t: float) -> float:
        return self.amplitude if self.start_s <= t < self.start_s + self.duration_s else 0.0


@dataclass
class Recording:
    minutes: float
    hz: float = 4.0
    start: str = "2024-03-01 08:00:00"
    baseline_bpm: float = 140.0
    variability_bpm: float = 10.0  # peak-to-peak amplitude of the beat-to-beat wander
    maternal_bpm: float | None = 82.0
    toco_rest: float | None = 12.0
    fetal_events: list = field(default_factory=list)
    contractions: list = field(default_factory=list)
    fetal_gaps: list = field(default_factory=list)  # (start_s, duration_s): no fetal value
    toco_gaps: list = field(default_factory=list)
    channel: str = "HR1"
    seed: int = 1

    def rows(self) -> list[dict]:
        """Rows in time order: {'t': text, 'hr1'.., 'hrm', 'toco'}; absent values are None."""
        rng = random.Random(self.seed)
        start = dt.datetime.fromisoformat(self.start)
        count = int(round(self.minutes * 60 * self.hz)) + 1
        half = self.variability_bpm / 2.0
        rows = []
        for i in range(count):
            t = i / self.hz
            when = start + dt.timedelta(seconds=t)
            text = when.strftime("%Y-%m-%d %H:%M:%S")
            if when.microsecond:
                text += f".{when.microsecond // 1000:03d}"
            wander = half * math.sin(2 * math.pi * t / 17.0) * 0.8 + rng.uniform(-0.2, 0.2) * half
            fetal = self.baseline_bpm + wander + sum(e.offset(t) for e in self.fetal_events)
            if any(s <= t < s + d for s, d in self.fetal_gaps):
                fetal = None
            toco = None
            if self.toco_rest is not None and not any(s <= t < s + d for s, d in self.toco_gaps):
                toco = self.toco_rest + rng.uniform(-0.5, 0.5) + sum(c.offset(t) for c in self.contractions)
            maternal = None
            if self.maternal_bpm is not None:
                maternal = self.maternal_bpm + 2.0 * math.sin(2 * math.pi * t / 43.0)
            row = {"t": text, "hr1": None, "hr2": None, "hr3": None, "hrm": maternal, "toco": toco}
            row[self.channel.lower()] = None if fetal is None else round(fetal, 2)
            if row["hrm"] is not None:
                row["hrm"] = round(row["hrm"], 2)
            if row["toco"] is not None:
                row["toco"] = round(row["toco"], 2)
            rows.append(row)
        return rows


def contractions_every(every_s: float, *, duration_s: float = 90.0, amplitude: float = 50.0,
                       start_s: float = 60.0, end_s: float = 35 * 60.0) -> list[Event]:
    """Regular contractions: one of `duration_s` every `every_s` seconds, all ending before `end_s`."""
    events = []
    t = start_s
    while t + duration_s < end_s:
        events.append(Event(t, duration_s, amplitude))
        t += every_s
    return events


def golden_recordings() -> dict[str, tuple[Recording, dict]]:
    """The recordings behind the golden reports of tests/python/golden/, each with
    the keyword arguments of analyze_csv_string its report is made with. Changing
    one changes its golden files: regenerate them with
    tools/regenerate_golden_reports.py and review the difference."""
    every_3_5_min = contractions_every(210, duration_s=80)
    every_7_min = contractions_every(420, duration_s=90)
    every_4_min = contractions_every(240, duration_s=90)
    return {
        # Reassuring: normal baseline, moderate variability, accelerations.
        "reassuring": (Recording(minutes=35, hz=1, baseline_bpm=135.0, variability_bpm=12.0, seed=11,
                                 contractions=every_3_5_min,
                                 fetal_events=[Event(t, 60, 25.0) for t in (240, 700, 1150, 1600, 1900)]), {}),
        # Flat trace with a late deceleration after every contraction.
        "late_decelerations": (Recording(minutes=35, hz=1, baseline_bpm=140.0, variability_bpm=0.8, seed=12,
                                         contractions=every_7_min,
                                         fetal_events=[Event(c.start_s + 20, 120, -50.0) for c in every_7_min]),
                               {}),
        # Fetal tachycardia with minimal variability throughout, in 20-minute rolling windows.
        "tachycardia_minimal": (Recording(minutes=35, hz=1, baseline_bpm=170.0, variability_bpm=4.0, seed=13,
                                          contractions=every_4_min), {"window_min": 20, "step_sec": 300}),
        # A slipping transducer: the fetal and TOCO signals come and go.
        "signal_loss": (Recording(minutes=35, hz=1, baseline_bpm=145.0, variability_bpm=10.0, seed=14,
                                  contractions=every_4_min,
                                  fetal_gaps=[(t, 150) for t in range(0, 35 * 60, 240)],
                                  toco_gaps=[(t, 120) for t in range(100, 35 * 60, 200)]), {}),
    }


def to_csv(rows: list[dict], line_end: str = "\n") -> str:
    """The rows as a monitor CSV export (empty cell for an absent value)."""

    def cell(value) -> str:
        return "" if value is None else repr(float(value))

    lines = ["Date,HR1,HR2,HR3,HRM,TOCO"]
    for r in rows:
        lines.append(",".join([r["t"]] + [cell(r[k]) for k in ("hr1", "hr2", "hr3", "hrm", "toco")]))
    return line_end.join(lines) + line_end


def to_request(rows: list[dict], *, channel: str | None = None, ga_weeks: int | None = None,
               episode_id: str = "episode-1", sent_at: str = "2024-03-01T09:00:00Z") -> str:
    """The rows as a JSON analysis request (absent values left out)."""
    samples = []
    for r in rows:
        sample = {"t": r["t"].replace(" ", "T") + "Z"}
        for key in ("hr1", "hr2", "hr3", "hrm", "toco"):
            if r[key] is not None:
                sample[key] = r[key]
        samples.append(sample)
    request: dict = {"episode_id": episode_id, "sent_at": sent_at, "samples": samples}
    if channel is not None:
        request["analysis_options"] = {"fetal_channel": channel}
    if ga_weeks is not None:
        request["metadata"] = {"gestational_age_weeks": ga_weeks}
    return json.dumps(request)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=40.0)
    parser.add_argument("--hz", type=float, default=4.0)
    parser.add_argument("--baseline", type=float, default=140.0)
    parser.add_argument("--variability", type=float, default=10.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--json", action="store_true", help="write a JSON analysis request instead of CSV")
    args = parser.parse_args()
    rec = Recording(minutes=args.minutes, hz=args.hz, baseline_bpm=args.baseline,
                    variability_bpm=args.variability, seed=args.seed)
    rows = rec.rows()
    sys.stdout.write(to_request(rows) if args.json else to_csv(rows))


if __name__ == "__main__":
    main()
