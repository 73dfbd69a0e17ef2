// The kernel log pane: the lines of log.js in a list that puts only the lines in view on the page, however
// many are kept. It follows the end while the reader is there and stays put (counting what waits below) once
// they scroll up, as browser consoles do. Lines wrap; the font is monospaced, so a line's height is known
// from its length without laying it out.
import {failureText, request} from "./api.js";
import {el} from "./dom.js";
import {contrast, readable} from "./human.js";
import {KEEP, KEEP_MOST, LEVELS, LogFeed, passes} from "./log.js";

// One request a second at most. A held log request is answered as soon as anything is logged, and at the
// verbose levels the service logs each request: asking again at once would have every answer bring the next,
// the page feeding the log it reads.
const PACE = 1000;
// An answer that brought nothing (a held request answered early, or a log that no longer grows).
const IDLE = 3000;
const OVERSCAN = 10; // lines drawn beyond each edge of the view
const BACKGROUND = "#0d1117";

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

export class LogPane {
    // controls: the scrolling list, the writer, level and text filters, the polling and keep boxes, the
    // count, the button that goes back to the end, and the line for errors.
    constructor(controls) {
        Object.assign(this, controls);
        this.feed = new LogFeed(this.kept());
        this.listeners = [];
        this.programs = new Set();
        this.colours = new Map();
        this.shown = []; // the kept lines that pass the filters, oldest first
        this.tops = [];  // the first row of each shown line
        this.rows = 0;
        this.following = true;
        this.below = 0; // lines shown since the reader left the end
        this.space = el("div", { class: "log-space" });
        this.window = el("div", { class: "log-window" });
        this.space.append(this.window);
        this.list.replaceChildren(this.space);
        this.level.replaceChildren(el("option", { value: "" }, "any level"),
                                   ...LEVELS.map((l) => el("option", { value: l }, `${l} and above`)));
        for (const input of [this.program, this.level, this.text, this.polling])
            input.addEventListener("input", () => this.refilter());
        this.keep.addEventListener("change", () => {
            this.feed.keep(this.kept());
            this.refilter();
        });
        this.list.addEventListener("scroll", () => {
            const end = this.atEnd();
            if (end !== this.following || (end && this.below)) {
                this.following = end;
                this.below = 0;
                this.count();
            }
            this.schedule();
        });
        this.end.addEventListener("click", () => this.toEnd());
        new ResizeObserver(() => this.measure() && this.layout()).observe(this.list);
    }

    // Every whole line as it arrives, whatever the filters.
    onLine(listener) {
        this.listeners.push(listener);
    }

    // A number the box does not hold keeps the default.
    kept() {
        const n = Math.round(Number(this.keep.value));
        return n >= 1 ? Math.min(n, KEEP_MOST) : KEEP;
    }

    filters() {
        return {
            program: this.program.value,
            level: this.level.value,
            text: this.text.value,
            polling: this.polling.checked
        };
    }

    atEnd() {
        return this.list.scrollTop + this.list.clientHeight >= this.list.scrollHeight - (this.rowPx ?? 16);
    }

    toEnd() {
        this.following = true;
        this.below = 0;
        this.list.scrollTop = this.list.scrollHeight;
        this.count();
        this.schedule();
    }

    // The font's cell, and how many fit on a row; false while the pane is not laid out or nothing changed.
    measure() {
        if (!this.list.clientWidth) return false;
        if (!this.rowPx) {
            const cell = el("span", {}, "0");
            const probe = el("div", { class: "line probe" }, cell);
            this.window.append(probe);
            this.rowPx = probe.getBoundingClientRect().height;
            cell.textContent = "0".repeat(100);
            probe.style.whiteSpace = "pre";
            this.charPx = cell.getBoundingClientRect().width / 100;
            probe.remove();
            if (!this.rowPx || !this.charPx) return (this.rowPx = 0), false;
        }
        const style = getComputedStyle(this.list);
        const width = this.list.clientWidth - parseFloat(style.paddingLeft) - parseFloat(style.paddingRight);
        // A pixel to spare: a row the browser fills to its last fraction of a cell may break one cell early.
        const cols = Math.max(10, Math.floor((width - 1) / this.charPx));
        if (cols === this.cols) return false;
        this.cols = cols;
        return true;
    }

    rowsOf(line) {
        return Math.max(1, Math.ceil(line.text.length / this.cols));
    }

    // The rows of every shown line from `from` on.
    layout(from = 0) {
        if (!this.cols) return;
        let row = from > 0 ? this.tops[from - 1] + this.rowsOf(this.shown[from - 1]) : 0;
        this.tops.length = this.shown.length;
        for (let i = from; i < this.shown.length; i++) {
            this.tops[i] = row;
            row += this.rowsOf(this.shown[i]);
        }
        this.rows = row;
        this.space.style.height = `${this.rows * this.rowPx}px`;
        if (this.following) this.list.scrollTop = this.list.scrollHeight;
        this.drawn = null;
        this.schedule();
    }

    refilter() {
        const filters = this.filters();
        this.shown = this.feed.lines.filter((l) => passes(l, filters));
        this.layout();
        this.count();
    }

    // An answer's lines: those pushed out of the bound leave the view without moving what the reader looks
    // at, and the new ones are added at the end.
    add({ reset, added, dropped }) {
        for (const line of added)
            if (line.program && !this.programs.has(line.program)) this.addProgram(line.program);
        this.listeners.forEach((listener) => added.forEach((line) => listener(line)));
        if (reset || !this.cols) return this.refilter();
        if (dropped) {
            const first = this.feed.lines[0]?.seq ?? Infinity;
            let gone = 0;
            while (gone < this.shown.length && this.shown[gone].seq < first) gone++;
            if (gone) {
                const rows = gone < this.shown.length ? this.tops[gone] : this.rows;
                this.shown.splice(0, gone);
                this.tops.splice(0, gone);
                for (let i = 0; i < this.tops.length; i++) this.tops[i] -= rows;
                this.rows -= rows;
                if (!this.following) this.list.scrollTop -= rows * this.rowPx;
            }
        }
        const filters = this.filters();
        const from = this.shown.length;
        for (const line of added)
            if (passes(line, filters)) this.shown.push(line);
        if (!this.following) this.below += this.shown.length - from;
        this.layout(from);
        this.count();
    }

    schedule() {
        if (this.frame) return;
        this.frame = requestAnimationFrame(() => {
            this.frame = null;
            this.draw();
        });
    }

    // Puts the lines in view, and a few beyond, on the page.
    draw() {
        if (!this.cols) return;
        const top = this.list.scrollTop / this.rowPx, bottom = top + this.list.clientHeight / this.rowPx;
        const at = (row) => {
            let lo = 0, hi = this.tops.length - 1;
            while (lo < hi) {
                const mid = (lo + hi + 1) >> 1;
                if (this.tops[mid] <= row)
                    lo = mid;
                else
                    hi = mid - 1;
            }
            return lo;
        };
        const first = Math.max(0, at(top) - OVERSCAN);
        const last = Math.min(this.shown.length, at(bottom) + OVERSCAN + 1);
        const key = `${this.shown[first]?.seq}-${this.shown[last - 1]?.seq}-${this.cols}`;
        if (key === this.drawn) return;
        this.drawn = key;
        const nodes = [];
        for (let i = first; i < last; i++) {
            const line = this.shown[i];
            const node = line.node ?? this.lineView(line);
            node.style.height = `${this.rowsOf(line) * this.rowPx}px`;
            nodes.push(node);
        }
        this.window.style.transform = `translateY(${(this.tops[first] ?? 0) * this.rowPx}px)`;
        this.window.replaceChildren(...nodes);
    }

    colour(hex) {
        if (!this.colours.has(hex)) this.colours.set(hex, readable(hex, BACKGROUND));
        return this.colours.get(hex);
    }

    lineView(line) {
        const node = el("div", {
            class: line.gap ? "line gap" : "line",
            "data-program": line.program,
            "data-level": line.level
        });
        if (line.gap) node.textContent = line.text;
        for (const run of line.runs) {
            const span = el("span", {}, run.text);
            const fore = run.style.color, back = run.style["background-color"];
            if (back) {
                // Text on a coloured ground: black or white, whichever reads better on it.
                span.style.backgroundColor = back;
                span.style.color =
                    contrast("#000000", back) > contrast("#ffffff", back) ? "#000000" : "#ffffff";
            } else if (fore) {
                span.style.color = this.colour(fore);
            }
            if (fore || back) {
                span.className = "coloured";
                span.dataset.colour = fore ?? back;
            }
            node.append(span);
        }
        line.node = node;
        return node;
    }

    count() {
        const hidden = this.polling.checked ? 0 : this.feed.lines.filter((l) => l.polling).length;
        this.counter.textContent = `${this.shown.length} of ${this.feed.lines.length} lines shown` +
                                   (hidden ? `, ${hidden} polling lines hidden` : "");
        this.end.hidden = this.following;
        this.end.textContent =
            this.below ? `↓ ${this.below} new ${this.below === 1 ? "line" : "lines"} below` : "↓ to the end";
    }

    addProgram(program) {
        this.programs.add(program);
        const options = [...this.programs].sort().map((p) => el("option", { value: p }, p));
        const chosen = this.program.value;
        this.program.replaceChildren(el("option", { value: "" }, "every program"), ...options);
        this.program.value = chosen;
    }

    // After the service started anew its log starts anew too; after a pause it goes on where it was.
    restart() {
        this.feed.offset = 0;
        this.controller?.abort();
    }

    async run() {
        this.measure();
        let pause = 500;
        for (;;) {
            const asked = this.feed.offset, sent = Date.now();
            this.controller = new AbortController();
            let brought = true;
            try {
                const bytes = await request(`/api/v1/log.cgi?offset=${asked}`,
                                            { bytes: true, signal: this.controller.signal });
                if (asked !== this.feed.offset) continue; // restarted meanwhile
                this.onAnswer?.();
                const change = this.feed.take(asked, bytes);
                brought = change.reset || change.added.length > 0;
                this.add(change);
                this.problem.hidden = true;
                pause = 500;
            } catch (e) {
                if (e?.name === "AbortError") continue;
                this.problem.textContent = `Log not read: ${failureText(e)}`;
                this.problem.hidden = false;
                await sleep(pause);
                pause = Math.min(pause * 2, 5000);
                continue;
            }
            await sleep(Math.max(0, (brought ? PACE : IDLE) - (Date.now() - sent)));
        }
    }
}
