// The line's backup: back up every sensor's RAM and EEPROM under a name, or verify the
// sensors against a backup. Both run on the server as jobs; the page polls a job until it
// ends and shows its per-port table with the differences.
import {h, fill} from './dom.js';
import {runJob} from './api.js';

const NAME_KEY = 'zurid.backup';
// A plain name: the server keeps backups in one folder and refuses paths.
const PLAIN = /^[A-Za-z0-9][A-Za-z0-9._-]*$/;

function text(v) {
  if (v === null || v === undefined) return '';
  if (typeof v === 'object') return v.text ?? v.value ?? JSON.stringify(v);
  return String(v);
}

function differences(list) {
  if (!list || !list.length) return '';
  return h('ul', {class: 'diffs'}, list.map((d) => h('li', {},
      typeof d === 'string' ? d
          : `${d.memory ? `${d.memory} ` : ''}${d.name}: ${text(d.backup)} → ${text(d.sensor)}`)));
}

// The job's per-port table; the row of `current` (a sensor's page) stands out.
function portTable(ports, current) {
  return h('table', {class: 'job-table'},
    h('thead', {}, h('tr', {}, h('th', {scope: 'col'}, 'Port'), h('th', {scope: 'col'}, 'Result'),
                          h('th', {scope: 'col'}, 'Differences'))),
    h('tbody', {}, ports.map((p) => h('tr', {class: [p.ok ? 'ok' : 'failed',
                                                      p.port === current ? 'current' : ''].join(' ')},
      h('th', {scope: 'row'}, p.port),
      h('td', {}, p.ok ? 'OK' : 'FAILED', p.message ? ` – ${p.message}` : ''),
      h('td', {}, differences(p.differences))))));
}

function showJob(out, what, job, current) {
  if (!job) {
    fill(out, h('p', {}, `${what}: done.`));
    return;
  }
  const ports = job.ports || [];
  const head = job.state === 'running'
      ? h('p', {class: 'running'}, `${what}: running…`)
      : h('p', {class: job.state === 'done' ? 'done' : 'problem'},
          `${what}: ${job.state === 'done' ? 'done' : 'failed'}`,
          job.message ? ` – ${job.message}` : '');
  fill(out, head, ports.length ? portTable(ports, current) : '');
}

// The panel; `current` is the sensor whose page shows it (none on the overview).
export function backupPanel(current = '') {
  const input = h('input', {id: 'backup-name', name: 'name', required: true, spellcheck: 'false',
                            autocomplete: 'off', value: localStorage.getItem(NAME_KEY) || 'line',
                            'aria-describedby': 'backup-help'});
  const out = h('div', {class: 'job-result', role: 'status', 'aria-live': 'polite'});
  const buttons = [
    h('button', {type: 'submit', value: 'backup'}, 'Back up all sensors'),
    h('button', {type: 'submit', value: 'verify'}, 'Verify against backup'),
  ];
  const form = h('form', {class: 'backup-form'},
    h('label', {for: 'backup-name'}, 'Backup name'), input, buttons,
    h('p', {id: 'backup-help', class: 'help'},
      'Letters, digits, dot, dash and underscore. A backup holds RAM and EEPROM of every ' +
      'sensor on the line.'));
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    const name = input.value.trim();
    if (!PLAIN.test(name) || name.includes('..')) {
      fill(out, h('p', {class: 'problem'}, `"${name}" is not a plain name.`));
      input.focus();
      return;
    }
    localStorage.setItem(NAME_KEY, name);
    const verify = e.submitter && e.submitter.value === 'verify';
    const what = verify ? `Verify against ${name}` : `Backup ${name}`;
    buttons.forEach((b) => { b.disabled = true; });
    fill(out, h('p', {class: 'running'}, `${what}: starting…`));
    try {
      const job = verify
          ? await runJob('POST', `/api/v1/backups/${encodeURIComponent(name)}/verify`, {},
                         (j) => showJob(out, what, j, current))
          : await runJob('POST', '/api/v1/backups', {name}, (j) => showJob(out, what, j, current));
      showJob(out, what, job, current);
    } catch (err) {
      fill(out, h('p', {class: 'problem'}, `${what}: ${err.message}`));
    } finally {
      buttons.forEach((b) => { b.disabled = false; });
    }
  });
  return h('section', {class: 'panel backups', 'aria-labelledby': 'backups-title'},
    h('h2', {id: 'backups-title'}, 'Line backup'), form, out);
}
