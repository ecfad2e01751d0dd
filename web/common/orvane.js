// Orvane XML command protocol client, shared by the web packages.
//
// A request is an <orvane> document whose children are commands; the answer holds at most one
// answer element and ends with <res code=".." msg=".."/>. Commands go as a POST to the same
// origin; the live change feed is a WebSocket on the same origin bound with <auth token=".."/>.

// Result codes the pages react to by name.
export const E = Object.freeze({
  OK: 0,
  INVALID_REQUEST: 0x10,
  INVALID_VALUE: 0x18,
  TOKEN_NOT_FOUND: 0x101,
  ACCESS_VIOLATION: 0x102,
  DOMAIN_NOT_FOUND: 0x103,
  INVALID_CREDENTIALS: 0x104,
  PASSWORD_POLICY: 0x504,
  PASSWORD_EXPIRED: 0x506,
  ACCOUNT_LOCKED: 0x510,
  PASSWORD_MUST_CHANGE: 0x511,
});

// A refused command: the server's code and message.
export class OrvaneError extends Error {
  constructor(code, msg) {
    super(msg || `result code ${code}`);
    this.code = code;
  }
}

// A command or child element: x('userInsert', {domain: 'D'}, x('u', {uname: 'a'}, x('p', {}, 'pw')))
// Text children are strings; null and undefined children and attributes are left out.
export function x(name, attrs = {}, ...children) {
  return { name, attrs, children: children.flat().filter((c) => c !== null && c !== undefined) };
}

export function escapeXml(s) {
  return String(s).replace(/[&<>"']/g, (c) => ({ '&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&apos;' })[c]);
}

export function serialize(node) {
  if (typeof node === 'string' || typeof node === 'number') return escapeXml(node);
  let out = `<${node.name}`;
  for (const [k, v] of Object.entries(node.attrs || {})) {
    if (v !== null && v !== undefined) out += ` ${k}="${escapeXml(v)}"`;
  }
  if (!node.children.length) return `${out}/>`;
  return `${out}>${node.children.map(serialize).join('')}</${node.name}>`;
}

// Parses an answer document; returns {code, msg, doc, answer} where answer is the answer element
// (the first child of the root that is not res), or null.
export function parseAnswer(text) {
  const doc = new DOMParser().parseFromString(text, 'text/xml');
  const root = doc.documentElement;
  if (!root || root.nodeName !== 'orvane' || doc.getElementsByTagName('parsererror').length) {
    throw new OrvaneError(-1, 'the server sent an answer that is not an Orvane document');
  }
  const kids = [...root.children];
  const res = kids.filter((k) => k.nodeName === 'res').pop();
  if (!res) throw new OrvaneError(-1, 'the answer carries no result');
  return {
    code: Number(res.getAttribute('code')),
    msg: res.getAttribute('msg') || '',
    doc,
    answer: kids.find((k) => k.nodeName !== 'res') || null,
  };
}

// Sends one command document to the server. Throws OrvaneError for a non-zero code unless
// opts.allow lists it; network failures surface as OrvaneError with code -1.
export async function send(commands, opts = {}) {
  const body = serialize(x('orvane', {}, commands));
  let response;
  try {
    response = await fetch(opts.url || '/', {
      method: 'POST',
      headers: { 'Content-Type': 'text/xml' },
      body,
      cache: 'no-store',
      credentials: 'omit',
    });
  } catch (err) {
    throw new OrvaneError(-1, `the server cannot be reached (${err.message})`);
  }
  const result = parseAnswer(await response.text());
  if (result.code !== 0 && !(opts.allow || []).includes(result.code)) {
    const e = new OrvaneError(result.code, result.msg);
    e.answer = result.answer;
    throw e;
  }
  return result;
}

// Session state of one package, kept in sessionStorage under its own prefix.
export class Session {
  constructor(prefix) {
    this.prefix = `orvane.${prefix}.`;
    this.listeners = new Set();
  }
  get(key) {
    return sessionStorage.getItem(this.prefix + key);
  }
  get token() { return this.get('token'); }
  get domain() { return this.get('domain'); }
  get user() { return this.get('user'); }
  get domainId() { return this.get('domainId'); }
  get userId() { return this.get('userId'); }
  get loggedIn() { return !!this.token; }

  store(values) {
    for (const [k, v] of Object.entries(values)) {
      if (v === null || v === undefined) sessionStorage.removeItem(this.prefix + k);
      else sessionStorage.setItem(this.prefix + k, String(v));
    }
    for (const fn of this.listeners) fn(this);
  }
  onChange(fn) { this.listeners.add(fn); }

  // Logs in with a user name and password; stores the token and who holds it.
  async login(domain, user, password) {
    const r = await send(x('getToken', { domain }, x('u', {}, user), x('p', {}, password)));
    const token = r.answer?.textContent || '';
    if (!token) throw new OrvaneError(-1, 'the server issued no token');
    const info = await send(x('getTokenInfo', { domain, token }));
    const d = info.answer?.querySelector('domain');
    const u = info.answer?.querySelector('user');
    this.store({
      token,
      expire: r.answer.getAttribute('expire'),
      domain: d?.getAttribute('name') || domain,
      domainId: d?.getAttribute('id'),
      user: u?.getAttribute('uname') || user,
      userId: u?.getAttribute('id'),
    });
    return token;
  }

  // Releases the token on the server (best effort) and forgets the session.
  async logout() {
    const { token, domain } = this;
    this.store({ token: null, expire: null, domainId: null, userId: null, user: null });
    if (token) {
      try {
        await send(x('releaseToken', { domain, token }));
      } catch (err) {
        // The token may have expired already; the session is gone either way.
      }
    }
  }

  // Runs one command as the session's user in the session's domain.
  call(name, attrs = {}, ...children) {
    return send(x(name, { ...attrs, domain: this.domain, token: this.token }, ...children)).catch((err) => {
      if (err.code === E.TOKEN_NOT_FOUND) this.store({ token: null });
      throw err;
    });
  }
}

// The live change feed: a WebSocket bound to the session's token that reconnects with back-off
// and binds again whenever the session gets a new token.
export class LiveFeed {
  constructor(session) {
    this.session = session;
    this.listeners = new Set();
    this.delay = 1000;
    this.ws = null;
    this.timer = null;
    this.bound = null;
    this.state = 'closed';
    session.onChange(() => this.sync());
  }
  on(fn) { this.listeners.add(fn); }

  start() { this.sync(); }

  sync() {
    const token = this.session.token;
    if (!token) {
      this.close();
      return;
    }
    if (this.ws && this.ws.readyState === WebSocket.OPEN && this.bound !== token) {
      this.bind(token);
    } else if (!this.ws) {
      this.connect();
    }
  }

  connect() {
    clearTimeout(this.timer);
    const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
    const ws = new WebSocket(`${scheme}://${location.host}/`);
    this.ws = ws;
    this.setState('connecting');
    ws.onopen = () => {
      if (this.session.token) this.bind(this.session.token);
    };
    ws.onmessage = (ev) => this.message(ev.data);
    ws.onclose = () => {
      if (this.ws !== ws) return;
      this.ws = null;
      this.bound = null;
      this.setState('closed');
      if (!this.session.token) return;
      this.timer = setTimeout(() => this.connect(), this.delay);
      this.delay = Math.min(this.delay * 2, 30000);
    };
  }

  bind(token) {
    this.bound = token;
    this.ws.send(serialize(x('orvane', {}, x('auth', { token }))));
  }

  message(text) {
    let doc;
    try {
      doc = new DOMParser().parseFromString(String(text), 'text/xml');
    } catch {
      return;
    }
    const res = doc.querySelector('orvane > res');
    if (res) {
      if (res.getAttribute('code') === '0') {
        this.delay = 1000;
        this.setState('live');
      } else if (Number(res.getAttribute('code')) === E.TOKEN_NOT_FOUND) {
        this.session.store({ token: null });
      }
      return;
    }
    const change = doc.querySelector('orvane > change');
    if (!change) return;
    const c = {};
    for (const a of change.attributes) c[a.name] = a.value;
    for (const fn of this.listeners) fn(c);
  }

  close() {
    clearTimeout(this.timer);
    const ws = this.ws;
    this.ws = null;
    this.bound = null;
    if (ws) ws.close();
    this.setState('closed');
  }

  setState(s) {
    this.state = s;
    document.documentElement.dataset.live = s;
    for (const fn of this.listeners) fn({ feedState: s });
  }
}

// Base64 text to a Blob, for the downloads the server hands out in answers.
export function base64Blob(b64, type) {
  const bin = atob((b64 || '').replace(/\s+/g, ''));
  const bytes = new Uint8Array(bin.length);
  for (let i = 0; i < bin.length; i++) bytes[i] = bin.charCodeAt(i);
  return new Blob([bytes], { type });
}

// The domain's password policy from its system settings (readable without a token).
export async function passwordPolicy(domain) {
  const r = await send(x('getAttributes', { domain }, x('path', {}, '/')));
  const v = {};
  for (const a of r.answer?.children || []) v[a.getAttribute('name')] = a.textContent;
  const on = (k) => v[k] === '1';
  return {
    minLength: Number(v.passwordMinLength || 0),
    expireDays: Number(v.passwordExpireDays || 0),
    capital: on('passwordMustCapital'),
    digit: on('passwordMustDigit'),
    letter: on('passwordMustLetter'),
    special: on('passwordMustSpecSymbol'),
  };
}

// The rules a password breaks under a policy, as the server counts them (bytes of UTF-8).
export function policyRules(policy) {
  const rules = [];
  if (policy.minLength > 0) {
    rules.push({ key: 'length', text: `at least ${policy.minLength} characters`,
      ok: (pw) => new TextEncoder().encode(pw).length >= policy.minLength });
  }
  if (policy.capital) rules.push({ key: 'capital', text: 'a capital letter (A-Z)', ok: (pw) => /[A-Z]/.test(pw) });
  if (policy.digit) rules.push({ key: 'digit', text: 'a digit (0-9)', ok: (pw) => /[0-9]/.test(pw) });
  if (policy.letter) rules.push({ key: 'letter', text: 'a letter (a-z or A-Z)', ok: (pw) => /[A-Za-z]/.test(pw) });
  if (policy.special) {
    rules.push({ key: 'special', text: 'a symbol that is neither letter nor digit', ok: (pw) => /[^A-Za-z0-9]/.test(pw) });
  }
  return rules;
}
