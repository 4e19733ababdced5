// The one form every plan reader returns, and the checks they share:
// { name?, waypoints: [{ name, lat, lon, alt_m? }] }, latitude and longitude
// in degrees, altitude in metres. A reader throws an Error whose message says
// what was wrong; the page shows it beside the file's name.

// What the bridge keeps of a route (its reader refuses more), so that every
// route read here can be handed to it as it is.
export const MAX_WAYPOINTS = 1000;
export const MAX_NAME_BYTES = 64;
const ALTITUDES_M = [-1000, 30000];  // beyond them an altitude is left out

export const FT_TO_M = 0.3048;

const UTF8 = new TextEncoder();

// `text` without control characters and surrounding white space, cut to at
// most MAX_NAME_BYTES bytes of UTF-8 at a character's end.
export function clean_name(text) {
  let name = "", bytes = 0;
  for (const character of String(text ?? "").replace(/[\u0000-\u001f\u007f-\u009f]+/g, " ").trim()) {
    bytes += UTF8.encode(character).length;
    if (bytes > MAX_NAME_BYTES) break;
    name += character;
  }
  return name.trim();
}

// A number from a file's text, or NaN unless the whole text is one.
export function number_of(text) {
  const trimmed = String(text ?? "").trim();
  return /^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$/.test(trimmed) ? Number(trimmed) : NaN;
}

// The route from a reader's points ({ name, lat, lon, alt_m? }, `what` naming
// one in an error: "waypoint", "rtept"): each position checked, each name
// cleaned (an empty one becomes "WP<n>"), an altitude the bridge would refuse left out.
export function make_route(name, points, what = "waypoint") {
  if (points.length === 0) throw new Error(`no ${what} in the file`);
  if (points.length > MAX_WAYPOINTS)
    throw new Error(`${points.length} ${what}s: a route on the map has at most ${MAX_WAYPOINTS}`);
  const waypoints = points.map((point, i) => {
    const label = `${what} ${i + 1}${point.name ? ` (${clean_name(point.name)})` : ""}`;
    if (!(Math.abs(point.lat) <= 90)) throw new Error(`${label}: latitude ${point.lat} is not one`);
    if (!(Math.abs(point.lon) <= 180)) throw new Error(`${label}: longitude ${point.lon} is not one`);
    const waypoint = { name: clean_name(point.name) || `WP${i + 1}`, lat: point.lat, lon: point.lon };
    if (point.alt_m >= ALTITUDES_M[0] && point.alt_m <= ALTITUDES_M[1]) waypoint.alt_m = point.alt_m;
    return waypoint;
  });
  const route_name = clean_name(name);
  return route_name ? { name: route_name, waypoints } : { waypoints };
}
