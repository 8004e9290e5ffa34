// A sensor whose parameters no longer match the line's reference backup: a banner naming each
// difference ("EEPROM THRESHOLD: reference 80, sensor 100") and, with a token and when the
// server names the reference, a button that restores the sensor from it.
import {h, fill} from './dom.js';
import {runJob, token} from './api.js';
import {journalChanged} from './live.js';

// A value as the server gives it: a parameter object ({text, code}) or a plain value.
function value(v) {
  if (v && typeof v === 'object') return v.text ?? `? ${v.code}`;
  return v === null || v === undefined ? '–' : String(v);
}

export const differenceText = (d) =>
  `${String(d.memory || '').toUpperCase()} ${d.key}: reference ${value(d.reference)}, ` +
  `sensor ${value(d.sensor)}`;

function since(t) {
  const when = typeof t === 'number' ? new Date(t * 1000) : new Date(t);
  return t && !Number.isNaN(when.getTime()) ? ` since ${when.toLocaleString()}` : '';
}

function banner(id, drift, out) {
  const reference = typeof drift.reference === 'string' ? drift.reference : '';
  const restore = reference && token.get() ? h('button', {type: 'button', onclick: async () => {
    restore.disabled = true;
    out.dataset.running = 'yes';
    fill(out, h('p', {class: 'running'}, `Restoring ${id} from ${reference}…`));
    try {
      const job = await runJob('POST', `/api/v1/backups/${encodeURIComponent(reference)}/restore`,
                               {ram: true, sensors: [id], reason: 'drift from the reference'});
      fill(out, job.state === 'done' ? h('p', {class: 'done'}, `${id} restored from ${reference}`)
          : h('p', {class: 'problem'}, `Restore: ${job.error || job.ports.map((p) =>
              `${p.port} ${p.result}${p.note ? ` – ${p.note}` : ''}`).join('; ') || 'failed'}`));
    } catch (err) {
      fill(out, h('p', {class: 'problem'}, `Restore: ${err.message}`,
                  err.status === 401 ? ' (enter the token above)' : ''));
    } finally {
      restore.disabled = false;
      delete out.dataset.running;
      journalChanged([id]);
    }
  }}, 'Restore this sensor') : '';
  return h('div', {class: 'drift'},
    h('p', {class: 'drift-title'}, `⚠ DRIFT from the line's reference${since(drift.since)}`),
    h('ul', {class: 'diffs'}, (drift.differences || []).map((d) => h('li', {}, differenceText(d)))),
    restore, out);
}

// The banner's place on a card or a page; update(r) redraws it only when the drift or the
// token changed. A restore's result outlives the banners it was started from: when the restore
// clears the drift, the banner goes and its result stays in its place.
export function driftSlot(id) {
  const el = h('div', {class: 'drift-slot'});
  const out = h('div', {class: 'drift-result', role: 'status', 'aria-live': 'polite'});
  let shown = null;
  return {
    el,
    update(r) {
      const drift = r && r.drift && r.drift.on ? r.drift : null;
      const key = drift ? JSON.stringify(drift) + Boolean(token.get()) : '';
      if (key === shown) return;
      // Drift found again: an earlier restore's result is no news.
      if (drift && !shown && !out.dataset.running) fill(out, '');
      shown = key;
      fill(el, drift ? banner(id, drift, out) : out.hasChildNodes() ? out : '');
    },
  };
}
