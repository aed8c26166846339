"""The analysis service: an ASGI application (Starlette, served by uvicorn) and its page.

    pulsequill serve --host 127.0.0.1 --port 8000 --workers 2 --db pulsequill.db

Endpoints (the OpenAPI description is at ``/openapi.json``):

- ``POST /v1/analyses``: a JSON analysis request (``application/json``) or a monitor CSV export (``text/csv``,
  options and ``episode_id`` as query parameters). Answers with the report text exactly as the analyser writes
  it, after keeping the analysis in the database.
- ``POST /v1/traces``: the same bodies, for the page: the report, the per-sample trace and the events of each
  window as one JSON document. Nothing is kept.
- ``GET /v1/episodes``, ``GET /v1/episodes/{id}/analyses``, ``GET /v1/analyses/{id}``: what was kept.
- ``GET /healthz``; ``GET /`` the page.

Errors are problem documents (RFC 9457, ``application/problem+json``). Analyses run in a pool of worker
processes, so a long analysis never holds up the event loop; database calls run in threads.

Starlette and uvicorn are imported only when the service is built, so the command line stays light.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import dataclasses
import datetime as dt
import functools
import json
import multiprocessing
import os
import pathlib
import sys
import threading
from collections.abc import AsyncIterator, Callable, Mapping
from typing import TYPE_CHECKING, Any

from ._native import PanicException
from .storage import EpisodeSummary, NewAnalysis, Storage, StorageError, StoredAnalysis, open_storage

if TYPE_CHECKING:
    from typing import TypeAlias

    from starlette.applications import Starlette
    from starlette.requests import Request
    from starlette.responses import Response

    from .events import InputKind, WindowEvents
    from .report import Report

    Commands: TypeAlias = argparse._SubParsersAction[argparse.ArgumentParser]

__all__ = ["DEFAULT_MAX_BODY_BYTES", "Problem", "create_app", "serve"]

# A day of monitoring at 4 Hz is 345,600 samples; a JSON sample carrying all five channels takes about 110 bytes,
# so a whole day's request is under 40 MB.
DEFAULT_MAX_BODY_BYTES = 64 * 1024 * 1024
DEFAULT_HISTORY_PAGE = 50
MAX_HISTORY_PAGE = 500
STATIC_DIR = pathlib.Path(__file__).with_name("static")

CSV_INTEGER_OPTIONS = {"ga_weeks": 255, "window_min": 4294967295, "step_sec": 4294967295}
CSV_QUERY_PARAMETERS = ("channel", "ga_weeks", "window_min", "step_sec", "last_only", "episode_id", "sent_at")
# Refusals of the CSV path that are about the query's options rather than the body.
CSV_OPTION_MESSAGES = ("window_min must be between 10 and 30", "unsupported fetal channel: ")
# The fields of a JSON request's option groups that the analysis reads; others are ignored, and not kept.
REQUEST_OPTIONS = {
    "analysis_options": ("fetal_channel", "max_analysis_minutes"),
    "metadata": ("gestational_age_weeks",),
}
BOOLEAN_WORDS = {"true": True, "1": True, "false": False, "0": False}


class Problem(Exception):
    """An error answer: becomes a problem document with this status, detail and extra members."""

    def __init__(self, status: int, detail: str, **extra: object) -> None:
        super().__init__(detail)
        self.status = status
        self.detail = detail
        self.extra = extra


@dataclasses.dataclass(frozen=True)
class Submission:
    """A request body the service accepted for analysis, with its options."""

    kind: InputKind  # "csv" or "json"
    text: str
    options: Mapping[str, object]  # analysis options of a CSV export, by keyword of analyze_csv


@dataclasses.dataclass(frozen=True)
class Outcome:
    """What a worker process hands back for one submission."""

    report_text: str
    category: str | None
    alert_level: str | None
    episode_id: str | None  # from a JSON request; None for CSV
    sent_at: str | None
    request_options: dict[str, object]  # the options a JSON request carried
    warnings: list[str]
    page: dict[str, object] | None  # report, trace and events, when asked for


# --- work done in the worker processes --------------------------------------------------------------------------


def analyze_submission(submission: Submission, for_page: bool) -> Outcome:
    """Run one analysis (in a worker process). Raises the analyser's ValueError, with its notes, on refusal."""
    import warnings

    from .files import analyze_csv, analyze_request

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        if submission.kind == "json":
            report = analyze_request(submission.text)
        else:
            report = analyze_csv(submission.text, **submission.options)  # type: ignore[arg-type]
    request = json.loads(submission.text) if submission.kind == "json" else {}
    latest = report.windows[-1] if report.windows else None
    page = page_view(submission, report) if for_page else None
    return Outcome(
        report_text=report.text,
        category=None if latest is None else str(latest.classification),
        alert_level=None if latest is None else str(latest.alert_level),
        episode_id=request.get("episode_id"),
        sent_at=request.get("sent_at"),
        request_options=_request_options(request),
        warnings=[str(warning.message) for warning in caught],
        page=page,
    )


def page_view(submission: Submission, report: Report) -> dict[str, object]:
    """What the page draws: the report, the samples in seconds from the first one (the analysed fetal channel,
    the maternal heart rate, uterine activity; None for no value), and each window's bounds and events in the
    same seconds."""
    from .events import recording_trace, window_events
    from .report import report_document

    trace = recording_trace(submission.text, submission.kind)
    windows = window_events(submission.text, submission.kind, **submission.options)  # type: ignore[arg-type]
    origin = trace["timestamp_ms"][0] if trace["timestamp_ms"] else 0

    def seconds(epoch_ms: int | None) -> float | None:
        return None if epoch_ms is None else (epoch_ms - origin) / 1000

    def marks(window: WindowEvents) -> list[dict[str, object]]:
        spans: list[tuple[str, str | None, str, int | None, str, int | None]]
        spans = [("acceleration", None, e["start"], e["start_ms"], e["end"], e["end_ms"])
                 for e in window["accelerations"]]
        spans += [("deceleration", e["kind"], e["start"], e["start_ms"], e["end"], e["end_ms"])
                  for e in window["decelerations"]]
        spans += [("contraction", None, e["start"], e["start_ms"], e["end"], e["end_ms"])
                  for e in window["contractions"]]
        return [{"kind": kind, "type": subtype, "start_text": start, "start_s": seconds(start_ms),
                 "end_text": end, "end_s": seconds(end_ms)}
                for kind, subtype, start, start_ms, end, end_ms in spans if start_ms is not None and end_ms is not None]

    return {
        "report": report_document(report.text),
        "start": None if report.input.start_timestamp is None else report.input.start_timestamp.text,
        "trace": {
            "seconds": [seconds(t) for t in trace["timestamp_ms"]],
            "fetal": trace[report.channel.lower()],  # type: ignore[literal-required]
            "maternal": trace["hrm"],
            "toco": trace["toco"],
        },
        "windows": [{"start_s": seconds(w["start_ms"]), "end_s": seconds(w["end_ms"])} for w in windows],
        "events": [marks(window) for window in windows],
    }


def _request_options(request: Mapping[str, Any]) -> dict[str, object]:
    """The analysis options and clinical metadata a JSON request gave (only the fields the analysis reads)."""
    options: dict[str, object] = {}
    for group, names in REQUEST_OPTIONS.items():
        given = request.get(group)
        if isinstance(given, dict):
            options.update({name: given[name] for name in names if given.get(name) is not None})
    return options


def _start_worker() -> None:
    # Import the analyser once per worker rather than on its first request.
    from . import files  # noqa: F401


class AnalysisPool:
    """Worker processes for the analyses. A pool whose worker died is replaced, so one crash costs one request."""

    def __init__(self, workers: int) -> None:
        self.workers = workers
        self._lock = threading.Lock()
        self._executor = self._new_executor()

    def _new_executor(self) -> concurrent.futures.ProcessPoolExecutor:
        # Spawned, not forked: the server process runs threads, and a fork would copy their locks mid-use.
        context = multiprocessing.get_context("spawn")
        return concurrent.futures.ProcessPoolExecutor(self.workers, mp_context=context, initializer=_start_worker)

    async def run(self, submission: Submission, for_page: bool) -> Outcome:
        import asyncio  # here, not at the top: the command line imports this module for its subcommand

        executor = self._executor
        try:
            future = executor.submit(analyze_submission, submission, for_page)
            return await asyncio.wrap_future(future)
        except concurrent.futures.process.BrokenProcessPool:
            with self._lock:
                if self._executor is executor:
                    executor.shutdown(wait=False, cancel_futures=True)
                    self._executor = self._new_executor()
            raise Problem(500, "the analysis worker stopped unexpectedly; the request was not analysed") from None
        except PanicException as fault:  # never expected: a broken invariant of the analysis, not the input
            raise Problem(500, f"internal fault of the analysis: {fault}") from None

    def close(self) -> None:
        self._executor.shutdown(wait=True, cancel_futures=True)


# --- reading requests ---------------------------------------------------------------------------------------------


def media_type(request: Request) -> InputKind:
    """The request's media type, "json" or "csv"; 415 for anything else or a charset other than UTF-8."""
    header = request.headers.get("content-type", "")
    main, *parameters = [part.strip().lower() for part in header.split(";")]
    kinds: dict[str, InputKind] = {"application/json": "json", "text/csv": "csv"}
    if main not in kinds:
        shown = main or "no Content-Type"
        raise Problem(415, f"unsupported media type {shown}: send application/json or text/csv")
    for parameter in parameters:
        name, _, value = parameter.partition("=")
        if name.strip() == "charset" and value.strip().strip('"') not in ("utf-8", "utf8"):
            raise Problem(415, f"unsupported charset {value.strip()}: send UTF-8 text")
    return kinds[main]


async def read_body(request: Request, limit: int) -> str:
    """The whole body as text, refused with 413 as soon as it exceeds `limit` bytes."""
    too_large = Problem(413, f"request body exceeds the limit of {limit} bytes", max_body_bytes=limit)
    declared = request.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > limit:
        raise too_large
    chunks: list[bytes] = []
    size = 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise too_large
        chunks.append(chunk)
    try:
        return b"".join(chunks).decode("utf-8")
    except UnicodeDecodeError as error:
        raise Problem(400, f"request body is not UTF-8 text: {error}") from None


def csv_query_options(query: Mapping[str, str]) -> dict[str, object]:
    """The analysis options of a CSV export from the query string (422 for bad ones)."""
    options: dict[str, object] = {}
    for name in ("ga_weeks", "window_min", "step_sec"):
        if name in query:
            text, highest = query[name], CSV_INTEGER_OPTIONS[name]
            if not (text.isascii() and text.isdigit()) or int(text) > highest:
                raise Problem(422, f"query parameter {name} must be a whole number from 0 to {highest}: {text}")
            options[name] = int(text)
    if "last_only" in query:
        if query["last_only"].lower() not in BOOLEAN_WORDS:
            raise Problem(422, f"query parameter last_only must be true or false: {query['last_only']}")
        options["last_only"] = BOOLEAN_WORDS[query["last_only"].lower()]
    if "channel" in query:
        options["channel"] = query["channel"]
    return options


def check_query(request: Request, kind: InputKind) -> dict[str, str]:
    """The query parameters as a plain mapping; 422 for unknown or repeated ones."""
    query = request.query_params
    allowed = CSV_QUERY_PARAMETERS if kind == "csv" else ()
    for name in query:
        if name not in allowed:
            if kind == "json":
                raise Problem(422, f"query parameter {name}: a JSON analysis request carries its own options")
            raise Problem(422, f"unknown query parameter {name}; expected one of {', '.join(allowed)}")
        if len(query.getlist(name)) > 1:
            raise Problem(422, f"query parameter {name} is given more than once")
    return dict(query)


async def analyze(request: Request, *, for_page: bool) -> tuple[Submission, dict[str, str], Outcome]:
    """Read, check and analyse one submission; the problem documents of refused input come from here."""
    settings: ServiceState = request.app.state.service
    kind = media_type(request)
    query = check_query(request, kind)
    options = csv_query_options(query) if kind == "csv" else {}
    if kind == "csv" and not for_page and not query.get("episode_id", "").strip():
        raise Problem(422, "query parameter episode_id is required for a CSV export")
    submission = Submission(kind, await read_body(request, settings.max_body_bytes), options)
    try:
        outcome = await settings.pool.run(submission, for_page)
    except ValueError as error:
        detail = str(error)
        status = 422 if kind == "csv" and detail.startswith(CSV_OPTION_MESSAGES) else 400
        notes = list(getattr(error, "__notes__", []))
        raise Problem(status, detail, **({"notes": notes} if notes else {})) from None
    except MemoryError as error:  # a rolling plan far too large for the recording's span
        raise Problem(422, str(error)) from None
    return submission, query, outcome


# --- answers --------------------------------------------------------------------------------------------------------


def problem_response(status: int, detail: str, extra: Mapping[str, object] | None = None) -> Response:
    from http import HTTPStatus

    from starlette.responses import JSONResponse

    body = {"type": "about:blank", "title": HTTPStatus(status).phrase, "status": status, "detail": detail}
    body.update(extra or {})
    return JSONResponse(body, status_code=status, media_type="application/problem+json")


def utc_text(moment: dt.datetime) -> str:
    """A UTC moment as ISO 8601 text with the Z suffix."""
    return moment.isoformat().replace("+00:00", "Z")


def stored_document(analysis: StoredAnalysis) -> dict[str, object]:
    return {
        "id": analysis.id,
        "episode_id": analysis.episode_id,
        "sent_at": analysis.sent_at,
        "received_at": utc_text(analysis.received_at),
        "options": analysis.options,
        "category": analysis.category,
        "alert_level": analysis.alert_level,
        "report_url": f"/v1/analyses/{analysis.id}",
    }


def episode_document(episode: EpisodeSummary) -> dict[str, object]:
    latest = stored_document(episode.latest)
    return {
        "episode_id": episode.episode_id,
        "analysis_count": episode.analysis_count,
        "category": episode.latest.category,
        "alert_level": episode.latest.alert_level,
        "latest": latest,
    }


# --- endpoints ------------------------------------------------------------------------------------------------------


@dataclasses.dataclass
class ServiceState:
    storage: Storage
    pool: AnalysisPool
    max_body_bytes: int


async def in_thread(call: Callable[[], Any]) -> Any:
    """A blocking database call, off the event loop; a failure of the database becomes 503."""
    import anyio.to_thread

    try:
        return await anyio.to_thread.run_sync(call)
    except StorageError as error:
        raise Problem(503, str(error)) from None


async def post_analysis(request: Request) -> Response:
    from starlette.responses import Response

    received_at = dt.datetime.now(dt.UTC)
    submission, query, outcome = await analyze(request, for_page=False)
    if outcome.episode_id is None:  # a CSV export names its episode in the query
        episode_id = query["episode_id"]  # kept as given, like the episode_id of a JSON request
        sent_at = query.get("sent_at") or utc_text(received_at)
        options = dict(submission.options)
    else:
        episode_id, sent_at, options = outcome.episode_id, outcome.sent_at or "", outcome.request_options
    if "\x00" in episode_id + sent_at:  # PostgreSQL text cannot hold it; refuse it the same way everywhere
        raise Problem(400, "episode_id and sent_at must not contain the NUL character (U+0000)")
    analysis = NewAnalysis(episode_id, sent_at, received_at, options, outcome.category, outcome.alert_level,
                           outcome.report_text)
    storage = request.app.state.service.storage
    analysis_id = await in_thread(functools.partial(storage.add, analysis))
    return Response(outcome.report_text, media_type="application/json",
                    headers={"Location": f"/v1/analyses/{analysis_id}"})


async def post_trace(request: Request) -> Response:
    from starlette.responses import JSONResponse

    _submission, _query, outcome = await analyze(request, for_page=True)
    return JSONResponse({**(outcome.page or {}), "warnings": outcome.warnings})


async def get_episodes(request: Request) -> Response:
    from starlette.responses import JSONResponse

    episodes = await in_thread(request.app.state.service.storage.episodes)
    return JSONResponse({"episodes": [episode_document(episode) for episode in episodes]})


def page_parameter(request: Request, name: str, default: int | None, highest: int) -> int | None:
    text = request.query_params.get(name)
    if text is None:
        return default
    if not (text.isascii() and text.isdigit()) or not 1 <= int(text) <= highest:
        raise Problem(422, f"query parameter {name} must be a whole number from 1 to {highest}: {text}")
    return int(text)


async def get_history(request: Request) -> Response:
    from starlette.responses import JSONResponse

    episode_id = request.path_params["episode_id"]
    limit = page_parameter(request, "limit", DEFAULT_HISTORY_PAGE, MAX_HISTORY_PAGE) or DEFAULT_HISTORY_PAGE
    before = page_parameter(request, "before", None, 2**63 - 1)
    storage = request.app.state.service.storage
    analyses = await in_thread(functools.partial(storage.history, episode_id, limit=limit + 1, before=before))
    page, more = analyses[:limit], len(analyses) > limit
    following = None
    if more:
        following = str(request.url.include_query_params(before=page[-1].id, limit=limit).replace(scheme="", netloc=""))
    return JSONResponse({"episode_id": episode_id, "analyses": [stored_document(a) for a in page], "next": following})


async def get_report(request: Request) -> Response:
    from starlette.responses import Response

    analysis_id = request.path_params["analysis_id"]
    storage = request.app.state.service.storage
    report = None
    if analysis_id < 2**63:
        report = await in_thread(functools.partial(storage.report_text, analysis_id))
    if report is None:
        raise Problem(404, f"no analysis with id {request.path_params['analysis_id']}")
    return Response(report, media_type="application/json")


async def health(request: Request) -> Response:
    from starlette.responses import JSONResponse

    await in_thread(request.app.state.service.storage.ping)
    return JSONResponse({"status": "ok"})


# --- the application ----------------------------------------------------------------------------------------------


def create_app(db: str = "pulsequill.db", *, workers: int | None = None,
               max_body_bytes: int = DEFAULT_MAX_BODY_BYTES) -> Starlette:
    """The service as an ASGI application. The database (a SQLite file path or a database URL) is opened and
    its schema created when the application starts; `workers` analysis processes (default: the CPU count)."""
    try:
        from starlette.applications import Starlette
        from starlette.exceptions import HTTPException
        from starlette.routing import Mount, Route
        from starlette.staticfiles import StaticFiles
    except ImportError as error:
        raise ImportError("the service needs Starlette and uvicorn: pip install 'pulsequill[service]'") from error
    if max_body_bytes < 1:
        raise ValueError(f"max_body_bytes must be positive: {max_body_bytes}")
    pool_size = workers or os.cpu_count() or 1

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        storage = open_storage(db)
        pool = AnalysisPool(pool_size)
        app.state.service = ServiceState(storage, pool, max_body_bytes)
        try:
            yield
        finally:
            pool.close()
            storage.close()

    async def on_problem(_request: Request, error: Exception) -> Response:
        assert isinstance(error, Problem)
        return problem_response(error.status, error.detail, error.extra)

    async def on_http_error(_request: Request, error: Exception) -> Response:
        assert isinstance(error, HTTPException)
        return problem_response(error.status_code, str(error.detail))

    async def on_unexpected(_request: Request, error: Exception) -> Response:
        return problem_response(500, f"internal error of the service: {type(error).__name__}")

    routes = [
        Route("/v1/analyses", post_analysis, methods=["POST"]),
        Route("/v1/analyses/{analysis_id:int}", get_report, methods=["GET"]),
        Route("/v1/traces", post_trace, methods=["POST"]),
        Route("/v1/episodes", get_episodes, methods=["GET"]),
        Route("/v1/episodes/{episode_id:path}/analyses", get_history, methods=["GET"]),
        Route("/healthz", health, methods=["GET"]),
        Mount("/", app=StaticFiles(directory=STATIC_DIR, html=True), name="page"),
    ]
    return Starlette(routes=routes, lifespan=lifespan,
                     exception_handlers={Problem: on_problem, HTTPException: on_http_error, Exception: on_unexpected})


def serve(host: str = "127.0.0.1", port: int = 8000, *, workers: int | None = None, db: str = "pulsequill.db",
          max_body_bytes: int = DEFAULT_MAX_BODY_BYTES) -> None:
    """Run the service with uvicorn until interrupted."""
    try:
        import uvicorn
    except ImportError as error:
        raise ImportError("the service needs Starlette and uvicorn: pip install 'pulsequill[service]'") from error
    app = create_app(db, workers=workers, max_body_bytes=max_body_bytes)
    uvicorn.run(app, host=host, port=port, log_level="info", lifespan="on")


# --- command line ---------------------------------------------------------------------------------------------------


def add_serve_command(commands: Commands) -> None:
    """`pulsequill serve`: the command line registers it with this one call."""
    command = commands.add_parser(
        "serve", help="run the analysis service and its page",
        description="Run the analysis service (HTTP API and page) until interrupted.",
    )
    command.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    command.add_argument("--port", type=int, default=8000, help="port to listen on (default 8000)")
    command.add_argument("--workers", type=_positive, default=None, metavar="N",
                         help="analysis worker processes (default: one per processor)")
    command.add_argument("--db", default="pulsequill.db",
                         help="a SQLite file (default pulsequill.db) or a postgresql:// URL")
    command.add_argument("--max-body-bytes", type=_positive, default=DEFAULT_MAX_BODY_BYTES, metavar="BYTES",
                         help=f"largest request body accepted (default {DEFAULT_MAX_BODY_BYTES})")
    command.set_defaults(run=run_serve)


def _positive(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1: {text}")
    return int(text)


def run_serve(args: argparse.Namespace) -> int:
    """Handler of `pulsequill serve`: 0 after an orderly stop, 1 when the service cannot start."""
    try:
        serve(args.host, args.port, workers=args.workers, db=args.db, max_body_bytes=args.max_body_bytes)
    except (StorageError, ImportError) as error:
        print(f"pulsequill serve: error: {error}", file=sys.stderr)
        return 1
    return 0
