// SPDX-License-Identifier: GPL-3.0-or-later
// The page's jitter buffer: the station's audio in, the speaker's out, on
// the audio thread (worklet.js), driven by the times it is given (seconds
// on the output's clock), so that it can run on a simulated clock too.
//
// The station sends its audio in frames of 10 or 20 ms as the capture
// comes, so what matters is how late each frame comes against the
// station's own clock. That clock is kept from the earliest arrivals (let
// go of slowly, for a station whose clock runs slow). The buffer aims at
// a depth, just after a frame that comes on time, of the largest lateness
// of the last minute plus a margin, within a floor and a ceiling: a late
// frame makes it deeper at once, a calm minute lets it shallow again. The
// margin is the longest frame of that minute (the depth falls by a frame
// before the next comes) and 10 ms to spare: 30 ms with 20 ms frames, 20
// with 10 ms ones, so that the shorter frames are heard sooner at the
// same safety.
//
// Playing steers towards that depth with the rate it reads at (at most
// 0.5 % off, interpolated): a buffer deeper than the aim is played a hair
// faster, a shallower one a hair slower, which also follows a station
// clock a few hundred ppm off the output's without dropping anything.
// Above the ceiling audio is dropped down to the aim, so that the delay
// comes back down after an outage and never creeps up. A buffer that runs
// dry is an underrun; playing starts again once the aim is reached.

export const SPARE = 0.01;         // above the largest lateness and the longest frame
export const FLOOR = 0.03;
export const CEILING = 0.4;        // more than this is dropped
const HEADROOM = 0.1;              // the aim stays this far below the ceiling
const SLOT = 10;                   // seconds of lateness kept per slot
const CALM_SLOTS = 6;              // the aim forgets a lateness after a calm minute
const CLOCK_SLACK = 0.005;         // how much slower the station's clock may run (as the steer)
const AVERAGE = 1.0;               // seconds the steered depth is averaged over
const GAIN = 0.2;                  // rate change per second of depth off the aim
// ... and per second of that per second, near the aim: what holds a
// station clock that runs off ours right at the aim, not beside it.
const SETTLE = 0.01;
const SETTLE_NEAR = 0.02;          // seconds off the aim
const MAX_CORRECTION = 0.005;
const CAPACITY = 2.0;              // seconds the ring holds

export class JitterBuffer {
  constructor(outRate, options = {}) {
    this.outRate = outRate;
    this.spare = options.spare ?? SPARE;
    this.floor = options.floor ?? FLOOR;
    this.ceiling = options.ceiling ?? CEILING;
    this.rate = 0;
    this.reset(48000);
    this.underruns = 0;
    this.dropped = 0;      // seconds dropped above the ceiling
    this.overflowed = 0;   // seconds that found the ring full
  }

  // Forgets everything for audio at another rate.
  reset(rate) {
    this.rate = rate;
    this.ring = new Float32Array(Math.ceil(CAPACITY * rate));
    this.written = 0;         // samples pushed so far
    this.position = 0;        // read position, fractional, in the same count
    this.clockRunning = false;
    this.offset = 0;          // on-time arrival of sample n's frame: offset + n / rate
    this.lastArrival = 0;
    this.transmit = false;
    this.slotLate = new Float64Array(CALM_SLOTS + 1);
    this.slotFrame = new Float64Array(CALM_SLOTS + 1);
    this.slotNumber = new Float64Array(CALM_SLOTS + 1).fill(-Infinity);
    this.aim = this.floor;
    this.playing = false;
    this.average = 0;
    this.depthAverage = 0;
    this.correction = 0;
    this.settled = 0;
  }

  // A frame of the station's audio at `rate`, come at time `at`; transmit:
  // what the station put on the air rather than what it received.
  push(samples, rate, at, transmit = false) {
    if (rate !== this.rate) this.reset(rate);
    if (transmit !== this.transmit) {
      // The other kind of audio comes on a beat of its own.
      this.transmit = transmit;
      this.clockRunning = false;
    }
    const ring = this.ring;
    const room = ring.length - 4 - Math.ceil(this.written - this.position);
    const n = Math.min(samples.length, Math.max(0, room));
    this.overflowed += (samples.length - n) / rate;
    let w = this.written % ring.length;
    for (let i = 0; i < n; i++) {
      ring[w] = samples[i];
      w = w + 1 === ring.length ? 0 : w + 1;
    }
    this.written += n;

    let lateness = 0;
    const raw = at - this.written / rate;
    if (this.clockRunning) {
      this.offset = Math.min(raw, this.offset + CLOCK_SLACK * (at - this.lastArrival));
      lateness = raw - this.offset;
    }
    if (!this.clockRunning || lateness > this.ceiling) {
      // The first frame, or the first after an outage: the beat starts here.
      this.clockRunning = true;
      this.offset = raw;
      lateness = 0;
    }
    this.lastArrival = at;
    this.late(lateness, samples.length / rate, at);
  }

  late(lateness, frame, at) {
    const slot = Math.floor(at / SLOT);
    const here = ((slot % (CALM_SLOTS + 1)) + CALM_SLOTS + 1) % (CALM_SLOTS + 1);
    if (this.slotNumber[here] !== slot) {
      this.slotNumber[here] = slot;
      this.slotLate[here] = 0;
      this.slotFrame[here] = 0;
    }
    this.slotLate[here] = Math.max(this.slotLate[here], lateness);
    this.slotFrame[here] = Math.max(this.slotFrame[here], frame);
    let shown = 0;
    let longest = 0;
    for (let i = 0; i <= CALM_SLOTS; i++) {
      if (this.slotNumber[i] < slot - CALM_SLOTS) continue;
      shown = Math.max(shown, this.slotLate[i]);
      longest = Math.max(longest, this.slotFrame[i]);
    }
    this.lateShown = shown;
    this.aim = Math.min(Math.max(shown + longest + this.spare, this.floor), this.ceiling - HEADROOM);
  }

  // Seconds dropped.
  drop(samples) {
    this.position += samples;
    return samples / this.rate;
  }

  // Fills out (samples at the output's rate) for the time `at` it starts.
  render(out, at) {
    const rate = this.rate;
    let depth = this.written - this.position;
    // The depth the buffer would have if everything had come on time: the
    // one steered, steady whatever the frames' saw tooth.
    let expected = (at - this.offset) * rate - this.position;
    const aim = this.aim * rate;
    if (!this.playing && this.clockRunning && depth > 4 && expected >= aim) {
      this.playing = true;
      this.average = expected;
      this.depthAverage = depth;
    }
    if (depth > this.ceiling * rate) {
      const excess = depth - aim;
      this.dropped += this.drop(excess);
      depth -= excess;
      expected -= excess;
      this.average = expected;
      this.depthAverage = depth;
    }
    if (!this.playing) {
      out.fill(0);
      this.correction = 0;
      return;
    }
    const period = out.length / this.outRate;
    const weight = Math.min(1, period / AVERAGE);
    this.average += weight * (expected - this.average);
    this.depthAverage += weight * (depth - this.depthAverage);
    const error = (this.average - aim) / rate;
    const clamp = (x) => Math.max(-MAX_CORRECTION, Math.min(MAX_CORRECTION, x));
    if (Math.abs(error) < SETTLE_NEAR) this.settled = clamp(this.settled + SETTLE * error * period);
    this.correction = clamp(GAIN * error + this.settled);

    // Catmull-Rom between the ring's samples, read a hair faster or slower.
    const ring = this.ring;
    const size = ring.length;
    const step = (rate / this.outRate) * (1 + this.correction);
    let p = this.position;
    for (let i = 0; i < out.length; i++) {
      if (p + 2 >= this.written) {
        this.playing = false;
        this.underruns++;
        out.fill(0, i);
        break;
      }
      const k = Math.floor(p);
      const f = p - k;
      const y0 = ring[(k - 1 + size) % size], y1 = ring[k % size];
      const y2 = ring[(k + 1) % size], y3 = ring[(k + 2) % size];
      out[i] = y1 + 0.5 * f * (y2 - y0 + f * (2 * y0 - 5 * y1 + 4 * y2 - y3 + f * (3 * (y1 - y2) + y3 - y0)));
      p += step;
    }
    this.position = p;
  }

  // What the page shows and the tests read.
  report() {
    return {
      depthMs: this.playing ? (this.depthAverage * 1000) / this.rate : 0,
      aimMs: this.aim * 1000,
      lateMs: (this.lateShown || 0) * 1000,
      droppedMs: this.dropped * 1000,
      overflowMs: this.overflowed * 1000,
      underruns: this.underruns,
      correctionPpm: Math.round(this.correction * 1e6),
      playing: this.playing,
    };
  }
}
