// The list of runs of a folder: drawn from api/runs, refreshed every few seconds; each row opens its run.
"use strict";

const token = new URLSearchParams(location.search).get("token") || "";
const $ = (id) => document.getElementById(id);
const REFRESH_MS = 5000;

function text(element, value) {
  element.textContent = value == null ? "" : String(value);
}

function stoppedBy(run) {
  const stop = run.stopped_by;
  if (!stop || stop.cause === "failure") return "";
  const by = stop.by || {};
  const who = [by.channel, by.name, by.user, by.address ? `at ${by.address}` : null].filter(Boolean).join(" ");
  return who ? `${stop.cause} (${who})` : stop.cause;
}

function draw(answer) {
  text($("folder"), answer.folder);
  $("none").hidden = answer.runs.length > 0;
  $("runs").tBodies[0].replaceChildren(...answer.runs.map((run) => {
    const row = document.createElement("tr");
    row.dataset.run = run.name;
    const started = row.insertCell();
    const link = document.createElement("a");
    link.href = `runs/${encodeURIComponent(run.name)}/?token=${encodeURIComponent(token)}`;
    text(link, (run.started || run.name).replace("T", " ").slice(0, 19));
    started.appendChild(link);
    text(row.insertCell(), (run.script || "?").split("/").pop());
    const outcome = row.insertCell();
    const badge = document.createElement("span");
    badge.className = `state ${run.outcome === "finished" ? "done" : run.outcome === "live" ? "running" : "failed"}`;
    text(badge, run.outcome);
    outcome.appendChild(badge);
    const duration = row.insertCell();
    duration.className = "num";
    text(duration, run.duration_s == null ? "?" : `${run.duration_s.toFixed(1)} s`);
    const failures = row.insertCell();
    failures.className = "num";
    text(failures, run.failures);
    text(row.insertCell(), stoppedBy(run) || "–");
    return row;
  }));
}

async function refresh() {
  try {
    const response = await fetch(`api/runs?token=${encodeURIComponent(token)}`);
    draw(await response.json());
    text($("connection"), "");
  } catch (error) {
    text($("connection"), `the console does not answer (${error.message})`);
  }
}

document.addEventListener("DOMContentLoaded", () => {
  refresh();
  setInterval(refresh, REFRESH_MS);
});
