// The example map page in headless Chromium and Firefox, fed by the real
// bridge, which is fed by the X-Plane stand-in. The bridge serves the page at
// /map; a copy opened from disk and one from another origin reach it too. The
// same tests run in each engine.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import * as h from "./harness.mjs";

// Whether an engine's EventSource stops for good when a reconnection fails.
const ATTRIBUTION = "Test tiles <i>&</i> friends";
const EVENTSOURCE_GIVES_UP = { chromium: false, firefox: true };

for (const engine of h.ENGINES) {
  describe(`the example page in ${engine}`, () => {
    let standin, bridge, web, tiles, browser, page;

    before(async () => {
      tiles = await h.start_tile_server();
      standin = await h.start_standin();
      bridge = await h.start_bridge(standin.address);
      web = await h.start_static_server(h.MAP);
      browser = await h.launch_browser(engine);
      page = await browser.new_page();
    });

    after(async () => {
      await browser?.close();
      web?.close();
      await tiles?.stop();
      await h.stop_program(bridge);
      await h.stop_program(standin);
    });

    const live_text = () => page.text("#live-status");
    const page_view = () => page.evaluate(() => window.tavrik);
    const tile_query = () => `tiles=${encodeURIComponent(tiles.template)}&attribution=${encodeURIComponent(ATTRIBUTION)}`;
    const map_url = () => `${bridge.url}/map?${tile_query()}`;
    // A copy of the page on another origin, reaching the bridge named in ?bridge=.
    const other_origin_url = () => `${web.origin}/index.html?bridge=${bridge.url}&${tile_query()}`;
    // Where the aircraft is on the map, and the map's zoom and size (container pixels).
    const on_map = (of = page) => of.evaluate(() => {
      const map = window.tavrik_map, s = window.tavrik.snapshot;
      const point = map.latLngToContainerPoint([s.lat, s.lon]);
      return { lat: s.lat, lon: s.lon, x: point.x, y: point.y, zoom: map.getZoom(), size: map.getSize(),
               follow: window.tavrik.follow, center: map.getCenter() };
    });

    test("the bridge's /map follows the stream and shows the live aircraft in pilot units", async () => {
      await page.goto(map_url());
      await h.wait_for("the page to show live data", async () => (await live_text()) === "live", 20000);
      // A few more events, so that the track has a length.
      const first = (await page_view()).received;
      await h.wait_for("three more events", async () => (await page_view()).received >= first + 3);

      const view = await page_view();
      assert.equal(view.transport, "stream");
      assert.equal(await page.evaluate(() => document.getElementById("tablet").hidden), true, "no tablet panel without --lan");
      assert.equal(view.reachable, true);
      assert.ok(view.trail_points >= 2, `trail of ${view.trail_points} points`);
      const s = view.snapshot;
      assert.equal(s.live, true);
      assert.equal(s.sim, "xp");
      assert.equal(await page.text("#bridge-status"), "reachable");
      assert.equal(await page.text("#sim"), "X-Plane");

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

      // The map asks for the tile under the aircraft at the current zoom, and for
      // none beyond the view and the one row of tiles Leaflet keeps around it.
      const here = await h.wait_for("the tile under the aircraft to be asked for", async () => {
        const seen = await on_map();
        const tile = h.tile_of(seen.lat, seen.lon, seen.zoom);
        return tiles.requests.some((r) => r.z === tile.z && r.x === tile.x && r.y === tile.y) && { ...seen, tile };
      });
      const reach = { x: Math.ceil(here.size.x / 2 / 256) + 2, y: Math.ceil(here.size.y / 2 / 256) + 2 };
      const far = tiles.requests.filter((r) => r.z !== here.zoom || Math.abs(r.x - here.tile.x) > reach.x ||
                                               Math.abs(r.y - here.tile.y) > reach.y);
      assert.deepEqual(far, [], `tiles far from the view of ${JSON.stringify(here)}`);
      // The source's attribution shows on the map, as text.
      const attribution = await page.evaluate(() => {
        const box = document.querySelector(".leaflet-control-attribution").getBoundingClientRect();
        return { text: document.querySelector(".leaflet-control-attribution").textContent,
                 visible: box.width > 0 && box.bottom <= innerHeight + 1 && box.right <= innerWidth + 1, box: [box.right, box.bottom, innerWidth, innerHeight] };
      });
      assert.ok(attribution.text.includes(ATTRIBUTION) && attribution.visible, JSON.stringify(attribution));

      fs.mkdirSync(h.ARTIFACTS, { recursive: true });
      // What a user sees at /map: map.png, from the first engine.
      const shot = path.join(h.ARTIFACTS, engine === h.ENGINES[0] ? "map.png" : `map-${engine}.png`);
      await page.screenshot(shot);
      assert.ok(fs.statSync(shot).size > 10000, "screenshot written");
    });

    test("'not live' while the stand-in pauses; a reload draws the whole trail from the bridge; the GPX download is " +
         "the bridge's file; live again when it resumes", async () => {
      // A trail of some seconds first, however quickly the tests before went.
      const points = (track) => track.segments.reduce((n, s) => n + s.points.length, 0);
      await h.wait_for("three points in the bridge's track",
                       async () => points(await (await fetch(`${bridge.url}/track`)).json()) >= 3, 10000);
      await h.pause_standin(standin);
      try {
        await h.wait_for("the page to show 'not live'", async () => (await live_text()) === "not live", 30000);
        // The bridge is still there and keeps the stream going.
        assert.equal(await page.text("#bridge-status"), "reachable");
        assert.equal((await page_view()).transport, "stream");

        // The track stands still while the stand-in pauses.
        const track = await (await fetch(`${bridge.url}/track`)).json();
        const gpx = await fetch(`${bridge.url}/track.gpx`);
        const gpx_bytes = Buffer.from(await gpx.arrayBuffer());
        const count = points(track);
        assert.ok(count >= 3, `${count} points in the bridge's track`);
        await page.goto(map_url());
        await h.wait_for("the trail drawn", async () => (await page_view()).trail_points >= count);
        assert.deepEqual(await page.evaluate(() => window.tavrik_trail()),
                         track.segments.map((s) => s.points.map(([, lat, lon]) => [lat, lon])));
        const saved = await page.download("#download-gpx");
        assert.ok(saved.bytes.equals(gpx_bytes), "the downloaded file is /track.gpx");
        assert.equal(saved.name, gpx.headers.get("content-disposition").match(/filename="([^"]+)"/)[1]);
      } finally {
        await h.resume_standin(standin);  // the tests after this one need it flying
      }
      await h.wait_for("the page to show live data again", async () => (await live_text()) === "live", 30000);
    });

    test("📡 Live position stops the updates and resumes them", async () => {
      await page.click("#live-toggle");
      const off = await page_view();
      await h.sleep(2500);  // the bridge sends at least once a second
      const still = await page_view();
      assert.deepEqual([still.received, still.transport, still.live, await live_text()], [off.received, "none", false, "not live"]);
      await page.click("#live-toggle");
      await h.wait_for("live again", async () => (await live_text()) === "live", 10000);
      const on = await page_view();
      await h.wait_for("more updates", async () => (await page_view()).received >= on.received + 3);
      assert.equal((await page_view()).transport, "stream");
    });

    test("with follow on, the aircraft stays in view while the stand-in flies", async () => {
      // Zoomed in far, so that the stand-in soon leaves the middle of the map.
      await page.evaluate(() => window.tavrik_map.setZoom(18, { animate: false }));
      for (let i = 0; i < 6; i++) {
        const seen = await on_map();
        assert.ok(seen.follow && seen.x >= 0 && seen.y >= 0 && seen.x <= seen.size.x && seen.y <= seen.size.y,
                  `aircraft out of view while following: ${JSON.stringify(seen)}`);
        await h.sleep(500);
      }
      await page.screenshot(path.join(h.ARTIFACTS, `live-map-follow-${engine}.png`));
    });

    test("the page comes back live by itself when the bridge is closed and started again", async () => {
      // From another origin: the engines' EventSource below is a cross-origin one,
      // as docs/browsers.md describes it (served by the bridge, Firefox's was seen
      // to keep trying instead).
      const own = await browser.new_page();
      await own.goto(other_origin_url());
      await h.wait_for("the page to show live data", async () => (await own.text("#live-status")) === "live", 20000);
      // Beside the page, a bare EventSource records what the engine itself does.
      await own.evaluate((url) => {
        window.probe = { events: [], messages: 0 };
        const source = new EventSource(url);
        const note = (type) => window.probe.events.push(`${type}:${source.readyState}`);
        source.onopen = () => note("open");
        source.onerror = () => note("error");
        source.onmessage = () => { window.probe.messages += 1; };
      }, `${bridge.url}/stream`);
      await h.wait_for("the probe's first event", () => own.evaluate(() => window.probe.messages > 0));
      const port = bridge.port;
      await h.stop_program(bridge);
      await h.wait_for("the page to see the bridge gone",
                       async () => (await own.text("#bridge-status")) === "unreachable", 10000);
      assert.equal(await own.text("#live-status"), "not live");
      // Long enough for the engine to try to reconnect at least once (the bridge asks for 2 s).
      await h.sleep(4000);
      const while_away = await own.evaluate(() => [...window.probe.events]);
      bridge = await h.start_bridge(standin.address, port);
      // Within a few polls (one a second), not only at the page's next stream attempt (30 s).
      await h.wait_for("the page to show live data again", async () => (await own.text("#live-status")) === "live", 10000);

      // What the engine's own EventSource did, which every map page has to live with:
      // Chromium keeps reconnecting (each error leaves it CONNECTING, 0) and opens
      // again once the bridge is back; Firefox closes it for good (CLOSED, 2) after
      // the first failed reconnection, so the page must make a new one.
      const gives_up = EVENTSOURCE_GIVES_UP[engine];
      const retried = gives_up ? ["open:1", "error:0", "error:2"] : ["open:1", "error:0", "error:0"];
      assert.deepEqual(while_away.slice(0, 3), retried, JSON.stringify(while_away));
      if (gives_up) {
        await h.sleep(5000);
        assert.deepEqual(await own.evaluate(() => window.probe.events), while_away, "no reconnection after CLOSED");
      } else {
        await h.wait_for("the EventSource to open again",
                         () => own.evaluate(() => window.probe.events.at(-1) === "open:1"), 15000);
      }
      await own.close();
    });

    test("the page falls back to polling /state when the stream fails", async () => {
      // EventSource absent (as in some embedded browsers): the page must poll.
      const polling = await browser.new_page({ before_load: () => { delete window.EventSource; } });
      await polling.goto(map_url());
      await h.wait_for("the polling page to show live data",
                       async () => (await polling.text("#live-status")) === "live", 20000);
      assert.equal(await polling.evaluate(() => window.tavrik.transport), "polling");
      await polling.close();
    });

    test("the page opened from disk (file://), as users open the example, reaches the bridge", async () => {
      const local = await browser.new_page();
      await local.goto(`file://${path.join(h.MAP, "index.html")}?bridge=${bridge.url}&${tile_query()}`);
      await h.wait_for("the bridge to be reachable from file://",
                       async () => (await local.text("#bridge-status")) === "reachable", 20000);
      assert.equal(await local.evaluate(() => window.tavrik.transport), "stream");
      // Leaflet, carried beside the page, draws the map and the aircraft from disk too.
      await h.wait_for("the aircraft on the map", () => local.evaluate(() => !!document.querySelector(".aircraft-symbol")));
      await h.wait_for("tiles drawn", () => local.evaluate(() => window.tavrik.tiles === "ok"));
      // The downloads lead to the bridge, not beside the file; without ?bridge=, the default bridge.
      assert.deepEqual(await local.evaluate(() => ["gpx", "kml"].map((k) => document.getElementById(`download-${k}`).href)),
                       [`${bridge.url}/track.gpx`, `${bridge.url}/track.kml`]);
      await local.goto(`file://${path.join(h.MAP, "index.html")}`);
      assert.equal(await local.text("#bridge-url"), "http://127.0.0.1:49080");
      await local.close();
    });

    test("the page says so when no bridge answers", async () => {
      const lonely = await browser.new_page();
      // A port on which nothing listens.
      const closed = await h.free_port();
      await lonely.goto(`${web.origin}/index.html?bridge=http://127.0.0.1:${closed}`);
      await h.wait_for("'unreachable'", async () => (await lonely.text("#bridge-status")) === "unreachable");
      assert.equal(await lonely.text("#live-status"), "not live");
      await lonely.close();
    });
  });
}
