// The aircraft on the map: its symbol, turned to its heading, and a label of
// altitude and ground speed in the chosen units. Between samples the symbol
// glides from where it is shown to the newest sample, over the time the
// samples came apart: it never runs ahead of the newest. Follow mode keeps
// the map's middle on it. Frames are drawn only while it glides.
import { $, is_number, view } from "./where.js";
import { is_track_up, map_angle, turn_to } from "./turn.js";
import { show } from "./units.js";
import { settings } from "./settings.js";

const START_ZOOM = 12;
// A glide lasts as long as the samples came apart, within these bounds; a
// sample after a longer silence, or far away, is shown at once.
const GLIDE_MIN_MS = 50, GLIDE_MAX_MS = 1000, JUMP_DEGREES = 0.5;
// Moves of the map while following are told to the layers (tiles, trail) this often.
const FOLLOW_SETTLE_MS = 250;
// A frame of the glide at most this often: a few pixels a frame is smooth to the eye, and a moving map
// is costly to paint (the whole map moves when following).
const FRAME_MS = 50;

const AIRCRAFT_SVG =
  '<svg width="44" height="44" viewBox="-22 -22 44 44" aria-hidden="true">' +
  '<line x1="0" y1="-17" x2="0" y2="-60" stroke="#1b2a36" stroke-width="1.5" stroke-dasharray="4 4"/>' +
  '<path d="M0-17 2.4-9.6 2.4-3.6 15.6 3.6 15.6 7.2 2.4 3.6 1.8 12 6 15.6 6 18 0 16.8-6 18-6 15.6-1.8 12-2.4 3.6' +
  '-15.6 7.2-15.6 3.6-2.4-3.6-2.4-9.6Z" fill="#1f5fbf" stroke="#fff" stroke-width="1.2"/></svg>';

let map = null;
let marker = null;
// The glide: from where the symbol was to the newest sample ({lat, lon, hdg}).
const glide = { from: null, to: null, start: 0, duration: 0, arrived: 0, frame: 0, drawn: 0 };
let settle_timer = 0;

export function place_aircraft_on(leaflet_map) { map = leaflet_map; }
export const aircraft_position = () => marker && marker.getLatLng();

function make_marker(position) {
  const icon = L.divIcon({ className: "aircraft", iconSize: [44, 44], iconAnchor: [22, 22],
                           html: `<div class="aircraft-symbol">${AIRCRAFT_SVG}</div>` +
                                 '<div class="aircraft-upright"><div class="aircraft-label"></div></div>' });
  return L.marker(position, { icon, keyboard: false, interactive: false, zIndexOffset: 1000 }).addTo(map);
}

// Where the glide puts the symbol at `now`.
function glided(now) {
  const { from, to } = glide;
  const f = Math.min(1, Math.max(0, (now - glide.start) / glide.duration));
  if (f >= 1) return { ...to, done: true };
  const turn = ((to.hdg - from.hdg + 540) % 360) - 180;
  return { lat: from.lat + (to.lat - from.lat) * f, lon: from.lon + (to.lon - from.lon) * f,
           hdg: is_number(to.hdg) ? (is_number(from.hdg) ? from.hdg + turn * f : to.hdg) : null,
           done: f >= 1 || (from.lat === to.lat && from.lon === to.lon && from.hdg === to.hdg) };
}

// A live snapshot: the symbol glides to it, its label and look follow it.
export function show_aircraft(s) {
  if (!map || !view.live) return;
  const now = performance.now();
  const to = { lat: s.lat, lon: s.lon, hdg: is_number(s.hdg) ? s.hdg : null };
  const apart = now - glide.arrived;
  glide.arrived = now;
  if (!marker) {
    map.setView([s.lat, s.lon], START_ZOOM);
    marker = make_marker([s.lat, s.lon]);
    $("waiting").hidden = true;
  }
  const first = !glide.to, here = first ? to : glided(now);
  const jump = first || apart > GLIDE_MAX_MS * 3 ||
               Math.abs(to.lat - here.lat) + Math.abs(to.lon - here.lon) > JUMP_DEGREES;
  glide.from = jump ? to : { lat: here.lat, lon: here.lon, hdg: here.hdg };
  glide.to = to;
  glide.start = now;
  glide.duration = Math.min(GLIDE_MAX_MS, Math.max(GLIDE_MIN_MS, apart));
  const element = marker.getElement();
  element.classList.remove("stale");
  element.classList.toggle("no-heading", to.hdg === null);
  label(s);
  // Parked, or the same sample again: the symbol shows it already, so nothing is drawn.
  const still = here.lat === to.lat && here.lon === to.lon && here.hdg === to.hdg;
  if (first || (jump && !still)) {
    if (draw(now) && !glide.frame) glide.frame = requestAnimationFrame(frame);
  }
  else if (!still && !glide.frame) {
    view.gliding = true;
    glide.frame = requestAnimationFrame(frame);
  }
}

export function label(s = view.snapshot) {
  if (!marker || !s) return;
  const units = settings.units;
  const text = [is_number(s.alt) ? show(units, "alt", s.alt) : "", is_number(s.gs) ? show(units, "gs", s.gs) : ""];
  marker.getElement().querySelector(".aircraft-label").textContent = view.live ? text.filter(Boolean).join("  ") : "";
}

function frame(now) {
  glide.frame = 0;
  if (now - glide.drawn < FRAME_MS && now - glide.start < glide.duration) glide.frame = requestAnimationFrame(frame);
  else if (draw(now)) glide.frame = requestAnimationFrame(frame);
}

// Draws the symbol where the glide has it; true while it glides on.
function draw(now) {
  if (!glide.to) return false;
  const at = glided(now);
  glide.drawn = now;
  view.frames += 1;
  view.shown = [at.lat, at.lon];
  marker.setLatLng([at.lat, at.lon]);
  const element = marker.getElement();
  if (at.hdg !== null && is_track_up()) turn_to(at.hdg);
  element.firstChild.style.transform = `rotate(${at.hdg ?? 0}deg)`;
  element.lastChild.style.transform = `rotate(${map_angle()}deg)`;
  // While the map's own pan runs (Follow pressed), frames go on, to follow once it ends.
  const waiting = view.follow && !follow([at.lat, at.lon]);
  view.gliding = !at.done || waiting;
  return view.gliding;
}

// Keeps the map's middle on the aircraft, moving it as Leaflet's own pan does
// (the pane, then "move"), and "moveend" for the layers every so often.
// False while a zoom or pan of the map's own is under way.
function follow(position) {
  if (map._animatingZoom || (map._panAnim && map._panAnim._inProgress)) return false;
  const offset = map.latLngToContainerPoint(position).subtract(map.getSize().divideBy(2)).round();
  if (!offset.x && !offset.y) return true;
  map._rawPanBy(offset);
  map.fire("move");
  if (!settle_timer) settle_timer = setTimeout(() => { settle_timer = 0; map.fire("moveend"); }, FOLLOW_SETTLE_MS);
  return true;
}

// Where the aircraft was, dimmed, without the values it had then.
export function mark_aircraft_stale() {
  if (!marker) return;
  marker.getElement().classList.add("stale");
  marker.getElement().querySelector(".aircraft-label").textContent = "";
}

// Follow on again: the map goes to the aircraft, then stays on it.
export function recentre() {
  if (marker) map.panTo(marker.getLatLng(), { animate: true, duration: 0.4 });
}

// Redraws once where the aircraft is (after the map turned or its size changed).
export function redraw() { if (glide.to && !glide.frame) draw(performance.now()); }
