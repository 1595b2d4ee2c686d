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
#banner { display: none; padding: 1rem 1.5rem; font-size: 2rem; font-weight: bold;
  background: #b3261e; }
#banner.stopping { background: #8a6d00; }
#tiles { display: grid; grid-template-columns: repeat(auto-fill, minmax(22rem, 1fr)); gap: 1rem;
  padding: 1rem; }
.tile { border-radius: 0.8rem; padding: 1rem 1.2rem; background: #3a3d44; min-height: 13rem; }
.tile .port { font-size: 2.2rem; font-weight: bold; }
.tile .verdict { font-size: 3.4rem; font-weight: bold; margin: 0.3rem 0; }
.tile .text { font-size: 1.5rem; min-height: 2rem; overflow-wrap: anywhere; }
.tile .meta { font-size: 1.5rem; margin-top: 0.4rem; }
.bar { height: 1.4rem; background: #00000055; border-radius: 0.7rem; margin-top: 0.6rem;
  overflow: hidden; }
.bar div { height: 100%; background: #f2f2f2; width: 0; }
.tile.empty { background: #2a2d33; color: #9a9ea6; }
.tile.working { background: #1f4fa8; }
.tile.pass { background: #1e7d32; }
.tile.fail, .tile.fault { background: #b3261e; }
.tile.foreign { background: #4a4d55; color: #c8cbd1; }
</style></head><body>
<header><span>passed <b id="passed">0</b></span><span>failed <b id="failed">0</b></span>
<span>faults <b id="faults">0</b></span><span>running <b id="running">0</b></span>
<span>first-pass yield today <b id="yield">-</b></span></header>
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
      '<div class="text"></div><div class="bar"><div></div></div><div class="meta"></div>';
    element.querySelector(".port").textContent = port.port;
  }
  const state = kind(port);
  element.className = "tile " + state;
  element.dataset.state = state;
  const verdict = state === "working" ? "WORKING" : state === "empty" ? "" :
    state === "fault" ? "FAULT" : state === "foreign" ? "" : port.verdict.toUpperCase();
  element.querySelector(".verdict").textContent = verdict;
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

function show(state) {
  for (const name of ["passed", "failed", "faults", "running"]) {
    document.getElementById(name).textContent = state[name];
  }
  banner.textContent = state.banner;
  banner.className = state.logFailed ? "" : "stopping";
  banner.style.display = state.banner ? "block" : "none";
  const order = state.ports.map(port => tile(port, state.maxAttempts));
  order.forEach((element, index) => {
    if (tiles.children[index] !== element) tiles.insertBefore(element, tiles.children[index] || null);
  });
  while (tiles.children.length > order.length) tiles.lastChild.remove();
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
