// The live page of a qf7320 poll: the state from /api/v1/stations once, then every change
// from /events (Server-Sent Events), drawn without any library.
'use strict';

const $ = (id) => document.getElementById(id);
let state = null;        // the last state, stations' charts whole
let clockSkew = 0;       // the logger's clock minus this one's, in ms
let hours = 24;          // the chart's span; 0: the whole poll
const cards = new Map(); // station -> its elements

const loggerNow = () => Date.now() + clockSkew;

function ago(ms) {
  const s = Math.max(0, Math.round(ms / 1000));
  if (s < 60) return s + ' s ago';
  if (s < 3600) return Math.floor(s / 60) + ' min ' + (s % 60) + ' s ago';
  if (s < 86400) return Math.floor(s / 3600) + ' h ' + Math.floor((s % 3600) / 60) + ' min ago';
  return Math.floor(s / 86400) + ' d ' + Math.floor((s % 86400) / 3600) + ' h ago';
}

const times = (n) => (n === 1 ? 'once' : n + ' times');
const clock = (ms) => new Date(ms - clockSkew).toLocaleTimeString();

function card(station) {
  let c = cards.get(station.station);
  if (c) return c;
  const root = document.createElement('section');
  root.className = 'station';
  root.id = 'station-' + station.station;
  root.innerHTML = '<div class="head"><span class="name">Station ' + station.station +
    '</span><span class="status"></span></div><div class="reading"></div>' +
    '<div class="facts"><span class="age"></span><span class="counts"></span>' +
    '<span class="latency"></span></div><canvas></canvas>';
  $('stations').appendChild(root);
  const q = (s) => root.querySelector(s);
  c = { root, status: q('.status'), reading: q('.reading'), age: q('.age'), counts: q('.counts'),
        latency: q('.latency'), canvas: q('canvas') };
  cards.set(station.station, c);
  return c;
}

function drawStation(station, force) {
  const c = card(station);
  const ok = station.status === 'ok';
  c.status.textContent = station.status || 'not read yet';
  c.status.className = 'status' + (ok ? ' ok' : station.status ? '' : ' none');
  c.reading.innerHTML = station.lux === null ? '–' : station.lux + ' <small>lx</small>';
  c.reading.className = 'reading' + (ok ? '' : ' stale');
  c.reading.dataset.lux = station.lux === null ? '' : station.lux;
  c.counts.textContent = station.answered + ' answered, ' + station.failed + ' failed';
  c.latency.textContent = station.latency_ms === null ? '' : station.latency_ms + ' ms';
  // The charts at most once a second: a poll with no period changes them all the time.
  if (force || Date.now() - (c.drawn || 0) >= 1000) {
    c.drawn = Date.now();
    drawChart(c.canvas, station.chart);
  }
}

function drawLine() {
  const line = state.line;
  const el = $('line');
  if (!line.up) {
    el.className = 'banner bad';
    el.textContent = 'Port ' + state.port + ' lost at ' + clock(line.since_ms) + ' (' +
      ago(loggerNow() - line.since_ms) + '): ' + line.reason +
      '. The logger opens it again by itself.';
  } else if (line.losses && loggerNow() - line.since_ms < 600000) {
    el.className = 'banner back';
    el.textContent = 'Port ' + state.port + ' back at ' + clock(line.since_ms) + ' (' +
      ago(loggerNow() - line.since_ms) + '); lost ' + times(line.losses) + ' in this poll.';
  } else {
    el.className = 'banner';
    el.textContent = 'Port ' + state.port + ' open' +
      (line.losses ? ', lost ' + times(line.losses) + ' in this poll' : '') + '.';
  }
  const b = state.backlog;
  const parts = [];
  if (b.csv !== null) parts.push(b.csv + ' CSV rows waiting for the disk');
  if (b.mqtt !== null) parts.push(b.mqtt + ' samples waiting for the broker');
  $('backlog').textContent = parts.join(', ') + (parts.length ? ' ·' : '');
}

function drawAll(force = true) {
  if (!state) return;
  $('port').textContent = state.port + ', every ' + state.period_ms + ' ms';
  $('version').textContent = 'qf7320 ' + state.version;
  const note = document.querySelector('#stations .note');
  if (note) note.remove();
  for (const s of state.stations) drawStation(s, force);
  drawLine();
  drawAges();
}

function drawAges() {
  if (!state) return;
  for (const s of state.stations)
    card(s).age.textContent = s.time_ms === null ? 'not read yet' : 'read ' + ago(loggerNow() - s.time_ms);
}

// The chart: each column's minimum to maximum as a band, runs broken where no reading is (a gap
// stays a gap), failures as red marks along the bottom.
function drawChart(canvas, chart) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth, height = canvas.clientHeight;
  if (!width) return;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  const left = 52, right = width - 8, top = 8, bottom = height - 22;
  const now = loggerNow();
  const cols = chart.columns;
  // The span chosen, but never from before the poll's first sample.
  const first = cols.length ? cols[0][0] : now;
  const from = Math.min(now - 60000, hours ? Math.max(now - hours * 3600000, first) : first);
  const span = now - from;
  const x = (t) => left + (t - from) / span * (right - left);
  const seen = cols.filter((c) => c[0] + chart.width_ms >= from);
  let lo = Infinity, hi = -Infinity;
  for (const c of seen) if (c[1] !== null) { lo = Math.min(lo, c[1]); hi = Math.max(hi, c[2]); }
  if (lo === Infinity) { lo = 0; hi = 100; }
  if (hi - lo < 10) { lo -= 5; hi += 5; }
  const pad = (hi - lo) * 0.08;
  lo = Math.max(0, lo - pad); hi += pad;
  const y = (v) => bottom - (v - lo) / (hi - lo) * (bottom - top);

  g.font = '11px system-ui, sans-serif';
  g.fillStyle = '#656d76';
  g.strokeStyle = '#e5e7eb';
  g.lineWidth = 1;
  g.textAlign = 'right';
  g.textBaseline = 'middle';
  for (let i = 0; i <= 4; i++) {
    const v = lo + (hi - lo) * i / 4;
    g.beginPath(); g.moveTo(left, Math.round(y(v)) + .5); g.lineTo(right, Math.round(y(v)) + .5); g.stroke();
    g.fillText(Math.round(v) + ' lx', left - 4, y(v));
  }
  g.textAlign = 'center';
  g.textBaseline = 'top';
  const steps = [60e3, 300e3, 900e3, 1800e3, 3600e3, 7200e3, 21600e3, 43200e3, 86400e3];
  const step = steps.find((s) => span / s <= 6) || 86400e3;
  const offset = new Date().getTimezoneOffset() * 60000;
  for (let t = Math.ceil((from - offset) / step) * step + offset; t <= now; t += step) {
    const d = new Date(t - clockSkew);
    const label = step >= 86400e3 ? d.toLocaleDateString() :
      String(d.getHours()).padStart(2, '0') + ':' + String(d.getMinutes()).padStart(2, '0');
    g.fillText(label, x(t), bottom + 6);
  }

  // A gap: no column for longer than a sample should take to come.
  const gap = 2 * Math.max(chart.width_ms, state.period_ms) + chart.width_ms;
  g.fillStyle = 'rgba(9, 105, 218, .18)';
  g.strokeStyle = '#0969da';
  g.lineWidth = 1.5;
  let run = [];
  const flush = () => {
    if (!run.length) return;
    const x0 = x(run[0][0] + chart.width_ms / 2), x1 = x(run[run.length - 1][0] + chart.width_ms / 2);
    if (x1 - x0 < 2) {
      const top = Math.min(...run.map((c) => y(c[2]))), low = Math.max(...run.map((c) => y(c[1])));
      g.fillStyle = '#0969da';
      g.fillRect(x0 - 1, top - 1, 2.5, low - top + 2);
      g.fillStyle = 'rgba(9, 105, 218, .18)';
      run = [];
      return;
    }
    g.beginPath();
    run.forEach((c, i) => (i ? g.lineTo : g.moveTo).call(g, x(c[0] + chart.width_ms / 2), y(c[2])));
    for (let i = run.length - 1; i >= 0; i--) g.lineTo(x(run[i][0] + chart.width_ms / 2), y(run[i][1]));
    g.closePath();
    g.fill();
    g.stroke();
    run = [];
  };
  let last = null;
  for (const c of seen) {
    if (c[1] === null || (last && c[0] - last[0] > gap)) flush();
    if (c[1] !== null) run.push(c);
    last = c;
  }
  flush();
  g.fillStyle = '#c62828';
  for (const c of seen)
    if (c[4] > 0) g.fillRect(Math.round(x(c[0])), bottom - 5, Math.max(2, x(c[0] + chart.width_ms) - x(c[0])), 5);
}

// An update holds each station's last two columns; they replace or follow the ones held.
function merge(update) {
  if (!state) return false;
  for (const fresh of update.stations) {
    const held = state.stations.find((s) => s.station === fresh.station);
    if (!held || held.chart.width_ms !== fresh.chart.width_ms) return false;
    const cols = held.chart.columns;
    for (const c of fresh.chart.columns) {
      let i = cols.length - 1;
      while (i >= 0 && cols[i][0] > c[0]) i--;
      if (i >= 0 && cols[i][0] === c[0]) cols[i] = c;
      else cols.splice(i + 1, 0, c);
    }
    Object.assign(held, fresh, { chart: held.chart });
  }
  Object.assign(state, update, { stations: state.stations });
  return true;
}

function received(data) {
  clockSkew = data.now_ms - Date.now();
}

async function load() {
  const reply = await fetch('/api/v1/stations', { cache: 'no-store' });
  if (!reply.ok) throw new Error(reply.status);
  state = await reply.json();
  received(state);
  drawAll();
}

function listen() {
  const events = new EventSource('/events');
  events.onopen = () => { $('link').hidden = true; };
  events.onerror = () => { $('link').hidden = false; };
  events.onmessage = (e) => {
    const update = JSON.parse(e.data);
    received(update);
    $('link').hidden = true;
    if (merge(update)) drawAll(false);
    else load().catch(() => {});
  };
  events.addEventListener('reset', () => load().catch(() => {}));
}

for (const b of document.querySelectorAll('#ranges button'))
  b.addEventListener('click', () => {
    hours = Number(b.dataset.hours);
    for (const o of document.querySelectorAll('#ranges button')) o.classList.toggle('on', o === b);
    drawAll();
  });
window.addEventListener('resize', () => drawAll());
setInterval(() => { drawAges(); if (state) drawLine(); }, 1000);
load().catch(() => { $('link').hidden = false; }).finally(listen);
