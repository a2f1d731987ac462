// The desk's page: opens devices, follows the live event stream and keeps one card per device.
import 'uplot/dist/uPlot.min.css';
import './desk.css';
import { call, EVENTS_URL } from './api.js';
import { CorvanePanel } from './corvane-panel.js';
import { HandlePanel } from './handle-panel.js';
import { startHeartbeat } from './heartbeat.js';
import { MessageLog } from './message-log.js';

const panels = new Map();
const $ = (id) => document.getElementById(id);
const log = new MessageLog($('log-lines'), $('log-pause'), $('log-clear'));

function notify(message) {
  const notice = $('notice');
  notice.textContent = message;
  notice.hidden = !message;
  clearTimeout(notify.timer);
  if (message) notify.timer = setTimeout(() => { notice.hidden = true; }, 8000);
}

function show(devices) {
  for (const device of devices) {
    let panel = panels.get(device.id);
    if (!panel) {
      panel = device.kind === 'corvane' ? new CorvanePanel(device, notify) : new HandlePanel(device, notify);
      panels.set(device.id, panel);
      $('devices').append(panel.element);
      panel.mounted(device);
    } else {
      panel.update(device);
    }
  }
  const open = new Set(devices.map((device) => device.id));
  for (const [id, panel] of panels) {
    if (!open.has(id)) { panel.element.remove(); panels.delete(id); }
  }
  $('empty').hidden = panels.size > 0;
}

function connect() {
  const events = new EventSource(EVENTS_URL);
  const state = $('connection');
  events.addEventListener('hello', (event) => {
    const hello = JSON.parse(event.data);
    state.textContent = 'connected';
    state.className = 'pill on';
    show(hello.devices);
    log.add(hello.log);
  });
  events.addEventListener('update', (event) => {
    const frame = JSON.parse(event.data);
    show(frame.devices);
    log.add(frame.log);
  });
  events.onerror = () => {
    state.textContent = 'disconnected, retrying…';
    state.className = 'pill bad';
  };
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

// The browser tests read what the page shows through this.
window.orvexDesk = { panels };
connect();
startHeartbeat();
