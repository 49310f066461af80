'use strict';
// The live page of zyl serve: one event stream feeds the charts; controls post JSON with the
// server's token (from the URL's #token=, kept for this tab) and the browser's own Origin.
const HISTORY_S = 300;  // the time charts show the last five minutes
const HEATERS = ['capillary', 'desolvation', 'apci'];
const COLORS = { capillary: '#d9480f', desolvation: '#1f5fbf', apci: '#2b8a3e' };
const stats = window.zylStats = { latencies: [], firstValueMs: null, status: null, scans: 0, points: 0 };

const hashToken = new URLSearchParams(location.hash.slice(1)).get('token');
if (hashToken) { sessionStorage.setItem('zylToken', hashToken); history.replaceState(null, '', location.pathname); }
const token = sessionStorage.getItem('zylToken') || '';
const $ = (id) => document.getElementById(id);

Chart.defaults.animation = false;
Chart.defaults.font.size = 11;
Chart.defaults.plugins.legend.labels.boxWidth = 12;

function timeChart(id, datasets, yScale) {
  return new Chart($(id), {
    type: 'line',
    data: { datasets },
    options: {
      parsing: false, normalized: true, maintainAspectRatio: false, spanGaps: true,
      elements: { point: { radius: 0 }, line: { borderWidth: 2 } },
      plugins: { legend: { display: datasets.length > 1, position: 'bottom' } },
      scales: {
        x: { type: 'linear', min: -HISTORY_S, max: 0, title: { display: true, text: 'seconds ago' },
             ticks: { stepSize: 60 } },
        y: yScale,
      },
    },
  });
}

const t0 = performance.now() / 1000;
const nowS = () => performance.now() / 1000 - t0;
const pressureChart = timeChart('pressureChart',
  [{ label: 'pressure', data: [], borderColor: '#6741d9' }],
  { type: 'logarithmic', title: { display: true, text: 'mbar' },
    ticks: { callback: (v) => { const e = Math.log10(v); return Math.abs(e - Math.round(e)) < 1e-9 ? v.toExponential(0) : ''; } } });
const speedChart = timeChart('speedChart',
  [{ label: 'rotor speed', data: [], borderColor: '#0c8599' }], { beginAtZero: true });
const heaterSets = [];
for (const h of HEATERS) {
  heaterSets.push({ label: h, data: [], borderColor: COLORS[h] });
  heaterSets.push({ label: h + ' set-point', data: [], borderColor: COLORS[h], borderDash: [6, 4], borderWidth: 1 });
}
const heaterChart = timeChart('heaterChart', heaterSets, { title: { display: true, text: '°C' } });
heaterChart.options.plugins.legend.labels.filter = (item) => !item.text.endsWith('set-point');

// Peak labels: the largest local maxima of the drawn spectrum, with their m/z.
const peakLabels = {
  id: 'peakLabels',
  afterDatasetsDraw(chart) {
    const peaks = chart.$peaks || [];
    const { ctx, scales: { x, y } } = chart;
    ctx.save();
    ctx.font = '11px system-ui, sans-serif';
    ctx.fillStyle = '#1d2733';
    ctx.textAlign = 'center';
    for (const p of peaks) ctx.fillText(p.label, x.getPixelForValue(p.x), y.getPixelForValue(p.y) - 5);
    ctx.restore();
  },
};
const spectrumChart = new Chart($('spectrumChart'), {
  type: 'line',
  data: { datasets: [{ label: 'counts', data: [], borderColor: '#1f5fbf', backgroundColor: 'rgba(31,95,191,0.15)', fill: true, borderWidth: 1 }] },
  options: {
    parsing: false, normalized: true, maintainAspectRatio: false,
    elements: { point: { radius: 0 } },
    plugins: { legend: { display: false }, decimation: { enabled: true, algorithm: 'min-max' } },
    scales: { x: { type: 'linear', title: { display: true, text: 'position' } },
              y: { beginAtZero: true, grace: '8%', title: { display: true, text: 'counts' } } },
  },
  plugins: [peakLabels],
});
const ticChart = new Chart($('ticChart'), {
  type: 'line',
  data: { datasets: [{ label: 'TIC', data: [], borderColor: '#c2255c', borderWidth: 1.5 }] },
  options: {
    parsing: false, normalized: true, maintainAspectRatio: false,
    elements: { point: { radius: 0 } }, plugins: { legend: { display: false } },
    scales: { x: { type: 'linear', title: { display: true, text: 'run time (s)' } },
              y: { beginAtZero: true, title: { display: true, text: 'counts' } } },
  },
});

function pushPoint(dataset, t, value) {
  const d = dataset.data;
  d.push({ x: t, y: value });
  while (d.length && d[0].x < t - HISTORY_S - 5) d.shift();
}

// Time charts hold absolute page seconds and are drawn relative to now.
function redrawTimeCharts() {
  const now = nowS();
  for (const c of [pressureChart, speedChart, heaterChart]) {
    c.options.scales.x.min = now - HISTORY_S;
    c.options.scales.x.max = now;
    c.options.scales.x.ticks.callback = (v) => Math.round(now - v);
    c.update('none');
  }
}

function leds(el, count, isOn) {
  if (el.children.length !== count) {
    el.innerHTML = '';
    for (let i = 0; i < count; i++) { const d = document.createElement('div'); d.className = 'led'; d.textContent = i; el.appendChild(d); }
  }
  for (let i = 0; i < count; i++) el.children[i].classList.toggle('on', isOn(i));
}

let readOnly = false;
function onStatus(s) {
  stats.status = s;
  if (s.t_ms) stats.latencies.push(Date.now() - s.t_ms);
  if (stats.latencies.length > 5000) stats.latencies.shift();
  if (stats.firstValueMs === null && s.connected) stats.firstValueMs = performance.now();
  readOnly = !!s.read_only;
  document.body.classList.toggle('readonly', readOnly);
  $('access').textContent = readOnly ? 'read-only' : (s.token_required && !token ? 'view only: no token' : 'controls enabled');
  $('gone').hidden = !!s.connected;
  $('state').textContent = s.connected ? 'connected' : 'instrument gone';
  $('state').classList.toggle('bad', !s.connected);
  if (!s.connected) return;
  const t = nowS();
  $('pressure').textContent = s.pressure_mbar.toExponential(2);
  $('vacuum').textContent = s.vacuum_ready ? 'vacuum ready' : 'not ready';
  $('vacuum').style.color = s.vacuum_ready ? 'var(--ok)' : 'var(--bad)';
  $('speed').textContent = s.pump_speed;
  $('pumpstate').textContent = s.pump_running ? (s.pump_at_speed ? 'running, at speed' : 'running') : 'stopped';
  if (s.pressure_mbar > 0) pushPoint(pressureChart.data.datasets[0], t, s.pressure_mbar);
  pushPoint(speedChart.data.datasets[0], t, s.pump_speed);
  HEATERS.forEach((h, i) => {
    $(h + '_c').textContent = s[h + '_c'].toFixed(1) + ' °C';
    $(h + '_sp').textContent = (s[h + '_on'] ? 'on' : 'off') + ', set ' + s[h + '_setpoint_c'].toFixed(0) + ' °C';
    pushPoint(heaterChart.data.datasets[2 * i], t, s[h + '_c']);
    pushPoint(heaterChart.data.datasets[2 * i + 1], t, s[h + '_setpoint_c']);
    const row = $('heater-' + h);
    if (row) {
      row.querySelector('.temp').textContent = s[h + '_c'].toFixed(1) + ' °C';
      row.querySelector('.switch').textContent = s[h + '_on'] ? 'Switch off' : 'Switch on';
      row.querySelector('.switch').classList.toggle('active', s[h + '_on']);
    }
  });
  leds($('inputs'), 16, (i) => (s.digital_inputs >> i) & 1);
  const outs = s.outputs_0_63 || '';
  leds($('outputs'), 64, (i) => outs[i] === '1');
  for (const b of document.querySelectorAll('[data-pump]')) b.classList.remove('active');
}

function say(text, ok) {
  const m = $('message');
  m.textContent = text;
  m.className = 'message ' + (ok ? 'done' : 'error');
}

async function post(path, body) {
  try {
    const r = await fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json', 'X-Zyl-Token': token }, body: JSON.stringify(body) });
    const reply = await r.json().catch(() => ({}));
    if (!r.ok) { say(reply.error || ('refused (' + r.status + ')'), false); return null; }
    return reply;
  } catch (e) { say('the server does not answer: ' + e.message, false); return null; }
}

for (const b of document.querySelectorAll('[data-pump]'))
  b.addEventListener('click', async () => { if (await post('/api/pump', { pump: b.dataset.pump })) say('pump ' + b.dataset.pump, true); });

for (const h of HEATERS) {
  const row = document.createElement('tr');
  row.id = 'heater-' + h;
  row.innerHTML = `<td>${h}</td><td class="temp">–</td><td><input class="sp" type="number" value="200" min="0" max="500" title="set-point °C"></td><td><button class="set">Set</button></td><td><button class="switch">Switch on</button></td>`;
  row.querySelector('.set').addEventListener('click', async () => {
    const sp = Number(row.querySelector('.sp').value);
    if (await post('/api/heater/' + h, { setpoint_c: sp })) say(h + ' set-point ' + sp + ' °C', true);
  });
  row.querySelector('.switch').addEventListener('click', async () => {
    const on = !(stats.status && stats.status[h + '_on']);
    if (await post('/api/heater/' + h, { on })) say(h + ' heater ' + (on ? 'on' : 'off'), true);
  });
  $('heaters').appendChild(row);
}

async function loadDacs() {
  const r = await fetch('/api/dac');
  if (!r.ok) return;
  const { channels } = await r.json();
  const table = $('dacs');
  table.innerHTML = '<tr><th>ch</th><th>kind</th><th>base / value</th><th>span</th></tr>';
  for (const c of channels) {
    const row = document.createElement('tr');
    row.innerHTML = `<td>${c.channel}</td><td><select class="kind"><option value="fixed">fixed</option><option value="ramped">ramped</option></select></td>` +
      `<td><input type="number" class="base" min="-32768" max="32767" value="${c.base}"></td><td><input type="number" class="span" min="-32768" max="32767" value="${c.span}"></td>`;
    row.querySelector('.kind').value = c.kind;
    row.dataset.channel = c.channel;
    table.appendChild(row);
  }
}
$('dacApply').addEventListener('click', async () => {
  const channels = [...$('dacs').querySelectorAll('tr[data-channel]')].map((r) => {
    const channel = Number(r.dataset.channel), base = Number(r.querySelector('.base').value);
    return r.querySelector('.kind').value === 'ramped' ? { channel, base, span: Number(r.querySelector('.span').value) } : { channel, value: base };
  });
  if (await post('/api/dac', { channels })) say('DAC table stored; sent before the next scan', true);
});

$('runForm').addEventListener('submit', async (e) => {
  e.preventDefault();
  const f = new FormData(e.target);
  const body = { action: 'start', out: f.get('out') };
  for (const k of ['from', 'to', 'time_ms', 'scans']) body[k] = Number(f.get(k));
  const reply = await post('/api/acquisition', body);
  if (reply) { ticChart.data.datasets[0].data = []; say('run started: ' + reply.out, true); }
});
$('runStop').addEventListener('click', async () => { if (await post('/api/acquisition', { action: 'stop' })) say('run stopping after the scan in flight', true); });

function onRun(r) {
  $('runstate').textContent = r.running ? 'acquiring' : (r.ending ? 'run ' + r.ending : 'no run');
  $('runstate').className = 'badge ' + (r.running ? '' : 'quiet');
  $('runInfo').textContent = r.message || (r.out ? 'writing ' + r.out : '');
}

// The spectrum: fetched when a scan arrives, one fetch at a time, always the latest.
let latestScan = -1, drawnScan = -1, fetching = false;
const scanTimes = [];
function topPeaks(xs, ys, n) {
  const peaks = [];
  const w = Math.max(3, Math.floor(xs.length / 150));
  let max = 0;
  for (const v of ys) max = Math.max(max, v);
  for (let i = w; i < ys.length - w; i++) {
    const v = ys[i];
    if (v < max * 0.05) continue;
    let top = true;
    for (let k = i - w; k <= i + w && top; k++) if (ys[k] > v || (ys[k] === v && k < i)) top = false;
    if (top) peaks.push(i);
  }
  peaks.sort((a, b) => ys[b] - ys[a]);
  return peaks.slice(0, n);
}
function drawSpectrum(s) {
  const data = new Array(s.intensity.length);
  for (let i = 0; i < data.length; i++) data[i] = { x: s.mz[i], y: s.intensity[i] };
  spectrumChart.data.datasets[0].data = data;
  spectrumChart.options.scales.x.title.text = s.calibrated ? 'm/z' : 'scan position (no mass calibration)';
  spectrumChart.options.scales.x.min = s.mz[0];
  spectrumChart.options.scales.x.max = s.mz[s.mz.length - 1];
  spectrumChart.$peaks = topPeaks(s.mz, s.intensity, 8).map((i) => ({ x: s.mz[i], y: s.intensity[i], label: s.calibrated ? s.mz[i].toFixed(2) : Math.round(s.mz[i]).toString() }));
  spectrumChart.update('none');
  stats.points = s.intensity.length;
  $('spectrumCaption').textContent = `Spectrum ${s.index + 1} at ${s.start_time_s.toFixed(1)} s · ${s.intensity.length} points · TIC ${s.tic.toExponential(3)} · base peak ${s.calibrated ? 'm/z ' + s.base_peak_mz.toFixed(2) : 'at ' + Math.round(s.base_peak_mz)}`;
}
async function fetchSpectrum() {
  if (fetching) return;
  fetching = true;
  try {
    while (drawnScan < latestScan) {
      const r = await fetch('/api/spectrum/latest');
      if (!r.ok) break;
      const s = await r.json();
      drawSpectrum(s);
      drawnScan = s.index;
    }
  } finally { fetching = false; }
}
// Spectra fetched (and drawn) per second, back to back: the page's own measurement for the tests.
window.zylMeasureDraws = async (n, draw) => {
  const start = performance.now();
  for (let i = 0; i < n; i++) {
    const s = await (await fetch('/api/spectrum/latest')).json();
    if (draw) drawSpectrum(s);
  }
  return n * 1000 / (performance.now() - start);
};
function onScan(s) {
  stats.scans = s.index + 1;
  latestScan = s.index;
  $('scans').textContent = s.index + 1;
  scanTimes.push(performance.now());
  while (scanTimes.length > 20) scanTimes.shift();
  if (scanTimes.length > 1) $('scanrate').textContent = ((scanTimes.length - 1) * 1000 / (scanTimes[scanTimes.length - 1] - scanTimes[0])).toFixed(1) + ' scans/s';
  ticChart.data.datasets[0].data.push({ x: s.start_time_s, y: s.tic });
  fetchSpectrum();
}

function addLog(lines) {
  const pre = $('log');
  pre.textContent = (pre.textContent + lines.join('\n') + '\n').split('\n').slice(-40).join('\n');
  pre.scrollTop = pre.scrollHeight;
}

function connect() {
  const events = new EventSource('/api/events');
  events.addEventListener('status', (e) => onStatus(JSON.parse(e.data)));
  events.addEventListener('scan', (e) => onScan(JSON.parse(e.data)));
  events.addEventListener('run', (e) => onRun(JSON.parse(e.data)));
  events.addEventListener('log', (e) => addLog(JSON.parse(e.data)));
  events.onerror = () => { $('state').textContent = 'server gone'; $('state').classList.add('bad'); };
}
connect();
loadDacs();
fetch('/api/log').then((r) => r.json()).then((j) => addLog(j.log)).catch(() => {});
setInterval(() => { redrawTimeCharts(); ticChart.update('none'); }, 250);
