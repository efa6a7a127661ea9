// Drives the system page of a running desk-recorder in headless Chromium: live charts,
// memory against /proc/meminfo, figures the machine lacks, the recording disk, the speed
// test to its result, a missing folder, and the language.
// Usage: node systempage.js <http base url> <event port> <recording folder> <small: 0|1>
// (small: the folder's disk has less than 1 GiB free). Exits 0 when every step passed.
"use strict";
const fs = require("fs");
const { chromium } = require("playwright-core");

const [baseUrl, wsPort, folder, small] = process.argv.slice(2);
const chromiumFlags = ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
                       "--disable-component-update", "--disable-sync", "--no-first-run"];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

async function api(path, body) {
  const init = body === undefined ? {} : { method: "POST", body: JSON.stringify(body) };
  return (await fetch(baseUrl + "/api" + path, init)).json();
}

function expect(condition, what) {
  if (!condition) throw new Error(what);
}

// Each chart as {ink: pixels drawn in a series colour, image: data URL}.
function charts(page) {
  return page.$$eval("#systemSection canvas", (canvases) => canvases.map((c) => {
    const pixels = c.getContext("2d").getImageData(0, 0, c.width, c.height).data;
    let ink = 0;
    for (let i = 0; i < pixels.length; i += 4) // series colours are saturated; grid is grey
      if (pixels[i + 3] > 128 && Math.max(pixels[i], pixels[i + 1], pixels[i + 2]) -
                                 Math.min(pixels[i], pixels[i + 1], pixels[i + 2]) > 60) ++ink;
    return { ink: ink, image: c.toDataURL() };
  }));
}

// "12.5 GiB" or "800 MiB" as MiB.
function mib(text) {
  const m = /([\d.]+) (MiB|GiB|TiB)/.exec(text);
  return m ? Number(m[1]) * { MiB: 1, GiB: 1024, TiB: 1048576 }[m[2]] : NaN;
}

async function main() {
  await api("/lang/modify.json", { lang: "en" });
  expect((await api("/storage/set.json", { storePath: folder })).result === "ok", "storage set");
  const browser = await chromium.launch(
      { executablePath: process.env.DR_CHROMIUM || "/usr/bin/chromium", args: chromiumFlags });
  const errors = [];
  try {
    const page = await browser.newPage({ viewport: { width: 1280, height: 900 } });
    page.setDefaultTimeout(15000);
    page.on("pageerror", (e) => errors.push(String(e)));
    await page.goto(`${baseUrl}/index.html?ws=${wsPort}`);
    await page.waitForSelector('#connection[data-state="online"]');
    await page.waitForSelector('#systemSection h2:text-is("System")');

    // Charts draw from their first sample on and move as samples arrive (a five-minute
    // chart grows from its right edge by about a pixel a second).
    await page.waitForFunction(() => DR.system.metrics[3].chart.samples.length >= 1);
    const before = await charts(page);
    await sleep(3000);
    const after = await charts(page);
    expect(before.length === 5, "five charts expected, found " + before.length);
    for (const i of [0, 3, 4]) // CPU, memory, network always have data
      expect(before[i].ink > 0 && after[i].ink > 0 && after[i].image !== before[i].image,
             `chart ${i} did not move: ink ${before[i].ink} -> ${after[i].ink}`);

    // Memory in use as /proc/meminfo has it (total - available).
    const info = Object.fromEntries(fs.readFileSync("/proc/meminfo", "utf8").split("\n")
        .map((l) => l.split(/:\s+/)).filter((p) => p.length === 2)
        .map(([k, v]) => [k, parseInt(v, 10) / 1024]));
    const memText = await page.textContent("#sys-mem .sys-value");
    const used = mib(memText);
    const want = info.MemTotal - info.MemAvailable;
    expect(Math.abs(used - want) < want * 0.05, `memory ${memText} vs ${want.toFixed(0)} MiB`);

    // GPU and temperature: "not available" exactly when the application cannot measure them.
    const sys = (await api("/performance/getSys.json")).data;
    for (const [id, key] of [["gpu", "gpu_available"], ["temp", "temp_available"]]) {
      const text = await page.textContent(`#sys-${id} .sys-value`);
      expect((text === "not available") === !sys[key], `${id} shows "${text}", ${key}=${sys[key]}`);
    }

    // The recording disk, in the warning colour when under 1 GiB is free.
    await page.waitForSelector(`#diskFolder:text-is("${folder}")`);
    expect((await page.isVisible("#diskLow")) === (small === "1"), "low-space warning wrong");

    // The speed test: progress (watched as it changes) up to 100 % and a result.
    await page.evaluate(() => {
      window.seenPercents = [];
      const bar = document.getElementById("diskTestProgress");
      setInterval(() => window.seenPercents.push(bar.value), 20);
    });
    await page.click("#diskTestStart");
    await page.waitForSelector("#diskTestStatus.result");
    const result = await page.textContent("#diskTestStatus");
    expect(/^Maximum write speed: \d+(\.\d)? MB\/s$/.test(result), "result text: " + result);
    const seen = await page.evaluate(() => window.seenPercents);
    expect(seen.some((p) => p > 0 && p < 100) && seen[seen.length - 1] === 100,
           "progress not seen to 100: " + seen.join(","));
    expect(await page.isEnabled("#diskTestStart"), "start button stays disabled");
    if (process.env.DR_SCREENSHOT) // for a look at the page
      await page.screenshot({ path: process.env.DR_SCREENSHOT, fullPage: true });

    // The language re-labels the page, texts built in code included.
    await page.selectOption("#languageSelect", "zh");
    await page.waitForSelector('#systemSection h2:text-is("系统")');
    expect((await page.textContent("#diskTestStatus")).startsWith("最大写入速度"), "status not re-labelled");
    expect((await page.textContent("#diskTestStart")) === "开始测试", "button not re-labelled");
    if (!sys.gpu_available)
      expect((await page.textContent("#sys-gpu .sys-value")) === "不可用", "n/a not re-labelled");
    await page.selectOption("#languageSelect", "en");
    await page.waitForSelector('#systemSection h2:text-is("System")');

    // A folder that is gone: a message, and no progress however long one waits.
    await api("/storage/set.json", { storePath: folder + "/gone" });
    await page.click("#diskTestStart");
    await page.waitForSelector("#diskTestStatus.error");
    expect(/cannot run/.test(await page.textContent("#diskTestStatus")), "no clear message");
    await sleep(1500);
    expect(!(await page.isVisible("#diskTestProgress")), "progress shown for a missing folder");

    expect(errors.length === 0, "page errors: " + errors.join("; "));
  } finally {
    await browser.close();
  }
}

main().then(() => { console.log("systempage: all steps passed"); process.exit(0); },
            (e) => { console.log("systempage: FAILED: " + (e && e.stack ? e.stack : e)); process.exit(1); });
