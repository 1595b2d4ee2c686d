#include "station/web_page.h"

namespace station {

// Large type and plain colours: the page is read from a step away on the line.
const char* const kWebPage = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>reflash station</title>
<style>
body { margin: 0; font-family: "Liberation Sans", Arial, sans-serif; background: #1b1d21;
  color: #f2f2f2; }
header { display: flex; flex-wrap: wrap; gap: 2.5rem; align-items: baseline; padding: 1rem 1.5rem;
  font-size: 2rem; background: #2a2d33; }
header b { font-size: 2.6rem; }
#db.away b { color: #ff8a80; }
#banner { display: none; padding: 1rem 1.5rem; font-size: 2rem; font-weight: bold;
  background: #b3261e; }
#banner.stopping { background: #8a6d00; }
/* Tiles are sized to the port count (fit() sets --u and the columns): 64 fit a 1280x900
   screen, and 8 are large enough to read from a step away. */
#tiles { --u: 16px; display: grid; grid-template-columns: repeat(4, 1fr);
  gap: calc(var(--u) * 0.6); padding: calc(var(--u) * 0.6); }
.tile { border-radius: calc(var(--u) * 0.8); padding: calc(var(--u) * 0.6) calc(var(--u) * 0.9);
  background: #3a3d44; height: calc(var(--u) * 14.5); overflow: hidden; box-sizing: border-box; }
.tile .port { font-size: calc(var(--u) * 2); font-weight: bold; line-height: 1.15; }
.tile .verdict { font-size: calc(var(--u) * 3); font-weight: bold; line-height: 1.1;
  white-space: nowrap; overflow: hidden; text-overflow: ellipsis; }
.tile .cause { font-size: calc(var(--u) * 1.6); font-weight: bold; line-height: 1.2;
  white-space: nowrap; overflow: hidden; text-overflow: ellipsis; min-height: 1.2em; }
.tile .text { font-size: calc(var(--u) * 1.2); line-height: 1.2; height: 2.4em; overflow: hidden;
  overflow-wrap: anywhere; }
.tile .meta { font-size: calc(var(--u) * 1.2); line-height: 1.2; white-space: nowrap;
  overflow: hidden; }
.bar { height: calc(var(--u) * 1); background: #00000055; border-radius: calc(var(--u) * 0.5);
  margin: calc(var(--u) * 0.3) 0; overflow: hidden; }
.bar div { height: 100%; background: #f2f2f2; width: 0; }
.tile.empty { background: #2a2d33; color: #9a9ea6; }
.tile.working { background: #1f4fa8; }
.tile.pass { background: #1e7d32; }
.tile.fail, .tile.fault { background: #b3261e; }
.tile.duplicate { background: #c77800; outline: calc(var(--u) * 0.3) solid #ffd54f; }
.tile.foreign { background: #4a4d55; color: #c8cbd1; }
</style></head><body>
<header><span>passed <b id="passed">0</b></span><span>failed <b id="failed">0</b></span>
<span>faults <b id="faults">0</b></span><span>running <b id="running">0</b></span>
<span>first-pass yield today <b id="yield">-</b></span>
<span id="db" hidden>database <b id="dbState"></b></span></header>
<div id="banner"></div>
<main id="tiles"></main>
<script>
"use strict";
const tiles = document.getElementById("tiles");
const banner = document.getElementById("banner");
let records = -1;

function clock(seconds) {
  return Math.floor(seconds / 60) + ":" + String(seconds % 60).padStart(2, "0");
}

function kind(port) {
  if (port.duplicate && port.state !== "fault" && port.verdict !== "fail") return "duplicate";
  if (port.state === "running") return "working";
  if (port.state === "fault") return "fault";
  if (port.state === "foreign") return "foreign";
  if (port.verdict === "pass") return "pass";
  if (port.verdict) return "fail";
  return "empty";
}

function tile(port, max) {
  let element = document.getElementById("port-" + port.port);
  if (!element) {
    element = document.createElement("section");
    element.id = "port-" + port.port;
    element.innerHTML = '<div class="port"></div><div class="verdict"></div>' +
      '<div class="cause"></div><div class="text"></div><div class="bar"><div></div></div>' +
      '<div class="meta"></div>';
    element.querySelector(".port").textContent = port.port;
  }
  const state = kind(port);
  element.className = "tile " + state;
  element.dataset.state = state;
  const verdict = state === "working" ? "WORKING" : state === "empty" ? "" :
    state === "fault" ? "FAULT" : state === "foreign" ? "" : state === "duplicate" ? "DUPLICATE" :
    port.verdict.toUpperCase();
  element.querySelector(".verdict").textContent = verdict;
  // The cause of a fail, or where the duplicate's serial is, in large type under the verdict.
  element.querySelector(".cause").textContent =
    state === "duplicate" ? port.duplicate : state === "working" ? "" : port.cause || "";
  element.querySelector(".text").textContent = port.text;
  element.querySelector(".bar div").style.width = port.progress + "%";
  let meta = "";
  if (state === "working") {
    meta = (port.attempt > 0 ? "attempt " + port.attempt + "/" + max + "  " : "") +
      clock(port.elapsedSeconds);
  } else if (port.verdict) {
    meta = "serial " + (port.serial || "unknown");
  }
  element.querySelector(".meta").textContent = meta;
  return element;
}

// The largest tiles that fit the window: for each column count, the tile size that the width
// and the height both allow (a tile is 14.5 units high and about 1.7 times as wide).
function fit(count) {
  const width = tiles.clientWidth - 2, height = window.innerHeight - tiles.offsetTop;
  let best = {columns: 1, unit: 0};
  for (let columns = 1; columns <= Math.max(count, 1); columns++) {
    const rows = Math.ceil(count / columns);
    const unit = Math.min(width / (columns * 26.5 + 0.6), height / (rows * 15.1 + 0.6));
    if (unit > best.unit) best = {columns, unit};
  }
  tiles.style.gridTemplateColumns = "repeat(" + best.columns + ", 1fr)";
  tiles.style.setProperty("--u", Math.min(Math.max(best.unit, 3), 22).toFixed(2) + "px");
}

let shownState = null;
window.addEventListener("resize", () => shownState && fit(shownState.ports.length));

function show(state) {
  shownState = state;
  for (const name of ["passed", "failed", "faults", "running"]) {
    document.getElementById(name).textContent = state[name];
  }
  const db = document.getElementById("db"), shipper = state.shipper;
  db.hidden = !shipper;
  if (shipper) {
    // The records wait in the station's log while the database is away: the lag says how many.
    document.getElementById("dbState").textContent = (shipper.up ? "" : "away, ") +
      shipper.lag + " behind" + (shipper.rejected ? ", " + shipper.rejected + " refused" : "");
    db.className = shipper.up && !shipper.rejected ? "" : "away";
    db.title = [shipper.where, shipper.error, shipper.rejectedLine].filter(x => x).join("\n");
  }
  banner.textContent = state.banner;
  banner.className = state.logFailed ? "" : "stopping";
  banner.style.display = state.banner ? "block" : "none";
  const order = state.ports.map(port => tile(port, state.maxAttempts));
  order.forEach((element, index) => {
    if (tiles.children[index] !== element) tiles.insertBefore(element, tiles.children[index] || null);
  });
  while (tiles.children.length > order.length) tiles.lastChild.remove();
  fit(order.length);
  if (state.records !== records) {
    records = state.records;
    fetch("/api/summary").then(answer => answer.json()).then(summary => {
      document.getElementById("yield").textContent = summary.cameras === 0 ? "-" :
        (summary.firstPassYield * 100).toFixed(1) + "%";
    }).catch(() => {});
  }
}

const events = new EventSource("/events");
events.onmessage = message => show(JSON.parse(message.data));
events.onerror = () => {
  banner.textContent = "No connection to the station: trying again";
  banner.className = "";
  banner.style.display = "block";
};
</script></body></html>
)PAGE";

}  // namespace station
