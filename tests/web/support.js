// What the browser tests share: the server under test, a protocol client of the test's own (not
// the pages' one), and a headless Chromium with a fresh profile.
import https from 'node:https';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

export const BASE = process.env.ORVANE_URL || 'https://127.0.0.1:8443';
export const ARTIFACTS = process.env.ORVANE_WEB_ARTIFACTS || path.join(os.tmpdir(), 'orvane-web-artifacts');
fs.mkdirSync(ARTIFACTS, { recursive: true });

const agent = new https.Agent({ rejectUnauthorized: false });

const esc = (s) => String(s).replace(/[&<>"]/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;' })[c]);
export { esc };

// Posts a command document; returns {code, msg, body}.
export function post(xml) {
  return new Promise((resolve, reject) => {
    const req = https.request(`${BASE}/`, { method: 'POST', agent, headers: { 'Content-Type': 'text/xml' } }, (res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (d) => { body += d; });
      res.on('end', () => {
        const m = /<res code="(\d+)" msg="([^"]*)"/.exec(body);
        resolve({ code: m ? Number(m[1]) : -1, msg: m ? m[2] : '', body });
      });
    });
    req.on('error', reject);
    req.end(`<orvane>${xml}</orvane>`);
  });
}

// A second administrator's session, as another client of the server.
export async function login(domain = 'ORVANE', user = 'Administrator', password = 'tolbrine') {
  const r = await post(`<getToken domain="${esc(domain)}"><u>${esc(user)}</u><p>${esc(password)}</p></getToken>`);
  const token = /<token[^>]*>([^<]+)<\/token>/.exec(r.body)?.[1];
  if (!token) throw new Error(`login of ${user}@${domain} failed: ${r.code} ${r.msg}`);
  const info = await post(`<getTokenInfo domain="${esc(domain)}" token="${esc(token)}"/>`);
  const domainId = /<domain id="(\d+)"/.exec(info.body)?.[1];
  return {
    token,
    domain,
    domainId,
    // Runs one command as this session: cmd('userSearch', '', '<s/>').
    cmd: (name, attrs, inner = '') => post(`<${name} domain="${esc(domain)}" token="${esc(token)}" ${attrs || ''}>${inner}</${name}>`),
  };
}

// Elements of an answer as attribute maps: elements(body, 'u').
export function elements(body, name) {
  const re = new RegExp(`<${name}((?:\\s+[\\w:-]+="[^"]*")*)\\s*/?>`, 'g');
  const out = [];
  for (const m of body.matchAll(re)) {
    const a = {};
    for (const p of m[1].matchAll(/([\w:-]+)="([^"]*)"/g)) a[p[1]] = p[2];
    out.push(a);
  }
  return out;
}

export async function browser() {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'orvane-chromium-'));
  const b = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    userDataDir: profile,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--ignore-certificate-errors', '--disable-dev-shm-usage'],
  });
  const close = b.close.bind(b);
  b.close = async () => {
    await close();
    fs.rmSync(profile, { recursive: true, force: true });
  };
  return b;
}

export async function newPage(b, width = 1280, height = 860) {
  const page = await b.newPage();
  await page.setViewport({ width, height });
  page.setDefaultTimeout(15000);
  page.on('pageerror', (err) => console.error(`page error: ${err.message}`));
  return page;
}

export async function shot(page, name) {
  await page.screenshot({ path: path.join(ARTIFACTS, `${name}.png`), fullPage: true });
}

// Types into the input labelled `label` inside `scope` (a selector).
export async function fill(page, scope, label, value) {
  const handle = await page.waitForFunction((sc, lb) => {
    const root = document.querySelector(sc);
    if (!root) return null;
    const l = [...root.querySelectorAll('label')].find((e) => e.textContent.trim() === lb);
    return l ? document.getElementById(l.htmlFor) : null;
  }, {}, scope, label);
  await handle.evaluate((el) => { el.value = ''; });
  await handle.type(value);
}

// Clicks the button or link of `scope` whose text is `text`.
export async function click(page, scope, text) {
  const handle = await page.waitForFunction((sc, t) => {
    const root = document.querySelector(sc);
    return root && [...root.querySelectorAll('button, a')].find((e) => e.textContent.trim() === t && !e.disabled);
  }, {}, scope, text);
  await handle.click();
}

// Waits until the text appears in the element matched by selector.
export function waitText(page, selector, text) {
  return page.waitForFunction((s, t) => document.querySelector(s)?.textContent.includes(t), {}, selector, text);
}
