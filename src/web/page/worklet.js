// SPDX-License-Identifier: GPL-3.0-or-later
// The page's player on the audio thread: the station's frames, timed as
// they come on the output's own clock, through the jitter buffer
// (jitter.js) to the speaker; what the buffer does goes to the page four
// times a second.
import { JitterBuffer } from './jitter.js';

class StationPlayer extends AudioWorkletProcessor {
  constructor(options) {
    super();
    const o = options.processorOptions || {};
    this.buffer = new JitterBuffer(sampleRate, {
      floor: o.floorMs === undefined ? undefined : o.floorMs / 1000,
      ceiling: o.ceilingMs === undefined ? undefined : o.ceilingMs / 1000,
    });
    this.reportEvery = Math.round(sampleRate / 4);
    this.sinceReport = 0;
    this.port.onmessage = (e) => {
      const m = e.data;
      this.buffer.push(m.samples, m.rate, currentTime, m.transmit);
    };
  }

  process(inputs, outputs) {
    const out = outputs[0][0];
    this.buffer.render(out, currentTime);
    for (let c = 1; c < outputs[0].length; c++) outputs[0][c].set(out);
    this.sinceReport += out.length;
    if (this.sinceReport >= this.reportEvery) {
      this.sinceReport = 0;
      this.port.postMessage(this.buffer.report());
    }
    return true;
  }
}

registerProcessor('station-player', StationPlayer);
