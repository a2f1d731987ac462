// Live time series over the last seconds, and a histogram, both drawn by uPlot.
import uPlot from 'uplot';
import { tickLabels, valueRange } from './plot-scales.js';

const AXIS_COLOURS = ['#d1495b', '#2e9c6a', '#2f6fb7'];
export const WINDOW_S = 10;

function sized(host, height) {
  return { width: Math.max(host.clientWidth, 280), height };
}

// With no data uPlot has no range and draws no axes: an empty plot shows the window it will fill.
const EMPTY_RANGE = { x: [0, WINDOW_S], y: [-1, 1] };

function rangeOf(axis, smallest = 0) {
  return (u, min, max) => (min == null || max == null ? EMPTY_RANGE[axis]
    : valueRange(min, max, smallest, (low, high) => uPlot.rangeNum(low, high, 0.1, true)));
}

export class TimePlot {
  // smallest: the narrowest span of values shown (in the unit); hint: what the empty plot says,
  // e.g. how to start what fills it.
  constructor(host, title, unit, names, { smallest = 0, hint = '' } = {}) {
    this.host = host;
    this.data = [[], ...names.map(() => [])];
    this.hint = document.createElement('p');
    this.hint.className = 'plot-hint';
    this.hint.textContent = hint;
    this.plot = new uPlot({
      title: `${title} (${unit})`,
      ...sized(host, 170),
      legend: { live: false },
      cursor: { show: false },
      scales: { x: { time: false, range: rangeOf('x') }, y: { range: rangeOf('y', smallest) } },
      axes: [
        { label: 'time (s)', size: 36, labelSize: 16 },
        { size: 56, values: (u, ticks, axis, space, step) => tickLabels(ticks, step) },
      ],
      series: [{ label: 't' }, ...names.map((name, i) => ({
        label: name, stroke: AXIS_COLOURS[i], width: 1.5, points: { show: false },
      }))],
    }, this.data, host);
    host.classList.add('hinted');
    host.append(this.hint);
    this.showHint();
    new ResizeObserver(() => this.plot.setSize(sized(host, 170))).observe(host);
  }

  showHint() {
    this.hint.hidden = !this.hint.textContent || this.data[0].length > 0;
  }

  // rows: [time, ...values]; the window ends at the newest row.
  append(rows) {
    if (!rows.length) return;
    for (const row of rows) row.forEach((value, i) => this.data[i].push(value));
    const from = this.data[0].findIndex((t) => t >= this.data[0].at(-1) - WINDOW_S);
    if (from > 0) this.data = this.data.map((column) => column.slice(from));
    this.plot.setData(this.data);
    this.showHint();
  }

  clear() {
    this.data = this.data.map(() => []);
    this.plot.setData(this.data);
    this.showHint();
  }
}

export class Histogram {
  constructor(host, title) {
    this.host = host;
    this.plot = new uPlot({
      title,
      ...sized(host, 150),
      legend: { show: false },
      cursor: { show: false },
      scales: { x: { time: false } },
      axes: [{ label: 'exchange time (µs)', size: 36, labelSize: 16 }, { size: 56 }],
      series: [{}, {
        label: 'cycles', fill: '#7aa6d6', stroke: '#2f6fb7', width: 1,
        paths: uPlot.paths.bars({ size: [0.9, 100] }), points: { show: false },
      }],
    }, [[], []], host);
    new ResizeObserver(() => this.plot.setSize(sized(host, 150))).observe(host);
  }

  show({ bin_us: bin, counts }) {
    this.plot.setData([counts.map((_, i) => (i + 0.5) * bin), counts]);
  }
}
