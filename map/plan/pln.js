// MSFS flight plans (.pln, MSFS 2020 and 2024): the XML document
// <SimBase.Document><FlightPlan.FlightPlan> whose <ATCWaypoint id="…"> elements
// are the route in flying order, each placed by its <WorldPosition> text,
// degrees, minutes and seconds with the altitude in feet:
//   N47° 26' 56.99",W122° 18' 34.01",+000433.00
import { FT_TO_M, make_route } from "./route.js";
import { child_text, children, parse_xml } from "./xml.js";

const NUMBER = String.raw`(\d+(?:\.\d+)?)`;
const ANGLE = String.raw`\s*${NUMBER}\s*°\s*${NUMBER}\s*'\s*${NUMBER}\s*"\s*`;
const WORLD_POSITION = new RegExp(String.raw`^\s*([NS])${ANGLE},\s*([EW])${ANGLE}(?:,\s*([+-]?\d+(?:\.\d+)?)\s*)?$`);

// Degrees from the hemisphere letter and d, m, s texts; NaN for minutes or
// seconds of 60 or more.
function degrees(hemisphere, d, m, s) {
  const [minutes, seconds] = [Number(m), Number(s)];
  if (minutes >= 60 || seconds >= 60) return NaN;
  const value = Number(d) + minutes / 60 + seconds / 3600;
  return hemisphere === "S" || hemisphere === "W" ? -value : value;
}

// { lat, lon, alt_m? } of a WorldPosition text, or null. An altitude of 0 is
// how the files say "none".
export function world_position(text) {
  const m = WORLD_POSITION.exec(text);
  if (!m) return null;
  const position = { lat: degrees(m[1], m[2], m[3], m[4]), lon: degrees(m[5], m[6], m[7], m[8]) };
  const feet = Number(m[9]);
  if (m[9] !== undefined && feet !== 0) position.alt_m = feet * FT_TO_M;
  return position;
}

export function read_pln(text) {
  const plan = parse_xml(text, "MSFS flight plan").getElementsByTagName("FlightPlan.FlightPlan")[0];
  if (!plan) throw new Error("not an MSFS flight plan: it has no <FlightPlan.FlightPlan>");
  const points = children(plan, "ATCWaypoint").map((waypoint, i) => {
    const name = waypoint.getAttribute("id") || child_text(children(waypoint, "ICAO")[0], "ICAOIdent");
    const label = `waypoint ${i + 1}${name ? ` (${name})` : ""}`;
    const text = child_text(waypoint, "WorldPosition");
    if (!text) {
      throw new Error(`${label} has no <WorldPosition>: the map needs each waypoint's position, and this plan ` +
                      "names some only (as MSFS 2024's EFB may save them)");
    }
    const position = world_position(text);
    if (!position) throw new Error(`${label}: the position "${text}" is not N/S d° m' s", E/W d° m' s", altitude`);
    return { name, ...position };
  });
  return make_route(child_text(plan, "Title"), points);
}
