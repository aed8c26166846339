"""Batches beyond one machine: the same per-file work as the local batch, as tasks on a Dask cluster.

    for path, outcome in pulsequill.analyze_files(paths, engine="dask", out="results.parquet", window_min=20):
        ...

Without ``scheduler`` a local cluster of worker processes is started for the
batch and stopped after it; with the address of a ``distributed`` scheduler
(``tcp://host:8786``) the files are analysed by that cluster's workers, which need
pulsequill installed and the files at the same paths. Outcomes come back in the
order the paths were given, each a report or the exception that refused the
file, as with the local engine. With ``out`` the windows of every analysed file
are written as one Parquet dataset (one row per window, partitioned by ``file``)
when the batch is complete. Needs ``pip install 'pulsequill[dask]'``.
"""

from __future__ import annotations

import argparse
import logging
import os
import warnings
from collections.abc import Iterable
from typing import Any

from .batch import Outcome, PathT, Results, WorkerDied, _analyze_in_worker, _Answer, _with_progress, available_cpus
from .report import Report

__all__ = ["add_dask_options", "analyze_files_dask", "dask_arguments", "write_parquet"]

# A task is tried again on another worker when its worker dies; after this
# many retries the file is reported as failed and the batch goes on.
RETRIES = 2


def analyze_files_dask(
    paths: list[PathT],
    *,
    workers: int | None = None,
    progress: bool = True,
    scheduler: str | None = None,
    out: str | os.PathLike[str] | None = None,
    processes: bool = True,
    **options: Any,
) -> Results[PathT]:
    """Analyse the files on a Dask cluster, yielding ``(path, report or exception)`` in input order.

    ``workers`` and ``processes`` shape the local cluster (one single-threaded
    worker process per processor by default; ``processes=False`` runs the
    workers as threads of this process). ``options`` apply to every file, as in
    :func:`pulsequill.analyze_file`.
    """
    try:
        from distributed import Client, LocalCluster
    except ImportError as error:
        raise ImportError("the Dask engine needs dask.distributed: pip install 'pulsequill[dask]'") from error
    if out is not None:
        _require_pyarrow()
    if not paths:  # no cluster to start for nothing
        nothing: list[tuple[PathT, Outcome]] = []
        return (item for item in nothing)
    results = _run(paths, workers, scheduler, processes, out, options, Client, LocalCluster)
    return _with_progress(results, len(paths)) if progress else results


def _run(
    paths: list[PathT],
    workers: int | None,
    scheduler: str | None,
    processes: bool,
    out: str | os.PathLike[str] | None,
    options: dict[str, Any],
    client_type: Any,
    cluster_type: Any,
) -> Results[PathT]:
    cluster = None
    if scheduler is None:
        # Worker processes talk to the scheduler over loopback only; thread workers need no network. The
        # cluster lives for this batch alone: its logs (workers missing the scheduler while it shuts down)
        # are noise, and a file's failure reaches the caller as its outcome.
        network = {"host": "127.0.0.1"} if processes else {}
        cluster = cluster_type(n_workers=workers or min(available_cpus(), len(paths)), threads_per_worker=1,
                               processes=processes, dashboard_address=None, silence_logs=logging.CRITICAL, **network)
    client = client_type(cluster if cluster is not None else scheduler)
    futures: list[Any] = []
    finished = False
    try:
        futures = client.map(_analyze_in_worker, paths, options=options, pure=False, retries=RETRIES)
        reports: list[tuple[PathT, Report]] = []
        for path, future in zip(paths, futures, strict=True):
            answer = _answer_of(path, future)
            for category, message in answer.warnings:
                warnings.warn(message, category, stacklevel=2)
            if isinstance(answer.outcome, Report):
                reports.append((path, answer.outcome))
            yield path, answer.outcome
        if out is not None:
            write_parquet(reports, out)
        finished = True
    finally:
        if not finished:
            client.cancel(futures)
        client.close()
        if cluster is not None:
            cluster.close()


def _answer_of(path: str | os.PathLike[str], future: Any) -> _Answer:
    from distributed import KilledWorker

    try:
        answer: _Answer = future.result()
    except KilledWorker:
        return _Answer(WorkerDied(f"{os.fspath(path)}: the workers analysing the file ended without an answer"), ())
    return answer


def _require_pyarrow() -> None:
    try:
        import pyarrow  # noqa: F401
    except ImportError as error:
        raise ImportError("writing Parquet needs pyarrow: pip install 'pulsequill[dask]'") from error


def write_parquet(reports: Iterable[tuple[str | os.PathLike[str], Report]], out: str | os.PathLike[str]) -> int:
    """Write one row per window (:meth:`Report.to_records` plus the ``file`` it came from) as a Parquet dataset.

    The dataset at ``out`` is partitioned by ``file`` (the path as given); writing
    a file's windows again replaces its partition. Returns the number of rows.
    """
    _require_pyarrow()
    import pyarrow as pa
    import pyarrow.parquet as pq

    rows = [{"file": os.fspath(path), **row} for path, report in reports for row in report.to_records()]
    if not rows:
        return 0
    # One table for all files, so every partition has the same column types.
    pq.write_to_dataset(pa.Table.from_pylist(rows), os.fspath(out), partition_cols=["file"],
                        existing_data_behavior="delete_matching")
    return len(rows)


# ------------------------------------------------------------ command line


def add_dask_options(command: argparse.ArgumentParser) -> None:
    """The options that run a command's batch on Dask and write its windows to Parquet."""
    group = command.add_argument_group("batches on Dask (needs the dask extra)")
    group.add_argument("--engine", choices=("local", "dask"), default="local",
                       help="local worker processes (default) or a Dask cluster")
    group.add_argument("--scheduler", metavar="ADDRESS",
                       help="a distributed scheduler's address (tcp://host:8786); default: a local cluster")
    group.add_argument("--out", metavar="DATASET",
                       help="write one row per window to this Parquet dataset, partitioned by file")


def dask_arguments(args: argparse.Namespace) -> dict[str, Any]:
    """The batch arguments those options give: nothing for the local engine or a command without them."""
    engine = getattr(args, "engine", None)
    if engine == "dask":
        return {"engine": "dask", "scheduler": args.scheduler, "out": args.out}
    if engine is not None:
        given = [flag for flag, value in (("--scheduler", args.scheduler), ("--out", args.out)) if value is not None]
        if given:
            from .cli import UsageError

            raise UsageError(f"{' and '.join(given)} need --engine dask")
    return {}
