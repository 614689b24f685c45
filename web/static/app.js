// The status page: polls the JSON API and redraws. No framework; the chart is Chart.js.
'use strict';

// "?refresh=MS" polls faster or slower than every 5 s; the chart follows at six times that.
const REFRESH_MS = Math.max(200, Number(new URLSearchParams(location.search).get('refresh')) || 5000);
const CHART_REFRESH_MS = 6 * REFRESH_MS;
const COLORS = ['#2563eb', '#dc2626', '#16a34a', '#9333ea', '#ea580c', '#0891b2'];
const RANGES = [['hour', 3600], ['day', 86400], ['week', 7 * 86400], ['month', 31 * 86400],
                ['year', 366 * 86400]];

let levels = {};          // alarm level -> name, from the site file
let chartWanted = null;   // signal names chosen for the chart
let chartSeconds = 3 * 3600;
let chart = null;
let lastChart = 0;
let lastGood = null;      // when the page last got answers
const open = new Set();   // units whose card is shown

function el(tag, attrs, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(attrs || {})) {
    if (k === 'class') e.className = v; else e.setAttribute(k, v);
  }
  for (const c of children) e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  return e;
}

function when(iso) {
  return iso ? new Date(iso).toLocaleString() : 'never';
}

function age(seconds) {
  if (seconds === null || seconds === undefined) return '';
  if (seconds < 90) return `${seconds.toFixed(0)} s ago`;
  if (seconds < 5400) return `${(seconds / 60).toFixed(0)} min ago`;
  return `${(seconds / 3600).toFixed(1)} h ago`;
}

function number(v) {
  if (v === null || v === undefined) return '–';
  return Math.abs(v) >= 100 ? v.toFixed(1) : v.toFixed(2);
}

function levelName(level) {
  return levels[level] || `level ${level}`;
}

// Wide tables scroll within themselves, so the page never grows wider than the window.
function table(head, rows, attrs) {
  return el('div', {class: 'scroll'},
    el('table', attrs || {}, el('tr', {}, ...head.map(h => el('th', {}, h))), ...rows));
}

function unitState(dev) {
  return !dev.portOpen ? ['down', 'DOWN'] : dev.stale ? ['stale', 'STALE'] : ['ok', 'OK'];
}

function alarmText(a) {
  return a.text || a.id;
}

function levelOf(a) {
  return a.levelName || levelName(a.level);
}

// The value and, when the alarm crossed a limit, the limit beside it.
function alarmValue(a) {
  return a.threshold === null || a.threshold === undefined ? a.value : `${a.value} (limit ${a.threshold})`;
}

function deviceCard(dev, values, alarms, events) {
  const state = unitState(dev);
  const errors = Object.entries(dev.errors).map(([k, n]) => `${k} ${n}`).join(', ') || 'none';
  const card = el('article', {class: 'card', id: `device-${dev.dataId}`},
    el('h2', {}, `Unit ${dev.dataId} `, el('span', {class: 'muted'}, `${dev.model} on ${dev.port}`)),
    el('div', {class: 'health'},
      el('span', {class: `badge ${state[0]}`, 'data-state': state[0]}, state[1]), ' ',
      `port ${dev.portOpen ? 'open' : 'closed'} · last good round ${when(dev.lastGoodRound)} `,
      el('span', {class: 'muted'}, age(dev.lastGoodRoundAgeSeconds)),
      el('br'),
      `rounds ${dev.roundsStarted} started, ${dev.roundsCompleted} completed · errors: ${errors}`,
      dev.lastError ? el('span', {class: 'level-1'}, ` · last round: ${dev.lastError}`) : ''));

  card.append(el('h3', {}, 'Values ', el('span', {class: 'muted'}, values.at ? when(values.at) : '')));
  card.append(table(['signal', 'value', 'unit'], values.values.map(v =>
    el('tr', {'data-signal': v.name}, el('td', {}, v.name), el('td', {class: 'num'}, number(v.value)),
       el('td', {}, v.unit)))));

  card.append(el('h3', {}, `Active alarms (${alarms.alarms.length})`));
  card.append(alarms.alarms.length === 0 ? el('p', {class: 'muted no-alarms'}, 'none') :
    table(['level', 'signal', 'value', 'alarm', 'since'], alarms.alarms.map(a =>
      el('tr', {class: `alarm level-${a.level}`, 'data-alarm-id': a.id},
         el('td', {}, levelOf(a)), el('td', {}, a.name), el('td', {class: 'num'}, alarmValue(a)),
         el('td', {}, alarmText(a)), el('td', {}, when(a.since))))));

  card.append(el('h3', {}, 'Recent alarm events'));
  card.append(events.events.length === 0 ? el('p', {class: 'muted'}, 'none') :
    table(['at', '', 'level', 'signal', 'value', 'alarm'], events.events.slice(0, 10).map(e =>
      el('tr', {class: 'event'}, el('td', {}, when(e.at)), el('td', {}, e.raised ? 'raised' : 'cleared'),
         el('td', {}, levelOf(e)), el('td', {}, e.name), el('td', {class: 'num'}, alarmValue(e)),
         el('td', {}, alarmText(e))))));
  return card;
}

// One row a unit: what an operator scans at 64 or 256 units; a click opens its card.
function unitsTable(devices, values, alarms) {
  const shown = devices.length ? values.get(devices[0].dataId).values.slice(0, 3) : [];
  const rows = devices.map(d => {
    const state = unitState(d);
    const v = values.get(d.dataId).values;
    const worst = alarms.get(d.dataId).alarms.reduce((m, a) => Math.min(m, a.level), Infinity);
    const row = el('tr', {class: `unit ${open.has(d.dataId) ? 'open' : ''}`, 'data-unit': d.dataId},
      el('td', {}, d.dataId),
      el('td', {}, el('span', {class: `badge ${state[0]}`}, state[1])),
      el('td', {class: 'num'}, age(d.lastGoodRoundAgeSeconds) || 'never'),
      el('td', {class: worst < Infinity ? `level-${worst}` : 'muted'}, d.activeAlarms),
      ...shown.map((_, i) => el('td', {class: 'num'}, number(v[i] && v[i].value))));
    row.addEventListener('click', () => {
      if (open.has(d.dataId)) open.delete(d.dataId); else open.add(d.dataId);
      refresh().catch(stale);
    });
    return row;
  });
  return table(['unit', 'state', 'last good', 'alarms', ...shown.map(s => `${s.name} (${s.unit})`)],
               rows, {class: 'units'});
}

function summary(site, devices, alarms) {
  const count = k => devices.filter(d => unitState(d)[0] === k).length;
  const byLevel = new Map();
  for (const a of alarms.devices.flatMap(d => d.alarms)) byLevel.set(a.level, (byLevel.get(a.level) || 0) + 1);
  const alarmParts = [...byLevel.entries()].sort((a, b) => a[0] - b[0])
    .map(([l, n]) => el('span', {class: `level-${l}`}, `${n} ${levelName(l)}`));
  document.title = `${site} status`;
  return el('div', {id: 'summary'},
    el('strong', {class: 'site'}, site),
    el('span', {}, `${devices.length} units: `, el('span', {class: 'badge ok'}, `${count('ok')} OK`), ' ',
       el('span', {class: 'badge stale'}, `${count('stale')} stale`), ' ',
       el('span', {class: 'badge down'}, `${count('down')} down`)),
    el('span', {}, 'alarms: ', ...(alarmParts.length ? alarmParts.flatMap((p, i) => i ? [', ', p] : [p]) : ['none'])));
}

function byId(list) {
  const m = new Map();
  for (const d of list.devices) m.set(d.dataId, d);
  return m;
}

function sinksCard(sinks) {
  const card = el('section', {class: 'card', id: 'sinks'}, el('h2', {}, 'Storage and forwarding'));
  for (const s of sinks.sinks) {
    if (s.figures.length === 0) continue;
    card.append(el('h3', {}, s.name));
    card.append(table(['figure', 'value'], s.figures.map(f =>
      el('tr', {'data-figure': `${s.name}.${f.name}`, title: f.help},
         el('td', {}, f.help || f.name), el('td', {class: 'num'}, Number.isInteger(f.value) ? String(f.value) : number(f.value))))));
  }
  return card;
}

async function getJson(url) {
  const r = await fetch(url, {cache: 'no-store', signal: AbortSignal.timeout(Math.max(4000, REFRESH_MS))});
  if (!r.ok) throw new Error(`${url}: ${r.status}`);
  return r.json();
}

async function refresh() {
  const [devices, values, alarms, events, sinks] = await Promise.all(
    ['devices', 'values', 'alarms', 'events', 'sinks'].map(w => getJson(`api/${w}`)));
  levels = devices.levels || {};
  if (devices.devices.length === 1) open.add(devices.devices[0].dataId);
  const v = byId(values), a = byId(alarms), e = byId(events);
  document.getElementById('summary').replaceWith(summary(devices.site || 'Site', devices.devices, alarms));
  document.getElementById('units').replaceChildren(unitsTable(devices.devices, v, a));
  document.getElementById('devices').replaceChildren(...devices.devices.filter(d => open.has(d.dataId))
    .map(d => deviceCard(d, v.get(d.dataId), a.get(d.dataId), e.get(d.dataId))));
  document.getElementById('sinks').replaceWith(sinksCard(sinks));
  lastGood = new Date(devices.now);
  document.body.classList.remove('stale-page');
  document.getElementById('updated').textContent = `updated ${lastGood.toLocaleTimeString()}`;
  if (chartWanted === null) {
    chartSeconds = 3600 * devices.chart.hours;
    chartWanted = new Set(devices.chart.signals);
    setUpChartControls(devices.devices, values);
  }
  if (Date.now() - lastChart >= CHART_REFRESH_MS) await drawChart();
}

// Refreshes failing (the host stopped, the network went): everything shown is greyed and the
// banner says since when, so old values never pass for live ones.
function stale(err) {
  document.body.classList.add('stale-page');
  const since = lastGood ? `since ${lastGood.toLocaleTimeString()} (${age((Date.now() - lastGood) / 1000)})` : 'yet';
  document.getElementById('updated').textContent = `NOT UPDATED ${since}: ${err.message}`;
}

function setUpChartControls(devices, values) {
  const range = document.getElementById('chart-range');
  const options = RANGES.map(([name, s]) => el('option', {value: s}, name));
  if (!RANGES.some(([, s]) => s === chartSeconds)) options.unshift(el('option', {value: chartSeconds}, `${chartSeconds / 3600} h`));
  range.replaceChildren(...options);
  range.value = String(chartSeconds);
  range.addEventListener('change', () => { chartSeconds = Number(range.value); drawChart(); });
  const select = document.getElementById('chart-device');
  select.replaceChildren(...devices.map(d => el('option', {value: d.dataId}, `Unit ${d.dataId}`)));
  const fill = () => {
    const signals = byId(values).get(Number(select.value)).values.map(s => s.name);
    document.getElementById('chart-signals').replaceChildren(...signals.map(name => {
      const box = el('input', {type: 'checkbox', value: name});
      box.checked = chartWanted.has(name);
      box.addEventListener('change', () => {
        if (box.checked) chartWanted.add(name); else chartWanted.delete(name);
        drawChart();
      });
      return el('label', {}, box, ` ${name}`);
    }));
  };
  select.addEventListener('change', () => { fill(); drawChart(); });
  fill();
}

// Where an alarm of a charted signal stood: a band behind the lines, red for the most urgent
// level, amber for the others.
let bands = [];
const alarmBands = {
  id: 'alarmBands',
  beforeDatasetsDraw(c) {
    const {ctx, chartArea: area, scales: {x}} = c;
    ctx.save();
    for (const b of bands) {
      const left = Math.max(area.left, x.getPixelForValue(b.from));
      const right = Math.min(area.right, x.getPixelForValue(b.to));
      if (right <= left) continue;
      ctx.fillStyle = b.level <= 1 ? '#dc262622' : '#f59e0b22';
      ctx.fillRect(left, area.top, Math.max(2, right - left), area.bottom - area.top);
    }
    ctx.restore();
  },
};

async function drawChart() {
  lastChart = Date.now();
  const device = document.getElementById('chart-device').value;
  const note = document.getElementById('chart-note');
  if (typeof Chart === 'undefined') {
    note.textContent = 'chart library not installed';
    return;
  }
  const names = [...document.querySelectorAll('#chart-signals input:checked')].map(b => b.value);
  const series = await Promise.all(names.map(name => getJson(
    `api/history?device=${device}&signal=${encodeURIComponent(name)}&from=${-chartSeconds}&points=300`)));
  // One axis per unit of measure: volts and amperes never share a scale.
  const units = [...new Set(series.map(s => s.unit))];
  const scales = {x: {type: 'linear', ticks: {maxRotation: 0, callback: t => chartSeconds > 86400
    ? new Date(t).toLocaleDateString() : new Date(t).toLocaleTimeString()}}};
  units.forEach((u, i) => {
    scales[`y${i}`] = {position: i % 2 ? 'right' : 'left', title: {display: !!u, text: u},
                       grid: {drawOnChartArea: i === 0}};
  });
  const datasets = series.map((s, i) => ({
    label: s.unit ? `${s.signal} (${s.unit})` : s.signal,
    data: s.points.map(p => ({x: p.t, y: p.v})),
    borderColor: COLORS[i % COLORS.length],
    backgroundColor: COLORS[i % COLORS.length],
    pointRadius: 2,
    yAxisID: `y${units.indexOf(s.unit)}`,
  }));
  // Each signal's limits as dashed lines in its colour, across the range on its own axis.
  const start = Date.now() - chartSeconds * 1000, end = Date.now();
  Object.assign(scales.x, {min: start, max: end});
  series.forEach((s, i) => (s.thresholds || []).forEach(t => datasets.push({
    label: `${s.signal} limit ${t}`, data: [{x: start, y: t}, {x: end, y: t}],
    borderColor: COLORS[i % COLORS.length], borderDash: [6, 4], borderWidth: 1, pointRadius: 0,
    yAxisID: `y${units.indexOf(s.unit)}`, threshold: true,
  })));
  bands = series.flatMap(s => s.alarms || []);
  const notes = series.filter(s => s.note).map(s => `${s.signal}: ${s.note}`);
  if (series.every(s => s.points.length === 0)) notes.push('no stored values in this range');
  note.textContent = notes.join('; ');
  if (chart === null) {
    chart = new Chart(document.getElementById('chart'), {
      type: 'line',
      data: {datasets},
      options: {animation: false, maintainAspectRatio: false, parsing: false, scales,
                plugins: {legend: {labels: {filter: item => !item.text.includes(' limit ')}}}},
      plugins: [alarmBands],
    });
  } else {
    chart.data.datasets = datasets;
    chart.options.scales = scales;
    chart.update();
  }
}

function loop() {
  refresh().catch(stale).finally(() => setTimeout(loop, REFRESH_MS));
}

loop();
