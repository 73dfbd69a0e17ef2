// The watch list: numeric values (also fields of records) pinned by the user, each with a small plot of its
// last minutes drawn from the live updates, its limits as dashed lines. The pins are kept in the browser's
// storage and come back with the page; their history does not.
import {el} from "./dom.js";
import {fieldOf} from "./tree.js";
import {limitsOf} from "./values.js";

export const SPAN = 5 * 60 * 1000;
const STORE = "console.watch";
const SVG = "http://www.w3.org/2000/svg";
const W = 300, H = 60;

// "Block.Var", "Block.Var.Field" (a single record) or "Block.Var[3].Field" (an element of an array of
// records).
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
export const descOf = (value, pin) =>
    pin.field ? fieldOf(value, {index: pin.index, name: pin.field, array: pin.array}) : value;

// The plot of samples ([time, value], oldest first) over the `span` before `now`: the value range covers the
// samples and the limits, unless the limits are the type's own extremes (which would flatten any curve to a
// line). Values hold until the next sample, so the curve is drawn in steps and runs on to now.
export function plot(samples, limits, now, span = SPAN, width = W, height = H) {
    const from = now - span;
    const kept = samples.filter(([t], i) => t >= from || (samples[i + 1]?.[0] ?? now) > from);
    const values = kept.map(([, v]) => v);
    const drawn = limits && Math.abs(limits.max - limits.min) < 1e9 ? limits : null;
    if (drawn) values.push(drawn.min, drawn.max);
    if (!values.length) return { points: "", low: 0, high: 0, limits: [] };
    let low = Math.min(...values), high = Math.max(...values);
    if (low === high) [low, high] = [low - 1, high + 1];
    const x = (t) => Math.round(((Math.max(t, from) - from) / span) * width * 10) / 10;
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
        limits: drawn ? [drawn.min, drawn.max].map((v) => ({ value: v, y: y(v) })) : []
    };
}

export class WatchPane {
    constructor(root, tree, storage = localStorage) {
        Object.assign(this, { tree, storage });
        this.list = root.querySelector("#watch-list");
        this.watches = new Map(); // path -> { pin, samples, view }
        let saved = [];
        try {
            saved = JSON.parse(storage.getItem(STORE) ?? "[]");
        } catch { /* a broken entry starts an empty list */
        }
        for (const path of Array.isArray(saved) ? saved : []) {
            const pin = parsePath(String(path));
            if (pin) this.add(pin, false);
        }
        this.empty();
        setInterval(() => !document.hidden && this.watches.forEach((w) => this.draw(w)), 1000);
    }

    save() {
        this.storage.setItem(STORE, JSON.stringify([...this.watches.keys()]));
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
        this.add(pin, true);
        this.load();
    }

    add(pin, save) {
        const path = pathOf(pin);
        const svg = document.createElementNS(SVG, "svg");
        svg.setAttribute("viewBox", `0 0 ${W} ${H}`);
        svg.setAttribute("preserveAspectRatio", "none");
        const now = el("span", { class: "now" }, "–");
        const range = el("span", { class: "range" });
        const view =
            el("div", { class: "watch", "data-path": path },
               el("div", { class: "watch-head" }, el("code", {}, path), now,
                  el("button", { type: "button", title: "Stop watching", onclick: () => this.remove(path) },
                     "unpin")),
               svg, range);
        const watch = { pin, samples: [], view, svg, now, range, limits: null };
        this.watches.set(path, watch);
        this.empty();
        this.list.append(view);
        if (save) this.save();
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
        }
    }

    sample(watch, value) {
        const desc = descOf(value, watch.pin);
        const number = Number(desc?.value);
        if (desc?.value === undefined || !Number.isFinite(number)) {
            watch.now.textContent = desc === undefined ? "not in the device state" : "not a number";
        } else {
            watch.limits = limitsOf(desc);
            const last = watch.samples.at(-1);
            if (!last || last[1] !== number) watch.samples.push([Date.now(), number]);
            // A sample older than the plot's span is still needed: it is the value at the plot's left edge.
            while (watch.samples.length > 2 && watch.samples[1][0] < Date.now() - SPAN) watch.samples.shift();
            watch.now.textContent = desc.value;
        }
        this.draw(watch);
    }

    draw(watch) {
        const { points, low, high, limits } = plot(watch.samples, watch.limits, Date.now());
        const line = (y, cls) => {
            const l = document.createElementNS(SVG, "line");
            for (const [k, v] of Object.entries({ x1: 0, x2: W, y1: y, y2: y, class: cls }))
                l.setAttribute(k, v);
            return l;
        };
        const curve = document.createElementNS(SVG, "polyline");
        curve.setAttribute("points", points);
        curve.setAttribute("class", "curve");
        watch.svg.replaceChildren(...limits.map((l) => line(l.y, "limit")), curve);
        watch.view.dataset.samples = watch.samples.length;
        watch.range.textContent = points ? `${low} … ${high} over ${SPAN / 60000} min${
                                               limits.length
                                                   ? `, limits ${limits[0].value} … ${limits[1].value} dashed`
                                                   : ", no limits drawn"}`
                                         : "";
    }
}
