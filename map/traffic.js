// The other aircraft (/traffic): each its own symbol turned to its heading,
// labelled with its callsign and its height against the user's in hundreds of
// feet, grey on the ground. Asked for every 2 s, the simulators' own pace,
// while the page is in view, the Traffic switch on and 📡 on; after each
// failure twice as long, up to 16 s. An aircraft missing from the newest
// answer leaves the map.
import { $, bridge_url, fetch_text, is_number, view } from "./where.js";
import { add_overlay } from "./basemap.js";
import { choose, settings } from "./settings.js";

const PACE_MS = 2000;
const BACKOFF_MAX_MS = 16000;
const TIMEOUT_MS = 1500;
// Unanswered this long, the bridge would have let them go too: so does the map.
const GONE_MS = 10000;
const MAX_AIRCRAFT = 200;
const FT = 0.3048;
// A climb or descent at least this fast gets an arrow, as on traffic displays.
const TREND_FPM = 500;

const SYMBOL = '<svg width="28" height="28" viewBox="-14 -14 28 28" aria-hidden="true">' +
  '<path d="M0-11 1.6-6.2 1.6-2.3 10.1 2.3 10.1 4.7 1.6 2.3 1.2 7.8 3.9 10.1 3.9 11.7 0 10.9-3.9 11.7-3.9 10.1' +
  '-1.2 7.8-1.6 2.3-10.1 4.7-10.1 2.3-1.6-2.3-1.6-6.2Z"/><circle r="5"/></svg>';

let map = null;
let layer = null;
const markers = new Map();  // the bridge's id → its marker
let timer = 0, asking = false, failures = 0, answered_at = 0, ready = false;

// Not before the map has a view (our aircraft's first position): a marker has no element until then.
const active = () => ready && map.hasLayer(layer) && view.live_position && document.visibilityState === "visible";

// "+12": 1,200 ft above; "-03": 300 ft below; "00": level. "" when either height is unknown.
function relative_altitude(alt, own) {
  if (!is_number(alt) || !is_number(own)) return "";
  const hundreds = Math.round(Math.abs(alt - own) / FT / 100);
  return (hundreds ? (alt > own ? "+" : "-") : "") + String(hundreds).padStart(2, "0");
}

function label_of(a, own) {
  const height = relative_altitude(a.alt, own);
  const trend = !height || !is_number(a.vs) ? "" : a.vs >= TREND_FPM ? "↑" : a.vs <= -TREND_FPM ? "↓" : "";
  const name = typeof a.callsign === "string" ? a.callsign : typeof a.type === "string" ? a.type : "";
  return [name.slice(0, 16), height + trend].filter(Boolean).join(" ");
}

function place(a, own) {
  let marker = markers.get(a.id);
  if (!marker) {
    const icon = L.divIcon({ className: "traffic", iconSize: [28, 28], iconAnchor: [14, 14],
                             html: `<div class="traffic-symbol">${SYMBOL}</div>` +
                                   '<div class="traffic-upright"><div class="traffic-label"></div></div>' });
    marker = L.marker([a.lat, a.lon], { icon, keyboard: false, interactive: false }).addTo(layer);
    marker.getElement().dataset.id = a.id;
    markers.set(a.id, marker);
  }
  // Only what changed is written: a parked aircraft costs no drawing.
  const at = marker.getLatLng();
  if (at.lat !== a.lat || at.lng !== a.lon) marker.setLatLng([a.lat, a.lon]);
  const element = marker.getElement(), label = element.querySelector(".traffic-label"), text = label_of(a, own);
  const turned = is_number(a.hdg) ? `rotate(${a.hdg}deg)` : "";
  element.classList.toggle("ground", a.ground === true);
  element.classList.toggle("no-heading", !turned);
  if (element.firstChild.style.transform !== turned) element.firstChild.style.transform = turned;
  if (label.textContent !== text) label.textContent = text;
}

function draw(aircraft) {
  const own = view.live ? view.snapshot?.alt : null;
  const ids = new Set(aircraft.map((a) => a.id));
  for (const [id, marker] of markers) if (!ids.has(id)) { layer.removeLayer(marker); markers.delete(id); }
  for (const a of aircraft) place(a, own);
}

// The answer's aircraft with an id and a position, or null for no answer or not this form.
function read(text) {
  try {
    const list = JSON.parse(text)?.aircraft;
    if (!Array.isArray(list)) return null;
    return list.filter((a) => typeof a?.id === "string" && is_number(a.lat) && is_number(a.lon)).slice(0, MAX_AIRCRAFT);
  } catch (error) {
    return null;
  }
}

async function poll() {
  clearTimeout(timer);
  if (asking || !active()) return;
  asking = true;
  const aircraft = read(await fetch_text(bridge_url("/traffic"), TIMEOUT_MS));
  asking = false;
  if (aircraft) { failures = 0; answered_at = Date.now(); }
  else failures += 1;
  if (!active()) return;
  if (aircraft) draw(aircraft);
  else if (Date.now() - answered_at >= GONE_MS) draw([]);
  timer = setTimeout(poll, aircraft ? PACE_MS : Math.min(BACKOFF_MAX_MS, PACE_MS * 2 ** failures));
}

// Once the map is there: the layer, on unless the user switched it off, in the layer switch.
export function traffic_on(leaflet_map) {
  map = leaflet_map;
  layer = L.layerGroup();
  if (settings.traffic !== false) layer.addTo(map);
  add_overlay("Traffic", layer);
  const switched = (event) => {
    if (event.layer !== layer) return;
    choose("traffic", map.hasLayer(layer));
    draw([]);
    poll();
  };
  map.on("overlayadd overlayremove", switched);
  document.addEventListener("visibilitychange", poll);
  // After main.js's own handler, which sets view.live_position.
  $("live-toggle").addEventListener("change", () => { if (!view.live_position) draw([]); poll(); });
  map.whenReady(() => { ready = true; poll(); });
  // For the tests: whether the layer shows, and each symbol as drawn.
  window.tavrik_traffic = () => ({
    shown: map.hasLayer(layer),
    aircraft: [...map.getContainer().querySelectorAll(".traffic")].map((e) => ({
      id: e.dataset.id, label: e.textContent, turned: e.firstChild.style.transform, ground: e.classList.contains("ground") })),
  });
}
