// The web UI: layout choice, the windows of the current layout (name, source, audio,
// video, swap, remove), the source list, NDI discovery targets, project name, clock
// server and language. The window state comes live from the event channel
// ("output/update") and is read again after each change.
"use strict";
var DR = window.DR || (window.DR = {});

(function () {
  const t = DR.i18n.t;
  const $ = function (id) { return document.getElementById(id); };

  const state = {
    layouts: [],        // geometry document entries: {id, name, number, position: [...]}
    output: null,       // {layout_id, layout_number, layout: [window status objects]}
    sources: [],        // [{name, ip, ...}]
    editing: null,      // input element being edited; not overwritten by updates
  };

  // ------------------------------------------------------------------ notices
  let noticeTimer = 0;
  function notify(text, isError) {
    const box = $("notice");
    box.textContent = text;
    box.classList.toggle("error", !!isError);
    box.hidden = false;
    clearTimeout(noticeTimer);
    noticeTimer = setTimeout(function () { box.hidden = true; }, isError ? 8000 : 2500);
  }

  function failure(error) {
    const reason = error && error.message === "unreachable" ? t("unreachable")
                                                             : (error && error.message) || "";
    notify(t("failed") + (reason ? ": " + reason : ""), true);
  }

  // Runs an API call; on success reads the output again (changes may not be pushed).
  async function act(promise, savedText) {
    try {
      await promise;
      if (savedText)
        notify(savedText, false);
    } catch (e) {
      failure(e);
    }
    await loadOutput();
  }

  // ------------------------------------------------------------------ layouts
  function renderLayouts() {
    const list = $("layoutList");
    list.textContent = "";
    const current = state.output ? state.output.layout_id : 0;
    state.layouts.forEach(function (layout) {
      const button = document.createElement("button");
      button.type = "button";
      button.className = "layout" + (layout.id === current ? " current" : "");
      button.dataset.layout = String(layout.id);
      button.setAttribute("aria-pressed", layout.id === current ? "true" : "false");
      const preview = document.createElement("span");
      preview.className = "preview";
      (layout.position || []).forEach(function (r) {
        const cell = document.createElement("span");
        cell.style.left = r.x + "%";
        cell.style.top = r.y + "%";
        cell.style.width = r.width + "%";
        cell.style.height = r.height + "%";
        preview.appendChild(cell);
      });
      const label = document.createElement("span");
      label.className = "label";
      label.textContent = layout.number === 1 ? t("layoutOne") : t("layoutN", layout.number);
      button.appendChild(preview);
      button.appendChild(label);
      button.addEventListener("click", function () {
        act(DR.api.setLayout(layout.id, layout.number));
      });
      list.appendChild(button);
    });
  }

  // ------------------------------------------------------------------ windows
  function currentWindows() {
    if (!state.output)
      return [];
    const count = state.output.layout_number || 0;
    return (state.output.layout || []).filter(function (w) { return w.id >= 1 && w.id <= count; });
  }

  function windowSource(position) {
    const w = currentWindows().find(function (x) { return x.id === position; });
    return w ? (w.stream_id || "") : "";
  }

  function setValue(input, value) {
    if (state.editing !== input && input.value !== value)
      input.value = value;
  }

  function buildWindow(position) {
    const node = $("windowTemplate").content.firstElementChild.cloneNode(true);
    node.dataset.position = String(position);
    node.querySelector(".position").textContent = String(position);
    DR.i18n.apply(node);

    const name = node.querySelector(".name");
    const source = node.querySelector(".source");
    [name, source].forEach(function (input) {
      input.addEventListener("focus", function () { state.editing = input; });
      input.addEventListener("blur", function () {
        if (state.editing === input)
          state.editing = null;
      });
    });
    name.addEventListener("change", function () {
      act(DR.api.setName(position, name.value.trim()));
    });
    const assign = function () {
      const value = source.value.trim();
      if (value === "")
        return;
      state.editing = null;
      act(DR.api.setSource(position, value));
    };
    node.querySelector(".assign").addEventListener("click", assign);
    source.addEventListener("keydown", function (e) {
      if (e.key === "Enter")
        assign();
    });
    node.querySelector(".remove").addEventListener("click", function () {
      act(DR.api.remove(position));
    });
    const audio = node.querySelector(".audio");
    audio.addEventListener("change", function () {
      act(DR.api.setAudio(position, audio.checked));
    });
    const video = node.querySelector(".video");
    video.addEventListener("change", function () {
      const w = currentWindows().find(function (x) { return x.id === position; });
      act(DR.api.setShow(position, video.checked, w ? w.showVolume !== false : true));
    });
    const swap = node.querySelector(".swap");
    swap.addEventListener("change", function () {
      const other = parseInt(swap.value, 10);
      swap.value = "";
      if (!(other >= 1) || other === position)
        return;
      act(DR.api.swap(position, windowSource(other), other, windowSource(position)));
    });
    return node;
  }

  function renderWindows() {
    const list = $("windowList");
    const windows = currentWindows();
    // Rebuild only when the set of positions changed, so focus and typing survive.
    const wanted = windows.map(function (w) { return String(w.id); }).join(",");
    if (list.dataset.positions !== wanted) {
      list.textContent = "";
      windows.forEach(function (w) { list.appendChild(buildWindow(w.id)); });
      list.dataset.positions = wanted;
    }
    const usedBy = {};
    windows.forEach(function (w) {
      if (w.stream_id)
        usedBy[w.stream_id] = w.id;
    });
    windows.forEach(function (w) {
      const node = list.querySelector('.window[data-position="' + w.id + '"]');
      if (!node)
        return;
      const source = w.stream_id || "";
      node.classList.toggle("empty", source === "");
      node.classList.toggle("audio-on", w.volume === "on");
      setValue(node.querySelector(".name"), w.name || "");
      node.querySelector(".name").placeholder = t("windowN", w.id);
      setValue(node.querySelector(".source"), source);
      node.querySelector(".source").placeholder = t("sourcePlaceholder");
      node.querySelector(".source-state").textContent = source === "" ? t("noSource") : "";
      node.querySelector(".audio").checked = w.volume === "on";
      node.querySelector(".video").checked = w.showVideo !== false;
      node.querySelector(".remove").disabled = source === "";
      const swap = node.querySelector(".swap");
      // Rebuilt only when its choices change, so an open list is not closed by a refresh.
      const choices = DR.i18n.language() + "|" + windows.map(function (o) {
        return o.id + ":" + (o.name || "");
      }).join("|");
      if (swap.dataset.choices === choices)
        return;
      swap.dataset.choices = choices;
      swap.textContent = "";
      const first = document.createElement("option");
      first.value = "";
      first.textContent = t("swapWith");
      swap.appendChild(first);
      windows.forEach(function (other) {
        if (other.id === w.id)
          return;
        const option = document.createElement("option");
        option.value = String(other.id);
        option.textContent = other.id + " " + (other.name || t("windowN", other.id));
        swap.appendChild(option);
      });
    });
    renderSources(usedBy);
  }

  function showOutput(output) {
    if (!output || !Array.isArray(output.layout))
      return;
    state.output = output;
    renderLayouts();
    renderWindows();
    if (DR.multiview)
      DR.multiview.showOutput(output, state.layouts);
  }

  async function loadOutput(quiet) {
    try {
      const reply = await DR.api.output();
      showOutput(reply.data);
    } catch (e) {
      if (quiet !== true)
        failure(e);
    }
  }

  // ------------------------------------------------------------------ sources
  function renderSources(usedBy) {
    const list = $("sourceList");
    const names = $("sourceNames");
    list.textContent = "";
    names.textContent = "";
    state.sources.forEach(function (s) {
      const item = document.createElement("li");
      const name = document.createElement("span");
      name.className = "source-name";
      name.textContent = s.name;
      const address = document.createElement("span");
      address.className = "address";
      address.textContent = s.ip || "";
      item.appendChild(name);
      item.appendChild(address);
      if (usedBy && usedBy[s.name]) {
        const used = document.createElement("span");
        used.className = "used";
        used.textContent = t("inUse", usedBy[s.name]);
        item.appendChild(used);
      }
      list.appendChild(item);
      const option = document.createElement("option");
      option.value = s.name;
      names.appendChild(option);
    });
    $("noSources").hidden = state.sources.length > 0;
    if (DR.multiview)
      DR.multiview.showSources(state.sources);
  }

  async function loadSources() {
    try {
      const reply = await DR.api.sources();
      state.sources = Array.isArray(reply.data) ? reply.data : [];
    } catch (e) {
      state.sources = [];
    }
    renderWindows();
  }

  // ------------------------------------------------------------------ settings
  function splitList(text) {
    return text.split(/[,\s]+/).map(function (s) { return s.trim(); })
               .filter(function (s) { return s !== ""; });
  }

  // The discovery-interface setting and the machine's interfaces to choose from.
  function showInterfaces(reply) {
    const data = reply.data || {};
    const setting = data.interfaces || "all";
    const listed = setting !== "all" && setting !== "none";
    $("interfacesMode").value = listed ? "list" : setting;
    $("interfacesInput").value = listed ? setting.split(",").join(", ") : "";
    $("interfacesListLabel").hidden = !listed;
    const available = Array.isArray(data.available) ? data.available : [];
    const names = $("interfaceNames");
    names.textContent = "";
    available.forEach(function (i) {
      [i.name, i.address].forEach(function (value) {
        const option = document.createElement("option");
        option.value = value;
        names.appendChild(option);
      });
    });
    $("interfacesAvailable").textContent = available.length
        ? available.map(function (i) { return i.name + " " + i.address; }).join(", ") : "-";
  }

  function chosenInterfaces() {
    const mode = $("interfacesMode").value;
    return mode === "list" ? splitList($("interfacesInput").value) : mode;
  }

  async function loadSettings() {
    const jobs = [
      DR.api.groups().then(function (r) { $("groupsInput").value = (r.data || []).join(", "); }),
      DR.api.manualIps().then(function (r) { $("ipsInput").value = (r.data || []).join(", "); }),
      DR.api.interfaces().then(showInterfaces),
      DR.api.projects().then(function (r) {
        const project = (r.data || [])[0];
        const name = project ? project.project_name : "";
        $("projectInput").value = name;
        $("projectTitle").textContent = name;
      }),
      DR.api.ntp().then(function (r) {
        $("ntpInput").value = ((r.data && r.data.addressList) || [""])[0] || "";
      }),
    ];
    const results = await Promise.allSettled(jobs);
    const failed = results.find(function (r) { return r.status === "rejected"; });
    if (failed)
      failure(failed.reason);
  }

  // Follows the language stored in the application, also when another client changed it.
  async function loadLanguage(onlyWhenChanged) {
    try {
      const reply = await DR.api.config();
      const options = (reply.data && reply.data.languageOptions) || [];
      const chosen = options.find(function (o) { return o.default; });
      const lang = chosen ? chosen.value : "en";
      if (onlyWhenChanged === true && lang === DR.i18n.language())
        return;
      setLanguage(lang);
      if (reply.data && reply.data.version)
        $("versionLine").textContent = t("version", reply.data.version);
    } catch (e) {
      if (onlyWhenChanged !== true)
        setLanguage("en");
    }
  }

  function setLanguage(lang) {
    DR.i18n.setLanguage(lang);
    $("languageSelect").value = DR.i18n.language();
    const online = $("connection").dataset.state === "online";
    $("connection").textContent = t(online ? "online" : "offline");
    renderLayouts();
    // Window cards carry translated texts too: rebuild them.
    $("windowList").dataset.positions = "";
    renderWindows();
  }

  // ------------------------------------------------------------------ events
  function onEvent(event) {
    if (DR.record)
      DR.record.onEvent(event);
    if (DR.multiview)
      DR.multiview.onEvent(event);
    switch (event.name) {
    case "output/update":
      showOutput(event.data);
      break;
    case "storePath/update":
      notify(t("storePathUpdated", event.data ? event.data.storePath : ""), false);
      break;
    case "storePath/error":
      notify(t("storePathError"), true);
      break;
    case "record/over":
      notify(t("diskFull"), true);
      break;
    case "record/over2":
      notify(t("memoryLow"), true);
      break;
    case "record/start":
      notify(t("recordStarted", event.data ? event.data.position : ""), false);
      break;
    default:
      break;
    }
  }

  function onConnection(online) {
    const badge = $("connection");
    badge.dataset.state = online ? "online" : "offline";
    badge.classList.toggle("offline", !online);
    badge.textContent = t(online ? "online" : "offline");
    if (DR.multiview)
      DR.multiview.onConnection(online);
    if (online) {
      loadOutput();
      loadSources();
    }
  }

  // ------------------------------------------------------------------ wiring
  function wire() {
    $("languageSelect").addEventListener("change", async function () {
      const lang = $("languageSelect").value;
      try {
        await DR.api.setLanguage(lang);
        setLanguage(lang);
      } catch (e) {
        failure(e);
        $("languageSelect").value = DR.i18n.language();
      }
    });
    $("deleteAllButton").addEventListener("click", function () {
      if (window.confirm(t("confirmClear")))
        act(DR.api.deleteAll());
    });
    $("showAllButton").addEventListener("click", function () { act(DR.api.setGlobalVisible(true)); });
    $("hideAllButton").addEventListener("click", function () { act(DR.api.setGlobalVisible(false)); });
    $("refreshSourcesButton").addEventListener("click", async function () {
      try {
        await DR.api.refreshSources();
      } catch (e) {
        failure(e);
      }
      // Discovery needs a moment to list the sources again.
      setTimeout(loadSources, 1000);
    });
    $("interfacesMode").addEventListener("change", function () {
      $("interfacesListLabel").hidden = $("interfacesMode").value !== "list";
    });
    $("discoveryForm").addEventListener("submit", function (e) {
      e.preventDefault();
      const interfaces = chosenInterfaces();
      if (Array.isArray(interfaces) && interfaces.length === 0) {
        notify(t("interfacesMissing"), true);
        return;
      }
      act(DR.api.setTargets(splitList($("groupsInput").value), splitList($("ipsInput").value))
            .then(function () { return DR.api.setInterfaces(interfaces); }),
          t("saved"));
    });
    $("projectForm").addEventListener("submit", function (e) {
      e.preventDefault();
      const name = $("projectInput").value.trim();
      act(DR.api.setProject(name).then(function () { $("projectTitle").textContent = name; }),
          t("saved"));
    });
    $("ntpForm").addEventListener("submit", function (e) {
      e.preventDefault();
      act(DR.api.setNtp($("ntpInput").value.trim()), t("saved"));
    });
    $("ntpApplyButton").addEventListener("click", function () { act(DR.api.applyNtp(), t("saved")); });
  }

  async function start() {
    if (new URLSearchParams(window.location.search).get("output") === "1")
      document.body.classList.add("embedded");
    wire();
    await loadLanguage();
    try {
      const reply = await DR.api.layouts();
      state.layouts = Array.isArray(reply.data) ? reply.data : [];
    } catch (e) {
      failure(e);
    }
    await Promise.all([loadOutput(), loadSources(), loadSettings()]);
    DR.events = new DR.EventChannel(onEvent, onConnection);
    DR.events.open();
    // The source list is not pushed, and changes made by other clients may not be either:
    // read both now and then while the page is visible.
    setInterval(function () {
      if (document.visibilityState === "visible") {
        loadOutput(true);
        loadSources();
        loadLanguage(true);
      }
    }, 3000);
  }

  DR.app = { state: state, reload: loadOutput, notify: notify };
  document.addEventListener("DOMContentLoaded", start);
})();
