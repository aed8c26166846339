"""The Dask engine on a small in-process cluster: the local batch's outcomes, and Parquet that reads back equal."""

import pathlib
import urllib.parse

import pytest

import ctg_synth
import pulsequill
from pulsequill import cli

distributed = pytest.importorskip("distributed")
pq = pytest.importorskip("pyarrow.parquet")

OPTIONS = {"window_min": 20, "step_sec": 300}


@pytest.fixture
def recordings(tmp_path: pathlib.Path) -> list[str]:
    paths = []
    for name, (recording, _) in sorted(ctg_synth.golden_recordings().items())[:3]:
        path = tmp_path / f"{name}.csv"
        path.write_text(ctg_synth.to_csv(recording.rows()))
        paths.append(str(path))
    bad = tmp_path / "bad.csv"
    bad.write_text("Date,HR1\nyesterday,140\n")
    return [paths[0], str(bad), *paths[1:], str(tmp_path / "missing.csv")]


def read_back(out: pathlib.Path) -> list[dict]:
    return sorted(pq.read_table(out).to_pylist(), key=lambda row: (row["file"], row["window_index"]))


def test_dask_batch_matches_the_local_batch_and_writes_its_windows(recordings: list[str],
                                                                   tmp_path: pathlib.Path) -> None:
    out = tmp_path / "windows.parquet"
    on_dask = list(pulsequill.analyze_files(recordings, engine="dask", workers=2, processes=False, progress=False,
                                            out=out, **OPTIONS))
    local = list(pulsequill.analyze_files(recordings, workers=1, progress=False, **OPTIONS))

    assert [path for path, _ in on_dask] == recordings
    for (_, mine), (_, theirs) in zip(on_dask, local, strict=True):
        assert type(mine) is type(theirs)
        assert str(mine) == str(theirs) if isinstance(mine, Exception) else mine.text == theirs.text
    assert [type(outcome).__name__ for _, outcome in on_dask] == [
        "Report", "ValueError", "Report", "Report", "FileNotFoundError"]

    expected = sorted(({"file": path, **row} for path, report in local if isinstance(report, pulsequill.Report)
                       for row in report.to_records()), key=lambda row: (row["file"], row["window_index"]))
    assert read_back(out) == expected
    analysed = [path for path, outcome in local if isinstance(outcome, pulsequill.Report)]
    assert {part.name for part in out.iterdir()} == {"file=" + urllib.parse.quote(path, safe="") for path in analysed}


def test_summary_command_on_a_given_scheduler(recordings: list[str], tmp_path: pathlib.Path,
                                              capsys: pytest.CaptureFixture[str]) -> None:
    out = tmp_path / "summary.parquet"
    with distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=None) as cluster:
        status = cli.main(["summary", "--engine", "dask", "--scheduler", cluster.scheduler_address, "--out", str(out),
                           "--no-progress", "--window-min", "20", "--step-sec", "300", *recordings])
    captured = capsys.readouterr()
    assert status == 1 and "bad.csv" in captured.err and "missing.csv" in captured.err
    good = [path for path in recordings if "bad" not in path and "missing" not in path]
    assert sorted({row["file"] for row in read_back(out)}) == sorted(good)
    assert all(path in captured.out for path in good)
    assert cli.main(["summary", "--out", str(out), *good]) == 2  # Parquet only from the Dask engine
