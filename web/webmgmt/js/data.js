// Reads the directory's lists through the *Search commands and turns them into plain objects.
import { x } from '../common/orvane.js';

const kids = (el, name) => (el ? [...el.children].filter((c) => c.nodeName === name) : []);
const child = (el, name) => kids(el, name)[0] || null;
const attrs = (el) => Object.fromEntries([...el.attributes].map((a) => [a.name, a.value]));

// The pattern element of every search: empty text lists everything.
export const pattern = (s) => x('s', {}, s || '');

export async function users(session, s) {
  const r = await session.call('userSearch', {}, pattern(s));
  return kids(r.answer, 'u').map((u) => ({
    ...attrs(u),
    flags: Number(u.getAttribute('flags')),
    groups: kids(child(u, 'memberof'), 'g').map(attrs),
    fullName: child(child(u, 'info'), 'name')?.textContent || '',
    pwdChanged: child(child(u, 'info'), 'pwdCh')?.textContent || '',
    expired: child(child(u, 'info'), 'pwdCh')?.hasAttribute('expired') || false,
  }));
}

export async function groups(session, s) {
  const r = await session.call('groupSearch', {}, pattern(s));
  return kids(r.answer, 'g').map((g) => ({ ...attrs(g), parents: kids(child(g, 'memberof'), 'g').map(attrs) }));
}

export async function resources(session, s) {
  const r = await session.call('resourceSearch', {}, pattern(s));
  return kids(r.answer, 'r').map((e) => ({
    ...attrs(e),
    flags: Number(e.getAttribute('flags')),
    children: kids(child(e, 'members'), 'cr').map((c) => c.getAttribute('id')),
    permissions: kids(child(e, 'permissions'), 'p').map((p) => ({
      ...attrs(p), flags: Number(p.getAttribute('flags')), memberType: Number(p.getAttribute('memberType')),
    })),
  }));
}

export async function netclients(session, s) {
  const r = await session.call('netClientSearch', {}, pattern(s));
  return kids(r.answer, 'netc').map((n) => ({
    ...attrs(n),
    v4: kids(n, 'v4').map((a) => a.textContent),
    v6: kids(n, 'v6').map((a) => a.textContent),
  }));
}

export async function profiles(session, s) {
  const r = await session.call('nssProfileSearch', {}, pattern(s));
  return kids(r.answer, 'nssp').map((p) => ({
    ...attrs(p),
    users: kids(p, 'u').map(attrs),
    groups: kids(p, 'g').map(attrs),
    includes: kids(p, 'i').map((i) => i.getAttribute('id')),
  }));
}

export async function domains(session, s) {
  const r = await session.call('domainSearch', {}, pattern(s));
  return kids(r.answer, 'd').map(attrs);
}

export async function attributes(session, targettype, target, s) {
  const r = await session.call('attrSearch', { targettype, target }, pattern(s));
  return kids(r.answer, 'a').map((a) => ({
    ...attrs(a), flags: Number(a.getAttribute('flags')), type: Number(a.getAttribute('type')), value: a.textContent,
  }));
}

export async function backups(session) {
  const r = await session.call('backupSearch');
  return kids(r.answer, 'backup').map((b) => ({ ...attrs(b), name: b.textContent }));
}

// A forest from a flat list: parentOf(item) gives the parent ids (none or several).
export function forest(items, parentsOf) {
  const byId = new Map(items.map((i) => [String(i.id), i]));
  const childrenOf = new Map();
  const roots = [];
  for (const item of items) {
    const parents = parentsOf(item).map(String).filter((p) => byId.has(p));
    if (!parents.length) roots.push(item);
    for (const p of parents) {
      if (!childrenOf.has(p)) childrenOf.set(p, []);
      childrenOf.get(p).push(item);
    }
  }
  return { roots, childrenOf: (id) => childrenOf.get(String(id)) || [] };
}

export const PERM = Object.freeze({ READ: 1, WRITE: 2, EXEC: 4 });

export function permText(flags) {
  return Object.entries(PERM).filter(([, b]) => flags & b).map(([n]) => n).join(' ') || 'none';
}
