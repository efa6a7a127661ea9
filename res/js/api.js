// Calls of the application's JSON API. Every call resolves to the reply object; a reply
// with "result": "error" or a failed request rejects with an Error whose message says why.
"use strict";
var DR = window.DR || (window.DR = {});

DR.api = (function () {
  // The access token, when the application asks for one: kept in this browser's local
  // storage, so it is asked for once. The main window hands its token in the address
  // fragment ("#token=..."), which is taken and then removed from the address bar.
  const tokenKey = "deskRecorder.token";
  const texts = {
    en: { ask: "This Desk Recorder needs an access token.", wrong: "The token was not accepted.",
          token: "Access token", ok: "Continue", cancel: "Cancel",
          readOnly: "this access token may only read", refused: "no access token" },
    zh: { ask: "此 Desk Recorder 需要访问令牌。", wrong: "令牌无效。", token: "访问令牌",
          ok: "继续", cancel: "取消", readOnly: "此访问令牌只能查看", refused: "没有访问令牌" },
  };
  function text(key) {
    const lang = DR.i18n && DR.i18n.language ? DR.i18n.language() : "en";
    return (texts[lang] || texts.en)[key];
  }

  function storedToken() {
    try { return window.localStorage.getItem(tokenKey) || ""; } catch (e) { return ""; }
  }
  function storeToken(token) {
    try { window.localStorage.setItem(tokenKey, token); } catch (e) { /* private mode */ }
  }
  (function takeTokenFromAddress() {
    const match = /(?:^#|&)token=([^&]*)/.exec(window.location.hash);
    if (!match)
      return;
    storeToken(decodeURIComponent(match[1]));
    history.replaceState(null, "", window.location.pathname + window.location.search);
  })();

  // One question at a time, shared by every request that was refused meanwhile. Resolves
  // to the token entered, or "" when the user cancels.
  let asking = null;
  function askToken(wrong) {
    if (asking)
      return asking;
    asking = new Promise(function (resolve) {
      const dialog = document.createElement("dialog");
      dialog.id = "tokenDialog";
      const form = document.createElement("form");
      form.method = "dialog";
      const message = document.createElement("p");
      message.textContent = (wrong ? text("wrong") + " " : "") + text("ask");
      const label = document.createElement("label");
      label.textContent = text("token") + " ";
      const input = document.createElement("input");
      input.id = "tokenInput";
      input.type = "password";
      input.autocomplete = "current-password";
      input.required = true;
      label.appendChild(input);
      const ok = document.createElement("button");
      ok.id = "tokenOk";
      ok.value = "ok";
      ok.textContent = text("ok");
      const cancel = document.createElement("button");
      cancel.value = "cancel";
      cancel.formNoValidate = true;
      cancel.textContent = text("cancel");
      form.append(message, label, ok, cancel);
      dialog.appendChild(form);
      dialog.addEventListener("close", function () {
        const token = dialog.returnValue === "ok" ? input.value.trim() : "";
        dialog.remove();
        asking = null;
        if (token)
          storeToken(token);
        resolve(token);
      });
      document.body.appendChild(dialog);
      dialog.showModal();
    });
    return asking;
  }

  function check(reply) {
    if (reply && reply.result === "error")
      throw new Error(reply.msg || "error");
    return reply;
  }

  async function request(path, body) {
    for (let attempt = 0; ; ++attempt) {
      const headers = {};
      const token = storedToken();
      if (token)
        headers.Authorization = "Bearer " + token;
      const options = body === undefined
        ? { method: "GET", cache: "no-store", headers: headers }
        : { method: "POST", cache: "no-store", body: JSON.stringify(body),
            headers: Object.assign(headers, { "Content-Type": "application/json" }) };
      let response;
      try {
        response = await fetch("/api" + path, options);
      } catch (e) {
        throw new Error("unreachable");
      }
      if (response.status === 401) {
        // Another request may have stored the right token meanwhile: try that first.
        if (storedToken() !== token || (await askToken(attempt > 0 || token !== "")))
          continue;
        throw new Error(text("refused"));
      }
      if (response.status === 403)
        throw new Error(text("readOnly"));
      if (!response.ok)
        throw new Error("HTTP " + response.status);
      return check(await response.json());
    }
  }

  return {
    token: storedToken,
    get: function (path) { return request(path); },
    post: function (path, body) { return request(path, body || {}); },

    output: function () { return request("/output/get.json"); },
    layouts: function () { return request("/output/icon.json"); },
    setLayout: function (id, count) {
      return request("/output/setLayout.json", { layout_id: id, layout_number: count });
    },
    setName: function (position, name) {
      return request("/output/setName.json", { position: position, name: name });
    },
    setSource: function (position, source) {
      return request("/output/setSource.json",
                     { type: "source", position: position, stream_id: source });
    },
    // Two requests: each window gets the other's source; the audio states follow.
    swap: async function (a, sourceOfB, b, sourceOfA) {
      await request("/output/setSource.json", { type: "display", position: a, stream_id: sourceOfB });
      return request("/output/setSource.json", { type: "display", position: b, stream_id: sourceOfA });
    },
    remove: function (position) { return request("/output/remove.json", { position: position }); },
    deleteAll: function () { return request("/output/deleteAll.json", {}); },
    setAudio: function (position, on) {
      return request("/output/window_audio_set.json",
                     { project_id: 1, position: position, volume: on ? "on" : "off" });
    },
    setShow: function (position, showVideo, showVolume) {
      return request("/output/setEnable.json",
                     { position: position, showVideo: showVideo, showVolume: showVolume });
    },
    setGlobalVisible: function (visible) {
      return request("/output/setGlobalVisible.json", { outputGlobalVisible: visible });
    },
    sources: function () { return request("/source/get.json"); },
    refreshSources: function () { return request("/source/refresh.json", {}); },
    groups: function () { return request("/discovery/scan/groupChecked.json"); },
    manualIps: function () { return request("/discovery/scan/getManualIps.json"); },
    setTargets: function (groups, ips) {
      return request("/discovery/scan/addManualIp.json", { group_name: groups, ip: ips });
    },
    interfaces: function () { return request("/discovery/interfaces/get.json"); },
    // "all", "none" or an array of interface names and IPv4 addresses.
    setInterfaces: function (interfaces) {
      return request("/discovery/interfaces/set.json", { interfaces: interfaces });
    },
    config: function () { return request("/config/general/get.json"); },
    setLanguage: function (lang) { return request("/lang/modify.json", { lang: lang }); },
    projects: function () { return request("/project/getList.json"); },
    setProject: function (name) {
      return request("/project/set.json", { project_id: 1, project_name: name });
    },
    ntp: function () { return request("/ntp/get.json"); },
    setNtp: function (address) { return request("/ntp/set.json", { addressList: [address] }); },
    applyNtp: function () { return request("/ntp/apply.json", {}); },
  };
})();
