// What the console costs and shows a technician, measured in headless chromium against the simulated device:
// the renderer's CPU with every block open, frame times while scrolling the open tree, controls without an
// accessible name, how fast the log grows at DebugAll with the page open, how long a stopped service takes to
// show as stalled, and the log pane with a 16 MB log. Run by bench/console_cpu.sh, once per console compared.
import {execSync} from "node:child_process";
import {openSync, readFileSync, writeSync} from "node:fs";
import {createRequire} from "node:module";

const { chromium } =
    createRequire(new URL("../tests/console/package.json", import.meta.url))("playwright-core");

const BASE = "http://127.0.0.1:8080";
const [console_, ...options] = process.argv.slice(2);
const option = (name, fallback) => {
    const i = options.indexOf(`--${name}`);
    return i >= 0 ? options[i + 1] : fallback;
};
const only = option("only", "names,cpu,scroll,stall,log,feed").split(",");
const seconds = Number(option("seconds", "20"));
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
const set = (body) => fetch(`${BASE}/api/v1/set.cgi`, { method: "POST", body }).then((a) => a.text());
const kmsgLines = () => Number(execSync("wc -l </var/log/kmsg"));
const logSize = () => Number(execSync(`curl -s '${BASE}/api/v1/log.cgi?offset=0' | head -c 20 | head -n 1`));
const print = (what, figure) => console.log(`${console_}\t${what}\t${figure}`);

const browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking", "--disable-component-update"],
});
const cdp = await browser.newBrowserCDPSession();
// CPU seconds of the renderer processes, the page's.
const rendererCpu = async () => (await cdp.send("SystemInfo.getProcessInfo"))
                                    .processInfo.filter((p) => p.type === "renderer")
                                    .reduce((sum, p) => sum + p.cpuTime, 0);
// The share of a core the renderer used over the next `s` seconds.
const cpuOver = async (s) => {
    const [cpu, start] = [await rendererCpu(), Date.now()];
    await sleep(s * 1000);
    return (100 * (await rendererCpu() - cpu)) / ((Date.now() - start) / 1000);
};

async function open(viewport = {
    width: 1400,
    height: 900
}) {
    const context = await browser.newContext({ viewport });
    const page = await context.newPage();
    await page.goto(BASE + "/");
    await page.waitForFunction(() => document.querySelectorAll("details.block").length === 18);
    await page.waitForFunction(() => document.querySelector("#connection").dataset.state === "live");
    return page;
}

const openBlocks = (page, which) => page.evaluate((which) => {
    for (const d of document.querySelectorAll("details.block"))
        if (!which || which.includes(d.dataset.block)) d.open = true;
}, which);

let page = await open();

if (only.includes("names")) {
    await openBlocks(page, ["MemPersistent"]);
    await sleep(1000);
    const session = await page.context().newCDPSession(page);
    const { nodes } = await session.send("Accessibility.getFullAXTree");
    const controls = nodes.filter((n) => !n.ignored && [
        "button", "checkbox", "switch", "textbox", "combobox", "spinbutton", "searchbox", "slider"
    ].includes(n.role?.value));
    const unnamed = controls.filter((n) => !String(n.name?.value ?? "").trim());
    print("unnamed controls, MemPersistent open", `${unnamed.length} of ${controls.length}`);
}

if (only.includes("cpu") || only.includes("scroll")) {
    await openBlocks(page);
    await sleep(3000);
}
if (only.includes("cpu"))
    print(`renderer CPU, all blocks open, % of a core over ${seconds} s`,
          (await cpuOver(seconds)).toFixed(1));

if (only.includes("scroll")) {
    // Wheel steps over the tree, one a frame, from its top; every frame's interval while they go on.
    const box = await page.locator("#tree").boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + Math.min(box.height, 800) / 2);
    await page.evaluate(() => {
        document.querySelector("#tree").scrollTop = 0;
        window.frameTimes = [];
        let last = performance.now();
        const frame = (t) => {
            window.frameTimes.push(t - last);
            last = t;
            if (!window.stopFrames) requestAnimationFrame(frame);
        };
        requestAnimationFrame(frame);
    });
    const session = await page.context().newCDPSession(page);
    await session.send("Performance.enable");
    const metrics = async () => Object.fromEntries(
        (await session.send("Performance.getMetrics")).metrics.map((m) => [m.name, m.value]));
    const before = await metrics();
    for (let i = 0; i < 300; i++) {
        await page.mouse.wheel(0, 100);
        await page.evaluate(() => new Promise((r) => requestAnimationFrame(() => r())));
    }
    const after = await metrics();
    const spent = (name) => (after[name] - before[name]).toFixed(2);
    const times = (await page.evaluate(() => ((window.stopFrames = true), window.frameTimes))).slice(1);
    times.sort((a, b) => a - b);
    const at = (q) => times[Math.min(times.length - 1, Math.floor(q * times.length))].toFixed(1);
    print("scroll frames: median / p95 / max ms, over 50 ms",
          `${at(0.5)} / ${at(0.95)} / ${times.at(-1).toFixed(1)}, ${times.filter((t) => t > 50).length} of ${
              times.length}`);
    // The page's own work meanwhile, apart from waiting for a core the other programs hold.
    print("scroll: main thread busy / layout / style / script, s",
          ["TaskDuration", "LayoutDuration", "RecalcStyleDuration", "ScriptDuration"].map(spent).join(" / "));
}

if (only.includes("stall")) {
    await page.reload();
    await page.waitForFunction(() => document.querySelector("#connection").dataset.state === "live");
    const pid = readFileSync("/run/service.pid", "utf8").trim();
    execSync(`kill -STOP ${pid}`);
    const start = Date.now();
    const limit = 30000;
    const stalled =
        await page
            .waitForFunction(() => /stall/i.test(document.querySelector("#connection").textContent), null,
                             { timeout: limit, polling: 100 })
            .then(() => true, () => false);
    print("seconds until a stopped service shows as stalled",
          stalled ? ((Date.now() - start) / 1000).toFixed(1) : `not within ${limit / 1000}`);
    execSync(`kill -CONT ${pid}`);
    await page.waitForFunction(() => document.querySelector("#connection").dataset.state === "live");
}

if (only.includes("log")) {
    await page.context().close();
    // Lines as the device's programs write them, about 100 bytes each, a chunk once the service has converted
    // the one before, until it has converted 16 MB.
    const kmsg = openSync("/dev/kmsg", "w");
    for (let n = 0, total = logSize(); total < 16e6;) {
        let chunk = "";
        for (let i = 0; i < 20000; i++, n++)
            chunk +=
                `          log-filler  LogLight               filler.cpp:  42 line ${n} of the bulk log, ` +
                `${"x".repeat(n % 30)}\n`;
        writeSync(kmsg, chunk);
        for (const target = total + chunk.length; (total = logSize()) < target;) await sleep(200);
    }
    const size = logSize();
    page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    const asked = [];
    let received = 0;
    page.on("response", async (r) => {
        const m = /log\.cgi\?offset=(\d+)/.exec(r.url());
        if (!m) return;
        asked.push(Number(m[1]));
        received += (await r.body().catch(() => Buffer.alloc(0))).length;
    });
    await page.goto(BASE + "/");
    await sleep(5000);
    const cpu = await cpuOver(10);
    const lines = await page.$$eval("#log .line", (all) => all.map((l) => l.textContent));
    print(`log of ${(size / 1e6).toFixed(1)} MB: offsets asked`, asked.slice(0, 8).join(", "));
    print("log: MB received, line elements (distinct), the page's count",
          `${(received / 1e6).toFixed(1)}, ${lines.length} (${new Set(lines).size}), "${
              (await page.textContent("#log-count")).trim()}"`);
    print("log: renderer CPU, % of a core over 10 s", cpu.toFixed(1));
}

if (only.includes("feed")) {
    await page.context().close();
    // Lines a second while the service logs verbosely, without a page and with one open. At DebugAll the
    // service also logs each wake-up of its own log pipe, a line that wakes it again: that part grows with
    // whatever else is logged.
    const rate = async () => {
        const [n, start] = [kmsgLines(), Date.now()];
        await sleep(10000);
        return Math.round((kmsgLines() - n) / ((Date.now() - start) / 1000));
    };
    for (const level of ["DebugMost", "DebugAll"]) {
        await set(`{"MemApp": {"AppServiceLogLevel": "${level}"}}`);
        await sleep(2000);
        const without = await rate();
        const page = await open();
        await sleep(3000);
        print(`log lines/s at ${level}, no page / page open`, `${without} / ${await rate()}`);
        await page.context().close();
    }
    await set('{"MemApp": {"AppServiceLogLevel": "LogLight"}}');
}

await browser.close();
