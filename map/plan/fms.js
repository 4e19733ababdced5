// X-Plane flight plans (.fms): text lines, the header "I" (or "A") and
// "1100 Version" (X-Plane 11 and 12) or "3 version" (the legacy form X-Plane
// 11 still loads), then, in version 1100, keyword lines (CYCLE, ADEP, DEPRWY,
// SID, …, NUMENR <n>) and n waypoint lines
//   <type> <ident> <via> <altitude ft> <lat> <lon>
// type 1 airport, 2 NDB, 3 VOR, 11 named fix, 28 latitude/longitude point;
// via ADEP, ADES, DRCT or an airway's name. Version 3 lines lack the via:
//   <type> <ident> <altitude ft> <lat> <lon>
import { FT_TO_M, make_route, number_of } from "./route.js";

const WAYPOINT_FIELDS = { 1100: 6, 3: 5 };

export function read_fms(text) {
  const lines = text.split(/\r?\n/).map((line) => line.trim()).filter((line) => line !== "");
  if (!/^[IA]$/.test(lines[0] ?? "")) throw new Error('not an X-Plane flight plan: it does not begin with "I" or "A"');
  const version = /^(\d+)\s+version$/i.exec(lines[1] ?? "")?.[1];
  const fields = WAYPOINT_FIELDS[version];
  if (!fields) throw new Error(`X-Plane flight plan of version "${lines[1] ?? ""}": the map reads versions 1100 and 3`);
  let announced = null;
  const points = [], ends = {};
  for (const line of lines.slice(2)) {
    const words = line.split(/\s+/);
    if (words[0] === "NUMENR") announced = number_of(words[1]);
    if (/^A?DE[PS]$/.test(words[0])) ends[words[0].slice(-1)] = words[1];
    if (!/^\d+$/.test(words[0]) || (version === "3" && words.length < fields)) continue;  // v3: its count lines
    const label = `waypoint ${points.length + 1} (${words[1] ?? ""})`;
    if (words.length !== fields) throw new Error(`${label}: ${words.length} fields where ${fields} belong`);
    const [alt, lat, lon] = words.slice(-3).map(number_of);
    if (Number.isNaN(alt)) throw new Error(`${label}: the altitude "${words[fields - 3]}" is no number`);
    points.push({ name: words[1], lat, lon, ...(alt !== 0 && { alt_m: alt * FT_TO_M }) });
  }
  if (announced !== null && announced !== points.length)
    throw new Error(`NUMENR announces ${announced} waypoints, the file lists ${points.length}`);
  return make_route(ends.P && ends.S ? `${ends.P} to ${ends.S}` : "", points);
}
