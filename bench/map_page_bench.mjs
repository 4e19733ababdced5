// The example map page's cost beside the simulator: fed at 5 Hz in headless
// Chromium, how busy its main thread is per minute, and its JS heap after an
// hour of flight fed faster than real time (and after ten, with --hours 10);
// then a page opened on a bridge that holds a whole day of track: how long it
// takes to draw it, and the heap that costs. A fake bridge on 127.0.0.1 serves
// the page at /map and feeds it, and tiles come from a local tile server, so
// nothing leaves the machine. Prints one JSON line per figure, as
// bench/run.sh collects them.
//   node bench/map_page_bench.mjs [--seconds 60] [--hours 1]
// Needs tests/browser's node_modules (bash tests/browser/run.sh installs them).
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import * as h from "../tests/browser/harness.mjs";

const arg = (name, fallback) => {
  const i = process.argv.indexOf(`--${name}`);
  return i > 0 ? Number(process.argv[i + 1]) : fallback;
};
const SECONDS = arg("seconds", 60);
// The bridge's own thinning (bench/track_thin, built by bench/run.sh) makes
// what the fake bridge answers the page's /track/thin with.
const THIN_TOOL = process.env.TAVRIK_TRACK_THIN ?? path.join(h.ROOT, "build-bench/bench/track_thin");
const thinned = (points) => {
  const track = JSON.parse(execFileSync(THIN_TOOL, { input: points.map((p) => p.join(" ")).join("\n"), maxBuffer: 1 << 28 }));
  return { track, count: track.segments.reduce((n, s) => n + s.points.length, 0), newest: points.at(-1)[0] };
};
// Drawn: the trail holds every point served, up to the newest.
const drawn = (page, { count, newest }) =>
  page.evaluate(([n, t]) => window.tavrik.trail_points >= n && window.tavrik.last_t === t, [count, newest]);
const HOURS = arg("hours", 1);
const HZ = 5;

// A circuit of 3 km radius around Zurich at 60 m/s, climbing and sinking.
function snapshot(i) {
  const t = Date.UTC(2026, 11, 8, 12) + i * 1000 / HZ;
  const radius = 3000, speed = 60, angle = (i / HZ) * speed / radius;
  const lat = 47.458 + (radius * Math.sin(angle)) / 111195;
  const lon = 8.548 + (radius * Math.cos(angle)) / (111195 * Math.cos(47.458 * Math.PI / 180));
  const hdg = ((-angle * 180 / Math.PI) % 360 + 360) % 360;
  return { live: true, sim: "xp", t, lat, lon, alt: 600 + 300 * Math.sin(angle / 3), hdg, gs: speed, ias: 120,
           vs: Math.round(500 * Math.cos(angle / 3)), agl: 300 };
}

const metrics = async (cdp) => Object.fromEntries((await cdp.send("Performance.getMetrics")).metrics.map((m) => [m.name, m.value]));
const heap = async (cdp) => {
  await cdp.send("HeapProfiler.collectGarbage");
  return (await metrics(cdp)).JSHeapUsedSize;
};
const line = (name, value, unit, target, ok, yardstick = null) =>
  console.log(JSON.stringify({ name, value, unit, target, ok, yardstick }));

const fake = await h.start_fake_bridge();
const tiles = await h.start_tile_server();
const web = await h.start_static_server(h.MAP);
const browser = await h.launch_chromium();
const map_url = `${fake.url}/map?tiles=${encodeURIComponent(tiles.template)}`;
try {
  const page = await browser.newPage();
  const cdp = await browser.newCDPSession(page);
  await cdp.send("Performance.enable");
  await page.goto(map_url);
  await h.wait_for("the page's stream", () => fake.streams() > 0);
  const received = () => page.evaluate(() => window.tavrik.received);
  let i = 0;

  // Real time: one snapshot every 200 ms, after a few seconds to settle.
  const real_time = async (seconds) => {
    const end = Date.now() + seconds * 1000;
    for (let next = Date.now(); Date.now() < end; next += 1000 / HZ) {
      fake.send(snapshot(i++));
      await h.sleep(Math.max(0, next + 1000 / HZ - Date.now()));
    }
  };
  // The costly way to fly it: the symbol gliding, follow mode, the map turned to the heading.
  await page.evaluate(() => document.getElementById("track-up").click());
  await real_time(5);
  const start = await metrics(cdp), heap_start = await heap(cdp);
  await real_time(SECONDS);
  const end = await metrics(cdp);
  const per_minute = (name) => ((end[name] - start[name]) / (end.Timestamp - start.Timestamp)) * 60 * 1000;
  line(`map page at 5 Hz, gliding, following, track up: main-thread busy time (TaskDuration), ${SECONDS} s`, +per_minute("TaskDuration").toFixed(0),
       "ms per minute", "< 3000 ms per minute (5 % of one core)", per_minute("TaskDuration") < 3000,
       `script ${per_minute("ScriptDuration").toFixed(0)} ms, layout ${per_minute("LayoutDuration").toFixed(0)} ms, ` +
       `style ${per_minute("RecalcStyleDuration").toFixed(0)} ms per minute`);

  // The data stopped: nothing moves, so nothing should be drawn.
  const quiet = 10;
  // As the bridge does, the newest snapshot again every second (its stream's keep-alive).
  const same = snapshot(i - 1);
  const again = async (seconds) => { for (let k = 0; k < seconds; k++) { fake.send(same); await h.sleep(1000); } };
  await again(2);  // the last glide and the tiles it asked for
  const stopped_start = await metrics(cdp), frames_start = (await page.evaluate(() => window.tavrik.frames));
  await again(quiet);
  const stopped_end = await metrics(cdp), frames_end = (await page.evaluate(() => window.tavrik.frames));
  const stopped = ((stopped_end.TaskDuration - stopped_start.TaskDuration) / (stopped_end.Timestamp - stopped_start.Timestamp)) * 60000;
  line(`map page with the data stopped: main-thread busy time, ${quiet} s`, +stopped.toFixed(0), "ms per minute",
       "none (no frame drawn)", frames_end === frames_start,
       `${frames_end - frames_start} frames drawn; the same snapshot each second, as the bridge sends it`);
  await page.evaluate(() => document.getElementById("track-up").click());

  // Traffic: 200 aircraft circling ours 1 to 11 km out at 60 m/s (one in ten parked), where they are
  // when the page asks for /traffic; ours parked, north up, so the rest is the traffic's cost.
  const TRAFFIC = 200, traffic_seconds = Math.max(10, SECONDS);
  const traffic_at = (ms) => ({ aircraft: Array.from({ length: TRAFFIC }, (_, k) => {
    const radius = 1000 + k * 50, parked = k % 10 === 0, angle = k * 2.4 + (parked ? 0 : (ms / 1000) * 60 / radius);
    return { id: `xp-${(0x400000 + k).toString(16)}`, t: ms, lat: same.lat + (radius * Math.sin(angle)) / 111195,
             lon: same.lon + (radius * Math.cos(angle)) / (111195 * Math.cos(same.lat * Math.PI / 180)),
             alt: parked ? 430 : 500 + (k % 30) * 60, hdg: ((-angle * 180 / Math.PI) % 360 + 360) % 360,
             gs: parked ? 0 : 60, vs: (k % 3 - 1) * 700, ground: parked, callsign: `TFC${k}`, type: "C172" };
  }) });
  const busy = async (seconds) => {
    const from = await metrics(cdp);
    await again(seconds);
    const to = await metrics(cdp);
    return ((to.TaskDuration - from.TaskDuration) / (to.Timestamp - from.Timestamp)) * 60000;
  };
  const no_traffic_busy = await busy(traffic_seconds);  // the same, with the answers empty
  Object.defineProperty(fake, "traffic", { get: () => traffic_at(Date.now()), configurable: true });
  await again(3);  // the first answers draw the symbols
  const traffic_from = fake.requests.length;
  const traffic_busy = await busy(traffic_seconds);
  const asked = fake.requests.slice(traffic_from).filter((r) => r.target === "/traffic").length;
  const symbols = await page.evaluate(() => window.tavrik_traffic().aircraft.length);
  const answer_bytes = JSON.stringify(traffic_at(Date.now())).length;
  Object.defineProperty(fake, "traffic", { value: { aircraft: [] }, writable: true, configurable: true });
  line(`map page with ${TRAFFIC} traffic aircraft at its pace, ours parked: main-thread busy time, ${traffic_seconds} s`,
       +traffic_busy.toFixed(0), "ms per minute", "< 3000 ms per minute (5 % of one core)", traffic_busy < 3000 && symbols === TRAFFIC,
       `${symbols} symbols; /traffic asked ${asked} times (${(asked * 60 / traffic_seconds).toFixed(0)} a minute), ` +
       `${(answer_bytes / 1024).toFixed(0)} KiB an answer; the same without traffic ${no_traffic_busy.toFixed(0)} ms per minute`);

  // Faster than real time: the rest of each hour in bursts, as fast as the page takes them.
  const heaps = [];
  let first_hour;
  for (let hour = 1; hour <= HOURS; hour++) {
    const until = hour * 3600 * HZ;
    while (i < until) {
      for (const stop = Math.min(until, i + 100); i < stop;) fake.send(snapshot(i++));
      await h.wait_for("the page to catch up", async () => (await received()) >= i - 200, 60000, 20);
    }
    await h.wait_for("the page to take the hour", async () => (await received()) >= i, 60000, 50);
    heaps.push(await heap(cdp));
    if (hour === 1) first_hour = await page.evaluate(() => window.tavrik);
  }
  const last_hour = await page.evaluate(() => window.tavrik);
  const mib = (bytes) => +(bytes / 1048576).toFixed(2);
  line("map page JS heap after 1 h of flight at 5 Hz (after GC)", mib(heaps[0]), "MiB", "< 32 MiB", heaps[0] < 32 * 1048576,
       `at the start ${mib(heap_start)} MiB; ${first_hour.trail_points} trail points drawn`);
  if (HOURS > 1) {
    line(`map page JS heap after ${HOURS} h (after GC)`, mib(heaps.at(-1)), "MiB", "< 64 MiB",
         heaps.at(-1) < 64 * 1048576, `hourly: ${heaps.map(mib).join(", ")} MiB; ${last_hour.trail_points} trail points drawn`);
  }
  await page.close();

  // A day of track at the bridge (one point a second, as it keeps them), drawn
  // by a page that opens now.
  const DAY = 86400;
  const day = Array.from({ length: DAY }, (_, k) => {
    const s = snapshot(k * HZ);
    return [s.t, s.lat, s.lon, Math.round(s.alt * 100) / 100];
  });
  const day_thin = thinned(day);
  fake.track = day_thin.track;
  const opened = await browser.newPage();
  const opened_cdp = await browser.newCDPSession(opened);
  await opened_cdp.send("Performance.enable");
  const started = Date.now();
  await opened.goto(map_url);
  await h.wait_for("the day drawn", () => drawn(opened, day_thin), 120000, 20);
  const drawn_ms = Date.now() - started;
  const heap_day = await heap(opened_cdp);
  line("map page opened on a day of track (86,400 points at the bridge): time until drawn", drawn_ms, "ms",
       "< 3000 ms", drawn_ms < 3000, `from navigation, Leaflet loaded from /map/ and /track/thin fetched (${day_thin.count} points)`);
  line("map page JS heap with a day of track drawn (after GC)", mib(heap_day), "MiB", "< 64 MiB",
       heap_day < 64 * 1048576, null);
  await opened.close();

  // Ten hours of track, opened on a CPU slowed 4x (as a mid-range tablet): time until drawn, bytes over the wire.
  const TEN = 36000;
  const ten_thin = thinned(day.slice(0, TEN));
  fake.track = ten_thin.track;
  const tablet = await browser.newPage();
  const tablet_cdp = await browser.newCDPSession(tablet);
  await tablet_cdp.send("Emulation.setCPUThrottlingRate", { rate: 4 });
  await tablet_cdp.send("Network.enable");
  let bytes = 0;
  tablet_cdp.on("Network.loadingFinished", (event) => { bytes += event.encodedDataLength; });
  const opened_at = Date.now();
  await tablet.goto(map_url);
  await h.wait_for("ten hours drawn", () => drawn(tablet, ten_thin), 120000, 20);
  const ten_ms = Date.now() - opened_at;
  line("map page opened on 10 h of track (36,000 points), CPU slowed 4x: time until drawn", ten_ms, "ms", "< 1500 ms",
       ten_ms < 1500, `${ten_thin.count} points from /track/thin`);
  line("map page opened on 10 h of track: bytes over the wire", +(bytes / 1e6).toFixed(2), "MB", "< 1 MB", bytes < 1e6,
       "page, modules, Leaflet (none gzipped), /track/thin and the stream; tiles from the local test server included");
  const built_in = ["index.html", ...fs.readdirSync(h.MAP).filter((f) => f.endsWith(".js"))].concat(
    ["leaflet/leaflet.js", "leaflet/leaflet.css", "qrcode-generator/qrcode.js", "uplot/uPlot.iife.min.js", "uplot/uPlot.min.css"])
    .reduce((sum, f) => sum + fs.statSync(path.join(h.MAP, f)).size, 0);
  line("map page built into the program: bytes of its files (before gzip)", +(built_in / 1024).toFixed(0), "KiB", null, true,
       "index.html, its modules and the carried libraries, without Leaflet's images");
} finally {
  await browser.close();
  web.close();
  await tiles.stop();
  await fake.stop();
}
