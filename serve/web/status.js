// A sensor's status as words and a badge, the same on a card and on the sensor's page.
import {h, num} from './dom.js';

const LABELS = {
  ok: 'OK',
  timeout: 'TIMEOUT',
  absent: 'ABSENT',
  error: 'ERROR',
  starting: 'STARTING',
  unknown: 'WAITING',
};

export const statusLabel = (s) => LABELS[s] || String(s).toUpperCase();

// What an operator should know about a sensor that is not ok.
export function statusHint(r) {
  switch (r.status) {
    case 'ok': return '';
    case 'timeout': return r.message || 'The sensor does not answer: cable, power, baud rate.';
    case 'absent': return r.message || 'The port is gone (unplugged?); it is tried again.';
    case 'error': return r.message || 'The port failed.';
    case 'starting': return 'Line check and parameters are being read.';
    default: return r.message || 'No answer from the server yet.';
  }
}

export function badge(r) {
  return h('span', {class: `badge badge-${r.status}`}, statusLabel(r.status));
}

// "9.3 readings/s · V1.0 · /dev/ttyUSB0 · pci-0000:00:14.0-usb-0:2:1.0-port0": the rate while
// data flows, the firmware as the window's status line shows it, the device, where it sits.
export function details(r) {
  const parts = [];
  if (r.status === 'ok' && typeof r.rate === 'number') parts.push(`${r.rate.toFixed(1)} readings/s`);
  if (r.version) parts.push(/^v/i.test(r.version) ? r.version : `V${r.version}`);
  if (r.device) parts.push(r.device);
  if (r.location && r.location !== r.device) parts.push(r.location);
  return parts.join(' · ');
}

// The three displays of the window's DISPLAY box.
export function valueBoxes(prefix) {
  return ['DAT0', 'DAT1', 'NORM'].map((name) => h('div', {class: 'readout'},
      h('dt', {}, name), h('dd', {id: `${prefix}-${name}`}, '–')));
}

export function showValues(root, prefix, reading) {
  for (const name of ['DAT0', 'DAT1', 'NORM']) {
    const el = root.querySelector(`#${CSS.escape(`${prefix}-${name}`)}`);
    const text = num(reading ? reading[name] : null);
    if (el && el.textContent !== text) el.textContent = text;
  }
}
