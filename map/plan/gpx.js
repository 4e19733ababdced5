// GPX 1.1 (and 1.0) files: the first route (<rte>, its <rtept lat lon> with
// <name> and <ele> in metres), or, when the file has no route, its first track
// (<trk>, the <trkpt> of all its <trkseg>), thinned evenly to what the map keeps.
//
// Written here rather than taken from a GPX library: the one that parses GPX
// best (@tmcw/togeojson) keeps no name of a route's points and drops points
// with bad coordinates without a word; a plan needs both.
import { MAX_WAYPOINTS, make_route, number_of } from "./route.js";
import { child_text, children, parse_xml } from "./xml.js";

function point_of(element) {
  const ele = number_of(child_text(element, "ele"));
  return {
    name: child_text(element, "name"),
    lat: number_of(element.getAttribute("lat")),
    lon: number_of(element.getAttribute("lon")),
    ...(Number.isFinite(ele) && { alt_m: ele }),
  };
}

// At most MAX_WAYPOINTS of `points`, evenly spread, the first and last kept.
function thinned(points) {
  if (points.length <= MAX_WAYPOINTS) return points;
  const step = (points.length - 1) / (MAX_WAYPOINTS - 1);
  return Array.from({ length: MAX_WAYPOINTS }, (_, i) => points[Math.round(i * step)]);
}

export function read_gpx(text) {
  const gpx = parse_xml(text, "GPX").documentElement;
  if (gpx.localName !== "gpx") throw new Error(`not a GPX file: its root is <${gpx.localName}>, not <gpx>`);
  const route = children(gpx, "rte").find((rte) => children(rte, "rtept").length > 0);
  if (route) return make_route(child_text(route, "name"), children(route, "rtept").map(point_of), "rtept");
  const track = children(gpx, "trk").find((trk) => children(trk, "trkseg").some((s) => children(s, "trkpt").length));
  if (!track) throw new Error("no route (<rte>) or track (<trk>) with points in the file");
  const points = children(track, "trkseg").flatMap((segment) => children(segment, "trkpt")).map(point_of);
  return make_route(child_text(track, "name"), thinned(points), "trkpt");
}
