// Track up: the map turns so that the aircraft's heading points up, with the
// aircraft a third of the way up the map. Leaflet draws north up only, so the
// map's element is a square turned with CSS about its middle, where the
// aircraft is; the box around it clips it and holds the controls upright.
// Leaflet's own dragging would move the map the wrong way when turned: here a
// drag is turned back into the map's frame and panned by that.
import { $ } from "./where.js";

let map = null;
let turned = false;
let angle = 0;  // degrees the map is turned counterclockwise: the heading shown up

export const is_track_up = () => turned;
export const map_angle = () => (turned ? angle : 0);

export function turn_map(leaflet_map) {
  map = leaflet_map;
  new ResizeObserver(() => place()).observe($("map-box"));
  let last = null;
  const box = $("map-box");
  box.addEventListener("pointerdown", (event) => {
    if (!turned || !event.isPrimary || event.button !== 0 || event.target.closest(".leaflet-control")) return;
    last = event;
    box.setPointerCapture(event.pointerId);
  });
  box.addEventListener("pointermove", (event) => {
    if (!last || event.pointerId !== last.pointerId) return;
    const dx = event.clientX - last.clientX, dy = event.clientY - last.clientY;
    if (!dx && !dy) return;
    if (!box.dragged) map.fire("dragstart");
    box.dragged = true;
    const a = angle * Math.PI / 180, cos = Math.cos(a), sin = Math.sin(a);
    map.panBy([-(dx * cos - dy * sin), -(dx * sin + dy * cos)], { animate: false });
    last = event;
  });
  const end = () => { last = null; box.dragged = false; };
  box.addEventListener("pointerup", end);
  box.addEventListener("pointercancel", end);
}

export function set_track_up(on) {
  turned = on;
  $("map").classList.toggle("turning", on);
  upright();
  if (map) on ? map.dragging.disable() : map.dragging.enable();
  place();
}

// Turns the map so that `heading` (degrees true) points up.
export function turn_to(heading) {
  angle = heading;
  if (turned) $("map").style.transform = `rotate(${-heading}deg)`;
  upright();
}

// Labels on the map (the route's) turn back by this to stay upright.
const upright = () => $("map").style.setProperty("--upright", `${map_angle()}deg`);

// The map's element: the box itself, or the square that covers the box
// whatever the angle, centred a third of the way up from the box's bottom.
function place() {
  const element = $("map"), box = $("map-box");
  if (!turned) {
    Object.assign(element.style, { left: "", top: "", width: "", height: "", transform: "" });
  } else {
    const w = box.clientWidth, h = box.clientHeight;
    const radius = Math.ceil(Math.hypot(w / 2, h * 2 / 3));
    Object.assign(element.style, { left: `${w / 2 - radius}px`, top: `${h * 2 / 3 - radius}px`,
                                   width: `${2 * radius}px`, height: `${2 * radius}px`,
                                   transform: `rotate(${-angle}deg)` });
  }
  if (map) {
    const centre = map._loaded ? map.getCenter() : null;
    map.invalidateSize({ pan: false });
    if (centre) map.setView(centre, map.getZoom(), { animate: false });
  }
}
