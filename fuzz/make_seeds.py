"""Writes the fuzz targets' seed corpora into fuzz/corpus/<target>/.

Recordings come from tools/ctg_synth.py, each chosen to reach a part of the
analysis that random mutation finds only slowly: tachysystole, Category II
bradycardia, accelerations, late and variable decelerations against
contractions, Category III, marked variability, rolling windows near and
beyond the fuzzer's window bound.
Run from anywhere; the output is deterministic, so rerunning leaves the
committed files unchanged.
"""

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tools"))

import ctg_synth as synth  # noqa: E402

CORPUS = ROOT / "fuzz" / "corpus"

TIMESTAMPS = {
    "plain": "2024-03-01 10:15:02",
    "iso_zulu_millis": "2024-03-01T10:15:02.250Z",
    "offset": "2024-03-01 10:15:02+01:00",
    "negative_offset": "2024-03-01 10:15:02.5-05:30",
    "loose": "2024-3-1 7:5:2",
    "padded": " \u00a02024-03-01 10:00:00ZZ\u3000",
    "before_epoch": "1969-12-31 23:59:59.999",
    "far_year": "+9999-12-31 23:59:59",
    "bad_day": "2023-02-29 10:00:00",
}

CSV = {
    "minimal": "Date,HR1,HR2,HR3,HRM,TOCO\n2024-03-01 10:00:00,140,,,82,12\n",
    "crlf_any_case": "date,hr1,toco\r\n2024-03-01 10:00:00,+1.5e2,12\r\n2024-03-01 10:00:00.500,,-0\r\n",
    "disorder": ("TOCO,Date,HRM,HR1\n10,2024-03-01 10:00:02,80,141\n11,2024-03-01 10:00:01,80,140\n"
                 "12,2024-03-01 10:00:01,81,139\n13,2024-03-01T10:00:03Z,80,1e999\n"),
    "bad_row": "Date,HR1\n2024-03-01 10:00:00,140\nnot a time,141\n",
    "non_finite": "Date,HR1,HR2,HR3,HRM,TOCO\n2024-03-01 10:00:00,inf,-Infinity,nan,-NaN,1e400\n",
}

REQUESTS = {
    "minimal": '{"episode_id":"e","sent_at":"s","samples":[{"t":"2024-03-01T10:00:00Z","hr1":140.25}]}',
    "options": ('{"episode_id":"bed-4","sent_at":"2024-03-01T09:00:00Z","samples":['
                '{"t":"2024-03-01 10:00:00","hr1":140,"hr2":141.5,"hr3":null,"hrm":82.25,"toco":0},'
                '{"t":"2024-03-01T10:00:00.250Z","h\\u00721":1e2,"extra":{"a":[1,2,{"b":null}]}}],'
                '"analysis_options":{"fetal_channel":" hr2 ","max_analysis_minutes":20},'
                '"metadata":{"gestational_age_weeks":38}}'),
    "refused": '{"episode_id":"e","sent_at":"s","samples":[{"t":"2024-03-01 10:00:00","hr1":"140"}]}',
    "null_options": ('{"episode_id":"e","sent_at":"s","samples":[{"t":"2024-03-01 10:00:00"}],'
                     '"analysis_options":null,"metadata":null}'),
    "weeks_too_large": ('{"episode_id":"e","sent_at":"s","samples":[{"t":"2024-03-01 10:00:00"}],'
                        '"metadata":{"gestational_age_weeks":256}}'),
}


def compact_csv(rows: list[dict], channel: str = "hr1") -> str:
    """Only the columns a seed needs, values to whole units: small seeds mutate fast."""
    def cell(value) -> str:
        return "" if value is None else str(round(value))
    lines = [f"Date,{channel.upper()},TOCO"]
    lines += [f"{r['t']},{cell(r[channel])},{cell(r['toco'])}" for r in rows]
    return "\n".join(lines) + "\n"


def settings(json: bool = False, last_only: bool = False, channel: int = 0, window_min: int | None = None,
             step_sec: int = 1, ga_weeks: int = 0) -> bytes:
    """The pipeline target's four leading bytes (see fuzz_pipeline.cpp)."""
    window_byte = 0 if window_min is None else window_min - 10
    if window_byte == 0 and window_min is not None:
        window_byte = 21  # 10 minutes, as 0 means chunk mode
    return bytes([int(json) | int(last_only) << 1 | channel << 2, window_byte, (step_sec - 1) // 15, ga_weeks])


def pipeline_seeds() -> dict[str, bytes]:
    tachysystole = synth.contractions_every(65, duration_s=30, start_s=10, end_s=30 * 60)
    seeds = {
        "tachysystole": synth.Recording(minutes=30, hz=1, maternal_bpm=None, contractions=tachysystole, seed=3),
        "tachysystole_minimal_variability": synth.Recording(minutes=30, hz=1, maternal_bpm=None, baseline_bpm=170,
                                                            variability_bpm=4, contractions=tachysystole, seed=5),
        "bradycardia_category_ii": synth.Recording(minutes=12, hz=1, maternal_bpm=None, baseline_bpm=100, seed=4),
    }
    # Twenty minutes with a contraction every five, and what the fetal trace does around them.
    every_5_min = synth.contractions_every(300, start_s=60, end_s=20 * 60)
    seeds |= {
        "accelerations": synth.Recording(minutes=20, hz=1, maternal_bpm=None, variability_bpm=12, seed=11,
                                         contractions=every_5_min,
                                         fetal_events=[synth.Event(t, 60, 25.0) for t in (240, 700, 1000)]),
        "late_decelerations": synth.Recording(minutes=20, hz=1, maternal_bpm=None, variability_bpm=0.8, seed=12,
                                              contractions=every_5_min,
                                              fetal_events=[synth.Event(c.start_s + 20, 120, -50.0)
                                                            for c in every_5_min]),
        "category_iii_variable_decelerations": synth.Recording(
            minutes=20, hz=1, maternal_bpm=None, baseline_bpm=100, variability_bpm=0.5, seed=13,
            contractions=every_5_min, fetal_events=[synth.Event(c.start_s + 10, 40, -40.0) for c in every_5_min]),
        "marked_variability": synth.Recording(minutes=20, hz=1, maternal_bpm=None, variability_bpm=40, seed=14,
                                              contractions=every_5_min,
                                              fetal_events=[synth.Event(c.start_s - 5, 100, -20.0)
                                                            for c in every_5_min]),
    }
    out = {name: settings() + compact_csv(recording.rows()).encode() for name, recording in seeds.items()}
    short = synth.Recording(minutes=12, hz=0.5, maternal_bpm=None, channel="HR2",
                            fetal_events=[synth.Event(200, 60, -40.0)],
                            contractions=synth.contractions_every(180, start_s=150, end_s=600), seed=6)
    short_csv = compact_csv(short.rows(), "hr2").encode()
    out["rolling_within_bound"] = settings(channel=1, window_min=10, step_sec=16) + short_csv
    out["rolling_last_only"] = settings(last_only=True, channel=1, window_min=10, step_sec=1, ga_weeks=30) + short_csv
    out["rolling_beyond_bound"] = (settings(window_min=10) + CSV["minimal"].encode()
                                   + b"2031-01-01 10:00:00,140,,,82,12\n")
    request_rows = synth.Recording(minutes=3, hz=1, seed=7).rows()
    out["request"] = settings(json=True) + synth.to_request(request_rows, channel="HR1", ga_weeks=31).encode()
    return out


def write(target: str, seeds: dict) -> None:
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    for name, content in seeds.items():
        (folder / name).write_bytes(content if isinstance(content, bytes) else content.encode())


def main() -> None:
    write("timestamp", TIMESTAMPS)
    write("csv_reader", CSV)
    write("json_request", REQUESTS)
    write("pipeline", pipeline_seeds())


if __name__ == "__main__":
    main()
