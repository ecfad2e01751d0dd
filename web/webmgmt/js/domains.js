// Domains: the tree of the caller's domain and those below it; add a subdomain, rename or move a
// domain, remove it. A token acts in its own domain only, so a domain's contents are managed by
// signing in to it.
import { x } from '../common/orvane.js';
import { h, field, select, onSubmit, confirmDialog } from '../common/ui.js';
import * as data from './data.js';
import { searchBar, tree, failure, keepEdits, saved } from './parts.js';

export default function domainsView(root, { session, announce }) {
  let pattern = '';
  let selected = session.domainId;
  const list = h('div', { class: 'list panel' });
  const side = h('div', { class: 'side' });
  root.append(searchBar('Search domains', (s) => { pattern = s; return refresh(); }), h('div', { class: 'cols' }, list, side));

  async function refresh() {
    let found;
    let all;
    try {
      [found, all] = await Promise.all([data.domains(session, pattern), data.domains(session, '')]);
    } catch (err) {
      list.replaceChildren(failure(err));
      return;
    }
    const dom = all.find((d) => d.id === selected) || null;
    if (!dom) selected = null;
    const f = data.forest(found, (d) => (d.parentId === '0' ? [] : [d.parentId]));
    list.replaceChildren(h('h2', {}, 'Domain tree'),
      found.length ? tree('Domains', f, (d) => d.name, (d) => { selected = d.id; refresh(); }, selected) : h('p', { class: 'muted' }, 'Nothing found.'));
    keepEdits(side, `domain:${selected}`, () => (dom ? [detail(dom, all), addForm(dom)] : h('p', { class: 'muted' }, 'Choose a domain.')));
  }

  function detail(dom, all) {
    const own = dom.id === session.domainId;
    const parents = all.filter((d) => d.id !== dom.id).map((d) => ({ value: d.id, label: d.name }));
    const form = h('form', { class: 'panel', id: 'domain-form', 'aria-labelledby': 'domain-form-title' },
      h('h2', { id: 'domain-form-title' }, `Domain ${dom.name}`),
      h('p', { class: 'muted' }, `Identifier ${dom.id}`, own ? ' · the domain you are signed in to' : ''),
      field({ label: 'Name', name: 'name', value: dom.name, required: true }),
      dom.parentId === '0' ? h('p', { class: 'hint' }, 'The root domain has no parent.')
        : field({ label: 'Parent domain', name: 'parent', control: select('parent', parents, dom.parentId) }),
      h('div', { class: 'actions' },
        h('button', { type: 'submit' }, 'Save domain'),
        own || dom.parentId === '0' ? null : h('button', { type: 'button', class: 'danger', onclick: () => remove(dom) }, 'Remove domain'),
        own ? null : h('a', { class: 'button secondary', href: `./?domain=${encodeURIComponent(dom.name)}`, target: '_blank', rel: 'noopener' }, 'Sign in to this domain')));
    onSubmit(form, async (f) => {
      const name = f.name.value.trim();
      await session.call('domainEdit', {}, x('d', { id: dom.id, name, parentId: f.parent ? f.parent.value : dom.parentId }));
      if (own) session.store({ domain: name });
      saved(f);
      announce(`Domain ${name} saved`);
      await refresh();
    });
    return form;
  }

  function addForm(parent) {
    const form = h('form', { class: 'panel', id: 'subdomain-form', 'aria-labelledby': 'subdomain-form-title' },
      h('h2', { id: 'subdomain-form-title' }, `New domain below ${parent.name}`),
      field({ label: 'Name', name: 'name', required: true }),
      field({ label: 'Password of its Administrator', name: 'password', type: 'password', autocomplete: 'new-password', required: true }),
      h('div', { class: 'actions' }, h('button', { type: 'submit' }, 'Create domain')));
    onSubmit(form, async (f) => {
      const name = f.name.value.trim();
      const r = await session.call('domainInsert', {}, x('d', { name, parentId: parent.id }), x('p', {}, f.password.value));
      saved(f);
      selected = r.answer?.textContent || selected;
      announce(`Domain ${name} created`);
      await refresh();
    });
    return form;
  }

  async function remove(dom) {
    if (!(await confirmDialog('Remove domain', `Remove the domain ${dom.name} with every object in it?`, 'Remove'))) return;
    try {
      await session.call('domainRemove', {}, x('d', { id: dom.id }));
      selected = session.domainId;
      announce(`Domain ${dom.name} removed`);
    } catch (err) {
      announce(err.message);
    }
    await refresh();
  }

  refresh();
  return { refresh };
}
