// The line's backup: back up every sensor's RAM and EEPROM under a name, or verify the
// sensors against a backup. Both run on the server as jobs and need the token (request()
// sends it with every POST); the page polls a job until it ends and shows its per-port table
// with the differences.
import {h, fill} from './dom.js';
import {runJob} from './api.js';
import {journalChanged} from './live.js';

const NAME_KEY = 'zurid.backup';

// A difference of a verify: memory, parameter, the backup's value -> the sensor's.
function differences(list) {
  if (!list || !list.length) return '';
  return h('ul', {class: 'diffs'}, list.map((d) => h('li', {},
      `${d.memory.toUpperCase()} ${d.name}: ${d.backup.text} → ${d.sensor.text}`)));
}

// The job's per-port table; the row of `current` (a sensor's page) stands out.
function portTable(ports, current) {
  return h('table', {class: 'job-table'},
    h('thead', {}, h('tr', {}, ['Port', 'Result', 'Differences (backup → sensor)'].map((t) =>
        h('th', {scope: 'col'}, t)))),
    h('tbody', {}, ports.map((p) => h('tr', {class: `result-${p.result}${p.port === current ? ' current' : ''}`},
      h('th', {scope: 'row'}, p.port),
      h('td', {}, p.result.toUpperCase(), p.note ? ` – ${p.note}` : ''),
      h('td', {}, differences(p.differences))))));
}

// One line on the whole job: running, done, or what went wrong where.
function headline(what, job) {
  if (job.state === 'running') return h('p', {class: 'running'}, `${what}: running…`);
  if (job.state === 'done') return h('p', {class: 'done'}, `${what}: done`);
  const count = (r) => job.ports.filter((p) => p.result === r).length;
  const parts = [];
  if (count('differs')) parts.push(`${count('differs')} sensor${count('differs') > 1 ? 's differ' : ' differs'}`);
  if (count('failed')) parts.push(`${count('failed')} failed`);
  if (count('interrupted')) parts.push(`${count('interrupted')} interrupted`);
  if (job.error) parts.push(job.error);
  return h('p', {class: 'problem'}, `${what}: ${parts.join(', ') || 'failed'}`);
}

function showJob(out, what, job, current) {
  fill(out, headline(what, job), job.ports.length ? portTable(job.ports, current) : '');
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
      'sensor on the line. Backing up and verifying need the token.'));
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    // The server judges the name (a plain name, never a path) and says why it refuses one.
    const name = input.value.trim();
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
      fill(out, h('p', {class: 'problem'}, `${what}: ${err.message}`,
                  err.status === 401 ? ' (enter the token above)' : ''));
    } finally {
      buttons.forEach((b) => { b.disabled = false; });
      if (!verify) journalChanged(); // a backup is in every sensor's history
    }
  });
  return h('section', {class: 'panel backups', 'aria-labelledby': 'backups-title'},
    h('h2', {id: 'backups-title'}, 'Line backup'), form, out);
}
