// SPDX-License-Identifier: GPL-3.0-or-later
// The spectrum and the waterfall as the station's window draws them: one
// pixel per bin, the spectrum smoothed a fifth of the way per analysis and
// drawn 0.3 pixel per unit from the lowest row, the waterfall one line per
// analysis climbing row by row with its blue cursor line, coloured black
// through blue and cyan to white.

const SMOOTHING = 0.20000000298023224;
const SCALE = 0.30000001192092896;

export function waterfallColour(magnitude) {
  let blue = Math.max(0, Math.trunc(magnitude));
  let green = 0;
  let red = 0;
  if (blue >= 255) { green = blue - 255; blue = 255; }
  if (green >= 255) { red = green - 255; green = 255; }
  if (red >= 255) red = 255;
  return [red, green, blue];
}

// The station's spectrum message: ten bits a bin, least significant first.
export function unpackBins(bytes, count) {
  const bins = new Int32Array(count);
  for (let i = 0; i < count; i++) {
    const bit = i * 10;
    const word = bytes[bit >> 3] | (bytes[(bit >> 3) + 1] << 8);
    bins[i] = (word >> (bit & 7)) & 0x3ff;
  }
  return bins;
}

export class SignalView {
  constructor(spectrumCanvas, waterfallCanvas) {
    this.spectrum = spectrumCanvas.getContext('2d');
    this.waterfall = waterfallCanvas.getContext('2d');
    this.width = spectrumCanvas.width;
    this.height = spectrumCanvas.height;
    this.shown = new Float64Array(this.width);
    this.row = 0;
    this.line = this.waterfall.createImageData(this.width, 1);
    this.waterfall.fillStyle = '#000';
    this.waterfall.fillRect(0, 0, waterfallCanvas.width, waterfallCanvas.height);
  }

  draw(bins) {
    const n = Math.min(bins.length, this.width);
    for (let i = 0; i < n; i++) this.shown[i] = (this.shown[i] * 4 + bins[i]) * SMOOTHING;
    this.drawSpectrum(n);
    this.drawWaterfallLine(bins, n);
  }

  drawSpectrum(n) {
    const c = this.spectrum;
    const base = this.height - 1;
    c.fillStyle = '#000';
    c.fillRect(0, 0, this.width, this.height);
    c.strokeStyle = '#00ff00';
    c.lineWidth = 1;
    c.beginPath();
    for (let i = 0; i < n; i++) {
      const y = base - Math.trunc(this.shown[i] * SCALE) + 0.5;
      if (i === 0) c.moveTo(i + 0.5, y); else c.lineTo(i + 0.5, y);
    }
    c.stroke();
  }

  drawWaterfallLine(bins, n) {
    const pixels = this.line.data;
    for (let j = 0; j < this.width; j++) {
      const [r, g, b] = waterfallColour(j < n ? bins[j] : 0);
      pixels[4 * j] = r;
      pixels[4 * j + 1] = g;
      pixels[4 * j + 2] = b;
      pixels[4 * j + 3] = 255;
    }
    const c = this.waterfall;
    c.putImageData(this.line, 0, this.row);
    this.row = this.row > 0 ? this.row - 1 : c.canvas.height - 1;
    c.fillStyle = '#0000ff';
    c.fillRect(0, this.row, this.width, 1);
  }
}
