// The live multiview: the window grid of the current layout with each window's preview
// (refreshed about twice a second while the page is shown), name, source, state, two level
// bars and alarm badges. A window's source is picked from the discovered sources (the
// drop-down of the window) or by dragging a source of the source list onto it.
//
// Inputs: DR.multiview.showOutput(output, layouts) and showSources(sources) from the app,
// onEvent(event) for "levels/update", "alarm/update" and reconnects. Previews come from
// /api/output/preview.jpg with If-None-Match, so an unchanged picture is not sent again.
"use strict";
var DR = window.DR || (window.DR = {});

DR.multiview = (function () {
  const refreshMs = 500;
  const texts = {
    en: { multiview: "Multiview", noSource: "No source", pick: "Pick a source…",
          dropHere: "Drop a source here", idle: "idle", loading: "loading", play: "live",
          failed: "not found", black: "Black", frozen: "Frozen", silent: "Silent",
          nosignal: "No signal", noPicture: "No picture" },
    zh: { multiview: "多画面监看", noSource: "无信号源", pick: "选择信号源…",
          dropHere: "拖放信号源到这里", idle: "空闲", loading: "加载中", play: "直播",
          failed: "未找到", black: "黑场", frozen: "画面冻结", silent: "静音",
          nosignal: "无信号", noPicture: "无画面" },
  };
  function t(key) {
    const lang = DR.i18n && DR.i18n.language && DR.i18n.language() === "zh" ? "zh" : "en";
    return texts[lang][key] || key;
  }

  const cells = new Map();   // position -> {node, img, ...}
  const alarms = new Map();  // position -> Set of kinds
  let sources = [];
  let output = null;
  let layouts = [];
  let timer = 0;

  function grid() { return document.getElementById("multiview"); }
  function visible() {
    const g = grid();
    return g && g.offsetParent !== null && document.visibilityState === "visible";
  }

  function geometry() {
    const id = output ? output.layout_id : 0;
    const layout = layouts.find(function (l) { return l.id === id; });
    return layout ? layout.position || [] : [];
  }

  function setSource(position, name) {
    DR.api.setSource(position, name).catch(function (e) {
      console.warn("set source failed", e);
    }).then(function () { if (DR.app) DR.app.reload(); });
  }

  function buildCell(position) {
    const node = document.createElement("div");
    node.className = "mv-cell";
    node.dataset.position = String(position);
    node.innerHTML =
      '<img class="mv-picture" alt="">' +
      '<div class="mv-empty"></div>' +
      '<div class="mv-head"><span class="mv-position"></span><span class="mv-name"></span>' +
      '<span class="mv-state"></span></div>' +
      '<div class="mv-alarms"></div>' +
      '<div class="mv-levels"><span class="mv-bar"><i></i></span><span class="mv-bar"><i></i></span></div>' +
      '<div class="mv-foot"><select class="mv-pick"></select></div>';
    const cell = {
      node: node,
      img: node.querySelector(".mv-picture"),
      empty: node.querySelector(".mv-empty"),
      name: node.querySelector(".mv-name"),
      state: node.querySelector(".mv-state"),
      alarmBox: node.querySelector(".mv-alarms"),
      bars: node.querySelectorAll(".mv-bar i"),
      pick: node.querySelector(".mv-pick"),
      etag: "", url: "", busy: false, source: "", choices: "",
    };
    node.querySelector(".mv-position").textContent = String(position);
    cell.pick.addEventListener("change", function () {
      if (cell.pick.value !== cell.source)
        setSource(position, cell.pick.value);
    });
    node.addEventListener("dragover", function (e) {
      if (Array.from(e.dataTransfer.types).indexOf("text/plain") < 0)
        return;
      e.preventDefault();
      e.dataTransfer.dropEffect = "copy";
      node.classList.add("mv-drop");
    });
    node.addEventListener("dragleave", function () { node.classList.remove("mv-drop"); });
    node.addEventListener("drop", function (e) {
      e.preventDefault();
      node.classList.remove("mv-drop");
      const name = e.dataTransfer.getData("text/plain");
      if (name)
        setSource(position, name);
    });
    return cell;
  }

  function fillPick(cell) {
    const names = sources.map(function (s) { return s.name; });
    if (cell.source && names.indexOf(cell.source) < 0)
      names.unshift(cell.source); // keep a typed or vanished source visible
    const key = DR.i18n.language() + "|" + cell.source + "|" + names.join("\n");
    if (key === cell.choices)
      return;
    cell.choices = key;
    cell.pick.textContent = "";
    const none = document.createElement("option");
    none.value = "";
    none.textContent = cell.source ? t("noSource") : t("pick");
    cell.pick.appendChild(none);
    names.forEach(function (name) {
      const option = document.createElement("option");
      option.value = name;
      option.textContent = name;
      cell.pick.appendChild(option);
    });
    cell.pick.value = cell.source;
  }

  function renderAlarms(position) {
    const cell = cells.get(position);
    if (!cell)
      return;
    const kinds = Array.from(alarms.get(position) || []);
    cell.alarmBox.textContent = "";
    kinds.forEach(function (kind) {
      const badge = document.createElement("span");
      badge.className = "mv-alarm";
      badge.dataset.kind = kind;
      badge.textContent = t(kind);
      cell.alarmBox.appendChild(badge);
    });
    cell.node.classList.toggle("mv-alarmed", kinds.length > 0);
  }

  function render() {
    const g = grid();
    if (!g || !output)
      return;
    const title = document.querySelector("#multiviewSection h2");
    if (title)
      title.textContent = t("multiview");
    const rects = geometry();
    const windows = output.layout || [];
    const count = Math.min(output.layout_number || 0, rects.length);
    for (const [position, cell] of cells) {
      if (position > count) {
        cell.node.remove();
        if (cell.url)
          URL.revokeObjectURL(cell.url);
        cells.delete(position);
      }
    }
    for (let position = 1; position <= count; ++position) {
      let cell = cells.get(position);
      if (!cell) {
        cell = buildCell(position);
        cells.set(position, cell);
        g.appendChild(cell.node);
      }
      const r = rects[position - 1];
      Object.assign(cell.node.style, { left: r.x + "%", top: r.y + "%", width: r.width + "%",
                                       height: r.height + "%" });
      const w = windows.find(function (x) { return x.id === position; }) || {};
      cell.source = w.stream_id || "";
      cell.name.textContent = w.name || "";
      const state = cell.source ? (w.state || "loading") : "idle";
      cell.node.dataset.state = state;
      cell.state.textContent = t(state);
      cell.empty.textContent = cell.source ? t("noPicture") : t("dropHere");
      if (!cell.source)
        showPicture(cell, "", "");
      fillPick(cell);
      renderAlarms(position);
    }
  }

  function showPicture(cell, url, etag) {
    if (cell.url && cell.url !== url)
      URL.revokeObjectURL(cell.url);
    cell.url = url;
    cell.etag = etag;
    if (url)
      cell.img.src = url;
    else
      cell.img.removeAttribute("src");
    cell.node.classList.toggle("mv-has-picture", !!url);
  }

  async function refreshPicture(position, cell) {
    if (cell.busy || !cell.source)
      return;
    cell.busy = true;
    try {
      const response = await fetch("/api/output/preview.jpg?position=" + position,
                                   { cache: "no-cache" });
      const etag = response.headers.get("ETag") || "";
      if (response.status === 404) {
        showPicture(cell, "", "");
      } else if (response.ok && etag !== cell.etag) {
        const blob = await response.blob();
        showPicture(cell, URL.createObjectURL(blob), etag);
      }
    } catch (e) {
      // offline: the connection badge says so; try again at the next round
    }
    cell.busy = false;
  }

  function refresh() {
    if (!visible())
      return;
    cells.forEach(function (cell, position) { refreshPicture(position, cell); });
  }

  function showLevels(list) {
    (list || []).forEach(function (entry) {
      const cell = cells.get(entry.position);
      if (!cell || !Array.isArray(entry.levels))
        return;
      for (let c = 0; c < 2; ++c) {
        const dB = Number(entry.levels[c]);
        // -60 dBFS at the bottom, 0 dBFS at the top.
        const fraction = Math.max(0, Math.min(1, (dB + 60) / 60));
        const bar = cell.bars[c];
        bar.style.height = (fraction * 100).toFixed(1) + "%";
        bar.className = dB > -6 ? "hot" : dB > -18 ? "warm" : "";
        bar.parentNode.dataset.db = String(dB);
      }
    });
  }

  async function loadAlarms() {
    try {
      const reply = await DR.api.get("/alarm/list.json");
      alarms.clear();
      (reply.data || []).forEach(function (a) {
        if (!alarms.has(a.position))
          alarms.set(a.position, new Set());
        alarms.get(a.position).add(a.kind);
      });
      cells.forEach(function (cell, position) { renderAlarms(position); });
    } catch (e) {
      // keep what is shown
    }
  }

  function onEvent(event) {
    if (event.name === "levels/update") {
      showLevels(event.data);
    } else if (event.name === "alarm/update" && event.data) {
      const position = event.data.position;
      if (!alarms.has(position))
        alarms.set(position, new Set());
      if (event.data.active)
        alarms.get(position).add(event.data.kind);
      else
        alarms.get(position).delete(event.data.kind);
      renderAlarms(position);
    }
  }

  function start() {
    // Sources of the source list can be dragged onto a window.
    const list = document.getElementById("sourceList");
    if (list) {
      list.addEventListener("dragstart", function (e) {
        const item = e.target.closest ? e.target.closest("li") : null;
        const name = item ? item.querySelector(".source-name") : null;
        if (!name)
          return;
        e.dataTransfer.setData("text/plain", name.textContent);
        e.dataTransfer.effectAllowed = "copy";
      });
    }
    loadAlarms();
    timer = setInterval(refresh, refreshMs);
  }

  document.addEventListener("DOMContentLoaded", start);

  return {
    showOutput: function (value, layoutList) {
      output = value;
      layouts = layoutList || layouts;
      render();
    },
    showSources: function (list) {
      sources = Array.isArray(list) ? list : [];
      cells.forEach(fillPick);
      const items = document.querySelectorAll("#sourceList li");
      items.forEach(function (item) { item.draggable = true; });
    },
    onEvent: onEvent,
    onConnection: function (online) { if (online) loadAlarms(); },
    stop: function () { clearInterval(timer); },
  };
})();
