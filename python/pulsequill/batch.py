"""Many recordings at once: one worker process per core, results in input order.

An analysis holds the interpreter lock for its whole duration, so threads would
take turns; processes run side by side. Each file's outcome is either its
:class:`~pulsequill.report.Report` or the exception that refused it, so one bad
file never stops the others, not even one whose worker process dies.
"""

from __future__ import annotations

import multiprocessing
import os
import pickle
import signal
import sys
import threading
import warnings
from collections import deque
from collections.abc import Callable, Generator, Iterable
from concurrent.futures import Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from typing import Any, Protocol, TypeVar

from . import _native
from .files import analyze_file
from .report import Report

PathT = TypeVar("PathT", bound="str | os.PathLike[str]")
Outcome = Report | Exception
Results = Generator[tuple[PathT, Outcome], None, None]


class WorkerDied(RuntimeError):
    """The process analysing a file ended without an answer (killed, out of memory or crashed)."""


@dataclass(frozen=True)
class _Answer:
    """What a worker sends back: the outcome and the warnings raised while reaching it."""

    outcome: Outcome
    warnings: tuple[tuple[type[Warning], str], ...]


def available_cpus() -> int:
    """The number of processors this process may run on."""
    if sys.version_info >= (3, 13):
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def analyze_files(
    paths: Iterable[PathT],
    *,
    workers: int | None = None,
    progress: bool = True,
    engine: str = "local",
    **options: Any,
) -> Results[PathT]:
    """Analyse many files, yielding ``(path, report or exception)`` in the order the paths were given.

    ``options`` are those of :func:`pulsequill.analyze_file` and apply to every file. ``workers`` is the number of
    processes (default: one per available processor). With ``progress`` a bar is drawn on standard error when it
    is a terminal and the ``progress`` extra (tqdm) is installed. Ctrl-C stops the workers at once and raises
    ``KeyboardInterrupt``; leaving the loop early stops them too.
    """
    if engine == "dask":
        from .dask_batch import analyze_files_dask

        return analyze_files_dask(list(paths), workers=workers, progress=progress, **options)
    if engine != "local":
        raise ValueError(f"unknown engine {engine!r}; expected 'local' or 'dask'")
    if workers is not None and workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    chosen = list(paths)
    if len(chosen) <= 1:
        results = _analyze_here(chosen, options)
    else:
        count = min(workers or available_cpus(), len(chosen))
        results = _analyze_in_processes(chosen, count, options, _analyze_in_worker)
    return _with_progress(results, len(chosen)) if progress else results


def _analyze_here(paths: list[PathT], options: dict[str, Any]) -> Results[PathT]:
    for path in paths:
        yield path, _outcome_of(path, options)


def _outcome_of(path: str | os.PathLike[str], options: dict[str, Any]) -> Outcome:
    try:
        return analyze_file(path, **options)
    except Exception as error:
        return error
    except _native.PanicException as panic:
        # An internal fault concerns this file only; the batch goes on.
        return RuntimeError(f"internal fault of the analysis: {panic}")


def _analyze_in_worker(path: str | os.PathLike[str], options: dict[str, Any]) -> _Answer:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        outcome = _outcome_of(path, options)
    return _Answer(_transferable(outcome), tuple((w.category, str(w.message)) for w in caught))


def _transferable(outcome: Outcome) -> Outcome:
    """The outcome itself when it survives the trip between processes, else an equivalent RuntimeError."""
    if isinstance(outcome, Report):
        return outcome
    try:
        pickle.loads(pickle.dumps(outcome))
        return outcome
    except Exception:
        stand_in = RuntimeError(f"{type(outcome).__name__}: {outcome}")
        for note in getattr(outcome, "__notes__", ()):
            stand_in.add_note(note)
        return stand_in


def _ignore_interrupts() -> None:
    # Ctrl-C on a terminal reaches the whole process group; the parent alone decides what happens next.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _new_pool(workers: int) -> ProcessPoolExecutor:
    context = multiprocessing.get_context(_start_method())
    return ProcessPoolExecutor(workers, mp_context=context, initializer=_ignore_interrupts)


def _start_method() -> str:
    # Forking starts workers quickest and never runs the main script again, but a child forked while other
    # threads run may deadlock on a lock one of them held; a fork server (else spawning) gives clean workers then.
    methods = multiprocessing.get_all_start_methods()
    if "fork" in methods and threading.active_count() == 1:
        return "fork"
    return "forkserver" if "forkserver" in methods else "spawn"


Task = Callable[[Any, dict[str, Any]], _Answer]
Entry = tuple[PathT, "Future[_Answer]"]


def _analyze_in_processes(
    paths: list[PathT], workers: int, options: dict[str, Any], task: Task
) -> Results[PathT]:
    pool = _new_pool(workers)
    waiting = iter(paths)
    in_flight: deque[Entry[PathT]] = deque()
    finished = False
    try:
        while True:
            # Keep a few files queued per worker: enough to stay busy, few enough to hold little in memory.
            for path in waiting:
                in_flight.append((path, pool.submit(task, path, options)))
                if len(in_flight) >= 2 * workers:
                    break
            if not in_flight:
                finished = True
                return
            if isinstance(_settled(in_flight[0][1]).exception(), BrokenProcessPool):
                pool = _rerun_alone(in_flight, pool, workers, options, task)
            path, future = in_flight.popleft()
            answer = _answer_of(future)
            for category, message in answer.warnings:
                warnings.warn(message, category, stacklevel=2)
            yield path, answer.outcome
    finally:
        if finished:
            pool.shutdown(wait=True)
        else:
            _stop_now(pool)


def _settled(future: Future[_Answer]) -> Future[_Answer]:
    """The future once it is done, waited for in short slices so that Ctrl-C takes effect at once.

    The signal may be delivered to one of the pool's helper threads; the main thread acts on it only when it runs
    Python code again, which a wait without a time limit would put off until the file is done.
    """
    while not future.done():
        wait([future], timeout=0.1)
    return future


def _answer_of(future: Future[_Answer]) -> _Answer:
    error = future.exception()
    if error is None:
        return future.result()
    # A failure outside the analysis (an answer that could not be sent back, say) concerns this file only.
    return _Answer(error if isinstance(error, Exception) else RuntimeError(str(error)), ())


def _rerun_alone(
    in_flight: deque[Entry[PathT]], pool: ProcessPoolExecutor, workers: int, options: dict[str, Any], task: Task
) -> ProcessPoolExecutor:
    """After a worker died, run each file it may have been working on by itself, so only the culprit fails.

    A dying worker breaks the whole pool and every unfinished file in it; which one killed it is unknown.
    """
    for _, future in in_flight:
        _settled(future)
    pool.shutdown(wait=True)
    pool = _new_pool(workers)
    try:
        for index, (path, future) in enumerate(in_flight):
            if not isinstance(future.exception(), BrokenProcessPool):
                continue
            again = _settled(pool.submit(task, path, options))
            if isinstance(again.exception(), BrokenProcessPool):
                again = Future()
                again.set_result(_Answer(_worker_died(path), ()))
                pool.shutdown(wait=True)
                pool = _new_pool(workers)
            in_flight[index] = (path, again)
    except BaseException:
        _stop_now(pool)
        raise
    return pool


def _worker_died(path: str | os.PathLike[str]) -> WorkerDied:
    return WorkerDied(f"{os.fspath(path)}: the process analysing the file ended without an answer")


def _stop_now(pool: ProcessPoolExecutor) -> None:
    """Drop the queued files and end the workers without waiting for the files they are on."""
    terminate_workers = getattr(pool, "terminate_workers", None)  # Python 3.14 and later
    if terminate_workers is not None:
        terminate_workers()
        return
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        if process.is_alive():
            process.terminate()
    for process in processes:
        process.join(timeout=5)


class _Bar(Protocol):
    def update(self, n: int = 1) -> object: ...
    def close(self) -> None: ...


def _progress_bar(total: int) -> _Bar | None:
    """A bar on standard error when it is a terminal and tqdm is installed (extra ``progress``); else nothing."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    bar: _Bar = tqdm(total=total, unit="file", desc="analysing", file=sys.stderr, dynamic_ncols=True, leave=False)
    return bar


def _with_progress(results: Results[PathT], total: int) -> Results[PathT]:
    bar: _Bar | None = None
    try:
        # The bar (and the thread tqdm runs beside it) comes after the first answer, once the workers are started.
        for item in results:
            if bar is None:
                shown = _progress_bar(total)
                bar = _NO_BAR if shown is None else shown
            bar.update()
            yield item
    finally:
        if bar is not None:
            bar.close()
        results.close()


class _NoBar:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


_NO_BAR = _NoBar()


def write_message(text: str) -> None:
    """Print a line on standard error without breaking a progress bar on screen."""
    try:
        from tqdm import tqdm
    except ImportError:
        print(text, file=sys.stderr)
        return
    tqdm.write(text, file=sys.stderr)
