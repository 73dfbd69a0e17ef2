// Pages of other sites against the device, as a phone on its network would run them: through the simulated
// device's nginx in the sandbox, first with the headers browsers send, then in Debian's chromium with a page
// served from a second origin. After every refusal the device is read back: nothing it holds has changed.
import assert from "node:assert/strict";
import {existsSync, readdirSync, readFileSync} from "node:fs";
import {mkdtemp} from "node:fs/promises";
import {createServer, request as httpRequest} from "node:http";
import {after, before, test} from "node:test";
import {chromium} from "playwright-core";

import {parseLenient} from "../../sim/console/js/lenient-json.js";

const DEVICE = "http://127.0.0.1:8080";
// Another address of the sandbox's loopback is another site.
const ATTACKER = "http://127.0.0.2:8081";
const MULTIPART = "multipart/form-data; boundary=b0undary";
const form = (fields) =>
    Object.entries(fields)
        .map(([name, value]) => `--b0undary\r\nContent-Disposition: form-data; name="${name}"` +
                                (name === "file" ? `; filename="p.swu"` : "") + `\r\n\r\n${value}\r\n`)
        .join("") +
    "--b0undary--\r\n";

// A request with exactly the headers given (Host included), through nginx.
function send(method, path, headers = {}, body = "") {
    return new Promise((resolve, reject) => {
        const req = httpRequest(
            DEVICE + path, { method, headers: { "Content-Length": Buffer.byteLength(body), ...headers } },
            (res) => {
                let text = "";
                res.setEncoding("latin1");
                res.on("data", (d) => (text += d));
                res.on("end", () => resolve({ status: res.statusCode, headers: res.headers, text }));
            });
        req.on("error", reject);
        req.end(body);
    });
}

const torque = async () =>
    parseLenient((await send("GET", "/api/v1/all.cgi")).text).value.variables.MemPersistent.FocusTorque.value;
const packages = () => readdirSync("/update").sort();
const tables = () => (existsSync("/var/TBX") ? readdirSync("/var/TBX").sort() : []);
const log = async () => (await send("GET", "/api/v1/log.cgi?offset=0")).text;
const refusalsFrom = async (origin) =>
    (await log())
        .match(new RegExp(`Cross-origin request refused: [^\\n]* from origin '${origin}'`, "g"))
        ?.length ??
    0;
// Lines reach the log through the kernel's (the sandbox's) log and dmesg: a moment after the request.
async function until(check, what, timeout = 10000) {
    for (const end = Date.now() + timeout; Date.now() < end; await new Promise((r) => setTimeout(r, 100)))
        if (await check()) return;
    assert.fail(`${what} within ${timeout} ms`);
}
const set = (value, headers) =>
    send("POST", "/api/v1/set.cgi", headers, `{"MemPersistent": {"FocusTorque": ${value}}}`);

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
        fetch("${DEVICE}/api/v1/set.cgi", {method: "POST", mode: "no-cors",
                                           body: '{"MemPersistent": {"FocusTorque": 4}}'}),
        fetch("${DEVICE}/voxapp/v1/device/update", {method: "POST", mode: "no-cors", body: data}),
        fetch("${DEVICE}/voxapp/v1/lenstables/file/kept.tab", {method: "DELETE"}).catch(() => {}),
        ...frames]);
};
</script>`);
    });
    await new Promise((resolve) => attacker.listen(8081, "127.0.0.2", resolve));
    browser = await chromium.launch({
        executablePath: "/usr/bin/chromium",
        args: [
            "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync"
        ],
    });
});

after(async () => {
    await browser?.close();
    attacker?.close();
});

test(
    "writes from other sites' pages and unknown host names are refused, the device's own and header-less pass",
    async () => {
        assert.equal((await send("PUT", "/voxapp/v1/lenstables/file/kept.tab", {}, "table")).status, 200);
        assert.equal((await set(2)).text, '{"result": 1 }');
        const upload = form({ deviceid: "ACC-5", file: "refused package" });
        const refusals = [
            [
                "POST", "/api/v1/set.cgi", { Origin: ATTACKER, "Sec-Fetch-Site": "cross-site" },
                '{"MemPersistent": {"FocusTorque": 4}}'
            ],
            // A browser without Sec-Fetch-Site: its Origin is not the Host.
            ["POST", "/api/v1/set.cgi", { Origin: ATTACKER }, '{"MemPersistent": {"FocusTorque": 4}}'],
            [
                "DELETE", "/voxapp/v1/lenstables/file/kept.tab",
                { Origin: ATTACKER, "Sec-Fetch-Site": "same-site" }
            ],
            [
                "PUT", "/voxapp/v1/lenstables/file/kept.tab",
                { Origin: ATTACKER, "Sec-Fetch-Site": "cross-site" }, "x"
            ],
            [
                "POST", "/voxapp/v1/device/update",
                { Origin: ATTACKER, "Sec-Fetch-Site": "cross-site", "Content-Type": MULTIPART }, upload
            ],
        ];
        for (const [method, path, headers, body] of refusals) {
            const answer = await send(method, path, headers, body);
            const app = path.startsWith("/voxapp");
            assert.equal(answer.status, 403, `${method} ${path}`);
            assert.equal(answer.headers["content-type"], "application/json");
            assert.equal(answer.text, app ? '{"result": "Cross-origin request refused" }'
                                          : '{"result": 0, "error": "Cross-origin request refused" }');
        }
        // DNS rebinding: a name of another site that leads to the device is refused whatever the method.
        for (const [method, path] of [["GET", "/api/v1/all.cgi"], ["GET", "/voxapp/v1/device/info"],
                                      ["POST", "/api/v1/set.cgi"]]) {
            const answer =
                await send(method, path, { Host: "attacker.example:8080", "Sec-Fetch-Site": "same-origin" },
                           '{"MemPersistent": {"FocusTorque": 4}}');
            assert.equal(answer.status, 421, `${method} ${path}`);
        }
        assert.equal(await torque(), "2");
        assert.deepEqual(packages(), []);
        assert.deepEqual(tables(), ["kept.tab"]);
        await until(async () => (await refusalsFrom(ATTACKER)) === refusals.length,
                    "a line for each refusal");

        // The console on the device's own origin, an mDNS name, and clients that are no browser.
        assert.equal((await set(3, { Origin: DEVICE, "Sec-Fetch-Site": "same-origin" })).text,
                     '{"result": 1 }');
        assert.equal(
            (await set(4, { Host: "controller-4100.local", Origin: "http://controller-4100.local" })).text,
            '{"result": 1 }');
        assert.equal(await torque(), "4");
        assert.equal((await set(1)).text, '{"result": 1 }');
        const own = await send("POST", "/voxapp/v1/device/update",
                               { Origin: DEVICE, "Sec-Fetch-Site": "same-origin", "Content-Type": MULTIPART },
                               form({ deviceid: "ACC-5", file: "own package" }));
        assert.equal(own.text, '{"taskid": "ACC-5" }');
        const bare = await send("POST", "/voxapp/v1/device/update", { "Content-Type": MULTIPART },
                                form({ deviceid: "ACC-6", file: "app package" }));
        assert.equal(bare.text, '{"taskid": "ACC-6" }');
        assert.equal(readFileSync("/update/client.cmf", "latin1"), "app package");
    });

test("a page of another site in the browser changes nothing on the device", async () => {
    const before = {
        torque: await torque(),
        packages: packages(),
        tables: tables(),
        cmf: readFileSync("/update/client.cmf", "latin1")
    };
    const earlier = await refusalsFrom(ATTACKER);
    const page = await browser.newPage();
    await page.goto(ATTACKER + "/");
    await page.evaluate(() => window.attack());
    // Refused by the rule, not lost on the way: the two forms and the two fetches each left their line (the
    // DELETE does not even leave the browser: its preflight gets no permission).
    await until(async () => (await refusalsFrom(ATTACKER)) === earlier + 4, "a line for each attempt");
    assert.deepEqual({
        torque: await torque(),
        packages: packages(),
        tables: tables(),
        cmf: readFileSync("/update/client.cmf", "latin1")
    },
                     before);
    await page.close();
});

test("a script in the log is shown as text, and runs nothing", async () => {
    await send("GET", "/api/v1/%3Cscript%3Ealert(1)%3C%2Fscript%3E.cgi");
    const page = await browser.newPage();
    const dialogs = [];
    page.on("dialog", (dialog) => {
        dialogs.push(dialog.message());
        dialog.dismiss();
    });
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

test("two uploads at once: one package on disk, whole, the one its task was answered for", async () => {
    const upload = (id, size, fill) => send("POST", "/voxapp/v1/device/update", { "Content-Type": MULTIPART },
                                            form({ deviceid: `ACC-${id}`, file: fill.repeat(size) }));
    const answers = await Promise.all([upload(30, 30 << 20, "a"), upload(20, 20 << 20, "b")]);
    const answered = answers.map((a) => a.text.match(/"taskid": "ACC-(\d+)"/)?.[1]).filter(Boolean);
    for (const a of answers)
        if (!a.text.includes("taskid"))
            assert.deepEqual([a.status, a.text], [409, '{"result": "Update already in progress" }']);
    assert.ok(answered.length >= 1);
    const serial = String(parseLenient((await send("GET", "/api/v1/all.cgi")).text)
                              .value.variables.MemExternalDevices.QBusUpdateDeviceSerial.value);
    assert.ok(answered.includes(serial));
    const onDisk = readFileSync("/update/client.cmf", "latin1");
    assert.equal(onDisk, (serial === "30" ? "a" : "b").repeat((serial === "30" ? 30 : 20) << 20));
    assert.equal(existsSync("/update/file-from-app"), false);
});
