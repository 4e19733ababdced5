// The figures for the next waypoint of a route: the end of the route's leg
// nearest to the aircraft (on a tie the later leg, so a waypoint reached
// counts as passed), its great-circle distance and initial true bearing from
// the aircraft, and the time to it at the given ground speed. Pure: the page
// calls it with each new position.

const EARTH_RADIUS_M = 6371008.8;  // the mean radius
const RADIANS = Math.PI / 180;
// Below this ground speed (m/s, about 1 kt) the aircraft stands: no time.
const MOVING_MPS = 0.5;

function vector({ lat, lon }) {
  const [phi, lambda] = [lat * RADIANS, lon * RADIANS];
  return [Math.cos(phi) * Math.cos(lambda), Math.cos(phi) * Math.sin(lambda), Math.sin(phi)];
}
const dot = (a, b) => a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
const cross = (a, b) => [a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]];
const length = (a) => Math.sqrt(dot(a, a));
// The angle between two unit vectors, exact for small ones too.
const angle = (a, b) => Math.atan2(length(cross(a, b)), dot(a, b));

// The angle from p to the great-circle arc from a to b.
function angle_to_leg(p, a, b) {
  const normal = cross(a, b);
  const size = length(normal);
  if (size < 1e-12) return angle(p, a);
  const n = normal.map((x) => x / size);
  const off = dot(p, n);
  const foot = p.map((x, i) => x - off * n[i]);  // p's projection on the arc's plane
  if (dot(cross(a, foot), n) >= 0 && dot(cross(foot, b), n) >= 0) return Math.asin(Math.min(1, Math.abs(off)));
  return Math.min(angle(p, a), angle(p, b));
}

// Initial true bearing (0 to 360) from `from` to `to` along the great circle.
export function bearing_deg(from, to) {
  const [phi1, phi2, dlambda] = [from.lat * RADIANS, to.lat * RADIANS, (to.lon - from.lon) * RADIANS];
  const y = Math.sin(dlambda) * Math.cos(phi2);
  const x = Math.cos(phi1) * Math.sin(phi2) - Math.sin(phi1) * Math.cos(phi2) * Math.cos(dlambda);
  return (Math.atan2(y, x) / RADIANS + 360) % 360;
}

// { index, name, distance_m, bearing_deg, time_s } for `route` (route.js) and
// the aircraft at `position` ({ lat, lon }) flying `ground_speed_mps`; time_s
// is null when the aircraft stands. Null without waypoints or position.
export function next_waypoint(route, position, ground_speed_mps) {
  const waypoints = route?.waypoints ?? [];
  if (!waypoints.length || !Number.isFinite(position?.lat) || !Number.isFinite(position?.lon)) return null;
  const p = vector(position);
  let index = 0, nearest = Infinity;
  for (let leg = 0; leg + 1 < waypoints.length; leg++) {
    const off = angle_to_leg(p, vector(waypoints[leg]), vector(waypoints[leg + 1]));
    if (off <= nearest + 1e-9) [index, nearest] = [leg + 1, Math.min(off, nearest)];
  }
  const next = waypoints[index];
  const distance_m = angle(p, vector(next)) * EARTH_RADIUS_M;
  const moving = Number.isFinite(ground_speed_mps) && ground_speed_mps >= MOVING_MPS;
  return { index, name: next.name, distance_m, bearing_deg: bearing_deg(position, next),
           time_s: moving ? distance_m / ground_speed_mps : null };
}
