"""`pulsequill serve` as a real process on 127.0.0.1, called over HTTP, stopped, started again on the same database."""

import json
import urllib.request

import pytest

import ctg_synth

pytest.importorskip("uvicorn", reason="the service extra is not installed: pip install 'pulsequill[service]'")

from pulsequill import analyze_json_string  # noqa: E402
from service_support import running_service  # noqa: E402


def call(url: str, body: bytes | None = None, content_type: str = "application/json") -> tuple[int, bytes]:
    request = urllib.request.Request(url, data=body, headers={"Content-Type": content_type})
    try:
        with urllib.request.urlopen(request, timeout=60) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


def test_service_keeps_its_history_across_a_restart(db_target):
    recordings = [ctg_synth.Recording(minutes=20, hz=2, seed=seed).rows() for seed in (1, 2)]
    requests = [ctg_synth.to_request(rows, episode_id="bed-3", sent_at=f"2024-03-01T09:0{n}:00Z")
                for n, rows in enumerate(recordings)]

    with running_service(db_target) as base:
        status, body = call(base + "/v1/analyses", requests[0].encode())
        assert (status, body.decode()) == (200, analyze_json_string(requests[0]))
        status, body = call(base + "/v1/analyses", b"{", "application/json")
        assert status == 400 and json.loads(body)["detail"].startswith("invalid analysis request JSON: ")
        before = json.loads(call(base + "/v1/episodes/bed-3/analyses")[1])["analyses"]

    with running_service(db_target) as base:
        assert json.loads(call(base + "/v1/episodes/bed-3/analyses")[1])["analyses"] == before
        assert call(base + before[0]["report_url"])[1].decode() == analyze_json_string(requests[0])
        assert call(base + "/v1/analyses", requests[1].encode())[0] == 200
        history = json.loads(call(base + "/v1/episodes/bed-3/analyses")[1])["analyses"]
        assert [a["sent_at"] for a in history] == ["2024-03-01T09:01:00Z", "2024-03-01T09:00:00Z"]
        episodes = json.loads(call(base + "/v1/episodes")[1])["episodes"]
        assert [(e["episode_id"], e["analysis_count"]) for e in episodes] == [("bed-3", 2)]
