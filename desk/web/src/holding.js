// One hand on each device: this page changes only the devices it holds. A device another page
// holds is shown read-only, with a notice and a button to take it over; a page that loses a
// device to another says so at once. Stopping a running loop stays possible: it only lets go.
import { call } from './api.js';
import { el } from './dom.js';

export class Holding {
  constructor(panel, page, notify) {
    this.panel = panel;
    this.page = page;
    this.notify = notify;
    this.mine = false;
    this.readOnly = null;
    this.text = el('span');
    this.bar = el('p', { class: 'holding' }, this.text,
      el('button', { type: 'button', name: 'take-over', text: 'Take over', onclick: () => this.takeOver() }));
    this.bar.hidden = true;
    panel.element.querySelector('header').after(this.bar);
  }

  update(device) {
    const mine = device.holder === this.page;
    const other = device.holder !== null && !mine;
    if (this.mine && other) this.notify(`Another page (${device.holder}) took over ${device.id}: this page only shows it now.`);
    this.mine = mine;
    this.text.textContent = `Read-only: another page (${device.holder}) holds ${device.id}.`;
    this.bar.hidden = !other;
    const stoppable = other && device.running;
    if (this.readOnly === other && this.stoppable === stoppable) return;
    this.readOnly = other;
    this.stoppable = stoppable;
    this.panel.element.classList.toggle('read-only', other);
    for (const control of this.panel.element.querySelectorAll('button, input, select')) {
      if (this.bar.contains(control)) continue;
      control.disabled = other && !(stoppable && control === this.panel.toggle);
    }
  }

  async takeOver() {
    try {
      const device = await call('POST', `/api/devices/${this.panel.id}/holder`, {});
      this.panel.update(device);
      this.update(device);
    } catch (error) {
      this.notify(error.message);
    }
  }
}
