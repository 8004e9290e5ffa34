// The page's charts on Chart.js (Debian's libjs-chart.js, built into the program's
// resources): the strip chart of the window, the NORM chart of a card, the jump buffer and
// the counting margins of the last hours.
import {HISTORY} from './live.js';

// The window's trace colours.
export const COLORS = {
  DAT0: '#1f5fbf',
  DAT1: '#e07b00',
  NORM: '#1a8f2e',
  THRESHOLD: '#c81e1e',
  HYSTERESIS: '#7a3db8',
};

// A build without the chart library (libjs-chart.js missing) still shows every value; each
// chart's place says why it stays empty.
function available(canvas) {
  if (typeof window.Chart === 'function') return true;
  const note = document.createElement('p');
  note.className = 'help';
  note.textContent = 'No chart: this zurid was built without its chart library (libjs-chart.js).';
  canvas.replaceWith(note);
  return false;
}

function fontSize() {
  return parseFloat(getComputedStyle(document.documentElement).fontSize) || 16;
}

// The window's strip chart marks every tenth reading; a short axis (the jump buffer) each one.
function xTick(value, index, ticks) {
  return ticks.length <= 20 || index % 10 === 0 ? this.getLabelForValue(value) : null;
}

function base(canvas, datasets, labels, {legend = true, yMax = 255, x = null, y = null} = {}) {
  const small = fontSize() * 0.75;
  return new window.Chart(canvas, {
    type: 'line',
    data: {labels, datasets},
    options: {
      animation: false,
      responsive: true,
      maintainAspectRatio: false,
      normalized: true,
      spanGaps: false,
      events: [], // no tooltips on a chart that changes ten times a second
      plugins: {
        legend: {display: legend, position: 'top',
                 labels: {usePointStyle: true, pointStyle: 'line', font: {size: small}}},
        tooltip: {enabled: false},
      },
      elements: {point: {radius: 0}, line: {borderWidth: 2, tension: 0}},
      scales: {
        x: x || {ticks: {font: {size: small}, maxRotation: 0, autoSkip: false, callback: xTick},
                 grid: {color: '#dddddd'}},
        y: y || {min: 0, max: yMax, ticks: {stepSize: 50, font: {size: small}},
                 grid: {color: '#dddddd'}},
      },
    },
  });
}

function traceSet(names, dashed = []) {
  return names.map((name) => ({
    label: name,
    data: [],
    borderColor: COLORS[name],
    backgroundColor: COLORS[name],
    borderDash: dashed.includes(name) ? [6, 4] : [],
  }));
}

// A chart over the last HISTORY readings of some traces; update(history) redraws it from a
// sensor's history (one array per trace, oldest first).
export function historyChart(canvas, names, options = {}) {
  if (!available(canvas)) return null;
  const labels = Array.from({length: HISTORY + 1}, (_, i) => i); // 0 to 100, as the window
  const chart = base(canvas, traceSet(names, options.dashed), labels, options);
  return {
    update(history) {
      chart.data.datasets.forEach((d, i) => { d.data = history[names[i]].slice(); });
      chart.update('none');
    },
    destroy: () => chart.destroy(),
  };
}

// The window's strip chart: five traces.
export const stripChart = (canvas) =>
    historyChart(canvas, ['DAT0', 'DAT1', 'NORM', 'THRESHOLD', 'HYSTERESIS']);

// A card's NORM with the switching lines.
export const normChart = (canvas) =>
    historyChart(canvas, ['NORM', 'THRESHOLD', 'HYSTERESIS'], {dashed: ['THRESHOLD', 'HYSTERESIS']});

// The jump buffer: its 16 values (blue) against the THRESHOLD (black), as the window shows it.
export function bufferChart(canvas, values, threshold) {
  if (!available(canvas)) return null;
  const labels = values.map((_, i) => i + 1);
  return base(canvas, [
    {label: 'jump buffer', data: values, borderColor: '#0000ff', backgroundColor: '#0000ff',
     pointRadius: 3, borderWidth: 3},
    {label: 'THRESHOLD', data: values.map(() => threshold), borderColor: '#000000',
     backgroundColor: '#000000', borderWidth: 2},
  ], labels);
}

// The light and dark margins over time (points as they came, oldest first: {t, light, dark,
// band}) with the band HYSTERESIS - THRESHOLD shaded: a margin at or above the band is full
// health, one below zero misses or doubles counts.
export function marginChart(canvas) {
  if (!available(canvas)) return null;
  const small = fontSize() * 0.75;
  const time = (t) => new Date(t).toLocaleTimeString([], {hour: '2-digit', minute: '2-digit'});
  const chart = base(canvas, [
    {label: 'light margin', data: [], borderColor: COLORS.DAT0, backgroundColor: COLORS.DAT0,
     pointRadius: 2},
    {label: 'dark margin', data: [], borderColor: COLORS.DAT1, backgroundColor: COLORS.DAT1,
     pointRadius: 2},
    {label: 'band (HYSTERESIS − THRESHOLD)', data: [], borderColor: COLORS.HYSTERESIS,
     backgroundColor: '#7a3db822', borderDash: [6, 4], fill: 'origin', stepped: true},
  ], [], {
    x: {ticks: {font: {size: small}, maxRotation: 0, autoSkip: true, maxTicksLimit: 8},
        grid: {color: '#dddddd'}},
    y: {suggestedMin: 0, ticks: {font: {size: small}}, grid: {color: '#dddddd'}},
  });
  return {
    update(points) {
      chart.data.labels = points.map((p) => time(p.t));
      ['light', 'dark', 'band'].forEach((k, i) => {
        chart.data.datasets[i].data = points.map((p) => (typeof p[k] === 'number' ? p[k] : null));
      });
      chart.update('none');
    },
    destroy: () => chart.destroy(),
  };
}
