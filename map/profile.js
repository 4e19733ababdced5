// The flight's profile: altitude over time of the kept track, each segment a
// line of its own, drawn with uPlot (uplot/, MIT), with the flight's distance,
// time in the air and highest altitude. The pointer on the plot puts a ring on
// the map where the aircraft was at that moment. uPlot loads on first opening.
import { $, load_script, load_style, view } from "./where.js";
import { kept_lines, metres_between, on_trail_change } from "./track.js";
import { convert } from "./units.js";
import { settings } from "./settings.js";

// While open, the plot follows the track at most this often.
const REFRESH_MS = 2000;

let map = null;
let plot = null;
let ring = null;
let points = [];  // per plotted index: [t, lat, lon, alt], or null between segments
let refresh_timer = 0;

export function profile_on(leaflet_map) {
  map = leaflet_map;
  on_trail_change(() => {
    if (!$("profile").hidden && !refresh_timer) refresh_timer = setTimeout(() => { refresh_timer = 0; draw(); }, REFRESH_MS);
  });
}

export async function set_profile_shown(shown) {
  $("profile").hidden = !shown;
  if (shown) {
    if (typeof uPlot !== "function") await Promise.all([load_style("uplot/uPlot.min.css"), load_script("uplot/uPlot.iife.min.js")]);
    draw();
  }
  ring?.remove();
}

// The distance (m), time (ms) and highest altitude (m) of the kept track's lines.
export function figures(lines) {
  let distance = 0, time = 0, highest = null;
  for (const line of lines) {
    time += line.at(-1)[0] - line[0][0];
    line.forEach((p, i) => {
      if (i) distance += metres_between(line[i - 1], p);
      if (p[3] !== null && (highest === null || p[3] > highest)) highest = p[3];
    });
  }
  return { distance, time, highest };
}

function draw() {
  if ($("profile").hidden || typeof uPlot !== "function") return;
  const lines = kept_lines().filter((line) => line.length);
  points = [];
  for (const line of lines) {
    // A gap between segments: a time between them without altitude.
    if (points.length) points.push(null);
    points.push(...line);
  }
  const xs = points.map((p, i) => (p ? p[0] / 1000 : (points[i - 1][0] + points[i + 1][0]) / 2000));
  const height = (m) => (m === null ? null : convert(settings.units, "height", m).value);
  const ys = points.map((p) => (p ? height(p[3]) : null));
  const { distance, time, highest } = figures(lines);
  const km = convert(settings.units, "distance", distance), top = highest === null ? null : convert(settings.units, "height", highest);
  const minutes = Math.round(time / 60000);
  $("profile-figures").textContent = `Distance ${km.value.toFixed(km.digits)} ${km.unit} · ` +
    `Time ${Math.floor(minutes / 60)} h ${String(minutes % 60).padStart(2, "0")} min · ` +
    `Highest ${top === null ? "–" : top.value.toFixed(top.digits) + " " + top.unit}`;
  const width = Math.max(200, $("profile-plot").clientWidth);
  const night = document.documentElement.dataset.theme === "night";
  const axis = { stroke: night ? "#c9d2d9" : "#1b2a36", grid: { stroke: night ? "#2c3741" : "#dde3e8" } };
  plot?.destroy();
  plot = new uPlot({
    width, height: 130, legend: { show: false }, cursor: { y: false, points: { show: false } },
    scales: { x: { time: true } },
    axes: [axis, { ...axis, label: convert(settings.units, "height", 0).unit, size: 50, labelSize: 14 }],
    series: [{}, { stroke: "#d2452f", width: 2, spanGaps: false }],
    hooks: { setCursor: [(u) => show_moment(u.cursor.idx)] },
  }, [xs, ys], $("profile-plot"));
  view.profile_points = points.length;
}

// The ring on the map where the aircraft was at plotted index `i`.
function show_moment(i) {
  const p = i === null || i === undefined ? null : points[i];
  if (!p || !map) return ring?.remove();
  ring = ring || L.circleMarker([p[1], p[2]], { radius: 8, color: "#1f5fbf", weight: 3, fill: false, interactive: false });
  ring.setLatLng([p[1], p[2]]).addTo(map);
}

// For the tests: what the plot holds, and where the ring is.
window.tavrik_profile = () => ({
  xs: plot ? Array.from(plot.data[0]) : [], ys: plot ? Array.from(plot.data[1]) : [],
  lefts: plot ? Array.from(plot.data[0], (x) => plot.valToPos(x, "x")) : [],
  ring: ring && ring._map ? [ring.getLatLng().lat, ring.getLatLng().lng] : null, figures: $("profile-figures").textContent,
});
