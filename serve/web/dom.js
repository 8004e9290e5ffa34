// A few DOM helpers, so that the page builds its elements without a framework and never
// puts a server's text into innerHTML.

// h('p', {class: 'x', onclick: f}, 'text', child, ...) makes an element. Attributes that are
// false, null or undefined are left out; true sets an empty attribute.
export function h(tag, attrs = {}, ...children) {
  const el = document.createElement(tag);
  for (const [name, value] of Object.entries(attrs)) {
    if (value === false || value === null || value === undefined) continue;
    if (name.startsWith('on') && typeof value === 'function') {
      el.addEventListener(name.slice(2), value);
    } else if (name === 'dataset') {
      Object.assign(el.dataset, value);
    } else {
      el.setAttribute(name, value === true ? '' : String(value));
    }
  }
  append(el, children);
  return el;
}

function append(el, children) {
  for (const c of children.flat(Infinity)) {
    if (c === null || c === undefined || c === false) continue;
    el.append(c instanceof Node ? c : String(c));
  }
}

// Replaces an element's content.
export function fill(el, ...children) {
  el.replaceChildren();
  append(el, children);
  return el;
}

// Sets a text only when it differs, so that screen readers and selections are not disturbed
// ten times a second by the same value.
export function setText(el, text) {
  const s = String(text);
  if (el.textContent !== s) el.textContent = s;
}

// A number as the window shows it: an integer, or a dash when there is none.
export function num(v) {
  return typeof v === 'number' && Number.isFinite(v) ? String(Math.round(v)) : '–';
}
