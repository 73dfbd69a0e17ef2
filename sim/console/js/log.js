// The kernel log as the service sends it, read into lines. No DOM here (logpane.js shows them); node tests
// it.
//
// The service sends kernel text with &, < and > as entities and colour spans of its own around it; the text
// is still never handed to the browser as HTML. Only the service's span tags are recognised, and only their
// colours are applied; everything else stays text, the three entities read back as their characters. Each
// line is read for the program that wrote it and its level (the columns every program of the device writes),
// so that the pane can filter by them.
import {bytes} from "./human.js";

const SPAN = /<span style='([^'<>]*)'>|<\/span>/g;
const ENTITY = /&(amp|lt|gt);/g;
const CHARACTER = {
    amp: "&",
    lt: "<",
    gt: ">"
};
const text = (html) => html.replace(ENTITY, (_, name) => CHARACTER[name]);
const STYLE = /^\s*(color|background-color):\s*(#[0-9A-Fa-f]{6})\s*;?\s*$/;
export const LEVELS =
    ["DebugAll", "DebugMost", "DebugLight", "LogAll", "LogMost", "LogLight", "Warn", "Error"];
export const KEEP = 5000;
export const KEEP_MOST = 100000;
// `[   12.345678] ` as dmesg prints the kernel's time stamp; then the writer's name right-aligned in its
// column, two spaces and the level. Lines written by other means (a tool writing to /dev/kmsg) name their
// writer before a colon, or nothing.
const LINE =
    new RegExp(`^(?:\\[\\s*(\\d+\\.\\d+)\\]\\s?)?\\s*(?:(\\S+)  (${LEVELS.join("|")})(?= |$)|([\\w.-]+):)?`);

// The service's lines about the polling that every open console does: its own log and update requests, the
// heartbeat's device information and the screen. At the verbose levels they would be most of what the pane
// shows, and they tell nothing about the device; another console's look the same, so all of them are hidden
// (and counted) unless asked for.
const POLLING = new RegExp(
    "REQUEST handle\\(\\d+, \\d+, /(?:api/v1/(?:update|log|screen)\\.cgi|voxapp/v1)\\)|" +
    "Sending (?:log data with offset|all log data to request)|VoxApp: GET /device/(?:info|status)$");
export const isPolling = (line) => line.program === "service" && POLLING.test(line.text);

// Splits converted log text into runs of text with the colours in force. `open` is the stack of styles still
// open from earlier text (spans are not balanced and may continue across answers); it is updated in place.
export function logRuns(html, open) {
    const runs = [];
    let last = 0;
    const style = () => {
        const s = {};
        for (const o of open)
            if (o) s[o.property] = o.colour;
        return s;
    };
    for (const m of html.matchAll(SPAN)) {
        if (m.index > last) runs.push({ text: text(html.slice(last, m.index)), style: style() });
        if (m[0] === "</span>")
            open.pop();
        else {
            const parsed = STYLE.exec(m[1]);
            open.push(parsed ? { property: parsed[1], colour: parsed[2] } : null);
        }
        last = m.index + m[0].length;
    }
    if (last < html.length) runs.push({ text: text(html.slice(last)), style: style() });
    return runs;
}

// Groups runs into whole lines. `partial` holds the runs of a line not yet ended; it is updated in place and
// the ended lines are returned, each as its runs and its plain text.
export function logLines(runs, partial) {
    const lines = [];
    for (const run of runs) {
        const pieces = run.text.split("\n");
        pieces.forEach((piece, i) => {
            if (i > 0) lines.push(partial.splice(0));
            if (piece) partial.push({ text: piece, style: run.style });
        });
    }
    return lines.map((runs) => ({ runs, text: runs.map((r) => r.text).join("").replace(/\r$/, "") }));
}

// The time stamp (seconds, or null), writer and level of a line's plain text.
export function parseLine(text) {
    const m = LINE.exec(text);
    return {
        time: m[1] !== undefined ? Number(m[1]) : null,
        program: m[2] ?? m[4] ?? "",
        level: m[3] ?? "",
    };
}

// Whether a parsed line passes the filters: one writer or all (""), a lowest level (lines without a level
// pass any), a text to contain, ignoring case, and the polling lines only when asked for.
export function passes(line, {program = "", level = "", text = "", polling = false}) {
    if (program && line.program !== program) return false;
    if (level && line.level && LEVELS.indexOf(line.level) < LEVELS.indexOf(level)) return false;
    if (!polling && line.polling) return false;
    return !text || line.text.toLowerCase().includes(text.toLowerCase());
}

// The answer's first line is the log's size when the request arrived; the converted text follows.
export function splitAnswer(bytes) {
    let i = 0;
    while (i < bytes.length && bytes[i] !== 0x0a) i++;
    const line = new TextDecoder().decode(bytes.subarray(0, i)).trim();
    return {
        size: /^\d+$/.test(line) ? Number(line) : NaN,
        data: bytes.subarray(Math.min(i + 1, bytes.length))
    };
}

// Where the text of an answer to `offset=asked` lies in the log, from its size line and length, and so where
// to ask next. The service answers offset 0, or one beyond its size (a service started anew), with all it
// keeps; an offset it has passed with the text from there, or from its oldest kept byte when it keeps no
// more, up to the size; the size itself by holding the request, and then with what came since, after that
// same size line. `skipped` counts the bytes between what the page had and what the answer brings: the log
// the service no longer keeps.
export function followAnswer(asked, size, length) {
    if (asked === 0 || size < asked) return { next: size, reset: true, skipped: size - length };
    if (size === asked) return { next: asked + length, reset: false, skipped: 0 };
    return { next: size, reset: false, skipped: size - length - asked };
}

// Where the last n ended lines of a text start (its unended rest included).
export function tailStart(text, n) {
    let i = text.length;
    for (let k = 0; k <= n; k++) {
        if (i <= 0) return 0;
        i = text.lastIndexOf("\n", i - 1);
        if (i < 0) return 0;
    }
    return i + 1;
}

// The lines of the log, followed answer by answer: where to ask next, and never more than `bound` lines held.
export class LogFeed {
    constructor(bound = KEEP) {
        this.bound = bound;
        this.offset = 0;
        this.seq = 0; // each line's number, in the order they came
        this.restart();
    }

    restart() {
        this.lines = [];
        this.open = [];
        this.partial = [];
        this.decoder = new TextDecoder("utf-8");
    }

    // Keeps the newest `bound` lines; returns how many it dropped from the front.
    keep(bound = this.bound) {
        this.bound = bound;
        const over = this.lines.length - bound;
        if (over > 0) this.lines.splice(0, over);
        return Math.max(0, over);
    }

    // Reads one answer to `log.cgi?offset=asked`: whether the log starts anew, the lines it adds (those kept)
    // and how many old lines they pushed out.
    take(asked, answer) {
        const { size, data } = splitAnswer(answer);
        if (!Number.isFinite(size)) throw new Error("the log's answer has no size line");
        const { next, reset, skipped } = followAnswer(asked, size, data.length);
        if (reset) this.restart();
        const added = [];
        if (skipped > 0) {
            this.partial = []; // its end is in what was skipped
            added.push({
                gap: true,
                runs: [],
                text: `… ${bytes(skipped)} of older log that the service no longer keeps …`,
                program: "",
                level: "",
                seq: this.seq++
            });
        }
        // Offsets count bytes; a character split between two answers is completed by the next.
        let html = this.decoder.decode(data, { stream: true });
        // Lines beyond the bound would only be dropped again: their colours are followed, nothing more.
        const start = tailStart(html, this.bound);
        if (start > 0) {
            for (const m of html.slice(0, start).matchAll(SPAN)) logRuns(m[0], this.open);
            this.partial = [];
            html = html.slice(start);
        }
        for (const line of logLines(logRuns(html, this.open), this.partial)) {
            Object.assign(line, parseLine(line.text));
            line.polling = isPolling(line);
            line.seq = this.seq++;
            added.push(line);
        }
        this.offset = next;
        const kept = added.length > this.bound ? added.slice(-this.bound) : added;
        for (const line of kept) this.lines.push(line);
        return { reset, added: kept, dropped: this.keep() };
    }
}
