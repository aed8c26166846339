"""Writes samples/ctg-40min-4hz.csv, the recording the README runs.

Forty minutes at 4 Hz of a reassuring trace: baseline 140 bpm with moderate
variability, four accelerations of about 25 bpm and a contraction every four
minutes, with no deceleration. Deterministic: running it again gives the same
file.

    python3 scripts/make-sample.py
"""

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))

from ctg_synth import Event, Recording, to_csv  # noqa: E402

MINUTE = 60.0


def sample_recording() -> Recording:
    accelerations = [Event(start_s=m * MINUTE, duration_s=40.0, amplitude=25.0) for m in (4.5, 13.0, 24.5, 33.0)]
    contractions = [Event(start_s=m * MINUTE, duration_s=80.0, amplitude=45.0) for m in range(2, 40, 4)]
    return Recording(minutes=40.0, hz=4.0, baseline_bpm=140.0, variability_bpm=10.0,
                     fetal_events=accelerations, contractions=contractions, seed=7)


def main() -> None:
    target = ROOT / "samples" / "ctg-40min-4hz.csv"
    target.write_text(to_csv(sample_recording().rows()), encoding="utf-8")
    print(f"wrote {target.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
