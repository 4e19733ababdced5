// Helpers for the browser tests: the programs under test, a static server for
// the page, a recording proxy, and Debian's headless Chromium and Firefox.
import { execFileSync, spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { fileURLToPath } from "node:url";
import zlib from "node:zlib";
import { chromium } from "playwright-core";
import puppeteer from "puppeteer-core";

export const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "../..");
// The map page's folder.
export const MAP = path.join(ROOT, "map");
export const BUILD = path.resolve(process.env.TAVRIK_BUILD || path.join(ROOT, "build"));
export const ARTIFACTS = path.resolve(process.env.TAVRIK_ARTIFACTS || path.join(BUILD, "browser-artifacts"));
export const CHROMIUM = process.env.CHROMIUM || "/usr/bin/chromium";
export const FIREFOX = process.env.FIREFOX || "/usr/bin/firefox-esr";
// The engines that tests of the page run in; TAVRIK_BROWSERS=firefox picks one.
export const ENGINES = (process.env.TAVRIK_BROWSERS || "chromium,firefox").split(",").filter(Boolean);

// Chromium as a quiet, offline, throw-away browser.
export const CHROMIUM_ARGS = [
  "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
  "--disable-background-networking", "--disable-component-update", "--disable-sync",
];

export function sleep(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

// Starts a program and waits until a line of its output matches `ready`.
// Resolves to { child, match, output() }; rejects if it exits or times out first.
export function start_program(file, args, ready, timeout_ms = 20000) {
  const child = spawn(file, args, { stdio: ["pipe", "pipe", "pipe"] });
  let output = "";
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => fail(new Error(`${path.basename(file)}: no ready line in ${timeout_ms} ms:\n${output}`)),
                             timeout_ms);
    function fail(error) { clearTimeout(timer); child.kill("SIGKILL"); reject(error); }
    function look(chunk) {
      output += chunk.toString("utf8");
      const match = output.match(ready);
      if (match) { clearTimeout(timer); resolve({ child, match, output: () => output }); }
    }
    child.stdout.on("data", look);
    child.stderr.on("data", look);
    child.on("error", fail);
    child.on("exit", (code) => fail(new Error(`${path.basename(file)} ended (${code}) before it was ready:\n${output}`)));
  });
}

export async function stop_program(program) {
  if (!program || program.child.exitCode !== null || program.child.signalCode) return;
  const ended = new Promise((resolve) => program.child.once("exit", resolve));
  program.child.kill("SIGTERM");
  const late = setTimeout(() => program.child.kill("SIGKILL"), 3000);
  await ended;
  clearTimeout(late);
}

// The built bridge, told to ask the stand-in at `xplane_address`, on `port`
// (by default one the system picks).
export async function start_bridge(xplane_address, port = 0) {
  const bridge = await start_program(path.join(BUILD, "tavrik"), [xplane_address, "--xplane", "--port", String(port)],
                                     /bridge ready on http:\/\/localhost:(\d+)/);
  bridge.port = Number(bridge.match[1]);
  bridge.url = `http://127.0.0.1:${bridge.port}`;
  return bridge;
}

// A static file server for `directory` on 127.0.0.1 and a port of its own, so
// that pages come from another origin than the bridge. With `tls` (from
// make_certificate) it serves https.
export async function start_static_server(directory, tls = null) {
  const types = { ".html": "text/html; charset=utf-8", ".js": "text/javascript", ".css": "text/css" };
  const serve = (request, response) => {
    const name = decodeURIComponent(new URL(request.url, "http://x").pathname).replace(/^\/+/, "");
    const file = path.join(directory, name || "index.html");
    if (!file.startsWith(directory + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
      response.writeHead(404, { "Content-Type": "text/plain" });
      return response.end("not found\n");
    }
    response.writeHead(200, { "Content-Type": types[path.extname(file)] || "application/octet-stream",
                              "Cache-Control": "no-store" });
    fs.createReadStream(file).pipe(response);
  };
  const server = tls ? https.createServer(tls, serve) : http.createServer(serve);
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  server.port = server.address().port;
  server.origin = `${tls ? "https" : "http"}://127.0.0.1:${server.port}`;
  return server;
}

// A TCP proxy in front of `target_port` that records the head of every request
// it passes on ({ method, target, headers }), so tests can see what the browser sent.
export async function start_recording_proxy(target_port) {
  const requests = [];
  const sockets = new Set();
  const server = net.createServer((client) => {
    const upstream = net.connect(target_port, "127.0.0.1");
    sockets.add(client).add(upstream);
    // Request heads only: GET and OPTIONS carry no body, so on a kept-alive
    // connection each head follows the previous one.
    let pending = "";
    client.on("data", (chunk) => {
      pending += chunk.toString("latin1");
      for (let end; (end = pending.indexOf("\r\n\r\n")) >= 0; pending = pending.slice(end + 4))
        requests.push(parse_head(pending.slice(0, end)));
      if (pending.length > 65536) pending = "";
    });
    client.pipe(upstream).pipe(client);
    const close = () => { client.destroy(); upstream.destroy(); sockets.delete(client); sockets.delete(upstream); };
    client.on("error", close).on("close", close);
    upstream.on("error", close).on("close", close);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  server.requests = requests;
  server.port = server.address().port;
  server.stop = async () => { for (const socket of sockets) socket.destroy(); await new Promise((r) => server.close(r)); };
  return server;
}

function parse_head(text) {
  const [request_line, ...lines] = text.split("\r\n");
  const [method, target] = request_line.split(" ");
  const headers = {};
  for (const line of lines) {
    const colon = line.indexOf(":");
    if (colon > 0) headers[line.slice(0, colon).trim().toLowerCase()] = line.slice(colon + 1).trim();
  }
  return { method, target, headers };
}

// A fresh headless Chromium with a profile of its own, as playwright-core's
// browser context (for the Chromium-only checks); close() removes the profile.
export async function launch_chromium(extra_args = []) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "tavrik-chromium-"));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM, headless: true, args: [...CHROMIUM_ARGS, ...extra_args],
    viewport: { width: 1100, height: 700 },
  });
  const close = context.close.bind(context);
  context.close = async () => { await close(); fs.rmSync(profile, { recursive: true, force: true }); };
  return context;
}

// A fresh headless `engine` ("chromium" or "firefox", the latter driven over
// WebDriver BiDi by puppeteer-core), seen through the few calls the tests make,
// so that one test body runs in both: new_page() gives { goto(url),
// text(selector), evaluate(fn, arg), screenshot(file), close() }, and
// new_page({ before_load }) runs before_load in every document first.
//
// page.download(selector) clicks and resolves to the file that the click
// downloaded, { name, bytes }.
//
// Every URL a page asks for is recorded, and close() fails the test run if
// one was not on this machine: the tests must never reach out (to a tile
// server, say). It fails the run rather than throwing, so that an after()
// hook still stops everything else it started.
export async function launch_browser(engine = "chromium") {
  const requested = [];
  const close_checked = async (close) => {
    await close();
    const outside = requested.filter((url) => !is_local_url(url));
    if (outside.length) {
      console.error(`FAILED: ${engine} asked beyond loopback: ${[...new Set(outside)].join(" ")}`);
      process.exitCode = 1;
    }
  };
  if (engine === "chromium") {
    const context = await launch_chromium();
    return {
      engine,
      async new_page({ before_load } = {}) {
        const page = await context.newPage();
        if (process.env.TAVRIK_BROWSER_LOG) page.on("pageerror", (error) => console.error(`${engine}:`, error));
        page.on("request", (request) => requested.push(request.url()));
        if (before_load) await page.addInitScript(before_load);
        return {
          goto: (url) => page.goto(url),
          text: (selector) => page.textContent(selector),
          evaluate: (fn, arg) => page.evaluate(fn, arg),
          screenshot: (file) => page.screenshot({ path: file }),
          click: (selector) => page.click(selector),
          drag: (from, to) => drag(page.mouse, from, to),
          download: async (selector) => {
            const [download] = await Promise.all([page.waitForEvent("download"), page.click(selector)]);
            return { name: download.suggestedFilename(), bytes: fs.readFileSync(await download.path()) };
          },
          close: () => page.close(),
        };
      },
      close: () => close_checked(() => context.close()),
    };
  }
  if (engine !== "firefox") throw new Error(`unknown browser engine ${engine}`);
  const downloads = fs.mkdtempSync(path.join(os.tmpdir(), "tavrik-downloads-"));
  const browser = await launch_firefox({ "browser.download.dir": downloads, "browser.download.folderList": 2,
                                         "browser.download.useDownloadDir": true,
                                         "browser.download.always_ask_before_handling_new_types": false });
  return {
    engine,
    async new_page({ before_load } = {}) {
      const page = await browser.newPage();
      if (process.env.TAVRIK_BROWSER_LOG) page.on("pageerror", (error) => console.error(`${engine}:`, error));
      page.on("request", (request) => requested.push(request.url()));
      if (before_load) await page.evaluateOnNewDocument(before_load);
      return {
        goto: (url) => page.goto(url),
        text: (selector) => page.$eval(selector, (element) => element.textContent),
        evaluate: (fn, arg) => page.evaluate(fn, arg),
        screenshot: (file) => page.screenshot({ path: file }),
        click: (selector) => page.click(selector),
        drag: (from, to) => drag(page.mouse, from, to),
        download: async (selector) => {
          // Firefox saves it to the profile's folder; a partial download is named *.part.
          for (const name of fs.readdirSync(downloads)) fs.rmSync(path.join(downloads, name));
          await page.click(selector);
          const name = await wait_for("the download", () => {
            const names = fs.readdirSync(downloads);
            return names.length === 1 && !names.some((n) => n.endsWith(".part")) && names[0];
          });
          return { name, bytes: fs.readFileSync(path.join(downloads, name)) };
        },
        close: () => page.close(),
      };
    },
    close: () => close_checked(async () => {
      await browser.close();
      fs.rmSync(downloads, { recursive: true, force: true });
    }),
  };
}

// A mouse drag from one page point ({x, y}) to another, in steps, as a hand
// does it, coming to rest before letting go (so a map does not fling on).
async function drag(mouse, from, to, steps = 8) {
  await mouse.move(from.x, from.y);
  await mouse.down();
  for (let i = 1; i <= steps; i++)
    await mouse.move(from.x + (to.x - from.x) * i / steps, from.y + (to.y - from.y) * i / steps);
  await sleep(300);
  await mouse.up();
}

// Whether a page's request stays on this machine.
export function is_local_url(text) {
  const url = new URL(text);
  if (["file:", "data:", "blob:", "about:"].includes(url.protocol)) return true;
  return url.hostname === "localhost" || url.hostname === "[::1]" || /^127\.\d+\.\d+\.\d+$/.test(url.hostname);
}

// A fresh headless Firefox with a profile of its own and `prefs`, as
// puppeteer-core's browser (WebDriver BiDi); close() removes the profile.
export async function launch_firefox(prefs = {}) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "tavrik-firefox-"));
  const browser = await puppeteer.launch({
    browser: "firefox", protocol: "webDriverBiDi", executablePath: FIREFOX, headless: true,
    userDataDir: profile, defaultViewport: { width: 1100, height: 700 }, extraPrefsFirefox: prefs,
    acceptInsecureCerts: true,
  });
  const close = browser.close.bind(browser);
  browser.close = async () => { await close(); fs.rmSync(profile, { recursive: true, force: true }); };
  return browser;
}

// Polls `probe` until it returns a truthy value; rejects with `what` after `timeout_ms`.
export async function wait_for(what, probe, timeout_ms = 15000, every_ms = 100) {
  const end = Date.now() + timeout_ms;
  for (;;) {
    const value = await probe();
    if (value) return value;
    if (Date.now() > end) throw new Error(`timed out after ${timeout_ms} ms waiting for ${what}`);
    await sleep(every_ms);
  }
}

// A loopback port on which nothing listens (taken and released at once).
export async function free_port() {
  const server = net.createServer();
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  const port = server.address().port;
  await new Promise((resolve) => server.close(resolve));
  return port;
}

// The X-Plane stand-in, flying its scripted circuit for whoever subscribes,
// on a loopback address of its own: the bridge always asks port 49000, so the
// address is what keeps this run apart from other tests on the machine. Tries
// a few addresses until one is free. "p" and Enter on its input pause and resume it.
export async function start_standin() {
  for (let attempt = 1; ; attempt++) {
    const address = random_loopback_address();
    try {
      const standin = await start_program(path.join(BUILD, "xplane-standin"), [address], /X-Plane stand-in on /);
      standin.address = address;
      return standin;
    } catch (error) {
      if (attempt === 5 || !/already in use/.test(String(error))) throw error;
    }
  }
}

function random_loopback_address() {
  const byte = (low, count) => low + Math.floor(Math.random() * count);
  return `127.${byte(100, 100)}.${byte(1, 250)}.${byte(1, 250)}`;
}

export async function pause_standin(standin) { await toggle_standin(standin, "… paused"); }
export async function resume_standin(standin) { await toggle_standin(standin, "✓ resumed"); }

async function toggle_standin(standin, answer) {
  const seen = standin.output().split(answer).length;
  standin.child.stdin.write("p\n");
  await wait_for(`the stand-in's "${answer}"`, () => standin.output().split(answer).length > seen, 5000);
}

// `requests` without repeats. The bridge closes every connection after its
// response without saying so, and Chromium, which took the connection as
// reusable, then sends the same request again on a new one.
export function without_retries(requests) {
  const key = (r) => JSON.stringify([r.method, r.target, r.headers]);
  return requests.filter((r, i) => i === 0 || key(r) !== key(requests[i - 1]));
}

// A throw-away self-signed certificate ({ key, cert }) made with openssl.
export function make_certificate() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "tavrik-tls-"));
  try {
    execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=map.example",
                             "-keyout", path.join(dir, "key.pem"), "-out", path.join(dir, "cert.pem")],
                 { stdio: "ignore" });
    return { key: fs.readFileSync(path.join(dir, "key.pem")), cert: fs.readFileSync(path.join(dir, "cert.pem")) };
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

// A map tile server on 127.0.0.1 that records what it is asked for: serves
// GET /{z}/{x}/{y}.png with a small generated PNG (a checkerboard of two
// greys, so screenshots show the tile grid). `requests` holds { z, x, y, referer }.
export async function start_tile_server() {
  const tiles = [png_of_colour([0xd8, 0xde, 0xe4]), png_of_colour([0xc4, 0xcd, 0xd6])];
  const requests = [];
  const server = http.createServer((request, response) => {
    const match = request.url.match(/^\/(\d+)\/(\d+)\/(\d+)\.png$/);
    if (!match) { response.writeHead(404); return response.end(); }
    const [z, x, y] = match.slice(1).map(Number);
    requests.push({ z, x, y, referer: request.headers.referer });
    response.writeHead(200, { "Content-Type": "image/png", "Cache-Control": "no-store" });
    response.end(tiles[(x + y) % 2]);
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  server.requests = requests;
  server.template = `http://127.0.0.1:${server.address().port}/{z}/{x}/{y}.png`;
  server.stop = () => { server.closeAllConnections(); return new Promise((resolve) => server.close(resolve)); };
  return server;
}

// The slippy-map tile that holds a position at zoom z (Web Mercator).
export function tile_of(lat, lon, z) {
  const n = 2 ** z, phi = lat * Math.PI / 180;
  return { z, x: Math.floor((lon + 180) / 360 * n),
           y: Math.floor((1 - Math.log(Math.tan(phi) + 1 / Math.cos(phi)) / Math.PI) / 2 * n) };
}

// A one-pixel PNG of one RGB colour.
function png_of_colour([r, g, b]) {
  const chunk = (type, data) => {
    const head = Buffer.alloc(8);
    head.writeUInt32BE(data.length, 0);
    head.write(type, 4, "latin1");
    const sum = Buffer.alloc(4);
    sum.writeUInt32BE(crc32(Buffer.concat([head.subarray(4), data])), 0);
    return Buffer.concat([head, data, sum]);
  };
  const header = Buffer.from([0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0]);  // 1 x 1, 8-bit RGB
  return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]), chunk("IHDR", header),
                        chunk("IDAT", zlib.deflateSync(Buffer.from([0, r, g, b]))), chunk("IEND", Buffer.alloc(0))]);
}

function crc32(bytes) {
  let crc = ~0;
  for (const byte of bytes) {
    crc ^= byte;
    for (let k = 0; k < 8; k++) crc = (crc >>> 1) ^ (0xedb88320 & -(crc & 1));
  }
  return ~crc >>> 0;
}

// A scripted stand-in for the bridge on 127.0.0.1, with the bridge's CORS
// header: /stream sends what send(snapshot) is given to every open stream (and
// the newest snapshot at once, as the bridge does), /state answers the newest
// snapshot, /track the points of `track` ({ segments: [{ id, points }] }) after
// ?since=, /track.gpx the bytes of `gpx`, /map and /map/<file> the page and
// its files from map/, and /tablet the JSON of `tablet` when it is set.
// For feeds that must be exact, and for a bridge that
// misbehaves: stream_mode "silent" holds new streams open without a word,
// "refuse" answers them 503, "end" ends them at once (after `retry: retry_ms`),
// and release_held() lets the silent ones speak; go_down() drops every
// connection and refuses new ones until come_back().
// `requests` holds { target, at } of every request.
export async function start_fake_bridge() {
  const streams = new Set(), held = new Set();
  let newest = { live: false }, down = false;
  const event = (snapshot) => `data: ${JSON.stringify(snapshot)}\n\n`;
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, "http://x");
    server.requests.push({ target: request.url, at: Date.now(), method: request.method });
    if (down) return request.socket.destroy();
    const cors = { "Access-Control-Allow-Origin": "*", "Cache-Control": "no-store" };
    if (url.pathname === "/stream") {
      if (server.stream_mode === "refuse") return response.writeHead(503, cors).end();
      response.writeHead(200, { ...cors, "Content-Type": "text/event-stream" });
      response.write(`retry: ${server.retry_ms}\n\n`);
      if (server.stream_mode === "end") return response.end();
      const open = server.stream_mode === "silent" ? held : streams;
      open.add(response);
      request.on("close", () => open.delete(response));
      if (open === streams) response.write(event(newest));
      return;
    }
    if (url.pathname === "/track" || url.pathname === "/track/thin") {  // thin: as given
      const since = /^\d+$/.test(url.searchParams.get("since") ?? "") ? Number(url.searchParams.get("since")) : -Infinity;
      const segments = server.track.segments.map((s) => ({ id: s.id, points: s.points.filter((p) => p[0] > since) }))
        .filter((s) => s.points.length);
      response.writeHead(200, { ...cors, "Content-Type": "application/json" });
      return response.end(JSON.stringify({ segments }));
    }
    if (url.pathname === "/plan") {  // PUT and DELETE as this PC's page may, unless told to refuse
      if (request.method === "GET") return response.writeHead(200, cors).end(JSON.stringify(server.plan));
      if (server.plan_refused) return response.writeHead(403, { "Content-Type": "text/plain" }).end("Forbidden\n");
      let body = "";
      request.on("data", (chunk) => { body += chunk; });
      return request.on("end", () => {
        server.plan = request.method === "PUT" ? JSON.parse(body) : { waypoints: [] };
        response.writeHead(200, cors).end(JSON.stringify(server.plan));
      });
    }
    if (url.pathname === "/traffic") return response.writeHead(200, cors).end(JSON.stringify(server.traffic));
    if (url.pathname === "/tablet" && server.tablet) {  // no CORS block, as the bridge
      response.writeHead(200, { "Content-Type": "application/json", "Cache-Control": "no-store" });
      return response.end(JSON.stringify(server.tablet));
    }
    if (url.pathname === "/track.gpx") {
      response.writeHead(200, { ...cors, "Content-Type": "application/gpx+xml",
                                "Content-Disposition": 'attachment; filename="tavrik-track-20261208-143000Z.gpx"' });
      return response.end(server.gpx);
    }
    const file = url.pathname === "/map" ? "index.html" : url.pathname.startsWith("/map/") ? url.pathname.slice(5) : null;
    if (file !== null) {
      const full = path.join(MAP, file);
      if (!full.startsWith(MAP + path.sep) || !fs.existsSync(full)) return response.writeHead(404).end();
      const types = { ".html": "text/html; charset=utf-8", ".js": "text/javascript", ".css": "text/css", ".png": "image/png" };
      response.writeHead(200, { "Content-Type": types[path.extname(full)] });
      return response.end(fs.readFileSync(full));
    }
    response.writeHead(200, { ...cors, "Content-Type": "application/json" });
    response.end(JSON.stringify(newest));
  });
  await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
  Object.assign(server, { requests: [], stream_mode: "normal", retry_ms: 2000, track: { segments: [] }, gpx: "",
                        plan: { waypoints: [] }, traffic: { aircraft: [] } });
  server.url = `http://127.0.0.1:${server.address().port}`;
  server.streams = () => streams.size;
  server.held_streams = () => held.size;
  server.send = (snapshot) => {
    newest = snapshot;
    for (const stream of streams) stream.write(event(snapshot));
  };
  server.release_held = () => {
    for (const stream of held) {
      held.delete(stream);
      streams.add(stream);
      stream.on("close", () => streams.delete(stream));
      stream.write(event(newest));
    }
  };
  server.go_down = () => {
    down = true;
    for (const stream of [...streams, ...held]) stream.destroy();
  };
  server.come_back = () => { down = false; };
  server.stop = () => { server.closeAllConnections(); return new Promise((resolve) => server.close(resolve)); };
  return server;
}

// Two network namespaces joined by a veth pair, as two machines on one private
// network, made by tests/support/netns.sh (the end-to-end tests' maker too):
// { pc, tablet } are the namespaces' names, pc_address and tablet_address
// their addresses, each with its loopback up. Root only; nothing of the host's
// own network is touched. remove() deletes both, and the veth pair with them.
export function make_namespaces() {
  const netns = path.join(ROOT, "tests/support/netns.sh");
  const tag = `b${process.pid}`;
  const described = execFileSync("bash", [netns, "up", tag], { encoding: "utf8", stdio: ["ignore", "pipe", "pipe"] });
  const vars = Object.fromEntries(described.trim().split("\n").map((line) => {
    const equals = line.indexOf("=");
    return [line.slice(0, equals), line.slice(equals + 1)];
  }));
  return {
    pc: vars.TAVRIK_NETNS_BRIDGE, tablet: vars.TAVRIK_NETNS_CLIENT,
    pc_address: vars.TAVRIK_NETNS_BRIDGE_IP, tablet_address: vars.TAVRIK_NETNS_CLIENT_IP,
    remove: () => execFileSync("bash", [netns, "down", tag], { stdio: "ignore" }),
  };
}

// `argv` run in the namespace `space` (ip netns exec).
export function in_namespace(space, argv) { return ["ip", ["netns", "exec", space, ...argv]]; }

// A fresh headless Chromium in the namespace `space`, through a wrapper
// executable (playwright-core talks to it over a pipe, so across namespaces),
// with `options` for its context (viewport, touch, ...); close() removes the
// profile and the wrapper.
export async function launch_chromium_in(space, options = {}) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), "tavrik-chromium-ns-"));
  const wrapper = path.join(dir, "chromium");
  fs.writeFileSync(wrapper, `#!/bin/sh\nexec ip netns exec '${space}' '${CHROMIUM}' "$@"\n`, { mode: 0o755 });
  const context = await chromium.launchPersistentContext(path.join(dir, "profile"), {
    executablePath: wrapper, headless: true, args: CHROMIUM_ARGS, ...options,
  });
  const close = context.close.bind(context);
  context.close = async () => { await close(); fs.rmSync(dir, { recursive: true, force: true }); };
  return context;
}
