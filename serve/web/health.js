// A sensor's health as the server computes it from the counting margins and the light level:
// a badge for its card (the state in words and colour, the percent), and on its page the
// figures with the light and dark margins of the last hours against the band. Nothing shows
// until the server sends a health.
import {h, fill, setText, num} from './dom.js';
import {marginChart} from './charts.js';
import {MARGIN_HOURS} from './live.js';

const STATES = {stable: 'STABLE', marginal: 'MARGINAL', failing: 'FAILING'};

const percent = (v) => (typeof v === 'number' && Number.isFinite(v) ? `${Math.round(v)} %` : '');

// "HEALTH 62 % · MARGINAL"; "HEALTH –" while it is not known yet; nothing without a health.
export function healthBadge(r) {
  if (!r.health) return '';
  const state = STATES[r.health.state] ? r.health.state : 'unknown';
  const text = state === 'unknown' ? 'HEALTH –'
      : [`HEALTH ${percent(r.health.percent)}`.trim(), STATES[state]].join(' · ');
  return h('span', {class: `badge health health-${state}`,
                    title: 'The smaller counting margin as a share of HYSTERESIS − THRESHOLD'}, text);
}

// "212 of 230 (8 % down)": the light level between edges against its reference.
function lightLevel(x) {
  if (typeof x.light_level !== 'number') return '–';
  if (typeof x.light_reference !== 'number') return num(x.light_level);
  const decline = typeof x.light_decline_percent === 'number'
      ? ` (${Math.round(x.light_decline_percent)} % down)` : '';
  return `${num(x.light_level)} of ${num(x.light_reference)}${decline}`;
}

const FIGURES = [
  ['Health', (x) => [percent(x.percent) || '–', STATES[x.state] || ''].filter(Boolean).join(' · ')],
  ['Light margin', (x) => num(x.light_margin)],
  ['Dark margin', (x) => num(x.dark_margin)],
  ['Light level', lightLevel],
];

// The margin view of a sensor's page; update(r) shows the sensor's present health and the
// margins kept since the page loaded.
export function marginPanel(id) {
  const figures = h('dl', {class: 'health-figures'}, FIGURES.map(([name]) => h('div', {},
      h('dt', {}, name), h('dd', {dataset: {figure: name}}, '–'))));
  const canvas = h('canvas', {role: 'img', 'aria-label':
      `Light and dark margin of ${id} over the last ${MARGIN_HOURS} hours, with the band`});
  const note = h('p', {class: 'help'});
  const el = h('section', {class: 'panel margin-panel', 'aria-labelledby': 'margin-title', hidden: true},
    h('div', {class: 'panel-head'}, h('h2', {id: 'margin-title'}, 'Counting margin'),
      h('span', {class: 'badge-slot'})),
    figures, h('div', {class: 'chart chart-margin'}, canvas), note);
  let chart = null;
  return {
    el,
    update(r) {
      el.hidden = !r || !r.health;
      if (el.hidden) return;
      fill(el.querySelector('.badge-slot'), healthBadge(r));
      for (const [name, show] of FIGURES) {
        setText(figures.querySelector(`[data-figure="${name}"]`), show(r.health));
      }
      setText(note, `Light margin: the steady NORM between edges above HYSTERESIS; dark margin: ` +
          `how far the dips go below THRESHOLD. Kept on this page since it was opened ` +
          `(${r.margins.length} point${r.margins.length === 1 ? '' : 's'}, up to ${MARGIN_HOURS} h).`);
      if (!chart) chart = marginChart(canvas);
      if (chart) chart.update(r.margins);
    },
    destroy: () => chart && chart.destroy(),
  };
}
