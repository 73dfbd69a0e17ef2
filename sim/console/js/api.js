// The service's endpoints as the page uses them. Answers are read as text and through the lenient reader,
// since the service's JSON is not always strict. Every failure is told in the page's own words: a status and
// its reason, and the service's error text when it sent one, never a web server's HTML page.
import {parseLenient} from "./lenient-json.js";

const REASONS = {
    400: "Bad Request",
    404: "Not Found",
    413: "Request Entity Too Large",
    500: "Internal Server Error",
    502: "Bad Gateway",
    503: "Service Unavailable",
    504: "Gateway Timeout"
};

// What an answer that is not a success says: "502 Bad Gateway", or "500 Internal Server Error: <the service's
// error>" when the body is the service's JSON.
export function answerFailure(status, reason, body = "") {
    let detail = "";
    try {
        const parsed = JSON.parse(body);
        const said = parsed?.error || (typeof parsed?.result === "string" ? parsed.result : "");
        if (typeof said === "string") detail = said.trim().slice(0, 200);
    } catch { /* not the service's JSON: the status says it all */
    }
    return `${status} ${reason || REASONS[status] || "Error"}${detail ? `: ${detail}` : ""}`;
}

export class HttpError extends Error {
    constructor(status, reason, body) {
        super(answerFailure(status, reason, body));
        this.status = status;
    }
}

// A failed request in words. A fetch that cannot reach the web server fails with a TypeError whose text
// differs between browsers.
export function failureText(e) {
    if (e?.name === "TimeoutError")
        return e.seconds ? `no answer within ${e.seconds} s` : "no answer in time";
    if (e?.name === "AbortError") return "cancelled";
    if (e instanceof TypeError) return "no connection to the device";
    return e?.message || String(e);
}

// fetch with a time-out for the whole answer, body included, and an optional signal of the caller's. The body
// comes as text, or as bytes with `bytes: true`.
export async function request(url, {timeout = 0, signal, bytes = false, ...options} = {}) {
    const timer = timeout ? AbortSignal.timeout(timeout) : null;
    const signals = [signal, timer].filter(Boolean);
    try {
        const answer = await fetch(url, {
            cache: "no-store",
            ...options,
            signal: signals.length > 1 ? AbortSignal.any(signals) : signals[0]
        });
        if (!answer.ok) throw new HttpError(answer.status, answer.statusText, await answer.text());
        return bytes ? new Uint8Array(await answer.arrayBuffer()) : await answer.text();
    } catch (e) {
        if (e?.name === "TimeoutError") e.seconds = timeout / 1000;
        throw e;
    }
}

export const getJson = async (url, options) => parseLenient(await request(url, options));

// The service's reader takes values verbatim between quotes and knows no escapes, so a text is quoted with
// whichever quote character it does not contain; one holding both cannot be sent.
export function quote(text) {
    const s = String(text);
    if (!s.includes('"')) return `"${s}"`;
    if (!s.includes("'")) return `'${s}'`;
    throw new Error("a value cannot hold both kinds of quote");
}

// The body of a set request: `{"Block": {"Var": value}}`, or for a field of a record element
// `{"Block": {"Var": {"Index": n, "Field": value}}}`.
export function setBody(block, variable, value, field) {
    const inner = field === undefined ? quote(value)
                                      : `{"Index": ${field.index}, ${quote(field.name)}: ${quote(value)}}`;
    return `{${quote(block)}: {${quote(variable)}: ${inner}}}`;
}

// A set answers at once when the service runs; a longer wait means it does not.
export const SET_TIMEOUT = 5000;

export async function setVariable(block, variable, value, field, signal) {
    const answer = await getJson(
        "/api/v1/set.cgi",
        { method: "POST", body: setBody(block, variable, value, field), timeout: SET_TIMEOUT, signal });
    const result = answer.value ?? {};
    return { ok: result.result === 1, error: typeof result.error === "string" ? result.error : "" };
}
