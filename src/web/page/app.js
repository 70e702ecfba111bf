// SPDX-License-Identifier: GPL-3.0-or-later
// The station's page: one WebSocket for audio, spectrum and status; the
// sound starts with the first tap; a lost connection says so and connects
// again by itself.
import { Player, canDecodeOpus } from './audio.js';
import { SignalView, unpackBins } from './view.js';

const OPUS = 1;
const PCM = 2;
const SPECTRUM = 3;
const TRANSMIT = 1;

const $ = (id) => document.getElementById(id);
const view = new SignalView($('spectrum'), $('waterfall'));
const player = new Player((report) => {
  $('buffer').textContent = `${Math.round(report.depthMs)} ms`;
  window.marvaneBuffer = report;
});
const forcePcm = new URLSearchParams(location.search).get('codec') === 'pcm';
const codecs = !forcePcm && (await canDecodeOpus()) ? ['opus', 'pcm'] : ['pcm'];

let socket = null;
let retryMs = 1000;
let pinger = null;
let full = null;
let guest = false;
let ended = false;
let bins = 366;

function banner(text) {
  const b = $('banner');
  b.textContent = text || '';
  b.hidden = !text;
}

function ping() {
  if (socket && socket.readyState === WebSocket.OPEN)
    socket.send(JSON.stringify({ type: 'ping', t: performance.now() }));
}

function onJson(m) {
  switch (m.type) {
    case 'hello':
      guest = m.role === 'guest';
      bins = m.bins || bins;
      $('who').textContent = guest ? 'guest' : `${m.name} (${m.role})`;
      $('logout').hidden = guest;
      $('login').hidden = !guest;
      $('codec').textContent = m.codec === 'opus' ? 'Opus' : '16-bit PCM';
      player.setCodec(m.codec, m.rate, m.frameMs);
      break;
    case 'status': {
      $('client').textContent = m.client || 'idle';
      $('info').textContent = m.info || '-';
      $('mode').textContent = m.mode;
      $('mode').classList.toggle('tx', m.mode === 'TX');
      $('listeners').textContent = m.listeners;
      $('levelbar').style.width = `${Math.min(100, Math.max(0, m.level))}%`;
      break;
    }
    case 'pong':
      $('rtt').textContent = `${Math.round(performance.now() - m.t)} ms`;
      break;
    case 'full':
      full = m.max;
      break;
    case 'bye':
      ended = true;
      location.href = '/login';
      break;
    case 'refused':
      console.warn('the station refused', m.what, m.why);
      break;
  }
}

function onBinary(bytes) {
  const kind = bytes[0];
  const transmit = (bytes[1] & TRANSMIT) !== 0;
  if (kind === OPUS) player.opus(bytes.subarray(4), transmit);
  else if (kind === PCM) player.pcm(bytes.subarray(4), transmit);
  else if (kind === SPECTRUM) view.draw(unpackBins(bytes.subarray(2), bins));
  if (kind === OPUS || kind === PCM) $('mode').classList.toggle('tx', transmit);
}

// Whether the session still holds: /login sends a logged-in page back to /.
async function stillLoggedIn() {
  try {
    const r = await fetch('/login', { redirect: 'manual', cache: 'no-store' });
    return r.type === 'opaqueredirect';
  } catch (e) {
    return true; // the station is away, not the session
  }
}

function connect() {
  let opened = false;
  full = null;
  socket = new WebSocket(`wss://${location.host}/ws`);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => {
    opened = true;
    retryMs = 1000;
    banner(null);
    socket.send(JSON.stringify({ type: 'hello', codecs }));
    pinger = setInterval(ping, 2000);
    ping();
  };
  socket.onmessage = (e) => {
    if (typeof e.data === 'string') onJson(JSON.parse(e.data));
    else onBinary(new Uint8Array(e.data));
  };
  socket.onclose = async () => {
    clearInterval(pinger);
    if (ended) return;
    if (full !== null) {
      banner(`The station is full (${full} listeners). Trying again in 30 s.`);
      setTimeout(connect, 30000);
      return;
    }
    if (!opened && !guest && !(await stillLoggedIn())) {
      location.href = '/login';
      return;
    }
    banner('Connection to the station lost: connecting again…');
    setTimeout(connect, retryMs);
    retryMs = Math.min(retryMs * 2, 15000);
  };
}

$('start').addEventListener('click', async () => {
  try {
    await player.start();
    $('start').hidden = true;
  } catch (e) {
    banner(`The sound cannot start: ${e.message}`);
  }
});

connect();
