// The system page: the machine's load (CPU, GPU, temperature, memory, network) as
// current values and five-minute charts, sampled once a second from
// /performance/getSys.json; the recording disk from /storage/getDeviceList.json; and the
// disk speed test, started and stopped through its routes and followed through the
// "diskMaxSpeed/update" events. A figure the machine cannot give (no GPU, no sensor) is
// shown as not available, never as 0.
"use strict";
var DR = window.DR || (window.DR = {});

(function () {
  const t = DR.i18n.t;
  const $ = function (id) { return document.getElementById(id); };
  const SAMPLE_MS = 1000;
  const LOW_FREE_MIB = 1024;    // recording refuses to start below this free space
  const NET_UNIT_BYTES = 5120;  // one unit of net_up / net_down is 5 KiB per second
  const SILENT_TEST_MS = 15000; // a running test without progress this long is given up

  // Current value (text) and chart of each figure.
  const metrics = [
    { id: "cpu", label: "cpu", colors: ["#1f6feb"], max: 100, format: (v) => Math.round(v) + "%" },
    { id: "gpu", label: "gpu", colors: ["#8250df"], max: 100, format: (v) => Math.round(v) + "%" },
    { id: "temp", label: "temperature", colors: ["#d1242f"], minMax: 50,
      format: (v) => Math.round(v) + " °C" },
    { id: "mem", label: "memory", colors: ["#bf8700"], format: (v) => formatMiB(v) },
    { id: "net", label: "network", colors: ["#2ea043", "#1f6feb"], minMax: 1e6,
      format: (v) => formatBits(v) },
  ];

  const state = {
    sys: null,           // last data of getSys.json
    disk: null,          // last getDeviceList.json outcome: {none}, {error} or {data}
    sampling: false,     // a sample is on its way
    test: { running: false, percent: 0, showBar: false, lastEventMs: 0, status: null },
  };

  function formatMiB(mib) {
    if (!(mib >= 0))
      return "–";
    if (mib >= 1048576)
      return (mib / 1048576).toFixed(2) + " TiB";
    if (mib >= 1024)
      return (mib / 1024).toFixed(mib >= 10240 ? 1 : 2) + " GiB";
    return Math.round(mib) + " MiB";
  }

  function formatBits(bitsPerSecond) {
    const steps = [[1e9, "Gbit/s"], [1e6, "Mbit/s"], [1e3, "kbit/s"]];
    for (const [size, unit] of steps)
      if (bitsPerSecond >= size)
        return (bitsPerSecond / size).toFixed(1) + " " + unit;
    return Math.round(bitsPerSecond) + " bit/s";
  }

  // Whether getSys.json has a real figure for "gpu" or "temp". Older servers without the
  // "_available" keys: a temperature of 0 means no sensor.
  function available(data, key) {
    const flag = data[key + "_available"];
    if (typeof flag === "boolean")
      return flag;
    return key !== "temp" || data.temp > 0;
  }

  // ------------------------------------------------------------------ markup
  function build(section) {
    const cards = metrics.map((m) =>
      `<div class="sys-metric" id="sys-${m.id}">
         <div class="sys-head"><span class="sys-label" data-i18n="${m.label}"></span>
           <span class="sys-value">–</span></div>
         <canvas class="sys-chart"></canvas></div>`).join("");
    section.innerHTML =
      `<div class="panel-head"><h2 data-i18n="system"></h2><span class="spacer"></span>
         <span class="hint" data-i18n="lastMinutes"></span></div>
       <div class="sys-metrics">${cards}</div>
       <div class="sys-lower">
         <div class="sys-disk" id="diskCard">
           <h3 data-i18n="recordingDisk"></h3>
           <div class="disk-folder" id="diskFolder"></div>
           <div class="disk-bar" id="diskBar"><span id="diskBarUsed"></span></div>
           <div class="disk-figures" id="diskFigures"><span id="diskUsage"></span><span id="diskFree"></span></div>
           <div class="disk-write" id="diskWriteLine"><span data-i18n="diskWriting"></span>: <span id="diskWrite">–</span></div>
           <p class="disk-low" id="diskLow" data-i18n="diskLow" hidden></p>
         </div>
         <div class="sys-test">
           <h3 data-i18n="speedTest"></h3>
           <div class="test-row">
             <button id="diskTestStart" type="button" data-i18n="testStart"></button>
             <button id="diskTestStop" type="button" data-i18n="testStop" disabled></button>
             <progress id="diskTestProgress" max="100" value="0" hidden></progress>
           </div>
           <p class="test-status" id="diskTestStatus" role="status"></p>
         </div>
       </div>`;
    metrics.forEach((m) => {
      m.node = $("sys-" + m.id);
      m.chart = new DR.TimeChart(m.node.querySelector("canvas"),
                                 { colors: m.colors, max: m.max, minMax: m.minMax,
                                   format: m.format, gapMs: 3 * SAMPLE_MS });
    });
    DR.i18n.apply(section);
  }

  // ------------------------------------------------------------------ machine load
  function renderSys() {
    const d = state.sys;
    if (!d)
      return;
    const set = function (id, text, missing) {
      const node = $("sys-" + id);
      node.querySelector(".sys-value").textContent = missing ? t("notAvailable") : text;
      node.classList.toggle("unavailable", !!missing);
    };
    set("cpu", Math.round(d.cpu) + " %");
    set("gpu", Math.round(d.gpu) + " %", !available(d, "gpu"));
    set("temp", Number(d.temp).toFixed(1) + " °C", !available(d, "temp"));
    const share = d.mem_total > 0 ? " (" + Math.round(d.mem_use * 100 / d.mem_total) + " %)" : "";
    set("mem", t("memOf", formatMiB(d.mem_use), formatMiB(d.mem_total)) + share);
    // Up and down in the colours of their lines.
    const net = $("sys-net").querySelector(".sys-value");
    net.textContent = "";
    [["netUp", d.net_up], ["netDown", d.net_down]].forEach(function ([key, units], i) {
      const part = document.createElement("span");
      part.style.color = metrics[4].colors[i];
      part.textContent = (i ? " · " : "") + t(key) + " " + formatBits(units * NET_UNIT_BYTES * 8);
      net.appendChild(part);
    });
  }

  function addSample(d, nowMs) {
    state.sys = d;
    const values = {
      cpu: [d.cpu],
      gpu: [available(d, "gpu") ? d.gpu : null],
      temp: [available(d, "temp") ? d.temp : null],
      mem: [d.mem_use],
      net: [d.net_up * NET_UNIT_BYTES * 8, d.net_down * NET_UNIT_BYTES * 8],
    };
    metrics.forEach((m) => m.chart.push(nowMs, values[m.id]));
    metrics[3].chart.max = d.mem_total > 0 ? d.mem_total : 0;
    renderSys();
  }

  function drawCharts() {
    const now = Date.now();
    metrics.forEach((m) => m.chart.draw(now));
  }

  // ------------------------------------------------------------------ recording disk
  function renderDisk() {
    const disk = state.disk;
    if (!disk)
      return;
    const info = disk.data;
    $("diskFolder").textContent = info ? info.name
                                       : t(disk.error || disk.lost ? "diskUnreadable" : "diskNone");
    $("diskCard").classList.toggle("none", !info);
    ["diskBar", "diskFigures", "diskWriteLine"].forEach((id) => { $(id).hidden = !info; });
    const free = info ? info.total - info.use : 0;
    const low = !!info && free < LOW_FREE_MIB;
    $("diskCard").classList.toggle("low", low);
    $("diskLow").hidden = !low;
    $("diskBarUsed").style.width = info && info.total > 0
        ? Math.min(100, info.use * 100 / info.total).toFixed(1) + "%" : "0";
    $("diskUsage").textContent = info ? t("diskUsage", formatMiB(info.use), formatMiB(info.total)) : "";
    $("diskFree").textContent = info ? t("diskFree", formatMiB(free)) : "";
    // The route gives Mbit/s; MB/s compares with the speed test's result.
    $("diskWrite").textContent = info ? (info.speed / 8).toFixed(1) + " MB/s" : "–";
  }

  async function loadDisk() {
    try {
      const reply = await DR.api.get("/storage/getDeviceList.json");
      const info = Array.isArray(reply.data) ? reply.data[0] : null;
      // A folder that could not be read is cleared by the application: keep saying so.
      const lost = !info && !!state.disk && (state.disk.error || state.disk.lost);
      state.disk = info ? { data: info } : { none: true, lost: lost };
    } catch (e) {
      if (e.message === "unreachable")
        return;
      state.disk = { error: true }; // the application has cleared the folder
    }
    renderDisk();
  }

  // ------------------------------------------------------------------ speed test
  function setStatus(key, arg, kind) {
    state.test.status = key ? { key: key, arg: arg, kind: kind || "info" } : null;
    renderTest();
  }

  function renderTest() {
    const test = state.test;
    $("diskTestStart").disabled = test.running || test.checking === true;
    $("diskTestStop").disabled = !test.running;
    $("diskTestProgress").hidden = !test.showBar;
    $("diskTestProgress").value = test.percent;
    const status = $("diskTestStatus");
    status.textContent = test.status ? t(test.status.key, test.status.arg) : "";
    status.className = "test-status" + (test.status ? " " + test.status.kind : "");
  }

  async function startTest() {
    const test = state.test;
    if (test.running) {
      setStatus("testAlreadyRunning", undefined, "error");
      return;
    }
    test.checking = true;
    test.showBar = false;
    setStatus(null);
    let problem = null;
    try {
      const storage = await DR.api.get("/storage/get.json");
      if (!(storage.data && storage.data.storePath))
        problem = "testNoFolder";
      else if (!(await DR.api.get("/storage/getAvailable.json")).data.isAvailable)
        problem = "testFolderGone";
      else
        await DR.api.get("/performance/getDiskMaxSpeed.json");
    } catch (e) {
      problem = e.message === "unreachable" ? "unreachable" : "testRefused";
    }
    test.checking = false;
    if (problem) {
      setStatus(problem, undefined, "error");
      return;
    }
    test.running = true;
    test.percent = 0;
    test.showBar = true;
    test.lastEventMs = Date.now();
    setStatus("testRunning", 0);
  }

  async function stopTest(statusKey) {
    const test = state.test;
    test.running = false;
    test.showBar = false;
    setStatus(statusKey || "testStopped", undefined, statusKey ? "error" : "info");
    try {
      await DR.api.get("/performance/stopDiskMaxSpeed.json");
    } catch (e) {
      setStatus("unreachable", undefined, "error");
    }
  }

  // Progress of a test, also of one that another client started.
  function onTestEvent(data) {
    const test = state.test;
    const percent = Math.max(0, Math.min(100, Math.round(Number(data.diskTestPercent) || 0)));
    test.lastEventMs = Date.now();
    test.percent = percent;
    test.showBar = true;
    test.running = percent < 100;
    if (percent < 100)
      setStatus("testRunning", percent);
    else
      setStatus("testResult", Number(data.diskMaxSpeed || 0).toFixed(1), "result");
  }

  // ------------------------------------------------------------------ wiring
  async function tick() {
    if (state.test.running && Date.now() - state.test.lastEventMs > SILENT_TEST_MS)
      stopTest("testSilent");
    if (state.sampling)
      return;
    state.sampling = true;
    try {
      const reply = await DR.api.get("/performance/getSys.json");
      if (reply.data)
        addSample(reply.data, Date.now());
    } catch (e) {
      // The connection badge says when the application is gone; the chart shows the gap.
    }
    await loadDisk();
    state.sampling = false;
    drawCharts();
  }

  function start() {
    const section = $("systemSection");
    if (!section)
      return;
    build(section);
    $("diskTestStart").addEventListener("click", startTest);
    $("diskTestStop").addEventListener("click", function () { stopTest(); });
    document.addEventListener("dr:event", function (e) {
      if (e.detail.name === "diskMaxSpeed/update" && e.detail.data)
        onTestEvent(e.detail.data);
    });
    document.addEventListener("dr:language", function () {
      renderSys();
      renderDisk();
      renderTest();
    });
    window.addEventListener("resize", drawCharts);
    renderTest();
    tick();
    setInterval(tick, SAMPLE_MS);
  }

  DR.system = { state: state, metrics: metrics };
  document.addEventListener("DOMContentLoaded", start);
})();
