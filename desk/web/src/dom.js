// Tiny helpers for building the panels' markup.

export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [key, value] of Object.entries(attributes)) {
    if (key === 'class') node.className = value;
    else if (key === 'text') node.textContent = value;
    else if (key.startsWith('on')) node.addEventListener(key.slice(2), value);
    else node.setAttribute(key, value);
  }
  node.append(...children.filter((child) => child !== null && child !== undefined));
  return node;
}

// A definition list of label/value pairs whose values can be updated by key.
export function facts(entries) {
  const list = el('dl', { class: 'facts' });
  const values = {};
  for (const [key, label] of entries) {
    values[key] = el('dd', { text: '–' });
    list.append(el('dt', { text: label }), values[key]);
  }
  return { list, set: (key, text) => { values[key].textContent = text; } };
}

export function numberInput(label, unit, value, step, name) {
  const input = el('input', { type: 'number', step: String(step), value: String(value), name, 'aria-label': label });
  return { input, field: el('label', { class: 'field' }, el('span', { text: label }), input, el('small', { text: unit })) };
}

export function readNumber(input) {
  // An empty or unparsable field goes to the desk as its text, so the desk names the problem.
  const value = input.valueAsNumber;
  return Number.isFinite(value) ? value : input.value;
}

export function fixed(value, digits) {
  return value === null || value === undefined ? '–' : Number(value).toFixed(digits);
}
