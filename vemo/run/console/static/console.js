// The console page: draws each snapshot the server pushes and sends the operator's commands with the token.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);
let latest = null;
let receivedAt = 0;
// The run's state and commands when the reply on screen was given: the reply goes once they change.
let replyGiven = null;

function text(element, value) {
  element.textContent = value == null ? "" : String(value);
}

function seconds(value) {
  return `${value.toFixed(1)} s`;
}

function runNow() {
  if (!latest) return 0;
  if (latest.state === "ended") return latest.now;
  return latest.now + (performance.now() - receivedAt) / 1000;
}

function cell(row, value, className) {
  const td = row.insertCell();
  text(td, value);
  if (className) td.className = className;
  return td;
}

function drawModules(snapshot) {
  const body = $("modules").tBodies[0];
  const rows = snapshot.modules.map((module) => {
    const row = document.createElement("tr");
    row.dataset.module = module.name;
    cell(row, module.name);
    const state = cell(row, module.state);
    state.innerHTML = "";
    const badge = document.createElement("span");
    badge.className = `state ${module.state}`;
    text(badge, module.state);
    state.appendChild(badge);
    cell(row, module.current ? module.current.text : "", "action");
    cell(row, module.current ? module.current.location : "", "location");
    cell(row, `${module.done}/${module.total}`, "num done");
    const elapsed = cell(row, "", "num elapsed");
    elapsed.dataset.fixed = module.elapsed < snapshot.now || snapshot.state === "ended" ? String(module.elapsed) : "";
    return row;
  });
  body.replaceChildren(...rows);
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

function tick() {
  if (!latest) return;
  const now = runNow();
  text($("run-elapsed"), seconds(now));
  for (const td of document.querySelectorAll("td.elapsed")) {
    text(td, seconds(td.dataset.fixed ? Number(td.dataset.fixed) : now));
  }
}

function draw(snapshot) {
  latest = snapshot;
  receivedAt = performance.now();
  const script = snapshot.run.script ? ` ${snapshot.run.script}` : "";
  text($("title"), `vemo run${script}`);
  document.title = `${snapshot.state} · vemo run${script}`;
  const state = $("run-state");
  state.className = `state ${snapshot.state}`;
  let label = snapshot.state;
  if (snapshot.ended) label += ` (${snapshot.ended.outcome}, exit code ${snapshot.ended.exit_code})`;
  text(state, label);
  text($("error"), snapshot.error);
  $("error").hidden = !snapshot.error;
  drawModules(snapshot);
  drawInterlocks(snapshot);
  drawDecision(snapshot);
  drawButtons(snapshot);
  drawReply(snapshot);
  // The chart is SVG drawn by the server from the journal, with every text of the run escaped there.
  $("chart").innerHTML = snapshot.chart;
  $("legend").innerHTML = snapshot.legend;
  tick();
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
  connect();
  setInterval(tick, 250);
});
