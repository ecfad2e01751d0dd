// Small DOM helpers shared by the web packages: element building, labelled fields, forms that
// show the server's result message next to the field it concerns, dialogs and downloads.

// h('div', {class: 'x', onclick: fn}, child, ...): children are nodes or text (never HTML).
export function h(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [k, v] of Object.entries(props || {})) {
    if (v === null || v === undefined || v === false) continue;
    if (k.startsWith('on') && typeof v === 'function') e.addEventListener(k.slice(2), v);
    else if (k === 'class') e.className = v;
    else if (k === 'dataset') Object.assign(e.dataset, v);
    else if (k in e && typeof v !== 'string') e[k] = v;
    else e.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children.flat(Infinity)) {
    if (c === null || c === undefined || c === false) continue;
    e.append(c instanceof Node ? c : document.createTextNode(String(c)));
  }
  return e;
}

let uniq = 0;
export function uid(prefix = 'f') {
  uniq += 1;
  return `${prefix}-${uniq}`;
}

// Which form field a result code concerns. Fields carry data-field="<role>".
const FIELD_OF_CODE = new Map([
  [0x12, 'search'], [0x14, 'name'], [0x15, 'name'], [0x18, 'value'],
  [0x103, 'domain'], [0x104, 'password'], [0x108, 'uname'],
  [0x201, 'old'], [0x203, 'old'], [0x204, 'password'],
  [0x303, 'parent'], [0x304, 'name'], [0x305, 'parent'], [0x306, 'parent'], [0x309, 'name'], [0x310, 'name'],
  [0x402, 'parent'], [0x403, 'name'], [0x405, 'parent'], [0x406, 'parent'],
  [0x407, 'permissions'], [0x408, 'permissions'],
  [0x501, 'uname'], [0x502, 'uname'], [0x503, 'uname'], [0x504, 'password'], [0x505, 'password'],
  [0x506, 'password'], [0x507, 'memberof'], [0x509, 'flags'], [0x510, 'uname'], [0x511, 'password'],
  [0x601, 'memberof'], [0x602, 'name'], [0x603, 'memberof'], [0x604, 'memberof'], [0x605, 'memberof'],
  [0x607, 'memberof'], [0x608, 'memberof'],
  [0x701, 'name'], [0x702, 'includes'],
  [0x802, 'name'], [0x804, 'name'],
  [0x903, 'name'],
]);

// A labelled input. opts: {label, name, field, type, value, required, hint, attrs}
export function field(opts) {
  const id = uid(opts.name || 'f');
  const errId = `${id}-err`;
  const hintId = opts.hint ? `${id}-hint` : null;
  const input = opts.control || h(opts.multiline ? 'textarea' : 'input', {
    id, name: opts.name, type: opts.multiline ? null : (opts.type || 'text'),
    required: opts.required, autocomplete: opts.autocomplete || 'off', ...opts.attrs,
  });
  if (opts.control) input.id = id;
  if (opts.value !== undefined && opts.value !== null) input.value = opts.value;
  input.setAttribute('aria-describedby', [input.getAttribute('aria-describedby'), hintId, errId].filter(Boolean).join(' '));
  return h('div', { class: 'field', dataset: { field: opts.field || opts.name } },
    h('label', { for: id }, opts.label),
    input,
    opts.hint ? h('p', { class: 'hint', id: hintId }, opts.hint) : null,
    h('p', { class: 'field-error', id: errId, 'aria-live': 'polite' }));
}

export function select(name, options, value) {
  const s = h('select', { name });
  for (const o of options) {
    const opt = h('option', { value: o.value }, o.label);
    if (String(o.value) === String(value)) opt.selected = true;
    s.append(opt);
  }
  return s;
}

// A group of checkboxes with one legend; values read back with checkedValues().
export function checkboxes(legend, name, items, checked = [], fieldRole = name) {
  const set = new Set(checked.map(String));
  const errId = uid('err');
  return h('fieldset', { class: 'field checks', dataset: { field: fieldRole }, 'aria-describedby': errId },
    h('legend', {}, legend),
    items.length ? items.map((it) => {
      const id = uid(name);
      return h('span', { class: 'check' },
        h('input', { type: 'checkbox', id, name, value: it.value, checked: set.has(String(it.value)) }),
        h('label', { for: id }, it.label));
    }) : h('p', { class: 'hint' }, 'none yet'),
    h('p', { class: 'field-error', id: errId, 'aria-live': 'polite' }));
}

export function checkedValues(root, name) {
  return [...root.querySelectorAll(`input[type=checkbox][name="${name}"]:checked`)].map((i) => i.value);
}

// Shows an error on the field it concerns (by code or explicit role), else on the whole form.
export function showError(form, err, role) {
  clearErrors(form);
  const want = role || FIELD_OF_CODE.get(err.code);
  let box = want && form.querySelector(`[data-field="${want}"]`);
  const text = err.code > 0 ? `${err.message} (code ${err.code})` : err.message;
  if (box) {
    box.classList.add('invalid');
    const p = box.querySelector('.field-error');
    p.textContent = text;
    const input = box.querySelector('input, select, textarea');
    if (input) {
      input.setAttribute('aria-invalid', 'true');
      input.focus();
    }
    return;
  }
  box = form.querySelector('.form-error');
  if (!box) {
    box = h('p', { class: 'form-error', role: 'alert' });
    form.prepend(box);
  }
  box.textContent = text;
}

export function clearErrors(form) {
  for (const b of form.querySelectorAll('.invalid')) b.classList.remove('invalid');
  for (const p of form.querySelectorAll('.field-error, .form-error')) p.textContent = '';
  for (const i of form.querySelectorAll('[aria-invalid]')) i.removeAttribute('aria-invalid');
}

// Wires a form: run(form) does the work; a thrown OrvaneError is shown next to its field.
export function onSubmit(form, run) {
  form.addEventListener('submit', async (ev) => {
    ev.preventDefault();
    clearErrors(form);
    const button = form.querySelector('button[type=submit]');
    if (button) button.disabled = true;
    form.setAttribute('aria-busy', 'true');
    try {
      await run(form);
    } catch (err) {
      showError(form, err, err.field);
    } finally {
      form.removeAttribute('aria-busy');
      if (button) button.disabled = false;
    }
  });
  return form;
}

// A client-side refusal shown like a server one.
export function fieldError(role, message) {
  const e = new Error(message);
  e.code = 0;
  e.field = role;
  return e;
}

// Asks for confirmation in a modal dialog; resolves true when confirmed.
export function confirmDialog(title, text, confirmLabel = 'Confirm') {
  return new Promise((resolve) => {
    const dlg = h('dialog', { class: 'dialog', 'aria-labelledby': 'dlg-title' },
      h('h2', { id: 'dlg-title' }, title),
      h('p', {}, text),
      h('div', { class: 'actions' },
        h('button', { type: 'button', class: 'secondary', value: 'cancel', onclick: () => dlg.close('cancel') }, 'Cancel'),
        h('button', { type: 'button', class: 'danger', value: 'ok', onclick: () => dlg.close('ok') }, confirmLabel)));
    dlg.addEventListener('close', () => {
      dlg.remove();
      resolve(dlg.returnValue === 'ok');
    });
    document.body.append(dlg);
    dlg.showModal();
    dlg.querySelector('button.secondary').focus();
  });
}

// Offers a Blob as a file download.
export function download(blob, filename) {
  const url = URL.createObjectURL(blob);
  const a = h('a', { href: url, download: filename, hidden: true });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60000);
}

// Announces a short status message to screen readers and sighted users alike.
export function announce(text) {
  let region = document.getElementById('announce');
  if (!region) {
    region = h('div', { id: 'announce', class: 'toast', role: 'status', 'aria-live': 'polite' });
    document.body.append(region);
  }
  region.textContent = text;
  region.classList.add('shown');
  clearTimeout(announce.timer);
  announce.timer = setTimeout(() => region.classList.remove('shown'), 4000);
}

export function fmtTime(sec) {
  const n = Number(sec);
  if (!n) return '';
  return new Date(n * 1000).toLocaleString();
}

export function fmtBytes(n) {
  let v = Number(n);
  const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
  let i = 0;
  while (v >= 1024 && i < units.length - 1) {
    v /= 1024;
    i += 1;
  }
  return `${v.toFixed(i ? 1 : 0)} ${units[i]}`;
}
