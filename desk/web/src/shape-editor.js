// The scene's shapes on a Corvane's card: pick a kind, set its geometry and material, add it;
// remove any shape. The controls come from the desk's schema of shape kinds.
import { el } from './dom.js';
import { kindControls } from './kind-controls.js';

export class ShapeEditor {
  constructor(schema, onChange) {
    this.schema = schema;
    this.onChange = onChange;
    this.shapes = [];
    this.kind = el('select', { name: 'shape-kind', onchange: () => this.showKind() },
      ...Object.entries(schema.shapes).map(([key, kind]) => el('option', { value: key, text: kind.label })));
    this.fields = el('div', { class: 'shape-fields' });
    this.list = el('ul', { class: 'shapes' });
    this.element = el('fieldset', {}, el('legend', { text: `Scene (up to ${schema.max_shapes} shapes)` }),
      el('label', { class: 'field' }, el('span', { text: 'Kind' }), this.kind), this.fields,
      el('button', { type: 'button', name: 'add-shape', text: 'Add shape', onclick: () => this.add() }),
      this.list);
    this.showKind();
  }

  showKind() {
    this.controls = kindControls('shape', this.schema.shapes[this.kind.value]);
    this.fields.replaceChildren(...this.controls.fields);
  }

  add() {
    this.onChange([...this.shapes, { kind: this.kind.value, ...this.controls.read() }]);
  }

  // The shapes as the desk holds them.
  show(shapes) {
    if (JSON.stringify(shapes) === JSON.stringify(this.shapes)) return;
    this.shapes = shapes;
    this.list.replaceChildren(...shapes.map((shape, index) => el('li', {},
      el('span', { text: `${this.schema.shapes[shape.kind].label.split(' ')[0]}, ${shape.stiffness} N/m` +
        (shape.static_friction ? `, friction ${shape.static_friction}/${shape.dynamic_friction}` : '') }),
      el('button', { type: 'button', name: `remove-shape-${index}`, text: '×', title: 'Remove',
        onclick: () => this.onChange(shapes.filter((_, i) => i !== index)) }))));
  }
}
