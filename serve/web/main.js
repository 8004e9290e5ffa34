// The page's start: the header (live link state, the token), the hash routes (#/ for all
// sensors, #/sensor/ID for one) and the stream.
import {setText} from './dom.js';
import {token} from './api.js';
import * as live from './live.js';
import * as overview from './overview.js';
import * as sensor from './sensor.js';

const main = document.getElementById('main');
let unmount = null;

function route() {
  if (unmount) unmount();
  const m = /^#\/sensor\/(.+)$/.exec(location.hash);
  const id = m ? decodeURIComponent(m[1]) : '';
  const nav = document.getElementById('nav-overview');
  if (id) nav.removeAttribute('aria-current');
  else nav.setAttribute('aria-current', 'page');
  unmount = id ? sensor.mount(main, id) : overview.mount(main);
}

// A new page: from the top, and a screen reader starts reading it there.
function navigate() {
  route();
  window.scrollTo(0, 0);
  main.focus({preventScroll: true});
}

// The live link in the header: connected, or lost and when the next try comes.
let countdown = 0;
function showLink() {
  const el = document.getElementById('link');
  el.className = `link link-${live.link.state}`;
  clearInterval(countdown);
  if (live.link.state === 'open') {
    setText(el, live.link.error ? `Live · ${live.link.error}` : 'Live');
  } else if (live.link.state === 'connecting') {
    setText(el, 'Connecting…');
  } else {
    const tick = () => {
      const s = Math.max(0, Math.ceil((live.link.retryAt - Date.now()) / 1000));
      setText(el, `Live data lost · retrying${s ? ` in ${s} s` : '…'}`);
    };
    tick();
    countdown = setInterval(tick, 1000);
  }
  document.body.classList.toggle('offline', live.link.state !== 'open');
  document.getElementById('offline').hidden = live.link.state !== 'lost';
}

function showToken() {
  const has = Boolean(token.get());
  document.getElementById('token-input').value = '';
  document.getElementById('token-input').placeholder = has ? 'token set' : 'for changes';
  document.getElementById('token-forget').hidden = !has;
  setText(document.getElementById('token-state'), has ? 'Changes allowed' : '');
  window.dispatchEvent(new Event('zurid:token'));
}

document.getElementById('token').addEventListener('submit', (e) => {
  e.preventDefault();
  const value = document.getElementById('token-input').value.trim();
  if (value) token.set(value);
  showToken();
});
document.getElementById('token-forget').addEventListener('click', () => {
  token.clear();
  showToken();
});

live.onChange((what) => {
  if (what === 'link') showLink();
});
showToken();
window.addEventListener('hashchange', navigate);
// The list first, so that a sensor's page opened directly finds its sensor.
live.refresh().catch(() => {}).finally(() => {
  route();
  live.connect();
});
