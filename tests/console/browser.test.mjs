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
let browser, page, profile; // browser: the persistent context
const pageErrors = [];

const api = async (path, options) => {
    const answer = await fetch(BASE + path, options);
    return { status: answer.status, text: await answer.text() };
};
const deviceValue = async (block, name) =>
    parseLenient((await api("/api/v1/all.cgi")).text).value.variables[block][name];
const setFromElsewhere = (body) => api("/api/v1/set.cgi", { method: "POST", body });
// Rows as the search lists them; the tree behind keeps rows of the same variables, hidden.
const row = (block, name) => page.locator(`#results [data-var="${block}.${name}"]`);
const setResult = () => page.textContent("#set-result");
const until = (fn, arg, timeout = 10000) => page.waitForFunction(fn, arg, { timeout, polling: 100 });

// Shows one variable: searched by its name.
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
    await until(() => document.querySelector("#connection").dataset.state === "live");
});

after(async () => {
    // The picture of the console in the README, taken with what the tests left on the device.
    if (page && process.env.CONSOLE_OUT) {
        await page.fill("#search", "Torque");
        await row("MemPersistent", "FocusTorque").waitFor();
        await page.screenshot({ path: `${process.env.CONSOLE_OUT}/console.png`, fullPage: true });
    }
    await browser?.close();
    assert.deepEqual(pageErrors, [], "the page raised no script errors");
});

test("the tree shows every block; the search finds names, record fields and values, each with its path",
     async () => {
         assert.equal(await page.textContent("#product"), "Lens Controller");
         assert.equal(await page.locator("#tree details.block").count(), 18);
         const name = await show("MemPersistent", "ProductName");
         assert.equal(await name.locator("input").inputValue(), "Lens Controller");
         const paths = async (query, selector = "#results .hit") => {
             await page.fill("#search", query);
             await until((q) => [...document.querySelectorAll("#results .hit .path")].some(
                                    (p) => p.textContent.includes(q)) ||
                                [...document.querySelectorAll('#results .hit[data-match="value"]')].length >
                                    0,
                         query);
             return page.$$eval(selector, (hits) => hits.map((h) => h.querySelector(".path").textContent));
         };
         const names = await paths("UpdateFileName");
         assert.ok(names.includes("MemMedia › HostUpdateFileName"), names.join());
         assert.ok(names.every((p) => /UpdateFileName$/.test(p)), names.join());
         assert.deepEqual(await paths("CalRequest"), ["FocusMotor", "IrisMotor", "ZoomMotor", "AUXMotor"].map(
                                                         (m) => `MemMotors › ${m} › CalRequest`));
         assert.equal(
             await page.locator('#results [data-path="MemMotors.IrisMotor.CalRequest"] input[role="switch"]')
                 .count(),
             1);
         const byValue = await paths("Orange", '#results .hit[data-match="value"]');
         assert.ok(byValue.includes("MemGuiLocal › PopupSymbolColor"), byValue.join());
         assert.equal(await page.locator("#tree").isHidden(), true);
     });

test(
    "values edited in the page reach the device; wrong ones are refused in the page, and what the device cut is said",
    async () => {
        const torque = await show("MemPersistent", "FocusTorque");
        await torque.locator("input").fill("3");
        await torque.locator("input").press("Enter");
        await until(() => /FocusTorque = 3: kept by the device/.test(
                        document.querySelector("#set-result").textContent));
        assert.equal((await deviceValue("MemPersistent", "FocusTorque")).value, "3");
        // Outside the printed limits: nothing is sent.
        await torque.locator("input").fill("9");
        await torque.locator("input").press("Enter");
        await until(() => /outside 1 … 4/.test(document.querySelector("#set-result").textContent));
        assert.equal(await torque.locator("input.invalid").count(), 1);
        assert.equal((await deviceValue("MemPersistent", "FocusTorque")).value, "3");

        const boost = await show("MemPersistent", "RadioBoost");
        const before = (await deviceValue("MemPersistent", "RadioBoost")).value;
        await boost.locator(".slider").click();
        await until(() => /RadioBoost = (true|false): kept by the device/.test(
                        document.querySelector("#set-result").textContent));
        assert.equal((await deviceValue("MemPersistent", "RadioBoost")).value,
                     before === "true" ? "false" : "true");

        const knob = await show("MemPersistent", "KnobAssignment");
        await knob.locator("select").selectOption("Zoom");
        await until(() => /KnobAssignment = Zoom: kept by the device/.test(
                        document.querySelector("#set-result").textContent));
        assert.equal((await deviceValue("MemPersistent", "KnobAssignment")).value, "Zoom");

        // A field of element 1 of an array of records goes with its Index.
        const speeds = await show("MemCamera", "CamSpeedList");
        const cell = speeds.locator('tr[data-index="1"] input');
        await cell.fill("29.5");
        await cell.press("Enter");
        await until(() => /CamSpeedList\[1\]\.CamSpeed = 29\.5: kept by the device/.test(
                        document.querySelector("#set-result").textContent));
        const list = await deviceValue("MemCamera", "CamSpeedList");
        assert.equal(list[1].CamSpeed.value, "29.500000");
        assert.equal(list[0].CamSpeed.value, "23.976000");

        // The service answers result 1 for a text longer than the string holds; the page reads back what was
        // kept.
        const product = await show("MemPersistent", "ProductName");
        await product.locator("input").fill("Lens Controller with a forty-byte name..");
        await product.locator("input").press("Enter");
        await product.locator(".kept", { hasText: "device kept 'Lens Controller wit' (20-byte text)" })
            .waitFor();
        assert.match(
            await setResult(),
            /ProductName = Lens Controller with a forty-byte name\.\.: device kept 'Lens Controller wit'/);
        assert.equal(await page.getAttribute("#set-result", "data-ok"), "0");
        assert.equal(await product.locator("input").inputValue(), "Lens Controller wit");
        await setFromElsewhere('{"MemPersistent": {"ProductName": "Lens Controller"}}');
    });

test("a drop-down keeps the focus while the rest of its record changes, and shows the device's value after",
     async () => {
         const motor = await show("MemMotors", "FocusMotor");
         const axis = motor.locator('tr[data-field="MotorAxis"] select');
         await axis.focus();
         await page.evaluate(() => (window.focused = document.activeElement));
         // Another client changes the focused field: the page must not write it in under the user.
         await setFromElsewhere('{"MemMotors": {"FocusMotor": {"Index": 0, "MotorAxis": "Iris"}}}');
         // Besides the simulated device moving its position, another client changes the record ten times a
         // second.
         let teeth = 0;
         const driver =
             setInterval(() => setFromElsewhere(
                             `{"MemMotors": {"FocusMotor": {"Index": 0, "GearTeethAct": ${++teeth % 200}}}}`),
                         100);
         try {
             await until(() => {
                 const shown =
                     document
                         .querySelector(
                             '#results [data-var="MemMotors.FocusMotor"] tr[data-field="GearTeethAct"] input')
                         .value;
                 window.teethShown ??= new Set();
                 window.teethShown.add(shown);
                 return window.teethShown.size >= 10;
             });
         } finally {
             clearInterval(driver);
         }
         assert.equal(await page.evaluate(() => document.activeElement === window.focused), true);
         assert.equal(await axis.inputValue(), "Focus");
         assert.equal((await deviceValue("MemMotors", "FocusMotor")).MotorAxis.value, "Iris");
         await page.focus("#search");
         await until(
             () => document
                       .querySelector(
                           '#results [data-var="MemMotors.FocusMotor"] tr[data-field="MotorAxis"] select')
                       .value === "Iris");
         await setFromElsewhere('{"MemMotors": {"FocusMotor": {"Index": 0, "MotorAxis": "Focus"}}}');
     });

test("the device's own changes appear in the page as they happen", async () => {
    // A value the simulated device keeps moving.
    const focus = await show("MemDynamic", "FocusActPosNorm");
    const first = await focus.locator("input").inputValue();
    await until(
        (v) => document.querySelector('#results [data-var="MemDynamic.FocusActPosNorm"] input').value !== v,
        first);

    // Changed by another client: it arrives through the update poll, highlighted.
    const torque = await show("MemPersistent", "FocusTorque");
    await setFromElsewhere('{"MemPersistent": {"FocusTorque": 4}}');
    await until(
        () => document.querySelector('#results [data-var="MemPersistent.FocusTorque"] input').value === "4");
    assert.match(await torque.locator(".value").getAttribute("class"), /changed/);

    // A record string that holds control characters, which the service passes on raw.
    await setFromElsewhere(
        '{"MemPersistent": {"MruLensFileList": {"Index": 2, "LensFileName": "a\u0001b\tc"}}}');
    const files = await show("MemPersistent", "MruLensFileList");
    await until(() => document
                          .querySelector(
                              '#results [data-var="MemPersistent.MruLensFileList"] tr[data-index="2"] input')
                          ?.value === "a\u2401b\u2409c");
    assert.equal(await files.locator("input.control").count(), 1);
});

test("a tree that is not strict JSON is shown, its broken values marked", async () => {
    const strict = (await api("/api/v1/all.cgi")).text;
    // What the service prints for values it cannot print, and a record cut off in the middle.
    const broken = strict
                       .replace(/"KnobAssignment" : \{[^}]*\}/,
                                '"KnobAssignment" : "ERROR": "Value "9" is not an entry of "Axis""')
                       .replace(/"RadioChannel" : \{/, '"RadioChannel" : {"Broken": [1 2 ');
    assert.notEqual(broken, strict);
    await page.route("**/api/v1/all.cgi",
                     (route) =>
                         route.fulfill({ status: 200, contentType: "application/json", body: broken }));
    await page.click("#reload");
    const knob = await show("MemPersistent", "KnobAssignment");
    await knob.locator(".broken").waitFor();
    assert.match(await knob.textContent(), /Value "9" is not an entry of "Axis"/);
    assert.equal(await page.locator("#tree details.block").count(), 18);
    assert.equal(await (await show("MemPersistent", "ProductName")).locator("input").inputValue(),
                 "Lens Controller");
    await page.unroute("**/api/v1/all.cgi");
    await page.click("#reload");
    await (await show("MemPersistent", "KnobAssignment")).locator("select").waitFor();
});

test("the kernel log shows the device's colours, follows new lines, and filters, pauses and caps them",
     async () => {
         await page.fill("#search", "");
         // The simulated device logs an error at start, which the log colours red.
         await until(() => [...document.querySelectorAll("#log span.coloured")].some(
                         (s) => s.style.color === "rgb(170, 0, 0)" && /Error/.test(s.textContent)));
         // A set naming no block is logged by the service as an error: the held log request brings it.
         await setFromElsewhere('{"NoSuchBlock": {"X": 1}}');
         await until(() => [...document.querySelectorAll("#log .line")].some(
                         (s) => /Unknown memory "NoSuchBlock"/.test(s.textContent)));
         // Kept at the end while the lines come.
         await until(() => {
             const log = document.querySelector("#log");
             return log.scrollHeight > log.clientHeight &&
                    log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
         });
         // Markup in kernel text stays text.
         assert.equal(await page.locator("#log b, #log script, #log img").count(), 0);

         const shown = () => page.$$eval(
             "#log .line", (lines) => lines.map((l) => [l.dataset.program, l.dataset.level, l.textContent]));
         await page.selectOption("#log-program", "service");
         await page.selectOption("#log-level", "Error");
         let lines = await shown();
         assert.ok(lines.length > 0 && lines.every(([p, l]) => p === "service" && l === "Error"),
                   JSON.stringify(lines.slice(0, 3)));
         await page.fill("#log-text", "nosuchblock");
         lines = await shown();
         assert.ok(lines.length > 0 && lines.every(([, , t]) => /NoSuchBlock/.test(t)));

         // Paused, a new line is kept but not shown until the pane goes on.
         await page.fill("#log-text", "WhilePaused");
         await page.check("#log-pause");
         await setFromElsewhere('{"NoSuchBlockWhilePaused": {"X": 1}}');
         await until(
             () => /paused, [1-9]\d* new to show/.test(document.querySelector("#log-count").textContent));
         assert.equal(await page.locator("#log .line", { hasText: "WhilePaused" }).count(), 0);
         await page.uncheck("#log-pause");
         await page.locator("#log .line", { hasText: "WhilePaused" }).waitFor();

         // Only the newest lines are kept: the oldest go first.
         for (const id of ["#log-program", "#log-level"]) await page.selectOption(id, "");
         await page.fill("#log-text", "");
         await page.fill("#log-keep", "10");
         await page.press("#log-keep", "Enter");
         await until(() => / of 10 lines/.test(document.querySelector("#log-count").textContent));
         await setFromElsewhere('{"NoSuchBlockAfterTheCap": {"X": 1}}');
         await page.locator("#log .line", { hasText: "AfterTheCap" }).waitFor();
         assert.match(await page.textContent("#log-count"), / of 10 lines/);
         assert.equal(await page.locator("#log .line", { hasText: "Simulated device ready" }).count(), 0);
     });

test("the service actions write a ring through the 1-Wire tool and set the modem type", async () => {
    const pane = page.locator("#service-pane");
    await pane.locator('input[name="focusCloseValue"]').fill("abc");
    await pane.locator("#ring-form button").click();
    await until(
        () => /"abc" is not a close-focus value/.test(document.querySelector("#service-status").textContent));
    assert.equal(await pane.locator("#service-status").getAttribute("data-state"), "bad");

    // Answered 502 by the web server, since the service ends the request without an answer: success all the
    // same.
    await pane.locator('select[name="unit"]').selectOption("imperial");
    await pane.locator('input[name="focusCloseValue"]').fill("1.5");
    await pane.locator("#ring-form button").click();
    await until(() => document.querySelector("#service-status").textContent === "Ring written");
    assert.match(await pane.locator("#service-lines").textContent(),
                 /onewire-tool: ring written: unit imperial, close focus 1\.5/);
    assert.equal(await pane.locator('dd[data-var="ServiceModeWritingToRing1Wire"]').textContent(), "false");

    await pane.locator('select[name="devType"]').selectOption("B");
    await pane.locator("#modem-form button").click();
    await until(() => /Modem type B sent: the device reports P2400/.test(
                    document.querySelector("#service-status").textContent));
    assert.equal(await pane.locator('dd[data-var="ServiceModeConnectedModemType"]').textContent(), "P2400");
    assert.equal((await deviceValue("MemServiceMode", "ServiceModeConnectedModemType")).value, "P2400");
});

test("a pinned value is plotted as it moves, with its limits, and stays pinned across a reload", async () => {
    await page.fill("#search", "ActPosition");
    await page.locator('#results [data-path="MemMotors.FocusMotor.ActPosition"] button.pin').click();
    const plotted = () => until(() => {
        const watch = document.querySelector('.watch[data-path="MemMotors.FocusMotor.ActPosition"]');
        return watch && Number(watch.dataset.samples) >= 3 &&
               watch.querySelectorAll("line.limit").length === 2;
    });
    await plotted();
    const points = await page.getAttribute(".watch polyline", "points");
    await until((p) => document.querySelector(".watch polyline").getAttribute("points") !== p, points);
    assert.match(await page.textContent(".watch .range"), /limits 0 … 65535/);
    await page.reload();
    await until(() => document.querySelector("#connection").dataset.state === "live");
    await plotted();
});

test("the screen pane shows the display and refreshes it", async () => {
    await until(() => document.querySelector("#screen").naturalWidth > 0);
    const size = await page.evaluate(() => [document.querySelector("#screen").naturalWidth,
                                            document.querySelector("#screen").naturalHeight]);
    assert.deepEqual(size, [800, 480]);
    const src = await page.getAttribute("#screen", "src");
    await until((s) => document.querySelector("#screen").getAttribute("src") !== s, src);
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
    assert.match((await api("/voxapp/v1/lenstables/file/probe%20table.tab")).text, /No such file/);
    // Several files at once, into another folder.
    const rings = page.locator('section.folder[data-folder="focusrings"]');
    await rings.locator('input[type="file"]').setInputFiles([
        "a.ring", "b.ring"
    ].map((name) => ({ name, mimeType: "application/octet-stream", buffer: Buffer.from(name) })));
    await until(() => document.querySelectorAll('section[data-folder="focusrings"] li[data-name]').length ===
                      2);
    assert.equal((await api("/voxapp/v1/focusrings/file/b.ring")).text, "b.ring");
});

test("a package upload shows the update's progress to its end", async () => {
    await page.selectOption("#update-device", "Hand unit-4100");
    await page.setInputFiles(
        "#update-file",
        { name: "accessory.cmf", mimeType: "application/octet-stream", buffer: Buffer.alloc(4096, 7) });
    // Collects every state and progress the page shows while the update runs.
    await page.evaluate(() => {
        window.seen = [];
        new MutationObserver(() =>
                                 window.seen.push(`${document.querySelector("#update-status").textContent} ${
                                     document.querySelector("#update-progress").value}`))
            .observe(document.querySelector("#app-pane .status-line"),
                     { subtree: true, childList: true, characterData: true, attributes: true });
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
        shown =
            await until(
                (v) =>
                    document.querySelector('#results [data-var="MemPersistent.FocusTorque"] input').value ===
                    v,
                value, 3000)
                .then(() => true, () => false);
        if (shown) break;
    }
    assert.ok(shown, "a change after the restart reached the page");
});
