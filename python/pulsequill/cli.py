"""The command line, ``pulsequill`` (also ``python -m pulsequill``).

    pulsequill analyze recording.csv                  the report, as analyze_file returns it
    pulsequill analyze exports/*.csv --out reports    one <name>.report.json per file
    pulsequill analyze exports/*.csv --jsonl          one JSON line per file
    pulsequill summary exports/*.csv [--csv]          a table per window

Each command is added by one ``add_*_command(commands)`` call in :func:`build_parser`: the function adds its
subparser and sets ``run`` to its handler, which takes the parsed arguments and returns the exit status.
Exit status: 0 when every file was analysed, 1 when any failed (``file: message`` and its notes on standard
error), 2 for a usage mistake, 130 when interrupted.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import datetime as dt
import json
import os
import pathlib
import sys
import tempfile
import warnings
from collections.abc import Callable, Generator, Sequence
from typing import TYPE_CHECKING, Any, TextIO, TypeAlias

from ._version import __version__
from .batch import Outcome, analyze_files, write_message
from .chart import add_chart_command
from .dask_batch import add_dask_options, dask_arguments
from .files import FILE_READERS, analyze_csv, analyze_request, read_text
from .report import Moment, Report, Window, _utc_datetime, report_document
from .service import add_serve_command

PROG = "pulsequill"
STDIN = "-"
ANALYSIS_OPTIONS = ("channel", "ga_weeks", "window_min", "step_sec", "last_only")

if TYPE_CHECKING:
    Commands: TypeAlias = argparse._SubParsersAction[argparse.ArgumentParser]
Handler = Callable[[argparse.Namespace], int]


class UsageError(Exception):
    """A combination of arguments the command cannot carry out."""


def main(argv: Sequence[str] | None = None) -> int:
    parser, commands = _parser_and_commands()
    arguments = list(sys.argv[1:] if argv is None else argv)
    if arguments and arguments[0] not in commands.choices and _names_a_file(arguments[0]):
        arguments.insert(0, "analyze")  # `pulsequill FILE` is short for `pulsequill analyze FILE`
    args = parser.parse_args(arguments)
    run: Handler = args.run
    try:
        return run(args)
    except UsageError as error:
        print(f"{PROG} {args.command}: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130


def build_parser() -> argparse.ArgumentParser:
    return _parser_and_commands()[0]


def _parser_and_commands() -> tuple[argparse.ArgumentParser, Commands]:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Analyse fetal heart-rate (cardiotocography) recordings."
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    add_analyze_command(commands)
    add_summary_command(commands)
    add_chart_command(commands)
    add_serve_command(commands)
    return parser, commands


def analysis_options() -> argparse.ArgumentParser:
    """The options of a CSV export's analysis, for commands to take as a parent parser."""
    parent = argparse.ArgumentParser(add_help=False)
    group = parent.add_argument_group("analysis of a CSV export (a JSON request carries its own options)")
    group.add_argument("--channel", help="fetal heart-rate channel: HR1 (default), HR2 or HR3")
    group.add_argument("--window-min", type=int, metavar="MINUTES",
                       help="rolling windows of this many minutes (10 to 30); "
                            "without it, one window over the most recent 30 minutes")
    group.add_argument("--step-sec", type=int, metavar="SECONDS",
                       help="seconds between the ends of rolling windows (default 60)")
    group.add_argument("--last-only", action="store_true", default=None,
                       help="report only the window that ends at the last sample")
    group.add_argument("--ga-weeks", type=int, metavar="WEEKS", help="gestational age in whole weeks")
    return parent


def analysis_arguments(args: argparse.Namespace) -> dict[str, Any]:
    """The analysis options given on the command line (see :func:`analysis_options`), by keyword."""
    return {name: getattr(args, name) for name in ANALYSIS_OPTIONS if getattr(args, name) is not None}


def batch_options() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    parent.add_argument("--workers", type=_positive, metavar="N",
                        help="processes analysing files side by side (default: one per processor)")
    parent.add_argument("--no-progress", dest="progress", action="store_false",
                        help="no progress bar (one is drawn on a terminal when tqdm is installed)")
    return parent


def add_analyze_command(commands: Commands) -> None:
    command = commands.add_parser(
        "analyze", parents=[analysis_options(), batch_options()],
        help="analyse recordings and write their JSON reports",
        description="Analyse recordings and write their JSON reports. One file's report goes to standard output "
                    "as it is; several go into a folder (--out) or out as JSON Lines (--jsonl).",
    )
    command.add_argument("files", nargs="+", metavar="FILE",
                         help="a monitor CSV export (.csv) or an analysis request (.json); '-' reads standard input")
    destination = command.add_mutually_exclusive_group()
    destination.add_argument("--out", type=pathlib.Path, metavar="DIR",
                             help="write each report to DIR/<name>.report.json")
    destination.add_argument("--jsonl", action="store_true",
                             help='one line per file on standard output: {"file": ..., "report": {...}}')
    command.set_defaults(run=run_analyze)


def add_summary_command(commands: Commands) -> None:
    command = commands.add_parser(
        "summary", parents=[analysis_options(), batch_options()],
        help="a readable table per analysis window",
        description="Print a table per file: one row per analysis window with its times, category, alert level, "
                    "baseline, variability, events, contractions, signal quality and reasons.",
    )
    command.add_argument("files", nargs="+", metavar="FILE",
                         help="recordings, as for analyze ('-' reads standard input)")
    command.add_argument("--csv", action="store_true", help="one CSV table across all files on standard output")
    add_dask_options(command)
    command.set_defaults(run=run_summary)


def run_analyze(args: argparse.Namespace) -> int:
    _check_files(args.files)
    out: pathlib.Path | None = args.out
    if out is None and not args.jsonl and len(args.files) > 1:
        raise UsageError("several files: write their reports into a folder with --out DIR or as lines with --jsonl")
    destinations = _report_paths(args.files, out) if out is not None else {}
    if out is not None:
        out.mkdir(parents=True, exist_ok=True)
    failed = False
    with contextlib.closing(_outcomes(args)) as outcomes:
        for name, outcome in outcomes:
            if not isinstance(outcome, Report):
                failed = True
            elif out is not None:
                _write_atomically(destinations[name], outcome.text)
            elif args.jsonl:
                sys.stdout.write(json_line(name, outcome) + "\n")
                sys.stdout.flush()
            else:
                sys.stdout.write(outcome.text)
    return 1 if failed else 0


def run_summary(args: argparse.Namespace) -> int:
    _check_files(args.files)
    failed = False
    table = csv.writer(sys.stdout, lineterminator="\n") if args.csv else None
    if table is not None:
        table.writerow(["file", *SUMMARY_COLUMNS])
    with contextlib.closing(_outcomes(args)) as outcomes:
        for name, outcome in outcomes:
            if not isinstance(outcome, Report):
                failed = True
                continue
            values = [summary_values(window) for window in outcome.windows]
            if table is not None:
                table.writerows([name, *map(machine_readable, row)] for row in values)
            else:
                print_table(sys.stdout, _shown_name(name), [list(map(readable, row)) for row in values])
            sys.stdout.flush()
    return 1 if failed else 0


def _outcomes(args: argparse.Namespace) -> Generator[tuple[str, Outcome], None, None]:
    """Each file's outcome in the order given; failures and warnings are told on standard error on the way.

    Closing it (as the commands do on leaving, Ctrl-C included) stops the workers at once."""
    options = analysis_arguments(args)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if args.files == [STDIN]:
            results: Generator[tuple[str, Outcome], None, None] = (
                item for item in [(STDIN, _analyze_standard_input(options))]
            )
        else:
            results = analyze_files(args.files, workers=args.workers, progress=args.progress, **options,
                                    **dask_arguments(args))
        with contextlib.closing(results):
            for name, outcome in results:
                shown = _shown_name(name)
                for warning in caught:
                    write_message(f"{shown}: warning: {_without_name(shown, str(warning.message))}")
                caught.clear()
                if not isinstance(outcome, Report):
                    write_message(describe_failure(shown, outcome))
                yield name, outcome


def _check_files(files: list[str]) -> None:
    if STDIN in files and len(files) > 1:
        raise UsageError("'-' (standard input) cannot be combined with files")


def _analyze_standard_input(options: dict[str, Any]) -> Outcome:
    try:
        text = read_text("/dev/stdin")
        # A request is a JSON object; anything else is taken for a CSV export.
        if text.lstrip().startswith("{"):
            return analyze_request(text)
        return analyze_csv(text, **options)
    except Exception as error:
        return error


def describe_failure(name: str, error: BaseException) -> str:
    """``name: message``, then the notes that explain it, indented."""
    message = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    lines = [f"{name}: {_without_name(name, message)}"]
    lines += ["  " + line for note in getattr(error, "__notes__", ()) for line in str(note).splitlines()]
    return "\n".join(lines)


def json_line(name: str, report: Report) -> str:
    """One line of valid JSON holding the file name and its report.

    The report text may show a control character of a Date cell raw inside a string; written anew, it is escaped.
    """
    return json.dumps({"file": name, "report": report_document(report.text)}, ensure_ascii=False)


def _report_paths(files: Sequence[str], out: pathlib.Path) -> dict[str, pathlib.Path]:
    destinations: dict[str, pathlib.Path] = {}
    sources_of: dict[pathlib.Path, list[str]] = {}
    for name in files:
        stem = "stdin" if name == STDIN else pathlib.Path(name).stem
        destination = out / f"{stem}.report.json"
        destinations[name] = destination
        sources_of.setdefault(destination, []).append(name)
    clashes = [f"{', '.join(names)} -> {path}" for path, names in sources_of.items() if len(set(names)) > 1]
    if clashes:
        raise UsageError("these files would write the same report: " + "; ".join(clashes))
    return destinations


def _write_atomically(path: pathlib.Path, text: str) -> None:
    # An interrupted run leaves whole reports or none, never a truncated one.
    handle, temporary = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".tmp")
    try:
        with os.fdopen(handle, "w", encoding="utf-8", newline="") as file:
            file.write(text)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


SUMMARY_COLUMNS = (
    "window_start", "window_end", "category", "alert", "baseline_bpm", "variability_bpm", "variability",
    "accelerations", "decelerations", "contractions", "tachysystole", "fetal_signal_ratio", "reasons",
)


def summary_values(window: Window) -> list[object]:
    """The window's values under :data:`SUMMARY_COLUMNS`."""
    return [
        window.window_start, window.window_end, window.classification, window.alert_level, window.baseline_bpm,
        window.variability_bpm, window.variability_class, window.features.acceleration_count,
        window.features.deceleration_count, window.contractions, window.tachysystole,
        window.data_quality.fetal_usable_ratio, "; ".join(window.reasons),
    ]


def readable(value: object) -> str:
    """A cell of the table for people: times as the report writes them, three decimals, "-" for none."""
    if isinstance(value, Moment):
        return value.text
    if isinstance(value, bool):
        return "yes" if value else "no"
    if isinstance(value, float):
        return f"{value:.3f}"
    return "-" if value is None else str(value)


def machine_readable(value: object) -> str:
    """A cell of the CSV table: times in ISO 8601 (UTC), true/false, empty for none."""
    if isinstance(value, Moment):
        instant = _instant(value)
        return "" if instant is None else instant.isoformat(timespec="milliseconds")
    if isinstance(value, bool):
        return "true" if value else "false"
    return "" if value is None else str(value)


def _instant(moment: Moment) -> dt.datetime | None:
    # A second without samples is written as its epoch milliseconds; the instant is still known.
    if moment.time is not None or moment.epoch_ms is None:
        return moment.time
    return _utc_datetime(moment.epoch_ms)


def print_table(stream: TextIO, name: str, rows: list[list[str]]) -> None:
    """The file name, then the rows under their headings in aligned columns (the last, reasons, left free)."""
    headings = [column.replace("_", " ") for column in SUMMARY_COLUMNS]
    widths = [max(len(cells[i]) for cells in [headings, *rows]) for i in range(len(headings) - 1)]
    stream.write(f"{name}\n")
    for cells in [headings, *rows]:
        aligned = [cell.ljust(width) for cell, width in zip(cells[:-1], widths, strict=True)]
        stream.write("  " + "  ".join([*aligned, cells[-1]]).rstrip() + "\n")
    stream.write("\n")


def _without_name(name: str, message: str) -> str:
    # Messages about the file itself (unreadable, unknown suffix) already start with its name.
    return message.removeprefix(f"{name}: ")


def _shown_name(name: str) -> str:
    return "<stdin>" if name == STDIN else name


def _names_a_file(argument: str) -> bool:
    if argument == STDIN:
        return True
    if argument.startswith("-"):
        return False
    return pathlib.Path(argument).suffix.lower() in FILE_READERS or os.sep in argument or os.path.exists(argument)


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value
