// The message log: what the desk sent and received, decoded; paused, it stops scrolling.
import { el } from './dom.js';

const SHOWN = 400;

export class MessageLog {
  constructor(lines, pause, clear) {
    this.lines = lines;
    this.pause = pause;
    this.held = [];
    clear.addEventListener('click', () => { this.lines.replaceChildren(); this.held = []; });
    pause.addEventListener('change', () => { if (!pause.checked) this.add([]); });
  }

  add(entries) {
    this.held.push(...entries);
    if (this.pause.checked || !this.held.length) return;
    const rows = this.held.slice(-SHOWN).map((entry) => el('div', { class: `line ${entry.direction}` },
      el('time', { text: new Date(entry.time * 1000).toISOString().slice(11, 23) }),
      el('span', { class: 'who', text: entry.device }),
      el('span', { class: 'dir', text: { sent: '→ sent', received: '← received', note: '· desk' }[entry.direction] }),
      el('span', { class: 'what', text: entry.text })));
    this.held = [];
    this.lines.append(...rows);
    while (this.lines.childElementCount > SHOWN) this.lines.firstElementChild.remove();
    this.lines.scrollTop = this.lines.scrollHeight;
  }
}
