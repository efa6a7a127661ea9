// Calls of the application's JSON API. Every call resolves to the reply object; a reply
// with "result": "error" or a failed request rejects with an Error whose message says why.
"use strict";
var DR = window.DR || (window.DR = {});

DR.api = (function () {
  function check(reply) {
    if (reply && reply.result === "error")
      throw new Error(reply.msg || "error");
    return reply;
  }

  async function request(path, body) {
    const options = body === undefined
      ? { method: "GET", cache: "no-store" }
      : { method: "POST", cache: "no-store", headers: { "Content-Type": "application/json" },
          body: JSON.stringify(body) };
    let response;
    try {
      response = await fetch("/api" + path, options);
    } catch (e) {
      throw new Error("unreachable");
    }
    if (!response.ok)
      throw new Error("HTTP " + response.status);
    return check(await response.json());
  }

  return {
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
