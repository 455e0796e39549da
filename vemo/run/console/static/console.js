// The console page: draws the run the server sends (first as it stands, then its changes), the chart for its
// window, the event log, and sends the operator's commands with the token.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);
const SVG = "http://www.w3.org/2000/svg";
// Colours of the bars (Okabe-Ito: told apart without red and green); running bars are also striped,
// unfinished ones dashed, failed ones outlined thick, so that the colour is never the only sign.
const OUTCOMES = { finished: "#0072b2", error: "#d55e00", interrupted: "#cc79a7", skipped: "#56b4e9",
                   "not run": "#bbbbbb", running: "#e69f00", unfinished: "#999999" };
const HOLDS = { pause: "#8a8a8a", interlock: "#d55e00", decision: "#e69f00" };
const PATTERNS = { running: "url(#stripes)" };
const HOLD_WORDS = { pause: "pause", interlock: "interlock trip", decision: "decision waited for" };  // outcomes drawn with a pattern rather than a plain colour
// The tab's icon by the tone of the held banner (none while the run simply runs).
const ICONS = { attention: "#d55e00", failed: "#d55e00", held: "#e69f00", finished: "#0072b2", info: "#999999" };
const MIN_BAR_PX = 3;          // a short action is still drawn (and can be hovered) at this width
const MAX_DRAWN_BARS = 2500;   // more bars in the window are merged per pixel column and module
const MAX_KEPT_BARS = 20000;   // bars kept while following; the oldest go first
const MAX_LOG_SHOWN = 300;
const CHART_REDRAW_MS = 400;
let latest = null;
let receivedAt = 0;
let replyGiven = null;  // the run's state and commands when the reply on screen was given
const bars = new Map();
const log = new Map();
const holds = new Map();
const view = { follow: true, span: 120, from: 0, to: 120 };
let chartDirty = true;
let chartDrawnAt = 0;
let refetchAt = 0;
let notified = null;

function text(element, value) {
  element.textContent = value == null ? "" : String(value);
}

function seconds(value) {
  return `${value.toFixed(1)} s`;
}

function duration(value) {
  if (value == null) return "?";
  const s = Math.round(value);
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min ${String(s % 60).padStart(2, "0")} s`;
  return `${Math.floor(s / 3600)} h ${String(Math.floor((s % 3600) / 60)).padStart(2, "0")} min`;
}

function runNow() {
  if (!latest) return 0;
  if (latest.state === "ended") return latest.now;
  return latest.now + (performance.now() - receivedAt) / 1000;
}

function drawLegend() {
  $("legend").replaceChildren(...Object.entries({ ...OUTCOMES, ...Object.fromEntries(
    Object.entries(HOLDS).map(([kind, colour]) => [HOLD_WORDS[kind], colour])) })
    .map(([name, colour]) => {
      const item = document.createElement("span");
      const key = document.createElement("span");
      key.className = "key";
      key.style.background = colour;
      item.append(key, name);
      return item;
    }));
}

function byText(by) {
  if (!by || typeof by !== "object") return "";
  return [by.channel, by.name, by.user, by.address ? `at ${by.address}` : null].filter(Boolean).join(" ");
}

function cell(row, value, className) {
  const td = row.insertCell();
  text(td, value);
  if (className) td.className = className;
  return td;
}

function drawModules(snapshot) {
  const body = $("modules").tBodies[0];
  body.replaceChildren(...snapshot.modules.map((module) => {
    const row = document.createElement("tr");
    row.dataset.module = module.name;
    cell(row, module.name);
    const state = cell(row, "");
    const badge = document.createElement("span");
    badge.className = `state ${module.state}`;
    text(badge, module.state);
    state.appendChild(badge);
    cell(row, module.current ? module.current.text : "", "action");
    cell(row, module.current ? module.current.location : "", "location");
    cell(row, module.done_text ?? `${module.done}/${module.total}`, "num done");
    const elapsed = cell(row, "", "num elapsed");
    elapsed.dataset.fixed = module.elapsed < snapshot.now || snapshot.state === "ended" ? String(module.elapsed) : "";
    return row;
  }));
}

function drawInterlocks(snapshot) {
  $("interlocks-section").hidden = snapshot.interlocks.length === 0;
  $("interlocks").replaceChildren(...snapshot.interlocks.map((interlock) => {
    const item = document.createElement("li");
    item.className = `state ${interlock.state}`;
    item.dataset.interlock = interlock.name;
    text(item, `${interlock.name}: ${interlock.state}`);
    return item;
  }));
}

function drawDecision(snapshot) {
  const decision = snapshot.decision;
  $("decision").hidden = !decision;
  if (!decision) return;
  text($("decision-module"), decision.module);
  text($("decision-text"), decision.text);
  text($("decision-location"), decision.location);
  text($("decision-reason"), decision.reason);
}

function drawHeld(snapshot) {
  const held = $("held");
  held.hidden = !snapshot.held;
  if (!snapshot.held) return;
  held.className = `banner ${snapshot.held.tone}`;
  text(held, snapshot.held.text);
}

function drawProgress(snapshot) {
  const p = snapshot.progress;
  if (!p) return;
  // A run with a loop without end has no total: its bar shows nothing done of an unknown whole.
  const percent = p.progress == null ? null : Math.round(100 * p.progress);
  $("progress-fill").style.width = `${percent ?? 0}%`;
  if (percent == null) $("progress-bar").removeAttribute("aria-valuenow");
  else $("progress-bar").setAttribute("aria-valuenow", String(percent));
  const left = p.remaining_s == null ? "" : snapshot.state === "ended" ? "" : `, about ${duration(p.remaining_s)} left`;
  const loop = p.loop ? `; ${p.loop.text}` : "";
  text($("progress"), percent == null ? `${p.done} actions${left}${loop}` : `${p.done}/${p.total} actions (${percent} %)${left}${loop}`);
}

// The buttons come from the run's table of commands; the snapshot names those that apply now.
function drawButtons(snapshot) {
  const applicable = new Set(snapshot.commands || []);
  for (const button of document.querySelectorAll("button[data-request]")) button.disabled = !applicable.has(button.id);
}

function situation(state, commands) {
  return JSON.stringify([state, commands || []]);
}

function drawReply(snapshot) {
  if (replyGiven !== null && situation(snapshot.state, snapshot.commands) !== replyGiven) {
    replyGiven = null;
    const reply = $("reply");
    reply.className = "";
    text(reply, "");
  }
}

function drawLog() {
  const entries = [...log.values()].sort((a, b) => b.n - a.n).slice(0, MAX_LOG_SHOWN);
  $("log").replaceChildren(...entries.map((entry) => {
    const item = document.createElement("li");
    item.className = entry.kind + (entry.kind === "end" && latest && latest.held ? ` ${latest.held.tone}` : "");
    item.dataset.kind = entry.kind;
    const time = document.createElement("span");
    time.className = "time";
    text(time, `${Number(entry.t).toFixed(1)} s${entry.clock ? ` ${entry.clock}` : ""}`);
    const what = document.createElement("span");
    text(what, entry.text);
    item.append(time, what);
    const who = byText(entry.by);
    if (who) {
      const by = document.createElement("span");
      by.className = "by";
      text(by, `by ${who}`);
      item.appendChild(by);
    }
    return item;
  }));
}

// --- the background: the tab tells a decision that waits ---------------------------------------------

function icon(colour) {
  const svg = `<svg xmlns="${SVG}" viewBox="0 0 16 16"><circle cx="8" cy="8" r="7" fill="${colour}"/></svg>`;
  return `data:image/svg+xml,${encodeURIComponent(svg)}`;
}

function drawAttention(snapshot, script) {
  // A decision waiting or an interlock tripped: the held banner's tone says that it needs the operator.
  const needs = Boolean(snapshot.held && snapshot.held.tone === "attention");
  const mark = needs && document.hidden ? "⚠ " : "";
  document.title = `${mark}${snapshot.state} · vemo run${script}`;
  $("icon").href = icon(snapshot.held ? ICONS[snapshot.held.tone] || "#999999" : "#0072b2");
  const key = needs && snapshot.held ? snapshot.held.text : null;
  if (key && document.hidden && key !== notified && "Notification" in window && Notification.permission === "granted") {
    notified = key;
    new Notification("vemo: the run needs you", { body: key });
  }
  if (!needs) notified = null;
}

// --- the chart -------------------------------------------------------------------------------------------

function el(name, attributes, parent) {
  const node = document.createElementNS(SVG, name);
  for (const [key, value] of Object.entries(attributes)) node.setAttribute(key, String(value));
  if (parent) parent.appendChild(node);
  return node;
}

function windowNow() {
  if (view.follow) {
    // Following: the last `span` seconds; a run shorter than that fills the chart up to a little past now.
    const now = runNow();
    view.to = now < view.span ? Math.max(now * 1.15, 5) : now;
    view.from = Math.max(0, view.to - view.span);
  }
  return [view.from, view.to];
}

function ticks(span) {
  for (const step of [0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 5, 10, 20, 30, 60, 120, 300, 600, 1800, 3600, 7200]) {
    if (span / step <= 8) return step;
  }
  return 14400;
}

function drawChart() {
  if (!latest) return;
  const [from, to] = windowNow();
  const box = $("chart");
  const width = Math.max(box.clientWidth, 200);
  const narrow = width < 500;
  const left = narrow ? 70 : 130;
  const rowH = narrow ? 30 : 34;
  const top = 24;
  const modules = latest.modules.map((m) => m.name);
  const rows = new Map(modules.map((name, i) => [name, top + i * rowH]));
  const height = top + rowH * modules.length + 8;
  const scale = (width - left - 8) / Math.max(to - from, 1e-6);
  const x = (t) => left + (t - from) * scale;
  const svg = el("svg", { viewBox: `0 0 ${width} ${height}`, height, "font-size": 12, role: "img" });
  const defs = el("defs", {}, svg);
  const stripes = el("pattern", { id: "stripes", width: 8, height: 8, patternUnits: "userSpaceOnUse", patternTransform: "rotate(45)" }, defs);
  el("rect", { width: 8, height: 8, fill: OUTCOMES.running }, stripes);
  el("line", { x1: 0, y1: 0, x2: 0, y2: 8, stroke: "#fff", "stroke-width": 3, "stroke-opacity": 0.6 }, stripes);
  const step = ticks(to - from);
  for (let t = Math.ceil(from / step) * step; t <= to; t += step) {
    el("line", { class: "tick", x1: x(t), y1: top - 4, x2: x(t), y2: height - 4 }, svg);
    const label = el("text", { x: x(t), y: top - 8, "text-anchor": "middle" }, svg);
    text(label, step >= 60 ? duration(t) : `${+t.toFixed(2)} s`);
  }
  for (const [name, y] of rows) {
    const label = el("text", { x: left - 6, y: y + 15, "text-anchor": "end", "font-weight": "bold" }, svg);
    text(label, name.length > (narrow ? 8 : 16) ? `${name.slice(0, narrow ? 7 : 15)}…` : name);
  }
  for (const hold of holds.values()) {
    const end = hold.end == null ? runNow() : hold.end;
    if (end < from || hold.start > to) continue;
    const colour = HOLDS[hold.kind] || "#888";
    const band = el("rect", { class: `hold ${hold.kind}`, x: Math.max(x(hold.start), left), y: top - 4,
                              width: Math.max(x(Math.min(end, to)) - Math.max(x(hold.start), left), MIN_BAR_PX),
                              height: rowH * modules.length + 4, fill: colour, "fill-opacity": 0.18, stroke: colour,
                              "stroke-dasharray": "4,3" }, svg);
    const title = el("title", {}, band);
    text(title, `${hold.kind === "interlock" ? `interlock ${hold.name} tripped` : HOLD_WORDS[hold.kind] || hold.kind}: ${hold.start.toFixed(2)} s to ${hold.end == null ? "now" : `${end.toFixed(2)} s`}` +
      (hold.by ? ` (${byText(hold.by)})` : ""));
  }
  let shown = [...bars.values()].filter((b) => (b[3] == null || b[3] >= from) && b[2] <= to && rows.has(b[1]));
  if (shown.length > MAX_DRAWN_BARS) shown = merge(shown, from, to, width - left);
  const now = runNow();
  for (const b of shown) {
    const [number, module, start, end, outcome, label, location, reason, retries, lane, count] = b;
    const finish = end == null ? now : end;
    const y = rows.get(module);
    const x0 = Math.max(x(start), left);
    const w = Math.max(x(Math.min(finish, to)) - x0, MIN_BAR_PX);
    const group = el("g", { class: `bar ${outcome}` }, svg);
    const fill = PATTERNS[outcome] || OUTCOMES[outcome] || "#888";
    el("rect", { x: x0, y, width: w, height: 20, rx: 3, fill,
                 stroke: outcome === "error" ? "#000" : "#333", "stroke-width": outcome === "error" ? 2 : 0.5,
                 "stroke-dasharray": outcome === "unfinished" ? "3,2" : "none" }, group);
    const title = el("title", {}, group);
    const tip = [`${module}${lane ? ` (competitor ${lane})` : ""}: ${label}`,
                 `${outcome}, ${start.toFixed(3)} s to ${end == null ? "now" : `${end.toFixed(3)} s`}`];
    if (location) tip.push(location);
    if (reason) tip.push(reason);
    if (retries) tip.push(retries > 1 ? `tried again ${retries} times` : "tried again once");
    text(title, tip.join("\n"));
    if (w > 60 && count === 1) {
      const caption = el("text", { x: x0 + 4, y: y + 14, fill: "#fff", "pointer-events": "none" }, group);
      text(caption, label.length > w / 7 ? `${label.slice(0, Math.max(Math.floor(w / 7) - 1, 1))}…` : label);
    }
  }
  if (now >= from && now <= to && latest.state !== "ended") {
    el("line", { class: "now", x1: x(now), y1: top - 6, x2: x(now), y2: height - 2 }, svg);
  }
  box.replaceChildren(svg);
  text($("chart-window"), `${from.toFixed(1)} s to ${to.toFixed(1)} s${view.follow ? " (live)" : ""}`);
  $("chart-live").classList.toggle("following", view.follow);
  chartDirty = false;
  chartDrawnAt = performance.now();
}

// Bars beyond what a chart can show: one per module and pixel column, the worst outcome shown.
function merge(shown, from, to, pixels) {
  const severity = { error: 5, interrupted: 4, running: 3, unfinished: 3, skipped: 2, finished: 1 };
  const size = Math.max((to - from) / pixels, 1e-9) * MIN_BAR_PX;
  const buckets = new Map();
  for (const b of shown) {
    const key = `${b[1]}|${Math.floor((Math.max(b[2], from) - from) / size)}`;
    const entry = buckets.get(key);
    if (!entry) { buckets.set(key, [null, b[1], b[2], b[3], b[4], "", null, null, 0, null, b[10] || 1]); continue; }
    entry[3] = entry[3] == null || b[3] == null ? null : Math.max(entry[3], b[3]);
    entry[10] += b[10] || 1;
    if ((severity[b[4]] || 0) > (severity[entry[4]] || 0)) entry[4] = b[4];
  }
  for (const entry of buckets.values()) entry[5] = `${entry[10]} actions`;
  return [...buckets.values()];
}

function keepBars(list) {
  for (const b of list) {
    const key = b[0] == null ? `m${b[1]}|${b[2]}` : b[0];
    bars.delete(key);
    bars.set(key, b);
  }
  if (view.follow) {
    const [from] = windowNow();
    for (const [key, b] of bars) if (b[3] != null && b[3] < from) bars.delete(key);
  }
  while (bars.size > MAX_KEPT_BARS) bars.delete(bars.keys().next().value);
  chartDirty = true;
}

async function fetchWindow() {
  const [from, to] = windowNow();
  refetchAt = performance.now();
  try {
    const response = await fetch(`chart?token=${encodeURIComponent(token)}&from=${from}&to=${to}`);
    const answer = await response.json();
    bars.clear();
    keepBars(answer.bars || []);
    drawChart();
  } catch (error) {
    text($("chart-window"), `the chart could not be loaded (${error.message})`);
  }
}

function moveWindow(change) {
  windowNow();
  view.follow = false;
  change();
  view.span = Math.min(Math.max(view.span, 0.05), 7 * 24 * 3600);
  view.from = Math.max(0, view.from);
  view.to = view.from + view.span;
  fetchWindow();
}

// --- messages ------------------------------------------------------------------------------------------

function draw(message) {
  if (message.kind === "first") {
    bars.clear();
    log.clear();
    holds.clear();
    if (view.follow && message.window) view.span = Math.max(view.span, 10);
  }
  latest = message;
  receivedAt = performance.now();
  for (const entry of message.log || []) log.set(entry.n, entry);
  for (const hold of message.holds || []) holds.set(hold.n, hold);
  keepBars(message.bars || []);
  if (message.bars_dropped && view.follow && performance.now() - refetchAt > 1000) fetchWindow();
  const script = message.run.script ? ` ${message.run.script}` : "";
  text($("title"), `vemo run${script}`);
  const state = $("run-state");
  state.className = `state ${message.state}`;
  let label = message.state;
  if (message.ended) label += ` (${message.ended.outcome}, exit code ${message.ended.exit_code})`;
  text(state, label);
  text($("error"), message.error);
  $("error").hidden = !message.error;
  drawHeld(message);
  drawProgress(message);
  drawModules(message);
  drawInterlocks(message);
  drawDecision(message);
  drawButtons(message);
  drawReply(message);
  if ((message.log || []).length || message.kind === "first") drawLog();
  drawAttention(message, script);
  if (message.kind === "first" || message.state === "ended") drawChart();
  tick();
}

function tick() {
  if (!latest) return;
  const now = runNow();
  text($("run-elapsed"), seconds(now));
  for (const td of document.querySelectorAll("td.elapsed")) {
    text(td, seconds(td.dataset.fixed ? Number(td.dataset.fixed) : now));
  }
  if ((chartDirty || (view.follow && latest.state !== "ended")) && performance.now() - chartDrawnAt > CHART_REDRAW_MS) {
    drawChart();
  }
}

async function send(button) {
  const question = button.dataset.confirm;
  if (question && !window.confirm(question)) return;
  const command = JSON.parse(button.dataset.request);
  const reply = $("reply");
  reply.className = "";
  replyGiven = null;
  const sentAt = performance.now();
  text(reply, `${button.textContent}…`);
  try {
    const response = await fetch("api/command", {
      method: "POST",
      headers: { "Content-Type": "application/json", Authorization: `Bearer ${token}` },
      body: JSON.stringify(command),
    });
    const answer = await response.json();
    reply.className = answer.ok ? "" : "refused";
    const outcome = answer.state ? `the run is ${answer.state}` : "done";
    text(reply, `${button.textContent}: ${answer.ok ? outcome : answer.error}`);
    if (answer.state) {
      replyGiven = situation(answer.state, answer.commands);
      // A snapshot drawn while the command went may already tell a later state: the answer is stale then.
      if (latest && receivedAt > sentAt) drawReply(latest);
    }
  } catch (error) {
    reply.className = "refused";
    text(reply, `${button.textContent}: the console does not answer (${error.message})`);
  }
}

function connect() {
  const events = new EventSource(`events?token=${encodeURIComponent(token)}`);
  events.onmessage = (message) => {
    text($("connection"), "");
    draw(JSON.parse(message.data));
  };
  events.onerror = () => {
    const ended = latest && latest.state === "ended";
    text($("connection"), ended ? "console closed: the run has ended" : "connection lost, reconnecting…");
    if (ended) events.close();
  };
}

document.addEventListener("DOMContentLoaded", () => {
  for (const button of document.querySelectorAll("button[data-request]")) {
    button.addEventListener("click", () => send(button));
  }
  $("chart-zoom-in").addEventListener("click", () => moveWindow(() => {
    const middle = (view.from + view.to) / 2;
    view.span /= 2;
    view.from = middle - view.span / 2;
  }));
  $("chart-zoom-out").addEventListener("click", () => moveWindow(() => {
    const middle = (view.from + view.to) / 2;
    view.span *= 2;
    view.from = middle - view.span / 2;
  }));
  $("chart-earlier").addEventListener("click", () => moveWindow(() => { view.from -= view.span / 2; }));
  $("chart-later").addEventListener("click", () => moveWindow(() => { view.from += view.span / 2; }));
  $("chart-live").addEventListener("click", () => { view.follow = true; fetchWindow(); });
  if ("Notification" in window && Notification.permission === "default") {
    const notify = $("notify");
    notify.hidden = false;
    notify.addEventListener("click", async () => {
      await Notification.requestPermission();
      notify.hidden = true;
    });
  }
  document.addEventListener("visibilitychange", () => { if (latest) drawAttention(latest, latest.run.script ? ` ${latest.run.script}` : ""); });
  window.addEventListener("resize", () => { chartDirty = true; });
  $("back").hidden = !location.pathname.startsWith("/runs/");
  drawLegend();
  connect();
  setInterval(tick, 250);
});
