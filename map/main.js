// The live map: starts the parts and joins them. Each snapshot from the
// connection goes to the trail, the panel and the aircraft; the buttons set
// the user's choices, which settings.js keeps.
import { $, FROM_BRIDGE, bridge_url, load_script, load_style, is_number, view } from "./where.js";
import { choose, settings } from "./settings.js";
import { connect, set_live_position } from "./connection.js";
import { draw_trail_on, mark_track_behind, on_trail_change, take_snapshot } from "./track.js";
import { make_map, set_night_tiles } from "./basemap.js";
import { label, place_aircraft_on, recentre, redraw, show_aircraft } from "./aircraft.js";
import { set_track_up, turn_map } from "./turn.js";
import { render_status, show_track_size, show_values } from "./panel.js";
import { profile_on, set_profile_shown } from "./profile.js";
import { show_tablet_addresses } from "./tablet.js";
import { UNIT_SYSTEMS } from "./units.js";
import { plan_on, show_next, start_plan } from "./plan_layer.js";
import { traffic_on } from "./traffic.js";

let map = null;

// One snapshot: {"live":false} or {"live":true,"sim":..,"t":..,"lat":..,...}.
function receive(text) {
  let snapshot;
  try { snapshot = JSON.parse(text); } catch (error) { return; }
  if (!snapshot || typeof snapshot !== "object") return;
  view.reachable = true;
  view.snapshot = snapshot;
  view.received += 1;
  view.last_received_at = Date.now();
  view.live = snapshot.live === true && is_number(snapshot.lat) && is_number(snapshot.lon);
  take_snapshot(snapshot);
  show_values(view.live ? snapshot : null);
  show_next();
  show_aircraft(snapshot);
  render_status();
}

connect({ receive, gap: mark_track_behind, changed() {
  if (!view.live) show_values(null);
  render_status();
} });
on_trail_change(show_track_size);

function set_follow(on) {
  view.follow = on;
  $("follow").setAttribute("aria-pressed", String(on));
  if (!map) return;
  // Zooming while following keeps the aircraft where it is: in the middle.
  const around = on || settings.track_up ? "center" : true;
  map.options.scrollWheelZoom = map.options.doubleClickZoom = map.options.touchZoom = around;
  if (on) recentre();
}

function choose_track_up(on) {
  choose("track_up", on);
  $("track-up").setAttribute("aria-pressed", String(on));
  set_track_up(on);
  set_follow(view.follow);
  redraw();
}

// Night: a dark page and a dark map. Until the user picks, as the system is set.
const system_dark = matchMedia("(prefers-color-scheme: dark)");
function apply_night() {
  const night = settings.night ?? system_dark.matches;
  document.documentElement.dataset.theme = night ? "night" : "day";
  $("night").setAttribute("aria-pressed", String(night));
  set_night_tiles(night);
  return night;
}
system_dark.addEventListener("change", apply_night);

function choose_units(units) {
  choose("units", units);
  $("units").value = units;
  show_values(view.live ? view.snapshot : null);
  show_next();
  label();
  if (!$("profile").hidden) set_profile_shown(true);
}

// Once Leaflet has loaded, or failed to (the page then runs without a map).
function start() {
  map = typeof L === "object" ? make_map(apply_night()) : null;
  window.tavrik_map = map;  // for the tests and the benchmark, beside window.tavrik
  if (map) {
    draw_trail_on(map);
    place_aircraft_on(map);
    turn_map(map);
    profile_on(map);
    plan_on(map);
    traffic_on(map);
    choose_track_up(settings.track_up);
    // The user taking the map (drag, arrow keys) ends follow mode.
    map.on("dragstart", () => set_follow(false));
    map.getContainer().addEventListener("keydown", (event) => { if (/^Arrow/.test(event.key)) set_follow(false); });
  } else {
    $("waiting").textContent = (FROM_BRIDGE ? "The map cannot be drawn: the bridge did not send Leaflet. "
      : "The map cannot be drawn: the leaflet folder that comes with this page is missing beside it. ") +
      "The data panel still works.";
  }
  set_live_position(true);
}

$("download-gpx").href = bridge_url("/track.gpx");
$("download-kml").href = bridge_url("/track.kml");
$("follow").onclick = () => set_follow(true);
$("track-up").onclick = () => choose_track_up(!settings.track_up);
$("night").onclick = () => { choose("night", document.documentElement.dataset.theme !== "night"); apply_night(); };
if (!Object.hasOwn(UNIT_SYSTEMS, settings.units)) settings.units = "aviation";
$("units").value = settings.units;
$("units").onchange = (event) => choose_units(event.target.value);
$("show-profile").onclick = () => {
  const shown = $("profile").hidden;
  $("show-profile").setAttribute("aria-pressed", String(shown));
  set_profile_shown(shown);
};
$("more").onclick = () => $("more").setAttribute("aria-expanded", String(document.querySelector("aside").classList.toggle("more")));
$("live-toggle").onchange = (event) => set_live_position(event.target.checked);
apply_night();
render_status();
// Leaflet's stylesheet goes before the page's own, which overrides it.
Promise.all([load_style("leaflet/leaflet.css"), load_script("leaflet/leaflet.js")]).then(start);
show_tablet_addresses();
start_plan();
