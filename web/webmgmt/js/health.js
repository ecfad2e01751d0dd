// Health: request counters, uptime, memory, disk and the five-minute CPU history as an SVG chart.
import { h, fmtBytes } from '../common/ui.js';
import { table, failure } from './parts.js';

const SVG = 'http://www.w3.org/2000/svg';
function s(tag, attrs = {}, ...kids) {
  const e = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  e.append(...kids);
  return e;
}

// samples: busy percentages, oldest first, one every 5 seconds.
export function cpuChart(samples) {
  const W = 600;
  const H = 180;
  const L = 34;
  const B = 20;
  const step = (W - L - 6) / Math.max(1, samples.length - 1);
  const y = (v) => 6 + (H - B - 6) * (1 - Math.min(100, Math.max(0, v)) / 100);
  const pts = samples.map((v, i) => `${(L + i * step).toFixed(1)},${y(v).toFixed(1)}`);
  const last = samples.length ? samples[samples.length - 1] : 0;
  const svg = s('svg', { class: 'chart', viewBox: `0 0 ${W} ${H}`, role: 'img', 'aria-labelledby': 'cpu-title cpu-desc' },
    s('title', { id: 'cpu-title' }, 'CPU busy over the last five minutes'),
    s('desc', { id: 'cpu-desc' }, `${samples.length} samples, latest ${last.toFixed(2)} percent, highest ${Math.max(0, ...samples).toFixed(2)} percent`));
  for (const v of [0, 25, 50, 75, 100]) {
    svg.append(s('line', { class: 'grid', x1: L, x2: W - 6, y1: y(v), y2: y(v) }),
      s('text', { x: 2, y: y(v) + 4 }, `${v}%`));
  }
  svg.append(s('text', { x: L, y: H - 4 }, '5 min ago'), s('text', { x: W - 40, y: H - 4 }, 'now'));
  if (pts.length) {
    svg.append(s('polygon', { class: 'area', points: `${L},${y(0)} ${pts.join(' ')} ${(L + (samples.length - 1) * step).toFixed(1)},${y(0)}` }),
      s('polyline', { class: 'line', points: pts.join(' ') }));
  }
  return svg;
}

function stat(label, value, share) {
  return h('div', { class: 'stat' }, h('div', { class: 'muted' }, label), h('div', { class: 'v' }, value),
    share === undefined ? null : h('div', { class: 'meter', role: 'meter', 'aria-label': label, 'aria-valuemin': '0', 'aria-valuemax': '100', 'aria-valuenow': String(Math.round(share)) },
      h('span', { style: `width:${Math.round(share)}%` })));
}

function fmtUptime(sec) {
  const n = Number(sec);
  const d = Math.floor(n / 86400);
  const hh = Math.floor((n % 86400) / 3600);
  const mm = Math.floor((n % 3600) / 60);
  return `${d ? `${d} d ` : ''}${hh} h ${mm} min`;
}

export default function healthView(root, { session }) {
  const body = h('div', { id: 'health' });
  const auto = h('input', { type: 'checkbox', id: 'health-auto', checked: true });
  root.append(h('div', { class: 'toolbar' },
    h('button', { type: 'button', class: 'secondary', onclick: () => refresh() }, 'Refresh'),
    h('span', { class: 'check' }, auto, h('label', { for: 'health-auto' }, 'refresh every 5 seconds'))), body);

  async function refresh() {
    let r;
    try {
      r = await session.call('getHealth');
    } catch (err) {
      body.replaceChildren(failure(err));
      return;
    }
    const e = r.answer;
    const one = (n) => e.querySelector(`:scope > ${n}`);
    const mem = one('memory');
    const disk = one('disk');
    const cpu = one('cpu');
    const num = (el, a) => Number(el?.getAttribute(a) || 0);
    const samples = [...(cpu?.children || [])].map((i) => Number(i.textContent)).reverse();
    const domains = [...(one('domains')?.children || [])].map((d, i) => ({ id: String(i), name: d.textContent, r: d.getAttribute('r') }));
    const ncs = [...(one('netclients')?.children || [])].map((a, i) => ({ id: String(i), name: a.textContent, d: a.getAttribute('d'), r: a.getAttribute('r') }));
    const memUsed = num(mem, 'total') - num(mem, 'free');
    const diskUsed = num(disk, 'total') - num(disk, 'free');
    body.replaceChildren(
      h('section', { class: 'panel', 'aria-label': 'Counters' }, h('div', { class: 'stats' },
        stat('Uptime', fmtUptime(one('uptime')?.textContent || 0)),
        stat('Requests', one('requests')?.textContent || '0'),
        stat('Memory in use', `${fmtBytes(memUsed)} of ${fmtBytes(num(mem, 'total'))}`, num(mem, 'total') ? (100 * memUsed) / num(mem, 'total') : 0),
        stat('Server process', fmtBytes(num(mem, 'process'))),
        stat('Disk in use', `${fmtBytes(diskUsed)} of ${fmtBytes(num(disk, 'total'))}`, num(disk, 'total') ? (100 * diskUsed) / num(disk, 'total') : 0))),
      h('section', { class: 'panel', 'aria-labelledby': 'cpu-h' },
        h('h2', { id: 'cpu-h' }, 'CPU'),
        h('p', { class: 'muted' }, cpu?.getAttribute('cores') ? `${cpu.getAttribute('cores')} cores, ${cpu.getAttribute('model')}` : ''),
        cpuChart(samples)),
      h('div', { class: 'cols' },
        h('section', { class: 'panel', 'aria-labelledby': 'dom-h' }, h('h2', { id: 'dom-h' }, 'Requests by domain'),
          table('Requests by domain', [{ label: 'Domain', cell: (d) => d.name }, { label: 'Requests', cell: (d) => d.r }], domains)),
        h('section', { class: 'panel', 'aria-labelledby': 'nc-h' }, h('h2', { id: 'nc-h' }, 'Requests by net client'),
          table('Requests by net client', [{ label: 'Net client', cell: (n) => n.name }, { label: 'Domain', cell: (n) => n.d },
            { label: 'Requests', cell: (n) => n.r }], ncs))));
  }

  const timer = setInterval(() => {
    if (!root.isConnected) clearInterval(timer);
    else if (auto.checked) refresh();
  }, 5000);
  refresh();
  return { refresh };
}
