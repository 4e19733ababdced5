// Cross-origin requests to the real bridge from a page of another origin, as a
// map page makes them: a plain GET, and one whose extra header forces a CORS
// preflight, which the bridge answers with 204. In Chromium and in Firefox.
import assert from "node:assert/strict";
import path from "node:path";
import { after, before, describe, test } from "node:test";
import * as h from "./harness.mjs";

for (const engine of h.ENGINES) {
  describe(`cross-origin requests from ${engine}`, () => {
    let bridge, proxy, web, browser, page;

    before(async () => {
      bridge = await h.start_bridge("127.0.0.42");
      // The proxy only records what the browser sends; the bridge answers.
      proxy = await h.start_recording_proxy(bridge.port);
      web = await h.start_static_server(h.MAP);
      browser = await h.launch_browser(engine);
      page = await browser.new_page();
      await page.goto(`${web.origin}/index.html?bridge=http://127.0.0.1:1`);
    });

    after(async () => {
      await browser?.close();
      web?.close();
      await proxy?.stop();
      await h.stop_program(bridge);
    });

    // Runs fetch() in the page; resolves to { ok, status, body } or { error }.
    function page_fetch(url, init) {
      return page.evaluate(async ([url, init]) => {
        try {
          const response = await fetch(url, init);
          return { ok: response.ok, status: response.status, body: await response.text(),
                   type: response.type, content_type: response.headers.get("content-type") };
        } catch (error) {
          return { error: String(error) };
        }
      }, [url, init]);
    }

    test("a plain cross-origin GET of /state succeeds without a preflight", async () => {
      const before_count = proxy.requests.length;
      const result = await page_fetch(`http://127.0.0.1:${proxy.port}/state`, { cache: "no-store" });
      assert.equal(result.error, undefined, result.error);
      assert.equal(result.status, 200);
      assert.equal(result.type, "cors");
      assert.equal(typeof JSON.parse(result.body).live, "boolean");
      const sent = h.without_retries(proxy.requests.slice(before_count));
      assert.deepEqual(sent.map((r) => r.method), ["GET"]);
      assert.ok(sent[0].headers.origin.startsWith("http://127.0.0.1:"), "the browser names the page's origin");
    });

    test("a GET with a non-safelisted header passes the preflight answered by 204", async () => {
      const before_count = proxy.requests.length;
      const result = await page_fetch(`http://127.0.0.1:${proxy.port}/state`,
                                      { cache: "no-store", headers: { "X-Tavrik-Probe": "1" } });
      assert.equal(result.error, undefined, result.error);
      assert.equal(result.status, 200);
      assert.equal(typeof JSON.parse(result.body).live, "boolean");
      assert.equal(result.content_type, "application/json");
      const sent = h.without_retries(proxy.requests.slice(before_count));
      assert.deepEqual(sent.map((r) => r.method), ["OPTIONS", "GET"], "a preflight, then the request");
      assert.equal(sent[0].headers["access-control-request-method"], "GET");
      assert.equal(sent[0].headers["access-control-request-headers"], "x-tavrik-probe");
      // Both on loopback: no local-network check is involved, and none is asked.
      assert.equal(sent[0].headers["access-control-request-private-network"], undefined);
      assert.equal(sent[1].headers["x-tavrik-probe"], "1");
    });
  });
}
