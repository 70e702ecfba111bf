// SPDX-License-Identifier: GPL-3.0-or-later
// The station's audio in the page: Opus frames through WebCodecs'
// AudioDecoder, or 16-bit PCM where the browser has no Opus decoder, both
// into the jitter buffer's AudioWorklet. The sound starts with the first tap.

const CONTEXT_RATE = 48000;
const OPUS_CONFIG = { codec: 'opus', sampleRate: 48000, numberOfChannels: 1 };

export async function canDecodeOpus() {
  if (typeof AudioDecoder === 'undefined' || typeof EncodedAudioChunk === 'undefined') return false;
  try {
    const result = await AudioDecoder.isConfigSupported(OPUS_CONFIG);
    return result.supported === true;
  } catch (e) {
    return false;
  }
}

// Linear interpolation from one rate to another, carried across pieces.
class Resampler {
  constructor(from, to) {
    this.step = from / to;
    this.position = 0; // in input samples, relative to the previous piece's last
    this.last = 0;
  }

  run(input) {
    const out = [];
    let p = this.position;
    while (p < input.length - 1 + 1e-9) {
      const i = Math.floor(p);
      const a = i < 0 ? this.last : input[i];
      const b = input[Math.min(i + 1, input.length - 1)];
      const f = p - i;
      out.push(i < 0 ? this.last + (input[0] - this.last) * (f) : a + (b - a) * f);
      p += this.step;
    }
    this.position = p - input.length;
    this.last = input[input.length - 1];
    return Float32Array.from(out);
  }
}

export class Player {
  constructor(onReport) {
    this.onReport = onReport;
    this.context = null;
    this.node = null;
    this.decoder = null;
    this.codec = null;
    this.rate = 16000;
    this.timestamp = 0;
    this.resamplers = new Map();
  }

  get started() { return this.node !== null; }

  setCodec(codec, rate) {
    this.codec = codec;
    this.rate = rate;
  }

  async start() {
    if (this.node) return this.context.resume();
    if (this.context) this.context.close(); // a start that failed half way
    this.context = new AudioContext({ sampleRate: CONTEXT_RATE, latencyHint: 'interactive' });
    await this.context.audioWorklet.addModule('/worklet.js');
    const node = new AudioWorkletNode(this.context, 'station-player', {
      numberOfInputs: 0,
      numberOfOutputs: 1,
      outputChannelCount: [1],
      processorOptions: { floorMs: 60, ceilingMs: 400 },
    });
    node.port.onmessage = (e) => this.onReport(e.data);
    node.connect(this.context.destination);
    await this.context.resume();
    // Audio goes in once the context plays, not into a buffer nobody reads.
    this.node = node;
  }

  openDecoder() {
    this.decoder = new AudioDecoder({
      output: (data) => this.decoded(data),
      error: (e) => { console.warn('opus decoder:', e); this.decoder = null; },
    });
    this.decoder.configure(OPUS_CONFIG);
  }

  decoded(data) {
    const samples = new Float32Array(data.numberOfFrames);
    data.copyTo(samples, { planeIndex: 0, format: 'f32-planar' });
    const rate = data.sampleRate;
    data.close();
    this.push(samples, rate);
  }

  opus(packet) {
    if (!this.node) return;
    if (!this.decoder || this.decoder.state === 'closed') this.openDecoder();
    this.decoder.decode(new EncodedAudioChunk({ type: 'key', timestamp: this.timestamp, data: packet }));
    this.timestamp += 20000;
  }

  pcm(bytes) {
    if (!this.node) return;
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const samples = new Float32Array(bytes.byteLength >> 1);
    for (let i = 0; i < samples.length; i++) samples[i] = view.getInt16(2 * i, true) / 32768;
    this.push(samples, this.rate);
  }

  push(samples, rate) {
    const to = this.context.sampleRate;
    if (rate !== to) {
      if (!this.resamplers.has(rate)) this.resamplers.set(rate, new Resampler(rate, to));
      samples = this.resamplers.get(rate).run(samples);
    }
    this.node.port.postMessage(samples, [samples.buffer]);
  }
}
