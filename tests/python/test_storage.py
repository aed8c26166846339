"""The service's storage of analyses, against SQLite and a real PostgreSQL server."""

import datetime as dt

import pytest

pytest.importorskip("sqlalchemy", reason="the service extra is not installed: pip install 'pulsequill[service]'")

from pulsequill.storage import NewAnalysis, StorageError, open_storage  # noqa: E402

RECEIVED = dt.datetime(2024, 3, 1, 9, 0, tzinfo=dt.UTC)


def analysis(episode_id: str, number: int, category: str = "category_i", alert: str = "none") -> NewAnalysis:
    return NewAnalysis(
        episode_id=episode_id,
        sent_at=f"2024-03-01T09:{number:02d}:00Z",
        received_at=RECEIVED + dt.timedelta(minutes=number),
        options={"fetal_channel": "HR2", "gestational_age_weeks": 38},
        category=category,
        alert_level=alert,
        report_text=f'{{\n  "n": {number},\n  "text": "é \\" \\\\"\n}}\n',
    )


def test_history_episodes_and_reports_survive_reopening(db_target):
    storage = open_storage(db_target)
    ids = [storage.add(analysis("bed-1", n)) for n in range(3)]
    ids.append(storage.add(analysis("bed-2", 3, "category_iii", "critical")))
    ids.append(storage.add(analysis("bed-1", 4, "category_ii", "warning")))
    storage.close()

    reopened = open_storage(db_target)  # the schema exists already: opening again must keep everything
    history = reopened.history("bed-1", limit=10)
    assert [a.id for a in history] == [ids[4], ids[2], ids[1], ids[0]]
    assert history[0].received_at == RECEIVED + dt.timedelta(minutes=4)
    assert history[0].options == {"fetal_channel": "HR2", "gestational_age_weeks": 38}
    assert (history[0].sent_at, history[0].category, history[0].alert_level) == ("2024-03-01T09:04:00Z",
                                                                                 "category_ii", "warning")
    assert reopened.report_text(ids[3]) == analysis("bed-2", 3).report_text
    assert reopened.report_text(max(ids) + 1) is None

    episodes = reopened.episodes()
    assert [(e.episode_id, e.analysis_count, e.latest.category, e.latest.alert_level) for e in episodes] == [
        ("bed-1", 4, "category_ii", "warning"),
        ("bed-2", 1, "category_iii", "critical"),
    ]
    reopened.close()


@pytest.mark.parametrize("limit, before, expected", [(2, None, [5, 4]), (2, 4, [3, 2]), (10, 2, [1]), (3, 1, [])])
def test_history_pages_newest_first(tmp_path, limit, before, expected):
    storage = open_storage(str(tmp_path / "a.db"))
    for n in range(1, 6):
        storage.add(analysis("bed-1", n))
    assert [a.id for a in storage.history("bed-1", limit=limit, before=before)] == expected


def test_unreachable_database_is_a_storage_error(postgres_server):
    storage = open_storage(postgres_server.url)
    postgres_server.stop()
    try:
        with pytest.raises(StorageError, match="cannot store the analysis"):
            storage.add(analysis("bed-1", 1))
    finally:
        postgres_server.start()
    assert storage.history("bed-1", limit=5) == []  # nothing half-written
    storage.add(analysis("bed-1", 2))
    assert len(storage.history("bed-1", limit=5)) == 1
    storage.close()


def test_refused_database_url_is_a_storage_error():
    with pytest.raises(StorageError, match="cannot use database"):
        open_storage("nosuchdialect://localhost/x")
