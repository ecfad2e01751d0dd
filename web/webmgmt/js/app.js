// The management console: login, the section navigation, and the live change feed that refreshes
// the open section when another administrator changes what it shows.
import { Session, LiveFeed } from '../common/orvane.js';
import { h, field, onSubmit, announce } from '../common/ui.js';
import domainsView from './domains.js';
import usersView from './users.js';
import groupsView from './groups.js';
import resourcesView from './resources.js';
import attributesView from './attributes.js';
import netclientsView from './netclients.js';
import profilesView from './profiles.js';
import backupsView from './backups.js';
import auditView from './audit.js';
import healthView from './health.js';

const session = new Session('mgmt');
const feed = new LiveFeed(session);

// Each section: its route, its title, the object kinds whose changes refresh it, its view.
const SECTIONS = [
  { route: 'domains', title: 'Domains', kinds: ['domain'], view: domainsView },
  { route: 'users', title: 'Users', kinds: ['user', 'group'], view: usersView },
  { route: 'groups', title: 'Groups', kinds: ['group', 'user'], view: groupsView },
  { route: 'resources', title: 'Resources', kinds: ['resource', 'user', 'group'], view: resourcesView },
  { route: 'attributes', title: 'Attributes', kinds: ['user', 'group', 'resource', 'netclient'], view: attributesView },
  { route: 'netclients', title: 'Net clients', kinds: ['netclient'], view: netclientsView },
  { route: 'profiles', title: 'NSS profiles', kinds: ['nssprofile', 'user', 'group'], view: profilesView },
  { route: 'backups', title: 'Backups', kinds: ['backup'], view: backupsView },
  { route: 'audit', title: 'Audit log', kinds: ['*'], view: auditView },
  { route: 'health', title: 'Health', kinds: [], view: healthView },
];

const app = document.getElementById('app');
let current = null; // {section, handle}
let notice = ''; // shown once above the login form

function routeName() {
  const r = location.hash.replace(/^#\/?/, '').split('?')[0];
  return SECTIONS.some((s) => s.route === r) ? r : 'users';
}

function loginView() {
  const params = new URLSearchParams(location.search);
  const form = h('form', { class: 'panel narrow', 'aria-labelledby': 'login-title', novalidate: true },
    h('h1', { id: 'login-title' }, 'Sign in to the Orvane console'),
    notice ? h('p', { class: 'notice', role: 'status' }, notice) : null,
    field({ label: 'Domain', name: 'domain', value: params.get('domain') || session.domain || 'ORVANE', required: true, autocomplete: 'organization' }),
    field({ label: 'User name', name: 'user', field: 'uname', value: 'Administrator', required: true, autocomplete: 'username' }),
    field({ label: 'Password', name: 'password', type: 'password', required: true, autocomplete: 'current-password' }),
    h('div', { class: 'actions' }, h('button', { type: 'submit' }, 'Sign in')));
  onSubmit(form, async (f) => {
    await session.login(f.domain.value.trim(), f.user.value.trim(), f.password.value);
    f.password.value = '';
    notice = '';
    render();
  });
  return form;
}

function header() {
  const bar = h('header', { class: 'bar' },
    h('a', { class: 'brand', href: '#/users' }, 'Orvane console'));
  if (session.loggedIn) {
    bar.append(h('div', { class: 'who' },
      h('span', { class: 'live', title: 'Live change feed', 'aria-label': 'Live updates' }, 'live'),
      h('span', { id: 'whoami' }, `${session.user} @ ${session.domain}`),
      h('button', { type: 'button', id: 'logout', onclick: logout }, 'Sign out')));
  }
  return bar;
}

async function logout() {
  current = null;
  feed.close();
  await session.logout();
  location.hash = '';
  render();
}

function nav(active) {
  return h('nav', { class: 'sections', 'aria-label': 'Sections' },
    h('ul', {}, SECTIONS.map((s) => h('li', {},
      h('a', { href: `#/${s.route}`, 'aria-current': s.route === active ? 'page' : null }, s.title)))));
}

function render() {
  app.replaceChildren();
  current = null;
  document.body.querySelector('header.bar')?.remove();
  document.querySelector('.skip').after(header());
  if (!session.loggedIn) {
    document.title = 'Sign in · Orvane console';
    app.append(loginView());
    app.querySelector('input[name=password]')?.focus();
    return;
  }
  const route = routeName();
  const section = SECTIONS.find((s) => s.route === route);
  document.title = `${section.title} · Orvane console`;
  const content = h('div', { class: 'content', id: 'content' },
    h('h1', { id: 'section-title', tabindex: '-1' }, section.title));
  app.append(h('div', { class: 'layout' }, nav(route), content));
  const handle = section.view(content, { session, announce, feed });
  current = { section, handle };
  feed.start();
}

// Refreshes the open section when a change it shows arrives (debounced: a burst refreshes once).
let pending = null;
feed.on((c) => {
  if (!c.objType || !current || !session.loggedIn) return;
  if (c.objType !== 'domain' && session.domainId && c.domain !== session.domainId) return;
  const { section, handle } = current;
  if (!section.kinds.includes('*') && !section.kinds.includes(c.objType)) return;
  if (c.user !== session.userId) announce(`A ${c.objType} was ${({ insert: 'added', edit: 'changed', remove: 'removed' })[c.changeType] || 'changed'} by another session`);
  clearTimeout(pending);
  pending = setTimeout(() => handle?.refresh?.(c), 150);
});

session.onChange(() => {
  if (!session.loggedIn && current) {
    notice = 'Your session has ended (it expired, was signed out elsewhere, or the domain was restored from a backup). Sign in again.';
    render();
  }
});

// The skip link moves focus without touching the route in the fragment.
document.querySelector('.skip').addEventListener('click', (ev) => {
  ev.preventDefault();
  app.focus();
});

window.addEventListener('hashchange', () => {
  if (!session.loggedIn) return;
  render();
  document.getElementById('section-title')?.focus();
});

render();
