// Building blocks of the console's sections: the search bar, tables, trees and the attribute
// editor that users, groups, resources, net clients and the domain share.
import { x } from '../common/orvane.js';
import { h, field, select, onSubmit, confirmDialog, fieldError, uid } from '../common/ui.js';
import * as data from './data.js';

// A search bar over a *Search pattern; calls onSearch(text) on submit.
export function searchBar(label, onSearch) {
  const id = uid('search');
  const input = h('input', { type: 'search', id, name: 's', placeholder: 'regular expression, empty lists all' });
  const form = h('form', { class: 'toolbar', role: 'search' },
    h('div', { class: 'field', dataset: { field: 'search' } }, h('label', { for: id }, label), input,
      h('p', { class: 'field-error', 'aria-live': 'polite' })),
    h('button', { type: 'submit', class: 'secondary' }, 'Search'));
  onSubmit(form, () => {
    try {
      RegExp(input.value);
    } catch {
      throw fieldError('search', 'this is not a valid regular expression');
    }
    return onSearch(input.value);
  });
  form.value = () => input.value;
  return form;
}

// A table: columns [{label, cell(row) -> node|text, opt}]; with an action, each row's first cell
// is a button that runs it.
export function table(caption, columns, rows, action) {
  if (!rows.length) return h('p', { class: 'muted' }, 'Nothing found.');
  return h('div', { class: 'table-wrap' }, h('table', {},
    h('caption', { class: 'visually-hidden' }, caption),
    h('thead', {}, h('tr', {}, columns.map((c) => h('th', { scope: 'col', class: c.opt ? 'opt' : null }, c.label)))),
    h('tbody', {}, rows.map((r) => h('tr', { dataset: { id: r.id }, class: action?.selected === r.id ? 'selected' : null },
      columns.map((c, i) => h('td', { class: c.opt ? 'opt' : null }, i === 0 && action
        ? h('button', { type: 'button', class: 'link', onclick: () => action.run(r), title: `${action.label} ${action.name(r)}`, 'aria-current': action.selected === r.id ? 'true' : null }, c.cell(r))
        : c.cell(r))))))));
}

// A tree of buttons: nodes from data.forest; label(item) text; onSelect(item).
export function tree(label, f, text, onSelect, selectedId, extra) {
  const seen = new Set();
  const branch = (items) => h('ul', {}, items.map((it) => {
    const loop = seen.has(it.id);
    seen.add(it.id);
    const kids = loop ? [] : f.childrenOf(it.id);
    const li = h('li', {},
      h('button', { type: 'button', class: 'node', 'aria-pressed': String(String(it.id) === String(selectedId)), onclick: () => onSelect(it) }, text(it)),
      extra ? extra(it) : null,
      kids.length ? branch(kids) : null);
    seen.delete(it.id);
    return li;
  }));
  const root = branch(f.roots);
  root.className = 'tree';
  root.setAttribute('aria-label', label);
  return root;
}

export const badge = (text, kind) => h('span', { class: `badge ${kind || ''}` }, text);

export function fmtFlags(flags, names) {
  return Object.entries(names).filter(([bit]) => flags & Number(bit)).map(([, n]) => badge(n));
}

// Value types of attributes and how a value is typed in.
export const ATTR_TYPES = [
  { value: 1, label: 'boolean' }, { value: 2, label: 'number' }, { value: 3, label: 'decimal' },
  { value: 4, label: 'string' }, { value: 5, label: 'binary (base64)' },
];
export const typeName = (t) => ATTR_TYPES.find((a) => a.value === Number(t))?.label || String(t);

// The domain settings' rules, checked before the server checks them again.
export const SETTING_RULES = {
  ssoWebPortal: { text: 'path of the single-sign-on portal' },
  expireTokenSec: { text: 'token idle lifetime in seconds; at least 60', min: 60 },
  maxAttrValueLenMB: { text: 'largest request (root domain) in MiB; at least 1', min: 1 },
  managementApiNcOnly: { text: 'management commands only from net clients' },
  authenticationApiNcOnly: { text: 'authentication commands only from net clients' },
  authorizationApiNcOnly: { text: 'authorization commands only from net clients' },
  nssProfilesApiNcOnly: { text: 'NSS lookups only from net clients' },
  passwordMinLength: { text: 'shortest password; at least 1', min: 1 },
  passwordExpireDays: { text: 'password lifetime in days; at least 1', min: 1 },
  passwordMustCapital: { text: 'passwords need a capital letter' },
  passwordMustDigit: { text: 'passwords need a digit' },
  passwordMustLetter: { text: 'passwords need a letter' },
  passwordMustSpecSymbol: { text: 'passwords need a symbol' },
};

function checkValue(type, value, rule) {
  if (type === 2 && !/^-?\d+$/.test(value)) throw fieldError('value', 'a number is needed');
  if (type === 3 && Number.isNaN(Number(value))) throw fieldError('value', 'a decimal number is needed');
  if (type === 5 && !/^[A-Za-z0-9+/=\s]*$/.test(value)) throw fieldError('value', 'base64 text is needed');
  if (rule?.min !== undefined && Number(value) < rule.min) throw fieldError('value', `the value must be at least ${rule.min}`);
}

function valueControl(type, value) {
  if (type === 1) return select('value', [{ value: '1', label: 'true' }, { value: '0', label: 'false' }], value === '1' ? '1' : '0');
  const c = type === 4 || type === 5 ? h('textarea', { name: 'value', rows: 2 }) : h('input', { name: 'value', type: 'text' });
  c.value = value;
  return c;
}

// The attributes of one target (targettype 0..4, target id) with search, edit, add and remove.
export function attributePanel(session, targettype, target, title, announce) {
  const box = h('section', { class: 'panel attributes', 'aria-label': title });
  let pattern = '';
  let editing = null;

  async function load() {
    const list = await data.attributes(session, targettype, target, pattern);
    const own = list.filter((a) => !(a.flags & 16));
    box.replaceChildren(h('h2', {}, title),
      searchBar('Search attributes', (s) => { pattern = s; return load(); }),
      table(title, [
        { label: 'Name', cell: (a) => [a.name, a.flags & 1 ? badge('system') : null, a.flags & 4 ? badge('immune') : null, a.flags & 16 ? badge('inherited') : null] },
        { label: 'Type', cell: (a) => typeName(a.type), opt: true },
        { label: 'Value', cell: (a) => h('span', { class: 'mono' }, a.type === 1 ? (a.value === '1' ? 'true' : 'false') : a.value) },
        { label: 'Rule', cell: (a) => (targettype === 0 && SETTING_RULES[a.name] ? SETTING_RULES[a.name].text : ''), opt: true },
      ], list, { label: 'Edit', name: (a) => a.name, run: (a) => { editing = a; load(); }, selected: editing?.id }),
      editing && !(editing.flags & 16) ? editForm(editing) : addForm(own));
  }

  function editForm(a) {
    const rule = targettype === 0 ? SETTING_RULES[a.name] : null;
    const system = (a.flags & 1) !== 0;
    const form = h('form', { class: 'attr-edit', 'aria-label': `Edit attribute ${a.name}` },
      h('h3', {}, `Edit ${a.name}`),
      field({ label: 'Name', name: 'name', value: a.name, attrs: { readonly: system } }),
      field({ label: `Value (${typeName(a.type)})`, name: 'value', control: valueControl(a.type, a.value), hint: rule?.text }),
      h('div', { class: 'actions' },
        h('button', { type: 'submit' }, 'Save'),
        h('button', { type: 'button', class: 'secondary', onclick: () => { editing = null; load(); } }, 'Cancel'),
        a.flags & 4 ? null : h('button', { type: 'button', class: 'danger', onclick: () => remove(a) }, 'Remove')));
    onSubmit(form, async (f) => {
      const value = f.value.value;
      checkValue(a.type, value, rule);
      await session.call('attrEdit', { targettype, target },
        x('a', { id: a.id, name: f.name.value.trim() }, value));
      announce(`Attribute ${a.name} saved`);
      editing = null;
      await load();
    });
    return form;
  }

  async function remove(a) {
    if (!(await confirmDialog('Remove attribute', `Remove the attribute ${a.name}?`, 'Remove'))) return;
    await session.call('attrRemove', { targettype, target }, x('a', { id: a.id }));
    editing = null;
    await load();
  }

  function addForm() {
    const typeSel = select('type', ATTR_TYPES, 4);
    const form = h('form', { class: 'attr-add', 'aria-label': 'Add an attribute' },
      h('h3', {}, 'Add an attribute'),
      field({ label: 'Name', name: 'name', required: true }),
      field({ label: 'Type', name: 'type', control: typeSel }),
      field({ label: 'Value', name: 'value', multiline: true }),
      h('div', { class: 'check' }, h('input', { type: 'checkbox', id: `${box.id}-imm`, name: 'immune' }),
        h('label', { for: `${box.id}-imm` }, 'immune to removal')),
      h('div', { class: 'actions' }, h('button', { type: 'submit' }, 'Add')));
    onSubmit(form, async (f) => {
      const type = Number(f.type.value);
      let value = f.value.value;
      if (type === 1) value = ['1', 'true', 'yes', 'on'].includes(value.trim().toLowerCase()) ? '1' : '0';
      checkValue(type, value);
      await session.call('attrInsert', { targettype, target },
        x('a', { name: f.name.value.trim(), type, flags: f.immune.checked ? 4 : 0 }, value));
      announce(`Attribute ${f.name.value} added`);
      await load();
    });
    return form;
  }

  box.id = uid('attrs');
  box.refresh = load;
  load().catch((err) => box.replaceChildren(h('h2', {}, title), h('p', { class: 'form-error', role: 'alert' }, err.message)));
  return box;
}

// Renders a failed load in place of a section's content.
export function failure(err) {
  return h('p', { class: 'form-error', role: 'alert' }, `${err.message}${err.code > 0 ? ` (code ${err.code})` : ''}`);
}

// Puts build()'s node into container unless the node shown for the same key has unsaved input,
// so that a live refresh never throws away what an administrator is typing.
export function keepEdits(container, key, build) {
  const cur = container.firstElementChild;
  if (cur && cur.dataset.key === key && cur.dataset.dirty) return;
  const node = h('div', { dataset: { key } }, build());
  node.addEventListener('input', () => { node.dataset.dirty = '1'; });
  container.replaceChildren(node);
}

// Marks the edits around a form as saved.
export function saved(form) {
  delete form.closest('[data-key]')?.dataset.dirty;
}
