// The single-sign-on portal and the landing page in a real browser: login with an allowed and a
// refused return origin, logout, the password change page enforcing the domain's policy, and the
// landing page's version and HTTPS report.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { BASE, browser, newPage, shot, fill, click, waitText, login, post, elements } from './support.js';

const APP = 'https://app.example.test';
const EVIL = 'https://evil.example.test';

let b;
let admin;
const visited = []; // requests the browser tried to make off this server

before(async () => {
  b = await browser();
  admin = await login();
  // The domain lets the portal send browsers back to APP only.
  const r = await admin.cmd('attrInsert', `targettype="domain" target="${admin.domainId}"`,
    `<a name="ssoReturnOrigins" type="4" flags="0">${APP}, https://other.example.test</a>`);
  assert.equal(r.code, 0, r.msg);
  for (const u of [['erin', 'Erin1pass'], ['dave', 'Dave1pass']]) {
    const a = await admin.cmd('userInsert', '', `<u uname="${u[0]}"><p>${u[1]}</p></u>`);
    assert.equal(a.code, 0, a.msg);
  }
});

after(async () => {
  await b?.close();
});

// A page whose requests to the example origins are answered here: the network is closed.
async function portalPage() {
  const page = await newPage(b, 1024, 760);
  await page.setRequestInterception(true);
  page.on('request', (req) => {
    const url = req.url();
    if (url.startsWith(APP) || url.startsWith(EVIL)) {
      visited.push(url);
      req.respond({ status: 200, contentType: 'text/html', body: '<!DOCTYPE html><title>app</title><p>application</p>' });
    } else {
      req.continue();
    }
  });
  return page;
}

async function signIn(page, user, password) {
  await page.waitForSelector('#login-form');
  await fill(page, '#login-form', 'User name', user);
  await fill(page, '#login-form', 'Password', password);
  await click(page, '#login-form', 'Sign in');
}

test('login with an allowed return origin goes back with the token in the fragment', async () => {
  const page = await portalPage();
  const target = `${APP}/after-login?x=1`;
  await page.goto(`${BASE}/sso/?return=${encodeURIComponent(target)}`);
  await shot(page, 'portal-login');
  await Promise.all([page.waitForNavigation(), signIn(page, 'erin', 'Erin1pass')]);
  const url = new URL(page.url());
  assert.equal(url.origin, APP);
  assert.equal(url.pathname + url.search, '/after-login?x=1');
  const frag = new URLSearchParams(url.hash.slice(1));
  assert.equal(frag.get('domain'), 'ORVANE');
  const token = frag.get('token');
  assert.ok(token);
  const sent = visited.map((v) => v.split('#')[0]);
  assert.ok(!sent.some((v) => v.includes(token) || v.includes(encodeURIComponent(token))), 'the token never travels in a request');
  const check = await post(`<getTokenInfo domain="ORVANE" token="${token}"/>`);
  assert.equal(check.code, 0);
  assert.equal(elements(check.body, 'user')[0].uname, 'erin');
  await page.close();
});

test('login with a refused return origin stays on the portal; logout ends the session', async () => {
  const page = await portalPage();
  const before = visited.length;
  await page.goto(`${BASE}/sso/?return=${encodeURIComponent(`${EVIL}/steal`)}`);
  await signIn(page, 'erin', 'Erin1pass');
  await waitText(page, '#signed-in-as', 'erin');
  assert.ok(new URL(page.url()).origin === new URL(BASE).origin, 'still on the portal');
  assert.match(await page.$eval('.notice', (e) => e.textContent), /not on this domain's list of return origins/);
  assert.equal(visited.length, before, 'no request went to the refused origin');
  await shot(page, 'portal-signed-in');

  const token = await page.evaluate(() => sessionStorage.getItem('orvane.sso.token'));
  await page.click('#logout');
  await page.waitForSelector('#login-form');
  await waitText(page, '.notice', 'signed out');
  assert.equal((await post(`<isValidToken domain="ORVANE" token="${token}"/>`)).code, 257);
  await page.close();
});

test('the password change page shows the policy first and enforces it', async () => {
  const page = await portalPage();
  await page.goto(`${BASE}/sso/#/password`);
  await page.waitForSelector('#password-form');
  await page.waitForSelector('#policy li[data-rule=length]');
  const rules = await page.$$eval('#policy li', (l) => l.map((e) => e.textContent));
  assert.deepEqual(rules, ['at least 6 characters', 'a capital letter (A-Z)', 'a digit (0-9)', 'a letter (a-z or A-Z)']);

  await fill(page, '#password-form', 'User name', 'dave');
  await fill(page, '#password-form', 'Current password', 'Dave1pass');
  await fill(page, '#password-form', 'New password', 'short');
  await fill(page, '#password-form', 'New password again', 'short');
  assert.equal(await page.$eval('#policy li[data-rule=capital]', (e) => e.className), 'unmet');
  await click(page, '#password-form', 'Change password');
  await waitText(page, '#password-form [data-field=password] .field-error', 'needs');
  await shot(page, 'portal-password-refused');
  assert.equal((await post('<authenticate domain="ORVANE"><u>dave</u><p>Dave1pass</p></authenticate>')).code, 0, 'nothing changed');

  // The server's own check stands behind the page's: a wrong current password is refused there.
  await fill(page, '#password-form', 'Current password', 'Wrong1pass');
  await fill(page, '#password-form', 'New password', 'Better2pass');
  await fill(page, '#password-form', 'New password again', 'Better2pass');
  await click(page, '#password-form', 'Change password');
  await waitText(page, '#password-form [data-field=old] .field-error', 'invalid old password');

  await fill(page, '#password-form', 'Current password', 'Dave1pass');
  await click(page, '#password-form', 'Change password');
  await page.waitForSelector('#login-form');
  await waitText(page, '.notice', 'password has been changed');
  assert.equal((await post('<authenticate domain="ORVANE"><u>dave</u><p>Better2pass</p></authenticate>')).code, 0);
  await page.close();
});

test('the landing page tells the version and that HTTPS is available', async () => {
  const page = await newPage(b);
  await page.goto(`${BASE}/`);
  await waitText(page, '#version', '1.0.0');
  await waitText(page, '#https', 'yes');
  const links = await page.$$eval('main a', (l) => l.map((a) => a.getAttribute('href')));
  assert.ok(links.includes('/mgmt/') && links.includes('/sso/'));
  await shot(page, 'landing');
  await page.close();
});
