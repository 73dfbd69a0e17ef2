// What the console's browser tests share: the simulated device in run.sh's sandbox, Debian's chromium as they
// start it, and requests of their own that read the device back without going through a page.
import assert from "node:assert/strict";
import {request} from "node:http";
import {buffer} from "node:stream/consumers";

import {parseLenient} from "../../sim/console/js/lenient-json.js";

export const DEVICE = "http://127.0.0.1:8080";

// Chromium's own sandbox cannot nest in the tests'; nothing of its own (updates, sync) runs beside them.
export const CHROMIUM = {
    executablePath: "/usr/bin/chromium",
    args: [
        "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync"
    ],
};

// A request with exactly the headers given (Host included), through nginx, as a client that is no browser.
export async function send(method, path, headers = {}, body = "") {
    const options = { method, headers: { "Content-Length": Buffer.byteLength(body), ...headers } };
    const res = await new Promise((resolve, reject) =>
                                      request(DEVICE + path, options, resolve).on("error", reject).end(body));
    const bytes = await buffer(res);
    return { status: res.statusCode, headers: res.headers, bytes, text: bytes.toString() };
}

export const setVars = (body, headers) => send("POST", "/api/v1/set.cgi", headers, body);
export const variables = async () =>
    parseLenient((await send("GET", "/api/v1/all.cgi")).text).value.variables;

// Polls until check holds: what the device does on a request reaches its log only a moment later.
export async function until(check, what, timeout = 10000) {
    for (const end = Date.now() + timeout; Date.now() < end; await new Promise((r) => setTimeout(r, 100)))
        if (await check()) return;
    assert.fail(`${what} within ${timeout} ms`);
}
