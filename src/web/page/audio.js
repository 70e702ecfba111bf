// SPDX-License-Identifier: GPL-3.0-or-later
// The station's audio in the page: Opus frames through WebCodecs'
// AudioDecoder, or 16-bit PCM where the browser has no Opus decoder, both
// into the jitter buffer's AudioWorklet at the rate they come in (it
// converts to the output's). The sound starts with the first tap.

// The output's own rate (no conversion after ours), and its smallest
// buffer that plays without gaps.
const CONTEXT_OPTIONS = { latencyHint: 'interactive' };
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

export class Player {
  constructor(onReport) {
    this.onReport = onReport;
    this.context = null;
    this.node = null;
    this.decoder = null;
    this.codec = null;
    this.rate = 16000;
    this.frameUs = 20000;
    this.timestamp = 0;
    this.transmitted = new Set();  // timestamps of frames that went on the air
  }

  get started() { return this.node !== null; }

  setCodec(codec, rate, frameMs) {
    this.codec = codec;
    this.rate = rate;
    this.frameUs = (frameMs || 20) * 1000;
  }

  async start() {
    if (this.node) return this.context.resume();
    if (this.context) this.context.close(); // a start that failed half way
    this.context = new AudioContext(CONTEXT_OPTIONS);
    await this.context.audioWorklet.addModule('/worklet.js');
    const node = new AudioWorkletNode(this.context, 'station-player', {
      numberOfInputs: 0,
      numberOfOutputs: 1,
      outputChannelCount: [1],
    });
    node.port.onmessage = (e) => this.onReport(Object.assign(e.data, {
      baseLatencyMs: this.context.baseLatency * 1000,
      outputLatencyMs: (this.context.outputLatency || 0) * 1000,
      sampleRate: this.context.sampleRate,
    }));
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
    const transmit = this.transmitted.delete(data.timestamp);
    this.push(samples, data.sampleRate, transmit);
    data.close();
  }

  opus(packet, transmit) {
    if (!this.node) return;
    if (!this.decoder || this.decoder.state === 'closed') this.openDecoder();
    if (transmit) this.transmitted.add(this.timestamp);
    this.decoder.decode(new EncodedAudioChunk({ type: 'key', timestamp: this.timestamp, data: packet }));
    this.timestamp += this.frameUs;
  }

  pcm(bytes, transmit) {
    if (!this.node) return;
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const samples = new Float32Array(bytes.byteLength >> 1);
    for (let i = 0; i < samples.length; i++) samples[i] = view.getInt16(2 * i, true) / 32768;
    this.push(samples, this.rate, transmit);
  }

  push(samples, rate, transmit) {
    this.node.port.postMessage({ samples, rate, transmit }, [samples.buffer]);
  }
}
