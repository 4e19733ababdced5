// The route on the map: one plan for every screen, kept by the bridge. A file
// loaded here (the button, or dropped on the map) is drawn at once and handed
// to the bridge (PUT /plan), which only this PC's own page may do; every page
// asks for the bridge's route every few seconds and redraws when it changed.
// The panel shows the next waypoint's distance, bearing and time.
import { $, bridge_url, fetch_text, is_number, view } from "./where.js";
import { add_overlay } from "./basemap.js";
import { read_plan_file } from "./plan/read_plan.js";
import { next_waypoint } from "./plan/next_waypoint.js";
import { convert } from "./units.js";
import { settings } from "./settings.js";

const POLL_MS = 5000;
const FETCH_TIMEOUT_MS = 4000;

let layer = null;
let bridge_text = null;  // the newest GET /plan body: an unchanged one is not redrawn
let route = null;        // { name?, waypoints: [{ name, lat, lon, alt_m? }] } or null
let markers = [];

const escape_html = (text) => text.replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);

// The bridge's form ("alt" in metres) from the readers' (alt_m), and back.
function to_bridge(r) {
  const waypoints = r.waypoints.map(({ name, lat, lon, alt_m }) => (is_number(alt_m) ? { name, lat, lon, alt: alt_m } : { name, lat, lon }));
  return r.name ? { name: r.name, waypoints } : { waypoints };
}
function from_bridge(text) {
  let plan;
  try { plan = JSON.parse(text); } catch (error) { return undefined; }
  if (!Array.isArray(plan?.waypoints)) return undefined;
  if (!plan.waypoints.length) return null;
  const waypoints = plan.waypoints.filter((w) => is_number(w?.lat) && is_number(w?.lon))
    .map((w) => ({ name: String(w.name ?? ""), lat: w.lat, lon: w.lon, ...(is_number(w.alt) ? { alt_m: w.alt } : {}) }));
  return { name: typeof plan.name === "string" ? plan.name : undefined, waypoints };
}

function note(text, bad = false) {
  const element = $("route-note");
  element.textContent = text;
  element.classList.toggle("bad", bad);
}

function draw(r) {
  route = r;
  view.route = r;
  markers = [];
  if (!layer) return show_next();
  layer.clearLayers();
  if (r) {
    L.polyline(r.waypoints.map((w) => [w.lat, w.lon]), { color: "#c0398a", weight: 3, opacity: 0.85, interactive: false }).addTo(layer);
    const last = r.waypoints.length - 1;
    markers = r.waypoints.map((w, i) => {
      const kind = i === 0 ? " departure" : i === last ? " destination" : "";
      const icon = L.divIcon({ className: "route-point" + kind, iconSize: [12, 12], iconAnchor: [6, 6],
                               html: `<div class="route-upright"><span class="route-label">${escape_html(w.name)}</span></div>` });
      return L.marker([w.lat, w.lon], { icon, keyboard: false, interactive: false }).addTo(layer);
    });
  }
  show_next();
}

// The next waypoint's figures in the panel, and its mark on the map.
export function show_next(s = view.live ? view.snapshot : null) {
  const next = route && s ? next_waypoint(route, s, s.gs) : null;
  markers.forEach((m, i) => m.getElement()?.classList.toggle("next", i === next?.index));
  if (!next) return void ($("next-wp").textContent = "–");
  const distance = convert(settings.units, "distance", next.distance_m);
  const minutes = next.time_s === null ? null : Math.round(next.time_s / 60);
  const time = minutes === null ? "–" : minutes < 60 ? `${minutes} min` : `${Math.floor(minutes / 60)} h ${String(minutes % 60).padStart(2, "0")}`;
  const bearing = String(Math.round(next.bearing_deg) % 360).padStart(3, "0");
  $("next-wp").textContent = `${next.name} ${distance.value.toFixed(distance.digits)} ${distance.unit} ${bearing}° ${time}`;
}

async function send(method, body) {
  try {
    const response = await fetch(bridge_url("/plan"), { method, body, cache: "no-store",
                                                         headers: body ? { "Content-Type": "application/json" } : {} });
    const text = await response.text();
    return response.ok ? { text } : { error: response.status === 403 ? "only this PC's own page may set it" : `${response.status} ${text.trim()}` };
  } catch (error) {
    return { error: "the bridge did not answer" };
  }
}

// A file from the button or a drop: drawn here, then shared through the bridge.
async function load_file(file) {
  let r;
  try { r = read_plan_file(file.name, await file.text()); } catch (error) {
    return note(`${file.name}: ${error.message}. The map is unchanged.`, true);
  }
  draw(r);
  const count = `${r.waypoints.length} waypoint${r.waypoints.length === 1 ? "" : "s"}`;
  const answer = await send("PUT", JSON.stringify(to_bridge(r)));
  if (answer.text !== undefined && from_bridge(answer.text) !== undefined) {
    bridge_text = answer.text;
    draw(from_bridge(answer.text));
    note(`${file.name}: ${count}, shown on every screen.`);
  } else {
    // Kept here until the bridge's route changes.
    bridge_text = await fetch_text(bridge_url("/plan"), FETCH_TIMEOUT_MS);
    note(`${file.name}: ${count}, shown on this page only: not shared (${answer.error ?? "an answer it could not read"}).`, true);
  }
}

async function clear() {
  draw(null);
  const answer = await send("DELETE");
  if (answer.text !== undefined) bridge_text = answer.text;
  note(answer.error ? `Cleared on this page only: ${answer.error}.` : "Route cleared on every screen.", Boolean(answer.error));
}

async function poll() {
  if (document.visibilityState !== "visible" || !view.live_position) return;
  const text = await fetch_text(bridge_url("/plan"), FETCH_TIMEOUT_MS);
  if (text === null || text === bridge_text) return;
  const r = from_bridge(text);
  if (r === undefined) return;
  bridge_text = text;
  draw(r);
}

export function start_plan() {
  $("load-route").onclick = () => $("route-file").click();
  $("route-file").onchange = (event) => {
    const file = event.target.files[0];
    event.target.value = "";
    if (file) load_file(file);
  };
  $("clear-route").onclick = clear;
  const box = $("map-box");
  box.addEventListener("dragover", (event) => event.preventDefault());
  box.addEventListener("drop", (event) => {
    event.preventDefault();
    const file = event.dataTransfer?.files[0];
    if (file) load_file(file);
  });
  document.addEventListener("visibilitychange", poll);
  setInterval(poll, POLL_MS);
  poll();
}

// Once the map is there: the route's layer, on by default, in the layer switch.
export function plan_on(map) {
  layer = L.layerGroup().addTo(map);
  add_overlay("Route", layer);
  draw(route);
  // For the tests: the line's points, the labels and whether the layer shows.
  window.tavrik_route = () => ({
    shown: map.hasLayer(layer),
    line: layer.getLayers().filter((l) => l instanceof L.Polyline).flatMap((l) => l.getLatLngs().map((p) => [p.lat, p.lng])),
    names: [...map.getContainer().querySelectorAll(".route-label")].map((e) => e.textContent),
  });
}
