// Where the page is: the bridge it talks to, the key it carries, and the
// addresses of the bridge's routes and of the page's own files.

const where = window.tavrik_where;
export const BRIDGE = where.bridge;
// Served by the bridge at "/map"; otherwise a copy from disk or another server.
export const FROM_BRIDGE = where.from_bridge;
// A tablet opens the page with the bridge's key (?key=), which the bridge asks
// of every request from another machine.
const KEY = where.key;

// Every request to the bridge goes to an address made here, with the key.
export function bridge_url(path) {
  return BRIDGE + path + (KEY ? (path.includes("?") ? "&" : "?") + "key=" + encodeURIComponent(KEY) : "");
}

// A file of the page (a library), from where the modules came, with the key.
export function asset_url(name) {
  return where.base + name + (KEY ? "?key=" + encodeURIComponent(KEY) : "");
}

// Adds `element` (a script or stylesheet) to the head, before `next` or last;
// resolves once it has loaded or failed.
export function load(element, next = null) {
  const done = new Promise((resolve) => { element.onload = element.onerror = resolve; });
  document.head.insertBefore(element, next);
  return done;
}

export const load_script = (name) => load(Object.assign(document.createElement("script"), { src: asset_url(name) }));
export const load_style = (name) =>
  load(Object.assign(document.createElement("link"), { rel: "stylesheet", href: asset_url(name) }),
       document.querySelector("style"));

// The body of a GET to the bridge, or null when it fails or takes too long.
export async function fetch_text(url, timeout_ms) {
  const abort = new AbortController();
  const timeout = setTimeout(() => abort.abort(), timeout_ms);
  try {
    const response = await fetch(url, { cache: "no-store", signal: abort.signal });
    return response.ok ? await response.text() : null;
  } catch (error) {
    return null;
  } finally {
    clearTimeout(timeout);
  }
}

export const $ = (id) => document.getElementById(id);
export function is_number(value) { return typeof value === "number" && Number.isFinite(value); }

// Everything the page knows, in one place; tests read it as window.tavrik
// (which index.html makes before the modules load).
export const view = Object.assign(window.tavrik || {}, {
  bridge: BRIDGE,
  live_position: true,    // the 📡 toggle: following the bridge
  transport: "none",      // "stream" | "polling" | "none" (not following)
  reachable: null,        // null until the first answer or failure
  live: false,
  snapshot: null,         // the newest snapshot as received
  received: 0,            // snapshots received, stream and polls together
  last_received_at: 0,    // Date.now() of the newest snapshot
  last_t: null,           // t of the newest point of the trail
  trail_points: 0,        // points drawn in the trail (the newest TRAIL_LIMIT)
  trail_lines: 0,         // stretches of live data in the trail
  follow: true,           // the map keeps the aircraft in view
  tiles: "none",          // "none" | "loading" | "ok" | "unavailable"
  frames: 0,              // frames the aircraft's glide has drawn
  gliding: false,         // the symbol is on its way to the newest sample
});
window.tavrik = view;
