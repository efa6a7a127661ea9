// Drives the web UI of a running desk-recorder in headless Chromium.
// Usage: node webui.js <http base url> <event port>
// Prints one line per step; exits 0 when every step passed, 1 with the reason otherwise.
"use strict";
const { chromium } = require("playwright-core");

const [baseUrl, wsPort] = process.argv.slice(2);
const chromiumFlags = ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
                       "--disable-component-update", "--disable-sync", "--no-first-run"];

// GET without a body, POST with one.
async function api(path, body) {
  const init = body === undefined ? {} : { method: "POST", body: JSON.stringify(body) };
  return (await fetch(baseUrl + "/api" + path, init)).json();
}

function expect(condition, what) {
  if (!condition)
    throw new Error(what);
}

async function main() {
  const browser = await chromium.launch({
    executablePath: process.env.DR_CHROMIUM || "/usr/bin/chromium",
    args: chromiumFlags,
    headless: true,
  });
  const errors = [];
  try {
    const page = await browser.newPage();
    page.setDefaultTimeout(15000);
    page.on("pageerror", (e) => errors.push(String(e)));
    page.on("dialog", (dialog) => dialog.accept());

    await page.goto(`${baseUrl}/index.html?ws=${wsPort}`);
    await page.waitForSelector('#connection[data-state="online"]');
    console.log("page loaded, event channel live");

    // The stored language is Chinese by default; switch to English first.
    await page.selectOption("#languageSelect", "en");
    await page.waitForFunction(() => document.querySelector("#layoutSection h2").textContent === "Layout");
    expect((await api("/config/general/get.json")).data.languageOptions
               .find((o) => o.default).value === "en", "language not stored as en");
    console.log("language en");

    // Layout of nine windows.
    await page.click('#layoutList button[data-layout="3"]');
    await page.waitForFunction(() => document.querySelectorAll("#windowList .window").length === 9);
    await page.waitForSelector('#layoutList button[data-layout="3"].current');
    console.log("layout 3 chosen");

    // Name window 2 and give window 1 a source.
    await page.fill('.window[data-position="2"] .name', "Stage left");
    await page.press('.window[data-position="2"] .name', "Tab");
    await page.fill('.window[data-position="1"] .source', "Camera A");
    await page.click('.window[data-position="1"] .assign');
    await page.waitForFunction(() => !document.querySelector('.window[data-position="1"]')
                                        .classList.contains("empty"));
    let windows = (await api("/output/get.json")).data.layout;
    expect(windows[1].name === "Stage left" && windows[0].stream_id === "Camera A",
           "name or source not stored: " + JSON.stringify(windows.slice(0, 2)));
    console.log("window named, source assigned");

    // Audio of window 1 on, then swap windows 1 and 3: source and audio move.
    await page.check('.window[data-position="1"] .audio');
    await page.waitForFunction(() => document.querySelector('.window[data-position="1"]')
                                        .classList.contains("audio-on"));
    await page.selectOption('.window[data-position="1"] .swap', "3");
    await page.waitForFunction(() => document.querySelector('.window[data-position="3"] .source')
                                        .value === "Camera A");
    windows = (await api("/output/get.json")).data.layout;
    expect(windows[2].stream_id === "Camera A" && windows[2].volume === "on" &&
               windows[0].stream_id === "" && windows[0].volume !== "on",
           "swap did not move source and audio: " + JSON.stringify(windows.slice(0, 3)));
    console.log("windows swapped");

    // Remove window 3's source.
    await page.click('.window[data-position="3"] .remove');
    await page.waitForFunction(() => document.querySelector('.window[data-position="3"]')
                                        .classList.contains("empty"));
    console.log("source removed");

    // A change made by another client reaches the page without reloading it.
    expect((await api("/output/setLayout.json", { layout_id: 2, layout_number: 4 })).result === "ok",
           "setLayout by API failed");
    await page.waitForFunction(() => document.querySelectorAll("#windowList .window").length === 4);
    console.log("outside change shown");

    // Discovery targets, project name and clock server.
    await page.fill("#groupsInput", "public, studio");
    await page.fill("#ipsInput", "10.0.0.5");
    await page.click('#discoveryForm button[type="submit"]');
    await page.waitForSelector("#notice:not([hidden])");
    expect(JSON.stringify((await api("/discovery/scan/groupChecked.json")).data) ===
               JSON.stringify(["public", "studio"]), "groups not stored");
    expect(JSON.stringify((await api("/discovery/scan/getManualIps.json")).data) ===
               JSON.stringify(["10.0.0.5"]), "addresses not stored");
    await page.fill("#projectInput", "Evening Show");
    await page.click('#projectForm button[type="submit"]');
    await page.waitForFunction(() => document.querySelector("#projectTitle").textContent === "Evening Show");
    expect((await api("/project/getList.json")).data[0].project_name === "Evening Show",
           "project name not stored");
    await page.fill("#ntpInput", "192.168.1.1");
    await page.click('#ntpForm button[type="submit"]');
    let ntp = null;
    for (let i = 0; i < 50 && !(ntp && ntp.data.addressList[0] === "192.168.1.1"); ++i) {
      ntp = await api("/ntp/get.json");
      await new Promise((r) => setTimeout(r, 100));
    }
    expect(ntp.data.addressList[0] === "192.168.1.1", "clock server not stored");
    console.log("settings stored");

    // Chinese texts, and the trademark notice with its link.
    await page.selectOption("#languageSelect", "zh");
    await page.waitForFunction(() => document.querySelector("#layoutSection h2").textContent === "布局");
    const about = await page.textContent("#aboutSection");
    expect(about.includes("NDI® is a registered trademark of Vizrt NDI AB"), "trademark text missing");
    expect(await page.getAttribute('#aboutSection a[href="https://ndi.video/"]', "href") ===
               "https://ndi.video/", "trademark link missing");
    console.log("language zh");

    // A language chosen by another client is followed without reloading.
    expect((await api("/lang/modify.json", { lang: "en" })).result === "ok", "lang by API failed");
    await page.waitForFunction(() => document.querySelector("#layoutSection h2").textContent === "Layout");
    console.log("outside language change shown");

    expect(errors.length === 0, "page errors: " + errors.join("; "));
  } finally {
    await browser.close();
  }
}

main().then(() => {
  console.log("webui: all steps passed");
  process.exit(0);
}, (e) => {
  console.log("webui: FAILED: " + (e && e.stack ? e.stack : e));
  process.exit(1);
});
