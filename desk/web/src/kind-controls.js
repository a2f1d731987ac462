// The controls of one kind of effect or shape, built from its entry in the desk's schema (the
// desk checks requests against the same entry). A flag parameter becomes a checkbox for the
// fieldset's legend; numbers and vectors become number fields named PREFIX-NAME(-AXIS).
import { el, numberInput, readNumber } from './dom.js';

const AXES = ['x', 'y', 'z'];

export function kindControls(prefix, kind, values = {}) {
  const fields = [];
  const readers = {};
  let flag = null;
  for (const p of kind.parameters) {
    const value = values[p.name] ?? p.default;
    const name = `${prefix}-${p.name.replaceAll('_', '-')}`;
    if (p.type === 'flag') {
      flag = el('input', { type: 'checkbox', name });
      flag.checked = Boolean(value);
      readers[p.name] = () => flag.checked;
    } else if (p.type === 'vector') {
      const inputs = AXES.map((axis, i) => numberInput(`${p.label} ${axis}`, p.unit, value[i], p.step, `${name}-${axis}`));
      fields.push(...inputs.map((input) => input.field));
      readers[p.name] = () => inputs.map((input) => readNumber(input.input));
    } else {
      const input = numberInput(p.label, p.unit, value, p.step, name);
      fields.push(input.field);
      readers[p.name] = () => readNumber(input.input);
    }
  }
  const read = () => Object.fromEntries(Object.entries(readers).map(([key, reader]) => [key, reader()]));
  return { fields, flag, read };
}
