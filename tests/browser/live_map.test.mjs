// The example map page in headless Chromium, fed by the real bridge, which is
// fed by the X-Plane stand-in. The page comes from another origin than the bridge.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, test } from "node:test";
import * as h from "./harness.mjs";

let standin, bridge, web, browser, page;

before(async () => {
  standin = await h.start_standin();
  bridge = await h.start_bridge(standin.address);
  web = await h.start_static_server(path.join(h.ROOT, "examples"));
  browser = await h.launch_browser();
  page = await browser.newPage();
  page.on("pageerror", (error) => console.error("page error:", error));
});

after(async () => {
  await browser?.close();
  web?.close();
  await h.stop_program(bridge);
  await h.stop_program(standin);
});

const live_text = () => page.textContent("#live-status");
const page_view = () => page.evaluate(() => ({ ...window.tavrik, trail: window.tavrik.trail.length }));

test("the page follows the stream and shows the live aircraft in pilot units", async () => {
  await page.goto(`${web.origin}/live-map.html?bridge=${bridge.url}`);
  assert.notEqual(new URL(web.origin).port, String(bridge.port), "page and bridge must be different origins");
  await h.wait_for("the page to show live data", async () => (await live_text()) === "live", 20000);
  // A few more events, so that the track has a length.
  const first = (await page_view()).received;
  await h.wait_for("three more events", async () => (await page_view()).received >= first + 3);

  const view = await page_view();
  assert.equal(view.transport, "stream");
  assert.equal(view.reachable, true);
  assert.ok(view.trail >= 2, `trail of ${view.trail} points`);
  const s = view.snapshot;
  assert.equal(s.live, true);
  assert.equal(s.sim, "xp");
  assert.equal(await page.textContent("#bridge-status"), "reachable");
  assert.equal(await page.textContent("#sim"), "X-Plane");

  // Panel values come from one snapshot; the newest may have moved on, so
  // read the panel and the snapshot behind it together.
  const shown = await page.evaluate(() => ({
    snapshot: window.tavrik.snapshot,
    alt: document.getElementById("alt").textContent, agl: document.getElementById("agl").textContent,
    gs: document.getElementById("gs").textContent, ias: document.getElementById("ias").textContent,
    vs: document.getElementById("vs").textContent, hdg: document.getElementById("hdg").textContent,
  }));
  const n = shown.snapshot;
  if (typeof n.alt === "number") assert.equal(shown.alt, `${(n.alt / 0.3048).toFixed(0)} ft`);
  if (typeof n.agl === "number") assert.equal(shown.agl, `${(n.agl / 0.3048).toFixed(0)} ft`);
  if (typeof n.gs === "number") assert.equal(shown.gs, `${(n.gs / 0.5144444444444445).toFixed(0)} kt`);
  if (typeof n.ias === "number") assert.equal(shown.ias, `${n.ias.toFixed(0)} kt`);
  if (typeof n.vs === "number") assert.match(shown.vs, /^[+-]?\d+ fpm$/);
  if (typeof n.hdg === "number") assert.match(shown.hdg, /^\d{3}°$/);

  fs.mkdirSync(h.ARTIFACTS, { recursive: true });
  const shot = path.join(h.ARTIFACTS, "live-map.png");
  await page.screenshot({ path: shot });
  assert.ok(fs.statSync(shot).size > 10000, "screenshot written");
});

test("the page shows 'not live' while the stand-in pauses, and live again when it resumes", async () => {
  await h.pause_standin(standin);
  await h.wait_for("the page to show 'not live'", async () => (await live_text()) === "not live", 30000);
  // The bridge is still there and keeps the stream going.
  assert.equal(await page.textContent("#bridge-status"), "reachable");
  assert.equal((await page_view()).transport, "stream");

  await h.resume_standin(standin);
  await h.wait_for("the page to show live data again", async () => (await live_text()) === "live", 30000);
});

test("the page falls back to polling /state when the stream fails", async () => {
  // EventSource absent (as in some embedded browsers): the page must poll.
  const polling = await browser.newPage();
  await polling.addInitScript(() => { delete window.EventSource; });
  await polling.goto(`${web.origin}/live-map.html?bridge=${bridge.url}`);
  await h.wait_for("the polling page to show live data",
                   async () => (await polling.textContent("#live-status")) === "live", 20000);
  assert.equal(await polling.evaluate(() => window.tavrik.transport), "polling");
  await polling.close();
});

test("the page opened from disk (file://), as users open the example, reaches the bridge", async () => {
  const local = await browser.newPage();
  await local.goto(`file://${path.join(h.ROOT, "examples", "live-map.html")}?bridge=${bridge.url}`);
  await h.wait_for("the bridge to be reachable from file://",
                   async () => (await local.textContent("#bridge-status")) === "reachable", 20000);
  assert.equal(await local.evaluate(() => window.tavrik.transport), "stream");
  await local.close();
});

test("the page says so when no bridge answers", async () => {
  const lonely = await browser.newPage();
  // A port on which nothing listens: the static server's, closed for this.
  const closed = await h.free_port();
  await lonely.goto(`${web.origin}/live-map.html?bridge=http://127.0.0.1:${closed}`);
  await h.wait_for("'unreachable'", async () => (await lonely.textContent("#bridge-status")) === "unreachable");
  assert.equal(await lonely.textContent("#live-status"), "not live");
  await lonely.close();
});
