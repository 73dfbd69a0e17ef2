// The service's endpoints as the page uses them. Answers are read as text and through the lenient reader,
// since the service's JSON is not always strict.
import {parseLenient} from "./lenient-json.js";

export class HttpError extends Error {
    constructor(status, text) {
        super(`HTTP ${status}${text ? ": " + text.slice(0, 200) : ""}`);
        this.status = status;
    }
}

export async function getText(url, options = {}) {
    const answer = await fetch(url, { cache: "no-store", ...options });
    const text = await answer.text();
    if (!answer.ok) throw new HttpError(answer.status, text);
    return text;
}

export async function getJson(url, options) {
    return parseLenient(await getText(url, options));
}

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

export async function setVariable(block, variable, value, field) {
    const answer =
        await getJson("/api/v1/set.cgi", { method: "POST", body: setBody(block, variable, value, field) });
    const result = answer.value ?? {};
    return { ok: result.result === 1, error: typeof result.error === "string" ? result.error : "" };
}
