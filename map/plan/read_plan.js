// A plan file of any kind the map reads, chosen by the file's extension.
import { read_fms } from "./fms.js";
import { read_gpx } from "./gpx.js";
import { read_pln } from "./pln.js";

const READERS = { pln: read_pln, fms: read_fms, gpx: read_gpx };

// The route of the file `file_name` holding `text` (see route.js), or an
// Error saying what was wrong. A byte-order mark before the text may stay:
// the XML parser and the .fms reader's trimming both pass over it.
export function read_plan_file(file_name, text) {
  const reader = READERS[/\.([^.]+)$/.exec(file_name)?.[1].toLowerCase()];
  if (!reader) throw new Error("not a plan file the map reads: .pln (MSFS), .fms (X-Plane) or .gpx");
  return reader(text);
}
