"""Batches in worker processes: input order, failures kept per file, a dying worker, leaving early and Ctrl-C."""

import ctypes
import multiprocessing
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

from ctg_synth import Recording, to_csv
from pulsequill import InputWarning, Report, analyze_file, analyze_files
from pulsequill.batch import WorkerDied, _analyze_in_processes, _analyze_in_worker


@pytest.fixture
def recordings(tmp_path):
    paths = []
    for seed in range(4):
        path = tmp_path / f"r{seed}.csv"
        path.write_text(to_csv(Recording(minutes=10 + seed, hz=1, seed=seed).rows()), encoding="utf-8")
        paths.append(path)
    return paths


def test_outcomes_come_in_input_order_and_one_bad_file_stops_nothing(recordings, tmp_path):
    bad = tmp_path / "bad.csv"
    bad.write_text("Time,HR1\n08:00:00,140\n", encoding="utf-8")
    paths = [recordings[0], bad, str(recordings[1]), tmp_path / "missing.csv", *recordings[2:]]
    with pytest.warns(InputWarning, match="channel HR2 has no usable fetal heart rate"):
        results = list(analyze_files(paths, workers=2, progress=False, channel="HR2", window_min=10))
    assert [path for path, _ in results] == paths
    outcomes = dict((os.fspath(path), outcome) for path, outcome in results)
    assert isinstance(outcomes[os.fspath(bad)], ValueError)
    assert str(outcomes[os.fspath(bad)]) == "CSV is missing required Date column"
    assert outcomes[os.fspath(bad)].__notes__  # the guidance survives the trip between processes
    assert isinstance(outcomes[os.fspath(tmp_path / "missing.csv")], FileNotFoundError)
    for path in recordings:
        report = outcomes[os.fspath(path)]
        assert isinstance(report, Report)
        with pytest.warns(InputWarning):
            assert report.text == analyze_file(path, channel="HR2", window_min=10).text


def die_on_the_second(path, options):
    """A task whose worker process dies on one file, as on a crash or when the system ends it."""
    if pathlib.Path(path).name == "r1.csv":
        os._exit(1)
    return _analyze_in_worker(path, options)


@pytest.mark.parametrize("other_thread", [False, True], ids=["forked workers", "workers from a fork server"])
def test_a_dying_worker_fails_only_its_own_file(recordings, other_thread):
    # A program that runs other threads gets its workers another way; the outcome must not change.
    release = threading.Event()
    other = threading.Thread(target=release.wait, daemon=True)
    if other_thread:
        other.start()
    try:
        results = list(_analyze_in_processes(recordings, 2, {}, die_on_the_second))
    finally:
        release.set()
        if other_thread:
            other.join()
    assert [path for path, _ in results] == recordings
    assert [type(outcome) for _, outcome in results] == [Report, WorkerDied, Report, Report]


def test_leaving_the_loop_early_ends_the_workers(recordings):
    for _ in analyze_files(recordings * 3, workers=2, progress=False):
        break
    # Ended workers are reaped at once, but a slow machine may need a moment;
    # workers left running would wait for files forever.
    deadline = time.monotonic() + 10
    while multiprocessing.active_children() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert multiprocessing.active_children() == []


def descendants(pid):
    found = []
    for task in pathlib.Path(f"/proc/{pid}/task").iterdir():
        for child in (task / "children").read_text().split():
            found += [int(child), *descendants(int(child))]
    return found


def running(pid):
    try:
        state = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return False
    return state != "Z"


def interrupt_process(pid):
    os.kill(pid, signal.SIGINT)


def interrupt_a_helper_thread(pid):
    # The kernel may hand a process's signal to any of its threads; here, deliberately, not the main one.
    helpers = [int(task.name) for task in pathlib.Path(f"/proc/{pid}/task").iterdir() if int(task.name) != pid]
    assert ctypes.CDLL(None, use_errno=True).tgkill(pid, helpers[0], signal.SIGINT) == 0


@pytest.mark.parametrize("interrupt", [interrupt_process, interrupt_a_helper_thread])
def test_ctrl_c_stops_a_batch_promptly_and_cleanly(tmp_path, interrupt):
    # Each long recording takes seconds with one-second steps; the short one finishes first.
    (tmp_path / "short.csv").write_text(to_csv(Recording(minutes=12, hz=1).rows()), encoding="utf-8")
    (tmp_path / "long.csv").write_text(to_csv(Recording(minutes=180, hz=2).rows()), encoding="utf-8")
    for copy in range(4):
        (tmp_path / f"long{copy}.csv").symlink_to(tmp_path / "long.csv")
    files = ["short.csv", *(f"long{copy}.csv" for copy in range(4))]
    command = [sys.executable, "-m", "pulsequill", "analyze", "--jsonl", "--workers", "2", "--window-min", "30",
               "--step-sec", "1", *files]
    # As from a terminal: a test run started in the background may have Ctrl-C ignored, which children inherit.
    batch = subprocess.Popen(command, cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        first = batch.stdout.readline()
        assert b'"file": "short.csv"' in first
        workers = descendants(batch.pid)
        interrupt(batch.pid)
        interrupted = time.monotonic()
        rest, errors = batch.communicate(timeout=30)
        stopped_after = time.monotonic() - interrupted
    finally:
        batch.kill()
    assert batch.returncode == 130
    assert errors.decode() == "pulsequill: interrupted\n"
    assert rest == b""
    assert stopped_after < 2.0  # analysing one long recording alone takes longer
    deadline = time.monotonic() + 5
    while any(map(running, workers)) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert workers and not any(map(running, workers))
