// Pages of other sites against the device, as a phone on its network would run them: through the simulated
// device's nginx in the sandbox, first with the headers browsers send, then in Debian's chromium with a page
// served from a second origin. After every refusal the device is read back: nothing it holds has changed.
import assert from "node:assert/strict";
import {existsSync, readdirSync, readFileSync} from "node:fs";
import {createServer} from "node:http";
import {after, before, test} from "node:test";
import {chromium} from "playwright-core";

import {CHROMIUM, DEVICE, send, setVars, until, variables} from "../support/browser.mjs";

// Another address of the sandbox's loopback is another site.
const ATTACKER = "http://127.0.0.2:8081";
// A package for a device, as a form posts it.
const MULTIPART = "multipart/form-data; boundary=b0undary";
const upload = (headers, deviceid, file) =>
    send("POST", "/voxapp/v1/device/update", {...headers, "Content-Type": MULTIPART },
         `--b0undary\r\nContent-Disposition: form-data; name="deviceid"\r\n\r\n${deviceid}\r\n` +
             `--b0undary\r\nContent-Disposition: form-data; name="file"; filename="p.swu"\r\n\r\n${file}` +
             "\r\n--b0undary--\r\n");
const TABLE = "/voxapp/v1/lenstables/file/kept.tab";
const torque = (value) => `{"MemPersistent": {"FocusTorque": ${value}}}`;
const setTorque = (value, headers) => setVars(torque(value), headers);

// What a refusal must leave as it was.
const held = async () => ({
    torque: (await variables()).MemPersistent.FocusTorque.value,
    packages: readdirSync("/update").sort(),
    tables: existsSync("/var/TBX") ? readdirSync("/var/TBX").sort() : [],
});
const REFUSED = new RegExp(`Cross-origin request refused: [^\\n]* from origin '${ATTACKER}'`, "g");
const refusals = async () => (await send("GET", "/api/v1/log.cgi?offset=0")).text.match(REFUSED)?.length ?? 0;

let browser, attacker;

before(async () => {
    // The page of the other site, with the tricks a page has for a request that needs nobody's permission:
    // fetch in no-cors mode, and forms (text/plain and multipart) posted into a frame.
    attacker = createServer((req, res) => {
        res.setHeader("Content-Type", "text/html");
        res.end(`<!doctype html><iframe name="sink"></iframe><iframe name="sink2"></iframe>
<form id="plain" method="post" enctype="text/plain" target="sink" action="${DEVICE}/api/v1/set.cgi">
<input name='{"MemPersistent": {"FocusTorque": 4}, "pad": "' value='"}'></form>
<form id="multi" method="post" enctype="multipart/form-data" target="sink2" action="${
            DEVICE}/voxapp/v1/device/update">
<input name="deviceid" value="ACC-66"><input name="file" value="form package"></form>
<script>
window.attack = async () => {
    const loaded = (name) => new Promise((r) => document.querySelector('iframe[name="' + name + '"]').onload = r);
    const frames = [loaded("sink"), loaded("sink2")];
    document.getElementById("plain").submit();
    document.getElementById("multi").submit();
    const data = new FormData();
    data.append("deviceid", "ACC-77");
    data.append("file", new Blob(["fetch package"]), "p.swu");
    await Promise.all([
        fetch("${DEVICE}/api/v1/set.cgi", {method: "POST", mode: "no-cors", body: '${torque(4)}'}),
        fetch("${DEVICE}/voxapp/v1/device/update", {method: "POST", mode: "no-cors", body: data}),
        fetch("${DEVICE}${TABLE}", {method: "DELETE"}).catch(() => {}),
        ...frames]);
};
</script>`);
    });
    await new Promise((resolve) => attacker.listen(8081, "127.0.0.2", resolve));
    browser = await chromium.launch(CHROMIUM);
});

after(async () => {
    await browser?.close();
    attacker?.close();
});

test("other sites' writes and unknown Host names are refused, the device's and bare ones pass", async () => {
    assert.equal((await send("PUT", TABLE, {}, "table")).status, 200);
    assert.equal((await setTorque(2)).text, '{"result": 1 }');
    const cross = { Origin: ATTACKER, "Sec-Fetch-Site": "cross-site" };
    const api = '{"result": 0, "error": "Cross-origin request refused" }';
    const app = '{"result": "Cross-origin request refused" }';
    const refused = [
        [await setTorque(4, cross), api],
        // A browser without Sec-Fetch-Site: its Origin is not the Host.
        [await setTorque(4, { Origin: ATTACKER }), api],
        [await send("DELETE", TABLE, { Origin: ATTACKER, "Sec-Fetch-Site": "same-site" }), app],
        [await send("PUT", TABLE, cross, "x"), app],
        [await upload(cross, "ACC-5", "refused package"), app],
    ];
    for (const [answer, body] of refused)
        assert.deepEqual([answer.status, answer.headers["content-type"], answer.text],
                         [403, "application/json", body]);
    // DNS rebinding: a name of another site that leads to the device is refused whatever the method.
    const rebound = { Host: "attacker.example:8080", "Sec-Fetch-Site": "same-origin" };
    for (const [method, path] of [["GET", "/api/v1/all.cgi"], ["GET", "/voxapp/v1/device/info"],
                                  ["POST", "/api/v1/set.cgi"]])
        assert.equal((await send(method, path, rebound, torque(4))).status, 421, `${method} ${path}`);
    assert.deepEqual(await held(), { torque: "2", packages: [], tables: ["kept.tab"] });
    await until(async () => (await refusals()) === refused.length, "a line for each refusal");

    // The console on the device's own origin, an mDNS name, and clients that are no browser.
    const own = { Origin: DEVICE, "Sec-Fetch-Site": "same-origin" };
    assert.equal((await setTorque(3, own)).text, '{"result": 1 }');
    const mdns = { Host: "controller-4100.local", Origin: "http://controller-4100.local" };
    assert.equal((await setTorque(4, mdns)).text, '{"result": 1 }');
    assert.equal((await held()).torque, "4");
    // Back to 1, where the attacks' 4 would show.
    assert.equal((await setTorque(1)).text, '{"result": 1 }');
    assert.equal((await upload(own, "ACC-5", "own package")).text, '{"taskid": "ACC-5" }');
    assert.equal((await upload({}, "ACC-6", "app package")).text, '{"taskid": "ACC-6" }');
    assert.equal(readFileSync("/update/client.cmf", "latin1"), "app package");
});

test("a page of another site in the browser changes nothing on the device", async () => {
    const snapshot = async () => ({...(await held()), cmf: readFileSync("/update/client.cmf", "latin1") });
    const before = await snapshot();
    const earlier = await refusals();
    const page = await browser.newPage();
    await page.goto(ATTACKER + "/");
    await page.evaluate(() => window.attack());
    // Refused by the rule, not lost on the way: the two forms and the two fetches each left their line (the
    // DELETE does not even leave the browser: its preflight gets no permission).
    await until(async () => (await refusals()) === earlier + 4, "a line for each attempt");
    assert.deepEqual(await snapshot(), before);
    await page.close();
});

test("a script in the log is shown as text, and runs nothing", async () => {
    await send("GET", "/api/v1/%3Cscript%3Ealert(1)%3C%2Fscript%3E.cgi");
    const page = await browser.newPage();
    const dialogs = [];
    page.on("dialog", (dialog) => (dialogs.push(dialog.message()), dialog.dismiss()));
    const line = "Unknown script: '/api/v1/<script>alert(1)</script>.cgi'";
    let answer;
    await until(async () => {
        answer = await page.goto(DEVICE + "/api/v1/log.cgi?offset=0");
        return (await page.textContent("body")).includes(line);
    }, "the line in the log");
    assert.match(answer.headers()["content-security-policy"], /default-src 'none'/);
    assert.deepEqual(dialogs, []);
    await page.close();
});
