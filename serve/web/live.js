// What the page knows about the line: every sensor with its status, last reading, the last
// 100 readings of the five traces, its health with the margins of the last hours and its
// drift from the line's reference, kept up to date by the WebSocket stream, which reconnects
// with a growing back-off when it is lost. Views subscribe with onChange().
import {get, sensorPath} from './api.js';

export const HISTORY = 100; // readings kept per sensor, as the window's strip chart
export const TRACES = ['DAT0', 'DAT1', 'NORM', 'THRESHOLD', 'HYSTERESIS'];
export const MARGIN_HOURS = 6; // the margins kept per sensor, from the health messages
const MARGIN_POINTS = 2000; // and at most this many (one a minute, more on state changes)
export const HEALTH_MEMBERS = ['percent', 'state', 'light_margin', 'dark_margin', 'light_level',
                               'light_reference', 'light_decline_percent'];

const sensors = new Map(); // id -> record, in the server's order
const listeners = new Set();
export const link = {state: 'connecting', retryAt: 0, error: ''};

export function onChange(fn) {
  listeners.add(fn);
  return () => listeners.delete(fn);
}
function emit(what, ids, detail) {
  for (const fn of [...listeners]) fn(what, ids, detail);
}

export const all = () => [...sensors.values()];
export const byId = (id) => sensors.get(id);

function record(id) {
  let r = sensors.get(id);
  if (!r) {
    r = {id, status: 'unknown', message: '', reading: null, rate: null, threshold: null,
         hysteresis: null, history: Object.fromEntries(TRACES.map((t) => [t, []])),
         health: null, margins: [], drift: null};
    sensors.set(id, r);
  }
  return r;
}

// The value of a named parameter in a list as the API gives it (a number where it is one).
export function paramValue(list, name) {
  const p = (list || []).find((x) => x.name === name);
  if (!p) return null;
  return typeof p.value === 'number' ? p.value : p.code;
}

// A sensor as /api/v1/sensors or /api/v1/sensors/{id} answers it.
function apply(s) {
  const r = record(s.id);
  for (const k of ['device', 'location', 'version']) if (k in s) r[k] = s[k];
  if ('status' in s) setStatus(r, s.status, s.message);
  if (s.reading) r.reading = s.reading;
  if ('rate' in s) r.rate = s.rate;
  if (s.ram) setLines(r, s.ram.parameters);
  // A list or a sensor read again is no new health message: it starts the margins, no more.
  if (s.health && typeof s.health === 'object') setHealth(r, s.health, !r.margins.length);
  if (s.drift && typeof s.drift === 'object') r.drift = s.drift;
  return r;
}

// A sensor's health as the server computed it; its margins go into the history with the band
// (HYSTERESIS - THRESHOLD) of that moment.
function setHealth(r, health, point = true) {
  r.health = Object.fromEntries(HEALTH_MEMBERS.map((k) => [k, health[k] ?? null]));
  if (!point) return;
  const band = typeof r.hysteresis === 'number' && typeof r.threshold === 'number'
      ? r.hysteresis - r.threshold : null;
  const now = Date.now();
  r.margins.push({t: now, light: r.health.light_margin, dark: r.health.dark_margin, band});
  const oldest = now - MARGIN_HOURS * 3600 * 1000;
  while (r.margins.length > MARGIN_POINTS || (r.margins.length && r.margins[0].t < oldest)) {
    r.margins.shift();
  }
}

function setStatus(r, status, message) {
  r.status = status || 'unknown';
  r.message = message || '';
}

function setLines(r, ram) {
  r.threshold = paramValue(ram, 'THRESHOLD');
  r.hysteresis = paramValue(ram, 'HYSTERESIS');
}

// Reads the list, then each sensor's details (its THRESHOLD and HYSTERESIS for the charts).
export async function refresh() {
  const list = (await get('/api/v1/sensors')).sensors;
  const seen = new Set(list.map((s) => s.id));
  for (const id of [...sensors.keys()]) if (!seen.has(id)) sensors.delete(id);
  list.forEach(apply);
  emit('list', seen);
  await Promise.all(list.map((s) => refreshOne(s.id).catch(() => {})));
}

// The rate is the server's count of readings a second; the stream does not carry it, so the
// list is read again for it every RATE_MS while the stream is open and the tab is shown (after
// a restart it starts from 0).
const RATE_MS = 10000;
async function refreshRates() {
  if (link.state !== 'open' || document.hidden) return;
  const ids = new Set();
  for (const s of (await get('/api/v1/sensors')).sensors) {
    const r = sensors.get(s.id);
    if (r && typeof s.rate === 'number' && s.rate !== r.rate) {
      r.rate = s.rate;
      ids.add(s.id);
    }
  }
  if (ids.size) emit('sensor', ids);
}
setInterval(() => refreshRates().catch(() => {}), RATE_MS);

export async function refreshOne(id) {
  apply(await get(sensorPath(id)));
  emit('sensor', new Set([id]));
}

// A parameter table just read, or sent by the server after a change: the THRESHOLD and
// HYSTERESIS lines follow the RAM; an open table hears of it (and a sensor's history, of a
// change the stream brought).
export function setParameters(id, memory, parameters, stream = false) {
  const r = record(id);
  if (memory === 'ram') setLines(r, parameters);
  emit('parameters', new Set([id]), {memory, parameters, stream});
}

// The page wrote to sensors (`ids`; all of them when none): their history is read again.
export function journalChanged(ids) {
  emit('journal', ids ? new Set(ids) : null);
}

function push(r, m) {
  r.reading = m;
  const values = {...m, THRESHOLD: r.threshold, HYSTERESIS: r.hysteresis};
  for (const t of TRACES) {
    const h = r.history[t];
    h.push(typeof values[t] === 'number' ? values[t] : null);
    if (h.length > HISTORY) h.shift();
  }
}

// Readings arrive about nine times a second per sensor, from dozens of sensors; views hear of
// them in batches, five times a second, and not at all while the tab is hidden (each batch
// waits for a frame). Every reading still goes into the history.
const BATCH_MS = 200;
let dirty = new Set();
let pending = false;
function readingArrived(id) {
  dirty.add(id);
  if (pending) return;
  pending = true;
  setTimeout(() => requestAnimationFrame(() => {
    pending = false;
    const ids = dirty;
    dirty = new Set();
    emit('reading', ids);
  }), BATCH_MS);
}

// One message of the stream, as its text.
export function receive(text) {
  let m;
  try {
    m = JSON.parse(text);
  } catch (e) {
    return;
  }
  if (!m || typeof m !== 'object') return;
  if (m.type === 'error') {
    link.error = m.message || '';
    emit('link');
    return;
  }
  if (!m.sensor) return;
  if (m.type === 'reading') {
    push(record(m.sensor), m);
    readingArrived(m.sensor);
  } else if (m.type === 'parameters') {
    setParameters(m.sensor, m.memory, m.parameters, true);
  } else if (m.type === 'health') {
    setHealth(record(m.sensor), m);
    emit('health', new Set([m.sensor]));
  } else if (m.type === 'drift') {
    const {type, sensor, ...drift} = m;
    record(sensor).drift = drift;
    emit('drift', new Set([sensor]));
  } else if (m.type === 'status') {
    const r = record(m.sensor);
    setStatus(r, m.status, m.message);
    if (m.version) r.version = m.version;
    emit('sensor', new Set([m.sensor]));
  }
}

// The stream: on loss, wait 0.5 s, 1 s, 2 s … up to 10 s (with some jitter, so that many
// screens do not all come back at once), then try again and re-read the list.
let delay = 500;
let socket = null;
export function connect() {
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  link.state = 'connecting';
  emit('link');
  socket = new WebSocket(`${scheme}://${location.host}/api/v1/stream`);
  socket.onopen = () => {
    delay = 500;
    link.state = 'open';
    link.error = '';
    emit('link');
    refresh().catch(() => {});
  };
  socket.onmessage = (e) => receive(e.data);
  socket.onclose = () => {
    socket = null;
    const wait = delay * (0.8 + 0.4 * Math.random());
    delay = Math.min(delay * 2, 10000);
    link.state = 'lost';
    link.retryAt = Date.now() + wait;
    emit('link');
    setTimeout(connect, wait);
  };
}
