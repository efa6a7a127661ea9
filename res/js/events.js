// The live event channel: a WebSocket to the application's event port, reconnected with
// a growing pause when it drops. The port comes from the page's "ws" query parameter
// (default 12345); the host is the page's own. The access token, when there is one, goes in
// the URL (browsers cannot send headers with a WebSocket).
"use strict";
var DR = window.DR || (window.DR = {});

DR.EventChannel = class {
  constructor(onEvent, onState) {
    this.onEvent = onEvent;
    this.onState = onState;
    this.retryMs = 500;
    this.socket = null;
    this.closed = false;
  }

  static url() {
    const params = new URLSearchParams(window.location.search);
    const port = parseInt(params.get("ws") || "12345", 10);
    const host = window.location.hostname || "127.0.0.1";
    const hostPart = host.indexOf(":") >= 0 ? "[" + host + "]" : host; // IPv6 literal
    const token = DR.api && DR.api.token ? DR.api.token() : "";
    return "ws://" + hostPart + ":" + (port > 0 && port < 65536 ? port : 12345) + "/" +
           (token ? "?token=" + encodeURIComponent(token) : "");
  }

  open() {
    this.closed = false;
    let socket;
    try {
      socket = new WebSocket(DR.EventChannel.url());
    } catch (e) {
      this.scheduleRetry();
      return;
    }
    this.socket = socket;
    socket.onopen = () => {
      this.retryMs = 500;
      this.onState(true);
    };
    socket.onmessage = (message) => {
      let event;
      try {
        event = JSON.parse(message.data);
      } catch (e) {
        return; // not ours
      }
      if (event && typeof event.name === "string") {
        this.onEvent(event);
        // Other parts of the page (the system page) listen here too.
        document.dispatchEvent(new CustomEvent("dr:event", { detail: event }));
      }
    };
    socket.onclose = () => {
      if (this.socket !== socket)
        return;
      this.socket = null;
      this.onState(false);
      this.scheduleRetry();
    };
  }

  scheduleRetry() {
    if (this.closed)
      return;
    const wait = this.retryMs;
    this.retryMs = Math.min(this.retryMs * 2, 5000);
    setTimeout(() => { if (!this.socket && !this.closed) this.open(); }, wait);
  }

  close() {
    this.closed = true;
    if (this.socket)
      this.socket.close();
  }
};
