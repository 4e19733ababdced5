// The example page's map, track and carried libraries, with a scripted feed (a
// fake bridge on loopback) so that positions, headings and times are exact,
// and tiles from a tile server of the test's own. In Chromium and Firefox.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import * as h from "./harness.mjs";

const EXAMPLES = path.join(h.ROOT, "examples");
const T0 = Date.UTC(2026, 11, 8, 14, 30, 0, 125);

// A live snapshot as the bridge sends it.
const snapshot = (i, fields = {}) => ({
  live: true, sim: "xp", t: T0 + i * 200, lat: 47.458123456789 + i * 1e-4, lon: 8.548765432101 + i * 2e-4,
  alt: 432.1 + i, hdg: 90, gs: 61.5, ias: 120, vs: -500, agl: 300.25, ...fields,
});

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
];

for (const library of CARRIED) {
  test(`the ${library.name} carried beside the page is the locked npm package's, file for file`, () => {
    const installed = path.join(path.dirname(new URL(import.meta.url).pathname), "node_modules", library.name);
    const locked = JSON.parse(fs.readFileSync(new URL("./package-lock.json", import.meta.url)));
    const version = locked.packages[`node_modules/${library.name}`].version;
    assert.equal(JSON.parse(fs.readFileSync(path.join(installed, "package.json"))).version, version,
                 "node_modules is the locked version (npm ci)");
    const carried = path.join(EXAMPLES, library.name);
    const files = (dir) => fs.readdirSync(dir, { recursive: true }).filter((f) => fs.statSync(path.join(dir, f)).isFile()).sort();
    const expected = library.files(installed);
    const licence = library.own_licence ? ["LICENSE"] : [];
    assert.deepEqual(files(carried), [...Object.keys(expected), ...licence].sort(), `the files in examples/${library.name}/`);
    assert.match(fs.readFileSync(path.join(h.ROOT, "packaging", "notices", `${library.name}.txt`), "utf8"),
                 new RegExp(`^${library.notice} ${version.replaceAll(".", "\\.")} `), "the release notices name the carried version");
    for (const [mine, theirs] of Object.entries(expected)) {
      assert.ok(fs.readFileSync(path.join(carried, mine)).equals(fs.readFileSync(path.join(installed, theirs))),
                `examples/${library.name}/${mine} differs from ${library.name}/${theirs}: copy it from tests/browser/node_modules`);
    }
    if (library.own_licence) {
      assert.ok(fs.readFileSync(path.join(carried, "LICENSE"), "utf8").includes(library.own_licence(installed)),
                `examples/${library.name}/LICENSE names the copyright of the package's file`);
    }
  });
}

for (const engine of h.ENGINES) {
  describe(`the example map in ${engine}`, () => {
    let fake, tiles, web, browser, page;

    before(async () => {
      fake = await h.start_fake_bridge();
      tiles = await h.start_tile_server();
      web = await h.start_static_server(EXAMPLES);
      browser = await h.launch_browser(engine);
      page = await open_page(tiles.template);
    });

    after(async () => {
      await browser?.close();
      web?.close();
      await tiles?.stop();
      await fake?.stop();
    });

    async function open_page(template) {
      const opened = await browser.new_page();
      const streams = fake.streams();
      await opened.goto(`${web.origin}/live-map.html?bridge=${fake.url}&tiles=${encodeURIComponent(template)}`);
      await h.wait_for("the page's stream", () => fake.streams() > streams);
      return opened;
    }

    // Sends the snapshots and waits until the page has taken them all.
    async function feed(of, snapshots) {
      const before_count = await of.evaluate(() => window.tavrik.received);
      for (const s of snapshots) fake.send(s);
      await h.wait_for("the page to take the feed",
                       () => of.evaluate((n) => window.tavrik.received >= n, before_count + snapshots.length));
    }

    test("the aircraft symbol turns with the true heading", async () => {
      const rotation = () => page.evaluate(() => {
        const [a, b] = getComputedStyle(document.querySelector(".aircraft-symbol")).transform
          .match(/matrix\(([^)]*)\)/)[1].split(",").map(Number);
        return ((Math.atan2(b, a) * 180 / Math.PI) + 360) % 360;
      });
      for (const [i, hdg] of [0, 37.5, 90, 181, 270, 359.5].entries()) {
        await feed(page, [snapshot(i, { hdg })]);
        const turned = await rotation();
        assert.ok(Math.abs(((turned - hdg + 540) % 360) - 180) < 0.1, `heading ${hdg}°, symbol at ${turned}°`);
      }
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
      await page.click("#follow");
      let i = 0;
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

    test("the GPX download holds exactly the positions and times received, one segment per stretch of live data",
         async () => {
      await page.click("#clear-track");
      assert.equal(await page.evaluate(() => window.tavrik.track_points), 0);
      const first = [1, 2, 3, 4].map((i) => snapshot(100 + i));
      const second = [5, 6, 7].map((i) => snapshot(100 + i, { alt: 1000.5 + i, lat: -33.5 - i * 1e-7 }));
      // Resumed after a jump in time without a word from the bridge: data was
      // missing. Longitudes JavaScript writes with an exponent (-4.08e-7).
      const third = [8, 9].map((i) => snapshot(100 + i + 300, { lon: -1e-9 * (100 + i + 300) }));
      await feed(page, [
        first[0], first[0], first[1], first[2], first[2], first[3],  // heartbeats repeat a snapshot
        { live: false },
        ...second, second[2],
        ...third,
      ]);
      const saved = await download_gpx(page);
      assert.match(saved.name, /^tavrik-track-\d{8}-\d{6}Z\.gpx$/);
      assert.equal(saved.type, "application/gpx+xml");
      assert.equal(saved.error, null, saved.text);
      assert.equal(saved.version, "1.1");
      assert.equal(saved.namespace, "http://www.topografix.com/GPX/1/1");
      const expected = [first, second, third].map((segment) => segment.map((s) => ({
        lat: s.lat, lon: s.lon, ele: s.alt, time: new Date(s.t).toISOString() })));
      assert.deepEqual(saved.segments, expected);
      assert.deepEqual(saved.numbers.filter((n) => !/^-?\d+(\.\d+)?$/.test(n)), [], "numbers GPX cannot read");
      assert.equal(await page.evaluate(() => window.tavrik.track_segments), 3);

      await page.click("#clear-track");
      assert.equal(await page.evaluate(() => window.tavrik.track_points), 0);
      assert.equal(await page.evaluate(() => document.getElementById("download-gpx").disabled), true);
    });

    test("with no tile server, the page still goes live, shows the aircraft and says the tiles are unavailable",
         async () => {
      const offline = await open_page(`http://127.0.0.1:${await h.free_port()}/{z}/{x}/{y}.png`);
      await feed(offline, [snapshot(500), snapshot(501), snapshot(502)]);
      await h.wait_for("the tiles note", () => offline.evaluate(() => window.tavrik.tiles === "unavailable"));
      const shown = await offline.evaluate(() => {
        const note = document.getElementById("tiles-note");
        const symbol = document.querySelector(".aircraft-symbol").getBoundingClientRect();
        const map = document.getElementById("map").getBoundingClientRect();
        return { note: note.hidden ? "" : note.textContent, live: document.getElementById("live-status").textContent,
                 alt: document.getElementById("alt").textContent, trail: document.querySelectorAll("path.leaflet-interactive, .leaflet-overlay-pane path").length,
                 symbol_in_map: symbol.width > 0 && symbol.left >= map.left && symbol.right <= map.right &&
                                symbol.top >= map.top && symbol.bottom <= map.bottom };
      });
      assert.match(shown.note, /^Map tiles unavailable/);
      assert.equal(shown.live, "live");
      assert.equal(shown.alt, `${((432.1 + 502) / 0.3048).toFixed(0)} ft`);
      assert.ok(shown.symbol_in_map, "the aircraft shows");
      assert.ok(shown.trail >= 1, "the trail shows");
      fs.mkdirSync(h.ARTIFACTS, { recursive: true });
      await offline.screenshot(path.join(h.ARTIFACTS, `live-map-no-tiles-${engine}.png`));
      await offline.close();
    });
  });
}

// Presses "Download track (GPX)" and catches the file the page hands to the
// browser; parses it with the browser's XML parser.
function download_gpx(page) {
  return page.evaluate(async () => {
    const made = [];
    const create = URL.createObjectURL, click = HTMLAnchorElement.prototype.click;
    URL.createObjectURL = (blob) => { made.push(blob); return create.call(URL, blob); };
    let name = null;
    HTMLAnchorElement.prototype.click = function () { name = this.download; };
    try {
      document.getElementById("download-gpx").click();
    } finally {
      URL.createObjectURL = create;
      HTMLAnchorElement.prototype.click = click;
    }
    const text = await made[0].text();
    const xml = new DOMParser().parseFromString(text, "application/xml");
    const gpx = xml.documentElement;
    const number = (text) => (text === null ? null : Number(text));
    return {
      name, type: made[0].type, text,
      error: xml.getElementsByTagName("parsererror").length ? xml.getElementsByTagName("parsererror")[0].textContent : null,
      version: gpx.getAttribute("version"), namespace: gpx.namespaceURI,
      // Every number as written, for the xsd:decimal form GPX demands.
      numbers: [...gpx.getElementsByTagName("trkpt")].flatMap((p) => [
        p.getAttribute("lat"), p.getAttribute("lon"), ...[...p.getElementsByTagName("ele")].map((e) => e.textContent)]),
      segments: [...gpx.getElementsByTagName("trkseg")].map((segment) => [...segment.getElementsByTagName("trkpt")].map((p) => ({
        lat: number(p.getAttribute("lat")), lon: number(p.getAttribute("lon")),
        ele: number(p.getElementsByTagName("ele")[0]?.textContent ?? null),
        time: p.getElementsByTagName("time")[0]?.textContent ?? null,
      }))),
    };
  });
}
