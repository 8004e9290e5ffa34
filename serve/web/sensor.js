// A sensor's own page (#/sensor/COM3): a drift banner when it no longer matches the line's
// reference, the window's five-trace strip chart of the last 100 readings with DAT0/DAT1/NORM
// beside it, the counting margins, the parameter table, the jump buffer against the
// THRESHOLD, the line's backup with this sensor's row marked, and the sensor's history.
import {h, fill, setText, num} from './dom.js';
import * as live from './live.js';
import {get, sensorPath} from './api.js';
import {stripChart, bufferChart} from './charts.js';
import {badge, details, statusHint, valueBoxes, showValues} from './status.js';
import {parameterPanel} from './params.js';
import {backupPanel} from './jobs.js';
import {historyPanel} from './history.js';
import {healthBadge, marginPanel} from './health.js';
import {driftSlot} from './drift.js';

function bufferPanel(id) {
  const canvas = h('canvas', {role: 'img', 'aria-label': `Jump buffer of ${id} against THRESHOLD`});
  const box = h('div', {class: 'chart chart-buffer', hidden: true}, canvas);
  const list = h('p', {class: 'buffer-values'});
  const out = h('div', {role: 'status', 'aria-live': 'polite'});
  let chart = null;
  const button = h('button', {type: 'button', onclick: read}, 'Read jump buffer');

  async function read() {
    button.disabled = true;
    fill(out, h('p', {class: 'running'}, 'Reading the jump buffer…'));
    try {
      const b = await get(sensorPath(id, '/buffer'));
      if (chart) chart.destroy();
      box.hidden = false;
      chart = bufferChart(canvas, b.values, b.THRESHOLD);
      setText(list, `Values: ${b.values.map(num).join(', ')} · THRESHOLD ${num(b.THRESHOLD)}`);
      fill(out);
    } catch (err) {
      fill(out, h('p', {class: 'problem'}, `Reading the jump buffer failed: ${err.message}`));
    } finally {
      button.disabled = false;
    }
  }

  const el = h('section', {class: 'panel buffer-panel', 'aria-labelledby': 'buffer-title'},
    h('div', {class: 'panel-head'}, h('h2', {id: 'buffer-title'}, 'Jump buffer'), button),
    h('p', {class: 'help'}, 'The lowest NORM after each edge: set the THRESHOLD from these values.'),
    box, list, out);
  return {el, destroy: () => chart && chart.destroy()};
}

export function mount(main, id) {
  document.title = `TAVRIN-Zurid: ${id}`;
  if (!live.byId(id)) {
    fill(main, h('p', {class: 'problem'}, `There is no sensor ${id} on this line. `,
                 h('a', {href: '#/'}, 'All sensors')));
    const off = live.onChange((what) => {
      if (what === 'list' && live.byId(id)) window.dispatchEvent(new HashChangeEvent('hashchange'));
    });
    return off;
  }
  const canvas = h('canvas', {role: 'img',
      'aria-label': `Strip chart of ${id}: DAT0, DAT1, NORM, THRESHOLD and HYSTERESIS, last 100 readings`});
  const head = h('div', {class: 'sensor-status'});
  const hint = h('p', {class: 'hint', role: 'status'});
  const info = h('p', {class: 'details'});
  const params = parameterPanel(id);
  const buffer = bufferPanel(id);
  const history = historyPanel(id);
  const margins = marginPanel(id);
  const drift = driftSlot(id);
  fill(main,
    h('nav', {class: 'crumbs', 'aria-label': 'Breadcrumb'}, h('a', {href: '#/'}, 'All sensors'),
      ' › ', id),
    h('div', {class: 'sensor-head'}, h('h1', {}, id), head, info),
    hint,
    drift.el,
    h('div', {class: 'sensor-grid'},
      h('section', {class: 'panel live-panel', 'aria-labelledby': 'live-title'},
        h('h2', {id: 'live-title'}, 'Live data'),
        h('div', {class: 'live'},
          h('div', {class: 'chart chart-strip'}, canvas),
          h('dl', {class: 'values display'}, valueBoxes('live')))),
      margins.el,
      params.el,
      h('div', {class: 'column'}, buffer.el, backupPanel(id)),
      history.el));
  const chart = stripChart(canvas);

  function status() {
    const r = live.byId(id);
    if (!r) return;
    main.querySelector('.sensor-head').className = `sensor-head state-${r.status}`;
    fill(head, badge(r), healthBadge(r));
    setText(hint, statusHint(r));
    setText(info, details(r));
    margins.update(r);
    drift.update(r);
  }
  const tokenChanged = () => {
    params.render();
    drift.update(live.byId(id));
  };
  function values() {
    const r = live.byId(id);
    if (!r) return;
    showValues(main, 'live', r.reading);
    if (chart) chart.update(r.history);
  }
  status();
  values();
  window.addEventListener('zurid:token', tokenChanged);
  const off = live.onChange((what, ids) => {
    if (!ids || !ids.has(id)) return;
    if (what === 'reading') values();
    else status();
  });
  return () => {
    off();
    window.removeEventListener('zurid:token', tokenChanged);
    params.destroy();
    if (chart) chart.destroy();
    buffer.destroy();
    history.destroy();
    margins.destroy();
  };
}
