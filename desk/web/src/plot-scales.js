// How a live plot's value axis is scaled and labelled: pure functions, so the page's plots and
// their tests share them.

// The y range for data between min and max: at least `smallest` wide, centred on the data, so
// that a signal at rest (a force of some millinewtons, a position still to the micrometre) draws
// flat instead of its noise filling the plot; then padded as uPlot pads.
export function valueRange(min, max, smallest, pad) {
  if (max - min < smallest) {
    const middle = (min + max) / 2;
    return pad(middle - smallest / 2, middle + smallest / 2);
  }
  return pad(min, max);
}

// The decimals a tick step needs to be written exactly (0.25 needs two), at most 12.
function decimalsOf(step) {
  for (let decimals = 0; decimals < 12; decimals += 1) {
    const scaled = step * 10 ** decimals;
    if (Math.abs(scaled - Math.round(scaled)) < 1e-6 * scaled) return decimals;
  }
  return 12;
}

// Tick labels with as many decimals as the step between ticks needs, and a zero never "-0".
export function tickLabels(ticks, step) {
  const decimals = decimalsOf(step);
  return ticks.map((value) => {
    if (value == null) return '';
    const text = value.toFixed(decimals);
    return /^-0(\.0*)?$/.test(text) ? text.slice(1) : text;
  });
}
