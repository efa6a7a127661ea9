// The recording panel: arm, start and stop the recording of every window; the state from
// /api/record/get.json and the events; per window a recording mark, elapsed time, current
// file and dropped frames; free space and write rate of the recording disk; the storage
// settings (folder, split rule, frame-rate mode, naming rules, codec).
"use strict";
var DR = window.DR || (window.DR = {});

DR.record = (function () {
  const t = DR.i18n.t;
  const $ = function (id) { return document.getElementById(id); };
  const state = { standBy: false, recording: false, windows: [], storage: null, busy: false };

  DR.i18n.extend({
    en: {
      recording: "Recording", arm: "Arm", startRecording: "Start", stopRecording: "Stop",
      recIdle: "idle", recArmed: "armed", recRunning: "recording",
      storeFolder: "Storage folder", chooseFolder: "Choose…", splitBy: "Split files by",
      splitSize: "size (MiB)", splitTime: "time (minutes)", frameMode: "Frame rate",
      frameConstant: "constant", frameVariable: "as received", nameMiddle: "Camera name rule",
      nameDate: "Date pattern", codec: "Codec", saveStorage: "Save storage settings",
      diskLine: "Free %1", diskRate: "writing %1 Mbit/s", noDisk: "no storage folder",
      colWindow: "Window", colTime: "Time", colFile: "Current file", colDropped: "Dropped",
      stateStarting: "starting", stateRecording: "recording", stateStopped: "stopped",
      stateFailed: "failed", stateIdle: "idle", noRecordings: "No window is recording.",
    },
    zh: {
      recording: "录制", arm: "准备", startRecording: "开始", stopRecording: "停止",
      recIdle: "空闲", recArmed: "已准备", recRunning: "录制中",
      storeFolder: "存储文件夹", chooseFolder: "选择…", splitBy: "文件分割",
      splitSize: "按大小 (MiB)", splitTime: "按时间 (分钟)", frameMode: "帧率",
      frameConstant: "恒定", frameVariable: "按接收", nameMiddle: "镜头命名规则",
      nameDate: "日期格式", codec: "编码", saveStorage: "保存存储设置",
      diskLine: "可用 %1", diskRate: "写入 %1 Mbit/s", noDisk: "未设置存储文件夹",
      colWindow: "窗口", colTime: "时长", colFile: "当前文件", colDropped: "丢帧",
      stateStarting: "启动中", stateRecording: "录制中", stateStopped: "已停止",
      stateFailed: "失败", stateIdle: "空闲", noRecordings: "没有窗口在录制。",
    },
  });

  function notify(text, isError) {
    if (DR.app && DR.app.notify)
      DR.app.notify(text, isError);
  }

  function clock(seconds) {
    const s = Math.max(0, Math.floor(seconds || 0));
    const pad = function (n) { return String(n).padStart(2, "0"); };
    return pad(Math.floor(s / 3600)) + ":" + pad(Math.floor(s / 60) % 60) + ":" + pad(s % 60);
  }

  function size(mib) {
    return mib >= 1024 ? (mib / 1024).toFixed(1) + " GiB" : Math.round(mib) + " MiB";
  }

  function stateText(s) {
    const key = "state" + (s || "idle").charAt(0).toUpperCase() + (s || "idle").slice(1);
    return t(key);
  }

  function render() {
    const badge = $("recordState");
    const mode = state.recording && state.standBy ? "recording" : state.standBy ? "armed" : "idle";
    badge.dataset.state = mode;
    badge.textContent = t(mode === "recording" ? "recRunning" : mode === "armed" ? "recArmed" : "recIdle");
    $("armButton").disabled = state.busy || mode !== "idle";
    $("startButton").disabled = state.busy || mode === "recording";
    $("stopButton").disabled = state.busy || mode === "idle";

    const body = $("recordWindows");
    body.textContent = "";
    state.windows.forEach(function (w) {
      const row = document.createElement("tr");
      row.className = "rec-" + (w.state || "idle");
      row.dataset.position = String(w.position);
      const cells = [
        "", String(w.position), stateText(w.state) + (w.error ? " (" + w.error + ")" : ""),
        clock(w.elapsed), w.file || "", String(w.dropped || 0),
      ];
      cells.forEach(function (text, i) {
        const cell = document.createElement("td");
        if (i === 0) {
          cell.className = "mark";
          cell.textContent = w.state === "recording" ? "●" : "";
        } else {
          cell.textContent = text;
        }
        if (i === 4)
          cell.className = "file";
        row.appendChild(cell);
      });
      body.appendChild(row);
    });
    $("noRecordings").hidden = state.windows.some(function (w) { return w.state === "recording"; });
  }

  async function loadStatus() {
    try {
      const reply = await DR.api.get("/record/get.json");
      const data = reply.data || {};
      state.standBy = !!data.isStandBy;
      state.recording = !!data.isRecording;
      state.windows = Array.isArray(data.windows) ? data.windows : [];
    } catch (e) {
      return;
    }
    render();
  }

  async function loadDisk() {
    const line = $("recordDisk");
    try {
      const reply = await DR.api.get("/storage/getDeviceList.json");
      const disk = Array.isArray(reply.data) ? reply.data[0] : null;
      if (!disk) {
        line.textContent = t("noDisk");
        return;
      }
      line.textContent = disk.name + " · " + t("diskLine", size(disk.total - disk.use) + " / " +
                         size(disk.total)) + " · " + t("diskRate", Number(disk.speed || 0).toFixed(1));
    } catch (e) {
      line.textContent = t("noDisk");
    }
  }

  function fillStorage(s) {
    state.storage = s;
    const active = document.activeElement;
    const set = function (id, value) {
      if ($(id) !== active)
        $(id).value = value;
    };
    set("storePathInput", s.storePath || "");
    set("limitTypeSelect", s.limitType === "time" ? "time" : "size");
    set("limitSizeInput", s.limitSize);
    set("limitTimeInput", s.limitTime);
    set("frmodeSelect", String(s.frmode === 1 ? 1 : 0));
    set("ruleMiddleInput", (s.rules && s.rules.middle) || "");
    set("ruleEndInput", (s.rules && s.rules.end) || "");
    set("codecSelect", s.codec || "h264");
    showLimit();
  }

  async function loadStorage() {
    try {
      fillStorage((await DR.api.get("/storage/get.json")).data || {});
    } catch (e) {
      /* the panel keeps what it shows */
    }
  }

  function showLimit() {
    const byTime = $("limitTypeSelect").value === "time";
    $("limitSizeLabel").hidden = byTime;
    $("limitTimeLabel").hidden = !byTime;
  }

  async function saveStorage(e) {
    e.preventDefault();
    const rules = Object.assign({}, (state.storage && state.storage.rules) || {});
    rules.middle = $("ruleMiddleInput").value;
    rules.end = $("ruleEndInput").value.trim() || "yyyyMMdd-HH.mm.ss";
    try {
      await DR.api.post("/storage/set.json", {
        storePath: $("storePathInput").value.trim(),
        limitType: $("limitTypeSelect").value,
        limitSize: parseInt($("limitSizeInput").value, 10) || 0,
        limitTime: parseInt($("limitTimeInput").value, 10) || 0,
        frmode: parseInt($("frmodeSelect").value, 10) || 0,
        rules: rules,
        codec: $("codecSelect").value,
      });
      notify(t("saved"), false);
    } catch (err) {
      notify(t("failed") + ": " + err.message, true);
    }
    await Promise.all([loadStorage(), loadDisk(), loadStatus()]);
  }

  async function setRecord(standBy, recording) {
    state.busy = true;
    render();
    try {
      await DR.api.post("/record/set.json", { isStandBy: standBy, isRecording: recording });
    } catch (err) {
      notify(t("failed") + (err.message && err.message !== "error" ? ": " + err.message : ""), true);
    }
    state.busy = false;
    // The back end applies the change on its own thread: read the outcome a moment later.
    setTimeout(loadStatus, 300);
    await loadStatus();
  }

  function onEvent(event) {
    switch (event.name) {
    case "record/start":
    case "record/over":
    case "record/over2":
    case "storePath/error":
      loadStatus();
      break;
    case "storePath/update":
      loadStorage();
      loadDisk();
      break;
    default:
      break;
    }
  }

  function start() {
    $("armButton").addEventListener("click", function () { setRecord(true, false); });
    // Start arms first, so that one click records windows that were never armed.
    $("startButton").addEventListener("click", async function () {
      if (!state.standBy)
        await setRecord(true, false);
      await setRecord(true, true);
    });
    $("stopButton").addEventListener("click", function () { setRecord(false, false); });
    $("storageForm").addEventListener("submit", saveStorage);
    $("limitTypeSelect").addEventListener("change", showLimit);
    const embedded = new URLSearchParams(window.location.search).get("output") === "1";
    $("chooseFolderButton").hidden = !embedded; // the main window's folder chooser
    $("chooseFolderButton").addEventListener("click", function () {
      DR.api.get("/storage/getStorePath.json").catch(function () {});
    });
    loadStorage();
    loadStatus();
    loadDisk();
    setInterval(function () {
      if (document.visibilityState !== "visible")
        return;
      loadStatus();
      loadDisk();
    }, 1000);
  }

  document.addEventListener("DOMContentLoaded", start);
  return { onEvent: onEvent, reload: loadStatus, render: render };
})();
