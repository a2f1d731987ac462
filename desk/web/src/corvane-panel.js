// A Corvane's card: information, servo loop and effects, live plots, the arm in 3D, loop figures.
import { call } from './api.js';
import { el, facts, fixed, numberInput, readNumber } from './dom.js';
import { kindControls } from './kind-controls.js';
import { Histogram, TimePlot } from './plots.js';
import { SceneShapes } from './scene-shapes.js';
import { THREE, View3D } from './scene.js';
import { ShapeEditor } from './shape-editor.js';

const WORKSPACE_M = 0.1;

export class CorvanePanel {
  constructor(device, notify) {
    this.id = device.id;
    this.notify = notify;
    this.info = facts([['device_id', 'Device id'], ['model', 'Model'], ['hardware', 'Hardware'],
      ['firmware', 'Firmware'], ['uuid', 'UUID'], ['port', 'Port']]);
    this.figures = facts([['rate', 'Loop rate'], ['cycles', 'Cycles'], ['missed', 'Missed deadlines'],
      ['late', 'Wake-up lateness p99'], ['exchange', 'Exchange p50 / p99 / max'],
      ['clamped', 'Clamped cycles'], ['watchdog', 'Watchdog trips']]);
    this.status = el('span', { class: 'pill off', text: 'stopped' });
    this.toggle = el('button', { type: 'button', class: 'primary', text: 'Start loop', onclick: () => this.setRunning(!this.running) });
    this.running = false;
    this.controls = this.buildControls(device);
    this.plotHosts = [el('div', { class: 'plot' }), el('div', { class: 'plot' }), el('div', { class: 'plot' })];
    this.sceneHost = el('div', { class: 'scene', title: 'End effector in its workspace' });
    this.histogramHost = el('div', { class: 'plot' });
    this.element = el('section', { class: 'card device corvane', id: `panel-${this.id}` },
      el('header', {}, el('h2', { text: `Corvane · ${this.id}` }), this.status, this.toggle),
      el('div', { class: 'columns' },
        el('div', { class: 'column narrow' }, el('h3', { text: 'Device' }), this.info.list,
          el('h3', { text: 'Effects' }), this.controls.form),
        el('div', { class: 'column wide' }, ...this.plotHosts),
        el('div', { class: 'column narrow' }, el('h3', { text: 'Workspace (±0.1 m)' }), this.sceneHost,
          el('h3', { text: 'Loop' }), this.figures.list, this.histogramHost)));
  }

  // Charts and the 3D view need their card in the page to know their size.
  mounted(device) {
    const hint = 'The loop is stopped: press Start loop to plot';
    // The narrowest spans: a millimetre, a centimetre a second, a tenth of a newton.
    this.plots = [
      new TimePlot(this.plotHosts[0], 'Position', 'm', ['x', 'y', 'z'], { smallest: 0.001, hint }),
      new TimePlot(this.plotHosts[1], 'Velocity', 'm/s', ['vx', 'vy', 'vz'], { smallest: 0.01, hint }),
      new TimePlot(this.plotHosts[2], 'Commanded force', 'N', ['fx', 'fy', 'fz'], { smallest: 0.1, hint }),
    ];
    this.histogram = new Histogram(this.histogramHost, 'Exchange times since start');
    this.buildScene();
    this.update(device);
  }

  // One fieldset per kind of effect, as the desk's schema describes it; then the test force and
  // the scene's shapes.
  buildControls(device) {
    const effects = Object.entries(device.schema.effects).map(([name, kind]) => [name, kind, kindControls(name, kind, device.settings[name])]);
    const force = ['x', 'y', 'z'].map((axis, i) => numberInput(`F${axis}`, 'N', device.settings.force[i], 0.5, `force-${axis}`));
    this.shapes = new ShapeEditor(device.schema, (shapes) => this.applyEffects({ shapes }));
    const form = el('form', { class: 'effects', onsubmit: (event) => { event.preventDefault(); this.applyEffects(); } },
      ...effects.map(([, kind, controls]) => el('fieldset', {},
        el('legend', {}, el('label', {}, controls.flag, ` ${kind.label}`)), ...controls.fields)),
      el('fieldset', {}, el('legend', { text: `Test force (limit ${device.max_force} N by length)` }), ...force.map((f) => f.field)),
      el('button', { type: 'submit', name: 'apply', text: 'Apply effects' }),
      this.shapes.element);
    const read = () => ({
      ...Object.fromEntries(effects.map(([name, , controls]) => [name, controls.read()])),
      force: force.map((f) => readNumber(f.input)),
    });
    return { form, read };
  }

  buildScene() {
    this.view = new View3D(this.sceneHost, { cameraAt: [0.39, -0.32, 0.24] });
    const { scene } = this.view;
    const cube = new THREE.BoxGeometry(2 * WORKSPACE_M, 2 * WORKSPACE_M, 2 * WORKSPACE_M);
    scene.add(new THREE.LineSegments(new THREE.EdgesGeometry(cube), new THREE.LineBasicMaterial({ color: 0x8795a8 })));
    scene.add(new THREE.AxesHelper(0.05));
    this.effector = new THREE.Mesh(new THREE.SphereGeometry(0.008, 24, 16), new THREE.MeshStandardMaterial({ color: 0xd1495b }));
    scene.add(this.effector);
    this.wall = new THREE.Mesh(new THREE.PlaneGeometry(2 * WORKSPACE_M, 2 * WORKSPACE_M),
      new THREE.MeshStandardMaterial({ color: 0x2f6fb7, transparent: true, opacity: 0.28, side: THREE.DoubleSide }));
    this.wall.rotation.y = Math.PI / 2;
    scene.add(this.wall);
    this.sceneShapes = new SceneShapes(scene, WORKSPACE_M);
    this.arrow = new THREE.ArrowHelper(new THREE.Vector3(1, 0, 0), new THREE.Vector3(), 0.001, 0x2e9c6a);
    scene.add(this.arrow);
    // Under --emulate, the emulator's hand drags the arm.
    call('GET', '/api/hand').then(({ available }) => available && this.view.dragHand(this.effector,
      (target) => call('POST', '/api/hand', { move_to: target }),
      () => call('POST', '/api/hand', { release: true }))).catch(() => {});
  }

  async setRunning(running) {
    // A loop starts only with the effects shown in the form, or not at all.
    if (running && !(await this.applyEffects())) return;
    try {
      this.update(await call('POST', `/api/devices/${this.id}/loop`, { running }));
    } catch (error) {
      this.notify(error.message);
    }
  }

  async applyEffects(settings = this.controls.read()) {
    try {
      this.update(await call('PUT', `/api/devices/${this.id}/effects`, settings));
      return true;
    } catch (error) {
      this.notify(error.message);
      return false;
    }
  }

  update(device) {
    const i = device.info;
    this.info.set('device_id', i.device_id);
    this.info.set('model', i.device_model_number);
    this.info.set('hardware', i.hardware_version);
    this.info.set('firmware', i.firmware_version);
    this.info.set('uuid', i.device_id_ext);
    this.info.set('port', device.port);
    if (this.running !== device.running && device.running) this.plots?.forEach((plot) => plot.clear());
    this.running = device.running;
    this.toggle.textContent = device.running ? 'Stop loop' : 'Start loop';
    this.status.textContent = device.running ? 'loop running' : (device.stop_reason ? `stopped: ${device.stop_reason}` : 'stopped');
    this.status.className = `pill ${device.running ? 'on' : (device.stop_reason && device.stop_reason !== 'stop' ? 'bad' : 'off')}`;
    const wall = device.settings.wall;
    if (this.wall) {
      this.wall.visible = wall.enabled;
      this.wall.position.x = wall.position;
    }
    this.shapes.show(device.settings.shapes);
    this.sceneShapes?.show(device.settings.shapes, device.state);
    if (device.rows?.length) {
      this.plots[0].append(device.rows.map((r) => [r[0], r[1], r[2], r[3]]));
      this.plots[1].append(device.rows.map((r) => [r[0], r[4], r[5], r[6]]));
      this.plots[2].append(device.rows.map((r) => [r[0], r[7], r[8], r[9]]));
    }
    this.state = device.state;
    if (device.state && this.effector) {
      this.effector.position.set(...device.state.position);
      const f = new THREE.Vector3(...device.state.force);
      const length = f.length();
      this.arrow.visible = length > 1e-3;
      if (this.arrow.visible) {
        this.arrow.position.copy(this.effector.position);
        this.arrow.setDirection(f.normalize());
        this.arrow.setLength(0.01 + 0.006 * length, 0.01, 0.006);
      }
    }
    this.view?.render();
    if (device.stats) this.showStats(device.stats, device.histogram);
  }

  showStats(s, histogram) {
    this.figures.set('rate', `${fixed(s.rate_hz, 1)} Hz`);
    this.figures.set('cycles', s.cycles);
    this.figures.set('missed', s.missed);
    this.figures.set('late', `${fixed(s.late_p99_us, 0)} µs`);
    this.figures.set('exchange', `${fixed(s.exchange_p50_us, 0)} / ${fixed(s.exchange_p99_us, 0)} / ${fixed(s.exchange_max_us, 0)} µs`);
    this.figures.set('clamped', s.clamped);
    this.figures.set('watchdog', s.watchdog_trips);
    if (histogram) this.histogram.show(histogram);
  }

  // For the browser tests: what the position plot shows now.
  plotted() {
    return this.plots[0].data;
  }
}
