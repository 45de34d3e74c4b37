#include "service/StatusPage.hpp"

namespace service {

const std::string& StatusPageHtml()
{
    static const std::string kPage = R"velixpage(<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>VELIXCard status</title>
<style>
  :root { --ok: #1b7f3b; --bad: #b3261e; --warn: #9a6700; --line: #d8dde3; --muted: #5f6b7a; }
  * { box-sizing: border-box; }
  body { margin: 0; font: 15px/1.4 system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #1f2933; background: #f5f7fa; }
  header { background: #1f2933; color: #fff; padding: 12px 16px; display: flex; flex-wrap: wrap; gap: 8px 16px; align-items: center; }
  header h1 { font-size: 18px; margin: 0; flex: 1 1 auto; }
  .pill { border-radius: 999px; padding: 2px 10px; font-size: 13px; background: #3e4c59; }
  .pill.ok { background: var(--ok); } .pill.bad { background: var(--bad); }
  main { padding: 12px; display: grid; gap: 12px; grid-template-columns: repeat(auto-fit, minmax(320px, 1fr)); max-width: 1400px; margin: 0 auto; }
  section { background: #fff; border: 1px solid var(--line); border-radius: 8px; padding: 12px; overflow-x: auto; }
  section.wide { grid-column: 1 / -1; }
  h2 { font-size: 15px; margin: 0 0 8px; color: var(--muted); text-transform: uppercase; letter-spacing: .04em; }
  .lot { margin: 8px 0; }
  .lot .label { display: flex; justify-content: space-between; font-size: 14px; }
  .bar { height: 14px; background: #e4e7eb; border-radius: 7px; overflow: hidden; }
  .bar > div { height: 100%; background: var(--ok); }
  .lot.full .bar > div { background: var(--bad); }
  .lot.full .label b::after { content: " FULL"; color: var(--bad); }
  table { border-collapse: collapse; width: 100%; font-size: 14px; }
  th, td { text-align: left; padding: 5px 8px; border-bottom: 1px solid var(--line); white-space: nowrap; }
  th { color: var(--muted); font-weight: 600; }
  .yes { color: var(--ok); font-weight: 600; } .no { color: var(--bad); font-weight: 600; } .alarm { color: var(--bad); font-weight: 700; }
  .muted { color: var(--muted); }
  footer { text-align: center; color: var(--muted); font-size: 12px; padding: 8px; }
</style>
</head>
<body>
<header>
  <h1>VELIXCard</h1>
  <span id="service" class="pill">…</span>
  <span id="database" class="pill">…</span>
  <span id="offline" class="pill" hidden></span>
</header>
<main>
  <section><h2>Lots</h2><div id="lots" class="muted">No lots.</div></section>
  <section><h2>Loops</h2><table><thead><tr><th>Loop</th><th>Database</th><th>Port</th></tr></thead><tbody id="loops"></tbody></table></section>
  <section class="wide"><h2>Devices</h2>
    <table><thead><tr><th>Loop</th><th>Addr</th><th>Name</th><th>Type</th><th>On line</th><th>Gate</th><th>Printer</th><th>Last card</th><th>Result</th><th>Door</th><th>Fire</th></tr></thead>
    <tbody id="devices"></tbody></table></section>
  <section class="wide"><h2>Last decisions</h2>
    <table><thead><tr><th>Time</th><th>Device</th><th>Card</th><th>Result</th></tr></thead><tbody id="decisions"></tbody></table></section>
</main>
<footer id="updated">Waiting for the service…</footer>
<script>
"use strict";
const $ = (id) => document.getElementById(id);
function cell(text, cls) { const td = document.createElement("td"); td.textContent = text; if (cls) td.className = cls; return td; }
function row(cells) { const tr = document.createElement("tr"); cells.forEach((c) => tr.appendChild(c)); return tr; }
function yesNo(b) { return cell(b ? "yes" : "NO", b ? "yes" : "no"); }
function pill(el, text, ok) { el.textContent = text; el.className = "pill " + (ok ? "ok" : "bad"); }
function render(s) {
  pill($("service"), s.started ? "Started" : ("Not started" + (s.startProblem ? ": " + s.startProblem : "")), s.started);
  pill($("database"), s.database ? "Database reachable" : "Database unreachable", s.database);
  const off = $("offline");
  off.hidden = !s.offline.on;
  if (s.offline.on) pill(off, "Offline copy " + (s.offline.copyAgeSeconds < 0 ? "none" : Math.round(s.offline.copyAgeSeconds / 60) + " min old") + ", journal " + s.offline.journalDepth, s.offline.copyAgeSeconds >= 0 && s.offline.journalDepth === 0);
  const lots = $("lots");
  lots.replaceChildren();
  if (!s.lots.length) lots.textContent = "No lots.";
  s.lots.forEach((l) => {
    const full = l.capacity > 0 && l.count >= l.capacity;
    const div = document.createElement("div");
    div.className = "lot" + (full ? " full" : "");
    const pct = l.capacity > 0 ? Math.min(100, Math.max(0, 100 * l.count / l.capacity)) : 0;
    div.innerHTML = '<div class="label"><b></b><span></span></div><div class="bar"><div></div></div>';
    div.querySelector("b").textContent = l.name || ("Lot " + l.id);
    div.querySelector("span").textContent = l.count + " / " + l.capacity;
    div.querySelector(".bar > div").style.width = pct + "%";
    lots.appendChild(div);
  });
  $("loops").replaceChildren(...s.loops.map((l) => row([cell(l.id), yesNo(l.database), cell(l.portLost ? "LOST" : "ok", l.portLost ? "no" : "yes")])));
  $("devices").replaceChildren(...s.devices.map((d) => row([cell(d.loop), cell(d.address), cell(d.name), cell(d.type), yesNo(d.online),
    cell(d.gateHeld ? "held open" : "-"), cell(d.printer || "-"), cell(d.lastCard || "-"), cell(d.lastResult || "-"),
    cell(d.doorAjar ? "AJAR" : "-", d.doorAjar ? "alarm" : ""), cell(d.fire ? "FIRE" : "-", d.fire ? "alarm" : "")])));
  $("decisions").replaceChildren(...s.decisions.map((d) => row([cell(d.time), cell(d.device), cell(d.card), cell(d.result)])));
  $("updated").textContent = "Updated " + new Date().toLocaleTimeString();
}
async function refresh() {
  try {
    const r = await fetch("/status.json", { cache: "no-store" });
    if (r.ok) render(await r.json());
  } catch (e) {
    $("updated").textContent = "The service does not answer (" + new Date().toLocaleTimeString() + ")";
  }
}
refresh();
setInterval(refresh, 2000);
</script>
</body>
</html>
)velixpage";
    return kPage;
}

} // namespace service
