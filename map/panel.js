// The panel beside the map (a strip below it on a narrow screen): the
// aircraft's values in the chosen units, the connection's badges and a hint.
import { $, BRIDGE, is_number, view } from "./where.js";
import { fixed, show } from "./units.js";
import { settings } from "./settings.js";
import { mark_aircraft_stale } from "./aircraft.js";

// Values of one live snapshot, or "–" for all when there is none.
export function show_values(s) {
  const value = (name) => show(settings.units, name, s ? s[name] : null);
  const degrees = (name) => fixed(s ? s[name] : null, 5, "°");
  $("sim").textContent = s ? ({ xp: "X-Plane", msfs: "MSFS" }[s.sim] || String(s.sim || "–")) : "–";
  $("lat").textContent = degrees("lat");
  $("lon").textContent = degrees("lon");
  for (const name of ["alt", "agl", "gs", "ias", "vs"]) $(name).textContent = value(name);
  // True heading, 000° to 359°.
  $("hdg").textContent = s && is_number(s.hdg) ? String((Math.round(s.hdg) % 360 + 360) % 360).padStart(3, "0") + "°" : "–";
  $("updated").textContent = s && is_number(s.t) ? new Date(s.t).toLocaleTimeString() : "–";
  show_track_size();
}

export function show_track_size() {
  const n = view.trail_points, lines = view.trail_lines;
  $("track").textContent = n ? `${n} ${n === 1 ? "point" : "points"}` + (lines > 1 ? `, ${lines} parts` : "") : "–";
}

function set_badge(element, text, kind) {
  element.textContent = text;
  element.className = "badge " + kind;
}

export function render_status() {
  const on = view.live_position, reach = view.reachable;
  set_badge($("bridge-status"), !on ? "–" : reach === null ? "connecting" : reach ? "reachable" : "unreachable",
            !on ? "" : reach === null ? "wait" : reach ? "ok" : "bad");
  set_badge($("live-status"), view.live ? "live" : "not live", view.live ? "ok" : "bad");
  set_badge($("transport"), !on ? "📡 off" : view.transport === "none" ? "–" : view.transport, "");
  document.body.dataset.live = view.live ? "live" : "not-live";
  document.body.dataset.reachable = reach === null ? "unknown" : String(reach);
  $("hint").textContent = !on
    ? "📡 Live position is off: the map no longer follows the bridge. Turn it on to follow again."
    : reach === false
    ? "No answer from " + BRIDGE + ". Is tavrik running? If the browser asked to allow access to " +
      "devices on your local network, allow it and reload."
    : reach && !view.live ? "The bridge is running but has no simulator data: is a flight loaded?" : "";
  if (!view.live) mark_aircraft_stale();
}
