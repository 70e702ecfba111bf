// SPDX-License-Identifier: GPL-3.0-or-later
// The page's jitter buffer (src/web/page/jitter.js) on a simulated clock:
// a station sending 10 ms (or 20 ms) frames of a 1 kHz tone, its clock at `ratio` of
// ours, each frame late by `late(t)` seconds (in order, as over TCP); the
// output asks for 128 samples at a time at 48 kHz, as an AudioWorklet does.
//
// usage: node test_jitter.mjs JITTER_JS
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

const source = readFileSync(process.argv[2], 'utf8');
const { JitterBuffer, CEILING } = await import(
  'data:text/javascript;base64,' + Buffer.from(source).toString('base64'));

const RATE = 48000;
const QUANTUM = 128;
const FRAME = 480;

// Runs the station and the output from `from` to `to` seconds; calls
// watch(t, buffer) after each quantum. Returns the largest step between
// two output samples while playing (a dropped or repeated piece makes one).
function run(sim, to, watch = () => {}) {
  let largestStep = 0;
  while (sim.t < to) {
    const due = sim.t + QUANTUM / RATE;
    // Frames that have come by then, in order.
    for (;;) {
      const frame = sim.frame;
      const sent = ((sim.frames + 1) * frame) / RATE / sim.ratio;
      const arrival = Math.max(sim.lastArrival, sent + sim.late(sent));
      if (arrival > due) break;
      const piece = new Float32Array(frame);
      for (let i = 0; i < frame; i++) {
        piece[i] = 0.5 * Math.sin((2 * Math.PI * 1000 * (sim.frames * frame + i)) / RATE);
      }
      sim.buffer.push(piece, RATE, arrival, false);
      sim.lastArrival = arrival;
      sim.frames++;
    }
    const out = new Float32Array(QUANTUM);
    const wasPlaying = sim.buffer.playing;
    sim.buffer.render(out, sim.t);
    if (wasPlaying && sim.buffer.playing) {
      for (let i = 0; i < QUANTUM; i++) {
        largestStep = Math.max(largestStep, Math.abs(out[i] - (i ? out[i - 1] : sim.previous)));
      }
    }
    sim.previous = out[QUANTUM - 1];
    sim.t = due;
    watch(sim.t, sim.buffer);
  }
  return largestStep;
}

function station(ratio = 1, late = () => 0, frame = FRAME) {
  return { buffer: new JitterBuffer(RATE), t: 0, frames: 0, lastArrival: 0, previous: 0, ratio, late, frame };
}

// A 1 kHz tone of amplitude 0.5 moves at most this much from one sample to
// the next (with a hair of room for the interpolation).
const TONE_STEP = 0.5 * 2 * Math.PI * 1000 / RATE * 1.02;

const tests = {
  'starts small, grows at once when audio comes late, shrinks after a calm minute'() {
    // A steady link, then from 20 s to 40 s a frame 80 ms late every 5 s.
    const spike = (s) => (s >= 20 && s < 40 && s % 5 < 0.01 ? 0.08 : 0);
    const sim = station(1, spike);
    run(sim, 15);
    let r = sim.buffer.report();
    assert.ok(r.aimMs >= 30 && r.aimMs < 35, `a steady link's aim: ${r.aimMs}`);
    assert.ok(r.depthMs > 25 && r.depthMs < 45, `a steady link's depth: ${r.depthMs}`);
    assert.equal(r.underruns, 0);
    run(sim, 20.5);
    const first = sim.buffer.report();
    // 80 ms, a frame and 10 ms to spare.
    assert.ok(first.aimMs >= 99 && first.aimMs < 110, `after 80 ms late: ${first.aimMs}`);
    assert.ok(first.underruns <= 1);
    run(sim, 40);
    r = sim.buffer.report();
    assert.equal(r.underruns, first.underruns, 'the later late frames found the buffer deep enough');
    assert.ok(r.depthMs > 90, `grown: ${r.depthMs}`);
    // The last late frame was at 35 s: a minute later the aim is small
    // again, and some 20 s after that, the depth too, without dropping.
    run(sim, 96);
    assert.ok(sim.buffer.report().aimMs >= 99, 'not forgotten within the minute');
    run(sim, 130);
    r = sim.buffer.report();
    assert.ok(r.aimMs < 35, `calm again: ${r.aimMs}`);
    assert.ok(r.depthMs < 45, `shallow again: ${r.depthMs}`);
    assert.equal(r.droppedMs, 0);
    assert.equal(r.underruns, first.underruns);
  },

  'holds a frame and 10 ms above the lateness: 20 ms frames play out whole, 10 ms ones sooner'() {
    // Every 0.5 s a frame 40 ms late, for a minute.
    const late = (s) => (s % 0.5 < 0.02 ? 0.04 : 0);
    const aims = {};
    for (const frame of [FRAME, 2 * FRAME]) {
      const sim = station(1, late, frame);
      run(sim, 60);
      const r = sim.buffer.report();
      assert.ok(r.underruns <= 1, `${frame} samples a frame: ${r.underruns} underruns`);
      const before = r.underruns;
      run(sim, 120);
      assert.equal(sim.buffer.report().underruns, before, `${frame} samples a frame, settled`);
      aims[frame] = sim.buffer.report().aimMs;
    }
    assert.ok(Math.abs(aims[2 * FRAME] - aims[FRAME] - 10) < 1, `aims ${JSON.stringify(aims)}`);
  },

  'keeps within its floor and its ceiling, and drops above the ceiling after an outage'() {
    // Late by 350 ms at 10 s: more than the aim may be. A 1.5 s outage at
    // 30 s, after which the backlog comes at once.
    const late = (s) => (Math.abs(s - 10) < 0.005 ? 0.35 : s >= 30 && s < 31.5 ? 31.5 - s : 0);
    const sim = new JitterBuffer(RATE, { floor: 0.05 });
    const s = station(1, late);
    s.buffer = sim;
    run(s, 5);
    assert.ok(sim.report().aimMs >= 50, `the floor: ${sim.report().aimMs}`);
    let deepest = 0;
    run(s, 29, (t, b) => { deepest = Math.max(deepest, b.written - b.position); });
    assert.ok(sim.report().aimMs <= CEILING * 1000 - 99, `under the ceiling: ${sim.report().aimMs}`);
    assert.equal(sim.report().droppedMs, 0);
    run(s, 36, (t, b) => { deepest = Math.max(deepest, b.written - b.position); });
    const r = sim.report();
    assert.ok(r.droppedMs > 1000, `the outage's backlog dropped: ${r.droppedMs}`);
    assert.ok(deepest <= CEILING * RATE + FRAME, `never above the ceiling: ${deepest / 48} ms`);
    assert.ok(r.depthMs < CEILING * 1000, `the delay came back down: ${r.depthMs}`);
  },

  'follows a station clock 0.3 % fast or slow for ten minutes without dropping'() {
    for (const ratio of [1.003, 0.997]) {
      const sim = station(ratio);
      let started = false;
      let largest = run(sim, 600, (t, b) => { started ||= b.playing; });
      const r = sim.buffer.report();
      assert.ok(started);
      assert.equal(r.droppedMs, 0, `ratio ${ratio}`);
      assert.equal(r.overflowMs, 0, `ratio ${ratio}`);
      assert.equal(r.underruns, 0, `ratio ${ratio}`);
      assert.ok(Math.abs(r.depthMs - r.aimMs) < 10, `ratio ${ratio}: depth ${r.depthMs}, aim ${r.aimMs}`);
      assert.ok(Math.abs(r.correctionPpm - (ratio - 1) * 1e6) < 500, `ratio ${ratio}: ${r.correctionPpm} ppm`);
      // Nothing skipped or repeated: the tone goes on smoothly.
      largest = Math.max(largest, run(sim, 601));
      assert.ok(largest <= TONE_STEP, `ratio ${ratio}: a step of ${largest}`);
    }
  },
};

let failed = 0;
for (const [name, test] of Object.entries(tests)) {
  try {
    test();
    console.log(`ok - ${name}`);
  } catch (e) {
    failed++;
    console.log(`not ok - ${name}\n  ${e.message}`);
  }
}
process.exit(failed ? 1 : 0);
