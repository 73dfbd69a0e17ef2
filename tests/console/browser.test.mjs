// The device console in a real browser (Debian's chromium, headless) against the simulated device that run.sh
// starts in the sandbox. Every check reads the device back through a request of its own, not through the page.
import { test, before, after } from "node:test";
import assert from "node:assert/strict";
import { spawn, execFileSync } from "node:child_process";
import { readFile, mkdtemp } from "node:fs/promises";
import { openSync } from "node:fs";
import { chromium } from "playwright-core";
import { parseLenient } from "../../sim/console/js/lenient-json.js";

const BASE = "http://127.0.0.1:8080";
let browser, page, profile; // browser: the persistent context
const pageErrors = [];

const api = async (path, options) => {
    const answer = await fetch(BASE + path, options);
    return { status: answer.status, text: await answer.text() };
};
const deviceValue = async (block, name) => parseLenient((await api("/api/v1/all.cgi")).text).value.variables[block][name];
const setFromElsewhere = (body) => api("/api/v1/set.cgi", { method: "POST", body });
const row = (block, name) => page.locator(`[data-var="${block}.${name}"]`);
const until = (fn, arg, timeout = 10000) => page.waitForFunction(fn, arg, { timeout, polling: 100 });

// Shows one variable: searched by its name, so that its block opens.
async function show(block, name) {
    await page.fill("#search", name);
    await row(block, name).waitFor({ state: "visible" });
    return row(block, name);
}

before(async () => {
    profile = await mkdtemp("/tmp/chromium-profile-");
    // A fresh profile of its own (the --user-data-dir of a persistent context).
    browser = await chromium.launchPersistentContext(profile, {
        executablePath: "/usr/bin/chromium",
        args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync"],
        viewport: { width: 1400, height: 1150 },
        acceptDownloads: true,
    });
    page = browser.pages()[0] ?? (await browser.newPage());
    page.on("pageerror", (e) => pageErrors.push(e.message));
    await page.goto(BASE + "/");
    await until(() => document.querySelector("#connection").dataset.state === "live");
});

after(async () => {
    // The picture of the console in the README, taken with what the tests left on the device.
    if (page && process.env.CONSOLE_OUT) {
        await page.fill("#search", "Torque");
        await page.waitForTimeout(500);
        await page.screenshot({ path: `${process.env.CONSOLE_OUT}/console.png` });
    }
    await browser?.close();
    assert.deepEqual(pageErrors, [], "the page raised no script errors");
});

test("the tree shows every block and the product name", async () => {
    assert.equal(await page.textContent("#product"), "Lens Controller");
    assert.equal(await page.locator("details.block").count(), 18);
    const name = await show("MemPersistent", "ProductName");
    assert.equal(await name.locator("input").inputValue(), "Lens Controller");
    // The search leaves only matching variables, across blocks.
    await page.fill("#search", "updatefilename");
    await until(() => document.querySelector('[data-var="MemExternalDevices.QBusUpdateFileName"]')?.checkVisibility());
    const shown = await page.$$eval("details.block:not([hidden]) .var:not([hidden])", (rows) => rows.map((r) => r.dataset.var));
    assert.ok(shown.includes("MemMedia.HostUpdateFileName"), shown.join());
    assert.ok(shown.every((v) => /UpdateFileName/.test(v)), shown.join());
    assert.equal(await page.locator("details.block:not([hidden])").count(), 2);
});

test("values edited in the page reach the device, and wrong ones are refused there", async () => {
    const torque = await show("MemPersistent", "FocusTorque");
    await torque.locator("input").fill("3");
    await torque.locator("input").press("Enter");
    await until(() => /FocusTorque = 3: result 1/.test(document.querySelector("#set-result").textContent));
    assert.equal((await deviceValue("MemPersistent", "FocusTorque")).value, "3");
    // The device's own report of the change redraws the row; the refusal below must come after it.
    await until(() => document.querySelector('[data-var="MemPersistent.FocusTorque"]').classList.contains("changed"));

    // Outside the printed limits: nothing is sent.
    await torque.locator("input").fill("9");
    await torque.locator("input").press("Enter");
    await until(() => /outside 1 … 4/.test(document.querySelector("#set-result").textContent));
    assert.equal(await torque.locator("input.invalid").count(), 1);
    assert.equal((await deviceValue("MemPersistent", "FocusTorque")).value, "3");

    const boost = await show("MemPersistent", "RadioBoost");
    const before = (await deviceValue("MemPersistent", "RadioBoost")).value;
    await boost.locator(".slider").click();
    await until((b) => /RadioBoost = (true|false): result 1/.test(document.querySelector("#set-result").textContent), before);
    assert.equal((await deviceValue("MemPersistent", "RadioBoost")).value, before === "true" ? "false" : "true");

    const knob = await show("MemPersistent", "KnobAssignment");
    await knob.locator("select").selectOption("Zoom");
    await until(() => /KnobAssignment = Zoom: result 1/.test(document.querySelector("#set-result").textContent));
    assert.equal((await deviceValue("MemPersistent", "KnobAssignment")).value, "Zoom");

    // A field of element 1 of an array of records goes with its Index.
    const speeds = await show("MemCamera", "CamSpeedList");
    const cell = speeds.locator('tr[data-index="1"] input');
    await cell.fill("29.5");
    await cell.press("Enter");
    await until(() => /CamSpeedList\[1\]\.CamSpeed = 29\.5: result 1/.test(document.querySelector("#set-result").textContent));
    const list = await deviceValue("MemCamera", "CamSpeedList");
    assert.equal(list[1].CamSpeed.value, "29.500000");
    assert.equal(list[0].CamSpeed.value, "23.976000");
});

test("the device's own changes appear in the page as they happen", async () => {
    // A value the simulated device keeps moving.
    const focus = await show("MemDynamic", "FocusActPosNorm");
    const first = await focus.locator("input").inputValue();
    await until((v) => document.querySelector('[data-var="MemDynamic.FocusActPosNorm"] input').value !== v, first);

    // Changed by another client: it arrives through the update poll, highlighted.
    const torque = await show("MemPersistent", "FocusTorque");
    await setFromElsewhere('{"MemPersistent": {"FocusTorque": 4}}');
    await until(() => document.querySelector('[data-var="MemPersistent.FocusTorque"] input').value === "4");
    assert.match(await torque.getAttribute("class"), /changed/);

    // A record string that holds control characters, which the service passes on raw.
    await setFromElsewhere('{"MemPersistent": {"MruLensFileList": {"Index": 2, "LensFileName": "a\u0001b\tc"}}}');
    const files = await show("MemPersistent", "MruLensFileList");
    await until(() => document.querySelector('[data-var="MemPersistent.MruLensFileList"] tr[data-index="2"] input')?.value === "a\u2401b\u2409c");
    assert.equal(await files.locator("input.control").count(), 1);
});

test("a tree that is not strict JSON is shown, its broken values marked", async () => {
    const strict = (await api("/api/v1/all.cgi")).text;
    // What the service prints for values it cannot print, and a record cut off in the middle.
    const broken = strict
        .replace(/"KnobAssignment" : \{[^}]*\}/, '"KnobAssignment" : "ERROR": "Value "9" is not an entry of "Axis""')
        .replace(/"RadioChannel" : \{/, '"RadioChannel" : {"Broken": [1 2 ');
    assert.notEqual(broken, strict);
    await page.route("**/api/v1/all.cgi", (route) => route.fulfill({ status: 200, contentType: "application/json", body: broken }));
    await page.click("#reload");
    const knob = await show("MemPersistent", "KnobAssignment");
    await knob.locator(".broken").waitFor();
    assert.match(await knob.textContent(), /Value "9" is not an entry of "Axis"/);
    assert.equal(await page.locator("details.block").count(), 18);
    assert.equal(await (await show("MemPersistent", "ProductName")).locator("input").inputValue(), "Lens Controller");
    await page.unroute("**/api/v1/all.cgi");
    await page.click("#reload");
    await (await show("MemPersistent", "KnobAssignment")).locator("select").waitFor();
});

test("the kernel log shows the device's colours and follows new lines", async () => {
    await page.fill("#search", "");
    // The simulated device logs an error at start, which the log colours red.
    await until(() => [...document.querySelectorAll("#log span.coloured")]
        .some((s) => s.style.color === "rgb(170, 0, 0)" && /Error/.test(s.textContent)));
    // A set naming no block is logged by the service as an error: the held log request brings it.
    await setFromElsewhere('{"NoSuchBlock": {"X": 1}}');
    await until(() => [...document.querySelectorAll("#log span.coloured")].some((s) => /Unknown memory "NoSuchBlock"/.test(s.textContent)));
    // Kept at the end while the lines come.
    await until(() => {
        const log = document.querySelector("#log");
        return log.scrollHeight > log.clientHeight && log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
    });
    // Markup in kernel text stays text.
    assert.equal(await page.locator("#log b, #log script, #log img").count(), 0);
});

test("the screen pane shows the display and refreshes it", async () => {
    await until(() => document.querySelector("#screen").naturalWidth > 0);
    const size = await page.evaluate(() => [document.querySelector("#screen").naturalWidth, document.querySelector("#screen").naturalHeight]);
    assert.deepEqual(size, [800, 480]);
    const src = await page.getAttribute("#screen", "src");
    await until((s) => document.querySelector("#screen").getAttribute("src") !== s, src);
});

test("a file uploaded through the page downloads back unchanged and can be deleted", async () => {
    const bytes = Buffer.from([...Array(256).keys(), 13, 10, 0, 255, 34, 92]);
    const folder = page.locator('section.folder[data-folder="lenstables"]');
    await folder.locator('input[type="file"]').setInputFiles({ name: "probe table.tab", mimeType: "application/octet-stream", buffer: bytes });
    const item = folder.locator('li[data-name="probe table.tab"]');
    await item.waitFor();
    assert.equal(await folder.locator(".folder-result").textContent(), "probe table.tab: Success");
    const [download] = await Promise.all([page.waitForEvent("download"), item.locator("a").click()]);
    assert.deepEqual(await readFile(await download.path()), bytes);
    assert.equal(download.suggestedFilename(), "probe table.tab");
    await item.locator("button").click();
    await folder.locator("li.empty").waitFor();
    assert.equal(await folder.locator(".folder-result").textContent(), "probe table.tab deleted: Success");
    assert.match((await api("/voxapp/v1/lenstables/file/probe%20table.tab")).text, /No such file/);
    // Several files at once, into another folder.
    const rings = page.locator('section.folder[data-folder="focusrings"]');
    await rings.locator('input[type="file"]').setInputFiles(["a.ring", "b.ring"].map((name) =>
        ({ name, mimeType: "application/octet-stream", buffer: Buffer.from(name) })));
    await until(() => document.querySelectorAll('section[data-folder="focusrings"] li[data-name]').length === 2);
    assert.equal((await api("/voxapp/v1/focusrings/file/b.ring")).text, "b.ring");
});

test("a package upload shows the update's progress to its end", async () => {
    await page.selectOption("#update-device", "Hand unit-4100");
    await page.setInputFiles("#update-file", { name: "accessory.cmf", mimeType: "application/octet-stream", buffer: Buffer.alloc(4096, 7) });
    // Collects every state and progress the page shows while the update runs.
    await page.evaluate(() => {
        window.seen = [];
        new MutationObserver(() => window.seen.push(`${document.querySelector("#update-status").textContent} ${document.querySelector("#update-progress").value}`))
            .observe(document.querySelector("#app-pane .status-line"), { subtree: true, childList: true, characterData: true, attributes: true });
    });
    await page.click('#update-form button[type="submit"]');
    await until(() => document.querySelector("#update-status").textContent === "Success", undefined, 30000);
    assert.equal(await page.evaluate(() => document.querySelector("#update-progress").value), 100);
    const seen = await page.evaluate(() => window.seen);
    assert.ok(seen.some((s) => /^InProgress [1-9]/.test(s)), seen.join("; "));
    assert.equal(await readFile("/update/client.cmf").then((b) => b.length), 4096);
});

test("the device information is shown with the update targets", async () => {
    assert.match(await page.textContent("#device-info"), /SIM-000042/);
    const targets = await page.$$eval("#update-device option", (o) => o.map((x) => x.value));
    assert.deepEqual(targets, ["SIM-000042", "Hand unit-4100", "Distance sensor-4101"]);
});

// Last: when it fails, the service may stay away for the tests after it.
test("the page comes back by itself after the service restarts", async () => {
    execFileSync("pkill", ["-TERM", "-x", "service"]);
    await until(() => document.querySelector("#connection").dataset.state === "lost");
    const log = openSync(process.env.SERVICE_LOG, "a");
    spawn(process.env.SERVICE_BIN, [], { detached: true, stdio: ["ignore", "ignore", log] }).unref();
    await until(() => document.querySelector("#connection").dataset.state === "live", undefined, 20000);
    // Reading the whole state again, then following changes with the new service.
    // A change that reaches the service before the page's next update request does is not reported (the tree
    // the page read may already be older), so a few changes are tried; the page must show one of them.
    await show("MemPersistent", "FocusTorque");
    let shown = false;
    for (const value of ["1", "2", "3"]) {
        await setFromElsewhere(`{"MemPersistent": {"FocusTorque": ${value}}}`);
        shown = await until((v) => document.querySelector('[data-var="MemPersistent.FocusTorque"] input').value === v, value, 3000)
            .then(() => true, () => false);
        if (shown) break;
    }
    assert.ok(shown, "a change after the restart reached the page");
});
