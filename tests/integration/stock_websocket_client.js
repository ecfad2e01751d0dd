// A stock WebSocket client (Node's built-in one) against a running orvaned: it upgrades, binds
// the token, inserts a user over HTTPS and waits for that user's change notification.
// Environment: ORVANE_WS_URL (ws:// or wss://), ORVANE_HTTPS_PORT, ORVANE_TOKEN, ORVANE_USER.
// Prints every frame it receives; exits 0 once the notification arrived, 1 on any failure.
'use strict';
const https = require('node:https');

const url = process.env.ORVANE_WS_URL;
const port = Number(process.env.ORVANE_HTTPS_PORT);
const token = process.env.ORVANE_TOKEN;
const user = process.env.ORVANE_USER;

function fail(why) {
  console.log('FAILED: ' + why);
  process.exit(1);
}
// Gives up when the server never answers; the test then fails with what was printed.
setTimeout(() => fail('no notification'), 30000).unref();

function insertUser() {
  const body = `<orvane><userInsert domain="ORVANE" token="${token}">` +
               `<u uname="${user}"><p>Passw0rd</p></u></userInsert></orvane>`;
  const req = https.request({
    host: '127.0.0.1',
    port,
    method: 'POST',
    path: '/',
    headers: {'Content-Type': 'text/xml', 'Content-Length': Buffer.byteLength(body)},
  }, (res) => {
    let answer = '';
    res.on('data', (chunk) => { answer += chunk; });
    res.on('end', () => {
      console.log('insert: ' + answer);
      if (!answer.includes('<res code="0"')) fail('userInsert refused');
    });
  });
  req.on('error', (e) => fail('POST: ' + e.message));
  req.end(body);
}

const ws = new WebSocket(url);
let bound = false;
ws.onopen = () => {
  console.log('open');
  ws.send(`<m><auth token="${token}"/></m>`);
};
ws.onerror = (e) => fail('websocket error: ' + (e.message || e.type));
ws.onclose = () => fail('closed by the server');
ws.onmessage = (e) => {
  console.log('frame: ' + e.data);
  if (!bound) {
    if (!e.data.includes('<res code="0"')) fail('auth refused');
    bound = true;
    insertUser();
  } else if (e.data.includes('objType="user"')) {
    ws.onclose = null;
    ws.close();
    process.exit(0);
  }
};
