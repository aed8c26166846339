"""The analysis service through an ASGI test client: reports, problem documents, limits, concurrency, storage."""

import asyncio
import json
import warnings

import pytest

import ctg_synth

pytest.importorskip("starlette", reason="the service extra is not installed: pip install 'pulsequill[service]'")
pytest.importorskip("httpx", reason="httpx is needed by the ASGI test client")

import httpx  # noqa: E402

with warnings.catch_warnings():  # this Starlette prefers a successor of httpx, which is not needed here
    warnings.simplefilter("ignore")
    from starlette.testclient import TestClient

from pulsequill import analyze_csv_string, analyze_json_string  # noqa: E402
from pulsequill.service import create_app  # noqa: E402

CSV = {"content-type": "text/csv"}
JSON = {"content-type": "application/json"}


def rows(minutes: float = 35, seed: int = 1, hz: float = 1) -> list[dict]:
    return ctg_synth.Recording(minutes=minutes, hz=hz, seed=seed,
                               contractions=ctg_synth.contractions_every(240)).rows()


@pytest.fixture(scope="module")
def sqlite_client(tmp_path_factory):
    with TestClient(create_app(str(tmp_path_factory.mktemp("db") / "a.db"), workers=1)) as client:
        yield client


@pytest.fixture
def client(db_target):
    with TestClient(create_app(db_target, workers=2, max_body_bytes=2_000_000)) as client:
        yield client


def test_accepted_request_is_answered_with_the_analysers_report_and_kept(client):
    request = ctg_synth.to_request(rows(), channel="hr1", ga_weeks=38, episode_id="bed-7")
    request = request.replace('"gestational_age_weeks": 38', '"gestational_age_weeks": 38, "ward": "B"')
    answer = client.post("/v1/analyses", content=request, headers=JSON)
    assert answer.status_code == 200
    assert answer.headers["content-type"] == "application/json"
    assert answer.content == analyze_json_string(request).encode()

    csv_text = ctg_synth.to_csv(rows(seed=2))
    query = "episode_id=bed-7&window_min=20&step_sec=300&channel=HR1&ga_weeks=31&last_only=true"
    answer = client.post(f"/v1/analyses?{query}", content=csv_text, headers=CSV)
    expected = analyze_csv_string(csv_text, window_min=20, step_sec=300, channel="HR1", ga_weeks=31, last_only=True)
    assert answer.text == expected

    kept = client.get(answer.headers["location"])
    assert kept.text == expected
    history = client.get("/v1/episodes/bed-7/analyses").json()["analyses"]
    assert [a["options"] for a in history] == [
        {"window_min": 20, "step_sec": 300, "channel": "HR1", "ga_weeks": 31, "last_only": True},
        {"fetal_channel": "hr1", "gestational_age_weeks": 38},
    ]
    last = json.loads(expected)["windows"][-1]
    episode = client.get("/v1/episodes").json()["episodes"][0]
    assert (episode["episode_id"], episode["analysis_count"]) == ("bed-7", 2)
    assert (episode["category"], episode["alert_level"]) == (last["classification"], last["alert_level"])


REQUEST = ctg_synth.to_request(rows(minutes=2))
SEMICOLONS = "Date;HR1\n2024-03-01 08:00:00;140\n"


@pytest.mark.parametrize("path, headers, body, status, detail", [
    ("/v1/analyses", JSON, '{"episode_id": "a", "samples": []}', 400,
     "invalid analysis request JSON: missing field `sent_at` at line 1 column 34"),
    ("/v1/analyses", JSON, REQUEST.replace('"episode_id": "episode-1"', '"episode_id": "  "'), 400,
     "analysis request episode_id must not be empty"),
    ("/v1/analyses?episode_id=a", CSV, SEMICOLONS, 400, "CSV is missing required Date column"),
    ("/v1/analyses", JSON, REQUEST.replace('"episode-1"', '"bed\\u0000"'), 400,
     "episode_id and sent_at must not contain the NUL character"),
    ("/v1/analyses?episode_id=a", CSV, "Date,HR1\n2024-03-01 08:00:00,140\n".encode("utf-16"), 400,
     "request body is not UTF-8 text"),
    ("/v1/analyses", {"content-type": "text/plain"}, REQUEST, 415, "unsupported media type text/plain"),
    ("/v1/analyses", {}, REQUEST, 415, "unsupported media type no Content-Type"),
    ("/v1/analyses", {"content-type": "application/json; charset=latin-1"}, REQUEST, 415, "unsupported charset"),
    ("/v1/analyses?episode_id=a&window_min=40", CSV, SEMICOLONS.replace(";", ","), 422,
     "window_min must be between 10 and 30"),
    ("/v1/analyses?episode_id=a&channel=hr4", CSV, SEMICOLONS.replace(";", ","), 422,
     "unsupported fetal channel: HR4"),
    ("/v1/analyses?episode_id=a&ga_weeks=256", CSV, SEMICOLONS, 422,
     "query parameter ga_weeks must be a whole number from 0 to 255: 256"),
    ("/v1/analyses?episode_id=a&last_only=yes", CSV, SEMICOLONS, 422, "query parameter last_only must be true"),
    ("/v1/analyses?episode_id=a&windows=3", CSV, SEMICOLONS, 422, "unknown query parameter windows"),
    ("/v1/analyses?window_min=20", JSON, REQUEST, 422, "query parameter window_min: a JSON analysis request carries"),
    ("/v1/analyses", CSV, SEMICOLONS, 422, "query parameter episode_id is required for a CSV export"),
    ("/v1/episodes/a/analyses?limit=0", {}, None, 422, "query parameter limit must be a whole number from 1"),
    ("/v1/analyses/12345", {}, None, 404, "no analysis with id 12345"),
])
def test_each_error_is_a_problem_document(sqlite_client, path, headers, body, status, detail):
    client = sqlite_client
    if body is None:
        answer = client.get(path)
    else:
        answer = client.post(path, content=body, headers=headers)
    assert answer.status_code == status
    assert answer.headers["content-type"] == "application/problem+json"
    problem = answer.json()
    assert problem["status"] == status and problem["type"] == "about:blank" and problem["title"]
    assert problem["detail"].startswith(detail)
    if status == 400 and body == SEMICOLONS:
        assert "semicolons" in problem["notes"][0]  # the package's guidance note travels with the message
    assert client.get("/v1/episodes").json() == {"episodes": []}  # nothing refused is kept


def test_body_above_the_limit_is_refused_whether_declared_or_streamed(db_target):
    body = ctg_synth.to_request(rows(minutes=10))
    assert 2000 < len(body) < 1_000_000
    with TestClient(create_app(db_target, workers=1, max_body_bytes=2000)) as client:
        declared = client.post("/v1/analyses", content=body, headers=JSON)
        streamed = client.post("/v1/analyses", content=iter([body[:1500].encode(), body[1500:].encode()]),
                               headers=JSON)
        assert client.post("/v1/analyses", content=ctg_synth.to_request(rows(minutes=0.1)),
                           headers=JSON).status_code == 200
    for answer in (declared, streamed):
        assert answer.status_code == 413
        assert answer.json()["detail"] == "request body exceeds the limit of 2000 bytes"


def test_concurrent_requests_each_get_their_own_report_and_health_stays_responsive(tmp_path):
    requests = [ctg_synth.to_request(rows(seed=seed), episode_id=f"bed-{seed}") for seed in range(12)]
    slow = ctg_synth.to_csv(rows(minutes=60))  # rolling windows every second: takes about a second

    async def scenario() -> None:
        app = create_app(str(tmp_path / "a.db"), workers=2)
        transport = httpx.ASGITransport(app=app)
        async with app.router.lifespan_context(app), httpx.AsyncClient(transport=transport,
                                                                       base_url="http://test") as client:
            long_analysis = asyncio.create_task(
                client.post("/v1/traces?window_min=10&step_sec=1", content=slow, headers=CSV, timeout=120))
            await asyncio.sleep(0.2)
            assert (await client.get("/healthz")).json() == {"status": "ok"}
            assert not long_analysis.done()  # the health check did not wait for the analysis
            answers = await asyncio.gather(*(client.post("/v1/analyses", content=r, headers=JSON, timeout=120)
                                             for r in requests))
            assert [a.text for a in answers] == [analyze_json_string(r) for r in requests]
            assert (await long_analysis).status_code == 200
            episodes = (await client.get("/v1/episodes")).json()["episodes"]
            assert sorted(e["episode_id"] for e in episodes) == sorted(f"bed-{seed}" for seed in range(12))

    asyncio.run(scenario())


def test_history_is_paged_by_links(client):
    for seed in range(3):
        client.post("/v1/analyses", content=ctg_synth.to_request(rows(minutes=1, seed=seed), episode_id="a/b"),
                    headers=JSON)
    first = client.get("/v1/episodes/a%2Fb/analyses?limit=2").json()
    second = client.get(first["next"]).json()
    ids = [a["id"] for a in first["analyses"] + second["analyses"]]
    assert ids == sorted(ids, reverse=True) and len(ids) == 3 and second["next"] is None


def test_database_failure_answers_503_and_keeps_nothing_half_written(postgres_server):
    request = ctg_synth.to_request(rows(minutes=1), episode_id="bed-9")
    with TestClient(create_app(postgres_server.url, workers=1)) as client:
        postgres_server.stop()
        try:
            down = client.post("/v1/analyses", content=request, headers=JSON)
            health = client.get("/healthz")
        finally:
            postgres_server.start()
        assert (down.status_code, health.status_code) == (503, 503)
        assert down.headers["content-type"] == "application/problem+json"
        assert down.json()["detail"].startswith("cannot store the analysis")
        assert client.get("/v1/episodes/bed-9/analyses").json()["analyses"] == []
        assert client.post("/v1/analyses", content=request, headers=JSON).status_code == 200


def test_page_view_has_trace_windows_and_report(sqlite_client):
    client = sqlite_client
    recording = rows(minutes=25)
    answer = client.post("/v1/traces?window_min=10&step_sec=300&channel=HR1", content=ctg_synth.to_csv(recording),
                         headers=CSV)
    view = answer.json()
    assert view["report"] == json.loads(analyze_csv_string(ctg_synth.to_csv(recording), window_min=10,
                                                           step_sec=300))
    assert view["trace"]["seconds"][:3] == [0, 1, 2] and len(view["trace"]["seconds"]) == len(recording)
    assert view["trace"]["fetal"][:2] == [r["hr1"] for r in recording[:2]]
    assert sum(len(events) for events in view["events"]) > 0
    assert view["trace"]["toco"][5] == recording[5]["toco"]
    assert [(w["start_s"], w["end_s"]) for w in view["windows"]] == [(0, 600), (300, 900), (600, 1200),
                                                                    (900, 1500)]
    assert client.get("/v1/episodes").json() == {"episodes": []}  # a look, not kept


def test_page_view_of_a_date_cell_with_a_raw_control_character(sqlite_client):
    # The report copies the cell's text raw, which strict JSON refuses; the view answers it escaped.
    answer = sqlite_client.post("/v1/traces", content="Date,HR1\n2024-03-01 10:00:00.123\tx,140\n", headers=CSV)
    assert answer.status_code == 200
    assert answer.json()["report"]["windows"][0]["window_end"] == "2024-03-01 10:00:00.123\tx"


def test_openapi_describes_every_endpoint_and_the_request_schema(sqlite_client):
    client = sqlite_client
    document = client.get("/openapi.json").json()
    routes = {route.path for route in client.app.routes if route.path}  # type: ignore[attr-defined]
    described = {path.replace("{episode_id}", "{episode_id:path}").replace("{analysis_id}", "{analysis_id:int}")
                 for path in document["paths"]}
    assert described == routes
    schema = document["components"]["schemas"]["AnalysisRequest"]
    assert schema["required"] == ["episode_id", "sent_at", "samples"]
    assert client.get("/").text.startswith("<!doctype html>")


def test_a_worker_that_dies_costs_one_request_not_the_service():
    import os
    import signal

    from pulsequill.service import AnalysisPool, Problem, Submission

    submission = Submission("json", ctg_synth.to_request(rows(minutes=1)), {})

    async def scenario() -> None:
        pool = AnalysisPool(1)
        try:
            await pool.run(submission, False)
            for pid in list(pool._executor._processes):  # the pool's worker, as a crash would end it
                os.kill(pid, signal.SIGKILL)
            with pytest.raises(Problem, match="worker stopped unexpectedly"):
                await pool.run(submission, False)
            assert (await pool.run(submission, False)).report_text == analyze_json_string(submission.text)
        finally:
            pool.close()

    asyncio.run(scenario())


def test_an_unexpected_failure_is_a_problem_document_too(tmp_path, monkeypatch):
    from pulsequill.storage import Storage

    def broken(self):
        raise RuntimeError("boom")

    monkeypatch.setattr(Storage, "episodes", broken)
    with TestClient(create_app(str(tmp_path / "a.db"), workers=1), raise_server_exceptions=False) as client:
        answer = client.get("/v1/episodes")
    assert answer.status_code == 500 and answer.headers["content-type"] == "application/problem+json"
    assert answer.json()["detail"] == "internal error of the service: RuntimeError"
