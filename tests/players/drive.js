// Drives headless Chromium over the DevTools protocol (playwright-core, on
// the system's Chromium; it never fetches a browser of its own) through the
// plays of a plan, one after the other, and prints a JSON line per play:
//   {id, result, responses, failures, console}
// result is the page's window.played (page/player.js); responses the answers
// the browser got (url, status, x-cache, protocol, allow: the answer's
// Access-Control-Allow-Origin); failures the requests that got none (url,
// error, cors: the CORS check that refused it, if one).
//
//   node drive.js PLAN.json
// PLAN: {chromium, modules, resolve: [name...], seconds, plays: [{id, url,
// cookies}]}. Every name in resolve is 127.0.0.1 and no other name resolves,
// so the browser looks nothing up. Each play has a context of its own (no
// cache, cookies or connections from another) and at most seconds.
"use strict";
const fs = require("fs");
const path = require("path");

const plan = JSON.parse(fs.readFileSync(process.argv[2], "utf8"));
const { chromium } = require(path.join(plan.modules, "playwright-core"));

function header(headers, name) {
  for (const key of Object.keys(headers || {})) {
    if (key.toLowerCase() === name) {
      return headers[key];
    }
  }
  return "";
}

function bounded(promise, ms, what) {
  let timer;
  const late = new Promise(function (resolve) {
    timer = setTimeout(function () { resolve({ ok: false, error: what + ": no answer within " + ms + " ms" }); }, ms);
  });
  return Promise.race([promise, late]).finally(function () { clearTimeout(timer); });
}

async function play(browser, job) {
  const context = await browser.newContext();
  const responses = [];
  const failures = [];
  const console = [];
  const urls = new Map();
  try {
    if (job.cookies) {
      await context.addCookies(job.cookies);
    }
    const page = await context.newPage();
    const cdp = await context.newCDPSession(page);
    cdp.on("Network.requestWillBeSent", function (event) { urls.set(event.requestId, event.request.url); });
    cdp.on("Network.responseReceived", function (event) {
      const r = event.response;
      responses.push({ url: r.url, status: r.status, xcache: header(r.headers, "x-cache"), protocol: r.protocol,
                       allow: header(r.headers, "access-control-allow-origin") });
    });
    cdp.on("Network.loadingFailed", function (event) {
      failures.push({ url: urls.get(event.requestId) || "", error: event.errorText,
                      cors: event.corsErrorStatus ? event.corsErrorStatus.corsError : "" });
    });
    await cdp.send("Network.enable");
    page.on("console", function (message) { console.push(message.type() + ": " + message.text()); });
    page.on("pageerror", function (error) { console.push("pageerror: " + error.message); });
    const ms = plan.seconds * 1000;
    await page.goto(job.url, { timeout: ms });
    const result = await bounded(page.evaluate("window.played"), ms, "window.played");
    return { id: job.id, result, responses, failures, console };
  } catch (error) {
    return { id: job.id, result: { ok: false, error: "driver: " + error.message }, responses, failures, console };
  } finally {
    await context.close();
  }
}

async function main() {
  const rules = plan.resolve.map(function (name) { return "MAP " + name + " 127.0.0.1"; });
  rules.push("MAP * ~NOTFOUND");
  const browser = await chromium.launch({
    executablePath: plan.chromium,
    headless: true,
    // Playwright adds the switches that keep a browser off the network
    // (background networking, component updates, sync), a fresh profile in
    // TMPDIR and, as root needs it, --no-sandbox.
    args: ["--disable-gpu", "--disable-quic", "--autoplay-policy=no-user-gesture-required",
           "--host-resolver-rules=" + rules.join(", ")],
    timeout: 30000,
  });
  try {
    for (const job of plan.plays) {
      process.stdout.write(JSON.stringify(await play(browser, job)) + "\n");
    }
  } finally {
    await browser.close();
  }
}

main().catch(function (error) {
  process.stderr.write("drive.js: " + (error.stack || error) + "\n");
  process.exit(1);
});
