// Reads the service's JSON answers as they really are, not as strict JSON would have them:
// - string fields of records keep their raw control characters;
// - a value that could not be printed appears as `"ERROR": "message"` in its place, the message unescaped
//   (it may hold quotes itself);
// - an update answer names a block twice when its changed variables are not contiguous.
// Broken values become `Broken` objects so that the page can mark them; when a member cannot be read at all,
// the reader skips to the next member it can recognise instead of giving up on the whole document.

export class Broken {
    constructor(message, raw = "") {
        this.message = message;
        this.raw = raw;
    }
}

class Failure extends Error {
    constructor(message, position) {
        super(`${message} at ${position}`);
        this.position = position;
    }
}

const whitespace = new Set([" ", "\t", "\r", "\n"]);
const delimiters = new Set([",", "}", "]", ":"]);

// Members of the tree and of update answers are written as `"Name" : value` (a space before the colon);
// record fields and value descriptors are not, so this finds the next variable or block and not a field
// inside one.
const memberStart = /,\s*"([^"\\]*)" : /g;

export function parseLenient(text) {
    const problems = [];
    let pos = 0;

    const skip = () => {
        while (pos < text.length && whitespace.has(text[pos])) pos++;
    };

    // The next backslash, found once and reused until the reader passes it: searching for it at every string
    // would scan to the end of a tree that has none again and again.
    let backslash = -1;
    const simple = { n: "\n", r: "\r", t: "\t", b: "\b", f: "\f", "/": "/", "\\": "\\", '"': '"' };
    const readString = () => {
        // pos is at the opening quote; raw control characters are taken as they are
        let out = "";
        pos++;
        for (;;) {
            const close = text.indexOf('"', pos);
            if (close < 0) throw new Failure("unterminated string", text.length);
            if (backslash < pos && backslash !== Infinity) {
                backslash = text.indexOf("\\", pos);
                if (backslash < 0) backslash = Infinity;
            }
            if (backslash > close) {
                out += text.slice(pos, close);
                pos = close + 1;
                return out;
            }
            out += text.slice(pos, backslash);
            pos = backslash;
            const e = text[pos + 1];
            const hex = text.substr(pos + 2, 4);
            if (e === "u" && /^[0-9a-fA-F]{4}$/.test(hex)) {
                out += String.fromCharCode(parseInt(hex, 16));
                pos += 6;
            } else if (e !== undefined && e in simple) {
                out += simple[e];
                pos += 2;
            } else {
                out += "\\";
                pos += 1;
            }
        }
    };

    // The message of an `"ERROR": "..."` value is not escaped: it ends at the first quote that a delimiter
    // follows.
    const readErrorMessage = () => {
        skip();
        if (text[pos] !== '"') throw new Failure("error message expected", pos);
        const start = pos + 1;
        for (let i = start; i < text.length; i++) {
            if (text[i] !== '"') continue;
            let j = i + 1;
            while (j < text.length && whitespace.has(text[j])) j++;
            if (j >= text.length || text[j] === "," || text[j] === "}" || text[j] === "]") {
                pos = i + 1;
                return text.slice(start, i);
            }
        }
        throw new Failure("unterminated error message", start);
    };

    const readBare = () => {
        const start = pos;
        while (pos < text.length && !whitespace.has(text[pos]) && !delimiters.has(text[pos])) pos++;
        const word = text.slice(start, pos);
        if (word === "") throw new Failure(`unexpected ${JSON.stringify(text[pos] ?? "end")}`, pos);
        if (word === "true") return true;
        if (word === "false") return false;
        if (word === "null") return null;
        if (/^-?\d+(\.\d+)?([eE][-+]?\d+)?$/.test(word)) return Number(word);
        return word;
    };

    // A value, or an ERROR marker in its place.
    const readValue = () => {
        skip();
        const c = text[pos];
        let value;
        if (c === "{")
            value = readObject();
        else if (c === "[")
            value = readArray();
        else if (c === '"')
            value = readString();
        else
            value = readBare();
        skip();
        if (value === "ERROR" && text[pos] === ":") {
            pos++;
            return new Broken(readErrorMessage());
        }
        return value;
    };

    // Skips what could not be read to the next recognisable member. Tells whether that member follows in this
    // object, or whether the brackets in between closed this object first (then pos is at its closing brace);
    // "end" when nothing recognisable follows.
    const resync = (memberAt, from) => {
        memberStart.lastIndex = from;
        const m = memberStart.exec(text);
        if (!m) {
            pos = text.length;
            return "end";
        }
        let depth = 0;
        let last = -1;
        for (let i = memberAt; i < m.index; i++) {
            const c = text[i];
            if (c === "{" || c === "[")
                depth++;
            else if (c === "}" || c === "]") {
                depth--;
                if (depth < 0) {
                    last = i;
                    break;
                }
            }
        }
        pos = last >= 0 ? last : m.index;
        return last >= 0 ? "closed" : "member";
    };

    // An object whose members are spaced (`"Name" : `) is a block or the set of blocks: a member of it that
    // cannot be read is marked and skipped. Any other object gives up and leaves that to the spaced one
    // around it.
    const readObject = () => {
        const result = Object.create(null);
        pos++;
        let spaced;
        for (;;) {
            skip();
            if (text[pos] === "}") {
                pos++;
                return result;
            }
            if (pos >= text.length) {
                problems.push("the text ends inside an object");
                return result;
            }
            const memberAt = pos;
            let key = "";
            try {
                key = text[pos] === '"' ? readString() : readBare();
                if (spaced === undefined) spaced = text.startsWith(" : ", pos);
                skip();
                if (text[pos] !== ":") throw new Failure("':' expected", pos);
                pos++;
                assign(result, key, readValue());
                skip();
                if (text[pos] === ",")
                    pos++;
                else if (text[pos] !== "}" && pos < text.length)
                    throw new Failure("',' or '}' expected", pos);
            } catch (e) {
                if (!(e instanceof Failure) || !spaced) throw e;
                const where = resync(memberAt, Math.max(e.position, memberAt + 1));
                problems.push(`${key || "?"}: ${e.message}`);
                assign(result, key,
                       new Broken(e.message, text.slice(memberAt, Math.min(pos, memberAt + 200))));
                if (where === "end") return result;
                pos++; // the closing brace, or the comma before the next member
                if (where === "closed") return result;
            }
        }
    };

    const readArray = () => {
        const result = [];
        pos++;
        for (;;) {
            skip();
            if (text[pos] === "]") {
                pos++;
                return result;
            }
            if (pos >= text.length) {
                problems.push("the text ends inside an array");
                return result;
            }
            result.push(readValue());
            skip();
            if (text[pos] === ",")
                pos++;
            else if (text[pos] !== "]" && pos < text.length)
                throw new Failure("',' or ']' expected", pos);
        }
    };

    let value;
    try {
        value = readValue();
    } catch (e) {
        if (!(e instanceof Failure)) throw e;
        problems.push(e.message);
        value = undefined;
    }
    return { value, problems };
}

// A block named twice in one answer contributes the variables of both mentions.
function assign(target, key, value) {
    const old = target[key];
    if (isPlainObject(old) && isPlainObject(value))
        Object.assign(old, value);
    else
        target[key] = value;
}

export function isPlainObject(v) {
    return v !== null && typeof v === "object" && !Array.isArray(v) && !(v instanceof Broken);
}
