// The page opened with the bridge's key, and its "Open on a tablet" panel,
// against the fake bridge, which serves the page at /map and records every
// request; in Chromium and Firefox. Then a real tablet, in a network namespace.
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import jsQR from "jsqr";
import * as h from "./harness.mjs";

const KEY = "0123456789abcdef0123456789abcdef";
const TABLET_URLS = [`http://192.168.178.23:49080/map?key=${KEY}`, `http://10.8.0.5:49080/map?key=${KEY}`];

for (const engine of h.ENGINES) {
  describe(`the keyed page and the tablet panel in ${engine}`, () => {
    let bridge, tiles, browser;

    before(async () => {
      bridge = await h.start_fake_bridge();
      bridge.send({ live: true, sim: "xp", t: Date.now(), lat: 47.4581, lon: 8.5487, alt: 432, hdg: 90 });
      tiles = await h.start_tile_server();
      browser = await h.launch_browser(engine);
    });

    after(async () => {
      await browser?.close();
      await tiles?.stop();
      await bridge?.stop();
    });

    // Opens the page from the bridge with `query` and waits until it is live.
    async function open_live(query) {
      bridge.requests.length = 0;
      const page = await browser.new_page();
      await page.goto(`${bridge.url}/map?tiles=${encodeURIComponent(tiles.template)}${query}`);
      await h.wait_for("the page to go live", () => page.evaluate(() => window.tavrik.live));
      return page;
    }

    test("with ?key= every request to the bridge carries the key, and tile requests carry no Referer", async () => {
      bridge.tablet = { urls: TABLET_URLS };
      const page = await open_live(`&key=${KEY}`);
      await h.wait_for("map tiles", () => tiles.requests.length > 0);
      await h.wait_for("the layer switch's icon and the QR library", () =>
        ["/layers", "/qrcode.js"].every((name) => bridge.requests.some((r) => r.target.includes(name))));
      await page.click("#live-toggle");  // off and on: the track again, since the newest point
      await page.click("#live-toggle");
      await h.wait_for("the track again", () => bridge.requests.filter((r) => r.target.startsWith("/track")).length > 1);
      const paths = bridge.requests.map((r) => new URL(r.target, bridge.url));
      const unkeyed = paths.filter((url) => url.searchParams.getAll("key").join() !== KEY).map((url) => url.pathname);
      assert.deepEqual(unkeyed, [], "requests without the key (or with it twice)");
      for (const name of ["/map", "/stream", "/track/thin", "/traffic", "/tablet", "/map/leaflet/leaflet.js", "/map/leaflet/leaflet.css",
                          "/map/qrcode-generator/qrcode.js", "/map/leaflet/images/layers.png"])
        assert.ok(paths.some((url) => url.pathname === name), `the page asked for ${name}`);
      assert.equal(await page.evaluate(() => new URL(document.getElementById("download-gpx").href).searchParams.get("key")),
                   KEY, "the GPX download's key");
      assert.deepEqual(tiles.requests.filter((r) => r.referer).map((r) => r.referer), [], "Referer headers sent for tiles");
      await page.close();
    });

    test("the panel shows each address from /tablet as text and as a QR code that reads as that address", async () => {
      bridge.tablet = { urls: TABLET_URLS };
      const page = await open_live("");
      await h.wait_for("the tablet panel", () => page.evaluate(() => !document.getElementById("tablet").hidden));
      assert.deepEqual(await page.evaluate(() => [...document.querySelectorAll("#tablet code")].map((c) => c.textContent)),
                       TABLET_URLS);
      assert.deepEqual(await read_qr_codes(page, "#tablet svg"), TABLET_URLS);
      assert.deepEqual(bridge.requests.filter((r) => r.target.includes("key=")).map((r) => r.target), [],
                       "requests with a key from a page opened without one");
      await page.close();
    });

    test("the panel stays hidden when /tablet gives no addresses", async () => {
      for (const answer of [null, { urls: [] }, { urls: [42, "javascript:alert(1)"] }, { url: TABLET_URLS[0] }]) {
        bridge.tablet = answer;
        const page = await open_live("");
        await h.wait_for("the page's /tablet", () => bridge.requests.some((r) => r.target.startsWith("/tablet")));
        await h.sleep(200);
        assert.deepEqual(await page.evaluate(() => [document.getElementById("tablet").hidden,
                                                    document.querySelectorAll("#tablet figure").length]),
                         [true, 0], `panel for ${JSON.stringify(answer)}`);
        await page.close();
      }
    });
  });
}

// Every QR code under `selector` drawn on a canvas at 4 pixels a module, as
// read back by jsQR (a decoder of its own, not the library that drew them).
async function read_qr_codes(page, selector) {
  const images = await page.evaluate(async (selector) => {
    const read = async (svg) => {
      const copy = svg.cloneNode(true);
      const size = svg.viewBox.baseVal.width * 2;
      copy.setAttribute("width", size);
      copy.setAttribute("height", size);
      const image = new Image();
      image.src = "data:image/svg+xml," + encodeURIComponent(new XMLSerializer().serializeToString(copy));
      await image.decode();
      const canvas = Object.assign(document.createElement("canvas"), { width: size, height: size });
      const context = canvas.getContext("2d");
      context.drawImage(image, 0, 0);
      const pixels = context.getImageData(0, 0, size, size).data;
      let text = "";
      for (let i = 0; i < pixels.length; i += 8192) text += String.fromCharCode(...pixels.subarray(i, i + 8192));
      return { size, rgba: btoa(text) };
    };
    return Promise.all([...document.querySelectorAll(selector)].map(read));
  }, selector);
  return images.map(({ size, rgba }) => jsQR(new Uint8ClampedArray(Buffer.from(rgba, "base64")), size, size)?.data);
}

// A bridge with --lan on one machine, a tablet on another (two network
// namespaces): the tablet opens the address the console prints and goes live,
// asking only with the key, and the page on the bridge's own machine shows
// that address as its QR code. Chromium only; needs root for the namespaces.
describe("a tablet on the local network", { skip: !h.ENGINES.includes("chromium") && "Chromium not among TAVRIK_BROWSERS" }, () => {
  const root = process.getuid?.() === 0;
  let spaces, standin, bridge, tiles, tablet, pc, tablet_page;

  before(async () => {
    if (!root) return;
    spaces = h.make_namespaces();
    standin = await h.start_program(...h.in_namespace(spaces.pc, [path.join(h.BUILD, "xplane-standin"), "127.0.0.1"]),
                                    /X-Plane stand-in on /);
    bridge = await h.start_program(...h.in_namespace(spaces.pc, [path.join(h.BUILD, "tavrik"), "127.0.0.1", "--xplane",
                                                                 "--port", "0", "--lan"]),
                                   new RegExp(`→ tablet: (http://${spaces.pc_address.replaceAll(".", "\\.")}:(\\d+)/map\\?key=\\w+)\n`));
    // Map tiles from the tablet's own loopback, so that its screenshot shows a map.
    tiles = await h.start_program(...h.in_namespace(spaces.tablet, [process.execPath, "--input-type=module", "-e",
      `const h = await import(${JSON.stringify(new URL("./harness.mjs", import.meta.url).href)});
       console.log("tiles " + (await h.start_tile_server()).template);`]), /tiles (\S+)/);
  });

  after(async () => {
    await tablet?.close();
    await pc?.close();
    await h.stop_program(tiles);
    await h.stop_program(bridge);
    await h.stop_program(standin);
    spaces?.remove();
  });

  test("opens the printed address at a tablet's size and goes live", { skip: !root && "needs root for network namespaces" },
       async () => {
    const address = bridge.match[1];
    tablet = await h.launch_chromium_in(spaces.tablet, { viewport: { width: 820, height: 1180 }, deviceScaleFactor: 2,
                                                         isMobile: true, hasTouch: true });
    const page = tablet_page = await tablet.newPage();
    const asked = [];
    page.on("request", (request) => asked.push(request.url()));
    await page.goto(`${address}&tiles=${encodeURIComponent(tiles.match[1])}`);
    await h.wait_for("the tablet's page to go live", () => page.evaluate(() => window.tavrik.live));
    fs.mkdirSync(h.ARTIFACTS, { recursive: true });
    await page.screenshot({ path: path.join(h.ARTIFACTS, "tablet.png") });
    const to_bridge = asked.map((url) => new URL(url)).filter((url) => url.host === new URL(address).host);
    assert.deepEqual(to_bridge.filter((url) => url.searchParams.get("key") !== new URL(address).searchParams.get("key"))
                       .map((url) => url.pathname), [], "the tablet's requests without the key");
  });

  test("the page on the bridge's machine shows that address as a QR code", { skip: !root && "needs root for network namespaces" },
       async () => {
    pc = await h.launch_chromium_in(spaces.pc);
    const page = await pc.newPage();
    await page.goto(`http://127.0.0.1:${bridge.match[2]}/map`);
    await h.wait_for("the tablet panel", () => page.evaluate(() => !document.getElementById("tablet").hidden));
    assert.deepEqual(await read_qr_codes(page, "#tablet svg"), [bridge.match[1]]);
    // A route set by this PC's page shows on the tablet within its poll of a few seconds.
    await page.evaluate(() => fetch("/plan", { method: "PUT", body: '{"waypoints":[{"name":"EDDF","lat":50,"lon":8.5},{"name":"EDDM","lat":48.35,"lon":11.78}]}' }));
    await h.wait_for("the route on the tablet", async () => (await tablet_page.evaluate(() => window.tavrik_route().names.join())) === "EDDF,EDDM", 12000);
  });
});
