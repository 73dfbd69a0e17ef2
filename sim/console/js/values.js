// What a printed value is, what the page lets a user send for it, and whether the device kept what was sent.
// No DOM here: the editors, the search and the watch list share these rules, and node tests them alone.
import {limitsOf} from "./human.js";
import {Broken, isPlainObject} from "./lenient-json.js";

// Control characters that record strings keep are shown as their visible pictures (U+2400...).
export const visible = (text) => String(text).replace(
    /[\u0000-\u001f\u007f]/g, (c) => String.fromCharCode(c === "\u007f" ? 0x2421 : 0x2400 + c.charCodeAt(0)));

// What a printed value is. A buffer prints like a string, but with its length as "max" and its bytes as hex.
export function kindOf(value) {
    if (value instanceof Broken) return "broken";
    if (Array.isArray(value)) return "records";
    if (!isPlainObject(value)) return "raw";
    if (typeof value.type !== "string") return "record";
    switch (value.type) {
    case "bool":
        return "bool";
    case "int":
    case "float":
        return "number";
    case "string": {
        const length = Number(value.max);
        return length > 0 && typeof value.value === "string" && value.value.length === 2 * length &&
                       /^[0-9a-fA-F]*$/.test(value.value)
                   ? "buffer"
                   : "string";
    }
    default:
        return Array.isArray(value.textid) ? "enum" : "raw";
    }
}

// Checks an edited text against the printed type and limits; returns the text to send or throws the reason.
export function checkInput(desc, kind, text) {
    if (kind === "number") {
        const t = text.trim();
        if (!/^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/.test(t)) throw new Error(`"${text}" is not a number`);
        if (desc.type === "int" && !/^[-+]?\d+$/.test(t)) throw new Error(`"${text}" is not a whole number`);
        const n = Number(t), limits = limitsOf(desc);
        if (limits && (n < limits.min || n > limits.max))
            throw new Error(`${t} is outside ${desc.min} … ${desc.max}`);
        return t;
    }
    if (kind === "buffer") {
        const t = text.trim();
        if (!/^([0-9a-fA-F]{2})*$/.test(t)) throw new Error("a buffer is written as pairs of hex digits");
        if (t.length > 2 * Number(desc.max))
            throw new Error(`a buffer of ${desc.max} bytes takes at most ${2 * desc.max} hex digits`);
        return t;
    }
    return text;
}

const utf8Length = (text) => new TextEncoder().encode(text).length;

// Compares what was sent with what the device holds afterwards. set.cgi answers result 1 whenever it found
// the variable, also when the device did not take the value as sent: a name that is not an entry and a text
// that is not a number or a bool leave the old value, a float is rounded to single precision and printed with
// six decimals, a text is cut to the string's room (its bytes less the terminating zero), a buffer takes the
// bytes given from its start. Returns null when the device kept the value as sent, else what to tell the
// user.
export function keptNote(kind, sent, kept) {
    if (kept === undefined || kept === null) return "the device's value could not be read back";
    if (kept instanceof Broken) return `the device's value cannot be printed: ${kept.message}`;
    const value = String(kept.value ?? "");
    switch (kind) {
    case "number": {
        const a = Number(sent), b = Number(value);
        const same = kept.type === "float"
                         ? Math.abs(Math.fround(a) - b) <= Math.max(5e-7, Math.abs(b) * 2 ** -23)
                         : a === b;
        return same ? null : `device kept ${value}`;
    }
    case "buffer":
        return value.toLowerCase().startsWith(String(sent).toLowerCase()) ? null : `device kept ${value}`;
    case "string":
        if (value === sent) return null;
        if (value.length < sent.length && sent.startsWith(value))
            return `device kept '${visible(value)}' (${utf8Length(value) + 1}-byte text)`;
        return `device kept '${visible(value)}'`;
    default:
        return value === sent ? null : `device kept '${visible(value)}'`;
    }
}

// A value's path, as controls are named and the watch list keeps them: "Block.Var", "Block.Var.Field" (a
// single record) or "Block.Var[3].Field" (an element of an array of records).
export const pathOf = (pin) =>
    `${pin.block}.${pin.name}${pin.field ? (pin.array ? `[${pin.index}]` : "") + `.${pin.field}` : ""}`;
export function parsePath(path) {
    const m = /^([^.[\]]+)\.([^.[\]]+)(?:(?:\[(\d+)\])?\.([^.[\]]+))?$/.exec(path);
    if (!m) return null;
    const pin = { block: m[1], name: m[2] };
    if (m[4])
        Object.assign(
            pin, { field: m[4], index: m[3] === undefined ? 0 : Number(m[3]), array: m[3] !== undefined });
    return pin;
}
