// The device console in a real browser (Debian's chromium, headless) against the simulated device that run.sh
// starts in the sandbox. Every check reads the device back through a request of its own, not through the
// page.
import assert from "node:assert/strict";
import {execFileSync, spawn} from "node:child_process";
import {openSync} from "node:fs";
import {mkdtemp, readFile} from "node:fs/promises";
import {after, before, test} from "node:test";
import {chromium} from "playwright-core";

import {parseLenient} from "../../sim/console/js/lenient-json.js";

const BASE = "http://127.0.0.1:8080";
let browser, page; // browser: the persistent context
const pageErrors = [];

const api = async (path, options) => (await fetch(BASE + path, options)).text();
const device = async () => parseLenient(await api("/api/v1/all.cgi")).value.variables;
const setFromElsewhere = (body) => api("/api/v1/set.cgi", { method: "POST", body });
const until = (fn, arg, timeout = 10000) => page.waitForFunction(fn, arg, { timeout, polling: 100 });
// Waits until an element that selector finds shows text matching pattern.
const shows = (selector, pattern, timeout) =>
    page.locator(selector, { hasText: pattern }).first().waitFor({ timeout });
// Waits until the editor that selector finds holds value (or, with other, anything else).
const holds = (selector, value, other = false, timeout = undefined) =>
    until(([s, v, o]) => (document.querySelector(s)?.value === v) !== o, [selector, value, other], timeout);
const state = (wanted, timeout) =>
    until((w) => document.querySelector("#connection").dataset.state === w, wanted, timeout);
// Rows as the search lists them; the tree behind keeps rows of the same variables, hidden.
const row = (variable) => `#results [data-var="${variable}"]`;

// Shows one variable: searched by its name.
async function show(block, name) {
    await page.fill("#search", name);
    const shown = page.locator(row(`${block}.${name}`));
    await shown.waitFor({ state: "visible" });
    return shown;
}

before(async () => {
    // A fresh profile of its own (the --user-data-dir of a persistent context).
    browser = await chromium.launchPersistentContext(await mkdtemp("/tmp/chromium-profile-"), {
        executablePath: "/usr/bin/chromium",
        args: [
            "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync"
        ],
        viewport: { width: 1400, height: 1150 },
        acceptDownloads: true,
    });
    page = browser.pages()[0] ?? (await browser.newPage());
    page.on("pageerror", (e) => pageErrors.push(e.message));
    await page.goto(BASE + "/");
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
    const enter = async (input, text) => (await input.fill(text), input.press("Enter"));
    const torque = await show("MemPersistent", "FocusTorque");
    await enter(torque.locator("input"), "3");
    await said(/FocusTorque = 3: kept by the device/);
    // Outside the printed limits: nothing is sent (the device still holds 3 at the end).
    await enter(torque.locator("input"), "9");
    await said(/outside 1 … 4/);
    assert.equal(await torque.locator("input.invalid").count(), 1);

    const boost = (await device()).MemPersistent.RadioBoost.value;
    await (await show("MemPersistent", "RadioBoost")).locator(".slider").click();
    await said(/RadioBoost = (true|false): kept by the device/);
    await (await show("MemPersistent", "KnobAssignment")).locator("select").selectOption("Zoom");
    await said(/KnobAssignment = Zoom: kept by the device/);
    // A field of element 1 of an array of records goes with its Index.
    await enter((await show("MemCamera", "CamSpeedList")).locator('tr[data-index="1"] input'), "29.5");
    await said(/CamSpeedList\[1\]\.CamSpeed = 29\.5: kept by the device/);
    const { MemPersistent, MemCamera } = await device();
    assert.deepEqual(
        [MemPersistent.FocusTorque.value, MemPersistent.RadioBoost.value, MemPersistent.KnobAssignment.value],
        ["3", boost === "true" ? "false" : "true", "Zoom"]);
    assert.deepEqual(MemCamera.CamSpeedList.map((r) => r.CamSpeed.value).slice(0, 2),
                     ["23.976000", "29.500000"]);

    // The service answers result 1 for a text longer than the string holds; the page reads back the rest.
    const product = await show("MemPersistent", "ProductName");
    await enter(product.locator("input"), "Lens Controller with a forty-byte name..");
    await product.locator(".kept", { hasText: "device kept 'Lens Controller wit' (20-byte text)" }).waitFor();
    assert.match(
        await page.textContent("#set-result"),
        /ProductName = Lens Controller with a forty-byte name\.\.: device kept 'Lens Controller wit'/);
    assert.equal(await page.getAttribute("#set-result", "data-ok"), "0");
    assert.equal(await product.locator("input").inputValue(), "Lens Controller wit");
    await setFromElsewhere('{"MemPersistent": {"ProductName": "Lens Controller"}}');
});

test("the device's and others' changes appear as they come, but not under a focused drop-down", async () => {
    // A value the simulated device keeps moving.
    const moving = (await show("MemDynamic", "FocusActPosNorm")).locator("input");
    await holds(`${row("MemDynamic.FocusActPosNorm")} input`, await moving.inputValue(), true);
    // Changed by another client: it arrives through the update poll, highlighted.
    const torque = await show("MemPersistent", "FocusTorque");
    await setFromElsewhere('{"MemPersistent": {"FocusTorque": 4}}');
    await holds(`${row("MemPersistent.FocusTorque")} input`, "4");
    assert.match(await torque.locator(".value").getAttribute("class"), /changed/);
    // A record string that holds control characters, which the service passes on raw.
    await setFromElsewhere(
        '{"MemPersistent": {"MruLensFileList": {"Index": 2, "LensFileName": "a\u0001b\tc"}}}');
    const files = await show("MemPersistent", "MruLensFileList");
    await holds(`${row("MemPersistent.MruLensFileList")} tr[data-index="2"] input`, "a\u2401b\u2409c");
    assert.equal(await files.locator("input.control").count(), 1);

    // Another client changes the focused field, and the rest of its record ten times a second besides
    // the device moving its position: the page must not write the field in under the user.
    const motor = row("MemMotors.FocusMotor");
    const axis = (await show("MemMotors", "FocusMotor")).locator('tr[data-field="MotorAxis"] select');
    await axis.focus();
    await page.evaluate(() => (window.focused = document.activeElement));
    const set = (fields) => setFromElsewhere(`{"MemMotors": {"FocusMotor": {"Index": 0, ${fields}}}}`);
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
    assert.equal((await device()).MemMotors.FocusMotor.MotorAxis.value, "Iris");
    await page.focus("#search");
    await holds(`${motor} tr[data-field="MotorAxis"] select`, "Iris");
    await set('"MotorAxis": "Focus"');
});

test("the kernel log shows the device's colours, follows new lines, filters, pauses and caps", async () => {
    await page.fill("#search", "");
    // The simulated device logs an error at start, which the log colours red.
    await until(() => [...document.querySelectorAll("#log span.coloured")].some(
                    (s) => s.style.color === "rgb(170, 0, 0)" && /Error/.test(s.textContent)));
    // A set naming no block is logged by the service as an error: the held log request brings it.
    await setFromElsewhere('{"NoSuchBlock": {"X": 1}}');
    await shows("#log .line", /Unknown memory "NoSuchBlock"/);
    // Kept at the end while the lines come.
    await until((l = document.querySelector("#log")) =>
                    l.scrollHeight > l.clientHeight && l.scrollTop + l.clientHeight >= l.scrollHeight - 4);
    // Markup in kernel text stays text.
    assert.equal(await page.locator("#log b, #log script, #log img").count(), 0);

    // Paused, a new line is kept but not shown until the pane goes on.
    await page.fill("#log-text", "WhilePaused");
    await page.check("#log-pause");
    await setFromElsewhere('{"NoSuchBlockWhilePaused": {"X": 1}}');
    await shows("#log-count", /paused, [1-9]\d* new to show/);
    assert.equal(await page.locator("#log .line", { hasText: "WhilePaused" }).count(), 0);
    await page.uncheck("#log-pause");
    await shows("#log .line", "WhilePaused");

    // Only the newest lines are kept: the oldest go first.
    await page.fill("#log-text", "");
    await page.fill("#log-keep", "10");
    await page.press("#log-keep", "Enter");
    await shows("#log-count", / of 10 lines/);
    await setFromElsewhere('{"NoSuchBlockAfterTheCap": {"X": 1}}');
    await shows("#log .line", "AfterTheCap");
    assert.match(await page.textContent("#log-count"), / of 10 lines/);
    assert.equal(await page.locator("#log .line", { hasText: "Simulated device ready" }).count(), 0);
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
    // Answered 502 by the web server, as the service ends the request without an answer: success all the
    // same.
    await ring("imperial", "1.5");
    await shows("#service-status", /^Ring written$/);
    assert.match(await pane.locator("#service-lines").textContent(),
                 /onewire-tool: ring written: unit imperial, close focus 1\.5/);
    assert.equal(await pane.locator('dd[data-var="ServiceModeWritingToRing1Wire"]').textContent(), "false");

    await pane.locator('select[name="devType"]').selectOption("B");
    await pane.locator("#modem-form button").click();
    await shows("#service-status", /Modem type B sent: the device reports P2400/);
    assert.equal(await pane.locator('dd[data-var="ServiceModeConnectedModemType"]').textContent(), "P2400");
    assert.equal((await device()).MemServiceMode.ServiceModeConnectedModemType.value, "P2400");
});

test("a pinned value is plotted as it moves, with its limits, and stays pinned across a reload", async () => {
    await page.fill("#search", "ActPosition");
    await page.locator('#results [data-path="MemMotors.FocusMotor.ActPosition"] button.pin').click();
    const plotted = () =>
        until((w = document.querySelector('.watch[data-path="MemMotors.FocusMotor.ActPosition"]')) =>
                  w && Number(w.dataset.samples) >= 3 && w.querySelectorAll("line.limit").length === 2);
    await plotted();
    const points = await page.getAttribute(".watch polyline", "points");
    await until((p) => document.querySelector(".watch polyline").getAttribute("points") !== p, points);
    assert.match(await page.textContent(".watch .range"), /limits 0 … 65535/);
    await page.reload();
    await state("live");
    await plotted();
});

test("the side panes show the display as it changes, the device and the update targets", async () => {
    await until(() => document.querySelector("#screen").naturalWidth > 0);
    assert.deepEqual(await page.$eval("#screen", (s) => [s.naturalWidth, s.naturalHeight]), [800, 480]);
    await until((s) => document.querySelector("#screen").getAttribute("src") !== s,
                await page.getAttribute("#screen", "src"));
    assert.match(await page.textContent("#device-info"), /SIM-000042/);
    assert.deepEqual(await page.$$eval("#update-device option", (o) => o.map((x) => x.value)),
                     ["SIM-000042", "Hand unit-4100", "Distance sensor-4101"]);
});

test("a file uploaded through the page downloads back unchanged and can be deleted", async () => {
    const bytes = Buffer.from([...Array(256).keys(), 13, 10, 0, 255, 34, 92]);
    const folder = page.locator('section.folder[data-folder="lenstables"]');
    await folder.locator('input[type="file"]')
        .setInputFiles({ name: "probe table.tab", mimeType: "application/octet-stream", buffer: bytes });
    const item = folder.locator('li[data-name="probe table.tab"]');
    await item.waitFor();
    assert.equal(await folder.locator(".folder-result").textContent(), "probe table.tab: Success");
    const [download] = await Promise.all([page.waitForEvent("download"), item.locator("a").click()]);
    assert.deepEqual(await readFile(await download.path()), bytes);
    assert.equal(download.suggestedFilename(), "probe table.tab");
    await item.locator("button").click();
    await folder.locator("li.empty").waitFor();
    assert.equal(await folder.locator(".folder-result").textContent(), "probe table.tab deleted: Success");
    assert.match(await api("/voxapp/v1/lenstables/file/probe%20table.tab"), /No such file/);
    // Several files at once, into another folder.
    const rings = page.locator('section.folder[data-folder="focusrings"]');
    const ring = (name) => ({ name, mimeType: "application/octet-stream", buffer: Buffer.from(name) });
    await rings.locator('input[type="file"]').setInputFiles([ring("a.ring"), ring("b.ring")]);
    await rings.locator("li[data-name]").nth(1).waitFor();
    assert.equal(await rings.locator("li[data-name]").count(), 2);
    assert.equal(await api("/voxapp/v1/focusrings/file/b.ring"), "b.ring");
});

test("a package upload shows the update's progress to its end", async () => {
    await page.selectOption("#update-device", "Hand unit-4100");
    await page.setInputFiles(
        "#update-file",
        { name: "accessory.cmf", mimeType: "application/octet-stream", buffer: Buffer.alloc(4096, 7) });
    // Collects every state and progress the page shows while the update runs.
    await page.$eval("#app-pane .status-line", (line) => {
        window.seen = [];
        const [status, progress] = line.children;
        new MutationObserver(() => window.seen.push(`${status.textContent} ${progress.value}`))
            .observe(line, { subtree: true, childList: true, characterData: true, attributes: true });
    });
    await page.click('#update-form button[type="submit"]');
    await shows("#update-status", /^Success$/, 30000);
    const [progress, seen] =
        await page.evaluate(() => [document.querySelector("#update-progress").value, window.seen]);
    assert.equal(progress, 100);
    assert.ok(seen.some((s) => /^InProgress [1-9]/.test(s)), seen.join("; "));
    assert.equal(await readFile("/update/client.cmf").then((b) => b.length), 4096);
});

// Last: when it fails, the service may stay away for the tests after it.
test("the page comes back by itself after the service restarts", async () => {
    execFileSync("pkill", ["-TERM", "-x", "service"]);
    await state("lost");
    const log = openSync(process.env.SERVICE_LOG, "a");
    spawn(process.env.SERVICE_BIN, [], { detached: true, stdio: ["ignore", "ignore", log] }).unref();
    await state("live", 20000);
    // Reading the whole state again, then following changes with the new service. A change that reaches the
    // service before the page's next update request does is not reported (the tree the page read may already
    // be older), so a few changes are tried; the page must show one of them.
    await show("MemPersistent", "FocusTorque");
    let shown = false;
    for (const value of ["1", "2", "3"]) {
        await setFromElsewhere(`{"MemPersistent": {"FocusTorque": ${value}}}`);
        shown = await holds(`${row("MemPersistent.FocusTorque")} input`, value, false, 3000)
                    .then(() => true, () => false);
        if (shown) break;
    }
    assert.ok(shown, "a change after the restart reached the page");
});
