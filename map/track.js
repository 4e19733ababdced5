// The trail: the flight's track that the bridge keeps (/track), drawn as red
// lines, extended from the stream as the bridge extends its track. Also the
// kept points themselves, [t, lat, lon, alt] per line, for the profile.
import { bridge_url, fetch_text, is_number, view } from "./where.js";

// A whole day of track is a few MiB: allow it time on a slow network.
const TRACK_TIMEOUT_MS = 20000;
// The trail: at most the bridge's whole track (a day at one point a second),
// in polylines of TRAIL_CHUNK points so that a new point redraws one short
// line, not the whole trail.
const TRAIL_LIMIT = 86400;
const TRAIL_CHUNK = 250;
// The bridge's live window: data this far apart in time starts a new segment.
export const LIVE_WINDOW_MS = 3000;
// Like the bridge: a step faster than any aircraft flies (a new flight, a
// relocation, one bad frame) is no flight and starts a new line; steps closer
// than one 5 Hz sample in time count as that far apart.
const JUMP_SPEED = 10000;  // m/s
const JUMP_MIN_INTERVAL_MS = 200;
const EARTH_RADIUS_M = 6371008.8;
const TRAIL_STYLE = { color: "#d2452f", weight: 2.5, opacity: 0.9, interactive: false };

// line_id: the bridge's id of the newest line's segment (null: a line begun
// from the stream); broken: the data stopped since the newest point; kept:
// the points per line; changed: polylines to redraw; listeners: told after
// each batch of new points.
const trail = { group: null, chunks: [], kept: [], line_id: null, broken: true, changed: new Set(), listeners: [] };
let map = null;

export function draw_trail_on(leaflet_map) {
  map = leaflet_map;
  trail.group = L.layerGroup().addTo(map);
}

export const on_trail_change = (listener) => trail.listeners.push(listener);
export const kept_lines = () => trail.kept;

// The bridge keeps the flight's track; the trail draws it. When the page
// opens, and after every gap in what it received (a reconnection, the way
// back from polling, 📡 on again), it asks for the points after the newest it
// has drawn. Snapshots that arrive meanwhile wait, in order, and follow them.
let track_behind = true;
let catching_up = false;
const waiting = [];

export function mark_track_behind() { track_behind = true; }

// A snapshot from the stream or a poll.
export function take_snapshot(s) {
  if (track_behind) catch_up_track();
  if (catching_up) waiting.push(s); else add_to_trail(s);
  redraw_trail();
}

async function catch_up_track() {
  if (catching_up) return;
  catching_up = true;
  track_behind = false;
  const since = view.last_t;
  const text = await fetch_text(bridge_url(since === null ? "/track" : "/track?since=" + since), TRACK_TIMEOUT_MS);
  let track = null;
  try { track = JSON.parse(text); } catch (error) { track = null; }
  if (track && Array.isArray(track.segments)) draw_track(track.segments);
  catching_up = false;
  for (const snapshot of waiting.splice(0)) add_to_trail(snapshot);
  redraw_trail();
  // No aircraft has set the view yet (the simulator is not live): show the flight kept.
  if (map && !map._loaded && trail.chunks.length) map.fitBounds(trail.group.getLayers().map((c) => c.getBounds())
    .reduce((all, bounds) => all.extend(bounds)), { maxZoom: 12 });
}

// {"segments":[{"id":0,"points":[[t,lat,lon,alt],...]},...]}: one line per
// segment. The first continues the newest line if it is the same segment (or,
// when that line began from the stream, if it follows within the live window).
function draw_track(segments) {
  segments.forEach((segment, k) => {
    const points = (Array.isArray(segment && segment.points) ? segment.points : [])
      .filter((p) => Array.isArray(p) && is_number(p[0]) && is_number(p[1]) && is_number(p[2]));
    if (!points.length) return;
    const continues = k === 0 && view.last_t !== null &&
      (trail.line_id === null ? points[0][0] - view.last_t < LIVE_WINDOW_MS : segment.id === trail.line_id);
    points.forEach(([t, lat, lon, alt], i) => add_trail_point(t, lat, lon, alt, i === 0 && !continues));
    trail.line_id = segment.id;
  });
}

// A snapshot: a live position extends the trail as the bridge extends its
// track; "not live" ends the line.
function add_to_trail(s) {
  if (s.live !== true) trail.broken = true;
  if (s.live !== true || !is_number(s.lat) || !is_number(s.lon) || !is_number(s.t)) return;
  const last = trail.kept.at(-1)?.at(-1);
  const jumped = last && metres_between(last, [s.t, s.lat, s.lon]) >
    JUMP_SPEED * Math.max(s.t - last[0], JUMP_MIN_INTERVAL_MS) / 1000;
  const new_line = view.last_t === null || trail.broken || s.t - view.last_t >= LIVE_WINDOW_MS || jumped;
  if (new_line) trail.line_id = null;
  add_trail_point(s.t, s.lat, s.lon, s.alt, new_line);
}

// One point of the track, newer than every point drawn; new_line starts a
// line of its own. Like the bridge, the trail keeps one point a second: a
// newer one in the same second replaces it. Polylines change in place and are
// redrawn once by redraw_trail(), after a whole batch of points.
function add_trail_point(t, lat, lon, alt, new_line) {
  if (view.last_t !== null && t <= view.last_t) return;
  const same_second = !new_line && view.last_t !== null && Math.floor(t / 1000) === Math.floor(view.last_t / 1000);
  view.last_t = t;
  trail.broken = false;
  const point = [t, lat, lon, is_number(alt) ? alt : null];
  if (same_second && trail.kept.length) trail.kept.at(-1)[trail.kept.at(-1).length - 1] = point;
  else if (new_line || !trail.kept.length) trail.kept.push([point]);
  else trail.kept.at(-1).push(point);
  if (!map) return;
  let chunk = trail.chunks[trail.chunks.length - 1];
  if (same_second && chunk) {
    const points = chunk.getLatLngs();
    points[points.length - 1] = L.latLng(lat, lon);
    trail.changed.add(chunk);
    return;
  }
  if (!chunk || new_line || chunk.getLatLngs().length >= TRAIL_CHUNK) {
    // A new polyline of the same line starts where the previous one ended.
    const joined = chunk && !new_line ? [chunk.getLatLngs().at(-1)] : [];
    chunk = L.polyline(joined, TRAIL_STYLE).addTo(trail.group);
    chunk.starts_line = !joined.length;
    chunk.own_points = 0;  // not counting the point shared with the previous polyline
    trail.chunks.push(chunk);
  }
  chunk.getLatLngs().push(L.latLng(lat, lon));
  trail.changed.add(chunk);
  chunk.own_points += 1;
  view.trail_points += 1;
  while (view.trail_points > TRAIL_LIMIT && trail.chunks.length > 1) {
    const oldest = trail.chunks.shift();
    trail.group.removeLayer(oldest);
    trail.changed.delete(oldest);
    view.trail_points -= oldest.own_points;
    trail.kept[0].splice(0, oldest.own_points);
    if (!trail.kept[0].length) trail.kept.shift();
  }
}

function redraw_trail() {
  for (const chunk of trail.changed) chunk.setLatLngs(chunk.getLatLngs());
  const changed = trail.changed.size > 0;
  trail.changed.clear();
  view.trail_lines = trail.chunks.filter((chunk, i) => chunk.starts_line || i === 0).length;
  if (changed) for (const listener of trail.listeners) listener();
}

// The trail as drawn, one [[lat, lon], ...] per line (for tests and the benchmark).
export function trail_lines() {
  const lines = [];
  for (const chunk of trail.chunks) {
    const points = chunk.getLatLngs().map((p) => [p.lat, p.lng]);
    if (chunk.starts_line || !lines.length) lines.push(points); else lines[lines.length - 1].push(...points.slice(1));
  }
  return lines;
}
window.tavrik_trail = trail_lines;

// The great-circle distance (m) between two points [t, lat, lon, …].
export function metres_between(a, b) {
  const rad = Math.PI / 180, dlat = (b[1] - a[1]) * rad, dlon = (b[2] - a[2]) * rad;
  const h = Math.sin(dlat / 2) ** 2 + Math.cos(a[1] * rad) * Math.cos(b[1] * rad) * Math.sin(dlon / 2) ** 2;
  return 2 * EARTH_RADIUS_M * Math.asin(Math.min(1, Math.sqrt(h)));
}
