#include "tools/monitor/live_map_server.h"

// One self-contained page: it loads nothing else, so it works on a site
// without internet access. The map is drawn on a canvas (a thousand tags with
// trails would be too many elements for the document); the list beside it
// holds one row per tag, refreshed twice a second, and carries each tag's
// first and latest position as data attributes.
const char *const kLiveMapPage = R"PAGE(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Live map</title>
<style>
body{margin:0;font:13px sans-serif;display:flex;flex-direction:column;height:100vh;color:#222}
header{padding:6px 10px;background:#263238;color:#eceff1;display:flex;gap:20px;align-items:baseline}
header b{font-size:15px}
#status.live{color:#9ccc65}#status.down{color:#ef9a9a}
main{flex:1;display:flex;min-height:0}
#map{flex:1;min-width:0}
canvas{width:100%;height:100%;display:block}
aside{width:470px;overflow:auto;border-left:1px solid #cfd8dc}
table{border-collapse:collapse;width:100%;font-variant-numeric:tabular-nums}
th{position:sticky;top:0;background:#eceff1}
td,th{padding:2px 6px;text-align:right;white-space:nowrap}td:first-child,th:first-child{text-align:left}
tbody tr{cursor:pointer}tbody tr:hover{background:#f5f5f5}tr.sel{background:#fff59d}
.dot{display:inline-block;width:9px;height:9px;border-radius:50%;margin-right:5px}
aside p{margin:6px;color:#607d8b}
table.noacc .acc{display:none}#metrics.down{color:#ef9a9a}
#anchorTable{margin-top:8px}#anchorTable td:nth-child(2){text-align:left}
.st-ok{color:#2e7d32}.st-silent{color:#757575}.st-blocked{color:#e65100}.st-offset{color:#6a1b9a}
</style></head><body>
<header><b>Live map</b><span id="status">connecting</span><span id="summary"></span><span id="metrics"></span></header>
<main><div id="map"><canvas id="canvas"></canvas></div>
<aside><table id="tagTable" class="noacc"><thead><tr><th>tag</th><th>x m</th><th>y m</th><th>rate /s</th><th title="from the report's arrival at the monitor to this page">latency ms</th><th>age s</th><th class="acc" title="the report's horizAccuracy">acc m</th></tr></thead>
<tbody id="tags"></tbody></table>
<p>Anchors: <span id="anchors"></span></p>
<table id="anchorTable" hidden><thead><tr><th>anchor</th><th>state</th><th>records /s</th><th title="share of its positions it was left out of in the last minute">left out %</th><th>offset m</th><th>noise m</th></tr></thead>
<tbody id="anchorRows"></tbody></table>
<p>Latency: from a report's arrival at the monitor to this page. Rate: reports per second over the last second.</p></aside></main>
<script>
'use strict';
const canvas = document.getElementById('canvas'), tbody = document.getElementById('tags');
const summary = document.getElementById('summary'), statusText = document.getElementById('status');
const tags = new Map();
let anchors = [], trailMax = 20, selected = null, dirty = true, listChanged = false, view = null, withAccuracy = false;
// Anchor health from the engine's metrics (solver_monitor --metrics): id -> {state, rate, left, offset, noise}.
const health = new Map(), stateColour = {ok: '#2e7d32', silent: '#9e9e9e', 'blocked often': '#ef6c00', offset: '#6a1b9a'};
const stats = {events: 0, bytes: 0, behind: 0, behindMax: 0, windowStart: Date.now(), windowEvents: 0, windowBytes: 0,
  busyMs: 0};

// Tags numbered in a row get hues far apart (the golden angle).
function colour(id) {
  return 'hsl(' + (parseInt(id.slice(-6), 16) * 137.508 % 360).toFixed(0) + ',70%,40%)';
}

// row: [id, x, y, arrival ms, rate], then the accuracy when the site reports it, and, in a snapshot, the trail
// [x0, y0, x1, y1, ...].
function place(row, now, trail) {
  let t = tags.get(row[0]);
  if (!t) {
    t = {id: row[0], colour: colour(row[0]), first: [row[1], row[2]], trail: [], updates: 0, tr: null};
    tags.set(row[0], t);
    listChanged = true;
  }
  t.x = row[1]; t.y = row[2]; t.at = row[3]; t.rate = row[4]; t.latency = now - row[3]; ++t.updates;
  t.acc = withAccuracy ? row[5] : -1;
  if (trail) {
    t.trail = trail.slice();
  } else {
    t.trail.push(t.x, t.y);
    if (t.trail.length > 2 * trailMax) t.trail.splice(0, t.trail.length - 2 * trailMax);
  }
}

function received(e, kind) {
  const started = performance.now(), now = Date.now(), s = JSON.parse(e.data);
  if (kind === 'snapshot') { tags.clear(); tbody.textContent = ''; }
  for (const row of s.tags) place(row, now, kind === 'snapshot' ? row[withAccuracy ? 6 : 5] : null);
  ++stats.events; ++stats.windowEvents;
  stats.bytes += e.data.length; stats.windowBytes += e.data.length;
  stats.behind = now - s.t;
  stats.behindMax = Math.max(stats.behindMax, stats.behind);
  // Without anchors the view follows the tags.
  if (!view || !anchors.length) fit();
  dirty = true;
  stats.busyMs += performance.now() - started;
}

let source = null;
function connect() {
  source = new EventSource('events');
  source.addEventListener('site', e => {
    const s = JSON.parse(e.data);
    anchors = s.anchors; trailMax = s.trail; withAccuracy = !!s.accuracy;
    document.getElementById('tagTable').classList.toggle('noacc', !withAccuracy);
    document.getElementById('anchors').textContent =
      anchors.map(a => a.id + ' (' + a.x + ', ' + a.y + ')').join(', ') || 'none configured';
    fit();
  });
  source.addEventListener('anchors', e => showHealth(JSON.parse(e.data)));
  source.addEventListener('snapshot', e => received(e, 'snapshot'));
  source.addEventListener('update', e => received(e, 'update'));
  // Tags the monitor forgot after a long silence leave the map and the list.
  source.addEventListener('forget', e => {
    for (const id of JSON.parse(e.data).tags) {
      tags.get(id)?.tr?.remove();
      if (selected === id) selected = null;
      tags.delete(id);
    }
    dirty = true;
  });
  source.onopen = () => { statusText.textContent = 'live'; statusText.className = 'live'; };
  source.onerror = () => {
    statusText.className = 'down';
    if (source.readyState === EventSource.CLOSED) {
      // Refused (too many viewers) or the monitor is gone: try again later.
      statusText.textContent = 'not connected, retrying';
      source.close();
      setTimeout(connect, 5000);
    } else {
      statusText.textContent = 'reconnecting';
    }
  };
}

function figure(v, digits, scale) { return v === null || v === undefined ? '-' : (v * (scale || 1)).toFixed(digits); }

// A few dozen anchors every few seconds: the table is rebuilt each time.
function showHealth(h) {
  const started = performance.now(), rows = document.getElementById('anchorRows'), m = document.getElementById('metrics');
  m.textContent = h.status === 'ok' ? '' : 'metrics: ' + h.status;
  m.className = h.status === 'ok' ? '' : 'down';
  health.clear();
  rows.textContent = '';
  for (const a of h.anchors) {
    health.set(a.id, a);
    const tr = document.createElement('tr');
    tr.dataset.anchor = a.id; tr.dataset.state = a.state;
    for (const text of [a.id, a.state, figure(a.rate, 1), figure(a.left, 1, 100), figure(a.offset, 3), figure(a.noise, 3)])
      tr.insertCell().textContent = text;
    tr.children[1].className = 'st-' + a.state.split(' ')[0];
    rows.append(tr);
  }
  document.getElementById('anchorTable').hidden = false;
  dirty = true;
  stats.busyMs += performance.now() - started;
}

// Metres to pixels: the anchors (or, without them, the tags) with a border, y up.
function fit() {
  const pts = anchors.length ? anchors.map(a => [a.x, a.y]) : Array.from(tags.values(), t => [t.x, t.y]);
  if (!pts.length) return;
  let x0 = Math.min(...pts.map(p => p[0])), x1 = Math.max(...pts.map(p => p[0]));
  let y0 = Math.min(...pts.map(p => p[1])), y1 = Math.max(...pts.map(p => p[1]));
  const border = Math.max(1.5, 0.08 * Math.max(x1 - x0, y1 - y0));
  view = {x0: x0 - border, x1: x1 + border, y0: y0 - border, y1: y1 + border, hall: [x0, y0, x1, y1]};
  dirty = true;
}

function draw() {
  const ratio = window.devicePixelRatio || 1, w = canvas.clientWidth, h = canvas.clientHeight;
  if (canvas.width !== Math.round(w * ratio) || canvas.height !== Math.round(h * ratio)) {
    canvas.width = Math.round(w * ratio); canvas.height = Math.round(h * ratio);
  }
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.fillStyle = '#fff'; g.fillRect(0, 0, w, h);
  if (!view) return;
  const scale = Math.min(w / (view.x1 - view.x0), h / (view.y1 - view.y0));
  const ox = (w - scale * (view.x1 - view.x0)) / 2, oy = (h - scale * (view.y1 - view.y0)) / 2;
  const px = x => ox + (x - view.x0) * scale, py = y => h - oy - (y - view.y0) * scale;
  const step = scale >= 12 ? 1 : scale >= 3 ? 5 : 25;
  g.strokeStyle = '#eceff1'; g.lineWidth = 1; g.beginPath();
  for (let x = Math.ceil(view.x0 / step) * step; x <= view.x1; x += step) { g.moveTo(px(x), py(view.y0)); g.lineTo(px(x), py(view.y1)); }
  for (let y = Math.ceil(view.y0 / step) * step; y <= view.y1; y += step) { g.moveTo(px(view.x0), py(y)); g.lineTo(px(view.x1), py(y)); }
  g.stroke();
  const [hx0, hy0, hx1, hy1] = view.hall;
  g.strokeStyle = '#90a4ae'; g.lineWidth = 2; g.strokeRect(px(hx0), py(hy1), (hx1 - hx0) * scale, (hy1 - hy0) * scale);
  g.fillStyle = '#78909c'; g.font = '11px sans-serif';
  g.fillText(step + ' m grid', 6, h - 6);
  g.font = '12px sans-serif';
  for (const a of anchors) {
    const h = health.get(a.id);
    g.fillStyle = h ? stateColour[h.state] || '#263238' : '#263238'; g.fillRect(px(a.x) - 5, py(a.y) - 5, 10, 10);
    const right = a.x > (hx0 + hx1) / 2;
    g.textAlign = right ? 'right' : 'left';
    g.fillText(a.id, px(a.x) + (right ? -9 : 9), py(a.y) + (a.y > (hy0 + hy1) / 2 ? 16 : -9));
  }
  g.textAlign = 'left';
  // Many tags: shorter labels, then none; the list names them all.
  const labels = tags.size <= 60 ? 12 : tags.size <= 300 ? 4 : 0;
  let circles = 0;
  for (const t of tags.values()) {
    // The reported accuracy as a circle around the tag.
    if (t.acc > 0) {
      g.strokeStyle = t.colour; g.globalAlpha = 0.35; g.lineWidth = 1; g.beginPath();
      g.arc(px(t.x), py(t.y), t.acc * scale, 0, 2 * Math.PI); g.stroke(); g.globalAlpha = 1; ++circles;
    }
    g.strokeStyle = t.colour; g.globalAlpha = 0.45; g.lineWidth = 1.5; g.beginPath();
    for (let i = 0; i < t.trail.length; i += 2) (i ? g.lineTo : g.moveTo).call(g, px(t.trail[i]), py(t.trail[i + 1]));
    g.stroke(); g.globalAlpha = 1;
    const r = t.id === selected ? 7 : 4;
    g.fillStyle = t.colour; g.beginPath(); g.arc(px(t.x), py(t.y), r, 0, 2 * Math.PI); g.fill();
    if (labels || t.id === selected) g.fillText(t.id.slice(12 - (labels || 12)), px(t.x) + r + 2, py(t.y) - r - 1);
  }
  summary.dataset.circles = circles;
}

function frame() {
  if (dirty) {
    const started = performance.now();
    dirty = false;
    draw();
    stats.busyMs += performance.now() - started;
  }
  requestAnimationFrame(frame);
}

function refreshList() {
  const started = performance.now(), now = Date.now();
  if (listChanged) {
    listChanged = false;
    for (const t of [...tags.values()].sort((a, b) => a.id < b.id ? -1 : 1)) {
      if (!t.tr) {
        t.tr = document.createElement('tr');
        t.tr.dataset.tag = t.id;
        t.tr.innerHTML = '<td><span class="dot"></span></td><td></td><td></td><td></td><td></td><td></td><td class="acc"></td>';
        t.tr.firstChild.firstChild.style.background = t.colour;
        t.tr.firstChild.append(t.id);
        t.tr.onclick = () => select(t.id);
      }
      tbody.append(t.tr);
    }
  }
  let rate = 0;
  for (const t of tags.values()) {
    const c = t.tr.children;
    c[1].textContent = t.x.toFixed(2); c[2].textContent = t.y.toFixed(2);
    c[3].textContent = t.rate.toFixed(1); c[4].textContent = t.latency;
    c[5].textContent = ((now - t.at) / 1000).toFixed(1);
    c[6].textContent = t.acc >= 0 ? t.acc.toFixed(2) : '-';
    const d = t.tr.dataset;
    d.x = t.x; d.y = t.y; d.firstX = t.first[0]; d.firstY = t.first[1]; d.updates = t.updates; d.accuracy = t.acc;
    rate += t.rate;
  }
  const seconds = (now - stats.windowStart) / 1000;
  if (seconds >= 2) {
    summary.dataset.eventsPerS = (stats.windowEvents / seconds).toFixed(1);
    summary.dataset.kbPerS = (stats.windowBytes / seconds / 1024).toFixed(0);
    summary.dataset.behindMaxMs = stats.behindMax;
    // Share of the page's time spent on the map: near 100 % it would fall behind.
    summary.dataset.busyPct = (stats.busyMs / seconds / 10).toFixed(0);
    stats.windowStart = now; stats.windowEvents = stats.windowBytes = stats.behindMax = stats.busyMs = 0;
  }
  summary.dataset.tags = tags.size;
  summary.dataset.events = stats.events;
  summary.textContent = tags.size + ' tags, ' + rate.toFixed(0) + ' reports/s; ' + (summary.dataset.eventsPerS || 0) +
    ' updates/s of ' + (summary.dataset.kbPerS || 0) + ' KB/s, ' + stats.behind + ' ms behind (max ' +
    (summary.dataset.behindMaxMs || stats.behind) + ' ms), page busy ' + (summary.dataset.busyPct || 0) + ' %';
  stats.busyMs += performance.now() - started;
}

function select(id) {
  tags.get(selected)?.tr?.classList.remove('sel');
  selected = id === selected ? null : id;
  tags.get(selected)?.tr?.classList.add('sel');
  dirty = true;
}

window.addEventListener('resize', () => { dirty = true; });
connect();
requestAnimationFrame(frame);
setInterval(refreshList, 500);
</script></body></html>
)PAGE";
