// The watch list: numeric values (also fields of records) pinned by the user, each with a plot of its recent
// past drawn from the live updates: a time axis, its limits as dashed lines, the value at any moment under
// the pointer. The pins, the chosen window and a bounded history are kept in the browser's storage, so that a
// reload shows what came before it.
import {el} from "./dom.js";
import {age, shownLimits} from "./human.js";
import {fieldOf} from "./tree.js";
import {parsePath, pathOf} from "./values.js";

export const WINDOWS = [1, 5, 30].map((m) => m * 60 * 1000);
const SPAN_MOST = WINDOWS.at(-1);
const SPAN_LEAST = 10 * 1000;     // a plot of a new pin spans at least this, not a single instant
export const SAMPLES_MOST = 2000; // a path's history in storage: thinned beyond this
const STORE = "console.watch";
const HISTORY = "console.watch.history";
const WINDOW = "console.watch.window";
const SAVE_EVERY = 5000;
const SVG = "http://www.w3.org/2000/svg";
const H = 140, AXIS = 18;
const TICKS = [5, 10, 15, 30, 60, 120, 300, 600].map((s) => s * 1000);

export const descOf = (value, pin) =>
    pin.field ? fieldOf(value, {index: pin.index, name: pin.field, array: pin.array}) : value;

// The value in force at time t: values hold until the next sample.
export function valueAt(samples, t) {
    let found;
    for (const [time, v] of samples) {
        if (time > t) break;
        found = v;
    }
    return found;
}

// Keeps a history within bounds: samples older than the longest window go, but the last of them, which is the
// value at the window's left edge; past `most` samples the older half is thinned to every other sample.
export function bound(samples, now, most = SAMPLES_MOST) {
    while (samples.length > 1 && samples[1][0] < now - SPAN_MOST) samples.shift();
    while (samples.length > most) {
        const half = samples.length >> 1;
        samples.splice(0, half, ...samples.slice(0, half).filter((_, i) => i % 2 === 0));
    }
    return samples;
}

const tickLabel = (ms) => (ms === 0 ? "now" : ms < 60000 ? `−${ms / 1000} s` : `−${ms / 60000} min`);

// The plot of samples ([time, value], oldest first) over at most `span` before `now`, starting with the first
// sample when the history is shorter. The value range covers the samples in view and the limits worth showing
// (a type's own extremes would flatten any curve to a line). The curve goes in steps and runs on to now.
export function plot(samples, limits, now, span, width, height = H - AXIS) {
    const from = Math.min(now - SPAN_LEAST, Math.max(now - span, samples[0]?.[0] ?? now));
    const range = now - from;
    const kept = samples.filter(([t], i) => t >= from || (samples[i + 1]?.[0] ?? now) > from);
    const values = kept.map(([, v]) => v);
    const drawn = [limits?.min, limits?.max].filter((v) => v !== null && v !== undefined);
    values.push(...drawn);
    const x = (t) => Math.round(((Math.max(t, from) - from) / range) * width * 10) / 10;
    const ticks = [];
    const step = TICKS.find((s) => range / s <= 6) ?? TICKS.at(-1);
    for (let ago = 0; ago <= range; ago += step) ticks.push({ x: x(now - ago), label: tickLabel(ago) });
    if (!values.length) return { points: "", low: 0, high: 0, limits: [], ticks, from };
    let low = Math.min(...values), high = Math.max(...values);
    if (low === high) [low, high] = [low - 1, high + 1];
    const y = (v) => Math.round((height - ((v - low) / (high - low)) * height) * 10) / 10;
    const points = [];
    kept.forEach(([t, v], i) => {
        const end = kept[i + 1]?.[0] ?? now;
        points.push(`${x(t)},${y(v)}`, `${x(end)},${y(v)}`);
    });
    return {
        points: points.join(" "),
        low,
        high,
        limits: drawn.map((v) => ({ value: v, y: y(v) })),
        ticks,
        from
    };
}

const svg = (tag, attrs = {}, text) => {
    const node = document.createElementNS(SVG, tag);
    for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
    if (text !== undefined) node.textContent = text;
    return node;
};

export class WatchPane {
    constructor(root, tree, storage = localStorage) {
        Object.assign(this, { tree, storage });
        this.list = root.querySelector("#watch-list");
        this.windowChoice = root.querySelector("#watch-window");
        this.watches = new Map(); // path -> { pin, samples, view, ... }
        const read = (key, fallback) => {
            try {
                return JSON.parse(storage.getItem(key) ?? "null") ?? fallback;
            } catch { /* a broken entry starts afresh */
                return fallback;
            }
        };
        const span = Number(read(WINDOW, 5 * 60 * 1000));
        this.span = WINDOWS.includes(span) ? span : WINDOWS[1];
        this.windowChoice.replaceChildren(
            ...WINDOWS.map((w) => el("option", { value: w }, `${w / 60000} min`)));
        this.windowChoice.value = this.span;
        this.windowChoice.addEventListener("change", () => {
            this.span = Number(this.windowChoice.value);
            storage.setItem(WINDOW, JSON.stringify(this.span));
            this.drawAll();
        });
        const history = read(HISTORY, {});
        for (const path of [].concat(read(STORE, []))) {
            const pin = parsePath(String(path));
            const samples = history[path];
            if (pin)
                this.add(pin, Array.isArray(samples)
                                  ? samples.filter((s) => Array.isArray(s) && s.length === 2)
                                  : []);
        }
        this.empty();
        this.saved = Date.now();
        setInterval(() => {
            if (document.hidden) return;
            this.drawAll();
            if (Date.now() - this.saved >= SAVE_EVERY) this.save();
        }, 1000);
        addEventListener("pagehide", () => this.save());
    }

    save() {
        this.saved = Date.now();
        const history = {};
        for (const [path, w] of this.watches) history[path] = bound(w.samples, Date.now());
        try {
            this.storage.setItem(STORE, JSON.stringify([...this.watches.keys()]));
            this.storage.setItem(HISTORY, JSON.stringify(history));
        } catch { /* storage full: the pins stay for this page */
        }
    }

    empty() {
        if (!this.watches.size)
            this.list.replaceChildren(
                el("p", { class: "empty" }, "Nothing watched: pin a number with its “watch” button."));
        else
            this.list.querySelector("p.empty")?.remove();
    }

    pin(pin) {
        if (this.watches.has(pathOf(pin))) return;
        this.add(pin, []);
        this.save();
        this.load();
    }

    add(pin, samples) {
        const path = pathOf(pin);
        const plotEl = svg("svg", { role: "img", "aria-label": `History of ${path}`, height: H });
        const now = el("span", { class: "now" }, "–");
        const hover = el("span", { class: "hover", "aria-hidden": "true" });
        const range = el("span", { class: "range" });
        const view =
            el("div", { class: "watch", "data-path": path },
               el("div", { class: "watch-head" }, el("code", {}, path), now,
                  el("button",
                     { type: "button", "aria-label": `Unpin ${path}`, onclick: () => this.remove(path) },
                     "unpin")),
               plotEl, el("div", { class: "watch-foot" }, range, hover));
        const watch = { pin, samples, view, svg: plotEl, now, hover, range, limits: null, plot: null };
        plotEl.addEventListener("pointermove", (e) => this.point(watch, e));
        plotEl.addEventListener("pointerleave", () => {
            watch.pointer = null;
            hover.textContent = "";
            this.draw(watch);
        });
        this.watches.set(path, watch);
        this.empty();
        this.list.append(view);
    }

    remove(path) {
        const watch = this.watches.get(path);
        this.watches.delete(path);
        watch?.dispose?.();
        watch?.view.remove();
        this.save();
        this.empty();
    }

    // After every read of the whole tree: the current values, and the views it follows renewed with it.
    load() {
        for (const watch of this.watches.values()) {
            watch.dispose?.();
            watch.dispose = this.tree.follow(watch.pin.block, watch.pin.name,
                                             { update: (value) => this.sample(watch, value) });
            this.sample(watch, this.tree.state[watch.pin.block]?.[watch.pin.name]);
            this.draw(watch);
        }
    }

    // Samples are taken as values come; the plots are drawn once a second.
    sample(watch, value) {
        const desc = descOf(value, watch.pin);
        const number = Number(desc?.value);
        if (desc?.value === undefined || !Number.isFinite(number)) {
            watch.now.textContent = desc === undefined ? "not in the device state" : "not a number";
            return;
        }
        watch.limits = shownLimits(desc);
        const last = watch.samples.at(-1);
        if (!last || last[1] !== number) watch.samples.push([Date.now(), number]);
        if (watch.samples.length > 2 * SAMPLES_MOST) bound(watch.samples, Date.now());
        watch.now.textContent = desc.value;
    }

    point(watch, e) {
        const box = watch.svg.getBoundingClientRect();
        const p = watch.plot;
        if (!p || !box.width) return;
        const now = p.now;
        const t = p.from + ((e.clientX - box.left) / box.width) * (now - p.from);
        const v = valueAt(watch.samples, t);
        watch.pointer = e.clientX - box.left;
        const ago = Math.round((now - t) / 1000);
        watch.hover.textContent = v === undefined ? "" : `${v} at ${ago ? `${ago} s ago` : "now"}`;
        this.draw(watch);
    }

    drawAll() {
        this.watches.forEach((w) => this.draw(w));
    }

    draw(watch) {
        const width = Math.max(100, Math.round(watch.svg.clientWidth || watch.view.clientWidth || 300));
        const now =
            watch.pointer !== null && watch.pointer !== undefined && watch.plot ? watch.plot.now : Date.now();
        const p = plot(watch.samples, watch.limits, now, this.span, width);
        watch.plot = {...p, now };
        watch.svg.setAttribute("viewBox", `0 0 ${width} ${H}`);
        const children = [
            ...p.limits.map((l) => svg("line", { x1: 0, x2: width, y1: l.y, y2: l.y, class: "limit" })),
            svg("polyline", { points: p.points, class: "curve" }),
            svg("line", { x1: 0, x2: width, y1: H - AXIS, y2: H - AXIS, class: "axis" }),
            ...p.ticks.map((tick) => svg("text", {
                               x: Math.min(width - 2, Math.max(2, tick.x)),
                               y: H - 4,
                               "text-anchor": tick.x < 30           ? "start"
                                              : tick.x > width - 30 ? "end"
                                                                    : "middle",
                               class: "tick"
                           },
                                         tick.label)),
        ];
        if (p.points)
            children.push(svg("text", { x: 2, y: 12, class: "tick" }, String(p.high)),
                          svg("text", { x: 2, y: H - AXIS - 3, class: "tick" }, String(p.low)));
        if (watch.pointer !== null && watch.pointer !== undefined)
            children.push(
                svg("line", { x1: watch.pointer, x2: watch.pointer, y1: 0, y2: H - AXIS, class: "cursor" }));
        watch.svg.replaceChildren(...children);
        watch.view.dataset.samples = watch.samples.length;
        const limits = p.limits.map((l) => l.value);
        watch.range.textContent = p.points
                                      ? `${p.low} … ${p.high} over the last ${age(now - p.from)}${
                                            limits.length ? `, limits ${limits.join(" … ")} dashed` : ""}`
                                                          : "";
    }
}
