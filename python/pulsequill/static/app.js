// The page: upload a recording, draw its CTG chart from POST /v1/traces, show a window's verdict, and list the
// episodes posted to the service (GET /v1/episodes, refreshed every few seconds) with their history.
"use strict";

const SVG = "http://www.w3.org/2000/svg";
const FHR_MIN = 50, FHR_MAX = 210, TOCO_MAX = 100;
const LAYOUT = { left: 40, right: 10, top: 10, fhrHeight: 320, gap: 28, tocoHeight: 110, bottom: 22 };
const PIXELS_PER_MINUTE = 30;
const GAP_SECONDS = 5; // a longer pause between samples breaks the line
const REFRESH_MS = 5000;
const BASELINE_SECONDS = 600; // the baseline is estimated over the last 10 minutes of a window

const $ = (id) => document.getElementById(id);

function svgElement(name, attributes, parent) {
  const element = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) element.setAttribute(key, value);
  if (parent) parent.appendChild(element);
  return element;
}

function setList(list, texts) {
  list.replaceChildren(...texts.map((text) => Object.assign(document.createElement("li"), { textContent: text })));
  if (texts.length === 0) list.append(Object.assign(document.createElement("li"), { textContent: "none" }));
}

function showStatus(text, isError = false) {
  $("status").textContent = text;
  $("status").classList.toggle("error", isError);
}

function problemText(problem) {
  const notes = (problem.notes || []).map((note) => "\n" + note).join("");
  return `${problem.title} (${problem.status}): ${problem.detail}${notes}`;
}

// --- chart ---------------------------------------------------------------------------------------------------------

// One path for a series: min and max of each pixel column, a new segment after a gap or a missing value.
function seriesPath(seconds, values, x, y, low, high) {
  let path = "", column = null, lo = 0, hi = 0, lastSecond = -Infinity, open = false;
  const flush = () => {
    if (column === null) return;
    path += `${open ? "L" : "M"}${column},${y(lo).toFixed(1)}L${column},${y(hi).toFixed(1)}`;
    open = true;
    column = null;
  };
  for (let i = 0; i < seconds.length; i++) {
    const value = values[i];
    const missing = value === null || value < low || value > high;
    if (missing || seconds[i] - lastSecond > GAP_SECONDS) {
      flush();
      open = false;
    }
    if (missing) continue;
    const px = Math.round(x(seconds[i]));
    if (px !== column) { flush(); column = px; lo = hi = value; } else { lo = Math.min(lo, value); hi = Math.max(hi, value); }
    lastSecond = seconds[i];
  }
  flush();
  return path;
}

function drawGrid(svg, width, x, fhrY, tocoY, totalSeconds) {
  const grid = svgElement("g", {}, svg);
  svgElement("rect", { class: "normal-range", x: LAYOUT.left, width: width - LAYOUT.left - LAYOUT.right,
    y: fhrY(160), height: fhrY(110) - fhrY(160) }, grid);
  for (let bpm = FHR_MIN; bpm <= FHR_MAX; bpm += 10) {
    const major = (bpm - FHR_MIN) % 30 === 0;
    svgElement("line", { class: major ? "grid major" : "grid", x1: LAYOUT.left, x2: width - LAYOUT.right,
      y1: fhrY(bpm), y2: fhrY(bpm) }, grid);
    if (major) svgElement("text", { class: "axis-label", x: 4, y: fhrY(bpm) + 3 }, grid).textContent = `${bpm}`;
  }
  for (let toco = 0; toco <= TOCO_MAX; toco += 25) {
    svgElement("line", { class: toco % 50 === 0 ? "grid major" : "grid", x1: LAYOUT.left, x2: width - LAYOUT.right,
      y1: tocoY(toco), y2: tocoY(toco) }, grid);
    if (toco % 50 === 0) svgElement("text", { class: "axis-label", x: 4, y: tocoY(toco) + 3 }, grid).textContent = `${toco}`;
  }
  for (let minute = 0; minute * 60 <= totalSeconds; minute++) {
    const major = minute % 10 === 0;
    for (const [y1, y2] of [[fhrY(FHR_MAX), fhrY(FHR_MIN)], [tocoY(TOCO_MAX), tocoY(0)]]) {
      svgElement("line", { class: major ? "grid major" : "grid", x1: x(minute * 60), x2: x(minute * 60), y1, y2 }, grid);
    }
    if (major) {
      svgElement("text", { class: "axis-label", x: x(minute * 60) + 2, y: tocoY(0) + 14 }, grid).textContent = `${minute} min`;
    }
  }
}

function drawChart(page) {
  const svg = $("chart");
  svg.replaceChildren();
  const { seconds } = page.trace;
  const totalSeconds = Math.max(seconds.length ? seconds[seconds.length - 1] : 0, 60);
  const width = LAYOUT.left + LAYOUT.right + Math.max(600, (totalSeconds / 60) * PIXELS_PER_MINUTE);
  const height = LAYOUT.top + LAYOUT.fhrHeight + LAYOUT.gap + LAYOUT.tocoHeight + LAYOUT.bottom;
  svg.setAttribute("width", width);
  svg.setAttribute("height", height);
  svg.setAttribute("viewBox", `0 0 ${width} ${height}`);
  const x = (s) => LAYOUT.left + (s / totalSeconds) * (width - LAYOUT.left - LAYOUT.right);
  const fhrY = (bpm) => LAYOUT.top + ((FHR_MAX - bpm) / (FHR_MAX - FHR_MIN)) * LAYOUT.fhrHeight;
  const tocoTop = LAYOUT.top + LAYOUT.fhrHeight + LAYOUT.gap;
  const tocoY = (value) => tocoTop + ((TOCO_MAX - value) / TOCO_MAX) * LAYOUT.tocoHeight;

  // Each window's band covers the time since the previous window's end, so the colours read as the verdict at
  // each moment and the bands of overlapping rolling windows never hide one another.
  const bands = svgElement("g", { id: "bands" }, svg);
  drawGrid(svg, width, x, fhrY, tocoY, totalSeconds);
  let previousEnd = -Infinity;
  page.windows.forEach((bounds, index) => {
    const window = page.report.windows[index];
    if (bounds.start_s === null || bounds.end_s === null) return; // a window without any time has no place
    const from = Math.max(bounds.start_s, previousEnd);
    previousEnd = bounds.end_s;
    const band = svgElement("rect", {
      class: `band ${window.classification}`, "data-index": index, "data-category": window.classification,
      "data-alert": window.alert_level, x: x(from), y: LAYOUT.top,
      width: Math.max(x(bounds.end_s) - x(from), 2), height: tocoY(0) - LAYOUT.top,
    }, bands);
    svgElement("title", {}, band).textContent =
      `${window.window_start} to ${window.window_end}: ${window.classification}, alert ${window.alert_level}`;
    band.addEventListener("click", () => selectWindow(page, index));
    if (window.baseline_bpm !== null) {
      svgElement("line", { class: "baseline", x1: x(Math.max(bounds.start_s, bounds.end_s - BASELINE_SECONDS)),
        x2: x(bounds.end_s), y1: fhrY(window.baseline_bpm), y2: fhrY(window.baseline_bpm) }, svg);
    }
  });
  // The selected window's whole extent.
  svgElement("rect", { id: "selection", x: 0, y: LAYOUT.top, width: 0, height: tocoY(0) - LAYOUT.top }, svg);
  page.x = x;
  for (const [name, values, y, low, high] of [
    ["maternal", page.trace.maternal, fhrY, FHR_MIN, FHR_MAX],
    ["fetal", page.trace.fetal, fhrY, FHR_MIN, FHR_MAX],
    ["toco", page.trace.toco, tocoY, 0, TOCO_MAX],
  ]) {
    svgElement("path", { class: `trace ${name}`, d: seriesPath(seconds, values, x, y, low, high) }, svg);
  }
  drawEvents(svg, page, x, fhrY, tocoY);
}

// Events of every window, each drawn once (overlapping rolling windows report the same event again).
function drawEvents(svg, page, x, fhrY, tocoY) {
  const group = svgElement("g", { id: "events" }, svg);
  const seen = new Set();
  for (const windowEvents of page.events || []) {
    for (const event of windowEvents) {
      const key = `${event.kind}/${event.type}/${event.start_s}`;
      if (seen.has(key)) continue;
      seen.add(key);
      const middle = x((event.start_s + event.end_s) / 2);
      const y = event.kind === "contraction" ? tocoY(TOCO_MAX) + 2 : event.kind === "acceleration" ? fhrY(FHR_MAX) + 2 : fhrY(FHR_MIN) - 12;
      const mark = svgElement("rect", { class: `event ${event.kind}`, "data-kind": event.kind, "data-type": event.type || "",
        x: x(event.start_s), y, width: Math.max(x(event.end_s) - x(event.start_s), 2), height: 10 }, group);
      svgElement("title", {}, mark).textContent = `${event.type || event.kind} ${event.start_text} to ${event.end_text}`;
      const label = { acceleration: "A", contraction: "C" }[event.kind] || (event.type || "D").slice(0, 1).toUpperCase();
      svgElement("text", { class: "event-label", x: middle - 3, y: y + 8 }, group).textContent = label;
    }
  }
}

// --- verdict -------------------------------------------------------------------------------------------------------

function selectWindow(page, index) {
  document.querySelectorAll("#chart .band").forEach((band) =>
    band.classList.toggle("selected", Number(band.dataset.index) === index));
  const bounds = page.windows[index];
  if (bounds.start_s !== null && bounds.end_s !== null) {
    $("selection").setAttribute("x", page.x(bounds.start_s));
    $("selection").setAttribute("width", page.x(bounds.end_s) - page.x(bounds.start_s));
  }
  showVerdict(page.report.windows[index], `${index + 1} of ${page.report.windows.length}`);
}

function showVerdict(window, label) {
  $("verdict").hidden = false;
  $("verdict-window").textContent = `${label}: ${window.window_start} to ${window.window_end}`;
  for (const [id, word] of [["verdict-category", window.classification], ["verdict-alert", window.alert_level]]) {
    $(id).textContent = word.replaceAll("_", " ");
    $(id).className = `badge ${word}`;
  }
  const summary = [
    ["Baseline", window.baseline_bpm === null ? "undetermined" : `${window.baseline_bpm} bpm (${window.baseline_class})`],
    ["Variability", window.variability_bpm === null ? "undetermined" : `${window.variability_bpm} bpm (${window.variability_class})`],
    ["Contractions", `${window.contractions} (${window.contractions_per_10_min} per 10 min)`],
    ["Tachysystole", window.tachysystole === null ? "unknown" : window.tachysystole ? "yes" : "no"],
  ];
  $("verdict-summary").replaceChildren(...summary.flatMap(([term, value]) => [
    Object.assign(document.createElement("dt"), { textContent: term }),
    Object.assign(document.createElement("dd"), { textContent: value }),
  ]));
  setList($("verdict-reasons"), window.reasons);
  setList($("verdict-high-risk"), window.high_risk_features);
  setList($("verdict-protective"), window.protective_features);
  setList($("verdict-limitations"), window.limitations);
  const rows = Object.entries({ ...window.features, ...window.data_quality }).map(([key, value]) => {
    const row = document.createElement("tr");
    row.append(Object.assign(document.createElement("th"), { textContent: key }),
      Object.assign(document.createElement("td"), { textContent: value === null ? "—" : String(value) }));
    return row;
  });
  $("verdict-features").replaceChildren(...rows);
}

// --- upload --------------------------------------------------------------------------------------------------------

function traceRequest(file, text) {
  const isJson = file.name.toLowerCase().endsWith(".json") || file.type === "application/json";
  const query = new URLSearchParams();
  if (!isJson) {
    for (const input of $("csv-options").querySelectorAll("input, select")) {
      if (input.value !== "") query.set(input.name, input.value);
    }
  }
  const search = query.toString();
  const url = search ? `/v1/traces?${search}` : "/v1/traces";
  return fetch(url, { method: "POST", body: text, headers: { "Content-Type": isJson ? "application/json" : "text/csv" } });
}

async function analyzeFile(file) {
  showStatus(`Analysing ${file.name}…`);
  $("warnings").replaceChildren();
  try {
    const response = await traceRequest(file, await file.text());
    const body = await response.json();
    if (!response.ok) {
      showStatus(problemText(body), true);
      return;
    }
    const count = body.report.windows.length;
    showStatus(`${file.name}: ${body.report.input.rows} rows from ${body.start}, ${count} window${count === 1 ? "" : "s"}, channel ${body.report.channel}`);
    if (body.warnings.length) setList($("warnings"), body.warnings);
    drawChart(body);
    if (count > 0) selectWindow(body, count - 1);
    else $("verdict").hidden = true;
  } catch (error) {
    showStatus(`Could not analyse ${file.name}: ${error}`, true);
  }
}

function setUpUpload() {
  const zone = $("drop-zone");
  $("file-input").addEventListener("change", (event) => {
    if (event.target.files.length) analyzeFile(event.target.files[0]);
  });
  zone.addEventListener("dragover", (event) => { event.preventDefault(); zone.classList.add("dragging"); });
  zone.addEventListener("dragleave", () => zone.classList.remove("dragging"));
  zone.addEventListener("drop", (event) => {
    event.preventDefault();
    zone.classList.remove("dragging");
    if (event.dataTransfer.files.length) analyzeFile(event.dataTransfer.files[0]);
  });
}

// --- episodes ------------------------------------------------------------------------------------------------------

function cells(row, texts) {
  row.append(...texts.map((text) => Object.assign(document.createElement("td"), { textContent: text ?? "—" })));
  return row;
}

function badgeCell(word) {
  const cell = document.createElement("td");
  if (word) cell.append(Object.assign(document.createElement("span"), { className: `badge ${word}`, textContent: word.replaceAll("_", " ") }));
  else cell.textContent = "—";
  return cell;
}

async function refreshEpisodes() {
  try {
    const response = await fetch("/v1/episodes");
    if (!response.ok) return;
    const { episodes } = await response.json();
    $("episode-rows").replaceChildren(...episodes.map((episode) => {
      const row = document.createElement("tr");
      row.dataset.episode = episode.episode_id;
      cells(row, [episode.episode_id]);
      row.append(badgeCell(episode.category), badgeCell(episode.alert_level));
      cells(row, [String(episode.analysis_count), episode.latest.received_at]);
      row.addEventListener("click", () => openHistory(`/v1/episodes/${encodeURIComponent(episode.episode_id)}/analyses`, episode.episode_id, false));
      return row;
    }));
  } catch {
    // The service may be restarting; the next refresh tries again.
  }
}

async function openHistory(url, episodeId, append) {
  const response = await fetch(url);
  const body = await response.json();
  if (!response.ok) { showStatus(problemText(body), true); return; }
  $("history").hidden = false;
  $("history-episode").textContent = episodeId;
  const rows = body.analyses.map((analysis) => {
    const row = document.createElement("tr");
    cells(row, [analysis.received_at, analysis.sent_at]);
    row.append(badgeCell(analysis.category), badgeCell(analysis.alert_level));
    const open = Object.assign(document.createElement("button"), { type: "button", textContent: "Verdict" });
    open.addEventListener("click", () => showStoredReport(analysis));
    row.append(Object.assign(document.createElement("td"), {}));
    row.lastChild.append(open);
    return row;
  });
  if (append) $("history-rows").append(...rows); else $("history-rows").replaceChildren(...rows);
  const more = $("history-more");
  more.hidden = !body.next;
  more.onclick = body.next ? () => openHistory(body.next, episodeId, true) : null;
}

async function showStoredReport(analysis) {
  const report = await (await fetch(analysis.report_url)).json();
  const count = report.windows.length;
  if (count === 0) { showStatus(`Analysis ${analysis.id} has no window`); return; }
  showVerdict(report.windows[count - 1], `episode ${analysis.episode_id}, analysis ${analysis.id}`);
}

setUpUpload();
refreshEpisodes();
setInterval(refreshEpisodes, REFRESH_MS);
