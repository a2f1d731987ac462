// A handle's card: information, the grip in 3D turning with its quaternion, trigger and error
// flag, message rate, and the two commands a user can send.
import { call } from './api.js';
import { el, facts, fixed } from './dom.js';
import { THREE, View3D } from './scene.js';

export class HandlePanel {
  constructor(device, notify) {
    this.id = device.id;
    this.notify = notify;
    this.info = facts([['device_id', 'Device id'], ['model', 'Model'], ['hardware', 'Hardware'],
      ['firmware', 'Firmware'], ['port', 'Port']]);
    this.figures = facts([['rate', 'Status rate'], ['messages', 'Messages'], ['errors', 'Error replies'],
      ['dropped', 'Dropped'], ['orientation', 'Quaternion w x y z'], ['user_data', 'User data']]);
    this.status = el('span', { class: 'pill off', text: 'waiting' });
    this.errorFlag = el('span', { class: 'pill off', text: 'error flag 0' });
    this.triggerFill = el('div', { class: 'bar-fill' });
    this.triggerText = el('span', { class: 'bar-text', text: '–' });
    this.userData = el('input', { name: 'user-data', maxlength: '255', placeholder: 'text sent as user data', 'aria-label': 'User data' });
    this.sceneHost = el('div', { class: 'scene', title: 'Grip orientation' });
    this.level = null;
    this.quaternion = null;
    this.element = el('section', { class: 'card device handle', id: `panel-${this.id}` },
      el('header', {}, el('h2', { text: `Handle · ${this.id}` }), this.status, this.errorFlag),
      el('div', { class: 'columns' },
        el('div', { class: 'column narrow' }, el('h3', { text: 'Device' }), this.info.list),
        el('div', { class: 'column narrow' }, el('h3', { text: 'Grip' }), this.sceneHost),
        el('div', { class: 'column narrow' },
          el('h3', { text: 'Trigger (hall-effect level, 0–255)' }),
          el('div', { class: 'bar', role: 'meter', 'aria-label': 'Trigger level' }, this.triggerFill, this.triggerText),
          el('h3', { text: 'Messages' }), this.figures.list,
          el('form', { class: 'send', onsubmit: (event) => { event.preventDefault(); this.sendState(); } },
            this.userData, el('button', { type: 'submit', text: 'Send user data' }),
            el('button', { type: 'button', name: 'request-status', text: 'Request status', onclick: () => this.requestStatus() })))));
  }

  mounted(device) {
    this.view = new View3D(this.sceneHost, { cameraAt: [0.26, -0.3, 0.16] });
    this.grip = buildGrip();
    this.view.scene.add(this.grip);
    this.update(device);
  }

  async sendState() {
    try {
      await call('POST', `/api/devices/${this.id}/state`, { device_id: this.deviceId ?? 0, user_data: this.userData.value });
    } catch (error) {
      this.notify(error.message);
    }
  }

  async requestStatus() {
    try {
      await call('POST', `/api/devices/${this.id}/status`, {});
    } catch (error) {
      this.notify(error.message);
    }
  }

  update(device) {
    this.info.set('port', device.port);
    if (device.info) {
      this.deviceId = device.info.device_id;
      this.info.set('device_id', device.info.device_id);
      this.info.set('model', device.info.device_model_number);
      this.info.set('hardware', device.info.hardware_version);
      this.info.set('firmware', device.info.firmware_version);
    }
    this.status.textContent = device.running ? 'listening' : `stopped${device.stop_reason ? `: ${device.stop_reason}` : ''}`;
    this.status.className = `pill ${device.running ? 'on' : 'bad'}`;
    const s = device.stats;
    if (s) {
      this.figures.set('rate', `${fixed(s.rate_hz, 1)} /s`);
      this.figures.set('messages', s.messages);
      this.figures.set('errors', s.errors);
      this.figures.set('dropped', s.dropped);
    }
    const latest = device.latest;
    if (latest) {
      this.deviceId = latest.device_id;
      const [w, x, y, z] = latest.quaternion;
      this.quaternion = latest.quaternion;
      this.grip.quaternion.set(x, y, z, w).normalize();
      this.level = latest.hall_effect_sensor_level;
      this.triggerFill.style.width = `${(100 * this.level) / 255}%`;
      this.triggerText.textContent = String(this.level);
      this.errorFlag.textContent = `error flag ${latest.error_flag}`;
      this.errorFlag.className = `pill ${latest.error_flag ? 'bad' : 'off'}`;
      this.figures.set('orientation', latest.quaternion.map((v) => fixed(v, 3)).join(' '));
      this.figures.set('user_data', latest.user_data ? JSON.stringify(latest.user_data) : '(none)');
    }
    this.view?.render();
  }
}

// A grip along its own x axis: a rounded body, a trigger underneath, a marker on top.
function buildGrip() {
  const grip = new THREE.Group();
  const body = new THREE.Mesh(new THREE.CapsuleGeometry(0.022, 0.12, 8, 24),
    new THREE.MeshStandardMaterial({ color: 0x3b4a5e, roughness: 0.5 }));
  body.rotation.z = Math.PI / 2;
  grip.add(body);
  const trigger = new THREE.Mesh(new THREE.BoxGeometry(0.03, 0.012, 0.03),
    new THREE.MeshStandardMaterial({ color: 0xd1495b }));
  trigger.position.set(0.03, 0, -0.03);
  grip.add(trigger);
  const marker = new THREE.Mesh(new THREE.ConeGeometry(0.01, 0.025, 16),
    new THREE.MeshStandardMaterial({ color: 0x2e9c6a }));
  marker.rotation.z = -Math.PI / 2;
  marker.position.set(0.095, 0, 0);
  grip.add(marker);
  grip.add(new THREE.AxesHelper(0.06));
  return grip;
}
