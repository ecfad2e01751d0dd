// The audit log: filters, paging, and the CSV export as a download.
import { x, base64Blob } from '../common/orvane.js';
import { h, field, select, onSubmit, download, fmtTime } from '../common/ui.js';
import { table, failure } from './parts.js';

const PAGE_SIZES = [25, 50, 100];

// datetime-local text for a Date, in local time.
function localText(d) {
  const p = (n) => String(n).padStart(2, '0');
  return `${d.getFullYear()}-${p(d.getMonth() + 1)}-${p(d.getDate())}T${p(d.getHours())}:${p(d.getMinutes())}`;
}

export default function auditView(root, { session, announce }) {
  let entries = [];
  let page = 0;
  let pageSize = 25;
  const now = new Date();
  const from = new Date(now.getTime() - 24 * 3600 * 1000);
  const apiSel = select('api', [{ value: '', label: 'every command' }], '');
  const filters = h('form', { class: 'panel', id: 'audit-filters', 'aria-label': 'Audit filters' },
    h('div', { class: 'stats' },
      field({ label: 'From', name: 'from', type: 'datetime-local', value: localText(from) }),
      field({ label: 'To (empty: now)', name: 'to', type: 'datetime-local' }),
      field({ label: 'Command', name: 'api', control: apiSel }),
      field({ label: 'User name contains', name: 'username' }),
      field({ label: 'Info contains', name: 'auditInfo' }),
      field({ label: 'Result code', name: 'responseCode', type: 'number' }),
      field({ label: 'Audit code', name: 'auditCode', type: 'number' }),
      field({ label: 'Remote address or network', name: 'remoteAddr' })),
    h('div', { class: 'actions' },
      h('button', { type: 'submit' }, 'Show'),
      h('button', { type: 'button', class: 'secondary', id: 'audit-export', onclick: () => exportCsv() }, 'Export CSV')));
  const list = h('div', { class: 'panel', id: 'audit-list' });
  root.append(filters, list);

  function request(extra = {}) {
    const f = filters;
    const t = (name) => {
      const v = f[name].value;
      return v ? Math.floor(new Date(v).getTime() / 1000) : null;
    };
    const attrs = { from: t('from') ?? 0, to: t('to') ?? Math.floor(Date.now() / 1000) + 60, api: f.api.value, ...extra };
    const kids = ['responseCode', 'auditCode', 'username', 'auditInfo', 'remoteAddr']
      .filter((n) => f[n].value.trim()).map((n) => x(n, {}, f[n].value.trim()));
    return session.call('getAuditLog', attrs, kids);
  }

  async function refresh() {
    try {
      const r = await request();
      entries = [...(r.answer?.children || [])].filter((e) => e.nodeName === 'e').map((e) => ({
        ts: e.getAttribute('ts'), api: e.getAttribute('api'), res: e.getAttribute('resCode'),
        code: e.getAttribute('auditCode'), addr: e.getAttribute('remoteAddr4') || '',
        user: e.querySelector('u')?.textContent || '', info: e.querySelector('i')?.textContent || '',
      })).reverse();
    } catch (err) {
      list.replaceChildren(failure(err));
      return;
    }
    show();
  }

  function show() {
    const pages = Math.max(1, Math.ceil(entries.length / pageSize));
    page = Math.min(page, pages - 1);
    const rows = entries.slice(page * pageSize, (page + 1) * pageSize).map((e, i) => ({ ...e, id: String(i) }));
    const sizeSel = select('pageSize', PAGE_SIZES.map((n) => ({ value: n, label: `${n} a page` })), pageSize);
    sizeSel.addEventListener('change', () => { pageSize = Number(sizeSel.value); page = 0; show(); });
    list.replaceChildren(
      h('p', { class: 'muted', 'aria-live': 'polite' }, `${entries.length} entries, newest first; page ${page + 1} of ${pages}`),
      table('Audit log', [
        { label: 'Time', cell: (e) => fmtTime(e.ts) },
        { label: 'Command', cell: (e) => e.api },
        { label: 'User', cell: (e) => e.user },
        { label: 'Result', cell: (e) => (e.res === '0' ? 'ok' : e.res) },
        { label: 'Info', cell: (e) => e.info },
        { label: 'Address', cell: (e) => e.addr, opt: true },
        { label: 'Audit code', cell: (e) => e.code, opt: true },
      ], rows),
      h('nav', { class: 'actions', 'aria-label': 'Audit pages' },
        h('button', { type: 'button', class: 'secondary', disabled: page === 0, onclick: () => { page -= 1; show(); } }, 'Previous page'),
        h('button', { type: 'button', class: 'secondary', disabled: page >= pages - 1, onclick: () => { page += 1; show(); } }, 'Next page'),
        h('label', { class: 'visually-hidden', for: 'audit-page-size' }, 'Entries a page'),
        Object.assign(sizeSel, { id: 'audit-page-size' })));
  }

  async function exportCsv() {
    try {
      const r = await request({ export: '1' });
      const b64 = r.answer?.querySelector('file')?.textContent || '';
      download(base64Blob(b64, 'text/csv'), `audit-${session.domain}.csv`);
      announce('Audit log exported');
    } catch (err) {
      announce(`Export failed: ${err.message}`);
    }
  }

  onSubmit(filters, () => { page = 0; return refresh(); });
  session.call('getAuditApi').then((r) => {
    for (const a of r.answer?.children || []) apiSel.append(h('option', { value: a.textContent }, a.textContent));
  }).catch(() => {});
  refresh();
  return { refresh };
}
