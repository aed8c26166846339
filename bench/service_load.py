"""Load check of the analysis service: requests per second and latency percentiles.

Starts `pulsequill serve` on 127.0.0.1 (a fresh SQLite file unless --db is given), then posts the same
30-minute, 4 Hz JSON analysis request (one chunk window) from 1, 8 and 32 concurrent clients, each level
bounded by a request count and a time limit, and stops the service.

    python3 bench/service_load.py                      # levels 1, 8, 32; 200 requests or 20 s each
    python3 bench/service_load.py --workers 2 --clients 1 8 --requests 100

Clients are threads with one keep-alive connection each; they share the machine with the server, so on a
small machine the figures are a floor, not the service's ceiling.
"""

from __future__ import annotations

import argparse
import http.client
import pathlib
import statistics
import sys
import tempfile
import threading
import time
import urllib.parse

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tools"), str(ROOT / "tests" / "python")]

import ctg_synth  # noqa: E402
from service_support import running_service  # noqa: E402


def chunk_request() -> bytes:
    rows = ctg_synth.Recording(minutes=30, hz=4, contractions=ctg_synth.contractions_every(240)).rows()
    return ctg_synth.to_request(rows, episode_id="load-check").encode()


def run_level(port: int, body: bytes, clients: int, requests: int, seconds: float) -> dict[str, float]:
    """`clients` threads post until `requests` answers in all or `seconds` have passed."""
    latencies: list[float] = []
    errors = 0
    lock = threading.Lock()
    issued = 0
    deadline = time.monotonic() + seconds

    def client() -> None:
        nonlocal issued, errors
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
        while time.monotonic() < deadline:
            with lock:
                if issued >= requests:
                    break
                issued += 1
            started = time.perf_counter()
            try:
                connection.request("POST", "/v1/analyses", body, {"Content-Type": "application/json"})
                answer = connection.getresponse()
                answer.read()
                ok = answer.status == 200
            except (OSError, http.client.HTTPException):
                ok = False
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
            elapsed = time.perf_counter() - started
            with lock:
                latencies.append(elapsed)
                errors += not ok
        connection.close()

    started = time.perf_counter()
    threads = [threading.Thread(target=client) for _ in range(clients)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    wall = time.perf_counter() - started
    ordered = sorted(latencies)

    def percentile(p: float) -> float:
        return ordered[min(len(ordered) - 1, round((len(ordered) - 1) * p))] * 1000

    return {"clients": clients, "requests": len(ordered), "errors": errors, "rps": len(ordered) / wall,
            "p50": percentile(0.5), "p90": percentile(0.9), "p99": percentile(0.99), "max": ordered[-1] * 1000,
            "mean": statistics.fmean(ordered) * 1000}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--clients", type=int, nargs="+", default=[1, 8, 32])
    parser.add_argument("--requests", type=int, default=200, help="requests per level at most (default 200)")
    parser.add_argument("--seconds", type=float, default=20.0, help="seconds per level at most (default 20)")
    parser.add_argument("--workers", type=int, default=2, help="analysis worker processes of the service")
    parser.add_argument("--db", help="database of the service (default: a new SQLite file, removed afterwards)")
    args = parser.parse_args()

    body = chunk_request()
    with tempfile.TemporaryDirectory() as scratch:
        db = args.db or str(pathlib.Path(scratch) / "load.db")
        with running_service(db, workers=args.workers) as base_url:
            port = urllib.parse.urlsplit(base_url).port or 80
            run_level(port, body, 1, 3, 30)  # warm the worker processes
            print(f"30-minute 4 Hz chunk request, {len(body)} bytes; {args.workers} analysis workers")
            print(f"{'clients':>7} {'requests':>8} {'errors':>6} {'req/s':>7} {'p50 ms':>7} {'p90 ms':>7} "
                  f"{'p99 ms':>7} {'max ms':>7}")
            for clients in args.clients:
                row = run_level(port, body, clients, args.requests, args.seconds)
                print(f"{row['clients']:>7} {row['requests']:>8} {row['errors']:>6} {row['rps']:>7.1f} "
                      f"{row['p50']:>7.1f} {row['p90']:>7.1f} {row['p99']:>7.1f} {row['max']:>7.1f}", flush=True)

if __name__ == "__main__":
    main()
