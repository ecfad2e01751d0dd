// Users: search, create, edit (name, password, account flags, groups), remove, and attributes.
import { x } from '../common/orvane.js';
import { h, field, checkboxes, checkedValues, onSubmit, confirmDialog, fmtTime } from '../common/ui.js';
import * as data from './data.js';
import { searchBar, table, badge, fmtFlags, attributePanel, failure, keepEdits, saved } from './parts.js';

export const USER_FLAGS = { 1: 'system', 2: 'password never expires', 4: 'must change password', 8: 'locked' };
const EDITABLE_FLAGS = [2, 4, 8];

export default function usersView(root, { session, announce }) {
  let pattern = '';
  let selected = null; // user id being edited, or null for a new user
  const list = h('div', { class: 'list' });
  const side = h('div', { class: 'side' });
  root.append(searchBar('Search users', (s) => { pattern = s; return refresh(); }), h('div', { class: 'cols' }, list, side));

  async function refresh() {
    let users;
    let groups;
    try {
      [users, groups] = await Promise.all([data.users(session, pattern), data.groups(session, '')]);
    } catch (err) {
      list.replaceChildren(failure(err));
      return;
    }
    const user = users.find((u) => u.id === selected) || null;
    if (selected && !user) selected = null;
    list.replaceChildren(table('Users', [
      { label: 'User', cell: (u) => [u.uname, u.fullName ? h('div', { class: 'muted' }, u.fullName) : null] },
      { label: 'Flags', cell: (u) => [fmtFlags(u.flags, USER_FLAGS), u.expired ? badge('password expired', 'bad') : null] },
      { label: 'Groups', cell: (u) => u.groups.map((g) => g.name).join(', '), opt: true },
      { label: 'Password set', cell: (u) => fmtTime(u.pwdChanged), opt: true },
    ], users, { label: 'Edit', name: (u) => u.uname, selected, run: (u) => { selected = u.id; refresh(); } }),
    h('div', { class: 'actions' }, h('button', { type: 'button', class: 'secondary', onclick: () => { selected = null; refresh(); } }, 'New user')));
    keepEdits(side, `user:${selected}`, () => [userForm(user, groups),
      user ? attributePanel(session, 3, user.id, `Attributes of ${user.uname}`, announce) : null]);
  }

  function userForm(user, groups) {
    const admin = user && (user.flags & 1) !== 0;
    const groupItems = groups.filter((g) => g.name !== 'AllUsers').map((g) => ({ value: g.id, label: g.name }));
    const form = h('form', { class: 'panel', id: 'user-form', 'aria-labelledby': 'user-form-title' },
      h('h2', { id: 'user-form-title' }, user ? `Edit user ${user.uname}` : 'New user'),
      field({ label: 'User name', name: 'uname', value: user?.uname || '', required: true }),
      field({ label: user ? 'New password (leave empty to keep)' : 'Password', name: 'password', type: 'password', autocomplete: 'new-password', required: !user }),
      admin ? h('p', { class: 'hint' }, 'The built-in Administrator takes no flags and stays in Administrators.')
        : checkboxes('Account flags', 'flags', EDITABLE_FLAGS.map((b) => ({ value: b, label: USER_FLAGS[b] })),
          EDITABLE_FLAGS.filter((b) => user && user.flags & b)),
      checkboxes('Member of', 'memberof', groupItems, user ? user.groups.map((g) => g.id) : []),
      h('div', { class: 'actions' },
        h('button', { type: 'submit' }, user ? 'Save user' : 'Create user'),
        user && !admin ? h('button', { type: 'button', class: 'danger', onclick: () => remove(user) }, 'Remove user') : null));
    onSubmit(form, async (f) => {
      const flags = checkedValues(f, 'flags').reduce((a, b) => a | Number(b), 0);
      const memberof = x('memberof', {}, checkedValues(f, 'memberof').map((id) => x('g', { id })));
      const password = f.password.value;
      const uname = f.uname.value.trim();
      saved(f);
      if (user) {
        await session.call('userEdit', {}, x('u', { id: user.id, uname, flags }, password ? x('p', {}, password) : null, memberof));
        announce(`User ${uname} saved`);
      } else {
        const r = await session.call('userInsert', {}, x('u', { uname, flags }, x('p', {}, password), memberof));
        selected = r.answer?.textContent || null;
        announce(`User ${uname} created`);
      }
      await refresh();
    });
    return form;
  }

  async function remove(user) {
    if (!(await confirmDialog('Remove user', `Remove the user ${user.uname}? Their tokens end at once.`, 'Remove'))) return;
    try {
      await session.call('userRemove', {}, x('u', { id: user.id }));
      announce(`User ${user.uname} removed`);
      selected = null;
    } catch (err) {
      announce(err.message);
    }
    await refresh();
  }

  refresh();
  return { refresh };
}
