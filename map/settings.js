// The user's choices, kept in this browser (localStorage) and never sent to
// the bridge: track up, night, units, traffic. Where storage is refused (some
// browsers, for pages from disk), they last as long as the page.

const STORE = "tavrik.map.settings";
const DEFAULTS = { track_up: false, night: null, units: "aviation", traffic: true };  // night null: as the system says

function read() {
  try {
    const kept = JSON.parse(localStorage.getItem(STORE) || "{}");
    return kept && typeof kept === "object" ? { ...DEFAULTS, ...kept } : { ...DEFAULTS };
  } catch (error) {
    return { ...DEFAULTS };
  }
}

export const settings = read();

export function choose(name, value) {
  settings[name] = value;
  try { localStorage.setItem(STORE, JSON.stringify(settings)); } catch (error) { /* kept for this page only */ }
}
