// SPDX-License-Identifier: GPL-3.0-or-later
// The page's jitter buffer, on the audio thread. Pieces of the station's
// audio come in at the context's rate, often several at once (a burst: the
// station hands over whole blocks). Playing (re)starts once the buffer holds
// `floor` more than the burst that just came, so that `floor` is still there
// when the next one comes. While playing, the depth just before a burst
// should be the floor: more than that over a whole second (after a stall, or
// the start) is dropped, and above `ceiling` the oldest audio is dropped at
// once, so that the delay comes back down and never creeps up.
const BURST_GAP = 0.01; // seconds between pieces of one burst, at most

class StationPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = options.processorOptions || {};
    this.floor = Math.round((o.floorMs || 60) * sampleRate / 1000);
    this.ceiling = Math.round((o.ceilingMs || 400) * sampleRate / 1000);
    this.slack = Math.round(0.01 * sampleRate);
    this.ring = new Float32Array(sampleRate * 2);
    this.read = 0;
    this.count = 0;
    this.playing = false;
    this.burst = 0;
    this.lastArrival = -1;
    this.lowest = Infinity;
    this.windowStart = 0;
    this.dropped = 0;
    this.underruns = 0;
    this.depthSum = 0;
    this.depthCalls = 0;
    this.port.onmessage = (e) => this.add(e.data);
  }

  drop(count) {
    this.read = (this.read + count) % this.ring.length;
    this.count -= count;
    this.dropped += count;
  }

  add(piece) {
    const ring = this.ring;
    this.burst = currentTime - this.lastArrival <= BURST_GAP ? this.burst + piece.length : piece.length;
    this.lastArrival = currentTime;
    let write = (this.read + this.count) % ring.length;
    for (let i = 0; i < piece.length; i++) {
      ring[write] = piece[i];
      write = write + 1 === ring.length ? 0 : write + 1;
    }
    this.count += piece.length;
    const keep = Math.min(this.floor + this.burst, this.ceiling);
    if ((!this.playing && this.count > keep) || this.count > this.ceiling) this.drop(this.count - keep);
    if (!this.playing && this.count >= keep) {
      this.playing = true;
      this.lowest = Infinity;
      this.windowStart = currentFrame;
    }
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    const ring = this.ring;
    for (let i = 0; i < out.length; i++) {
      if (this.playing && this.count > 0) {
        out[i] = ring[this.read];
        this.read = this.read + 1 === ring.length ? 0 : this.read + 1;
        this.count--;
      } else {
        out[i] = 0;
      }
    }
    if (this.playing && this.count === 0) {
      this.playing = false;
      this.underruns++;
    }
    if (this.playing) {
      this.lowest = Math.min(this.lowest, this.count);
      if (currentFrame - this.windowStart >= sampleRate) {
        if (this.lowest > this.floor + this.slack) this.drop(this.lowest - this.floor);
        this.lowest = Infinity;
        this.windowStart = currentFrame;
      }
    }
    this.depthSum += this.count;
    if (++this.depthCalls >= Math.round(sampleRate / out.length / 4)) {
      this.port.postMessage({
        depthMs: (this.depthSum / this.depthCalls) * 1000 / sampleRate,
        droppedMs: this.dropped * 1000 / sampleRate,
        underruns: this.underruns,
      });
      this.depthSum = 0;
      this.depthCalls = 0;
    }
    return true;
  }
}

registerProcessor('station-player', StationPlayer);
