// A sensor's parameter table: name, value with its unit, code (an unknown code as `? N`),
// read fresh from RAM or EEPROM. With a token it is editable: only the changed values go to
// the sensor (PATCH), with the reason when one is given (for the journal), and the answer's
// before/after, or the error, is shown.
import {h, fill} from './dom.js';
import {get, request, sensorPath, token} from './api.js';
import * as live from './live.js';

// The value as the window shows it, with its unit; an unknown code as `? N`.
export const shown = (p) => p.text ?? `? ${p.code}`;

// The edit control of one parameter. A ring is a list of its labels as the window offers them
// (an unknown code stays in it as `? N`, and is sent only when another is picked); a number
// is a number field with its allowed range beside it; anything else is text as `zurid set`
// takes it (#9 for a raw code). Only a changed control is sent, as the text of its value.
function editor(p, id) {
  const label = `New ${p.name}`;
  if (Array.isArray(p.choices)) {
    const options = p.choices.map((c) => h('option', {value: String(c.code)}, c.text));
    if (!p.choices.some((c) => c.code === p.code)) {
      options.push(h('option', {value: String(p.code)}, `? ${p.code}`));
    }
    const select = h('select', {id, 'aria-label': label, dataset: {initial: String(p.code)}},
                     options);
    select.value = String(p.code);
    return select;
  }
  const ranged = typeof p.min === 'number' && typeof p.max === 'number';
  const range = ranged ? h('span', {class: 'range', id: `${id}-range`},
                           `allowed ${p.min}–${p.max}${p.unit ? ` ${p.unit}` : ''}`) : '';
  const described = ranged ? `${id}-range` : null;
  if (typeof p.value === 'number') {
    const input = h('input', {id, type: 'number', inputmode: 'numeric', value: p.value,
                              min: ranged ? p.min : null, max: ranged ? p.max : null,
                              'aria-label': p.unit ? `${label} in ${p.unit}` : label,
                              'aria-describedby': described,
                              dataset: {initial: String(p.value), numeric: '1'}});
    return h('span', {class: 'with-unit'}, input,
             p.unit ? h('span', {'aria-hidden': 'true'}, p.unit) : '', range);
  }
  return h('span', {class: 'with-unit'},
    h('input', {id, type: 'text', value: shown(p), 'aria-label': label, spellcheck: 'false',
                'aria-describedby': described, dataset: {initial: shown(p)}}),
    range);
}

// What a changed control sends: a list its label, a number field its number, else its text.
function sent(el) {
  if (el.tagName === 'SELECT') return el.selectedOptions[0].textContent;
  const text = el.value.trim();
  return el.dataset.numeric && text !== '' && Number.isFinite(Number(text)) ? Number(text) : text;
}

const changed = (el) => el.value.trim() !== el.dataset.initial;

// The answer to a PATCH: each changed parameter's before and after.
function beforeAfter(body) {
  const rows = body.changed || [];
  if (!rows.length) return h('p', {class: 'done'}, 'Nothing needed changing.');
  return h('table', {class: 'before-after'},
    h('caption', {}, 'Written and read back'),
    h('thead', {}, h('tr', {}, ['Parameter', 'Before', 'After'].map((t) =>
        h('th', {scope: 'col'}, t)))),
    h('tbody', {}, rows.map((r) => h('tr', {},
        h('th', {scope: 'row'}, r.name), h('td', {}, shown(r.before)), h('td', {}, shown(r.after))))));
}

export function parameterPanel(id) {
  let memory = 'ram';
  let params = [];
  const table = h('div', {class: 'param-table'});
  const result = h('div', {class: 'param-result', role: 'status', 'aria-live': 'polite'});
  const memButtons = ['ram', 'eeprom'].map((m) => h('button', {type: 'button', class: 'toggle',
      'aria-pressed': String(m === memory), onclick: () => { memory = m; read(); }},
      m.toUpperCase()));
  const readButton = h('button', {type: 'button', onclick: () => read()}, 'Read');
  const write = h('button', {type: 'submit', disabled: true}, 'Write changes');
  const undo = h('button', {type: 'button', disabled: true, onclick: () => render()}, 'Undo');
  // The server takes a reason of at most 500 characters.
  const reason = h('input', {id: 'change-reason', type: 'text', maxlength: 500, autocomplete: 'off',
                             'aria-describedby': 'change-reason-help'});
  const reasonField = h('div', {class: 'reason-field'},
    h('label', {for: 'change-reason'}, 'Reason (recorded in the journal)'), reason,
    h('p', {id: 'change-reason-help', class: 'help'}, 'Optional: why the values change.'));
  const form = h('form', {class: 'params-form', novalidate: true}, table, reasonField,
      h('div', {class: 'actions'}, write, undo));

  function edits() {
    return [...form.querySelectorAll('[data-initial]')].filter(changed);
  }
  function refreshButtons() {
    const n = edits().length;
    write.disabled = n === 0;
    undo.disabled = n === 0;
    write.textContent = n ? `Write ${n} change${n > 1 ? 's' : ''} to ${memory.toUpperCase()}`
                          : 'Write changes';
    for (const el of form.querySelectorAll('[data-initial]')) {
      el.closest('tr').classList.toggle('changed', changed(el));
    }
  }

  function render() {
    const editable = Boolean(token.get());
    memButtons.forEach((b, i) => b.setAttribute('aria-pressed', String(['ram', 'eeprom'][i] === memory)));
    fill(table, h('table', {class: 'params'},
      h('caption', {}, `${id} ${memory.toUpperCase()}`,
        editable ? '' : h('span', {class: 'help'}, ' — enter the token above to change values')),
      h('thead', {}, h('tr', {},
        h('th', {scope: 'col'}, 'Parameter'), h('th', {scope: 'col'}, 'Value'),
        h('th', {scope: 'col', class: 'code'}, 'Code'),
        editable ? h('th', {scope: 'col'}, 'New value') : '')),
      h('tbody', {}, params.map((p, i) => h('tr', {class: p.known === false ? 'unknown' : '',
                                                   dataset: {key: p.key || p.name}},
        h('th', {scope: 'row'}, p.name),
        h('td', {class: 'value'}, shown(p)),
        h('td', {class: 'code'}, String(p.code)),
        editable ? h('td', {}, editor(p, `edit-${i}`)) : '')))));
    form.hidden = !params.length;
    reasonField.hidden = !editable;
    refreshButtons();
  }

  async function read() {
    memButtons.forEach((b) => { b.disabled = true; });
    readButton.disabled = true;
    fill(result, h('p', {class: 'running'}, `Reading ${memory.toUpperCase()}…`));
    try {
      const body = await get(sensorPath(id, `/parameters?memory=${memory}`));
      params = body.parameters;
      live.setParameters(id, memory, params);
      fill(result);
      render();
    } catch (err) {
      fill(result, h('p', {class: 'problem'}, `Reading ${memory.toUpperCase()} failed: ${err.message}`));
    } finally {
      memButtons.forEach((b) => { b.disabled = false; });
      readButton.disabled = false;
    }
  }

  form.addEventListener('input', refreshButtons);
  form.addEventListener('change', refreshButtons);
  form.addEventListener('submit', async (e) => {
    e.preventDefault();
    const body = {};
    for (const el of edits()) {
      body[el.closest('tr').dataset.key] = sent(el);
    }
    if (!Object.keys(body).length) return;
    if (reason.value.trim()) body.reason = reason.value.trim();
    write.disabled = true;
    fill(result, h('p', {class: 'running'}, `Writing to ${memory.toUpperCase()}…`));
    try {
      // The answer holds the block as read back: no second read needed.
      const answer = (await request('PATCH', sensorPath(id, `/parameters?memory=${memory}`), body)).body;
      params = answer.parameters;
      live.setParameters(id, memory, params);
      reason.value = '';
      render();
      fill(result, beforeAfter(answer));
    } catch (err) {
      fill(result, h('p', {class: 'problem'}, `Not written: ${err.message}`,
                     err.status === 401 ? ' (enter the token above)' : ''));
      refreshButtons();
    }
    live.journalChanged([id]);
  });

  // Someone else changed the sensor: show it, unless the operator is editing.
  const off = live.onChange((what, ids, detail) => {
    if (what !== 'parameters' || !ids.has(id) || detail.memory !== memory) return;
    if (edits().length || !Array.isArray(detail.parameters)) return;
    params = detail.parameters;
    render();
  });

  const panel = h('section', {class: 'panel params-panel', 'aria-labelledby': 'params-title'},
    h('div', {class: 'panel-head'}, h('h2', {id: 'params-title'}, 'Parameters'),
      h('div', {class: 'group', role: 'group', 'aria-label': 'Memory'}, memButtons), readButton),
    form, result);
  read();
  return {el: panel, render, destroy: off};
}
