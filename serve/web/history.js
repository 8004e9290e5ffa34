// A sensor's history: its changes, restores and backups from the journal, newest first. A
// write is two records, its attempt and its outcome (naming the attempt): it shows once, as
// its outcome, or as its attempt alone when no outcome was recorded (the program stopped
// before it knew). Read again on Refresh, after the page's own writes and backups, when the
// stream brings a sensor's new parameters, and when the live link comes back.
import {h, fill} from './dom.js';
import {get, token} from './api.js';
import * as live from './live.js';

// Records read: every write is two, so about the newest 100 writes.
const LIMIT = 200;
const WRITES = new Set(['change', 'restore', 'backup']);
const EVENTS = {change: 'Change', restore: 'Restore', backup: 'Backup'};
const CHANNELS = {window: 'window', cli: 'zurid', api: 'API', mqtt: 'MQTT'};
const OUTCOMES = {
  written: 'Written',
  unchanged: 'Unchanged',
  refused: 'Refused',
  failed: 'Failed',
  sent: 'Sent, not read back',
  pending: 'Pending: no outcome recorded',
};

// The entries to show, newest first: an attempt that has its outcome gives way to it.
function entries(records) {
  const answered = new Set(records.filter((r) => r.attempt).map((r) => r.attempt));
  return records.filter((r) => WRITES.has(r.event) &&
                               !(r.outcome === 'pending' && answered.has(r.seq))).reverse();
}

const pad = (n) => String(n).padStart(2, '0');

// "2026-12-08 16:40:53" in this browser's local time.
function when(iso) {
  const t = new Date(iso);
  if (Number.isNaN(t.getTime())) return iso || '–';
  return `${t.getFullYear()}-${pad(t.getMonth() + 1)}-${pad(t.getDate())} ` +
         `${pad(t.getHours())}:${pad(t.getMinutes())}:${pad(t.getSeconds())}`;
}

function who(r) {
  const via = [CHANNELS[r.channel] || r.channel, r.address].filter(Boolean).join(', ');
  return [h('span', {class: 'who'}, r.who || '–'), via ? h('span', {class: 'via'}, ` (${via})`) : ''];
}

// Each changed parameter as "THRESHOLD 100 → 77" (the codes). A backup changes nothing; a
// write whose record holds no changes (nothing needed changing, or the bytes to be written
// were not recorded) shows a dash.
function changes(r, names) {
  const list = r.changes || [];
  if (!list.length) return '–';
  return h('ul', {class: 'diffs'}, list.map((c) => h('li', {},
      h('span', {class: 'param'}, names.get(c.key) || c.key), ` ${c.before} → ${c.after}`)));
}

// The outcome's word (a backup written is saved), and the error's message.
function outcome(r) {
  const word = r.event === 'backup' && r.outcome === 'written'
      ? 'Saved' : OUTCOMES[r.outcome] || r.outcome || '–';
  return [h('span', {class: 'outcome'}, word), r.error && r.error.message ? `: ${r.error.message}` : ''];
}

function table(list, names) {
  return h('div', {class: 'scroll'}, h('table', {class: 'history'},
    h('thead', {}, h('tr', {}, ['When', 'Who', 'What', 'Before → after (codes)', 'Outcome',
                                'Reason'].map((t) => h('th', {scope: 'col'}, t)))),
    h('tbody', {}, list.map((r) => h('tr', {class: `outcome-${r.outcome}`, dataset: {seq: r.seq}},
      h('th', {scope: 'row'}, h('time', {datetime: r.time}, when(r.time))),
      h('td', {}, who(r)),
      h('td', {}, EVENTS[r.event], r.memory ? ` ${r.memory.toUpperCase()}` : ''),
      h('td', {}, changes(r, names)),
      h('td', {}, outcome(r)),
      h('td', {class: 'reason'}, r.reason || ''))))));
}

export function historyPanel(id) {
  const names = new Map(); // parameter key -> name, from the tables the page has read
  // The table is no live region (a screen reader would read all of it at every refresh); the
  // note says when there is nothing, or why the history cannot be read.
  const out = h('div', {class: 'history-result'});
  const note = h('div', {class: 'history-note', role: 'status', 'aria-live': 'polite'});
  const button = h('button', {type: 'button', onclick: () => read()}, 'Refresh');
  let shown = []; // the entries on show
  let shownSeqs = null; // their seqs, none before the first read
  let reading = null;
  let again = false;

  function render() {
    fill(out, shown.length ? table(shown, names) : '');
    fill(note, shown.length ? '' : h('p', {class: 'empty'}, 'No changes recorded.'));
  }

  // One read at a time; a request meanwhile reads once more after it.
  async function read() {
    if (reading) {
      again = true;
      return reading;
    }
    button.disabled = true;
    reading = (async () => {
      do {
        again = false;
        try {
          const q = `sensor=${encodeURIComponent(id)}&limit=${LIMIT}`;
          const list = entries((await get(`/api/v1/journal?${q}`)).records || []);
          const seqs = list.map((r) => r.seq).join(',');
          if (seqs === shownSeqs && !note.querySelector('.problem')) continue;
          shown = list;
          shownSeqs = seqs;
          render();
        } catch (err) {
          fill(note, h('p', {class: 'problem'}, `Reading the history failed: ${err.message}`,
                       err.status === 401 && !token.get() ? ' (enter the token above)' : ''));
        }
      } while (again);
    })();
    await reading;
    reading = null;
    button.disabled = false;
  }

  const off = live.onChange((what, ids, detail) => {
    if (what === 'link' && live.link.state === 'open') {
      read();
    } else if (what === 'parameters' && ids.has(id)) {
      const known = names.size;
      for (const p of detail.parameters || []) names.set(p.key || p.name, p.name);
      if (detail.stream) read();
      else if (!known && names.size && shown.length) render();
    } else if (what === 'journal' && (!ids || ids.has(id))) {
      read();
    }
  });
  window.addEventListener('zurid:token', read);

  const el = h('section', {class: 'panel history-panel', 'aria-labelledby': 'history-title'},
    h('div', {class: 'panel-head'}, h('h2', {id: 'history-title'}, 'History'), button),
    h('p', {class: 'help'}, `The newest first, from the journal of who changed what (up to ${LIMIT / 2} writes).`),
    note, out);
  read();
  return {el, destroy: () => { off(); window.removeEventListener('zurid:token', read); }};
}
