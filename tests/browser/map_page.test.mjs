// The example page where a user sees it, against a fake bridge on loopback
// (scripted feed, track and misbehaviour) so that positions, headings, times
// and failures are exact, with tiles from a tile server of the test's own: the
// page served from the bridge, its trail from the bridge's track, the panel
// and the symbol, follow mode, the 📡 toggle, the GPX download, and how it
// lives through a stream that falls silent, keeps failing or comes back. The
// copies of its libraries beside it. In Chromium and Firefox.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import * as h from "./harness.mjs";

const MAP = h.MAP;
const T0 = Date.UTC(2026, 11, 8, 14, 30, 0, 125);
// The page's stated times (map/connection.js).
const STREAM_SILENCE_MS = 5000, STREAM_RETRY_MS = 30000;

// A live snapshot as the bridge sends it.
const snapshot = (i, fields = {}) => ({
  live: true, sim: "xp", t: T0 + i * 200, lat: 47.458123456789 + i * 1e-4, lon: 8.548765432101 + i * 2e-4,
  alt: 432.1 + i, hdg: 90, gs: 61.5, ias: 120, vs: -500, agl: 300.25, ...fields,
});
// Track points [t, lat, lon, alt] one second apart, from `t`.
const points = (t, n, lat = 46.9, lon = 7.4) =>
  Array.from({ length: n }, (_, i) => [t + i * 1000, lat + i * 1e-3, lon - i * 1e-3, i % 2 ? null : 500 + i]);
// The bridge's track of the flight so far: an hour ago, with a break.
const TRACK = { segments: [{ id: 7, points: points(T0 - 3600000, 5) }, { id: 8, points: points(T0 - 1800000, 4, -33.9, -151.2) }] };
const as_lines = (track) => track.segments.map((s) => s.points.map(([, lat, lon]) => [lat, lon]));

// The libraries carried beside the page: each file as the locked npm package
// has it, and the release notice naming the version. qrcode-generator's
// package has no licence file: ours must carry its author's copyright line.
const CARRIED = [
  { name: "leaflet", notice: "Leaflet", files: (dir) => {
    const files = { "LICENSE": "LICENSE", "leaflet.js": "dist/leaflet.js", "leaflet.css": "dist/leaflet.css" };
    for (const image of fs.readdirSync(path.join(dir, "dist", "images"))) files[`images/${image}`] = `dist/images/${image}`;
    return files;
  } },
  { name: "qrcode-generator", notice: "qrcode-generator", files: () => ({ "qrcode.js": "dist/qrcode.js" }),
    own_licence: (dir) => fs.readFileSync(path.join(dir, "dist", "qrcode.js"), "utf8").match(/^\/\/ (Copyright .*)$/m)[1] },
  { name: "uplot", notice: "uPlot", files: () => ({ "LICENSE": "LICENSE", "uPlot.iife.min.js": "dist/uPlot.iife.min.js",
                                                    "uPlot.min.css": "dist/uPlot.min.css" }) },
];

for (const library of CARRIED) {
  test(`the ${library.name} carried beside the page is the locked npm package's, file for file`, () => {
    const installed = path.join(path.dirname(new URL(import.meta.url).pathname), "node_modules", library.name);
    const locked = JSON.parse(fs.readFileSync(new URL("./package-lock.json", import.meta.url)));
    const version = locked.packages[`node_modules/${library.name}`].version;
    assert.equal(JSON.parse(fs.readFileSync(path.join(installed, "package.json"))).version, version,
                 "node_modules is the locked version (npm ci)");
    const carried = path.join(MAP, library.name);
    const files = (dir) => fs.readdirSync(dir, { recursive: true }).filter((f) => fs.statSync(path.join(dir, f)).isFile()).sort();
    const expected = library.files(installed);
    const licence = library.own_licence ? ["LICENSE"] : [];
    assert.deepEqual(files(carried), [...Object.keys(expected), ...licence].sort(), `the files in map/${library.name}/`);
    assert.match(fs.readFileSync(path.join(h.ROOT, "packaging", "notices", `${library.name}.txt`), "utf8"),
                 new RegExp(`^${library.notice} ${version.replaceAll(".", "\\.")} `), "the release notices name the carried version");
    for (const [mine, theirs] of Object.entries(expected)) {
      assert.ok(fs.readFileSync(path.join(carried, mine)).equals(fs.readFileSync(path.join(installed, theirs))),
                `map/${library.name}/${mine} differs from ${library.name}/${theirs}: copy it from tests/browser/node_modules`);
    }
    if (library.own_licence) {
      assert.ok(fs.readFileSync(path.join(carried, "LICENSE"), "utf8").includes(library.own_licence(installed)),
                `map/${library.name}/LICENSE names the copyright of the package's file`);
    }
  });
}

// The engines side by side: most of this is waiting on the page's own timers.
describe("the example map", { concurrency: true }, () => {
for (const engine of h.ENGINES) {
  describe(`the example map in ${engine}`, { concurrency: 1 }, () => {
    let fake, silent, tiles, browser, page, silent_page;
    const fakes = [];

    before(async () => {
      tiles = await h.start_tile_server();
      browser = await h.launch_browser(engine);
      // This page's stream stays open without a word, from the start; the
      // first test sees it give up, the last one sees it come back.
      silent = await new_fake({ stream_mode: "silent" });
      silent.send(snapshot(1, { lat: 10 }));
      silent_page = await open_page(silent, { wait: false });
      fake = await new_fake({ track: structuredClone(TRACK), gpx: "<gpx>the bridge's own file</gpx>\n" });
      page = await open_page(fake);
    });

    after(async () => {
      await browser?.close();
      await tiles?.stop();
      for (const bridge of fakes) await bridge.stop();
    });

    async function new_fake(settings = {}) {
      const bridge = await h.start_fake_bridge();
      fakes.push(Object.assign(bridge, settings));
      return bridge;
    }

    // The page as the bridge serves it, at /map; waits for its first snapshot.
    async function open_page(bridge, { template = tiles.template, wait = true } = {}) {
      const opened = await browser.new_page();
      await opened.goto(`${bridge.url}/map?tiles=${encodeURIComponent(template)}`);
      if (wait) await h.wait_for("the page's first snapshot", () => opened.evaluate(() => window.tavrik.received > 0));
      return opened;
    }

    // Sends the snapshots and waits until the page has taken them all, the last one last (not a poll's
    // answer from before it).
    async function feed(of, snapshots, bridge = fake) {
      const before_count = await of.evaluate(() => window.tavrik.received);
      for (const s of snapshots) bridge.send(s);
      await h.wait_for("the page to take the feed", () => of.evaluate(([n, last]) =>
        window.tavrik.received >= n && JSON.stringify(window.tavrik.snapshot) === last,
        [before_count + snapshots.length, JSON.stringify(snapshots.at(-1))]));
    }

    const view = (of = page) => of.evaluate(() => window.tavrik);
    // The symbol at the newest sample, its glide there done.
    const glided = (of) => h.wait_for("the glide's end", () => of.evaluate(() => !window.tavrik.gliding), 3000, 20);
    const lines = (of = page) => of.evaluate(() => window.tavrik_trail());
    const targets = (bridge, from = 0) => bridge.requests.slice(from).map((r) => r.target);
    const panel = (of = page) => of.evaluate(() => Object.fromEntries(
      ["sim", "lat", "lon", "alt", "agl", "hdg", "gs", "ias", "vs", "updated", "bridge-status", "live-status", "transport"]
        .map((id) => [id, document.getElementById(id).textContent])));

    test("a stream held open but silent gives way to polling after the page's stated 5 s, not before", async () => {
      const opened = (await h.wait_for("the page's stream", () => silent.requests.find((r) => r.target === "/stream"))).at;
      const polling_at = await h.wait_for("polling", async () => (await view(silent_page)).transport === "polling" && Date.now(),
                                          STREAM_SILENCE_MS + 5000, 50);
      const waited = polling_at - opened;
      assert.ok(waited >= STREAM_SILENCE_MS - 300 && waited <= STREAM_SILENCE_MS + 2500, `gave up after ${waited} ms`);
      await h.wait_for("the polled snapshot", async () => (await panel(silent_page))["live-status"] === "live");
      assert.equal((await panel(silent_page)).lat, "10.00000°");
      assert.equal(silent.held_streams(), 0, "the silent stream is closed");
      silent.polling_at = polling_at;  // the last test sees the page find the stream again
    });

    test("a stream that speaks every 0.7 s stays the page's connection well past the 5 s of silence it allows",
         async () => {
      const speaking = await new_fake();
      speaking.send(snapshot(5));
      const own = await open_page(speaking);
      const started = Date.now();
      for (let i = 6; Date.now() - started < STREAM_SILENCE_MS + 3000; ++i) {
        await h.sleep(700);
        speaking.send(snapshot(i));
        assert.equal((await view(own)).transport, "stream", `${Date.now() - started} ms on`);
      }
      assert.deepEqual(targets(speaking).filter((t) => t === "/state"), [], "never polled");
      await own.close();
    });

    test("served from the bridge at /map, the page loads Leaflet from /map/ and draws the bridge's track", async () => {
      const asked = targets(fake);
      for (const file of ["/map/leaflet/leaflet.css", "/map/leaflet/leaflet.js", "/track/thin", "/stream"])
        assert.ok(asked.includes(file), `${file} in ${asked}`);
      assert.equal(await page.evaluate(() => document.querySelector('meta[name="referrer"]').content), "no-referrer");
      assert.deepEqual(await lines(), as_lines(TRACK));
      assert.equal((await view()).last_t, TRACK.segments[1].points.at(-1)[0]);
      assert.equal(await page.evaluate(() => document.getElementById("live-toggle").checked), true);
      assert.match(await page.evaluate(() => document.querySelector("label.toggle").textContent), /^\s*📡 Live position\s*$/);
    });

    test("the panel and the symbol show signs, headings across north and absent values as they are", async () => {
      const shown = () => page.evaluate(() => {
        const element = document.querySelector(".aircraft");
        const [a, b] = getComputedStyle(element.firstChild).transform.match(/matrix\(([^)]*)\)/)[1].split(",").map(Number);
        return { ...Object.fromEntries(["lat", "lon", "alt", "agl", "hdg", "gs", "vs"].map((id) => [id, document.getElementById(id).textContent])),
                 turned: ((Math.atan2(b, a) * 180 / Math.PI) + 360) % 360, label: element.lastChild.textContent,
                 stale: element.classList.contains("stale"), heading_line: !element.classList.contains("no-heading") };
      });
      const rows = [
        // [snapshot fields, what the panel shows, where the symbol points]
        [{ hdg: 0, vs: 0.4 }, { hdg: "000°", vs: "0 fpm" }, 0],
        [{ hdg: 37.5, vs: 1200.4 }, { hdg: "038°", vs: "+1200 fpm" }, 37.5],
        [{ hdg: 181, vs: -0.4 }, { hdg: "181°", vs: "0 fpm" }, 181],
        [{ hdg: 359.7, vs: -650 }, { hdg: "000°", vs: "-650 fpm" }, 359.7],
        [{ hdg: -90, vs: -1500.6 }, { hdg: "270°", vs: "-1501 fpm" }, 270],
        [{ lat: -33.946111, lon: -151.177222, alt: -10.5, agl: 0, gs: 0.1 },
         { lat: "-33.94611°", lon: "-151.17722°", alt: "-34 ft", agl: "0 ft", gs: "0 kt" }, 90],
        [{ lat: -0.000001, lon: 179.999999 }, { lat: "0.00000°", lon: "180.00000°" }, 90],
      ];
      for (const [i, [fields, expected, turned]] of rows.entries()) {
        await feed(page, [snapshot(i, fields)]);
        await glided(page);
        const now = await shown();
        assert.deepEqual(Object.fromEntries(Object.keys(expected).map((k) => [k, now[k]])), expected, JSON.stringify(fields));
        assert.ok(Math.abs(((now.turned - turned + 540) % 360) - 180) < 0.1, `heading ${fields.hdg}°, symbol at ${now.turned}°`);
        assert.ok(!now.stale && now.heading_line && now.label !== "");
      }
      // Values the bridge leaves out show as "–", on the panel and beside the symbol.
      await feed(page, [{ live: true, sim: "msfs", t: T0 + 10 * 200, lat: 47.5, lon: 8.5 }]);
      let now = await shown();
      assert.deepEqual([now.alt, now.agl, now.hdg, now.gs, now.vs, now.label, now.heading_line], ["–", "–", "–", "–", "–", "", false]);
      assert.equal((await panel()).sim, "MSFS");
      // Not live: nothing of the last values stays, and the symbol is dimmed.
      await feed(page, [snapshot(11, { hdg: 45 }), { live: false }]);
      now = await shown();
      const values = await panel();
      assert.deepEqual([values.sim, values.lat, values.lon, values.alt, values.hdg, values.gs, values.ias, values.vs, values.updated],
                       Array(9).fill("–"));
      assert.equal(values["live-status"], "not live");
      assert.ok(now.stale && now.label === "", JSON.stringify(now));
    });

    test("follow mode keeps the aircraft in view; a pan ends it until the button is pressed", async () => {
      // Due east, 60 pixels (at the page's first zoom) a snapshot: three map widths in all.
      const step = 60 * 360 / (256 * 2 ** 12);
      const east = (i) => snapshot(1000 + i, { lat: 47.5, lon: 8.5 + i * step });
      const seen = () => page.evaluate(() => {
        const map = window.tavrik_map, s = window.tavrik.snapshot;
        const p = map.latLngToContainerPoint([s.lat, s.lon]), size = map.getSize();
        return { follow: window.tavrik.follow, center: map.getCenter(), x: p.x, y: p.y, w: size.x, h: size.y,
                 inside: p.x >= 0 && p.y >= 0 && p.x <= size.x && p.y <= size.y };
      });
      // Start from the first of them, once the pan to it has ended.
      await feed(page, [east(0)]);
      await page.click("#follow");
      await h.sleep(600);
      let i = 1;
      for (; i < 40; i++) {
        await feed(page, [east(i)]);
        const now = await seen();
        assert.ok(now.follow && now.inside, `step ${i}: ${JSON.stringify(now)}`);
        await h.sleep(100);
      }
      // The user drags the map: follow is off, and the map stays where it was put.
      await h.sleep(600);  // the last follow pan ends
      const box = await page.evaluate(() => {
        const r = document.getElementById("map").getBoundingClientRect();
        return { x: r.x + r.width / 2, y: r.y + r.height / 2 };
      });
      await page.drag(box, { x: box.x + 200, y: box.y + 100 });
      const panned = await seen();
      assert.equal(panned.follow, false);
      assert.equal(await page.evaluate(() => document.getElementById("follow").getAttribute("aria-pressed")), "false");
      for (const end = i + 20; i < end; i++) await feed(page, [east(i)]);
      await h.sleep(600);
      const away = await seen();
      assert.deepEqual(away.center, panned.center, "the map stays put while follow is off");
      assert.equal(away.inside, false, `the aircraft flew out of view: ${JSON.stringify(away)}`);

      await page.click("#follow");
      const back = await h.wait_for("the aircraft back in the middle", async () => {
        const now = await seen();
        return now.follow && Math.abs(now.x - now.w / 2) < now.w / 4 && Math.abs(now.y - now.h / 2) < now.h / 4 && now;
      }, 5000);
      assert.ok(back.inside);
    });

    test("the trail goes on from the stream as the bridge's track does, a jump starts a new line, and a dropped " +
         "stream is filled in from " +
         "/track?since= the newest point", async () => {
      // Snapshots five a second: the trail keeps the newest of each second; "not live" ends a line.
      const flight = (from, n) => Array.from({ length: n }, (_, i) => snapshot(0, { t: from + i * 200, lat: 50 + i * 1e-3, lon: 9 }));
      const start = T0 + 600000;
      const first = flight(start, 11), second = flight(start + 10000, 6);
      // One bad frame half a world away and back: two lone points, no line across the map.
      const bad = snapshot(0, { t: start + 2200, lat: -30, lon: 9 }), back = snapshot(0, { t: start + 2400, lat: 50.01, lon: 9 });
      await feed(page, [...first, bad, back, { live: false }, ...second]);
      const kept = (feed_part) => feed_part.filter((s, i) => i === feed_part.length - 1 ||
                                                         Math.floor(s.t / 1000) !== Math.floor(feed_part[i + 1].t / 1000));
      const drawn = (await lines()).slice(-4);
      assert.deepEqual(drawn, [kept(first), [bad], [back], kept(second)].map((part) => part.map((s) => [s.lat, s.lon])));

      // The connection drops; the bridge goes on recording; the engine's EventSource reconnects.
      const newest = second.at(-1).t, count = fake.requests.length;
      fake.go_down();
      fake.track.segments.push({ id: 12, points: [[newest + 1000, 50.01, 9.001, 1], [newest + 2000, 50.02, 9.002, 2]] });
      await h.wait_for("'unreachable'", async () => (await panel())["bridge-status"] === "unreachable");
      fake.come_back();
      fake.send(snapshot(0, { t: newest + 3000, lat: 50.03, lon: 9.003 }));
      const expected = [...kept(second).map((s) => [s.lat, s.lon]), [50.01, 9.001], [50.02, 9.002], [50.03, 9.003]];
      await h.wait_for("the gap filled in", async () => (await lines()).at(-1).length === expected.length, 10000);
      assert.deepEqual(targets(fake, count).filter((t) => t.startsWith("/track")), [`/track/thin?since=${newest}`]);
      assert.deepEqual((await lines()).at(-1), expected);
      assert.equal((await view()).transport, "stream");
    });

    test("📡 Live position off stops following the bridge and says so; on again fills in what was missed", async () => {
      const before_off = await view();
      await page.click("#live-toggle");
      await h.wait_for("the stream closed", () => fake.streams() === 0, 5000);
      const count = fake.requests.length;
      const track_end = before_off.last_t;
      fake.track.segments.push({ id: 13, points: [[track_end + 5000, 52, 10, 1], [track_end + 6000, 52.01, 10.01, 1]] });
      fake.send(snapshot(0, { t: track_end + 7000, lat: 52.02, lon: 10.02 }));
      await h.sleep(1500);  // more than a poll's interval
      assert.deepEqual(targets(fake, count), [], "nothing asked of the bridge while off");
      const off = await view(), values = await panel();
      assert.equal(off.received, before_off.received);
      assert.deepEqual([off.live_position, off.transport, values["live-status"], values.transport, values.lat, values.hdg],
                       [false, "none", "not live", "📡 off", "–", "–"]);
      assert.match(await page.text("#hint"), /Live position is off/);
      assert.equal(await page.evaluate(() => document.querySelector(".aircraft").classList.contains("stale")), true);

      await page.click("#live-toggle");
      await h.wait_for("live again", async () => (await panel())["live-status"] === "live");
      // The page asks for what it missed as the first snapshot comes, so its request may come a little later.
      // (The route's and the traffic's own polls may come in between.)
      const missed = () => targets(fake, count).filter((t) => !["/stream", "/plan", "/traffic"].includes(t));
      await h.wait_for("the track asked for", () => missed().length > 0, 5000);
      await h.wait_for("the trail filled in", async () => (await lines()).at(-1).length === 3, 5000);
      assert.deepEqual(missed(), [`/track/thin?since=${track_end}`]);
      assert.deepEqual((await lines()).at(-1), [[52, 10], [52.01, 10.01], [52.02, 10.02]]);
      assert.equal((await view()).transport, "stream");
    });

    // [units, what the panel and the label show for one snapshot]
    const UNITS = [
      ["aviation", { alt: "3281 ft", agl: "985 ft", gs: "120 kt", ias: "120 kt", vs: "+1200 fpm", label: "3281 ft  120 kt" }],
      ["metric", { alt: "1000 m", agl: "300 m", gs: "221 km/h", ias: "222 km/h", vs: "+6.1 m/s", label: "1000 m  221 km/h" }],
      ["mixed", { alt: "3281 ft", agl: "985 ft", gs: "221 km/h", ias: "222 km/h", vs: "+6.1 m/s", label: "3281 ft  221 km/h" }],
    ];
    const numbers = (of) => of.evaluate(() => ({
      ...Object.fromEntries(["alt", "agl", "gs", "ias", "vs"].map((id) => [id, document.getElementById(id).textContent])),
      label: document.querySelector(".aircraft-label").textContent }));
    const choose_units = (of, units) => of.evaluate((u) => {
      const select = document.getElementById("units");
      select.value = u;
      select.dispatchEvent(new Event("change"));
    }, units);

    test("units and night: every number of the panel and the label in each system; both survive a reload", async () => {
      await feed(page, [snapshot(2000, { alt: 1000, agl: 300.25, gs: 61.5, ias: 120, vs: 1200 })]);
      for (const [units, expected] of UNITS) {
        await choose_units(page, units);
        assert.deepEqual(await numbers(page), expected, units);
      }
      await page.click("#night");
      const reloaded = await open_page(fake);
      try {
        await h.wait_for("the aircraft", () => reloaded.evaluate(() => !!document.querySelector(".aircraft-label")));
        assert.deepEqual(await reloaded.evaluate(() => [document.getElementById("units").value, document.documentElement.dataset.theme]),
                         ["mixed", "night"]);
        assert.equal(await reloaded.evaluate(() => getComputedStyle(document.querySelector(".leaflet-tile-pane")).filter), "brightness(0.55) contrast(1.1)");
        assert.equal((await numbers(reloaded)).alt, UNITS[2][1].alt);
        fs.mkdirSync(h.ARTIFACTS, { recursive: true });
        await reloaded.screenshot(path.join(h.ARTIFACTS, `map-night-${engine}.png`));
      } finally {
        await page.click("#night");
        await choose_units(page, "aviation");
        await reloaded.close();
      }
    });

    test("a narrow or portrait screen: the panel is a strip of four figures, finger-sized, More for the rest", async () => {
      for (const [width, height, strip] of [[390, 800, true], [900, 1200, true], [1000, 700, false]]) {
        const seen = await page.evaluate(([src, width, height]) => new Promise((shown) => {
          const frame = document.body.appendChild(Object.assign(document.createElement("iframe"), { src, width, height, style: "position: fixed" }));
          frame.onload = () => {
            const [main, extra, more, dl, night] = ["main", "dd.extra", "#more", "aside dl", "#night"].map((q) => frame.contentWindow.getComputedStyle(frame.contentDocument.querySelector(q)));
            shown([main.flexDirection, extra.display, more.display, dl.gridTemplateColumns.split(" ").length, parseFloat(night.height) >= 44]) || frame.remove();
          };
        }), [`${fake.url}/map?tiles=${encodeURIComponent(tiles.template)}`, width, height]);
        assert.deepEqual(seen, strip ? ["column", "none", "block", 4, true] : ["row", "block", "none", 2, false], `${width}×${height}`);
      }
    });

    test("track up: the heading points up with the aircraft low on the map, after a turn too; north up restores",
         async () => {
      // The heading on screen: the map's turn and the symbol's, and the way along the heading on the turned map.
      const seen = () => page.evaluate(() => {
        const angle = (element) => {
          const m = new DOMMatrix(getComputedStyle(element).transform === "none" ? "" : getComputedStyle(element).transform);
          return Math.atan2(m.b, m.a) * 180 / Math.PI;
        };
        const map = window.tavrik_map, s = window.tavrik.snapshot, turn = angle(document.getElementById("map"));
        const a = map.latLngToContainerPoint([s.lat, s.lon]);
        const ahead = map.latLngToContainerPoint([s.lat + 0.01 * Math.cos(s.hdg * Math.PI / 180),
                                                  s.lon + 0.01 * Math.sin(s.hdg * Math.PI / 180) / Math.cos(s.lat * Math.PI / 180)]);
        const way = Math.atan2(ahead.x - a.x, -(ahead.y - a.y)) * 180 / Math.PI + turn;
        const symbol = document.querySelector(".aircraft-symbol").getBoundingClientRect();
        const box = document.getElementById("map-box").getBoundingClientRect();
        return { symbol: angle(document.querySelector(".aircraft-symbol")) + turn, way, follow: window.tavrik.follow,
                 x: (symbol.x + symbol.width / 2 - box.x) / box.width, y: (symbol.y + symbol.height / 2 - box.y) / box.height };
      });
      const off = (a) => Math.abs(((a % 360) + 540) % 360 - 180);
      await page.click("#follow");
      await page.click("#track-up");
      try {
        for (const [i, hdg] of [[3000, 90], [3001, 140], [3002, 205], [3003, 330]].entries()) {
          await feed(page, [snapshot(hdg[0], { lat: 47.5 + i * 1e-3, lon: 8.5, hdg: hdg[1] })]);
          await glided(page);
          const now = await seen();
          assert.ok(off(now.symbol) < 1 && off(now.way) < 1, `heading ${hdg[1]}: ${JSON.stringify(now)}`);
          assert.ok(now.follow && Math.abs(now.x - 0.5) < 0.02 && Math.abs(now.y - 2 / 3) < 0.02, JSON.stringify(now));
        }
        fs.mkdirSync(h.ARTIFACTS, { recursive: true });
        await page.screenshot(path.join(h.ARTIFACTS, `map-track-up-${engine}.png`));
      } finally {
        await page.click("#track-up");
      }
      const north = await seen();
      assert.ok(off(north.symbol - 330) < 1 && off(north.way - 330) < 1 && north.follow, JSON.stringify(north));
      assert.ok(Math.abs(north.y - 0.5) < 0.02, JSON.stringify(north));
    });

    test("smooth motion: the symbol passes through the points between two samples; with data stopped, no frames",
         async () => {
      const a = snapshot(4000, { lat: 47.6, lon: 8.6 }), b = snapshot(4001, { lat: 47.6 + 2e-3, lon: 8.6 + 2e-3 });
      await feed(page, [a]);
      await glided(page);
      // Every frame's position until the symbol is at b (or 5 s).
      const recording = page.evaluate((to) => new Promise((resolve) => {
        const seen = [], end = performance.now() + 5000;
        const frame = (now) => {
          seen.push([...window.tavrik.shown]);  // copies: a repeated array goes over BiDi as null
          now < end && String(seen.at(-1)) !== String(to) ? requestAnimationFrame(frame) : resolve(seen);
        };
        requestAnimationFrame(frame);
      }), [b.lat, b.lon]);
      await h.sleep(200);
      await feed(page, [b]);
      const seen = await recording;
      const between = seen.filter(([lat, lon]) => lat > a.lat + 1e-5 && lat < b.lat - 1e-5 && Math.abs((lat - a.lat) - (lon - a.lon)) < 1e-9);
      assert.ok(between.length >= 3, `${between.length} frames between the samples`);
      assert.ok(seen.every(([lat]) => lat <= b.lat + 1e-12), "never beyond the newest sample");
      await glided(page);
      assert.deepEqual((await view()).shown, [b.lat, b.lon]);
      const frames = (await view()).frames;
      await h.sleep(1000);
      assert.equal((await view()).frames, frames, "no frame drawn with the data stopped");
    });

    test("the profile: the track's altitudes over time, segments apart; the pointer rings that point on the map", async () => {
      // Points a second apart, and 7 s between the segments, so that each is a place of its own on the plot.
      const profiled = { segments: [{ id: 1, points: points(T0 - 60000, 3) }, { id: 2, points: points(T0 - 50000, 3, -33.9, -151.2) }] };
      const flown = await new_fake({ track: structuredClone(profiled) });
      const own = await open_page(flown);
      try {
        await own.click("#show-profile");
        const plotted = await h.wait_for("the plot", async () => {
          const p = await own.evaluate(() => window.tavrik_profile());
          return p.xs.length && p;
        });
        const [first, second] = profiled.segments.map((s) => s.points);
        const ft = (alt) => (alt === null ? null : alt / 0.3048);
        assert.deepEqual(plotted.ys, [...first.map((p) => ft(p[3])), null, ...second.map((p) => ft(p[3]))]);
        assert.deepEqual(plotted.xs, [...first.map((p) => p[0] / 1000), (first.at(-1)[0] + second[0][0]) / 2000,
                                      ...second.map((p) => p[0] / 1000)]);
        assert.match(plotted.figures, /^Distance [\d.]+ NM · Time 0 h 00 min · Highest \d+ ft$/);
        await own.evaluate((left) => {
          const over = document.querySelector("#profile .u-over"), box = over.getBoundingClientRect();
          for (const type of ["mouseenter", "mousemove"])
            over.dispatchEvent(new MouseEvent(type, { clientX: box.left + left, clientY: box.top + 10, bubbles: true }));
        }, plotted.lefts[5]);
        const ring = await h.wait_for("the ring", () => own.evaluate(() => window.tavrik_profile().ring), 3000, 50);
        assert.deepEqual(ring, second[1].slice(1, 3));
        fs.mkdirSync(h.ARTIFACTS, { recursive: true });
        await own.screenshot(path.join(h.ARTIFACTS, `map-profile-${engine}.png`));
      } finally {
        await own.close();
      }
    });

    test("Download track (GPX) downloads the bridge's file", async () => {
      const saved = await page.download("#download-gpx");
      assert.equal(saved.name, "tavrik-track-20261208-143000Z.gpx");
      assert.equal(saved.bytes.toString(), fake.gpx);
      assert.equal(await page.evaluate(() => document.getElementById("download-gpx").href), `${fake.url}/track.gpx`);
    });

    test("the bridge's route: its line and names, the next waypoint's figures, the Route switch; a bad file changes nothing",
         async () => {
      const route = () => page.evaluate(() => window.tavrik_route());
      fake.plan = { name: "Test", waypoints: [{ name: "LSZH", lat: 47, lon: 8, alt: 432 }, { name: "BERNI", lat: 47, lon: 9 },
                                              { name: "LSGG", lat: 48, lon: 9 }] };
      await h.wait_for("the bridge's route on the map", async () => (await route()).names.length === 3, 8000);
      const drawn = { shown: true, line: [[47, 8], [47, 9], [48, 9]], names: ["LSZH", "BERNI", "LSGG"] };
      assert.deepEqual(await route(), drawn);
      const units = (to) => page.evaluate((to) => { const u = document.getElementById("units"); u.value = to; u.dispatchEvent(new Event("change")); }, to);
      await units("metric");
      await feed(page, [snapshot(9000, { lat: 47, lon: 8.5, gs: 61.5 })]);
      // 37.92 km (haversine) at 221.4 km/h: 10.3 min.
      assert.equal(await page.evaluate(() => document.getElementById("next-wp").textContent), "BERNI 37.9 km 090° 10 min");
      await page.evaluate(() => window.tavrik_map.setZoom(8, { animate: false }));
      await h.sleep(500);
      fs.mkdirSync(h.ARTIFACTS, { recursive: true });
      await page.screenshot(path.join(h.ARTIFACTS, `route-${engine}.png`));
      const route_switch = () => page.evaluate(() => [...document.querySelectorAll(".leaflet-control-layers-overlays label")]
        .find((l) => l.textContent.trim() === "Route").querySelector("input").click());
      await route_switch();
      assert.equal((await route()).shown, false);
      await route_switch();
      // A bad file dropped on the map: the message names it and what was wrong; nothing sent, nothing redrawn.
      const asked = fake.requests.length;
      await page.evaluate(() => {
        const files = new DataTransfer();
        files.items.add(new File(["<nonsense"], "broken.pln"));
        document.getElementById("map-box").dispatchEvent(new DragEvent("drop", { dataTransfer: files, bubbles: true, cancelable: true }));
      });
      const message = await h.wait_for("the message", () => page.evaluate(() => document.getElementById("route-note").textContent));
      assert.match(message, /^broken\.pln: .+\. The map is unchanged\.$/);
      assert.deepEqual(await route(), drawn);
      assert.ok(!fake.requests.slice(asked).some((r) => r.method !== "GET"), "nothing sent to the bridge");
      await units("aviation");
    });

    test("traffic: symbols turned to their headings, callsign and height against ours in hundreds of feet, grey on " +
         "the ground; asked every 2 s; the Traffic switch; a gone aircraft leaves the map", async () => {
      const traffic = () => page.evaluate(() => window.tavrik_traffic());
      const asked = (from) => fake.requests.slice(from).filter((r) => r.target === "/traffic").map((r) => r.at);
      const at = (ft) => 1000 + ft * 0.3048;  // our aircraft at 1000 m
      const rows = [  // [the bridge's aircraft, its symbol as drawn]
        [{ id: "xp-4b1a01", alt: at(1200), hdg: 90, vs: 800, callsign: "SWR123", type: "A320" }, ["SWR123 +12↑", "rotate(90deg)"]],
        [{ id: "msfs-7", alt: at(-260), hdg: 359.5, vs: -499, type: "C172" }, ["C172 -03", "rotate(359.5deg)"]],
        [{ id: "xp-4b1a03", alt: at(-1260), hdg: 190, ground: true, callsign: "HBPRK" }, ["HBPRK -13", "rotate(190deg)", true]],
        [{ id: "msfs-8", alt: at(40), vs: -600 }, ["00↓", ""]],
        [{ id: "msfs-9", callsign: "DLH4" }, ["DLH4", ""]],
      ];
      await feed(page, [snapshot(9500, { alt: 1000 })]);
      fake.traffic = { aircraft: rows.map(([a], i) => ({ t: T0, lat: 48.42 + i / 100, lon: 10.43 + i / 40, ...a })) };
      const drawn = rows.map(([a, [label, turned, ground = false]]) => ({ id: a.id, label, turned, ground }));
      await h.wait_for("the traffic", async () => (await traffic()).aircraft.length === rows.length, 5000);
      assert.deepEqual(await traffic(), { shown: true, aircraft: drawn });
      fake.traffic.aircraft.splice(1, 1);
      await h.wait_for("the gone one off the map", async () => (await traffic()).aircraft.length === rows.length - 1, 5000);
      assert.deepEqual((await traffic()).aircraft, drawn.toSpliced(1, 1));
      const traffic_switch = () => page.evaluate(() => [...document.querySelectorAll(".leaflet-control-layers-overlays label")]
        .find((l) => l.textContent.trim() === "Traffic").querySelector("input").click());
      await traffic_switch();
      const off_at = fake.requests.length;
      await h.sleep(2500);
      assert.deepEqual([await traffic(), asked(off_at)], [{ shown: false, aircraft: [] }, []]);
      assert.equal(await page.evaluate(() => JSON.parse(localStorage.getItem("tavrik.map.settings")).traffic), false);
      await traffic_switch();
      const [a, b, c] = await h.wait_for("three asks", () => asked(off_at).length >= 3 && asked(off_at), 8000);
      assert.ok([b - a, c - b].every((gap) => gap >= 1900 && gap <= 3500), `asked ${b - a} and ${c - b} ms apart`);
      assert.equal((await traffic()).aircraft.length, rows.length - 1);
      const early = await new_fake({ traffic: { aircraft: [{ id: "xp-1", lat: 47, lon: 8, callsign: "EARLY" }] } });
      const own = await open_page(early, { wait: false });
      await h.sleep(2500);
      early.send(snapshot(1, { lat: 47, lon: 8.01 }));
      await h.wait_for("traffic that came before the map had a view", () => own.evaluate(() => window.tavrik_traffic().aircraft.map((a) => a.id + a.label).join() === "xp-1EARLY"), 8000);
      await own.close();
    });

    // [how the bridge fails the stream, how soon the page polls]
    const FAILING = [
      ["refuse", 1500],  // 503: the EventSource closes for good at once
      ["end", 3000],     // ends every stream at once: reconnection after reconnection (200 ms apart)
    ];
    for (const [stream_mode, within_ms] of FAILING) {
      test(`a stream that keeps failing (${stream_mode}) gives way to polling /state, which keeps the page live`, async () => {
        const failing = await new_fake({ stream_mode, retry_ms: 200 });
        failing.send(snapshot(3, { lat: -20 }));
        const opened_at = Date.now();
        const own = await open_page(failing, { wait: false });
        await h.wait_for("polling", async () => (await view(own)).transport === "polling", within_ms + 2000, 50);
        assert.ok(Date.now() - opened_at < within_ms + 2000);
        await h.wait_for("live from polls", async () => (await panel(own))["live-status"] === "live");
        assert.equal((await panel(own)).lat, "-20.00000°");
        // The bridge answers a poll after a failed connection, so the page tries its stream once more at
        // once; then no stream while polling, before the page's next try (30 s on).
        const first_poll = failing.requests.findIndex((r) => r.target === "/state");
        const trials = () => targets(failing, first_poll).filter((t) => t === "/stream").length;
        await h.wait_for("the one trial when the bridge answers", () => trials() >= 1, 3000, 50);
        await h.sleep(1500);
        assert.equal(trials(), 1);
        // 📡 off stops the polls too; on resumes them.
        await own.click("#live-toggle");
        const off_at = failing.requests.length;
        await h.sleep(1500);
        assert.deepEqual(targets(failing, off_at), [], "nothing asked while off");
        await own.click("#live-toggle");
        await h.wait_for("a poll once on again", () => targets(failing, off_at).includes("/state"), 3000, 50);
        await own.close();
      });
    }

    test("the bridge gone: 'unreachable', no values; back: the stream at once (not 30 s later), the track filled in",
         async () => {
      const flaky = await new_fake({ retry_ms: 200, track: { segments: [{ id: 0, points: points(T0, 3) }] } });
      flaky.send(snapshot(0, { t: T0 + 2500, lat: 46.902, lon: 7.398 }));
      const own = await open_page(flaky);
      await h.wait_for("live", async () => (await panel(own))["live-status"] === "live");
      flaky.go_down();
      await h.wait_for("polling a bridge that is gone", async () => (await view(own)).transport === "polling", 10000);
      await h.wait_for("'unreachable'", async () => (await panel(own))["bridge-status"] === "unreachable");
      const gone = await panel(own);
      assert.deepEqual([gone["live-status"], gone.lat, gone.alt, gone.vs], ["not live", "–", "–", "–"]);
      assert.equal(await own.evaluate(() => document.querySelector(".aircraft").classList.contains("stale")), true);

      flaky.track.segments.push({ id: 1, points: [[T0 + 30000, 47, 7.5, 1]] });
      flaky.send(snapshot(0, { t: T0 + 31000, lat: 47.001, lon: 7.501 }));
      const count = flaky.requests.length, back_at = Date.now();
      flaky.come_back();
      await h.wait_for("the stream again", async () => (await view(own)).transport === "stream", 5000, 50);
      assert.ok(Date.now() - back_at < 4000);
      // From the newest point drawn: the stream's, which took the place of the track's last in its second.
      assert.equal(targets(flaky, count).find((t) => t.startsWith("/track")), `/track/thin?since=${T0 + 2500}`);
      await h.wait_for("the new line", async () => (await lines(own)).length === 2);
      assert.deepEqual((await lines(own))[1], [[47, 7.5], [47.001, 7.501]]);
      await own.close();
    });

    test("with no tile server, the page still goes live, shows the aircraft and says the tiles are unavailable",
         async () => {
      fake.send(snapshot(5000));
      const offline = await open_page(fake, { template: `http://127.0.0.1:${await h.free_port()}/{z}/{x}/{y}.png` });
      await feed(offline, [snapshot(5001), snapshot(5002)]);
      await h.wait_for("the tiles note", () => offline.evaluate(() => window.tavrik.tiles === "unavailable"));
      const shown = await offline.evaluate(() => {
        const note = document.getElementById("tiles-note");
        const symbol = document.querySelector(".aircraft-symbol").getBoundingClientRect();
        const map = document.getElementById("map").getBoundingClientRect();
        return { note: note.hidden ? "" : note.textContent, live: document.getElementById("live-status").textContent,
                 alt: document.getElementById("alt").textContent, trail: document.querySelectorAll(".leaflet-overlay-pane path").length,
                 symbol_in_map: symbol.width > 0 && symbol.left >= map.left && symbol.right <= map.right &&
                                symbol.top >= map.top && symbol.bottom <= map.bottom };
      });
      assert.match(shown.note, /^Map tiles unavailable/);
      assert.equal(shown.live, "live");
      assert.equal(shown.alt, `${((432.1 + 5002) / 0.3048).toFixed(0)} ft`);
      assert.ok(shown.symbol_in_map, "the aircraft shows");
      assert.ok(shown.trail >= 1, "the trail shows");
      fs.mkdirSync(h.ARTIFACTS, { recursive: true });
      await offline.screenshot(path.join(h.ARTIFACTS, `live-map-no-tiles-${engine}.png`));
      // The tiles come back (here: the source now points at a server that answers): the note goes.
      await offline.evaluate((url) => window.tavrik_map.eachLayer((layer) => layer.setUrl && layer._map && layer.setUrl(url)),
                             tiles.template);
      await h.wait_for("the tiles back", () => offline.evaluate(() => window.tavrik.tiles === "ok"));
      assert.equal(await offline.evaluate(() => document.getElementById("tiles-note").hidden), true);
      await offline.close();
    });

    test("polling a bridge that answers, the page tries the stream again 30 s on, and polls until it speaks", async () => {
      const streams = () => silent.requests.filter((r) => r.target === "/stream");
      // The tests before this one fill the 30 s. When they took longer still, the page has given up on that
      // trial stream by now (5 s later), and each later trial comes 30 s after the page gave up on the one
      // before: the one to release is a trial young enough to be released well within its 5 s.
      let fell_back_at = silent.polling_at;
      for (let trial = 1; ; ++trial) {
        const retried = await h.wait_for("the stream tried again", () => streams()[trial], STREAM_RETRY_MS + 10000, 100);
        const after_ms = retried.at - fell_back_at;
        assert.ok(after_ms >= STREAM_RETRY_MS - 1000 && after_ms <= STREAM_RETRY_MS + 2000, `tried after ${after_ms} ms`);
        if (Date.now() - retried.at < 1500 && silent.held_streams() === 1) break;
        fell_back_at = retried.at + STREAM_SILENCE_MS;
      }
      // The new stream is silent too, for now: the page polls on (once a second).
      const tried_at = silent.requests.length;
      await h.wait_for("a poll while the new stream is silent", () => targets(silent, tried_at).includes("/state"), 3000, 50);
      assert.equal((await view(silent_page)).transport, "polling");
      silent.release_held();  // well within the 5 s the page gives the new stream
      await h.wait_for("the stream", async () => (await view(silent_page)).transport === "stream", 5000);
      const at = silent.requests.length;
      await h.sleep(1500);
      assert.deepEqual(targets(silent, at).filter((t) => t === "/state"), [], "no polls once the stream speaks");
      assert.ok(targets(silent, tried_at).some((t) => t.startsWith("/track/thin?since=")), "the track since the newest point");
      await silent_page.close();
    });
  });
}
});
