// The pages of `tracedx serve` in headless Chromium: node pages.cjs TRACEDX OUTDIR
// Real-library runs (the OpenInference and GenAI recorders) are sent to a server through the
// SDK's JSON exporter; then Chromium loads the index and a report page (no console errors, a
// screenshot of each in OUTDIR), and the index filtered by label, by service and by outcome,
// which must list exactly the runs the API gives for the same filter, from a page that holds
// no script.
"use strict";
const fs = require("node:fs");
const path = require("node:path");
const os = require("node:os");
const { spawn, execFileSync } = require("node:child_process");
const lib = require("./lib.cjs");

const [tracedx, out] = process.argv.slice(2);
if (!tracedx || !out) {
  console.error("usage: node pages.cjs TRACEDX OUTDIR");
  process.exit(2);
}
const failures = [];
const fail = (what) => { failures.push(what); console.error(`FAIL: ${what}`); };
const libraries = ["openinference", "genai"];

// Chromium, headless, nothing fetched but the page; `mode` is ["--screenshot=FILE"] or
// ["--dump-dom"]. Returns standard output; the log goes to LOG and is searched for console
// errors and refused loads.
function chromium(url, mode, logName) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "serve-e2e-chromium-"));
  const logFile = path.join(out, `${logName}.chromium.log`);
  try {
    const args = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync", "--no-proxy-server",
      `--user-data-dir=${profile}`, "--hide-scrollbars", "--window-size=1280,1600", "--enable-logging=stderr", "--v=0",
      ...mode, url];
    const r = require("node:child_process").spawnSync("chromium", args, { encoding: "utf8", maxBuffer: 256 << 20, timeout: 60000 });
    fs.writeFileSync(logFile, r.stderr || "");
    if (r.status !== 0) fail(`chromium ${url}: exit ${r.status} ${r.error || ""} (log: ${logFile})`);
    const errors = (r.stderr || "").split("\n").filter((l) => /CONSOLE|Refused to|Uncaught/.test(l));
    if (errors.length) fail(`${url}: console errors:\n  ${errors.join("\n  ")}`);
    return r.stdout || "";
  } finally {
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

// The paths the links of a page lead to (relative links resolved against the page).
const linkPaths = (html, pageUrl) => [...html.matchAll(/href="([^"]*)"/g)]
  .map((m) => new URL(m[1].replace(/&amp;/g, "&"), pageUrl).pathname);
const linkedIds = (html, pageUrl) => new Set(linkPaths(html, pageUrl)
  .map((p) => /^\/traces\/([0-9a-f]+)$/.exec(p)).filter(Boolean).map((m) => m[1]));
const sameSet = (a, b) => a.size === b.size && [...a].every((x) => b.has(x));

async function main() {
  fs.mkdirSync(out, { recursive: true });
  const db = path.join(out, "pages.db");
  for (const suffix of ["", "-wal", "-shm"]) fs.rmSync(db + suffix, { force: true });
  const server = await lib.startServe(tracedx, ["--db", db, "--quiet-ms", "300"], { log: path.join(out, "pages.log") });
  const env = { ...process.env, REALTRACES_OTLP_EXPORTS: JSON.stringify([{ protocol: "json", url: `${server.url}/v1/traces`, compression: "gzip" }]) };
  await Promise.all(libraries.map((name) => new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [path.join(__dirname, "..", "record.cjs"), name, path.join(out, `${name}.otlp.jsonl`)], { env, stdio: "inherit" });
    child.on("exit", (code) => (code === 0 ? resolve() : reject(new Error(`recorder ${name}: exit ${code}`))));
  })));
  const manifests = Object.fromEntries(libraries.map((name) => [name, JSON.parse(fs.readFileSync(path.join(out, `${name}.manifest.json`), "utf8"))]));
  const all = new Set(Object.values(manifests).flatMap((m) => Object.values(m)));
  const traces = await lib.poll("every run diagnosed", async () => {
    const list = (await lib.getJson(`${server.url}/api/traces?limit=1000`)).traces;
    const done = list.filter((t) => all.has(t.trace_id) && t.status === "diagnosed");
    return done.length === all.size ? list : { notYet: `${done.length} of ${all.size} diagnosed` };
  }, { timeoutMs: 60000, intervalMs: 100 });

  // The index: every run listed, a plain GET form with the filters, no console errors.
  const index = chromium(`${server.url}/`, ["--dump-dom"], "index-dom");
  fs.writeFileSync(path.join(out, "index.dom.html"), index);
  const listed = linkedIds(index, `${server.url}/`);
  if (!sameSet(listed, all)) fail(`the index links ${listed.size} runs, ${all.size} were sent`);
  const form = /<form\b[^>]*>[\s\S]*?<\/form>/i.exec(index);
  if (!form || !/method="get"/i.test(form[0]) && /method="post"/i.test(form[0])) fail("the index has no GET form");
  else for (const field of ["label", "outcome", "service"])
    if (!new RegExp(`name="${field}"`).test(form[0])) fail(`the index's form has no field ${field}`);
  chromium(`${server.url}/`, [`--screenshot=${path.join(out, "index.png")}`], "index");

  // A report page of a failed run, with its way back to the index.
  const failing = manifests.openinference.tool_error;
  const report = chromium(`${server.url}/traces/${failing}`, ["--dump-dom"], "report-dom");
  if (!linkPaths(report, `${server.url}/traces/${failing}`).includes("/")) fail("the report page has no link back to the index");
  const label = traces.find((t) => t.trace_id === failing).label;
  if (!report.includes(label)) fail(`the report page does not show its finding ${JSON.stringify(label)}`);
  chromium(`${server.url}/traces/${failing}`, [`--screenshot=${path.join(out, "report.png")}`], "report");
  for (const [name, min] of [["index.png", 30000], ["report.png", 30000]]) {
    const size = fs.existsSync(path.join(out, name)) ? fs.statSync(path.join(out, name)).size : 0;
    // A blank 1280x1600 page compresses to a few kilobytes; a rendered page is far larger.
    if (size < min) fail(`${name}: ${size} bytes, looks blank`);
    else console.log(`${name}: ${size} bytes`);
  }

  // Filters without script: what the form submits is a query; the rows are those the API gives.
  for (const [field, value] of [["label", label], ["service", "realtraces-genai"], ["outcome", traces.find((t) => t.trace_id === failing).outcome]]) {
    if (value === null || value === undefined) continue;
    const query = `${field}=${encodeURIComponent(value)}`;
    // The page holds no script, so what Chromium renders is what the server filtered (the
    // DOM is read through Chromium's own script, which is why it stays enabled for that).
    const raw = (await lib.request(`${server.url}/?${query}`)).body.toString("utf8");
    if (/<script\b/i.test(raw)) fail(`/?${query}: the page holds a script`);
    const html = chromium(`${server.url}/?${query}`, ["--dump-dom"], `filter-${field}`);
    const want = new Set((await lib.getJson(`${server.url}/api/traces?${query}&limit=1000`)).traces.map((t) => t.trace_id));
    const got = linkedIds(html, `${server.url}/?${query}`);
    if (want.size === 0 || want.size === all.size) fail(`filter ${query}: the API gives ${want.size} of ${all.size} runs, not a real filter`);
    if (!sameSet(got, want)) fail(`/?${query} lists ${got.size} runs, the API ${want.size}`);
    else console.log(`/?${query}: ${got.size} of ${all.size} runs, as /api/traces`);
  }

  const { code } = await lib.stopServe(server);
  if (code !== 0) fail(`SIGTERM: exit ${code}`);
}

lib.runMain(main, "pages", failures);
