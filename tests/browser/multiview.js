// The live multiview of a running desk-recorder in headless Chromium: a preview image per
// window with a source, level bars that follow the levels, an alarm badge that appears and
// disappears (the C++ side switches the source's black picture when this script prints
// "multiview: black please" / "multiview: lit please"), a source picked from a window's
// drop-down, and one dragged from the source list onto a window.
// Usage: node multiview.js <http base url> <event port> <source name>
"use strict";
const { chromium } = require("playwright-core");

const [baseUrl, wsPort, sourceName] = process.argv.slice(2);
const cell = (p) => `#multiview .mv-cell[data-position="${p}"]`;

async function api(path, body) {
  const init = body === undefined ? {} : { method: "POST", body: JSON.stringify(body) };
  return (await fetch(baseUrl + "/api" + path, init)).json();
}

async function sourceOf(position) {
  const w = (await api("/output/get.json")).data.layout.find((x) => x.id === position);
  return w ? w.stream_id : undefined;
}

async function until(check, what) {
  for (let i = 0; i < 100; ++i, await new Promise((r) => setTimeout(r, 100)))
    if (await check()) return;
  throw new Error(what);
}

async function main() {
  const browser = await chromium.launch({ executablePath: process.env.DR_CHROMIUM || "/usr/bin/chromium",
                                          args: ["--no-sandbox", "--disable-gpu", "--no-first-run"] });
  const errors = [];
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 1600 } });
    page.setDefaultTimeout(15000);
    page.on("pageerror", (e) => errors.push(String(e)));
    await page.goto(`${baseUrl}/index.html?ws=${wsPort}`);
    await page.waitForSelector('#connection[data-state="online"]');

    // Four cells; window 1 shows its preview and live levels.
    await page.waitForFunction(() => document.querySelectorAll("#multiview .mv-cell").length === 4);
    await page.waitForFunction((sel) => {
      const img = document.querySelector(sel + " img.mv-picture");
      return img && img.complete && img.naturalWidth === 640;
    }, cell(1));
    await page.waitForSelector(cell(1) + '[data-state="play"]');
    await page.waitForFunction((sel) => {
      const bars = document.querySelectorAll(sel + " .mv-bar");
      return bars.length === 2 && Array.from(bars).every(
          (b) => Math.abs(Number(b.dataset.db) + 20) < 1 && parseFloat(b.firstChild.style.height) > 50);
    }, cell(1));

    // An alarm badge comes and goes.
    await api("/alarm/set.json", { black: { seconds: 1 } });
    console.log("multiview: black please");
    await page.waitForSelector(cell(1) + ' .mv-alarm[data-kind="black"]', { timeout: 8000 });
    console.log("multiview: lit please");
    await page.waitForSelector(cell(1) + " .mv-alarm", { state: "detached", timeout: 8000 });

    // Picked from window 3's drop-down.
    await page.selectOption(cell(3) + " select.mv-pick", sourceName);
    await until(async () => (await sourceOf(3)) === sourceName, "pick-list choice not stored");

    // Dragged from the source list onto window 2.
    const item = page.locator("#sourceList li", { hasText: sourceName });
    await item.dragTo(page.locator(cell(2)));
    await until(async () => (await sourceOf(2)) === sourceName, "dropped source not stored");

    if (errors.length) throw new Error("page errors: " + errors.join("; "));
    console.log("multiview: all steps passed");
  } finally {
    await browser.close();
  }
}

main().catch((e) => {
  console.log("multiview: FAILED: " + e.message);
  process.exit(1);
});
