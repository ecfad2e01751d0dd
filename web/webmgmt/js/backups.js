// Backups of the domain: create, list, restore (after a confirmation) and destroy.
import { x } from '../common/orvane.js';
import { h, field, onSubmit, confirmDialog, fmtTime } from '../common/ui.js';
import * as data from './data.js';
import { table, failure, searchBar } from './parts.js';

export default function backupsView(root, { session, announce }) {
  let pattern = null;
  const list = h('div', { class: 'list' });
  const create = h('form', { class: 'panel', id: 'backup-form', 'aria-labelledby': 'backup-form-title' },
    h('h2', { id: 'backup-form-title' }, 'New backup'),
    field({ label: 'Backup name', name: 'name', required: true }),
    h('div', { class: 'actions' }, h('button', { type: 'submit' }, 'Create backup')));
  onSubmit(create, async (f) => {
    const name = f.name.value.trim();
    await session.call('backupCreate', {}, name);
    f.name.value = '';
    announce(`Backup ${name} created`);
    await refresh();
  });
  // The server lists every backup of the domain; the search filters them here by name.
  const search = searchBar('Search backups', (s) => {
    pattern = s ? new RegExp(s, 'i') : null;
    return refresh();
  });
  root.append(search, h('div', { class: 'cols' }, list, create));

  async function refresh() {
    let backups;
    let users;
    try {
      [backups, users] = await Promise.all([data.backups(session), data.users(session, '').catch(() => [])]);
    } catch (err) {
      list.replaceChildren(failure(err));
      return;
    }
    const uname = new Map(users.map((u) => [u.id, u.uname]));
    list.replaceChildren(table('Backups', [
      { label: 'Name', cell: (b) => b.name },
      { label: 'Made', cell: (b) => fmtTime(b.time) },
      { label: 'By', cell: (b) => uname.get(b.user) || b.user, opt: true },
      { label: 'Actions', cell: (b) => h('span', { class: 'actions' },
        h('button', { type: 'button', class: 'secondary', onclick: () => restore(b), 'aria-label': `Restore ${b.name}` }, 'Restore'),
        h('button', { type: 'button', class: 'link', onclick: () => destroy(b), 'aria-label': `Delete ${b.name}` }, 'Delete')) },
    ], backups.filter((b) => !pattern || pattern.test(b.name)).reverse()));
  }

  async function restore(b) {
    const ok = await confirmDialog('Restore backup',
      `Restore ${b.name} from ${fmtTime(b.time)}? Every change to this domain made since then is lost.`, 'Restore');
    if (!ok) return;
    try {
      await session.call('backupRestore', { id: b.id });
      announce(`Backup ${b.name} restored`);
    } catch (err) {
      announce(`Restore failed: ${err.message}`);
    }
    await refresh();
  }

  async function destroy(b) {
    if (!(await confirmDialog('Delete backup', `Delete the backup ${b.name}?`, 'Delete'))) return;
    try {
      await session.call('backupDestroy', { id: b.id });
      announce(`Backup ${b.name} deleted`);
    } catch (err) {
      announce(err.message);
    }
    await refresh();
  }

  refresh();
  return { refresh };
}
