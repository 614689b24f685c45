// The status page: polls the JSON API and redraws. No framework; the chart is Chart.js.
'use strict';

// "?refresh=MS" polls faster or slower than every 5 s; the chart follows at six times that.
const REFRESH_MS = Math.max(200, Number(new URLSearchParams(location.search).get('refresh')) || 5000);
const CHART_REFRESH_MS = 6 * REFRESH_MS;
const COLORS = ['#2563eb', '#dc2626', '#16a34a', '#9333ea', '#ea580c', '#0891b2'];

let chartHours = 3;
let chartWanted = null;  // signal names chosen for the chart
let chart = null;
let lastChart = 0;

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

function table(head, rows) {
  return el('table', {}, el('tr', {}, ...head.map(h => el('th', {}, h))), ...rows);
}

function deviceCard(dev, values, alarms, events) {
  const state = !dev.portOpen ? ['down', 'PORT CLOSED'] : dev.stale ? ['stale', 'STALE'] : ['ok', 'OK'];
  const errors = Object.entries(dev.errors).map(([k, n]) => `${k} ${n}`).join(', ') || 'none';
  const card = el('article', {class: 'card', id: `device-${dev.dataId}`},
    el('h2', {}, `Device ${dev.dataId} `, el('span', {class: 'muted'}, `${dev.model} on ${dev.port}`)),
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
    table(['level', 'id', 'alarm', 'since'], alarms.alarms.map(a =>
      el('tr', {class: `alarm level-${a.level}`, 'data-alarm-id': a.id},
         el('td', {}, a.level), el('td', {}, a.id), el('td', {}, a.text || `${a.name} ${a.value}`),
         el('td', {}, when(a.since))))));

  card.append(el('h3', {}, 'Recent alarm events'));
  card.append(events.events.length === 0 ? el('p', {class: 'muted'}, 'none') :
    table(['at', '', 'level', 'id', 'alarm'], events.events.slice(0, 10).map(e =>
      el('tr', {class: 'event'}, el('td', {}, when(e.at)), el('td', {}, e.raised ? 'raised' : 'cleared'),
         el('td', {}, e.level), el('td', {}, e.id), el('td', {}, e.text || `${e.name} ${e.value}`)))));
  return card;
}

async function getJson(url) {
  const r = await fetch(url, {cache: 'no-store'});
  if (!r.ok) throw new Error(`${url}: ${r.status}`);
  return r.json();
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

async function refresh() {
  const [devices, values, alarms, events, sinks] = await Promise.all(
    ['devices', 'values', 'alarms', 'events', 'sinks'].map(w => getJson(`api/${w}`)));
  document.getElementById('sinks').replaceWith(sinksCard(sinks));
  const v = byId(values), a = byId(alarms), e = byId(events);
  const cards = devices.devices.map(d => deviceCard(d, v.get(d.dataId), a.get(d.dataId), e.get(d.dataId)));
  document.getElementById('devices').replaceChildren(...cards);
  document.getElementById('updated').textContent = `updated ${new Date(devices.now).toLocaleTimeString()}`;
  chartHours = devices.chart.hours;
  if (chartWanted === null) {
    chartWanted = new Set(devices.chart.signals);
    setUpChartControls(devices.devices, values);
  }
  if (Date.now() - lastChart >= CHART_REFRESH_MS) await drawChart();
}

function setUpChartControls(devices, values) {
  const select = document.getElementById('chart-device');
  select.replaceChildren(...devices.map(d => el('option', {value: d.dataId}, `Device ${d.dataId}`)));
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
    `api/history?device=${device}&signal=${encodeURIComponent(name)}&from=${-3600 * chartHours}&points=300`)));
  const datasets = series.map((s, i) => ({
    label: s.unit ? `${s.signal} (${s.unit})` : s.signal,
    data: s.points.map(p => ({x: p.t, y: p.v})),
    borderColor: COLORS[i % COLORS.length],
    backgroundColor: COLORS[i % COLORS.length],
    pointRadius: 2,
    yAxisID: i === 0 ? 'y' : 'y1',
  }));
  note.textContent = series.every(s => s.points.length === 0) ? 'no stored values in this range' : '';
  if (chart === null) {
    chart = new Chart(document.getElementById('chart'), {
      type: 'line',
      data: {datasets},
      options: {
        animation: false,
        maintainAspectRatio: false,
        parsing: false,
        scales: {
          x: {type: 'linear', ticks: {callback: t => new Date(t).toLocaleTimeString()}},
          y: {position: 'left'},
          y1: {position: 'right', grid: {drawOnChartArea: false}},
        },
      },
    });
  } else {
    chart.data.datasets = datasets;
    chart.update();
  }
}

function loop() {
  refresh()
    .catch(err => { document.getElementById('updated').textContent = `not updated: ${err.message}`; })
    .finally(() => setTimeout(loop, REFRESH_MS));
}

loop();
