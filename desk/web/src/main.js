// The desk's page: opens devices, follows the live event stream and keeps one card per device.
import 'uplot/dist/uPlot.min.css';
import './desk.css';
import { call, openSession } from './api.js';
import { CorvanePanel } from './corvane-panel.js';
import { followEvents } from './events.js';
import { HandlePanel } from './handle-panel.js';
import { startHeartbeat } from './heartbeat.js';
import { Holding } from './holding.js';
import { MessageLog } from './message-log.js';

const panels = new Map();
let page = null; // this page's session, as the desk names it to every page
const $ = (id) => document.getElementById(id);
const log = new MessageLog($('log-lines'), $('log-pause'), $('log-clear'));

function notify(message, { lasting = false } = {}) {
  const notice = $('notice');
  notice.textContent = message;
  notice.hidden = !message;
  clearTimeout(notify.timer);
  if (message && !lasting) notify.timer = setTimeout(() => { notice.hidden = true; }, 8000);
}

// A page without a session obeys nothing and shows nothing but how to get one.
function sessionEnded(why) {
  const state = $('connection');
  state.textContent = 'no session';
  state.className = 'pill bad';
  $('notice').classList.add('session-ended');
  notify(`${why} This page's session lives in the page only, so a reload or a used link needs`
    + ' a new link: open the newest one the desk printed in its terminal.', { lasting: true });
  for (const control of document.querySelectorAll('button, input, select')) control.disabled = true;
}

function show(devices) {
  for (const device of devices) {
    let panel = panels.get(device.id);
    if (!panel) {
      panel = device.kind === 'corvane' ? new CorvanePanel(device, notify) : new HandlePanel(device, notify);
      panel.holding = new Holding(panel, page, notify);
      panels.set(device.id, panel);
      $('devices').append(panel.element);
      panel.mounted(device);
    } else {
      panel.update(device);
    }
    panel.holding.update(device);
  }
  const open = new Set(devices.map((device) => device.id));
  for (const [id, panel] of panels) {
    if (!open.has(id)) { panel.element.remove(); panels.delete(id); }
  }
  $('empty').hidden = panels.size > 0;
}

function connect() {
  const state = $('connection');
  followEvents({
    hello: (hello) => {
      state.textContent = 'connected';
      state.className = 'pill on';
      show(hello.devices);
      log.add(hello.log);
    },
    update: (frame) => {
      show(frame.devices);
      log.add(frame.log);
    },
  }, (now) => {
    if (now === 'ended') sessionEnded('The desk no longer knows this page (it was restarted?).');
    else if (now === 'retrying') {
      state.textContent = 'disconnected, retrying…';
      state.className = 'pill bad';
    }
  });
}

$('scan').addEventListener('click', async () => {
  const button = $('scan');
  button.disabled = true;
  button.textContent = 'Scanning…';
  try {
    const found = await call('POST', '/api/scan', {});
    const options = [...found.corvanes.map((port) => ['corvane', port]), ...found.handles.map((port) => ['handle', port])];
    $('found').replaceChildren(...(options.length
      ? options.map(([kind, port]) => Object.assign(document.createElement('option'), { value: `${kind} ${port}`, textContent: `${kind}: ${port}` }))
      : [Object.assign(document.createElement('option'), { value: '', textContent: 'nothing found' })]));
    $('found').dispatchEvent(new Event('change'));
  } catch (error) {
    notify(error.message);
  } finally {
    button.disabled = false;
    button.textContent = 'Scan for devices';
  }
});

$('found').addEventListener('change', () => {
  const [kind, port] = $('found').value.split(' ');
  if (!port) return;
  $('open-kind').value = kind;
  $('open-port').value = port;
});

$('open-form').addEventListener('submit', async (event) => {
  event.preventDefault();
  try {
    await call('POST', '/api/devices', { kind: $('open-kind').value, port: $('open-port').value.trim() });
    notify('');
  } catch (error) {
    notify(error.message);
  }
});

// A new link opened in this tab changes only the fragment, which loads nothing: start afresh
// with it, as a new page.
window.addEventListener('hashchange', () => location.reload());

// The browser tests read what the page shows, and ask as the page asks, through this.
window.orvexDesk = { panels, call };
openSession().then((id) => {
  page = id;
  window.orvexDesk.page = id;
  connect();
  startHeartbeat();
}, (error) => sessionEnded(error.status === 401
  ? `${error.message[0].toUpperCase()}${error.message.slice(1)}.` : `The desk did not answer: ${error.message}.`));
