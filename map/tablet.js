// "Open on a tablet": a bridge started with --lan answers /tablet with the
// addresses, key and all, that a tablet can open: {"urls":[...]}. It answers
// its own page only (this computer, no CORS), so only a page that the bridge
// serves asks; any other answer, or none, leaves the panel hidden. The QR
// library loads only then.
import { $, FROM_BRIDGE, bridge_url, load_script } from "./where.js";

export async function show_tablet_addresses() {
  if (!FROM_BRIDGE) return;
  let urls = [];
  try {
    const response = await fetch(bridge_url("/tablet"), { cache: "no-store" });
    const answer = response.ok ? await response.json() : null;
    if (answer && Array.isArray(answer.urls))
      urls = answer.urls.filter((url) => typeof url === "string" && /^https?:\/\/\S+$/.test(url));
  } catch (error) {
    return;
  }
  if (!urls.length) return;
  await load_script("qrcode-generator/qrcode.js");
  for (const url of urls) {
    const item = document.createElement("figure");
    item.className = "tablet-address";
    if (typeof qrcode === "function") {
      const code = qrcode(0, "M");
      code.addData(url);
      code.make();
      item.innerHTML = code.createSvgTag({ cellSize: 4, margin: 4, scalable: true });
    }
    const text = document.createElement("code");
    text.textContent = url;
    item.append(text);
    $("tablet-addresses").append(item);
  }
  $("tablet").hidden = false;
}
