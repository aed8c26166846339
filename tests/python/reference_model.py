"""A plain-Python reference model of the window analysis.

Written from the rules of the analysis alone, without looking at the C++ core, so
that comparing its results with the extension's reports checks the core
independently. Clarity wins over speed: every rule is spelled out as a short,
literal function, sums run left to right in the stated order (no fsum), the
nearest-rank percentiles round halves away from zero, and the verdict follows
its steps one by one.

Only the plain monitor texts "YYYY-MM-DD HH:MM:SS[.fff]" are read; the CSV
reader and the full timestamp grammar are tested elsewhere.
"""

from __future__ import annotations

import bisect
import math
import re
import struct
from dataclasses import dataclass

# ---------------------------------------------------------------------------
# Time texts

_PLAIN_TIME = re.compile(r"(\d+)-(\d+)-(\d+)[ T](\d+):(\d+):(\d+)(?:\.(\d*))?")


def days_from_civil(year: int, month: int, day: int) -> int:
    """Proleptic Gregorian day count since 1970-01-01 (a day past the month's end counts on)."""
    y = year - 1 if month <= 2 else year
    era = (y if y >= 0 else y - 399) // 400
    yoe = y - era * 400
    mp = month - 3 if month > 2 else month + 9
    doy = (153 * mp + 2) // 5 + day - 1
    doe = yoe * 365 + yoe // 4 - yoe // 100 + doy
    return era * 146097 + doe - 719468


def parse_plain_timestamp(text: str) -> int | None:
    """Epoch milliseconds of a plain monitor time text; None for anything else
    (in particular the "<ms>ms" text of a second without samples)."""
    m = _PLAIN_TIME.fullmatch(text.strip())
    if m is None:
        return None
    year, month, day, hour, minute, second = (int(g) for g in m.groups()[:6])
    fraction = m.group(7) or ""
    if not (1 <= month <= 12 and 1 <= day <= 31 and hour <= 23 and minute <= 59 and second <= 59):
        return None
    millis = int((fraction[:3] + "000")[:3]) if fraction else 0
    return ((days_from_civil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second) * 1000
            + millis)


# ---------------------------------------------------------------------------
# Input

@dataclass
class Sample:
    timestamp: str
    timestamp_ms: int
    hr1: float | None = None
    hr2: float | None = None
    hr3: float | None = None
    hrm: float | None = None
    toco: float | None = None


@dataclass
class InputData:
    samples: list
    out_of_order_rows: int
    duplicate_timestamps: int


_NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?|[+-]?(inf|infinity|nan)", re.IGNORECASE)


def _cell_value(cells: list, index: int | None) -> float | None:
    if index is None or index >= len(cells):
        return None
    text = cells[index].strip()
    if not _NUMBER.fullmatch(text):
        return None
    return float(text)


def read_csv(text: str) -> InputData:
    """Rows of a monitor CSV export: trimmed Date text kept as written, stable sort by time."""
    # A line feed ends a line, taking one carriage return before it along; a last line without one stays as is.
    pieces = text.split("\n")
    lines = [line[:-1] if line.endswith("\r") else line for line in pieces[:-1]]
    if pieces[-1]:
        lines.append(pieces[-1])
    header = [cell.strip().lower() for cell in lines[0].split(",")]

    def column(name: str) -> int | None:
        return header.index(name) if name in header else None

    date_col = column("date")
    cols = {key: column(key) for key in ("hr1", "hr2", "hr3", "hrm", "toco")}
    samples = []
    out_of_order = 0
    for line in lines[1:]:
        if not line.strip():
            continue
        cells = line.split(",")
        stamp = cells[date_col].strip()
        ms = parse_plain_timestamp(stamp)
        if ms is None:
            raise ValueError("reference model reads plain times only: " + stamp)
        if samples and ms < samples[-1].timestamp_ms:
            out_of_order += 1
        samples.append(Sample(stamp, ms, **{key: _cell_value(cells, col) for key, col in cols.items()}))
    samples.sort(key=lambda s: s.timestamp_ms)  # Python's sort is stable
    duplicates = sum(1 for a, b in zip(samples, samples[1:], strict=False) if a.timestamp_ms == b.timestamp_ms)
    return InputData(samples, out_of_order, duplicates)


# ---------------------------------------------------------------------------
# Numeric helpers

def round_half_away(x: float) -> int:
    """Nearest integer, halves away from zero (Python's round() goes to even)."""
    if x < 0:
        return -round_half_away(-x)
    whole = math.floor(x)
    return whole + 1 if x - whole >= 0.5 else whole


def total_order_key(x: float) -> int:
    """IEEE 754 total order of doubles as an integer key (-0.0 sorts before +0.0)."""
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits ^ 0x7FFFFFFFFFFFFFFF if bits < 0 else bits


def sort_values(values: list) -> list:
    return sorted(values, key=total_order_key)


def value_at_fraction(sorted_values: list, p: float) -> float:
    n = len(sorted_values)
    return sorted_values[min(n - 1, round_half_away((n - 1) * p))]


def sum_in_order(values) -> float:
    total = 0.0
    for v in values:
        total = total + v
    return total


@dataclass
class Summary:
    minimum: float | None = None
    p05: float | None = None
    mean: float | None = None
    median: float | None = None
    p95: float | None = None
    maximum: float | None = None
    std_dev: float | None = None


def summarize_values(values: list) -> Summary:
    if not values:
        return Summary()
    ordered = sort_values(values)
    n = len(ordered)
    mean = sum_in_order(ordered) / n
    std_dev = math.sqrt(sum_in_order((v - mean) * (v - mean) for v in ordered) / n)
    return Summary(ordered[0], value_at_fraction(ordered, 0.05), mean, value_at_fraction(ordered, 0.5),
                   value_at_fraction(ordered, 0.95), ordered[-1], std_dev)


# ---------------------------------------------------------------------------
# Per-second series

@dataclass
class Second:
    timestamp_ms: int
    timestamp: str
    fetal: float | None
    maternal: float | None
    toco: float | None


def _heart_rate_usable(v: float | None) -> bool:
    return v is not None and 30.0 <= v <= 240.0


def _toco_usable(v: float | None) -> bool:
    return v is not None and 0.0 <= v <= 300.0


def build_series(samples: list, times: list, channel: str, start_ms: int, end_ms: int):
    """Selected samples and the gap-free one-value-per-second series of a window."""
    lo = bisect.bisect_left(times, start_ms)
    hi = bisect.bisect_right(times, end_ms)
    selected = samples[lo:hi] if lo < hi else []
    groups: dict = {}
    order = []
    for s in selected:
        sec = (s.timestamp_ms // 1000) * 1000
        acc = groups.get(sec)
        if acc is None:
            acc = {"text": s.timestamp, "f": [0.0, 0], "m": [0.0, 0], "t": [0.0, 0]}
            groups[sec] = acc
            order.append(sec)
        fetal = getattr(s, channel.lower())
        for key, value, usable in (("f", fetal, _heart_rate_usable(fetal)),
                                   ("m", s.hrm, _heart_rate_usable(s.hrm)),
                                   ("t", s.toco, _toco_usable(s.toco))):
            if usable:
                acc[key][0] = acc[key][0] + value
                acc[key][1] += 1
    series = []
    first = (start_ms // 1000) * 1000
    last = (end_ms // 1000) * 1000
    t = first
    while t <= last:
        acc = groups.get(t)
        if acc is None:
            series.append(Second(t, f"{t}ms", None, None, None))
        else:
            def mean(pair):
                return pair[0] / pair[1] if pair[1] else None
            series.append(Second(t, acc["text"], mean(acc["f"]), mean(acc["m"]), mean(acc["t"])))
        t += 1000
    return selected, series


def nearest_text(series: list, when_ms: int) -> str:
    """Text of the series element nearest to a time; the earlier one on a tie."""
    best = None
    best_distance = None
    for el in series:
        distance = abs(el.timestamp_ms - when_ms)
        if best is None or distance < best_distance:
            best, best_distance = el, distance
    return best.timestamp


# ---------------------------------------------------------------------------
# Baseline and variability

def estimate_baseline(series: list, from_ms: int, to_ms: int) -> int | None:
    values = [el.fetal for el in series if from_ms <= el.timestamp_ms <= to_ms and el.fetal is not None]
    if len(values) < 120:
        return None
    ordered = sort_values(values)
    n = len(ordered)
    k = n // 10
    kept = ordered[k:n - k]
    trimmed_mean = sum_in_order(kept) / len(kept)
    return 5 * round_half_away(trimmed_mean / 5)


def estimate_variability(baseline: float, series: list, from_ms: int, to_ms: int) -> float | None:
    if from_ms >= to_ms:
        return None
    ranges = []
    t = from_ms
    while t < to_ms:
        minute_end = min(to_ms, t + 60000)
        values = [el.fetal for el in series
                  if t <= el.timestamp_ms < minute_end and el.fetal is not None
                  and abs(el.fetal - baseline) <= 25.0]
        if len(values) >= 30:
            ordered = sort_values(values)
            ranges.append(value_at_fraction(ordered, 0.95) - value_at_fraction(ordered, 0.05))
        t = minute_end
    if len(ranges) < 2:
        return None
    return value_at_fraction(sort_values(ranges), 0.5)


def baseline_class(baseline: int | None) -> str | None:
    if baseline is None:
        return None
    if baseline < 110:
        return "bradycardia"
    return "normal" if baseline <= 160 else "tachycardia"


def variability_class(v: float | None) -> str | None:
    if v is None:
        return None
    if v <= 1.0:
        return "absent"
    if v <= 5.0:
        return "minimal"
    return "moderate" if v <= 25.0 else "marked"


# ---------------------------------------------------------------------------
# Events

@dataclass
class Deceleration:
    start: str
    end: str
    duration_seconds: float
    nadir_bpm: float
    depth_bpm: float
    time_to_nadir_seconds: float
    kind: str


@dataclass
class Contraction:
    start: str
    peak: str
    end: str
    duration_seconds: float
    peak_toco: float


def find_runs(elements: list, qualifies) -> list:
    """(run_start, run_end) pairs; up to three non-qualifying seconds in a row are bridged."""
    runs = []
    in_run = False
    run_start = candidate_end = 0
    misses = 0
    for el in elements:
        if qualifies(el):
            misses = 0
            if not in_run:
                in_run = True
                run_start = el.timestamp_ms
            candidate_end = el.timestamp_ms + 1000
        elif in_run:
            misses += 1
            if misses == 4:
                runs.append((run_start, candidate_end))
                misses = 0
                in_run = False
    if in_run:
        runs.append((run_start, candidate_end))
    return runs


def detect_accelerations(series, detection, baseline: int, ga_weeks: int | None) -> list:
    thr = 10.0 if ga_weeks is not None and ga_weeks < 32 else 15.0
    events = []
    for run_start, run_end in find_runs(detection, lambda el: el.fetal is not None and el.fetal >= baseline + thr):
        duration = max(run_end - run_start, 0) / 1000
        if not (thr <= duration < 120.0):
            continue
        peak = None
        for el in series:
            if run_start <= el.timestamp_ms <= run_end and el.fetal is not None:
                if peak is None or el.fetal >= peak.fetal:
                    peak = el
        if peak is None:
            continue
        if not (peak.timestamp_ms - run_start) / 1000 < 30.0:
            continue
        events.append((nearest_text(series, run_start), nearest_text(series, run_end), duration, peak.fetal))
    return events


def detect_decelerations(series, detection, baseline: int) -> list:
    events = []
    for run_start, run_end in find_runs(detection, lambda el: el.fetal is not None and el.fetal <= baseline - 15.0):
        duration = max(run_end - run_start, 0) / 1000
        if duration < 15.0:
            continue
        nadir = None
        for el in series:
            if run_start <= el.timestamp_ms <= run_end and el.fetal is not None:
                if nadir is None or el.fetal < nadir.fetal:
                    nadir = el
        if nadir is None:
            continue
        depth = baseline - nadir.fetal
        if depth < 15.0:
            continue
        time_to_nadir = max(nadir.timestamp_ms - run_start, 0) / 1000
        if 120.0 <= duration < 600.0:
            kind = "prolonged"
        elif time_to_nadir < 30.0:
            kind = "variable"
        else:
            kind = "gradual"
        events.append(Deceleration(nearest_text(series, run_start), nearest_text(series, run_end), duration,
                                   nadir.fetal, depth, time_to_nadir, kind))
    return events


def decel_times(decel: Deceleration):
    onset = parse_plain_timestamp(decel.start)
    end = parse_plain_timestamp(decel.end)
    if onset is None or end is None:
        return None
    return onset, onset + round_half_away(decel.time_to_nadir_seconds * 1000), end


def type_against_contractions(decels: list, contractions: list) -> None:
    if not contractions:
        return
    for d in decels:
        if d.kind != "gradual":
            continue
        times = decel_times(d)
        if times is None:
            continue
        onset, nadir, end = times
        best_distance = None
        best_peak = None
        for c in contractions:
            cs, cp, ce = (parse_plain_timestamp(c.start), parse_plain_timestamp(c.peak),
                          parse_plain_timestamp(c.end))
            if cs is None or cp is None or ce is None:
                continue
            candidate = (cs - 30000 <= nadir <= ce + 60000) or (onset <= ce and cs <= end)
            if candidate and (best_distance is None or abs(nadir - cp) < best_distance):
                best_distance, best_peak = abs(nadir - cp), cp
        if best_peak is None:
            continue
        if abs(nadir - best_peak) <= 5000:
            d.kind = "early"
        elif nadir - best_peak > 5000:
            d.kind = "late"


# ---------------------------------------------------------------------------
# Contractions

def detect_contractions(series: list, start_ms: int, end_ms: int) -> list:
    detection_start = max(start_ms, end_ms - 1200000)
    seconds = [el for el in series if detection_start <= el.timestamp_ms <= end_ms]
    values = [el.toco for el in seconds if el.toco is not None]
    if len(values) < 60:
        return []
    ordered = sort_values(values)
    n = len(ordered)

    def quantile(p: float) -> float:
        return ordered[min(n - 1, round_half_away(p * (n - 1)))]

    q20, q90, q95, q99 = quantile(0.20), quantile(0.90), quantile(0.95), quantile(0.99)
    if q95 - q20 < 8.0:
        return []
    onset_thr = q20 + max(0.3 * (q90 - q20), 6.0)
    peak_thr = q20 + max(0.5 * (q99 - q20), 15.0)
    points = []
    k = len(seconds)
    for i in range(k):
        near = [seconds[j].toco for j in range(max(0, i - 3), min(k - 1, i + 3) + 1)
                if seconds[j].toco is not None]
        if near:
            points.append((seconds[i].timestamp_ms, sum_in_order(near) / len(near)))
    accepted = []
    inside = False
    c_start = c_peak_time = c_end = 0
    c_peak = 0.0

    def close():
        duration = max(c_end - c_start, 0) / 1000
        if duration >= 5.0 and c_peak >= peak_thr:
            accepted.append(Contraction(nearest_text(series, c_start), nearest_text(series, c_peak_time),
                                        nearest_text(series, c_end), duration, c_peak))

    for when, value in points:
        if value >= onset_thr:
            if not inside:
                inside = True
                c_start = c_peak_time = when
                c_peak = value
            elif value > c_peak:
                c_peak, c_peak_time = value, when
            c_end = when + 1000
        elif inside:
            close()
            inside = False
    if inside:
        close()
    return accepted


# ---------------------------------------------------------------------------
# Verdict

def recurrent(kind: str, decels: list, contractions: list) -> bool:
    if len(contractions) < 2:
        return False
    associated = 0
    for c in contractions:
        cs, ce = parse_plain_timestamp(c.start), parse_plain_timestamp(c.end)
        if cs is None or ce is None:
            continue
        for d in decels:
            if d.kind != kind:
                continue
            times = decel_times(d)
            if times is not None and times[0] <= ce + 60000 and times[2] >= cs - 30000:
                associated += 1
                break
    return len(contractions) <= 2 * associated


def byte_sorted_unique(texts: list) -> list:
    out = []
    for text in sorted(texts, key=lambda s: s.encode("utf-8")):
        if not out or out[-1] != text:
            out.append(text)
    return out


URGENT_FEATURES = (
    "absent variability",
    "persistent minimal variability for at least 20 minutes",
    "recurrent late decelerations",
    "gradual deceleration with absent or minimal variability",
    "tachysystole with high-risk Category II features",
    "more than one prolonged deceleration",
)


def classify(w: dict, start_ms: int, end_ms: int, series: list, decels: list, contractions: list) -> None:
    limitations = []
    duration = w["duration_seconds"]
    count = len(contractions)
    if duration < 600:
        limitations.append("less than 10 minutes: baseline and variability assessment is incomplete")
    if duration < 1200:
        limitations.append("less than 20 minutes: recurrent deceleration assessment is incomplete")
    elif count < 2:
        limitations.append("fewer than two detected contractions: recurrent deceleration assessment is limited")
    if duration < 1800:
        limitations.append("less than 30 minutes: tachysystole assessment is incomplete")
    if w["toco_usable_ratio"] < 0.5:
        limitations.append("TOCO unavailable or sparse: late/early timing and contraction recurrence are limited")
    if end_ms - start_ms < 1800000 and w["tachysystole"] is None:
        limitations.append("tachysystole requires a 30-minute contraction average")

    bclass, vclass = w["baseline_class"], w["variability_class"]
    reasons = []
    late_rec = recurrent("late", decels, contractions)
    variable_rec = recurrent("variable", decels, contractions)
    if bclass is None:
        category = "unclassified"
        reasons.append("cannot classify without a determinate baseline")
    elif vclass is None:
        category = "unclassified"
        reasons.append("cannot classify without determinate variability")
    elif vclass == "absent" and (bclass == "bradycardia" or late_rec or variable_rec):
        category = "category_iii"
        reasons.append("absent variability with bradycardia or recurrent late/variable decelerations")
    elif vclass == "moderate" and bclass == "normal" and not any(
            d.kind in ("late", "variable", "prolonged") for d in decels):
        category = "category_i"
        reasons.append("normal baseline, moderate variability, and no detected late or variable decelerations")
    else:
        category = "category_ii"
        reasons += {"bradycardia": ["bradycardia not accompanied by category-III criteria"],
                    "tachycardia": ["tachycardia"], "normal": []}[bclass]
        reasons += {"absent": ["absent variability without recurrent decelerations"],
                    "minimal": ["minimal variability"], "marked": ["marked variability"],
                    "moderate": []}[vclass]
        for d in decels:
            text = {"variable": "variable deceleration", "late": "late deceleration",
                    "prolonged": "prolonged deceleration",
                    "gradual": "gradual deceleration not classifiable without clearer TOCO association"}.get(d.kind)
            if text:
                reasons.append(text)

    baseline = w["baseline_bpm"]
    long_enough = end_ms - start_ms >= 1200000
    previous = (end_ms - 1200000, end_ms - 600000)
    current = (end_ms - 600000, end_ms)
    persistent_minimal = False
    if baseline is not None and long_enough:
        v_prev = estimate_variability(float(baseline), series, *previous)
        v_cur = estimate_variability(float(baseline), series, *current)
        persistent_minimal = (v_prev is not None and v_cur is not None
                              and 1.0 < v_prev <= 5.0 and 1.0 < v_cur <= 5.0)
    baseline_change = False
    if bclass == "tachycardia" and long_enough:
        b_prev = estimate_baseline(series, *previous)
        b_cur = estimate_baseline(series, *current)
        baseline_change = b_prev is not None and 110 <= b_prev <= 160 and b_cur is not None and b_cur >= 161

    high = []
    if vclass == "marked":
        high.append("marked variability")
    if vclass == "absent":
        high.append("absent variability")
    if persistent_minimal:
        high.append("persistent minimal variability for at least 20 minutes")
    if baseline_change:
        high.append("baseline changed from normal to tachycardia")
    if late_rec:
        high.append("recurrent late decelerations")
    if variable_rec:
        high.append("recurrent variable decelerations")
    if vclass in ("absent", "minimal") and any(d.kind == "gradual" for d in decels):
        high.append("gradual deceleration with absent or minimal variability")
    if any(d.kind == "variable" and (d.nadir_bpm < 80 or d.depth_bpm >= 60 or d.duration_seconds >= 60)
           for d in decels):
        high.append("severe variable deceleration")
    if any(d.nadir_bpm < 80 for d in decels):
        high.append("deep deceleration nadir below 80 bpm")
    if w["total_deceleration_seconds"] >= 60:
        high.append("high deceleration burden: at least 60 seconds in deceleration")
    if sum(1 for d in decels if d.kind == "prolonged") > 1:
        high.append("more than one prolonged deceleration")
    protective = []
    if vclass == "moderate":
        protective.append("moderate variability")
    if w["acceleration_count"] > 0:
        protective.append("accelerations present")

    if baseline is None:
        limitations.append("baseline indeterminate: fewer than 120 usable fetal-HR seconds in the current "
                           "10-minute segment")
    if w["suspected_maternal_capture_ratio"] > 0.25:
        high.append("possible maternal heart-rate capture: fetal channel often tracks HRM within 5 bpm")

    if w["tachysystole"] is True:
        reasons.append("tachysystole")
        if category == "category_ii" and high:
            high.append("tachysystole with high-risk Category II features")
        else:
            high.append("tachysystole")

    reasons = byte_sorted_unique(reasons)
    high = byte_sorted_unique(high)
    protective = byte_sorted_unique(protective)

    if w["fetal_usable_ratio"] < 0.5 or category == "unclassified":
        alert = "data_quality"
    elif category == "category_iii":
        alert = "critical"
    elif not high:
        alert = "warning" if category == "category_ii" and "moderate variability" not in protective else "none"
    elif any(text in high for text in URGENT_FEATURES):
        alert = "urgent_review"
    elif "recurrent variable decelerations" in high and (
            (w["deepest_deceleration_nadir_bpm"] is not None and w["deepest_deceleration_nadir_bpm"] < 80)
            or w["total_deceleration_seconds"] >= 60):
        alert = "urgent_review"
    else:
        alert = "warning"

    w.update(classification=category, alert_level=alert, reasons=reasons, high_risk_features=high,
             protective_features=protective, limitations=limitations)


# ---------------------------------------------------------------------------
# One window

def analyze_window(samples: list, times: list, channel: str, ga_weeks: int | None,
                   start_ms: int, end_ms: int) -> dict:
    """Every printed field of one window, by report key (numbers unformatted)."""
    selected, series = build_series(samples, times, channel, start_ms, end_ms)
    w: dict = {}
    w["window_start"] = (selected[0].timestamp if selected else series[0].timestamp if series else "unknown")
    w["window_end"] = (selected[-1].timestamp if selected else series[-1].timestamp if series else "unknown")
    w["duration_seconds"] = max(end_ms - start_ms, 0) / 1000
    expected = max(len(series), max(end_ms - start_ms, 0) // 1000)
    fetal_n = sum(1 for el in series if el.fetal is not None)
    maternal_n = sum(1 for el in series if el.maternal is not None)
    toco_n = sum(1 for el in series if el.toco is not None)
    paired = [el for el in series if el.fetal is not None and el.maternal is not None]
    close = sum(1 for el in paired if abs(el.fetal - el.maternal) <= 5.0)
    quality = {
        "expected_seconds": expected,
        "raw_samples": len(selected),
        "fetal_usable_ratio": fetal_n / expected if expected else 0.0,
        "maternal_usable_ratio": maternal_n / expected if expected else 0.0,
        "toco_usable_ratio": toco_n / expected if expected else 0.0,
        "suspected_maternal_capture_ratio": close / len(paired) if paired else 0.0,
    }

    last10 = max(start_ms, end_ms - 600000)
    baseline = estimate_baseline(series, last10, end_ms)
    variability = None if baseline is None else estimate_variability(float(baseline), series, last10, end_ms)
    w["baseline_bpm"] = baseline
    w["baseline_class"] = baseline_class(baseline)
    w["variability_bpm"] = variability
    w["variability_class"] = None if baseline is None else variability_class(variability)

    fetal_values = [el.fetal for el in series if el.fetal is not None]
    fs = summarize_values(fetal_values)
    f: dict = {
        "fetal_hr_min_bpm": fs.minimum, "fetal_hr_p05_bpm": fs.p05, "fetal_hr_mean_bpm": fs.mean,
        "fetal_hr_median_bpm": fs.median, "fetal_hr_p95_bpm": fs.p95, "fetal_hr_max_bpm": fs.maximum,
        "fetal_hr_std_dev_bpm": fs.std_dev,
        "baseline_delta_mean_bpm": fs.mean - baseline if fs.mean is not None and baseline is not None else None,
    }
    below = sum(1 for v in fetal_values if v < 110.0)
    normal = sum(1 for v in fetal_values if 110.0 <= v <= 160.0)
    above = sum(1 for v in fetal_values if v > 160.0)
    n = len(fetal_values)
    f["fetal_hr_seconds_below_110"] = below
    f["fetal_hr_seconds_110_to_160"] = normal
    f["fetal_hr_seconds_above_160"] = above
    f["fetal_hr_percent_below_110"] = below / n * 100 if n else 0.0
    f["fetal_hr_percent_110_to_160"] = normal / n * 100 if n else 0.0
    f["fetal_hr_percent_above_160"] = above / n * 100 if n else 0.0

    contractions = detect_contractions(series, start_ms, end_ms)
    accelerations, decels = [], []
    if baseline is not None:
        det_from = max(start_ms, end_ms - 1200000)
        detection = [el for el in series if det_from <= el.timestamp_ms <= end_ms]
        accelerations = detect_accelerations(series, detection, baseline, ga_weeks)
        decels = detect_decelerations(series, detection, baseline)
    type_against_contractions(decels, contractions)

    f["acceleration_count"] = len(accelerations)
    f["deceleration_count"] = len(decels)
    f["prolonged_deceleration_count"] = sum(1 for d in decels if d.kind == "prolonged")
    f["total_deceleration_seconds"] = sum_in_order(d.duration_seconds for d in decels)
    f["deepest_deceleration_nadir_bpm"] = min(d.nadir_bpm for d in decels) if decels else None
    f["max_deceleration_depth_bpm"] = max(d.depth_bpm for d in decels) if decels else None

    length_min = max(end_ms - start_ms, 0) / 60000
    per_10 = len(contractions) / length_min * 10 if length_min > 0 else 0.0
    toco_values = [el.toco for el in series if el.toco is not None]
    ts = summarize_values(toco_values)
    if not series or end_ms - start_ms < 1800000 or len(toco_values) < 1200:
        tachysystole = None
    else:
        tachysystole = len(contractions) > 15
    f["contraction_count"] = len(contractions)
    f["contractions_per_10_min"] = per_10
    f["toco_mean"] = ts.mean
    f["toco_max"] = ts.maximum
    maternal_mean = summarize_values([el.maternal for el in series if el.maternal is not None]).mean
    f["maternal_hr_mean_bpm"] = maternal_mean
    f["fetal_maternal_mean_difference_bpm"] = (fs.mean - maternal_mean
                                               if fs.mean is not None and maternal_mean is not None else None)
    w["features"] = f
    w["data_quality"] = quality
    w["contractions"] = len(contractions)
    w["contractions_per_10_min"] = per_10
    w["tachysystole"] = tachysystole

    verdict_inputs = dict(w, **quality, acceleration_count=f["acceleration_count"],
                          total_deceleration_seconds=f["total_deceleration_seconds"],
                          deepest_deceleration_nadir_bpm=f["deepest_deceleration_nadir_bpm"])
    classify(verdict_inputs, start_ms, end_ms, series, decels, contractions)
    order = ("window_start", "window_end", "duration_seconds", "classification", "alert_level", "baseline_bpm",
             "baseline_class", "variability_bpm", "variability_class", "features", "data_quality", "contractions",
             "contractions_per_10_min", "tachysystole", "reasons", "high_risk_features", "protective_features",
             "limitations")
    window = {key: w[key] if key in w else verdict_inputs[key] for key in order}
    window["_decelerations"] = decels  # not printed; kept for explaining differences
    window["_contraction_events"] = contractions
    return window


# ---------------------------------------------------------------------------
# Windows and the whole report

def window_bounds(first: int, last: int, window_minutes: int | None, step_seconds: int) -> list:
    if window_minutes is None:
        return [(last - 1800000 if last - first > 1800000 else first, last)]
    span = window_minutes * 60000
    step = max(step_seconds, 1) * 1000
    bounds = []
    end = last if last - first < span else first + span
    while end <= last:
        bounds.append((max(end - span, first), end))
        end += step
    if end != last + step:
        bounds.append((max(last - span, first), last))
    return bounds


def analyze(data: InputData, channel: str = "HR1", ga_weeks: int | None = None,
            window_min: int | None = None, step_sec: int = 60) -> dict:
    """The report as a dict of raw values, keyed like the extension's report."""
    samples = data.samples
    channel = channel.strip().upper()
    step = max(step_sec, 1)
    report = {"channel": channel, "analysis_mode": "rolling" if window_min is not None else "chunk",
              "requested_window_minutes": window_min, "step_seconds": step}
    if samples:
        duration = max(samples[-1].timestamp_ms - samples[0].timestamp_ms, 0) / 1000
        report["input"] = {"rows": len(samples), "start_timestamp": samples[0].timestamp,
                           "end_timestamp": samples[-1].timestamp, "duration_seconds": duration,
                           "out_of_order_rows": data.out_of_order_rows,
                           "duplicate_timestamps": data.duplicate_timestamps}
    else:
        report["input"] = {"rows": 0, "start_timestamp": None, "end_timestamp": None, "duration_seconds": 0.0,
                           "out_of_order_rows": data.out_of_order_rows,
                           "duplicate_timestamps": data.duplicate_timestamps}
    windows = []
    if samples:
        times = [s.timestamp_ms for s in samples]
        for start_ms, end_ms in window_bounds(times[0], times[-1], window_min, step):
            windows.append(analyze_window(samples, times, channel, ga_weeks, start_ms, end_ms))
    report["windows"] = windows
    return report


# ---------------------------------------------------------------------------
# Comparison with a report text

def printed(value):
    """A model value in the report's printed form: floats with three decimals
    (exact binary value, halves to even, as format() does), the rest as is."""
    if isinstance(value, bool) or value is None or isinstance(value, (int, str, list)):
        return value
    return format(value, ".3f")


def differences(model: dict, report: dict, path: str = "") -> list:
    """Every (path, expected, actual) where the model and a report (parsed with
    parse_float=str, so numbers keep their printed text) differ."""
    out = []
    model_keys = [k for k in model if not k.startswith("_")]
    if model_keys != list(report):
        out.append((path + "<keys>", model_keys, list(report)))
    for key in model_keys:
        if key not in report:
            continue
        expected, actual = model[key], report[key]
        where = f"{path}{key}"
        if isinstance(expected, dict) and isinstance(actual, dict):
            out += differences(expected, actual, where + ".")
        elif key == "windows":
            if len(expected) != len(actual):
                out.append((where + ".<count>", len(expected), len(actual)))
            for i, (e, a) in enumerate(zip(expected, actual, strict=False)):
                out += differences(e, a, f"{where}[{i}].")
        elif printed(expected) != actual:
            out.append((where, printed(expected), actual))
    return out
