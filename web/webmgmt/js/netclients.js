// Net clients: search, create, edit (name, address list), remove, the PKCS#12 bundle download,
// and attributes.
import { x, base64Blob } from '../common/orvane.js';
import { h, field, onSubmit, confirmDialog, download } from '../common/ui.js';
import * as data from './data.js';
import { searchBar, table, attributePanel, failure, keepEdits, saved } from './parts.js';

export default function netclientsView(root, { session, announce }) {
  let pattern = '';
  let selected = null;
  const list = h('div', { class: 'list' });
  const side = h('div', { class: 'side' });
  root.append(searchBar('Search net clients', (s) => { pattern = s; return refresh(); }), h('div', { class: 'cols' }, list, side));

  async function refresh() {
    let clients;
    try {
      clients = await data.netclients(session, pattern);
    } catch (err) {
      list.replaceChildren(failure(err));
      return;
    }
    const nc = clients.find((c) => c.id === selected) || null;
    if (selected && !nc) selected = null;
    list.replaceChildren(table('Net clients', [
      { label: 'Name', cell: (c) => c.name },
      { label: 'Addresses', cell: (c) => [...c.v4, ...c.v6].join(', ') || 'any address' },
      { label: 'Bundle', cell: (c) => h('button', { type: 'button', class: 'link', onclick: () => pfx(c), 'aria-label': `Download the PKCS#12 bundle of ${c.name}` }, 'PKCS#12') },
    ], clients, { label: 'Edit', name: (c) => c.name, selected, run: (c) => { selected = c.id; refresh(); } }),
    h('div', { class: 'actions' }, h('button', { type: 'button', class: 'secondary', onclick: () => { selected = null; refresh(); } }, 'New net client')));
    keepEdits(side, `netclient:${selected}`, () => [ncForm(nc),
      nc ? attributePanel(session, 4, nc.id, `Attributes of ${nc.name}`, announce) : null]);
  }

  async function pfx(c) {
    try {
      const r = await session.call('netClientGetPfx', {}, x('netc', { id: c.id }));
      const b64 = r.answer?.querySelector('pfx')?.textContent || '';
      download(base64Blob(b64, 'application/x-pkcs12'), `${c.name}.p12`);
      announce(`Bundle of ${c.name} downloaded`);
    } catch (err) {
      announce(`${c.name}: ${err.message}`);
    }
  }

  function ncForm(nc) {
    const form = h('form', { class: 'panel', id: 'netclient-form', 'aria-labelledby': 'nc-form-title' },
      h('h2', { id: 'nc-form-title' }, nc ? `Edit net client ${nc.name}` : 'New net client'),
      field({ label: 'Name', name: 'name', value: nc?.name || '', required: true }),
      field({ label: 'Addresses', name: 'addresses', field: 'value', multiline: true, value: nc ? [...nc.v4, ...nc.v6].join('\n') : '',
        hint: 'One IPv4 network (e.g. 10.1.2.0/24) or IPv6 address a line; none means any address.' }),
      h('div', { class: 'actions' },
        h('button', { type: 'submit' }, nc ? 'Save net client' : 'Create net client'),
        nc ? h('button', { type: 'button', class: 'danger', onclick: () => remove(nc) }, 'Remove net client') : null));
    onSubmit(form, async (f) => {
      const addrs = f.addresses.value.split(/[\s,]+/).filter(Boolean).map((a) => x(a.includes(':') ? 'v6' : 'v4', {}, a));
      const name = f.name.value.trim();
      if (nc) {
        await session.call('netClientEdit', {}, x('netc', { id: nc.id, name }, addrs));
      } else {
        const r = await session.call('netClientInsert', {}, x('netc', { name }, addrs));
        selected = r.answer?.textContent || null;
      }
      saved(f);
      announce(`Net client ${name} saved`);
      await refresh();
    });
    return form;
  }

  async function remove(nc) {
    if (!(await confirmDialog('Remove net client', `Remove the net client ${nc.name}?`, 'Remove'))) return;
    try {
      await session.call('netClientRemove', {}, x('netc', { id: nc.id }));
      selected = null;
      announce(`Net client ${nc.name} removed`);
    } catch (err) {
      announce(err.message);
    }
    await refresh();
  }

  refresh();
  return { refresh };
}
