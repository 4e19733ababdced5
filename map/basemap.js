// The Leaflet map and its base maps: a street map (light by day, dark at
// night), a topographic one, and the user's own from ?tiles=. The layer
// switch takes overlays too: a module that draws a layer of its own (traffic,
// a route) adds it with add_overlay(name, layer).
import { $, asset_url, view } from "./where.js";

// Base maps that allow a page opened from disk (which sends no Referer) and
// need no key; docs/map-tiles.md says what each asks for and why these.
const OSM_COPYRIGHT = '&copy; <a href="https://www.openstreetmap.org/copyright">OpenStreetMap</a> contributors';
const CARTO = OSM_COPYRIGHT + ' &copy; <a href="https://carto.com/attributions">CARTO</a>';
const STREETS = "Streets (CARTO)";
const BASE_MAPS = [
  { name: STREETS, day: "https://{s}.basemaps.cartocdn.com/rastertiles/voyager/{z}/{x}/{y}{r}.png",
    night: "https://{s}.basemaps.cartocdn.com/dark_all/{z}/{x}/{y}{r}.png",
    options: { subdomains: "abcd", maxNativeZoom: 20, attribution: CARTO } },
  { name: "Topographic (OpenTopoMap)", day: "https://tile.openmaps.fr/opentopomap/{z}/{x}/{y}.png",
    options: { maxNativeZoom: 17,
               attribution: '<a href="https://github.com/sletuffe/OpenTopoMap">&copy; OpenTopoMap-R</a> ' +
                            '<a href="https://openmaps.fr/donate">Donation</a> ' + OSM_COPYRIGHT } },
];
const MAX_ZOOM = 18;
// Leaflet keeps this many rows and columns of tiles beyond the view (default
// 2); one is enough for a map that mostly moves slowly.
const KEEP_BUFFER = 1;

let layers_control = null;
const bases = [];  // { layer, day, night }

function escape_html(text) {
  return text.replace(/[&<>"']/g, (c) => ({ "&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;", "'": "&#39;" })[c]);
}

// The user's own source from ?tiles= (a {z}/{x}/{y} template) and ?attribution=.
function own_base_map() {
  const query = new URLSearchParams(location.search);
  const url = query.get("tiles");
  if (!url || !/\{z\}/.test(url) || !/\{x\}/.test(url) || !/\{-?y\}/.test(url)) return null;
  return { name: "Your tiles", day: url, options: { attribution: escape_html(query.get("attribution") || "") } };
}

export function make_map(night) {
  const map = L.map("map", { maxZoom: MAX_ZOOM, scrollWheelZoom: "center", doubleClickZoom: "center",
                             touchZoom: "center" });
  const own = own_base_map();
  const named = {};
  for (const base of (own ? [own] : []).concat(BASE_MAPS)) {
    const layer = L.tileLayer(night && base.night || base.day,
                              { maxZoom: MAX_ZOOM, keepBuffer: KEEP_BUFFER, updateWhenZooming: false, ...base.options });
    watch_tiles(layer);
    bases.push({ layer, day: base.day, night: base.night });
    named[base.name] = layer;
  }
  // Added now, but Leaflet asks for no tile before the first position sets the view.
  bases[0].layer.addTo(map);
  layers_control = L.control.layers(named, null, { collapsed: true }).addTo(map);
  L.control.scale({ imperial: true, metric: true }).addTo(map);
  // The controls stay upright and in the box's corners when the map turns.
  $("map-box").classList.add("leaflet-container");
  if (L.Browser.retina) $("map-box").classList.add("leaflet-retina");
  $("map-box").append(map._controlContainer);
  key_layer_icons();
  map.on("baselayerchange", () => set_night_tiles(document.documentElement.dataset.theme === "night"));
  set_night_tiles(night);
  return map;
}

export function add_overlay(name, layer) { layers_control?.addOverlay(layer, name); }

// At night a source with a dark style shows it; the others are dimmed.
export function set_night_tiles(night) {
  for (const base of bases) {
    const url = night && base.night || base.day;
    if (base.layer._url !== url) base.layer.setUrl(url);
  }
  const shown = bases.find((base) => base.layer._map);
  shown?.layer.getPane().classList.toggle("light-tiles", Boolean(night && shown && !shown.night));
}

// Leaflet's stylesheet names the layer switch's icons relative to itself, so
// they would go without the key: name them again, from here.
function key_layer_icons() {
  const icon = (name) => `url("${asset_url("leaflet/images/" + name)}")`;
  const style = document.createElement("style");
  style.textContent = `#map-box .leaflet-control-layers-toggle { background-image: ${icon("layers.png")}; }\n` +
                      `#map-box.leaflet-retina .leaflet-control-layers-toggle { background-image: ${icon("layers-2x.png")}; }`;
  document.head.append(style);
}

// Tiles that fail while none has loaded since the view last changed: say so;
// a tile that loads takes the notice away again.
function watch_tiles(layer) {
  let loaded = 0;
  layer.on("loading", () => { loaded = 0; if (view.tiles !== "unavailable") set_tiles("loading"); });
  layer.on("tileload", () => { loaded += 1; set_tiles("ok"); });
  layer.on("tileerror", () => { if (!loaded) set_tiles("unavailable"); });
}

function set_tiles(state) {
  if (view.tiles === state) return;
  view.tiles = state;
  const note = $("tiles-note");
  note.hidden = state !== "unavailable";
  note.textContent = state === "unavailable"
    ? "Map tiles unavailable (no network, or the tile server refused): the aircraft and its track still show." : "";
}
