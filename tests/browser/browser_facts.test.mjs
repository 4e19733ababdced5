// What this Chromium and this Firefox demand of a map page that reads the
// bridge; each test backs a statement of docs/browsers.md. A page is made
// "public" (as if it came from the internet) with Chromium's
// --ip-address-space-overrides or Firefox's
// network.lna.address_space.public.override, and a second host name for
// 127.0.0.1 comes from --host-resolver-rules or network.dns.localDomains; no
// traffic leaves the machine.
import assert from "node:assert/strict";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import * as h from "./harness.mjs";

const EXAMPLES = h.MAP;
let bridge, proxy, tls;

before(async () => {
  bridge = await h.start_bridge("127.0.0.43");
  proxy = await h.start_recording_proxy(bridge.port);
  tls = h.make_certificate();
});

after(async () => {
  await proxy?.stop();
  await h.stop_program(bridge);
});

// Runs fetch() in `page`; resolves to "<status> <body>" or the error's text.
function page_fetch(page, url, init = {}, timeout_ms = 4000) {
  return page.evaluate(async ([url, init, timeout_ms]) => {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), timeout_ms);
    try {
      const response = await fetch(url, { ...init, cache: "no-store", signal: abort.signal });
      return `${response.status} ${await response.text()}`;
    } catch (error) {
      return `${error.name}: ${error.message}`;
    } finally {
      clearTimeout(timer);
    }
  }, [url, init, timeout_ms]);
}

// A browser whose page server counts as a public web site ("map.example").
async function public_site({ https }) {
  const web = await h.start_static_server(EXAMPLES, https ? tls : null);
  const browser = await h.launch_chromium([
    `--ip-address-space-overrides=127.0.0.1:${web.port}=public`,
    "--host-resolver-rules=MAP map.example 127.0.0.1, MAP bridge.example 127.0.0.1",
    "--ignore-certificate-errors",
  ]);
  const origin = `${https ? "https" : "http"}://map.example:${web.port}`;
  const page = await browser.newPage();
  page.on("console", (m) => process.env.TAVRIK_BROWSER_LOG && console.log("console:", m.text()));
  await page.goto(`${origin}/index.html?bridge=http://127.0.0.1:1`);
  // The page's modules load first: its first request to the bridge has failed once it says so.
  await h.wait_for("the page's first try", () => page.evaluate(() => window.tavrik?.reachable === false));
  return { web, browser, page, origin, close: async () => { await browser.close(); web.close(); } };
}

const sent_since = (count) => h.without_retries(proxy.requests.slice(count));
// Streams are counted one by one: equal heads are separate streams here.
const streams_since = (count) => proxy.requests.slice(count).filter((r) => r.target === "/stream").length;

// With the loopback permission, a plain and a preflighted request and the
// event stream all reach the bridge, and no private-network preflight is sent.
async function assert_permitted_page_reaches_bridge(page) {
  const count = proxy.requests.length;
  assert.match(await page_fetch(page, `http://127.0.0.1:${proxy.port}/state`), /^200 \{/);
  assert.match(await page_fetch(page, `http://127.0.0.1:${proxy.port}/state`, { headers: { "X-Probe": "1" } }),
               /^200 \{/);
  const sent = sent_since(count);
  assert.deepEqual(sent.map((r) => r.method), ["GET", "OPTIONS", "GET"], JSON.stringify(sent.map((r) => [r.method, r.target, r.headers.origin])));
  assert.equal(sent[1].headers["access-control-request-private-network"], undefined);
  assert.equal(sent[1].headers["access-control-request-headers"], "x-probe");
  const event = await page.evaluate((url) => new Promise((resolve) => {
    const source = new EventSource(url);
    source.onmessage = (e) => { source.close(); resolve(e.data); };
    source.onerror = () => { source.close(); resolve("error"); };
  }), `http://127.0.0.1:${proxy.port}/stream`);
  assert.match(event, /^\{"live":/);
}

for (const engine of h.ENGINES) {
  test(`${engine}: one host gets at most six connections across all tabs; the name localhost counts as another host`, async () => {
    const web = await h.start_static_server(EXAMPLES);
    const browser = await h.launch_browser(engine);
    try {
      const tabs = [await browser.new_page(), await browser.new_page()];
      for (const tab of tabs) await tab.goto(`${web.origin}/index.html?bridge=http://127.0.0.1:1`);
      const count = proxy.requests.length;
      const open_streams = (tab, n) => tab.evaluate(([url, n]) => {
        window.streams = Array.from({ length: n }, () => new EventSource(url));
      }, [`http://127.0.0.1:${proxy.port}/stream`, n]);
      await open_streams(tabs[0], 4);
      await open_streams(tabs[1], 3);
      await h.wait_for("six streams", () => streams_since(count) >= 6);
      await h.sleep(1500);
      assert.equal(streams_since(count), 6, "the seventh stream waits");
      // Any other request to that host waits as well...
      assert.match(await page_fetch(tabs[1], `http://127.0.0.1:${proxy.port}/state`, {}, 2000), /^AbortError/);
      // ...while the same server under the name localhost is another host.
      assert.match(await page_fetch(tabs[1], `http://localhost:${proxy.port}/state`), /^200 /);
      // Closing one stream lets the waiting one through.
      await tabs[0].evaluate(() => window.streams[0].close());
      await h.wait_for("the seventh stream", () => streams_since(count) === 7);
    } finally {
      await browser.close();
      web.close();
    }
  });
}

test("a public https page needs the user's loopback permission, and no private-network preflight is sent", async () => {
  const site = await public_site({ https: true });
  try {
    const state = (name) => site.page.evaluate(async (name) => (await navigator.permissions.query({ name })).state, name);
    // Headless Chromium cannot ask, so the request is refused without reaching the bridge.
    assert.equal(await state("loopback-network"), "denied");
    let count = proxy.requests.length;
    assert.match(await page_fetch(site.page, `http://127.0.0.1:${proxy.port}/state`), /^TypeError/);
    assert.deepEqual(sent_since(count), []);

    // Once the user allows it, plain and preflighted requests go through.
    await site.browser.grantPermissions(["local-network-access"], { origin: site.origin });
    assert.equal(await state("loopback-network"), "granted");
    await assert_permitted_page_reaches_bridge(site.page);
  } finally {
    await site.close();
  }
});

test("a public https page must name 127.0.0.1 or localhost: another name for it is mixed content", async () => {
  const site = await public_site({ https: true });
  try {
    await site.browser.grantPermissions(["local-network-access"], { origin: site.origin });
    const count = proxy.requests.length;
    assert.match(await page_fetch(site.page, `http://bridge.example:${proxy.port}/state`), /^TypeError/);
    assert.deepEqual(sent_since(count), [], "blocked before any request");
    assert.match(await page_fetch(site.page, `http://localhost:${proxy.port}/state`), /^200 \{/);
    assert.match(await page_fetch(site.page, `http://127.0.0.1:${proxy.port}/state`), /^200 \{/);
  } finally {
    await site.close();
  }
});

test("a public page on plain http cannot reach loopback at all, not even with permission", async () => {
  const site = await public_site({ https: false });
  try {
    assert.equal(await site.page.evaluate(() => window.isSecureContext), false);
    await assert.rejects(site.browser.grantPermissions(["local-network-access"], { origin: site.origin }));
    const count = proxy.requests.length;
    assert.match(await page_fetch(site.page, `http://127.0.0.1:${proxy.port}/state`), /^TypeError/);
    assert.deepEqual(sent_since(count), []);
  } finally {
    await site.close();
  }
});

describe("Firefox", () => {
  // A Firefox whose page server counts as a public web site ("map.example").
  async function public_site({ https }) {
    const web = await h.start_static_server(EXAMPLES, https ? tls : null);
    const browser = await h.launch_firefox({
      "network.lna.address_space.public.override": `127.0.0.1:${web.port}`,
      "network.dns.localDomains": "map.example,bridge.example",
    });
    const origin = `${https ? "https" : "http"}://map.example:${web.port}`;
    const page = await browser.newPage();
    await page.goto(`${origin}/index.html?bridge=http://127.0.0.1:1`);
    const permission = (state) =>
      browser.defaultBrowserContext().setPermission(origin, { permission: { name: "loopback-network" }, state });
    return { page, origin, permission, close: async () => { await browser.close(); web.close(); } };
  }

  test("a public https page waits for the user's loopback permission; with it, everything goes through, " +
       "and no private-network preflight is sent", async () => {
    const site = await public_site({ https: true });
    try {
      assert.equal(await site.page.evaluate(async () => (await navigator.permissions.query({ name: "loopback-network" })).state),
                   "prompt");
      // Until the user answers, the request waits (headless Firefox never asks) and nothing reaches the bridge.
      let count = proxy.requests.length;
      assert.match(await page_fetch(site.page, `http://127.0.0.1:${proxy.port}/state`, {}, 3000), /^AbortError/);
      assert.deepEqual(sent_since(count), []);
      // Refused: the request fails at once, still without reaching the bridge.
      await site.permission("denied");
      assert.match(await page_fetch(site.page, `http://127.0.0.1:${proxy.port}/state`), /^TypeError/);
      assert.deepEqual(sent_since(count), []);

      await site.permission("granted");
      await assert_permitted_page_reaches_bridge(site.page);
    } finally {
      await site.close();
    }
  });

  test("a public https page must name 127.0.0.1 or localhost: another name for it is mixed content", async () => {
    const site = await public_site({ https: true });
    try {
      await site.permission("granted");
      const count = proxy.requests.length;
      assert.match(await page_fetch(site.page, `http://bridge.example:${proxy.port}/state`), /^TypeError/);
      assert.deepEqual(sent_since(count), [], "blocked before any request");
      assert.match(await page_fetch(site.page, `http://localhost:${proxy.port}/state`), /^200 \{/);
      assert.match(await page_fetch(site.page, `http://127.0.0.1:${proxy.port}/state`), /^200 \{/);
    } finally {
      await site.close();
    }
  });

  test("unlike Chromium, a public page on plain http may be given the permission, and then reaches the bridge",
       async () => {
    const site = await public_site({ https: false });
    try {
      assert.equal(await site.page.evaluate(() => window.isSecureContext), false);
      await site.permission("granted");
      const count = proxy.requests.length;
      assert.match(await page_fetch(site.page, `http://127.0.0.1:${proxy.port}/state`), /^200 \{/);
      assert.deepEqual(sent_since(count).map((r) => r.method), ["GET"]);
    } finally {
      await site.close();
    }
  });
});
