// The single-sign-on portal: login for any domain, the way back to the application that sent the
// browser here (?return=URL, only to origins the domain lists in ssoReturnOrigins), the password
// change page with the domain's policy, and the signed-in page with logout.
import { Session, send, x, E, passwordPolicy, policyRules } from '../common/orvane.js';
import { h, field, onSubmit, fieldError, fmtTime } from '../common/ui.js';

const session = new Session('sso');
const app = document.getElementById('app');
const params = new URLSearchParams(location.search);
const returnUrl = params.get('return');
let notice = '';

// The origins the domain accepts as return targets; none when the attribute is absent.
async function allowedOrigins() {
  const r = await session.call('getAttributes', {}, x('path', {}, '/=ssoReturnOrigins'));
  const a = [...(r.answer?.children || [])].find((e) => e.getAttribute('name') === 'ssoReturnOrigins');
  return (a?.textContent || '').split(',').map((o) => o.trim()).filter(Boolean).map((o) => {
    try {
      return new URL(o).origin;
    } catch {
      return null;
    }
  }).filter(Boolean);
}

// The return target when its origin is allowed, else null (never an open redirect).
async function checkedReturn() {
  if (!returnUrl) return null;
  let url;
  try {
    url = new URL(returnUrl);
  } catch {
    return null;
  }
  if (url.protocol !== 'https:' && url.protocol !== 'http:') return null;
  let origins = [];
  try {
    origins = await allowedOrigins();
  } catch {
    return null;
  }
  return origins.includes(url.origin) ? url : null;
}

// Sends the browser back to the return target with the token in the fragment, when allowed;
// otherwise shows the signed-in page.
async function goBack() {
  const target = await checkedReturn();
  if (target) {
    target.hash = new URLSearchParams({ token: session.token, domain: session.domain, expire: session.get('expire') || '' }).toString();
    location.assign(target.toString());
    return;
  }
  if (returnUrl) notice = 'The address you came from is not on this domain\'s list of return origins, so you stay here.';
  go('signed-in');
}

function go(route) {
  if (location.hash === `#/${route}`) render();
  else location.hash = `#/${route}`;
}

function shell(title, ...content) {
  document.title = `${title} · Orvane single sign-on`;
  app.replaceChildren(h('section', { class: 'panel narrow', 'aria-labelledby': 'page-title' },
    h('h1', { id: 'page-title', tabindex: '-1' }, title),
    notice ? h('p', { class: 'notice', role: 'status' }, notice) : null,
    ...content));
  notice = '';
}

function loginPage() {
  const form = h('form', { id: 'login-form', novalidate: true },
    returnUrl ? h('p', { class: 'muted' }, 'Sign in to go on to ', h('span', { class: 'mono' }, returnUrl)) : null,
    field({ label: 'Domain', name: 'domain', value: params.get('domain') || session.domain || 'ORVANE', required: true, autocomplete: 'organization' }),
    field({ label: 'User name', name: 'user', field: 'uname', required: true, autocomplete: 'username' }),
    field({ label: 'Password', name: 'password', type: 'password', required: true, autocomplete: 'current-password' }),
    h('div', { class: 'actions' }, h('button', { type: 'submit' }, 'Sign in'),
      h('a', { href: '#/password', class: 'button secondary' }, 'Change password')));
  onSubmit(form, async (f) => {
    const domain = f.domain.value.trim();
    const user = f.user.value.trim();
    try {
      await session.login(domain, user, f.password.value);
    } catch (err) {
      if (err.code === E.PASSWORD_MUST_CHANGE || err.code === E.PASSWORD_EXPIRED) {
        session.store({ domain, user });
        notice = `${err.message} Choose a new password.`;
        go('password');
        return;
      }
      throw err;
    }
    f.password.value = '';
    await goBack();
  });
  shell('Sign in', form);
  form.querySelector(session.domain ? 'input[name=user]' : 'input[name=domain]').focus();
}

async function signedInPage() {
  if (!session.loggedIn) {
    go('');
    return;
  }
  let valid = true;
  try {
    await session.call('isValidToken');
  } catch {
    valid = false;
  }
  if (!valid) {
    notice = 'Your session has ended; sign in again.';
    go('');
    return;
  }
  const logout = h('button', { type: 'button', id: 'logout' }, 'Sign out');
  logout.addEventListener('click', async () => {
    await session.logout();
    notice = 'You are signed out.';
    go('');
  });
  shell('Signed in',
    h('p', { id: 'signed-in-as' }, 'You are signed in as ', h('strong', {}, session.user), ' in the domain ', h('strong', {}, session.domain), '.'),
    h('p', { class: 'muted' }, `The session ends after a period without use${session.get('expire') ? `; it is valid at least until ${fmtTime(session.get('expire'))}` : ''}.`),
    h('div', { class: 'actions' }, logout, h('a', { href: '#/password', class: 'button secondary' }, 'Change password')));
}

function passwordPage() {
  const rulesList = h('ul', { class: 'policy', id: 'policy', 'aria-live': 'polite' }, h('li', {}, 'loading the password policy…'));
  let rules = [];
  const form = h('form', { id: 'password-form', novalidate: true },
    field({ label: 'Domain', name: 'domain', value: session.domain || params.get('domain') || 'ORVANE', required: true }),
    field({ label: 'User name', name: 'user', field: 'uname', value: session.user || '', required: true, autocomplete: 'username' }),
    field({ label: 'Current password', name: 'old', type: 'password', required: true, autocomplete: 'current-password' }),
    h('h2', { id: 'policy-title' }, 'A new password needs'), rulesList,
    field({ label: 'New password', name: 'password', type: 'password', required: true, autocomplete: 'new-password', attrs: { 'aria-describedby': 'policy' } }),
    field({ label: 'New password again', name: 'confirm', type: 'password', required: true, autocomplete: 'new-password' }),
    h('div', { class: 'actions' }, h('button', { type: 'submit' }, 'Change password'),
      h('a', { href: session.loggedIn ? '#/signed-in' : '#/', class: 'button secondary' }, 'Back')));

  function mark() {
    const pw = form.password.value;
    rulesList.replaceChildren(...(rules.length ? rules.map((r) => h('li', {
      class: pw ? (r.ok(pw) ? 'met' : 'unmet') : null, dataset: { rule: r.key },
    }, r.text)) : [h('li', {}, 'no rules')]));
  }

  async function loadPolicy() {
    try {
      rules = policyRules(await passwordPolicy(form.domain.value.trim()));
      mark();
    } catch (err) {
      rules = [];
      rulesList.replaceChildren(h('li', { class: 'unmet' }, `The policy cannot be read: ${err.message}`));
    }
  }

  form.domain.addEventListener('change', loadPolicy);
  form.password.addEventListener('input', mark);
  onSubmit(form, async (f) => {
    const pw = f.password.value;
    const broken = rules.filter((r) => !r.ok(pw));
    if (broken.length) throw fieldError('password', `The new password needs ${broken.map((r) => r.text).join(', ')}.`);
    if (pw !== f.confirm.value) throw fieldError('confirm', 'The two new passwords differ.');
    if (!f.old.value) throw fieldError('old', 'Type your current password.');
    await send(x('userChangePwd', { domain: f.domain.value.trim() },
      x('u', { uname: f.user.value.trim() }, x('p', {}, pw), x('o', {}, f.old.value))));
    notice = 'Your password has been changed.';
    if (session.loggedIn) go('signed-in');
    else go('');
  });
  shell('Change password', form);
  loadPolicy();
  form.querySelector(session.user ? 'input[name=old]' : 'input[name=user]').focus();
}

// Already signed in and sent here again: go straight back while the token is still valid.
async function resume() {
  try {
    await session.call('isValidToken');
  } catch {
    loginPage();
    return;
  }
  await goBack();
}

function render() {
  const route = location.hash.replace(/^#\/?/, '');
  if (route === 'password') passwordPage();
  else if (route === 'signed-in' || (route === '' && session.loggedIn && !returnUrl)) signedInPage();
  else if (route === '' && session.loggedIn) resume();
  else loginPage();
}

// The skip link moves focus without touching the route in the fragment.
document.querySelector('.skip').addEventListener('click', (ev) => {
  ev.preventDefault();
  app.focus();
});

window.addEventListener('hashchange', render);
render();
