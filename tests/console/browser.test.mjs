// The device console in a real browser (Debian's chromium, headless) against the simulated device that run.sh
// starts in the sandbox. Every check reads the device back through a request of its own, not the page.
import assert from "node:assert/strict";
import {spawn} from "node:child_process";
import {openSync, readFileSync, rmSync, writeSync} from "node:fs";
import {mkdtemp, readFile} from "node:fs/promises";
import {createRequire} from "node:module";
import {after, before, test} from "node:test";
import {chromium} from "playwright-core";

import {CHROMIUM, DEVICE, send, setVars, variables} from "../support/browser.mjs";

let browser, page; // browser: the persistent context
const pageErrors = [];

const get = async (path) => (await send("GET", path)).text;
const until = (fn, arg, timeout = 10000) => page.waitForFunction(fn, arg, { timeout, polling: 100 });
// Waits until an element that selector finds shows text matching pattern.
const shows = (selector, pattern, timeout) =>
    page.locator(selector, { hasText: pattern }).first().waitFor({ timeout });
// Waits until the editor that selector finds holds value (or, with other, anything else).
const holds = (selector, value, other = false, timeout = undefined) =>
    until(([s, v, o]) => (document.querySelector(s)?.value === v) !== o, [selector, value, other], timeout);
const state = (wanted, timeout, on = page) => on.waitForFunction(
    (w) => document.querySelector("#connection").dataset.state === w, wanted, { timeout, polling: 100 });
// Rows as the search lists them; the tree behind keeps rows of the same variables, hidden.
const row = (variable) => `#results [data-var="${variable}"]`;
const TORQUE = `${row("MemPersistent.FocusTorque")} input`;
const servicePid = () => Number(readFileSync("/run/service.pid", "utf8"));

// No serious or critical finding of axe-core's WCAG A and AA rules on what the page shows.
async function accessible(on) {
    await on.addScriptTag({ path: createRequire(import.meta.url).resolve("axe-core/axe.min.js") });
    const rules = { runOnly: ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa"], resultTypes: ["violations"] };
    const found = await on.evaluate((r) => axe.run(document, r), rules);
    const serious = found.violations.filter((v) => ["serious", "critical"].includes(v.impact));
    assert.deepEqual(
        serious.map((v) => `${v.id}: ${v.nodes.slice(0, 3).map((n) => n.target.join(" ")).join(", ")}`), []);
}

// Shows one variable: searched by its name.
async function show(block, name) {
    await page.fill("#search", name);
    const shown = page.locator(row(`${block}.${name}`));
    return (await shown.waitFor({ state: "visible" }), shown);
}
const enter = async (input, text) => (await input.fill(text), input.press("Enter"));

before(async () => {
    // A fresh profile of its own (the --user-data-dir of a persistent context).
    browser = await chromium.launchPersistentContext(
        await mkdtemp("/tmp/chromium-profile-"),
        {...CHROMIUM, viewport: { width: 1400, height: 1150 }, acceptDownloads: true });
    page = browser.pages()[0] ?? (await browser.newPage());
    page.on("pageerror", (e) => pageErrors.push(e.message));
    await page.goto(DEVICE + "/");
    await state("live");
});

after(async () => {
    // The picture of the console in the README, taken with what the tests left on the device.
    if (page && process.env.CONSOLE_OUT) {
        await page.fill("#search", "Torque");
        await page.locator(row("MemPersistent.FocusTorque")).waitFor();
        await page.screenshot({ path: `${process.env.CONSOLE_OUT}/console.png`, fullPage: true });
    }
    await browser?.close();
    assert.deepEqual(pageErrors, [], "the page raised no script errors");
});

test("the search finds names, record fields and values, each with its path", async () => {
    assert.equal(await page.textContent("#product"), "Lens Controller");
    // The paths of the hits for a query, once the one expected last is listed.
    const paths = async (query, last, hits = "#results .hit") => {
        await page.fill("#search", query);
        await shows("#results .hit .path", last);
        return page.$$eval(`${hits} .path`, (found) => found.map((p) => p.textContent));
    };
    assert.deepEqual(await paths("CalRequest", "AUXMotor › CalRequest"),
                     ["Focus", "Iris", "Zoom", "AUX"].map((m) => `MemMotors › ${m}Motor › CalRequest`));
    const calRequest = '[data-path="MemMotors.IrisMotor.CalRequest"] input[role="switch"]';
    assert.equal(await page.locator(`#results ${calRequest}`).count(), 1);
    const byValue = await paths("Orange", "PopupSymbolColor", '#results .hit[data-match="value"]');
    assert.ok(byValue.includes("MemGuiLocal › PopupSymbolColor"), byValue.join());
    assert.equal(await page.locator("#tree").isHidden(), true);
});

test("edits reach the device; the page refuses wrong ones and says what the device cut", async () => {
    const said = (pattern) => shows("#set-result", pattern);
    const torque = await show("MemPersistent", "FocusTorque");
    // Every control is named by its variable's path.
    const input = page.getByRole("textbox", { name: "MemPersistent.FocusTorque", exact: true });
    await enter(input, "3");
    await said(/FocusTorque = 3: kept by the device/);
    // Outside the printed limits: nothing is sent (the device still holds 3 at the end), the refusal names
    // the variable, the text stays to be corrected, and Escape puts the device's value back.
    await enter(input, "9");
    await said(/^MemPersistent\.FocusTorque: 9 is outside 1 … 4$/);
    assert.equal(await torque.locator("input.invalid").count(), 1);
    await input.press("Escape");
    assert.deepEqual([await input.inputValue(), await torque.locator("input.invalid").count()], ["3", 0]);

    const boost = (await variables()).MemPersistent.RadioBoost.value;
    await (await show("MemPersistent", "RadioBoost")).locator(".switch").click();
    await said(/RadioBoost = (true|false): kept by the device/);
    await show("MemPersistent", "KnobAssignment");
    await page.getByRole("combobox", { name: "MemPersistent.KnobAssignment" }).selectOption("Zoom");
    await said(/KnobAssignment = Zoom: kept by the device/);
    // A field of element 1 of an array of records goes with its Index.
    await show("MemCamera", "CamSpeedList");
    await enter(page.getByRole("textbox", { name: "MemCamera.CamSpeedList[1].CamSpeed" }), "29.5");
    await said(/CamSpeedList\[1\]\.CamSpeed = 29\.5: kept by the device/);
    const { MemPersistent: held, MemCamera } = await variables();
    assert.deepEqual([held.FocusTorque.value, held.RadioBoost.value, held.KnobAssignment.value],
                     ["3", boost === "true" ? "false" : "true", "Zoom"]);
    assert.deepEqual(MemCamera.CamSpeedList.map((r) => r.CamSpeed.value).slice(0, 2),
                     ["23.976000", "29.500000"]);

    // The service answers result 1 for a text longer than the string holds; the page reads back the rest.
    const product = await show("MemPersistent", "ProductName");
    await enter(product.locator("input"), "Lens Controller with a forty-byte name..");
    await product.locator(".kept", { hasText: "device kept 'Lens Controller wit' (20-byte text)" }).waitFor();
    await said(/ProductName = Lens Controller with a forty-byte name\.\.: device kept 'Lens Controller wit'/);
    assert.equal(await page.getAttribute("#set-result", "data-ok"), "0");
    assert.equal(await product.locator("input").inputValue(), "Lens Controller wit");
    await shows("#product", /^Lens Controller wit$/); // the header follows the name
    await setVars('{"MemPersistent": {"ProductName": "Lens Controller"}}');
});

test("the device's and others' changes appear as they come, but not under a focused drop-down", async () => {
    // A value the simulated device keeps moving.
    const moving = (await show("MemDynamic", "FocusActPosNorm")).locator("input");
    await holds(`${row("MemDynamic.FocusActPosNorm")} input`, await moving.inputValue(), true);
    // Changed by another client: it arrives through the update poll, highlighted.
    const torque = await show("MemPersistent", "FocusTorque");
    await setVars('{"MemPersistent": {"FocusTorque": 4}}');
    await holds(TORQUE, "4");
    assert.match(await torque.locator(".value").getAttribute("class"), /changed/);
    // A record string that holds control characters, which the service passes on raw.
    await setVars('{"MemPersistent": {"MruLensFileList": {"Index": 2, "LensFileName": "a\u0001b\tc"}}}');
    const files = await show("MemPersistent", "MruLensFileList");
    await holds(`${row("MemPersistent.MruLensFileList")} tr[data-index="2"] input`, "a\u2401b\u2409c");
    assert.equal(await files.locator("input.control").count(), 1);

    // Another client changes the focused field, and the rest of its record ten times a second besides
    // the device moving its position: the page must not write the field in under the user.
    const motor = row("MemMotors.FocusMotor");
    const axis = (await show("MemMotors", "FocusMotor")).locator('tr[data-field="MotorAxis"] select');
    await axis.focus();
    await page.evaluate(() => (window.focused = document.activeElement));
    const set = (fields) => setVars(`{"MemMotors": {"FocusMotor": {"Index": 0, ${fields}}}}`);
    await set('"MotorAxis": "Iris"');
    let teeth = 0;
    const driver = setInterval(() => set(`"GearTeethAct": ${++teeth % 200}`), 100);
    try {
        await until((s) => (window.teethShown ??= new Set()).add(document.querySelector(s).value).size >= 10,
                    `${motor} tr[data-field="GearTeethAct"] input`);
    } finally {
        clearInterval(driver);
    }
    assert.equal(await page.evaluate(() => document.activeElement === window.focused), true);
    assert.equal(await axis.inputValue(), "Focus");
    assert.equal((await variables()).MemMotors.FocusMotor.MotorAxis.value, "Iris");
    await page.focus("#search");
    await holds(`${motor} tr[data-field="MotorAxis"] select`, "Iris");
    await set('"MotorAxis": "Focus"');
});

test("the kernel log: colours made readable, follows the end, waits while read, filters", async () => {
    await page.fill("#search", "");
    // The simulated device logs an error at start: the service's dark red, lightened for the dark pane.
    await until(() => [...document.querySelectorAll("#log span.coloured")].some(
                    (s) => s.dataset.colour === "#AA0000" && /Error/.test(s.textContent)));
    const refused = (n, tag = "") => setVars(`{"NoSuchBlock${tag}${n}": {"X": 1}}`);
    for (let i = 0; i < 60; i++) await refused(i);
    await shows("#log .line", /Unknown memory "NoSuchBlock59"/);
    // Kept at the end while lines come; markup in kernel text stays text; only lines in view are on the page.
    const atEnd = (l) => l.scrollTop + l.clientHeight >= l.scrollHeight - 20;
    await until(atEnd, await page.$("#log"));
    assert.equal(await page.locator("#log b, #log script, #log img").count(), 0);
    assert.ok(await page.locator("#log .line").count() < 60);
    // Scrolled up, the view stays where the reader is, and says what waits below.
    await page.$eval("#log", (l) => l.scrollTo(0, 0));
    await refused(1, "WhileRead");
    await shows("#log-end", /↓ [1-9]\d* new lines? below/);
    assert.equal(await page.$eval("#log", (l) => l.scrollTop), 0);
    await page.click("#log-end");
    await shows("#log .line", "WhileRead1");
    assert.ok(await page.$eval("#log", atEnd));
    assert.equal(await page.isHidden("#log-end"), true);

    await page.selectOption("#log-program", "service");
    await page.selectOption("#log-level", "Error");
    await page.fill("#log-text", "WhileRead");
    await until(() => document.querySelectorAll("#log .line").length === 1);
    await page.fill("#log-text", "");
    await page.selectOption("#log-level", "");
    await page.selectOption("#log-program", "");
});

test("the service actions write a ring through the 1-Wire tool and set the modem type", async () => {
    const pane = page.locator("#service-pane");
    const ring = async (unit, close) => {
        await pane.locator('select[name="unit"]').selectOption(unit);
        await pane.locator('input[name="focusCloseValue"]').fill(close);
        await pane.locator("#ring-form button").click();
    };
    await ring("metric", "abc");
    await shows('#service-status[data-state="bad"]', /"abc" is not a close-focus value/);
    // The web server answers 502, as the service ends the request without an answer: a success all the same.
    await ring("imperial", "1.5");
    await shows("#service-status", /^Ring written$/);
    assert.match(await pane.locator("#service-lines").textContent(),
                 /onewire-tool: ring written: unit imperial, close focus 1\.5/);
    assert.equal(await pane.locator('dd[data-var="ServiceModeWritingToRing1Wire"]').textContent(), "false");

    await pane.locator('select[name="devType"]').selectOption("B");
    await pane.locator("#modem-form button").click();
    await shows("#service-status", /Modem type B sent: the device reports P2400/);
    assert.equal(await pane.locator('dd[data-var="ServiceModeConnectedModemType"]').textContent(), "P2400");
    assert.equal((await variables()).MemServiceMode.ServiceModeConnectedModemType.value, "P2400");
});

test("a pinned value is plotted on a time axis, read under the pointer, kept across a reload", async () => {
    await page.fill("#search", "ActPosition");
    await page.getByRole("button", { name: "Watch MemMotors.FocusMotor.ActPosition" }).click();
    const watch = '.watch[data-path="MemMotors.FocusMotor.ActPosition"]';
    const plotted = (samples) => until(([w, n]) => document.querySelector(w)?.dataset.samples >= n &&
                                                   document.querySelectorAll(`${w} line.limit`).length === 2,
                                       [watch, samples]);
    await plotted(3);
    await until((w) => document.querySelectorAll(`${w} text.tick`).length >= 3, watch);
    assert.match(await page.textContent(`${watch} .range`), /limits 0 … 65535/);
    const box = await page.locator(`${watch} svg`).boundingBox();
    await page.mouse.move(box.x + box.width - 5, box.y + box.height / 2);
    await shows(`${watch} .hover`, /^\d+ at (now|\d+ s ago)$/);
    await page.selectOption("#watch-window", String(60000));
    const samples = Number(await page.getAttribute(watch, "data-samples"));
    await page.reload();
    await state("live");
    assert.equal(await page.inputValue("#watch-window"), "60000");
    await plotted(samples);
});

test("the side panes show the display as it changes, the device and the update targets", async () => {
    await until(() => document.querySelector("#screen").naturalWidth > 0);
    assert.deepEqual(await page.$eval("#screen", (s) => [s.naturalWidth, s.naturalHeight]), [800, 480]);
    await until((s) => document.querySelector("#screen").getAttribute("src") !== s,
                await page.getAttribute("#screen", "src"));
    assert.match(await page.textContent("#device-info"),
                 /SIM-000042.*Space\d+(\.\d+)? [kMG]B free of \d+(\.\d+)? [kMG]B/);
    assert.equal(await page.textContent("#update-status"), "No file selected");
    assert.deepEqual(await page.$$eval("#update-device option", (o) => o.map((x) => x.value)),
                     ["SIM-000042", "Hand unit-4100", "Distance sensor-4101"]);
});

test("an uploaded file downloads back unchanged; replacing and deleting it are asked first", async () => {
    const bytes = Buffer.from([...Array(256).keys(), 13, 10, 0, 255, 34, 92]);
    const folder = page.locator('section.folder[data-folder="lenstables"]');
    const upload = (buffer) =>
        folder.locator('input[type="file"]')
            .setInputFiles({ name: "probe table.tab", mimeType: "application/octet-stream", buffer });
    await upload(bytes);
    const item = folder.locator('li[data-name="probe table.tab"]');
    await item.waitFor();
    const result = folder.locator(".folder-result");
    assert.equal(await result.textContent(), "probe table.tab: Success");
    const [download] = await Promise.all([page.waitForEvent("download"), item.locator("a").click()]);
    assert.deepEqual(await readFile(await download.path()), bytes);
    assert.equal(download.suggestedFilename(), "probe table.tab");
    // The same name again: nothing is replaced unless the user says so.
    await upload(Buffer.from("other"));
    const replace = folder.getByRole("group", { name: "Replace probe table.tab in Lens tables?" });
    await replace.getByText("Cancel").click();
    await result.filter({ hasText: "Nothing uploaded" }).waitFor();
    assert.deepEqual((await send("GET", "/voxapp/v1/lenstables/file/probe%20table.tab")).bytes, bytes);
    await item.getByRole("button", { name: "Delete probe table.tab from Lens tables" }).click();
    await folder.getByRole("button", { name: "Delete", exact: true }).click();
    await folder.locator("li.empty").waitFor();
    assert.equal(await result.textContent(), "probe table.tab deleted: Success");
    assert.match(await get("/voxapp/v1/lenstables/file/probe%20table.tab"), /No such file/);
    // Several files at once, into another folder.
    const rings = page.locator('section.folder[data-folder="focusrings"]');
    const ring = (name) => ({ name, mimeType: "application/octet-stream", buffer: Buffer.from(name) });
    await rings.locator('input[type="file"]').setInputFiles([ring("a.ring"), ring("b.ring")]);
    await rings.locator("li[data-name]").nth(1).waitFor();
    assert.equal(await rings.locator("li[data-name]").count(), 2);
    assert.equal(await get("/voxapp/v1/focusrings/file/b.ring"), "b.ring");
});

test("a package upload shows the update's progress to its end", async () => {
    await page.selectOption("#update-device", "Hand unit-4100");
    const file = {
        name: "accessory.cmf",
        mimeType: "application/octet-stream",
        buffer: Buffer.alloc(4096, 7)
    };
    await page.setInputFiles("#update-file", file);
    // Collects every state and progress the page shows while the update runs.
    await page.$eval("#app-pane .status-line", (line) => {
        window.seen = [];
        const [status, progress] = line.children;
        new MutationObserver(() => window.seen.push(`${status.textContent} ${progress.value}`))
            .observe(line, { subtree: true, childList: true, characterData: true, attributes: true });
    });
    await page.click('#update-form button[type="submit"]');
    await shows("#update-status", /^Success$/, 30000);
    assert.equal(await page.$eval("#update-progress", (p) => p.value), 100);
    const seen = await page.evaluate(() => window.seen);
    assert.ok(seen.some((s) => /^In progress [1-9]/.test(s)), seen.join("; "));
    assert.equal(await readFile("/update/client.cmf").then((b) => b.length), 4096);
});

test("axe-core finds nothing serious; on a phone editors are in view under labels, easy to tap", async () => {
    await page.fill("#search", "");
    await page.$$eval('details.block[data-block="MemPersistent"], details.block[data-block="MemMotors"]',
                      (blocks) => blocks.forEach((d) => (d.open = true)));
    await accessible(page);
    const phone = await browser.newPage();
    phone.on("pageerror", (e) => pageErrors.push(e.message));
    await phone.setViewportSize({ width: 390, height: 844 });
    await phone.goto(DEVICE + "/");
    await state("live", undefined, phone);
    await phone.fill("#search", "Motor");
    await phone.locator('#results [data-var="MemMotors.FocusMotor"] select').first().waitFor();
    // Every control on the page within the screen's width and at least 44 px each way (a checkbox by its
    // label, a switch by its frame); a label above its editor; no sideways scrolling and no scrolling box
    // of the tree's own; log lines wrapped in the rows the pane gives them.
    const { count, logLines, ...layout } = await phone.evaluate((selector) => {
        const boxes = [...document.querySelectorAll(selector)]
                          .filter((c) => c.checkVisibility())
                          .map((c) => [c, c.getBoundingClientRect()]);
        const which = (found) => found.map(([c, b]) => `${c.tagName} ${c.textContent.trim().slice(0, 20)} ${
                                               Math.round(b.width)}x${Math.round(b.height)}`);
        const name = document.querySelector("#results .var .name").getBoundingClientRect();
        const editor = document.querySelector("#results .var .value").getBoundingClientRect();
        const lines = [...document.querySelectorAll("#log .line")];
        return {
            count: boxes.length,
            outside: which(boxes.filter(([, b]) => b.left < 0 || b.right > innerWidth)),
            small: which(boxes.filter(([, b]) => b.width < 44 || b.height < 44)),
            labelAbove: name.bottom <= editor.top,
            sideways: document.documentElement.scrollWidth > innerWidth,
            treeBox: getComputedStyle(document.querySelector("#tree")).overflowY,
            logLines: lines.length,
            clipped: lines.filter((l) => l.scrollHeight > l.clientHeight + 1).length,
        };
    }, "button, select, input:not([type=checkbox]), label.switch, label:has(> input[type=checkbox]), a");
    assert.deepEqual(
        layout,
        { outside: [], small: [], labelAbove: true, sideways: false, treeBox: "visible", clipped: 0 });
    assert.ok(count > 20 && logLines > 10, `${count} controls, ${logLines} log lines`);
    await accessible(phone);
    if (process.env.CONSOLE_OUT)
        await phone.screenshot({ path: `${process.env.CONSOLE_OUT}/console-phone.png` });
    await phone.close();
});

test("a 16 MB log: the page asks only for what is new, within its bound", { timeout: 120000 }, async () => {
    // The most lines the count says are kept, on each change of the count.
    const keptMost = () => {
        window.kept = 0;
        const count = document.querySelector("#log-count");
        new MutationObserver(
            () => (window.kept = Math.max(window.kept, Number(/of (\d+)/.exec(count.textContent)[1]))))
            .observe(count, { childList: true, characterData: true, subtree: true });
    };
    await page.evaluate(keptMost);
    // Lines as the device's programs write them, a chunk once the service has converted the one before,
    // until it has converted 16 MB: this page follows the log as it grows.
    const size = async () => Number((await get("/api/v1/log.cgi?offset=0")).split("\n", 1)[0]);
    const kmsg = openSync("/dev/kmsg", "w");
    const filler = (i) =>
        `          log-filler  LogLight               filler.cpp:  42 line ${i} of the bulk log\n`;
    let n = 0;
    for (let total = await size(); total < 16e6;) {
        const chunk = Array.from({ length: 20000 }, () => filler(n++)).join("");
        writeSync(kmsg, chunk);
        for (const target = total + chunk.length; (total = await size()) < target;)
            await new Promise((r) => setTimeout(r, 200));
    }
    // A page opened now gets the 4 MiB the service keeps, and after them only what is new.
    const fresh = await browser.newPage();
    const answers = []; // each as the offset asked and the size line answered
    fresh.on("response", async (r) => {
        const m = /log\.cgi\?offset=(\d+)/.exec(r.url());
        if (m) answers.push([Number(m[1]), Number((await r.text()).split("\n", 1)[0])]);
    });
    await fresh.addInitScript(`addEventListener("DOMContentLoaded", ${keptMost})`);
    await fresh.goto(DEVICE + "/");
    const last = `line ${n - 1} of the bulk log`;
    await fresh.locator("#log .line", { hasText: last }).waitFor({ timeout: 60000 });
    await setVars('{"NoSuchBlockAfterTheBulk": {"X": 1}}');
    await fresh.locator("#log .line", { hasText: "AfterTheBulk" }).waitFor();
    await shows("#log .line", last, 60000);
    for (const p of [page, fresh]) {
        assert.ok(await p.evaluate(() => window.kept) <= 5000);
        const lines = await p.$$eval("#log .line", (all) => all.map((l) => l.textContent));
        assert.ok(lines.length < 100 && new Set(lines).size === lines.length,
                  `${lines.length} lines on the page`);
    }
    await fresh.close();
    // Never an offset before the size the last answer gave: what the service had already sent.
    assert.ok(answers.length >= 2 && answers[0][1] >= 16e6);
    assert.deepEqual(answers.filter(([asked], i) => i > 0 && asked < answers[i - 1][1]), []);
});

test("a stopped service shows as stalled within seconds; an edit meanwhile can be cancelled", async () => {
    const pid = servicePid();
    const torque = await show("MemPersistent", "FocusTorque");
    process.kill(pid, "SIGSTOP");
    try {
        await state("stalled", 8000);
        await shows("#stale-note", /no answer for \d+ s/);
        assert.ok(Number(await page.$eval("#tree", (t) => getComputedStyle(t).opacity)) < 1);
        await enter(torque.locator("input"), "1");
        await torque.locator(".kept", { hasText: "sending…" }).waitFor();
        await torque.getByRole("button", { name: "Cancel the change of MemPersistent.FocusTorque" }).click();
        await shows("#set-result", /FocusTorque = 1: cancelled; the device may still take it/);
    } finally {
        process.kill(pid, "SIGCONT");
    }
    await state("live");
    // The whole tree is read again: the field shows what the device holds, whatever became of the edit.
    await holds(TORQUE, (await variables()).MemPersistent.FocusTorque.value);
});

// Last: when it fails, the service may stay away for the tests after it.
test("the page comes back by itself after the service restarts, every pane read anew", async () => {
    process.kill(servicePid(), "SIGTERM");
    await state("lost");
    assert.match(await page.getAttribute("#connection", "title"),
                 /^(502 Bad Gateway|no connection to the device)$/);
    // A file gone while the service was away is gone from the page once it is back.
    rmSync("/var/FOR/a.ring");
    const log = openSync(process.env.SERVICE_LOG, "a");
    spawn(process.env.SERVICE_BIN, [], { detached: true, stdio: ["ignore", "ignore", log] }).unref();
    await state("live", 20000);
    // Reading the whole state again, then following changes with the new service. A change that reaches the
    // service before the page's next update request does is not reported (the tree the page read may already
    // be older), so a few changes are tried; the page must show one of them.
    await show("MemPersistent", "FocusTorque");
    const arrives = async (value) => (await setVars(`{"MemPersistent": {"FocusTorque": ${value}}}`),
                                      holds(TORQUE, value, false, 3000).then(() => true, () => false));
    const shown = (await arrives("1")) || (await arrives("2")) || (await arrives("3"));
    assert.ok(shown, "a change after the restart reached the page");
    const gone = page.locator('section.folder[data-folder="focusrings"] li[data-name="a.ring"]');
    await gone.waitFor({ state: "detached" });
});
