// Attributes of every target kind: the domain (its system settings with their rules), resources,
// groups, users and net clients.
import { h, field, select } from '../common/ui.js';
import * as data from './data.js';
import { attributePanel, failure } from './parts.js';

const KINDS = [
  { value: 0, label: 'Domain (system settings)' },
  { value: 1, label: 'Resource' },
  { value: 2, label: 'Group' },
  { value: 3, label: 'User' },
  { value: 4, label: 'Net client' },
];

export default function attributesView(root, { session, announce }) {
  let kind = 0;
  let target = session.domainId;
  const picker = h('div', { class: 'toolbar' });
  const body = h('div', {});
  root.append(picker, body);

  async function targets(k) {
    if (k === 1) return (await data.resources(session, '')).map((r) => ({ value: r.id, label: r.name }));
    if (k === 2) return (await data.groups(session, '')).map((g) => ({ value: g.id, label: g.name }));
    if (k === 3) return (await data.users(session, '')).map((u) => ({ value: u.id, label: u.uname }));
    if (k === 4) return (await data.netclients(session, '')).map((n) => ({ value: n.id, label: n.name }));
    return [{ value: session.domainId, label: session.domain }];
  }

  async function refresh() {
    let options;
    try {
      options = await targets(kind);
    } catch (err) {
      body.replaceChildren(failure(err));
      return;
    }
    if (!options.some((o) => String(o.value) === String(target))) target = options[0]?.value;
    const kindSel = select('kind', KINDS, kind);
    kindSel.addEventListener('change', () => { kind = Number(kindSel.value); target = null; refresh(); });
    const targetSel = select('target', options, target);
    targetSel.addEventListener('change', () => { target = targetSel.value; refresh(); });
    picker.replaceChildren(field({ label: 'Kind of target', name: 'kind', control: kindSel }),
      field({ label: 'Target', name: 'target', control: targetSel }));
    const name = options.find((o) => String(o.value) === String(target))?.label;
    body.replaceChildren(target ? attributePanel(session, kind, target, kind === 0 ? `Settings and attributes of ${name}` : `Attributes of ${name}`, announce)
      : h('p', { class: 'muted' }, 'No target of this kind yet.'));
  }

  refresh();
  return { refresh: () => body.querySelector('.attributes')?.refresh?.() };
}
