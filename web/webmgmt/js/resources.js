// Resources: the tree, create, edit (name, type, parent, permission list), remove, and attributes.
import { x } from '../common/orvane.js';
import { h, field, select, onSubmit, confirmDialog, uid, fieldError } from '../common/ui.js';
import * as data from './data.js';
import { searchBar, tree, badge, attributePanel, failure, keepEdits, saved } from './parts.js';

export default function resourcesView(root, { session, announce }) {
  let pattern = '';
  let selected = null;
  const list = h('div', { class: 'list panel' });
  const side = h('div', { class: 'side' });
  root.append(searchBar('Search resources', (s) => { pattern = s; return refresh(); }), h('div', { class: 'cols' }, list, side));

  async function refresh() {
    let found;
    let all;
    let users;
    let groups;
    try {
      [found, all, users, groups] = await Promise.all([data.resources(session, pattern), data.resources(session, ''),
        data.users(session, ''), data.groups(session, '')]);
    } catch (err) {
      list.replaceChildren(failure(err));
      return;
    }
    const res = all.find((r) => r.id === selected) || null;
    if (selected && !res) selected = null;
    const members = { 0: new Map(users.map((u) => [u.id, u.uname])), 1: new Map(groups.map((g) => [g.id, g.name])) };
    const f = data.forest(found, (r) => (r.parentId === '0' ? [] : [r.parentId]));
    list.replaceChildren(h('h2', {}, 'Resource tree'),
      found.length ? tree('Resources', f, (r) => r.name, (r) => { selected = r.id; refresh(); }, selected,
        (r) => (r.permissions.length ? h('span', { class: 'kids-label' },
          ` ${r.permissions.map((p) => `${members[p.memberType]?.get(p.memberId) || p.memberId}: ${data.permText(p.flags)}`).join('; ')}`) : null))
        : h('p', { class: 'muted' }, 'Nothing found.'),
      h('div', { class: 'actions' }, h('button', { type: 'button', class: 'secondary', onclick: () => { selected = null; refresh(); } }, 'New resource')));
    keepEdits(side, `resource:${selected}`, () => [resourceForm(res, all, users, groups),
      res ? attributePanel(session, 1, res.id, `Attributes of ${res.name}`, announce) : null]);
  }

  function memberSelect(users, groups, value) {
    const s = h('select', { name: 'member' },
      h('option', { value: '' }, 'choose a user or group'),
      h('optgroup', { label: 'Groups' }, groups.map((g) => h('option', { value: `1:${g.id}` }, g.name))),
      h('optgroup', { label: 'Users' }, users.map((u) => h('option', { value: `0:${u.id}` }, u.uname))));
    s.value = value || '';
    return s;
  }

  function permRow(users, groups, p) {
    const id = uid('perm');
    const row = h('li', { class: 'perm', dataset: { pid: p?.id || '0' } },
      h('label', { for: id, class: 'visually-hidden' }, 'Member'),
      (() => { const s = memberSelect(users, groups, p ? `${p.memberType}:${p.memberId}` : ''); s.id = id; return s; })(),
      Object.entries(data.PERM).map(([name, bit]) => {
        const cid = uid('pf');
        return h('span', { class: 'check' },
          h('input', { type: 'checkbox', id: cid, name: 'pflag', value: bit, checked: p ? (p.flags & bit) !== 0 : bit === 1 }),
          h('label', { for: cid }, name));
      }),
      h('button', { type: 'button', class: 'link', onclick: () => row.remove() }, 'remove'));
    return row;
  }

  function resourceForm(res, all, users, groups) {
    const parents = [{ value: '0', label: '(top level)' },
      ...all.filter((r) => r.id !== res?.id).map((r) => ({ value: r.id, label: r.name }))];
    const perms = h('ul', { class: 'perms', 'aria-label': 'Permissions' }, (res?.permissions || []).map((p) => permRow(users, groups, p)));
    const system = res && (res.flags & 1) !== 0;
    const form = h('form', { class: 'panel', id: 'resource-form', 'aria-labelledby': 'resource-form-title' },
      h('h2', { id: 'resource-form-title' }, res ? `Edit resource ${res.name}` : 'New resource'),
      system ? h('p', {}, badge('system resource')) : null,
      field({ label: 'Resource name', name: 'name', value: res?.name || '', required: true, attrs: { readonly: system } }),
      field({ label: 'Type (number)', name: 'type', type: 'number', value: res?.type || '0', attrs: { min: 0 } }),
      field({ label: 'Parent', name: 'parent', control: select('parent', parents, res?.parentId || '0') }),
      h('fieldset', { class: 'field', dataset: { field: 'permissions' } },
        h('legend', {}, 'Permissions'), perms,
        h('button', { type: 'button', class: 'secondary', onclick: () => perms.append(permRow(users, groups)) }, 'Add permission'),
        h('p', { class: 'field-error', 'aria-live': 'polite' })),
      h('div', { class: 'actions' },
        h('button', { type: 'submit' }, res ? 'Save resource' : 'Create resource'),
        res && !system ? h('button', { type: 'button', class: 'danger', onclick: () => remove(res) }, 'Remove resource') : null));
    onSubmit(form, async (f) => {
      const list = [...perms.querySelectorAll('li.perm')].map((li) => {
        const m = li.querySelector('select').value;
        if (!m) throw fieldError('permissions', 'choose a member for every permission');
        const [memberType, memberId] = m.split(':');
        const flags = [...li.querySelectorAll('input[name=pflag]:checked')].reduce((a, c) => a | Number(c.value), 0);
        return x('p', { id: li.dataset.pid, memberType, memberId, flags });
      });
      const r = { name: f.name.value.trim(), type: f.type.value || '0', parentId: f.parent.value };
      if (res) {
        await session.call('resourceEdit', {}, x('r', { id: res.id, ...r }, x('permissions', {}, list)));
      } else {
        const a = await session.call('resourceInsert', {}, x('r', r, x('permissions', {}, list)));
        selected = a.answer?.textContent || null;
      }
      saved(f);
      announce(`Resource ${r.name} saved`);
      await refresh();
    });
    return form;
  }

  async function remove(res) {
    if (!(await confirmDialog('Remove resource', `Remove ${res.name} and every resource below it?`, 'Remove'))) return;
    try {
      await session.call('resourceRemove', {}, x('r', { id: res.id }));
      announce(`Resource ${res.name} removed`);
      selected = null;
    } catch (err) {
      announce(err.message);
    }
    await refresh();
  }

  refresh();
  return { refresh };
}
