// A small time chart on a canvas: one or more line series over the last `spanMs`
// milliseconds, newest at the right, with three horizontal grid lines labelled by
// `format`. The vertical range is [0, max] with max fixed (`max`) or following the data
// (rounded up to 1, 2 or 5 times a power of ten). A gap of more than `gapMs` between two
// samples breaks the line, so a paused page does not draw a false slope.
"use strict";
var DR = window.DR || (window.DR = {});

DR.TimeChart = class {
  // options: {colors: [css colour per series], spanMs, max, minMax, format(value), gapMs}
  constructor(canvas, options) {
    this.canvas = canvas;
    this.colors = options.colors;
    this.spanMs = options.spanMs || 300000;
    this.max = options.max || 0;
    this.minMax = options.minMax || 1;
    this.format = options.format || String;
    this.gapMs = options.gapMs || 5000;
    this.samples = []; // [{t: ms, values: [number or null per series]}], oldest first
  }

  // Adds one sample; null in `values` leaves that series out at this time.
  push(timeMs, values) {
    this.samples.push({ t: timeMs, values: values });
    const oldest = timeMs - this.spanMs - this.gapMs;
    while (this.samples.length > 0 && this.samples[0].t < oldest)
      this.samples.shift();
  }

  static niceCeiling(value) {
    const power = Math.pow(10, Math.floor(Math.log10(value)));
    for (const step of [1, 2, 5, 10])
      if (value <= step * power)
        return step * power;
    return 10 * power;
  }

  scaleMax() {
    if (this.max > 0)
      return this.max;
    let top = this.minMax;
    this.samples.forEach((s) => s.values.forEach((v) => { if (v > top) top = v; }));
    return DR.TimeChart.niceCeiling(top);
  }

  draw(nowMs) {
    const canvas = this.canvas;
    const ratio = window.devicePixelRatio || 1;
    const width = Math.max(1, Math.round(canvas.clientWidth * ratio));
    const height = Math.max(1, Math.round(canvas.clientHeight * ratio));
    if (canvas.width !== width || canvas.height !== height) {
      canvas.width = width;
      canvas.height = height;
    }
    const ctx = canvas.getContext("2d");
    ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
    const w = width / ratio;
    const h = height / ratio;
    const top = 6;
    const plotH = h - top - 2;
    const max = this.scaleMax();
    const y = (v) => top + plotH - Math.min(v, max) / max * plotH;
    const right = w - 4; // room for the newest value's dot
    const x = (t) => right - (nowMs - t) / this.spanMs * right;

    ctx.clearRect(0, 0, w, h);
    ctx.font = "10px sans-serif";
    ctx.textBaseline = "middle";
    ctx.lineWidth = 1;
    [0, 0.5, 1].forEach((f) => {
      const gy = Math.round(y(max * f)) + 0.5;
      ctx.strokeStyle = "#e1e6eb";
      ctx.beginPath();
      ctx.moveTo(0, gy);
      ctx.lineTo(w, gy);
      ctx.stroke();
      if (f > 0) {
        ctx.fillStyle = "#8b949e";
        ctx.fillText(this.format(max * f), 3, gy + 6);
      }
    });

    ctx.lineWidth = 1.5;
    ctx.lineJoin = "round";
    this.colors.forEach((color, series) => {
      ctx.strokeStyle = color;
      ctx.beginPath();
      let previous = null;
      this.samples.forEach((s) => {
        const v = s.values[series];
        if (v === null || v === undefined || !isFinite(v)) {
          previous = null;
          return;
        }
        if (previous === null || s.t - previous > this.gapMs)
          ctx.moveTo(x(s.t), y(v));
        else
          ctx.lineTo(x(s.t), y(v));
        previous = s.t;
      });
      ctx.stroke();
      // The newest value as a dot, so a chart shows something from its first sample on.
      const last = this.samples[this.samples.length - 1];
      if (last && isFinite(last.values[series]) && last.values[series] !== null) {
        ctx.fillStyle = color;
        ctx.beginPath();
        ctx.arc(x(last.t), y(last.values[series]), 2.5, 0, 2 * Math.PI);
        ctx.fill();
      }
    });
  }
};
