// Texts of the web UI in English and Chinese. Elements carry data-i18n="key" (text)
// or data-i18n-placeholder="key"; DR.i18n.apply(root) fills them in the current language.
"use strict";
var DR = window.DR || (window.DR = {});

DR.i18n = (function () {
  const texts = {
    en: {
      appTitle: "Desk Recorder",
      online: "live",
      offline: "offline",
      language: "Language",
      layout: "Layout",
      windows: "Windows",
      showAll: "Show all video",
      hideAll: "Hide all video",
      clearAll: "Clear all",
      sources: "Sources",
      refresh: "Refresh",
      noSources: "No sources found on the network.",
      discovery: "NDI discovery",
      groups: "Groups",
      groupsHint: "public, studio",
      manualAddresses: "Manual addresses",
      addressesHint: "192.168.1.20, 10.0.0.5",
      save: "Save",
      settings: "Settings",
      projectName: "Project name",
      clockServer: "Clock server",
      clockHint: "pool.ntp.org",
      applyClock: "Apply to all windows",
      about: "About",
      aboutText: "Desk Recorder shows and records NDI video sources.",
      version: "Version %1",
      assign: "Assign",
      remove: "Remove",
      audio: "Audio",
      video: "Video",
      swapWith: "Swap with…",
      windowN: "Window %1",
      sourcePlaceholder: "source name",
      noSource: "no source",
      layoutN: "%1 windows",
      layoutOne: "1 window",
      saved: "Saved",
      failed: "Failed",
      unreachable: "The application does not answer",
      diskFull: "Recording stopped: the disk is full",
      memoryLow: "Recording stopped: not enough memory for the disk's speed",
      storePathError: "Recording stopped: the storage folder cannot be used",
      storePathUpdated: "Storage folder: %1",
      recordStarted: "Recording started in window %1",
      confirmClear: "Remove the sources of all windows?",
      inUse: "in window %1",
    },
    zh: {
      appTitle: "桌面录制器",
      online: "已连接",
      offline: "未连接",
      language: "语言",
      layout: "布局",
      windows: "窗口",
      showAll: "显示全部视频",
      hideAll: "隐藏全部视频",
      clearAll: "全部清除",
      sources: "信号源",
      refresh: "刷新",
      noSources: "网络上没有发现信号源。",
      discovery: "NDI 发现",
      groups: "组",
      groupsHint: "public, studio",
      manualAddresses: "手动地址",
      addressesHint: "192.168.1.20, 10.0.0.5",
      save: "保存",
      settings: "设置",
      projectName: "项目名称",
      clockServer: "时钟服务器",
      clockHint: "pool.ntp.org",
      applyClock: "应用到所有窗口",
      about: "关于",
      aboutText: "桌面录制器显示并录制 NDI 视频信号源。",
      version: "版本 %1",
      assign: "设置",
      remove: "移除",
      audio: "音频",
      video: "视频",
      swapWith: "交换到…",
      windowN: "窗口 %1",
      sourcePlaceholder: "信号源名称",
      noSource: "无信号源",
      layoutN: "%1 个窗口",
      layoutOne: "1 个窗口",
      saved: "已保存",
      failed: "失败",
      unreachable: "应用程序没有响应",
      diskFull: "录制已停止：磁盘已满",
      memoryLow: "录制已停止：内存不足以支持磁盘速度",
      storePathError: "录制已停止：存储文件夹不可用",
      storePathUpdated: "存储文件夹：%1",
      recordStarted: "窗口 %1 开始录制",
      confirmClear: "移除所有窗口的信号源？",
      inUse: "在窗口 %1",
    },
  };
  let current = "en";

  function t(key, arg) {
    const table = texts[current] || texts.en;
    let text = key in table ? table[key] : (texts.en[key] || key);
    if (arg !== undefined)
      text = text.replace("%1", String(arg));
    return text;
  }

  function apply(root) {
    const scope = root || document;
    scope.querySelectorAll("[data-i18n]").forEach(function (el) {
      el.textContent = t(el.getAttribute("data-i18n"));
    });
    scope.querySelectorAll("[data-i18n-placeholder]").forEach(function (el) {
      el.placeholder = t(el.getAttribute("data-i18n-placeholder"));
    });
  }

  function setLanguage(lang) {
    current = texts[lang] ? lang : "en";
    document.documentElement.lang = current === "zh" ? "zh-CN" : "en";
    apply(document);
  }

  // More texts for a part of the page: {en: {...}, zh: {...}}.
  function extend(more) {
    Object.keys(more).forEach(function (lang) {
      texts[lang] = Object.assign(texts[lang] || {}, more[lang]);
    });
  }

  return {
    t: t,
    apply: apply,
    extend: extend,
    setLanguage: setLanguage,
    language: function () { return current; },
    languages: Object.keys(texts),
  };
})();
