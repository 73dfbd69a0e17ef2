// The variable tree: blocks as collapsible sections, each variable with editors chosen by type. Blocks are
// rendered when first opened, and arrays of records a page at a time: the whole tree is over a megabyte of
// text. Live values are written into the editors they concern (see cell.js), and only into those in view: a
// row scrolled away keeps the newest value for when it is seen again. Nothing else on the page is redrawn.
import {failureText, getJson, setVariable} from "./api.js";
import {brokenMark, ValueCell} from "./cell.js";
import {editing, el} from "./dom.js";
import {words} from "./human.js";
import {Broken, isPlainObject} from "./lenient-json.js";
import {keptNote, kindOf, pathOf, visible} from "./values.js";

const PAGE = 10;
// How long a set's effect may take to come back through the update poll before the tree is read instead: the
// service reports changes every 100 ms, but not to a poll that is between two requests, nor a value that did
// not change.
const READBACK_WAIT = 400;
const READBACK_TIMEOUT = 10000;

export const fieldOf = (value, field) =>
    field.array ? value?.[field.index]?.[field.name] : value?.[field.name];

// A name as people read it, beside the name the device knows it by.
export const nameView = (name, options) => {
    const said = words(name, options);
    return said === name ? [el("code", { class: "raw" }, name)]
                         : [el("span", { class: "words" }, said), " ", el("code", { class: "raw" }, name)];
};

export class Tree {
    constructor(container, status) {
        this.container = container;
        this.status = status;
        this.state = Object.create(null);
        this.views = new Map();    // "Block.Var" -> views showing it, each with update(value)
        this.waiters = new Map();  // "Block.Var" -> read-backs waiting for its next value
        this.pin = null;           // set by the watch list: pin(path)
        this.rows = new WeakMap(); // row element -> its view, for the rows watched for being in view
        this.seen = new IntersectionObserver((entries) => {
            for (const entry of entries) this.rows.get(entry.target)?.seen(entry.isIntersecting);
        }, { rootMargin: "200px 0px" });
    }

    // Registers something that shows a variable; returns its removal.
    follow(block, name, view) {
        const key = `${block}.${name}`;
        if (!this.views.has(key)) this.views.set(key, new Set());
        this.views.get(key).add(view);
        return () => this.views.get(key)?.delete(view);
    }

    load(variables) {
        this.state = isPlainObject(variables) ? variables : Object.create(null);
        this.views.clear();
        this.seen.disconnect();
        const open =
            new Set([...this.container.querySelectorAll("details.block[open]")].map((d) => d.dataset.block));
        const scrolled = this.container.scrollTop;
        this.container.replaceChildren();
        for (const [block, vars] of Object.entries(this.state)) {
            const count = isPlainObject(vars) ? Object.keys(vars).length : 0;
            const details = el("details", { class: "block", "data-block": block },
                               el("summary", {}, ...nameView(block, { block: true }),
                                  el("span", { class: "count" }, ` ${count}`)));
            details.addEventListener("toggle", () => details.open && this.renderBlock(details));
            this.container.append(details);
            if (vars instanceof Broken) details.append(brokenMark(vars));
            if (open.has(block)) details.open = true;
        }
        if (!this.container.children.length) this.container.textContent = "The device state holds no blocks.";
        this.container.scrollTop = scrolled;
    }

    // Values from an update answer: stored, and written into whatever shows them.
    update(variables) {
        for (const [block, vars] of Object.entries(variables)) {
            if (!isPlainObject(vars)) continue;
            if (!isPlainObject(this.state[block])) this.state[block] = Object.create(null);
            for (const [name, value] of Object.entries(vars)) {
                this.state[block][name] = value;
                const key = `${block}.${name}`;
                for (const view of this.views.get(key) ?? []) view.update(value);
                const waiting = this.waiters.get(key);
                this.waiters.delete(key);
                waiting?.forEach((resolve) => resolve(value));
            }
        }
    }

    renderBlock(details) {
        if (details.dataset.rendered) return;
        details.dataset.rendered = "1";
        const block = details.dataset.block;
        const vars = this.state[block];
        if (!isPlainObject(vars)) return;
        details.append(el("div", { class: "vars" },
                          ...Object.keys(vars).map((name) => this.variableView(block, name).el)));
    }

    // A variable's row: its name and its value's editors, kept up to date while in view.
    variableView(block, name) {
        const row = el("div", { class: "var", "data-name": name, "data-var": `${block}.${name}` });
        let body, kind, pending, latest, visible = false;
        const draw = (value) => {
            kind = kindOf(value);
            row.dataset.kind = kind;
            const editors = (array) => this.editorsFor(block, name, array);
            body = kind === "records" ? new RecordPages(value, editors(true), `${block}.${name}`)
                   : kind === "record" ? new RecordTable(value, editors(false), `${block}.${name}`)
                                       : this.cell(value, block, name);
            row.replaceChildren(el("div", { class: "name" }, ...nameView(name)), body.el);
        };
        const apply = (value) => {
            if (kindOf(value) === kind)
                body.update(value);
            else if (editing(row))
                pending = value;
            else
                draw(value);
        };
        const view = {
            el: row,
            update: (value) => {
                if (visible)
                    apply(value);
                else
                    latest = value;
            },
            seen: (now) => {
                visible = now;
                if (visible && latest !== undefined) {
                    const value = latest;
                    latest = undefined;
                    apply(value);
                }
            },
        };
        row.addEventListener("focusout", () => setTimeout(() => {
                                             if (pending !== undefined && !editing(row)) {
                                                 const value = pending;
                                                 pending = undefined;
                                                 view.update(value);
                                             }
                                         }));
        draw(this.state[block][name]);
        this.rows.set(row, view);
        this.seen.observe(row);
        const unfollow = this.follow(block, name, view);
        view.dispose = () => {
            unfollow();
            this.seen.unobserve(row);
        };
        return view;
    }

    // One field of a record, kept up to date: a search hit.
    fieldView(block, name, field) {
        const cell = this.cell(fieldOf(this.state[block][name], field), block, name, field);
        cell.dispose = this.follow(block, name, { update: (value) => cell.update(fieldOf(value, field)) });
        return cell;
    }

    cell(desc, block, name, field) {
        const at = {
            block,
            name,
            ...(field ? { index: field.index, field: field.name, array: field.array } : {})
        };
        return new ValueCell(desc, {
            path: pathOf(at),
            commit: (text, signal, answered) => this.commit(block, name, text, field, signal, answered),
            pin: this.pin && (() => this.pin(at)),
            status: this.status,
        });
    }

    // What the editors of a record's fields need: a cell for a field of element `index`.
    editorsFor(block, name, array) {
        return (desc, index, fieldName) => this.cell(desc, block, name, { index, name: fieldName, array });
    }

    // Sends a value, then reads back what the device holds: the service answers result 1 also when the device
    // did not take the value as sent. Resolves to the note for the editor (null when kept as sent) and the
    // value the device holds, which the editor shows even while it keeps the focus. A set that is cancelled
    // or not answered in time may still reach the device (the web server may have passed it on to a service
    // that does not run): the page says so rather than guessing.
    async commit(block, name, text, field, signal, answered) {
        const what = pathOf(
            { block, name, ...(field ? { index: field.index, field: field.name, array: field.array } : {}) });
        const held = () => (field ? fieldOf(this.state[block]?.[name], field) : this.state[block]?.[name]);
        let answer;
        try {
            answer = await setVariable(block, name, text, field, signal);
        } catch (e) {
            const why = failureText(e);
            const note = ["AbortError", "TimeoutError"].includes(e?.name)
                             ? `${why}; the device may still take it once the service answers`
                             : `not sent: ${why}`;
            this.status(`${what} = ${text}: ${note}`, false);
            return { note, kept: held() };
        }
        if (!answer.ok) {
            this.status(`${what} = ${text}: refused (result 0${
                            answer.error ? `, ${answer.error}` : ", no such variable"})`,
                        false);
            return { note: "refused", kept: held() };
        }
        answered?.();
        const value = await this.readBack(block, name);
        const kept = field ? fieldOf(value, field) : value;
        const note = keptNote(kindOf(kept), text, kept);
        this.status(note ? `${what} = ${text}: ${note}` : `${what} = ${text}: kept by the device`, !note);
        return { note, kept: kept ?? held() };
    }

    readBack(block, name) {
        const key = `${block}.${name}`;
        return new Promise((resolve) => {
            let done = false;
            const finish = (value) => {
                if (!done) resolve(value);
                done = true;
            };
            if (!this.waiters.has(key)) this.waiters.set(key, []);
            this.waiters.get(key).push(finish);
            setTimeout(async () => {
                if (done) return;
                try {
                    const tree = await getJson("/api/v1/all.cgi", { timeout: READBACK_TIMEOUT });
                    const value = tree.value?.variables?.[block]?.[name];
                    if (!done && value !== undefined) this.update({ [block]: { [name]: value } });
                    finish(value);
                } catch {
                    finish(undefined);
                }
            }, READBACK_WAIT);
        });
    }
}

// A single record: a small table of its fields. Nested arrays of records cannot be set through the service.
class RecordTable {
    constructor(fields, editor, name) {
        Object.assign(this, { editor, name });
        this.el = el("table", { class: "record" });
        this.draw(fields);
        this.el.addEventListener(
            "focusout", () => setTimeout(() => this.stale && !editing(this.el) && this.draw(this.stale)));
    }

    draw(fields) {
        this.stale = null;
        this.keys = Object.keys(fields).join("\n");
        this.cells = new Map();
        this.el.replaceChildren(el("tbody", {}, ...Object.entries(fields).map(([field, value]) => {
            const cell = Array.isArray(value) ? new Nested(value, `${this.name}.${field}`)
                                              : this.editor(value, 0, field);
            this.cells.set(field, cell);
            return el("tr", { "data-field": field }, el("th", { scope: "row" }, field),
                      el("td", {}, cell.el));
        })));
    }

    update(fields) {
        if (Object.keys(fields).join("\n") !== this.keys) {
            if (editing(this.el))
                this.stale = fields;
            else
                this.draw(fields);
            return;
        }
        for (const [field, cell] of this.cells) cell.update(fields[field]);
    }
}

class Nested {
    constructor(items, name) {
        this.summary = el("summary", {});
        this.pages = new RecordPages(items, null, name);
        this.el = el("details", { class: "nested" }, this.summary, this.pages.el);
        this.update(items);
    }

    update(items) {
        this.summary.textContent = `${Array.isArray(items) ? items.length : 0} records`;
        if (Array.isArray(items)) this.pages.update(items);
    }
}

// An array of records, a page of elements at a time, each field of each element editable by its index. On a
// narrow screen each element folds into rows of its own (see console.css), the field's name above its editor.
class RecordPages {
    constructor(items, editor, name) {
        Object.assign(this, { items, editor, name, page: 0 });
        this.el = el("div", { class: "records" });
        this.draw();
        this.el.addEventListener(
            "focusout",
            () => setTimeout(() => !editing(this.el) && this.layout() !== this.drawn && this.draw()));
    }

    shown() {
        const pages = Math.max(1, Math.ceil(this.items.length / PAGE));
        this.page = Math.min(this.page, pages - 1);
        const first = this.page * PAGE;
        const shown = this.items.slice(first, first + PAGE);
        const columns = [];
        for (const item of shown)
            if (isPlainObject(item))
                for (const k of Object.keys(item))
                    if (!columns.includes(k)) columns.push(k);
        return { pages, first, shown, columns };
    }

    // The page's layout: when it is the same, only the cells' values change.
    layout() {
        const { first, shown, columns } = this.shown();
        return `${this.items.length}|${first}|${columns.join(",")}|${
            shown.map((i) => isPlainObject(i) ? "o" : "x").join("")}`;
    }

    draw() {
        const { pages, first, shown, columns } = this.shown();
        this.drawn = this.layout();
        this.cells = new Map();
        const rows = shown.map((item, i) => {
            const index = first + i;
            const tr = el("tr", { "data-index": index }, el("th", { scope: "row" }, `[${index}]`));
            if (!isPlainObject(item)) {
                tr.append(el("td", { colspan: Math.max(1, columns.length) },
                             item instanceof Broken ? brokenMark(item) : visible(JSON.stringify(item))));
                return tr;
            }
            for (const c of columns) {
                const v = item[c];
                if (v === undefined) {
                    tr.append(el("td"));
                    continue;
                }
                const cell = Array.isArray(v) ? new Nested(v, `${this.name}[${index}].${c}`)
                             : this.editor ? this.editor(v, index, c)
                                           : new ValueCell(v, { path: `${this.name}[${index}].${c}` });
                this.cells.set(`${index}|${c}`, cell);
                tr.append(el("td", { "data-field": c, "data-label": c }, cell.el));
            }
            return tr;
        });
        const table = el("table", {},
                         el("thead", {},
                            el("tr", {}, el("th", { scope: "col" }, "Index"),
                               ...columns.map((c) => el("th", { scope: "col" }, c)))),
                         el("tbody", {}, ...rows));
        const go = (page) => {
            this.page = page;
            this.draw();
            this.el.querySelector(".pager button:not([disabled])")?.focus();
        };
        const last = Math.max(0, Math.min(this.items.length, first + PAGE) - 1);
        const nav = el("div", { class: "pager" },
                       el("button", {
                           type: "button",
                           disabled: this.page === 0,
                           "aria-label": `Previous ${PAGE} elements of ${this.name}`,
                           onclick: () => go(this.page - 1)
                       },
                          "‹"),
                       ` elements ${this.items.length ? first : 0}–${last} of ${this.items.length} `,
                       el("button", {
                           type: "button",
                           disabled: this.page >= pages - 1,
                           "aria-label": `Next ${PAGE} elements of ${this.name}`,
                           onclick: () => go(this.page + 1)
                       },
                          "›"));
        this.el.replaceChildren(nav, table);
    }

    update(items) {
        this.items = items;
        if (this.layout() !== this.drawn) {
            if (!editing(this.el)) this.draw();
            return;
        }
        for (const [key, cell] of this.cells) {
            const [index, field] = key.split("|");
            cell.update(items[Number(index)][field]);
        }
    }
}
