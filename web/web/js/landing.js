// The landing page: the server's version and whether HTTPS is available.
const $ = (id) => document.getElementById(id);

async function version() {
  try {
    const r = await fetch('/getXmlVersion', { cache: 'no-store' });
    const doc = new DOMParser().parseFromString(await r.text(), 'text/xml');
    $('version').textContent = doc.querySelector('orvane > server')?.getAttribute('version') || 'unknown';
  } catch (err) {
    $('version').textContent = 'unknown';
  }
}

// The HTTPS port: the one this page came on, else the one the plain port's console page sends
// browsers to, else the default.
async function httpsTarget() {
  try {
    const page = await (await fetch('/mgmt/', { cache: 'no-store' })).text();
    const port = /https:\/\/[^'"]*?:(\d+)/.exec(page) || /'https:\/\/'[^;]*?':(\d+)/.exec(page);
    if (port) return `https://${location.hostname}:${port[1]}`;
  } catch (err) {
    // fall through to the default port
  }
  return `https://${location.hostname}`;
}

async function https() {
  if (location.protocol === 'https:') {
    $('https').textContent = 'yes';
    $('https-detail').textContent = 'This page came over HTTPS; commands and the live feed are encrypted.';
    return;
  }
  const target = await httpsTarget();
  try {
    await fetch(`${target}/getXmlVersion`, { mode: 'no-cors', cache: 'no-store' });
    $('https').textContent = 'yes';
    $('https-detail').replaceChildren('HTTPS answers at ', Object.assign(document.createElement('a'), { href: `${target}/`, textContent: target }),
      '. The console and the portal work over HTTPS only.');
  } catch (err) {
    $('https').textContent = 'not reachable';
    $('https-detail').textContent = `${target} did not answer from this browser (down, blocked, or its certificate is not trusted here).`;
  }
}

document.querySelector('.skip').addEventListener('click', (ev) => {
  ev.preventDefault();
  $('main').focus();
});
version();
https();
