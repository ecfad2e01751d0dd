// The management console in a real browser: login and logout, creating a user, a group with a
// member and a resource with a permission through the forms (checked with the protocol), a
// refused password shown next to its field, the audit page, and a change made by another client
// appearing on the open page without a reload.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { BASE, browser, newPage, shot, fill, click, waitText, login, elements, post } from './support.js';

let b;
let page;
let admin; // another administrator's session, through the protocol

before(async () => {
  b = await browser();
  page = await newPage(b);
  admin = await login();
});

after(async () => {
  await b?.close();
});

test('login, then logout releases the token', async () => {
  await page.goto(`${BASE}/mgmt/`);
  await page.waitForSelector('form[aria-labelledby=login-title]');
  await shot(page, 'console-login');
  await fill(page, 'main', 'Password', 'tolbrine');
  await click(page, 'main', 'Sign in');
  await waitText(page, '#whoami', 'Administrator @ ORVANE');
  await page.waitForSelector('#user-form');
  const token = await page.evaluate(() => sessionStorage.getItem('orvane.mgmt.token'));
  assert.ok(token);
  assert.equal((await post(`<isValidToken domain="ORVANE" token="${token}"/>`)).code, 0, 'the console holds a live token');

  await page.click('#logout');
  await page.waitForSelector('form[aria-labelledby=login-title]');
  assert.equal(await page.evaluate(() => sessionStorage.getItem('orvane.mgmt.token')), null);
  assert.equal((await post(`<isValidToken domain="ORVANE" token="${token}"/>`)).code, 257, 'logout released the token');

  await fill(page, 'main', 'Password', 'tolbrine');
  await click(page, 'main', 'Sign in');
  await page.waitForSelector('#user-form');
});

test('a user created through the form exists; a weak password is refused next to its field', async () => {
  await fill(page, '#user-form', 'User name', 'alice');
  await fill(page, '#user-form', 'Password', 'weak');
  await click(page, '#user-form', 'Create user');
  await page.waitForFunction(() => document.querySelector('#user-form [data-field=password] .field-error')?.textContent.includes('password policy'));
  await shot(page, 'console-user-refused-password');
  const refused = elements((await admin.cmd('userSearch', '', '<s>^alice$</s>')).body, 'u');
  assert.equal(refused.length, 0, 'the refused user was not created');

  await fill(page, '#user-form', 'Password', 'Wonder1and');
  await click(page, '#user-form', 'Create user');
  await waitText(page, '#user-form h2', 'Edit user alice');
  const users = elements((await admin.cmd('userSearch', '', '<s>^alice$</s>')).body, 'u');
  assert.equal(users.length, 1);
  assert.equal(users[0].flags, '0');
  await shot(page, 'console-users');
});

test('a group created with a member user through the form', async () => {
  await page.goto(`${BASE}/mgmt/#/groups`);
  await page.waitForSelector('#group-form');
  await fill(page, '#group-form', 'Group name', 'staff');
  await page.evaluate(() => {
    const l = [...document.querySelectorAll('#group-form label')].find((e) => e.textContent === 'alice');
    document.getElementById(l.htmlFor).click();
  });
  await click(page, '#group-form', 'Create group');
  await waitText(page, '#group-form h2', 'Edit group staff');
  await waitText(page, 'ul.tree', 'staff');
  const groups = elements((await admin.cmd('groupSearch', '', '<s>^staff$</s>')).body, 'g');
  assert.equal(groups.length, 1);
  const alice = (await admin.cmd('userSearch', '', '<s>^alice$</s>')).body;
  assert.match(alice, new RegExp(`<g id="${groups[0].id}" name="staff"`), 'alice is a member of staff');
  await shot(page, 'console-groups');
});

test('a resource created with a permission through the form', async () => {
  await page.goto(`${BASE}/mgmt/#/resources`);
  await page.waitForSelector('#resource-form');
  await fill(page, '#resource-form', 'Resource name', 'printers');
  await click(page, '#resource-form', 'Add permission');
  const staffId = elements((await admin.cmd('groupSearch', '', '<s>^staff$</s>')).body, 'g')[0].id;
  await page.select('#resource-form li.perm select', `1:${staffId}`);
  await page.evaluate(() => {
    const row = document.querySelector('#resource-form li.perm');
    const write = [...row.querySelectorAll('label')].find((l) => l.textContent === 'WRITE');
    document.getElementById(write.htmlFor).click();
  });
  await click(page, '#resource-form', 'Create resource');
  await waitText(page, '#resource-form h2', 'Edit resource printers');
  const body = (await admin.cmd('resourceSearch', '', '<s>^printers$</s>')).body;
  const res = elements(body, 'r');
  assert.equal(res.length, 1);
  assert.equal(res[0].parentId, '0');
  const perms = elements(body, 'p');
  assert.equal(perms.length, 1);
  assert.deepEqual([perms[0].memberType, perms[0].memberId, perms[0].flags], ['1', staffId, '3']);
  await shot(page, 'console-resources');
});

test('the audit page lists the changes just made', async () => {
  await page.goto(`${BASE}/mgmt/#/audit`);
  await waitText(page, '#audit-list', 'user alice');
  const text = await page.$eval('#audit-list', (e) => e.textContent);
  assert.match(text, /group staff \(\d+\) added/);
  assert.match(text, /resource printers \(\d+\) added/);
  assert.match(text, /user alice \(\d+\) added/);
  await shot(page, 'console-audit');
});

test('a change by another client appears on the open page without reload', async () => {
  await page.goto(`${BASE}/mgmt/#/users`);
  await page.waitForSelector('#user-form');
  await page.waitForFunction(() => document.documentElement.dataset.live === 'live');
  await page.evaluate(() => { window.notReloaded = true; });
  const r = await admin.cmd('userInsert', '', '<u uname="carol"><p>Carol1xyz</p></u>');
  assert.equal(r.code, 0);
  await page.waitForFunction(() => [...document.querySelectorAll('.list td')].some((td) => td.textContent === 'carol'));
  assert.equal(await page.evaluate(() => window.notReloaded), true);

  await page.goto(`${BASE}/mgmt/#/groups`);
  await page.waitForSelector('#group-form');
  await page.waitForFunction(() => document.documentElement.dataset.live === 'live');
  await admin.cmd('groupInsert', '', '<g name="auditors"/>');
  await waitText(page, 'ul.tree', 'auditors');
});

test('health draws the CPU history; the console fits a phone screen', async () => {
  await page.goto(`${BASE}/mgmt/#/health`);
  await page.waitForSelector('svg.chart polyline');
  const points = await page.$eval('svg.chart polyline', (e) => e.getAttribute('points').trim().split(/\s+/).length);
  assert.equal(points, 60);
  await shot(page, 'console-health');

  await page.setViewport({ width: 390, height: 844, isMobile: true });
  await page.goto(`${BASE}/mgmt/#/users`);
  await page.waitForSelector('#user-form');
  const overflow = await page.evaluate(() => document.documentElement.scrollWidth - window.innerWidth);
  assert.ok(overflow <= 1, `no sideways scrolling on a phone (${overflow}px)`);
  await shot(page, 'console-phone');
});
