// The kernel log, followed by offset. The service sends kernel text with &, < and > as entities and colour
// spans of its own around it; the text is still never handed to the browser as HTML. Only the service's span
// tags are recognised, and only their colours are applied; everything else stays text, the three entities
// read back as their characters.
//
// Each line is read for the program that wrote it and its level (the columns every program of the device
// writes), so that the pane can filter by them. Only the newest lines are kept.
import {el} from "./dom.js";

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
// `[   12.345678] ` as dmesg prints the kernel's time stamp; then the writer's name right-aligned in its
// column, two spaces and the level. Lines written by other means (a tool writing to /dev/kmsg) name their
// writer before a colon, or nothing.
const LINE =
    new RegExp(`^(?:\\[\\s*(\\d+\\.\\d+)\\]\\s?)?\\s*(?:(\\S+)  (${LEVELS.join("|")})(?= |$)|([\\w.-]+):)?`);

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
            if (i > 0) {
                lines.push(partial.splice(0));
            }
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
// pass any), and a text to contain, ignoring case.
export function passes(line, {program = "", level = "", text = ""}) {
    if (program && line.program !== program) return false;
    if (level && line.level && LEVELS.indexOf(line.level) < LEVELS.indexOf(level)) return false;
    return !text || line.text.toLowerCase().includes(text.toLowerCase());
}

// Keeps the newest `keep` of the lines added; returns those it dropped.
export function cap(lines, keep = KEEP) {
    return lines.length > keep ? lines.splice(0, lines.length - keep) : [];
}

// The answer's first line is the log's size when the request arrived; the rest starts at the offset asked
// for, unless that was 0 or beyond the end (a restarted service), when it is the whole log.
export function splitAnswer(bytes) {
    let i = 0;
    while (i < bytes.length && bytes[i] !== 0x0a) i++;
    const size = Number(new TextDecoder().decode(bytes.subarray(0, i)).trim());
    return { size, data: bytes.subarray(Math.min(i + 1, bytes.length)) };
}

export class LogPane {
    // controls: the pre, the "keep at the end" and "pause" boxes, the writer, level and text filters, how
    // many lines to keep, and the line that counts what is kept and shown.
    constructor(controls) {
        Object.assign(this, controls);
        this.offset = 0;
        this.lines = [];
        this.listeners = [];
        this.programs = new Set();
        this.reset();
        for (const input of [this.program, this.level, this.text])
            input.addEventListener("input", () => this.redraw());
        this.held = 0; // lines that pass the filters and came while paused
        this.pause.addEventListener("change", () => {
            this.held = 0;
            if (this.pause.checked)
                this.count();
            else
                this.redraw();
        });
        this.keep.addEventListener("change", () => {
            for (const line of cap(this.lines, this.kept())) line.node?.remove();
            this.count();
        });
        this.level.replaceChildren(el("option", { value: "" }, "any level"),
                                   ...LEVELS.map((l) => el("option", { value: l }, `${l} and above`)));
    }

    // Every whole line as it arrives, whatever the filters and the pause.
    onLine(listener) {
        this.listeners.push(listener);
    }

    reset() {
        this.pre.replaceChildren();
        this.lines.length = 0;
        this.open = [];
        this.partial = [];
        this.decoder = new TextDecoder("utf-8");
        this.count();
    }

    // A number the box does not hold keeps the default.
    kept() {
        const n = Math.round(Number(this.keep.value));
        return n >= 1 ? n : KEEP;
    }

    filters() {
        return { program: this.program.value, level: this.level.value, text: this.text.value };
    }

    lineView(line) {
        const node = el("div", { class: "line", "data-program": line.program, "data-level": line.level });
        for (const run of line.runs) {
            const span = el("span", {}, run.text);
            if (run.style.color) span.style.color = run.style.color;
            if (run.style["background-color"]) span.style.backgroundColor = run.style["background-color"];
            if (run.style.color || run.style["background-color"]) span.className = "coloured";
            node.append(span);
        }
        line.node = node;
        return node;
    }

    append(text) {
        const added = logLines(logRuns(text, this.open), this.partial)
                          .map((line) => ({...line, ...parseLine(line.text) }));
        if (!added.length) return;
        this.lines.push(...added);
        // A paused view keeps what it shows until it goes on.
        const dropped = cap(this.lines, this.kept());
        if (!this.pause.checked)
            for (const line of dropped) line.node?.remove();
        for (const line of added) {
            if (line.program && !this.programs.has(line.program)) this.addProgram(line.program);
            this.listeners.forEach((listener) => listener(line));
        }
        const filters = this.filters();
        if (this.pause.checked) {
            this.held += added.filter((l) => passes(l, filters)).length;
            return this.count();
        }
        this.show(
            () => this.pre.append(...added.filter((l) => passes(l, filters)).map((l) => this.lineView(l))));
    }

    redraw() {
        const filters = this.filters();
        this.show(
            () => this.pre.replaceChildren(
                ...this.lines.filter((l) => passes(l, filters)).map((l) => l.node ?? this.lineView(l))));
    }

    show(change) {
        const atEnd = this.pre.scrollTop + this.pre.clientHeight >= this.pre.scrollHeight - 4;
        change();
        if (this.follow.checked || atEnd) this.pre.scrollTop = this.pre.scrollHeight;
        this.count();
    }

    count() {
        const shown = this.pre.childElementCount;
        this.counter.textContent = `${shown} of ${this.lines.length} lines shown` +
                                   (this.pause.checked ? `; paused, ${this.held} new to show` : "");
    }

    addProgram(program) {
        this.programs.add(program);
        const options = [...this.programs].sort().map((p) => el("option", { value: p }, p));
        const chosen = this.program.value;
        this.program.replaceChildren(el("option", { value: "" }, "every program"), ...options);
        this.program.value = chosen;
    }

    async run() {
        let pause = 500;
        for (;;) {
            try {
                const asked = this.offset;
                const answer = await fetch(`/api/v1/log.cgi?offset=${asked}`, { cache: "no-store" });
                if (!answer.ok) throw new Error(`HTTP ${answer.status}`);
                const { size, data } = splitAnswer(new Uint8Array(await answer.arrayBuffer()));
                const whole = asked === 0 || !(size >= asked);
                if (whole) this.reset();
                // Offsets count bytes; a character split between two answers is completed by the next.
                this.append(this.decoder.decode(data, { stream: true }));
                this.offset = (whole ? 0 : asked) + data.length;
                pause = 500;
                // Offset 0 always answers at once: with an empty log, ask again only after a while.
                if (this.offset === 0) await new Promise((r) => setTimeout(r, 1000));
            } catch (e) {
                await new Promise((r) => setTimeout(r, pause));
                pause = Math.min(pause * 2, 5000);
            }
        }
    }
}
