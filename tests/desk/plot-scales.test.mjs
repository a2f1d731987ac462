// The live plots' value axes: labels that tell ticks apart at any scale, and a force at rest
// drawn flat rather than its noise filling the plot.
//   node --test tests/desk/
import assert from 'node:assert/strict';
import { test } from 'node:test';
import { tickLabels, valueRange } from '../../desk/web/src/plot-scales.js';

const cases = [
  // A resting arm's force, a fraction of a millinewton either side of zero.
  { ticks: [-0.0004, -0.0002, 0, 0.0002], step: 0.0002, labels: ['-0.0004', '-0.0002', '0.0000', '0.0002'] },
  { ticks: [-0.5, -0.25, 0, 0.25, 0.5], step: 0.25, labels: ['-0.50', '-0.25', '0.00', '0.25', '0.50'] },
  { ticks: [-2, 0, 2, 4], step: 2, labels: ['-2', '0', '2', '4'] },
  // A tick that lands a rounding error below zero.
  { ticks: [-0.1, -1e-17, 0.1], step: 0.1, labels: ['-0.1', '0.0', '0.1'] },
  { ticks: [0.00001, 0.00003, null], step: 0.00002, labels: ['0.00001', '0.00003', ''] },
];

for (const { ticks, step, labels } of cases) {
  test(`ticks ${step} apart are labelled ${labels.join(', ')}`, () => {
    assert.deepEqual(tickLabels(ticks, step), labels);
    const distinct = labels.filter((label) => label !== '');
    assert.equal(new Set(distinct).size, distinct.length, 'two ticks read alike');
  });
}

test('a span narrower than the smallest is widened about its middle', () => {
  const asked = [];
  const pad = (low, high) => { asked.push([low, high]); return [low, high]; };
  const [low, high] = valueRange(-0.0003, 0.0001, 0.1, pad);
  assert.ok(Math.abs(high - low - 0.1) < 1e-12);
  assert.ok(Math.abs((low + high) / 2 + 0.0001) < 1e-12);
  assert.deepEqual(valueRange(-2, 3, 0.1, pad), [-2, 3], 'a wider span is kept');
  assert.equal(asked.length, 2);
});
