// The map's plan file readers (map/plan/) in each engine: a small file of each kind, written from its maker's
// document with the quirks it allows, a broken one of each; and the next waypoint's figures.
import assert from "node:assert/strict";
import { after, before, describe, test } from "node:test";
import * as h from "./harness.mjs";

const PLN = (waypoints) => `<?xml version="1.0" encoding="UTF-8"?><SimBase.Document Type="AceXML" version="1,0">
<FlightPlan.FlightPlan><Title>KSEA to KPAE</Title><FPType>VFR</FPType>${waypoints}</FlightPlan.FlightPlan></SimBase.Document>`;
const FILES = {
  "KSEA-KPAE.PLN": "\uFEFF" + PLN(`<ATCWaypoint id="KSEA"><ATCWaypointType>Airport</ATCWaypointType>
  <WorldPosition>N47° 26' 56.99",W122° 18' 34.01",+000433.00</WorldPosition></ATCWaypoint>
<ATCWaypoint id="WP1"><WorldPosition>N47°40'0",W122°20'30.5",+000000.00</WorldPosition></ATCWaypoint>
<ATCWaypoint><WorldPosition> S0° 0' 36.00" , E0° 30' 0.00" </WorldPosition><ICAO><ICAOIdent>KPAE</ICAOIdent></ICAO></ATCWaypoint>`),
  "efb-2024.pln": PLN(`<ATCWaypoint id="JOT"><ATCWaypointType>VOR</ATCWaypointType><ICAO><ICAOIdent>JOT</ICAOIdent></ICAO></ATCWaypoint>`),
  "KSEA-KPDX.fms": ["\uFEFFI", "1100 Version", "CYCLE 1710", "ADEP KSEA", "DEPRWY RW16L", "ADES KPDX", "NUMENR 4",
    "1 KSEA ADEP 433.000000 47.449889 -122.311778", "11 OLM V165 9000.000000 46.971 -122.902",
    "28 +45.90_-122.80\tDRCT 5000 45.9 -122.8", "1 KPDX ADES 31.000000 45.588722 -122.597500", ""].join("\r\n"),
  "legacy.fms": "I\n3 version\n1\n1\n1 KSEA 0.000000 47.449889 -122.311778\n3 SEA 0 47.435372 -122.309789\n",
  "short.fms": "I\n1100 Version\nCYCLE 1710\nNUMENR 3\n1 KSEA ADEP 0 47.4 -122.3\n1 KPDX ADES 0 45.5 -122.5\n",
  "track.gpx": `<?xml version="1.0"?><gpx version="1.1" creator="t" xmlns="http://www.topografix.com/GPX/1/1"><trk><name>Lap</name>
<trkseg><trkpt lat="47.1" lon="8.5"><ele>500</ele></trkpt><trkpt lat="47.2" lon="8.6"/></trkseg>
<trkseg><trkpt lat="47.3" lon="8.7"><name>END</name></trkpt></trkseg></trk></gpx>`,
  "route.gpx": `<gpx xmlns="http://www.topografix.com/GPX/1/1"><trk><trkseg><trkpt lat="2" lon="2"/></trkseg></trk>
<rte><rtept lat="1" lon="2"><name>A</name></rtept><rtept lat="91" lon="2"><name>B</name></rtept></rte></gpx>`,
  "broken.gpx": `<gpx xmlns="http://www.topografix.com/GPX/1/1"><rte><rtept lat="1" lon="2"></rte></gpx>`,
  "plan.txt": "",
};
// Aircraft over a route from (0,0) east to (0,1), then north to (1,1).
const ROUTE = { waypoints: [{ name: "A", lat: 0, lon: 0 }, { name: "B", lat: 0, lon: 1 }, { name: "C", lat: 1, lon: 1 }] };
const POSITIONS = [[0, 0.5, 100], [0, 1, 0], [2, 1, 50], [0.3, 1.05, 1], [0.05, 0.9, 1]];  // lat, lon, ground speed m/s
const DEGREE_M = 6371008.8 * Math.PI / 180;
const round = (value) => JSON.parse(JSON.stringify(value, (_, v) => typeof v === "number" ? Math.round(v * 1e6) / 1e6 : v));
const wp = (name, lat, lon, alt_m) => ({ name, lat, lon, ...(alt_m !== undefined && { alt_m }) });

for (const engine of h.ENGINES) {
  describe(`plan files in ${engine}`, () => {
    let web, browser, results;
    before(async () => {
      web = await h.start_static_server(h.ROOT);
      browser = await h.launch_browser(engine);
      const page = await browser.new_page();
      await page.goto(`${web.origin}/map/plan/`);
      results = await page.evaluate(async ({ files, route, positions }) => {
        const [{ read_plan_file }, { next_waypoint }] = await Promise.all(
          ["read_plan", "next_waypoint"].map((name) => import(`/map/plan/${name}.js`)));
        const read = (name, text) => { try { return read_plan_file(name, text); } catch (error) { return error.message; } };
        return { read: Object.fromEntries(Object.entries(files).map(([name, text]) => [name, read(name, text)])),
                 next: positions.map(([lat, lon, gs]) => next_waypoint(route, { lat, lon }, gs)) };
      }, { files: FILES, route: ROUTE, positions: POSITIONS });
    });
    after(async () => { await browser?.close(); web?.close(); });

    test("reads each kind of plan file into one form, or says what is wrong with it", () => {
      assert.deepEqual(round(results.read), {
        "KSEA-KPAE.PLN": { name: "KSEA to KPAE", waypoints: [wp("KSEA", 47.449164, -122.309447, 131.9784),
          wp("WP1", 47.666667, -122.341806), wp("KPAE", -0.01, 0.5)] },
        "KSEA-KPDX.fms": { name: "KSEA to KPDX", waypoints: [wp("KSEA", 47.449889, -122.311778, 131.9784),
          wp("OLM", 46.971, -122.902, 2743.2), wp("+45.90_-122.80", 45.9, -122.8, 1524), wp("KPDX", 45.588722, -122.5975, 9.4488)] },
        "legacy.fms": { waypoints: [wp("KSEA", 47.449889, -122.311778), wp("SEA", 47.435372, -122.309789)] },
        "track.gpx": { name: "Lap", waypoints: [wp("WP1", 47.1, 8.5, 500), wp("WP2", 47.2, 8.6), wp("END", 47.3, 8.7)] },
        "efb-2024.pln": "waypoint 1 (JOT) has no <WorldPosition>: the map needs each waypoint's position, " +
                        "and this plan names some only (as MSFS 2024's EFB may save them)",
        "short.fms": "NUMENR announces 3 waypoints, the file lists 2",
        "route.gpx": "rtept 2 (B): latitude 91 is not one",
        "broken.gpx": "not a GPX file: the XML in it is broken",
        "plan.txt": "not a plan file the map reads: .pln (MSFS), .fms (X-Plane) or .gpx",
      });
    });

    test("the next waypoint: the end of the nearest leg, its distance, bearing and time", () => {
      const next = (index, name, degrees, bearing_deg, time_s) => ({ index, name, distance_m: degrees * DEGREE_M, bearing_deg, time_s });
      assert.deepEqual(round(results.next.slice(0, 3)), round([next(1, "B", 0.5, 90, 0.5 * DEGREE_M / 100),
        next(2, "C", 1, 0, null),               // a waypoint reached is passed; standing: no time
        next(2, "C", 1, 180, DEGREE_M / 50)]));  // beyond the last, it stays the next
      assert.deepEqual(results.next.slice(3).map((n) => n.name), ["C", "B"]);  // near B on the leg to C; before B
    });
  });
}
