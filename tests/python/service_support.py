"""Servers for the service's tests: a throw-away PostgreSQL cluster and the service as a real process.

Both listen on 127.0.0.1 only, on ports of their own, and are stopped by their context managers.
"""

from __future__ import annotations

import contextlib
import glob
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from collections.abc import Callable, Iterator

STARTUP_SECONDS = 60


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def wait_until(ready: Callable[[], bool], what: str, seconds: float = STARTUP_SECONDS) -> None:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if ready():
            return
        time.sleep(0.1)
    raise TimeoutError(f"{what} was not ready within {seconds} s")


def postgres_binaries() -> pathlib.Path | None:
    """The newest PostgreSQL server binaries from Debian's packages, if installed."""
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    return pathlib.Path(found[-1]).parent if found else None


class PostgresServer:
    """A PostgreSQL cluster in a temporary directory, run by an unprivileged user when started as root."""

    def __init__(self, binaries: pathlib.Path) -> None:
        self.binaries = binaries
        self.directory = pathlib.Path(tempfile.mkdtemp(prefix="pulsequill-pg-"))
        self.data = self.directory / "data"
        self.port = free_port()
        self.user = "postgres" if os.geteuid() == 0 else None
        self.url = f"postgresql://pulsequill@127.0.0.1:{self.port}/pulsequill"
        if self.user:
            shutil.chown(self.directory, self.user)
        self._run("initdb", "-D", str(self.data), "-U", "pulsequill", "-A", "trust", "-E", "UTF8", "--no-sync")
        self.start()
        self._run("createdb", "-h", "127.0.0.1", "-p", str(self.port), "-U", "pulsequill", "pulsequill")

    def _command(self, program: str, *args: str) -> list[str]:
        command = [str(self.binaries / program), *args]
        return ["runuser", "-u", self.user, "--", *command] if self.user else command

    def _run(self, program: str, *args: str) -> None:
        subprocess.run(self._command(program, *args), check=True, capture_output=True, timeout=STARTUP_SECONDS)

    def start(self) -> None:
        self._run("pg_ctl", "-D", str(self.data), "-l", str(self.directory / "log"), "-w", "-t", "30", "start",
                  "-o", f"-h 127.0.0.1 -p {self.port} -k {self.directory} -c fsync=off")

    def stop(self) -> None:
        self._run("pg_ctl", "-D", str(self.data), "-w", "-t", "30", "-m", "fast", "stop")

    def remove(self) -> None:
        with contextlib.suppress(subprocess.SubprocessError):
            self.stop()
        shutil.rmtree(self.directory, ignore_errors=True)


def healthy(base_url: str) -> bool:
    try:
        with urllib.request.urlopen(base_url + "/healthz", timeout=2) as answer:
            return bool(answer.status == 200)
    except (urllib.error.URLError, OSError):
        return False


@contextlib.contextmanager
def running_service(db: str, *, workers: int = 1) -> Iterator[str]:
    """`pulsequill serve` as a real process on 127.0.0.1; yields its base URL, then stops it with SIGINT and
    checks that it ended in order (status 0)."""
    port = free_port()
    command = [sys.executable, "-m", "pulsequill", "serve", "--host", "127.0.0.1", "--port", str(port),
               "--db", db, "--workers", str(workers)]
    base_url = f"http://127.0.0.1:{port}"
    with tempfile.TemporaryFile("w+") as log:  # a file, not a pipe: a full pipe would stall the server
        process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT, text=True)

        def server_log() -> str:
            log.seek(0)
            return log.read()[-4000:]

        try:
            wait_until(lambda: healthy(base_url) or process.poll() is not None, "the service")
            if process.poll() is not None:
                raise RuntimeError(f"the service stopped at start:\n{server_log()}")
            yield base_url
        finally:
            process.send_signal(signal.SIGINT)
            try:
                process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise
        if process.returncode != 0:
            raise RuntimeError(f"the service ended with status {process.returncode}:\n{server_log()}")
