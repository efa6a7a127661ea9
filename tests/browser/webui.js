// Drives the web UI of a running desk-recorder in headless Chromium.
// Usage: node webui.js <http base url> <event port> <test source tag> <store folder> [token]
// With a token, only the token steps run (the application was started with that token).
// Exits 0 when every step passed, 1 with the reason and the failing line otherwise.
"use strict";
const { chromium } = require("playwright-core");

const [baseUrl, wsPort, sourceTag, storeFolder, token] = process.argv.slice(2);
const chromiumFlags = ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
                       "--disable-component-update", "--disable-sync", "--no-first-run"];
const win = (position) => `.window[data-position="${position}"]`;

// GET without a body, POST with one.
async function api(path, body) {
  const init = body === undefined ? {} : { method: "POST", body: JSON.stringify(body) };
  return (await fetch(baseUrl + "/api" + path, init)).json();
}

function expect(condition, what) {
  if (!condition) throw new Error(what);
}

// Whether `pick(data)` of a GET route equals `want` (as JSON) within 5 s.
async function stored(route, want, pick = (data) => data) {
  for (let i = 0; i < 50; ++i, await new Promise((r) => setTimeout(r, 100)))
    if (JSON.stringify(pick((await api(route)).data)) === JSON.stringify(want)) return true;
  return false;
}

// The page asks for the token once, works with it (API and live events), and after a
// reload works again without asking.
async function tokenSteps(page) {
  await page.goto(`${baseUrl}/index.html?ws=${wsPort}`);
  await page.fill("#tokenInput", "not-the-token");
  await page.click("#tokenOk");
  await page.waitForSelector("#tokenDialog p:text-matches('not accepted')");
  await page.fill("#tokenInput", token);
  await page.click("#tokenOk");
  await page.waitForSelector('#connection[data-state="online"]');
  await page.waitForSelector("#layoutList button.current");
  await page.fill("#projectInput", "Guarded");
  await page.click('#projectForm button[type="submit"]');
  await page.waitForSelector('#projectTitle:text-is("Guarded")');

  await page.reload();
  await page.waitForSelector('#connection[data-state="online"]');
  await page.waitForSelector('#projectTitle:text-is("Guarded")');
  expect(await page.$("#tokenDialog") === null, "asked for the token again after a reload");
}

async function main() {
  const browser = await chromium.launch(
      { executablePath: process.env.DR_CHROMIUM || "/usr/bin/chromium", args: chromiumFlags });
  const errors = [];
  try {
    const page = await browser.newPage();
    page.setDefaultTimeout(15000);
    page.on("pageerror", (e) => errors.push(String(e)));
    page.on("dialog", (dialog) => dialog.accept());
    if (token) {
      await tokenSteps(page);
      expect(errors.length === 0, "page errors: " + errors.join("; "));
      return;
    }

    await page.goto(`${baseUrl}/index.html?ws=${wsPort}`);
    await page.waitForSelector('#connection[data-state="online"]');

    // The stored language is Chinese by default; switch to English first.
    await page.selectOption("#languageSelect", "en");
    await page.waitForSelector('#layoutSection h2:text-is("Layout")');
    expect(await stored("/config/general/get.json", "en",
                        (d) => d.languageOptions.find((o) => o.default).value),
           "language not stored as en");

    // Layout of nine windows.
    await page.click('#layoutList button[data-layout="3"]');
    await page.waitForFunction(() => document.querySelectorAll("#windowList .window").length === 9);
    await page.waitForSelector('#layoutList button[data-layout="3"].current');

    // Name window 2 and give window 1 a source.
    await page.fill(win(2) + " .name", "Stage left");
    await page.press(win(2) + " .name", "Tab");
    await page.fill(win(1) + " .source", "Camera A");
    await page.click(win(1) + " .assign");
    await page.waitForSelector(win(1) + ":not(.empty)");
    expect(await stored("/output/get.json", ["Camera A", "Stage left"],
                        (d) => [d.layout[0].stream_id, d.layout[1].name]), "name or source not stored");

    // Audio of window 1 on, then swap windows 1 and 3: source and audio move.
    await page.check(win(1) + " .audio");
    await page.waitForSelector(win(1) + ".audio-on");
    await page.selectOption(win(1) + " .swap", "3");
    await page.waitForFunction(() => document.querySelector('.window[data-position="3"] .source')
                                        .value === "Camera A");
    expect(await stored("/output/get.json", ["Camera A", "on", "", false], ({ layout: w }) =>
               [w[2].stream_id, w[2].volume, w[0].stream_id, w[0].volume === "on"]),
           "swap did not move source and audio");

    // Remove window 3's source.
    await page.click(win(3) + " .remove");
    await page.waitForSelector(win(3) + ".empty");

    // A change made by another client reaches the page without reloading it.
    expect((await api("/output/setLayout.json", { layout_id: 2, layout_number: 4 })).result === "ok",
           "setLayout by API failed");
    await page.waitForFunction(() => document.querySelectorAll("#windowList .window").length === 4);

    // Discovery targets, project name and clock server.
    await page.fill("#groupsInput", "public, studio");
    await page.fill("#ipsInput", "127.0.0.5"); // asked directly: an address of this host
    // Interfaces that do not exist here: the choice is stored and nothing is multicast.
    await page.selectOption("#interfacesMode", "list");
    await page.fill("#interfacesInput", "nosuch0, 10.255.255.1");
    await page.click('#discoveryForm button[type="submit"]');
    await page.waitForSelector("#notice:not([hidden])");
    expect(await stored("/discovery/scan/groupChecked.json", ["public", "studio"]), "groups not stored");
    expect(await stored("/discovery/scan/getManualIps.json", ["127.0.0.5"]), "addresses not stored");
    expect(await stored("/discovery/interfaces/get.json", "nosuch0,10.255.255.1", (d) => d.interfaces),
           "interfaces not stored");
    await page.fill("#projectInput", "Evening Show");
    await page.click('#projectForm button[type="submit"]');
    await page.waitForSelector('#projectTitle:text-is("Evening Show")');
    expect(await stored("/project/getList.json", "Evening Show", (d) => d[0].project_name),
           "project name not stored");
    await page.fill("#ntpInput", "192.168.1.1");
    await page.click('#ntpForm button[type="submit"]');
    expect(await stored("/ntp/get.json", "192.168.1.1", (d) => d.addressList[0]),
           "clock server not stored");

    // Chinese texts, and the trademark notice with its link.
    await page.selectOption("#languageSelect", "zh");
    await page.waitForSelector('#layoutSection h2:text-is("布局")');
    const about = await page.textContent("#aboutSection");
    expect(about.includes("NDI® is a registered trademark of Vizrt NDI AB"), "trademark text missing");
    expect(await page.getAttribute('#aboutSection a[href="https://ndi.video/"]', "href") ===
               "https://ndi.video/", "trademark link missing");

    // A language chosen by another client is followed without reloading.
    expect((await api("/lang/modify.json", { lang: "en" })).result === "ok", "lang by API failed");
    await page.waitForSelector('#layoutSection h2:text-is("Layout")');

    // Recording: the storage folder set in the form, arm, start, the mark and the elapsed
    // time of the recorded window, stop.
    let sourceName = "";
    for (let i = 0; i < 150 && !sourceName; ++i, await new Promise((r) => setTimeout(r, 100)))
      sourceName = ((await api("/source/get.json")).data || [])
          .map((s) => s.name).find((n) => n.includes(sourceTag)) || "";
    expect(sourceName, "the test source was not found");
    await page.fill(win(1) + " .source", sourceName);
    await page.click(win(1) + " .assign");
    await page.fill("#storePathInput", storeFolder);
    await page.click('#storageForm button[type="submit"]');
    expect(await stored("/storage/get.json", storeFolder, (d) => d.storePath), "folder not stored");
    await page.click("#armButton");
    await page.waitForSelector('#recordState[data-state="armed"]');
    await page.click("#startButton");
    await page.waitForSelector('#recordState[data-state="recording"]');
    await page.waitForSelector('#recordWindows tr[data-position="1"] td.mark:text-is("●")');
    await page.waitForFunction(() => {
      const row = document.querySelector('#recordWindows tr[data-position="1"]');
      return row && row.cells[3].textContent >= "00:00:02" && row.cells[4].textContent.endsWith(".mov");
    });
    await page.click("#stopButton");
    await page.waitForSelector('#recordState[data-state="idle"]');
    await page.waitForFunction(() => ![...document.querySelectorAll("#recordWindows td.mark")]
                                          .some((c) => c.textContent === "●"));

    expect(errors.length === 0, "page errors: " + errors.join("; "));
  } finally {
    await browser.close();
  }
}

main().then(() => { console.log("webui: all steps passed"); process.exit(0); },
            (e) => { console.log("webui: FAILED: " + (e && e.stack ? e.stack : e)); process.exit(1); });
