// The unit systems of the panel, the label and the profile. Values come in the
// bridge's units (README): alt and agl in m, gs in m/s, ias in kt, vs in fpm.
//   aviation: ft, kt, fpm (NM for distance)
//   metric:   m, km/h, m/s (km), as glider pilots of continental Europe read them
//   mixed:    ft, km/h, m/s (km): altitude in feet as ATC gives it, with
//             km/h airspeed and m/s climb, as many European microlights and
//             gliders flying in controlled airspace read them
import { is_number } from "./where.js";

const FT = 0.3048, KT = 1852 / 3600, FPM = FT / 60;
// Per quantity, in SI units in: [unit, metres (or m/s) per unit, digits].
export const UNIT_SYSTEMS = {
  aviation: { height: ["ft", FT, 0], speed: ["kt", KT, 0], climb: ["fpm", FPM, 0], distance: ["NM", 1852, 1] },
  metric: { height: ["m", 1, 0], speed: ["km/h", 1 / 3.6, 0], climb: ["m/s", 1, 1], distance: ["km", 1000, 1] },
  mixed: { height: ["ft", FT, 0], speed: ["km/h", 1 / 3.6, 0], climb: ["m/s", 1, 1], distance: ["km", 1000, 1] },
};
// What each of the bridge's values is, and its unit in SI units.
const QUANTITY = { alt: ["height", 1], agl: ["height", 1], gs: ["speed", 1], ias: ["speed", KT], vs: ["climb", FPM] };

// A number to `digits` places, without "-0", and its unit ("°" sticks to it).
export function fixed(value, digits, unit) {
  if (!is_number(value)) return "–";
  const text = value.toFixed(digits).replace(/^-(?=[0.]*$)/, "");
  return text + (unit === "°" ? unit : " " + unit);
}

// The bridge's value `name` in the system's unit, e.g. "1417 ft"; "–" when absent.
// A climb shows its sign: "+1200 fpm", "-650 fpm", "0 fpm".
export function show(system, name, value) {
  if (!is_number(value)) return "–";
  const [quantity, si] = QUANTITY[name];
  const [unit, per_unit, digits] = UNIT_SYSTEMS[system][quantity];
  const text = fixed(value * si / per_unit, digits, unit);
  return quantity === "climb" && value > 0 && !/^[0.]+ /.test(text) ? "+" + text : text;
}

// A quantity in SI units as a number of the system's unit, and that unit.
export function convert(system, quantity, si_value) {
  const [unit, per_unit, digits] = UNIT_SYSTEMS[system][quantity];
  return { value: si_value / per_unit, unit, digits };
}
