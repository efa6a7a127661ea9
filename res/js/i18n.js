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
      interfaces: "Network interfaces",
      interfacesAll: "All network interfaces",
      interfacesNone: "This computer only (and the manual addresses)",
      interfacesList: "Chosen interfaces",
      interfacesChosen: "Interface names or addresses",
      interfacesHint: "eth1, 10.0.0.5",
      interfacesHere: "Interfaces of this computer",
      interfacesMissing: "Name at least one interface, or choose another option",
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
      // System page
      system: "System",
      cpu: "CPU",
      gpu: "GPU",
      temperature: "Temperature",
      memory: "Memory in use",
      network: "Network",
      netUp: "up",
      netDown: "down",
      notAvailable: "not available",
      memOf: "%1 of %2",
      lastMinutes: "last 5 minutes",
      recordingDisk: "Recording disk",
      diskFolder: "Folder",
      diskNone: "No recording folder is set.",
      diskUnreadable: "The recording folder could not be read and was cleared: choose another.",
      diskUsage: "%1 used of %2",
      diskFree: "%1 free",
      diskLow: "Less than 1 GiB free: recording cannot start.",
      diskWriting: "Writing now",
      speedTest: "Disk speed test",
      testStart: "Start test",
      testStop: "Stop",
      testRunning: "Testing… %1%",
      testResult: "Maximum write speed: %1 MB/s",
      testStopped: "Test stopped.",
      testNoFolder: "The test cannot run: no recording folder is set.",
      testFolderGone: "The test cannot run: the recording folder does not exist any more.",
      testRefused: "The test cannot run on this folder.",
      testAlreadyRunning: "A test is already running; wait for its result.",
      testSilent: "The test does not report progress; it was stopped.",
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
      interfaces: "网络接口",
      interfacesAll: "所有网络接口",
      interfacesNone: "仅本机（及手动地址）",
      interfacesList: "指定的接口",
      interfacesChosen: "接口名称或地址",
      interfacesHint: "eth1, 10.0.0.5",
      interfacesHere: "本机接口",
      interfacesMissing: "请至少填写一个接口，或选择其他选项",
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
      // System page
      system: "系统",
      cpu: "CPU",
      gpu: "GPU",
      temperature: "温度",
      memory: "内存占用",
      network: "网络",
      netUp: "上行",
      netDown: "下行",
      notAvailable: "不可用",
      memOf: "%1 / %2",
      lastMinutes: "最近 5 分钟",
      recordingDisk: "录制磁盘",
      diskFolder: "文件夹",
      diskNone: "尚未设置录制文件夹。",
      diskUnreadable: "无法读取录制文件夹，已将其清除：请另选文件夹。",
      diskUsage: "已用 %1，共 %2",
      diskFree: "可用 %1",
      diskLow: "可用空间不足 1 GiB：无法开始录制。",
      diskWriting: "当前写入",
      speedTest: "磁盘速度测试",
      testStart: "开始测试",
      testStop: "停止",
      testRunning: "测试中… %1%",
      testResult: "最大写入速度：%1 MB/s",
      testStopped: "测试已停止。",
      testNoFolder: "无法测试：尚未设置录制文件夹。",
      testFolderGone: "无法测试：录制文件夹已不存在。",
      testRefused: "无法在此文件夹上测试。",
      testAlreadyRunning: "测试正在进行，请等待结果。",
      testSilent: "测试没有报告进度，已停止。",
    },
  };
  let current = "en";

  function t(key, arg, arg2) {
    const table = texts[current] || texts.en;
    let text = key in table ? table[key] : (texts.en[key] || key);
    if (arg !== undefined)
      text = text.replace("%1", String(arg));
    if (arg2 !== undefined)
      text = text.replace("%2", String(arg2));
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
    // Parts of the page that build texts in code re-label themselves on this event.
    document.dispatchEvent(new CustomEvent("dr:language", { detail: current }));
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
