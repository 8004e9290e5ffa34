// The overview: every sensor of the line as a card with its status and health, a drift
// banner when it no longer matches the line's reference, DAT0/DAT1/NORM and a live NORM chart
// with the THRESHOLD and HYSTERESIS lines; the line's backup below.
import {h, fill, setText} from './dom.js';
import * as live from './live.js';
import {normChart} from './charts.js';
import {badge, details, statusHint, valueBoxes, showValues} from './status.js';
import {backupPanel} from './jobs.js';
import {healthBadge} from './health.js';
import {driftSlot} from './drift.js';

function card(r) {
  const key = `card-${r.id}`.replace(/[^A-Za-z0-9_-]/g, '_');
  const canvas = h('canvas', {role: 'img',
      'aria-label': `NORM of ${r.id}, last 100 readings, with THRESHOLD and HYSTERESIS`});
  const drift = driftSlot(r.id);
  const el = h('article', {class: `card state-${r.status}`, 'aria-labelledby': `${key}-title`,
                           dataset: {sensor: r.id}},
    h('header', {},
      h('h2', {id: `${key}-title`},
        h('a', {href: `#/sensor/${encodeURIComponent(r.id)}`}, r.id)),
      h('span', {class: 'badge-slot'})),
    h('p', {class: 'hint', role: 'status'}),
    drift.el,
    h('dl', {class: 'values'}, valueBoxes(key)),
    h('div', {class: 'chart chart-card'}, canvas),
    h('p', {class: 'details'}));
  return {el, key, drift, chart: normChart(canvas)};
}

export function mount(main) {
  document.title = 'TAVRIN-Zurid: all sensors';
  const grid = h('div', {class: 'cards', id: 'cards'});
  const empty = h('p', {class: 'empty'}, 'Waiting for the sensors…');
  fill(main,
    h('h1', {class: 'page-title'}, 'All sensors'),
    empty, grid,
    backupPanel());
  const cards = new Map();

  function status(r, c) {
    c.el.className = `card state-${r.status}`;
    fill(c.el.querySelector('.badge-slot'), badge(r), healthBadge(r));
    c.drift.update(r);
    setText(c.el.querySelector('.hint'), statusHint(r));
    setText(c.el.querySelector('.details'), details(r));
  }
  function values(r, c) {
    showValues(c.el, c.key, r.reading);
    if (c.chart) c.chart.update(r.history);
  }
  function rebuild() {
    for (const c of cards.values()) if (c.chart) c.chart.destroy();
    cards.clear();
    const list = live.all();
    setText(empty, list.length ? '' : 'No sensors on this line yet.');
    empty.hidden = list.length > 0;
    fill(grid, list.map((r) => {
      const c = card(r);
      cards.set(r.id, c);
      return c.el;
    }));
    for (const r of list) {
      status(r, cards.get(r.id));
      values(r, cards.get(r.id));
    }
  }

  rebuild();
  const tokenChanged = () => { for (const [id, c] of cards) c.drift.update(live.byId(id)); };
  window.addEventListener('zurid:token', tokenChanged);
  const off = live.onChange((what, ids) => {
    if (what === 'list') {
      const have = [...cards.keys()].join('\n');
      if (have !== live.all().map((r) => r.id).join('\n')) rebuild();
    }
    if (!ids) return;
    for (const id of ids) {
      const r = live.byId(id);
      const c = cards.get(id);
      if (!r || !c) continue;
      if (what === 'reading') values(r, c);
      else status(r, c);
    }
  });
  return () => {
    off();
    window.removeEventListener('zurid:token', tokenChanged);
    for (const c of cards.values()) if (c.chart) c.chart.destroy();
  };
}
