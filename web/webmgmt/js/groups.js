// Groups: the nesting shown as a tree, create, edit (name, parent groups, member users), remove,
// and attributes. Member users are kept through each user's own group list.
import { x } from '../common/orvane.js';
import { h, field, checkboxes, checkedValues, onSubmit, confirmDialog } from '../common/ui.js';
import * as data from './data.js';
import { searchBar, tree, badge, attributePanel, failure, keepEdits, saved } from './parts.js';

const SYSTEM_GROUPS = ['Administrators', 'AllUsers'];

export default function groupsView(root, { session, announce }) {
  let pattern = '';
  let selected = null;
  const list = h('div', { class: 'list panel' });
  const side = h('div', { class: 'side' });
  root.append(searchBar('Search groups', (s) => { pattern = s; return refresh(); }), h('div', { class: 'cols' }, list, side));

  async function refresh() {
    let groups;
    let users;
    let all;
    try {
      [groups, users, all] = await Promise.all([data.groups(session, pattern), data.users(session, ''), data.groups(session, '')]);
    } catch (err) {
      list.replaceChildren(failure(err));
      return;
    }
    const group = all.find((g) => g.id === selected) || null;
    if (selected && !group) selected = null;
    const membersOf = (g) => users.filter((u) => u.groups.some((ug) => ug.id === g.id));
    const f = data.forest(groups, (g) => g.parents.map((p) => p.id));
    list.replaceChildren(h('h2', {}, 'Group tree'),
      groups.length ? tree('Groups', f, (g) => g.name, (g) => { selected = g.id; refresh(); }, selected,
        (g) => h('span', { class: 'kids-label' }, g.name === 'AllUsers' ? ' every user' : ` ${membersOf(g).length} user${membersOf(g).length === 1 ? '' : 's'}`)) : h('p', { class: 'muted' }, 'Nothing found.'),
      h('div', { class: 'actions' }, h('button', { type: 'button', class: 'secondary', onclick: () => { selected = null; refresh(); } }, 'New group')));
    keepEdits(side, `group:${selected}`, () => [groupForm(group, all, users, group ? membersOf(group) : []),
      group ? attributePanel(session, 2, group.id, `Attributes of ${group.name}`, announce) : null]);
  }

  function groupForm(group, all, users, members) {
    const others = all.filter((g) => g.id !== group?.id && g.name !== 'AllUsers').map((g) => ({ value: g.id, label: g.name }));
    const form = h('form', { class: 'panel', id: 'group-form', 'aria-labelledby': 'group-form-title' },
      h('h2', { id: 'group-form-title' }, group ? `Edit group ${group.name}` : 'New group'),
      group && SYSTEM_GROUPS.includes(group.name) ? h('p', {}, badge('system group')) : null,
      field({ label: 'Group name', name: 'name', value: group?.name || '', required: true }),
      checkboxes('Member of (parent groups)', 'memberof', others, group ? group.parents.map((p) => p.id) : []),
      group?.name === 'AllUsers' ? h('p', { class: 'hint' }, 'Every user belongs to AllUsers.')
        : checkboxes('Member users', 'members', users.map((u) => ({ value: u.id, label: u.uname })), members.map((u) => u.id), 'members'),
      h('div', { class: 'actions' },
        h('button', { type: 'submit' }, group ? 'Save group' : 'Create group'),
        group && !SYSTEM_GROUPS.includes(group.name) ? h('button', { type: 'button', class: 'danger', onclick: () => remove(group) }, 'Remove group') : null));
    onSubmit(form, async (f) => {
      const name = f.name.value.trim();
      const memberof = x('memberof', {}, checkedValues(f, 'memberof').map((id) => x('g', { id })));
      let id = group?.id;
      if (group) {
        await session.call('groupEdit', {}, x('g', { id, name }, memberof));
      } else {
        const r = await session.call('groupInsert', {}, x('g', { name }, memberof));
        id = r.answer?.textContent;
      }
      if (group?.name !== 'AllUsers') {
        const want = new Set(checkedValues(f, 'members'));
        for (const u of users) {
          const has = u.groups.some((g) => g.id === id);
          if (has === want.has(u.id)) continue;
          const ids = u.groups.map((g) => g.id).filter((g) => g !== id);
          if (!has) ids.push(id);
          try {
            await session.call('userEdit', {}, x('u', { id: u.id, flags: u.flags & ~1 },
              x('memberof', {}, ids.map((gid) => x('g', { id: gid })))));
          } catch (err) {
            err.field = 'members';
            err.message = `${u.uname}: ${err.message}`;
            selected = id;
            throw err;
          }
        }
      }
      saved(f);
      selected = id;
      announce(`Group ${name} saved`);
      await refresh();
    });
    return form;
  }

  async function remove(group) {
    if (!(await confirmDialog('Remove group', `Remove the group ${group.name}?`, 'Remove'))) return;
    try {
      await session.call('groupRemove', {}, x('g', { id: group.id }));
      announce(`Group ${group.name} removed`);
      selected = null;
    } catch (err) {
      announce(err.message);
    }
    await refresh();
  }

  refresh();
  return { refresh };
}
