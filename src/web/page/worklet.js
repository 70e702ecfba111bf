// SPDX-License-Identifier: GPL-3.0-or-later
// The page's jitter buffer, on the audio thread. Pieces of the station's
// audio come in at the context's rate. Playing (re)starts once the buffer
// holds `floor` before a new piece arrives, so that the gap to the next piece
// is covered; above `ceiling` the oldest audio is dropped down to the floor
// plus the new piece, so that a stall never leaves a longer delay behind.
class StationPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = options.processorOptions || {};
    this.floor = Math.round((o.floorMs || 60) * sampleRate / 1000);
    this.ceiling = Math.round((o.ceilingMs || 400) * sampleRate / 1000);
    this.ring = new Float32Array(sampleRate * 2);
    this.read = 0;
    this.count = 0;
    this.playing = false;
    this.dropped = 0;
    this.underruns = 0;
    this.depthSum = 0;
    this.depthCalls = 0;
    this.port.onmessage = (e) => this.add(e.data);
  }

  add(piece) {
    const ring = this.ring;
    if (!this.playing && this.count >= this.floor) this.playing = true;
    let write = (this.read + this.count) % ring.length;
    for (let i = 0; i < piece.length; i++) {
      ring[write] = piece[i];
      write = write + 1 === ring.length ? 0 : write + 1;
    }
    this.count += piece.length;
    const keep = Math.min(this.floor + piece.length, this.ceiling);
    if (this.count > this.ceiling || this.count > ring.length) {
      const drop = this.count - keep;
      this.read = (this.read + drop) % ring.length;
      this.count = keep;
      this.dropped += drop;
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
