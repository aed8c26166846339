import itertools
import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The synthetic recording generator lives in tools/ (it is not part of the package).
sys.path.insert(0, str(ROOT / "tools"))

SHARED_DATA = ROOT.parent / "shared" / "data"


# --- the analysis service's databases -------------------------------------------------------------------------------

_database_numbers = itertools.count(1)


@pytest.fixture(scope="session")
def postgres_server():
    """A PostgreSQL server of Debian's `postgresql` package, in a temporary directory, for the whole run."""
    from service_support import PostgresServer, postgres_binaries

    pytest.importorskip("psycopg", reason="psycopg is not installed: pip install 'pulsequill[service]'")
    binaries = postgres_binaries()
    if binaries is None:
        pytest.skip("no PostgreSQL server binaries under /usr/lib/postgresql: apt-get install postgresql")
    server = PostgresServer(binaries)
    yield server
    server.remove()


@pytest.fixture(params=["sqlite", "postgresql"])
def db_target(request, tmp_path):
    """A fresh, empty database for the service: a SQLite file, or a new database on the PostgreSQL server."""
    if request.param == "sqlite":
        return str(tmp_path / "analyses.db")
    import psycopg

    server = request.getfixturevalue("postgres_server")
    name = f"test_{next(_database_numbers)}"
    with psycopg.connect(server.url, autocommit=True) as connection:
        connection.execute(f"CREATE DATABASE {name}")
    return server.url.rsplit("/", 1)[0] + "/" + name
