"""The CTG chart, checked by its elements (ranges, bands, markers) rather than by pixels."""

import pathlib
import re

import pytest

import ctg_synth
import pulsequill
from conftest import SHARED_DATA
from pulsequill import cli
from pulsequill.chart import save_chart

pytest.importorskip("matplotlib")

SCENARIOS = ctg_synth.golden_recordings()


def by_gid(panel, kind: str, gid: str) -> list:
    return [artist for artist in getattr(panel, kind) if artist.get_gid() == gid]


def marker_count(panel, prefix: str) -> int:
    return sum(len(line.get_xdata()) for line in panel.lines if (line.get_gid() or "").startswith(prefix))


@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_chart_of_each_scenario(tmp_path: pathlib.Path, scenario: str) -> None:
    recording, options = SCENARIOS[scenario]
    path = tmp_path / f"{scenario}.csv"
    path.write_text(ctg_synth.to_csv(recording.rows()))
    report = pulsequill.analyze_file(path, **options)
    fhr, toco = pulsequill.plot(path, report)

    assert fhr.get_ylim() == (50.0, 210.0) and toco.get_ylim() == (0.0, 100.0)
    assert fhr.get_xlim() == pytest.approx((0.0, recording.minutes))
    assert len(by_gid(fhr, "patches", "window-band")) == len(report.windows)
    assert len(by_gid(fhr, "patches", "alert-band")) == len(report.windows)
    assert len(by_gid(fhr, "collections", "baseline")) == sum(w.baseline_bpm is not None for w in report.windows)
    (normal,) = by_gid(fhr, "patches", "normal-band")
    assert normal.get_y() == 110.0 and normal.get_height() == 50.0
    assert {line.get_gid() for line in fhr.lines} >= {"fhr", "hrm"}
    assert scenario in fhr.get_title() and report.channel in fhr.get_title()

    last = report.windows[-1].features
    counts = (marker_count(fhr, "accelerations"), marker_count(fhr, "decelerations"),
              marker_count(toco, "contractions"))
    if len(report.windows) == 1:  # every event of the one window is marked once
        assert counts == (last.acceleration_count, last.deceleration_count, last.contraction_count)
    else:  # overlapping windows: each event once, at least those of the newest window
        total = [sum(getattr(w.features, name) for w in report.windows)
                 for name in ("acceleration_count", "deceleration_count", "contraction_count")]
        newest = (last.acceleration_count, last.deceleration_count, last.contraction_count)
        assert all(low <= count <= high for low, count, high in zip(newest, counts, total, strict=True))
    if scenario == "late_decelerations":
        assert marker_count(fhr, "decelerations-late") == last.deceleration_count > 0


def test_chart_draws_on_the_given_axes_and_refuses_a_foreign_report(tmp_path: pathlib.Path) -> None:
    from matplotlib.figure import Figure

    reassuring, late = (tmp_path / "reassuring.csv", tmp_path / "late.csv")
    reassuring.write_text(ctg_synth.to_csv(SCENARIOS["reassuring"][0].rows()))
    late.write_text(ctg_synth.to_csv(SCENARIOS["late_decelerations"][0].rows()))
    given = Figure().subplots()
    fhr, toco = pulsequill.plot(reassuring, pulsequill.analyze_file(reassuring).text, ax=given)
    assert fhr is given and toco.figure is given.figure and toco.get_shared_x_axes().joined(fhr, toco)
    with pytest.raises(ValueError, match="does not belong"):
        pulsequill.plot(reassuring, pulsequill.analyze_file(late))


@pytest.mark.skipif(not (SHARED_DATA / "ctu-uhb-wfdb").is_dir(), reason="the CTU-UHB WFDB records are not present")
def test_long_record_is_paged_in_pdf(tmp_path: pathlib.Path) -> None:
    record = SHARED_DATA / "ctu-uhb-wfdb" / "1001.hea"  # 80 minutes
    report = pulsequill.analyze_file(record, window_min=20, step_sec=300)
    assert save_chart(tmp_path / "1001.pdf", record, report) == 3
    assert len(re.findall(rb"/Type /Page\b(?!s)", (tmp_path / "1001.pdf").read_bytes())) == 3
    assert save_chart(tmp_path / "1001.svg", record, report, paper=True) == 1
    assert (tmp_path / "1001.svg").read_text().count('id="window-band') == len(report.windows)


def test_chart_command(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    recording = tmp_path / "late.csv"
    recording.write_text(ctg_synth.to_csv(SCENARIOS["late_decelerations"][0].rows()))
    image = tmp_path / "late.png"
    assert cli.main(["chart", str(recording), "-o", str(image), "--window-min", "10", "--paper"]) == 0
    assert image.read_bytes().startswith(b"\x89PNG")
    assert cli.main(["chart", str(tmp_path / "absent.csv"), "-o", str(image)]) == 1
    assert "absent.csv" in capsys.readouterr().err
