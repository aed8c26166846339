"""Where the service keeps every accepted analysis.

One table, ``analyses``, in SQLite (a file, no server) or PostgreSQL (a URL), reached through SQLAlchemy Core.
Each analysis is written in one transaction, so a failure leaves either the whole row or nothing. The schema
is created when the storage is opened. Every database failure surfaces as :class:`StorageError`.

    storage = open_storage("pulsequill.db")                      # SQLite file
    storage = open_storage("postgresql://user@host/pulsequill")   # PostgreSQL (psycopg 3)
"""

from __future__ import annotations

import contextlib
import datetime as dt
import pathlib
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import sqlalchemy

__all__ = ["EpisodeSummary", "NewAnalysis", "StorageError", "Storage", "StoredAnalysis", "open_storage"]


class StorageError(Exception):
    """The database could not be reached or refused an operation; nothing was half-written."""


@dataclass(frozen=True)
class NewAnalysis:
    """An accepted analysis, ready to be kept."""

    episode_id: str
    sent_at: str
    received_at: dt.datetime  # timezone-aware
    options: Mapping[str, object]
    category: str | None  # of the window that ends latest; None for a report without windows
    alert_level: str | None
    report_text: str


@dataclass(frozen=True)
class StoredAnalysis:
    """A kept analysis without its report text (fetch that with :meth:`Storage.report_text`)."""

    id: int
    episode_id: str
    sent_at: str
    received_at: dt.datetime
    options: dict[str, object]
    category: str | None
    alert_level: str | None


@dataclass(frozen=True)
class EpisodeSummary:
    """An episode with its most recently received analysis."""

    episode_id: str
    analysis_count: int
    latest: StoredAnalysis


def _table(metadata: sqlalchemy.MetaData) -> sqlalchemy.Table:
    import sqlalchemy as sa

    return sa.Table(
        "analyses",
        metadata,
        sa.Column("id", sa.BigInteger().with_variant(sa.Integer(), "sqlite"), primary_key=True, autoincrement=True),
        sa.Column("episode_id", sa.Text(), nullable=False, index=True),
        sa.Column("sent_at", sa.Text(), nullable=False),
        sa.Column("received_at", sa.DateTime(timezone=True), nullable=False),
        sa.Column("options", sa.JSON(), nullable=False),
        sa.Column("category", sa.Text(), nullable=True),
        sa.Column("alert_level", sa.Text(), nullable=True),
        sa.Column("report", sa.Text(), nullable=False),
    )


def database_url(target: str) -> sqlalchemy.URL:
    """The SQLAlchemy URL for a file path (SQLite) or a database URL; PostgreSQL URLs use psycopg 3."""
    import sqlalchemy as sa

    if "://" not in target:
        return sa.URL.create("sqlite", database=str(pathlib.Path(target).expanduser().resolve()))
    url = sa.make_url(target)
    if url.drivername in ("postgresql", "postgres"):
        url = url.set(drivername="postgresql+psycopg")
    return url


def open_storage(target: str) -> Storage:
    """Open (and if needed create) the storage at a SQLite file path or a database URL."""
    try:
        import sqlalchemy as sa
    except ImportError as error:
        raise ImportError("the service's storage needs SQLAlchemy: pip install 'pulsequill[service]'") from error

    url = database_url(target)
    options: dict[str, Any] = {"pool_pre_ping": True}
    if url.get_backend_name() == "sqlite":
        # Requests are served from a thread pool; the pool hands each connection to one thread at a time.
        # A generous busy timeout lets concurrent writers queue instead of failing at once.
        options["connect_args"] = {"check_same_thread": False, "timeout": 30}
    try:
        engine = sa.create_engine(url, **options)
    except (sa.exc.ArgumentError, ImportError) as error:
        raise StorageError(f"cannot use database {url.render_as_string(hide_password=True)}: {error}") from error
    if url.get_backend_name() == "sqlite":
        sa.event.listen(engine, "connect", _sqlite_write_ahead_log)
    storage = Storage(engine)
    storage.create_schema()
    return storage


def _sqlite_write_ahead_log(connection: Any, _record: Any) -> None:
    # Readers (the episode list) then never wait for a writer, and a crash never leaves a torn write.
    cursor = connection.cursor()
    cursor.execute("PRAGMA journal_mode=WAL")
    cursor.close()


class Storage:
    """The analyses table behind one SQLAlchemy engine. Safe to share between threads."""

    def __init__(self, engine: sqlalchemy.Engine) -> None:
        import sqlalchemy as sa

        self.engine = engine
        self._metadata = sa.MetaData()
        self._analyses = _table(self._metadata)

    def create_schema(self) -> None:
        with _database_failures("create the schema"):
            self._metadata.create_all(self.engine)

    def close(self) -> None:
        self.engine.dispose()

    def ping(self) -> None:
        import sqlalchemy as sa

        with _database_failures("reach the database"), self.engine.connect() as connection:
            connection.execute(sa.select(1))

    def add(self, analysis: NewAnalysis) -> int:
        """Keep one analysis in its own transaction; returns its id."""
        with _database_failures("store the analysis"), self.engine.begin() as connection:
            result = connection.execute(
                self._analyses.insert().returning(self._analyses.c.id),
                {
                    "episode_id": analysis.episode_id,
                    "sent_at": analysis.sent_at,
                    "received_at": analysis.received_at.astimezone(dt.UTC),
                    "options": dict(analysis.options),
                    "category": analysis.category,
                    "alert_level": analysis.alert_level,
                    "report": analysis.report_text,
                },
            )
            return int(result.scalar_one())

    def episodes(self) -> list[EpisodeSummary]:
        """Every episode with its latest analysis, the most recently updated episode first."""
        import sqlalchemy as sa

        table = self._analyses
        latest = (
            sa.select(
                table.c.episode_id,
                sa.func.max(table.c.id).label("latest_id"),
                sa.func.count().label("analysis_count"),
            )
            .group_by(table.c.episode_id)
            .subquery()
        )
        query = (
            sa.select(*self._listed_columns(), latest.c.analysis_count)
            .join(latest, table.c.id == latest.c.latest_id)
            .order_by(table.c.id.desc())
        )
        with _database_failures("list the episodes"), self.engine.connect() as connection:
            rows = connection.execute(query).all()
        return [EpisodeSummary(row.episode_id, int(row.analysis_count), _stored(row)) for row in rows]

    def history(self, episode_id: str, *, limit: int, before: int | None = None) -> list[StoredAnalysis]:
        """An episode's analyses, newest first: at most `limit`, only those with an id below `before`."""
        import sqlalchemy as sa

        table = self._analyses
        query = sa.select(*self._listed_columns()).where(table.c.episode_id == episode_id)
        if before is not None:
            query = query.where(table.c.id < before)
        query = query.order_by(table.c.id.desc()).limit(limit)
        with _database_failures("read the history"), self.engine.connect() as connection:
            return [_stored(row) for row in connection.execute(query)]

    def report_text(self, analysis_id: int) -> str | None:
        import sqlalchemy as sa

        table = self._analyses
        with _database_failures("read the report"), self.engine.connect() as connection:
            text = connection.execute(sa.select(table.c.report).where(table.c.id == analysis_id)).scalar()
        return None if text is None else str(text)

    def _listed_columns(self) -> list[sqlalchemy.Column[Any]]:
        c = self._analyses.c
        return [c.id, c.episode_id, c.sent_at, c.received_at, c.options, c.category, c.alert_level]


@contextlib.contextmanager
def _database_failures(action: str) -> Iterator[None]:
    """Turns any database failure inside the block into StorageError."""
    import sqlalchemy as sa

    try:
        yield
    except sa.exc.SQLAlchemyError as error:
        reason = str(getattr(error, "orig", None) or error).strip().splitlines()[0]
        raise StorageError(f"cannot {action}: {reason}") from error


def _stored(row: Any) -> StoredAnalysis:
    received = row.received_at
    if received.tzinfo is None:  # SQLite keeps no zone; everything is written in UTC
        received = received.replace(tzinfo=dt.UTC)
    received = received.astimezone(dt.UTC)  # PostgreSQL answers in the session's zone
    return StoredAnalysis(
        id=int(row.id),
        episode_id=row.episode_id,
        sent_at=row.sent_at,
        received_at=received,
        options=dict(row.options),
        category=row.category,
        alert_level=row.alert_level,
    )
