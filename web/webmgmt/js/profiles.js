// NSS profiles: search, create, edit (description, member users with uid/home/shell, member groups
// with gid, included profiles), remove.
import { x } from '../common/orvane.js';
import { h, field, onSubmit, confirmDialog, checkboxes, checkedValues, uid, fieldError } from '../common/ui.js';
import * as data from './data.js';
import { searchBar, table, failure, keepEdits, saved } from './parts.js';

export default function profilesView(root, { session, announce }) {
  let pattern = '';
  let selected = null;
  const list = h('div', { class: 'list' });
  const side = h('div', { class: 'side' });
  root.append(searchBar('Search NSS profiles', (s) => { pattern = s; return refresh(); }), h('div', { class: 'cols' }, list, side));

  async function refresh() {
    let profiles;
    let all;
    let users;
    let groups;
    try {
      [profiles, all, users, groups] = await Promise.all([data.profiles(session, pattern), data.profiles(session, ''),
        data.users(session, ''), data.groups(session, '')]);
    } catch (err) {
      list.replaceChildren(failure(err));
      return;
    }
    const p = all.find((q) => q.id === selected) || null;
    if (selected && !p) selected = null;
    const uname = new Map(users.map((u) => [u.id, u.uname]));
    const gname = new Map(groups.map((g) => [g.id, g.name]));
    const pname = new Map(all.map((q) => [q.id, q.name]));
    list.replaceChildren(table('NSS profiles', [
      { label: 'Name', cell: (q) => [q.name, q.descr ? h('div', { class: 'muted' }, q.descr) : null] },
      { label: 'Users', cell: (q) => q.users.map((u) => `${uname.get(u.id) || u.id} (${u.uid})`).join(', ') },
      { label: 'Groups', cell: (q) => q.groups.map((g) => `${gname.get(g.id) || g.id} (${g.gid})`).join(', '), opt: true },
      { label: 'Includes', cell: (q) => q.includes.map((i) => pname.get(i) || i).join(', '), opt: true },
    ], profiles, { label: 'Edit', name: (q) => q.name, selected, run: (q) => { selected = q.id; refresh(); } }),
    h('div', { class: 'actions' }, h('button', { type: 'button', class: 'secondary', onclick: () => { selected = null; refresh(); } }, 'New profile')));
    keepEdits(side, `profile:${selected}`, () => profileForm(p, all, users, groups));
  }

  function row(kind, options, m) {
    const id = uid(kind);
    const sel = h('select', { id, name: 'member' }, h('option', { value: '' }, `choose a ${kind}`),
      options.map((o) => h('option', { value: o.id }, o.name)));
    sel.value = m?.id || '';
    const num = (name, label, value, attrs = {}) => {
      const i = uid(name);
      return h('span', { class: 'field' }, h('label', { for: i }, label),
        h('input', { id: i, name, type: attrs.type || 'text', value: value ?? '', ...attrs }));
    };
    const li = h('li', { class: `member ${kind}` },
      h('label', { for: id, class: 'visually-hidden' }, kind), sel,
      kind === 'user' ? [num('uid', 'uid', m?.uid, { type: 'number', min: 0 }), num('home', 'home', m?.home ?? ''),
        num('shell', 'shell', m?.shell ?? '/bin/sh'),
        (() => { const c = uid('su'); return h('span', { class: 'check' }, h('input', { type: 'checkbox', id: c, name: 'su', checked: m?.su === '1' }), h('label', { for: c }, 'su')); })()]
        : num('gid', 'gid', m?.gid, { type: 'number', min: 0 }),
      h('button', { type: 'button', class: 'link', onclick: () => li.remove() }, 'remove'));
    return li;
  }

  function profileForm(p, all, users, groups) {
    const uOpts = users.map((u) => ({ id: u.id, name: u.uname }));
    const gOpts = groups.map((g) => ({ id: g.id, name: g.name }));
    const uList = h('ul', { class: 'members', 'aria-label': 'Member users' }, (p?.users || []).map((m) => row('user', uOpts, m)));
    const gList = h('ul', { class: 'members', 'aria-label': 'Member groups' }, (p?.groups || []).map((m) => row('group', gOpts, m)));
    const form = h('form', { class: 'panel', id: 'profile-form', 'aria-labelledby': 'profile-form-title' },
      h('h2', { id: 'profile-form-title' }, p ? `Edit NSS profile ${p.name}` : 'New NSS profile'),
      field({ label: 'Name', name: 'name', value: p?.name || '', required: true }),
      field({ label: 'Description', name: 'descr', value: p?.descr || '' }),
      p ? [
        h('fieldset', { class: 'field', dataset: { field: 'members' } }, h('legend', {}, 'Member users'), uList,
          h('button', { type: 'button', class: 'secondary', onclick: () => uList.append(row('user', uOpts)) }, 'Add user'),
          h('p', { class: 'field-error', 'aria-live': 'polite' })),
        h('fieldset', { class: 'field' }, h('legend', {}, 'Member groups'), gList,
          h('button', { type: 'button', class: 'secondary', onclick: () => gList.append(row('group', gOpts)) }, 'Add group')),
        checkboxes('Includes profiles', 'includes', all.filter((q) => q.id !== p.id).map((q) => ({ value: q.id, label: q.name })), p.includes),
      ] : h('p', { class: 'hint' }, 'Members and included profiles are added once the profile exists.'),
      h('div', { class: 'actions' },
        h('button', { type: 'submit' }, p ? 'Save profile' : 'Create profile'),
        p ? h('button', { type: 'button', class: 'danger', onclick: () => remove(p) }, 'Remove profile') : null));
    onSubmit(form, async (f) => {
      const name = f.name.value.trim();
      const descr = f.descr.value;
      if (!p) {
        const r = await session.call('nssProfileInsert', {}, x('nssp', { name, descr }));
        selected = r.answer?.textContent || null;
      } else {
        const members = [...uList.children].map((li) => {
          const v = (n) => li.querySelector(`[name=${n}]`);
          if (!v('member').value) throw fieldError('members', 'choose a user for every member row');
          return x('u', { id: v('member').value, uid: v('uid').value || '0', home: v('home').value, shell: v('shell').value, su: v('su').checked ? '1' : null });
        });
        const grps = [...gList.children].map((li) => {
          const v = (n) => li.querySelector(`[name=${n}]`);
          if (!v('member').value) throw fieldError('members', 'choose a group for every member row');
          return x('g', { id: v('member').value, gid: v('gid').value || '0' });
        });
        const inc = checkedValues(f, 'includes').map((id) => x('i', { id }));
        await session.call('nssProfileEdit', {}, x('nssp', { id: p.id, name, descr }, members, grps, inc));
      }
      saved(f);
      announce(`NSS profile ${name} saved`);
      await refresh();
    });
    return form;
  }

  async function remove(p) {
    if (!(await confirmDialog('Remove NSS profile', `Remove the NSS profile ${p.name}?`, 'Remove'))) return;
    try {
      await session.call('nssProfileRemove', {}, x('nssp', { id: p.id }));
      selected = null;
      announce(`NSS profile ${p.name} removed`);
    } catch (err) {
      announce(err.message);
    }
    await refresh();
  }

  refresh();
  return { refresh };
}
