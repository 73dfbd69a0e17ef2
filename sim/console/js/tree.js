// The variable tree: blocks as collapsible sections, each variable with editors chosen by type. Blocks are
// rendered when first opened, and arrays of records a page at a time: the whole tree is over a megabyte of
// text. Live values are written into the editors they concern (see cell.js); nothing else on the page is
// redrawn.
import {getJson, setVariable} from "./api.js";
import {brokenMark, ValueCell} from "./cell.js";
import {editing, el} from "./dom.js";
import {Broken, isPlainObject} from "./lenient-json.js";
import {keptNote, kindOf, visible} from "./values.js";

const PAGE = 10;
// How long a set's effect may take to come back through the update poll before the tree is read instead: the
// service reports changes every 100 ms, but not to a poll that is between two requests, nor a value that did
// not change.
const READBACK_WAIT = 400;

export const fieldOf = (value, field) =>
    field.array ? value?.[field.index]?.[field.name] : value?.[field.name];

export class Tree {
    constructor(container, status) {
        this.container = container;
        this.status = status;
        this.state = Object.create(null);
        this.views = new Map();   // "Block.Var" -> views showing it, each with update(value)
        this.waiters = new Map(); // "Block.Var" -> read-backs waiting for its next value
        this.pin = null;          // set by the watch list: pin(path)
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
        const open =
            new Set([...this.container.querySelectorAll("details.block[open]")].map((d) => d.dataset.block));
        this.container.replaceChildren();
        for (const [block, vars] of Object.entries(this.state)) {
            const count = isPlainObject(vars) ? Object.keys(vars).length : 0;
            const details = el("details", { class: "block", "data-block": block },
                               el("summary", {}, block, el("span", { class: "count" }, ` ${count}`)));
            details.addEventListener("toggle", () => details.open && this.renderBlock(details));
            this.container.append(details);
            if (vars instanceof Broken) details.append(brokenMark(vars));
            if (open.has(block)) details.open = true;
        }
        if (!this.container.children.length) this.container.textContent = "The device state holds no blocks.";
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

    // A variable's row: its name and its value's editors, kept up to date.
    variableView(block, name, label = name) {
        const row = el("div", { class: "var", "data-name": name, "data-var": `${block}.${name}` });
        let body, kind, pending;
        const draw = (value) => {
            kind = kindOf(value);
            row.dataset.kind = kind;
            body = kind === "records"  ? new RecordPages(value, this.editorsFor(block, name, true))
                   : kind === "record" ? new RecordTable(value, this.editorsFor(block, name, false))
                                       : this.cell(value, block, name);
            row.replaceChildren(el("span", { class: "name" }, label), body.el);
        };
        const view = {
            el: row,
            update: (value) => {
                if (kindOf(value) === kind)
                    body.update(value);
                else if (editing(row))
                    pending = value;
                else
                    draw(value);
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
        view.dispose = this.follow(block, name, view);
        return view;
    }

    // One field of a record, kept up to date: a search hit or a watched value.
    fieldView(block, name, field) {
        const cell = this.cell(fieldOf(this.state[block][name], field), block, name, field);
        cell.dispose = this.follow(block, name, { update: (value) => cell.update(fieldOf(value, field)) });
        return cell;
    }

    cell(desc, block, name, field) {
        return new ValueCell(desc, {
            commit: (text) => this.commit(block, name, text, field),
            pin: this.pin && (() => this.pin({
                     block,
                     name,
                     ...(field ? { index: field.index, field: field.name, array: field.array } : {})
                 })),
            status: this.status,
        });
    }

    // What the editors of a record's fields need: a cell for a field of element `index`.
    editorsFor(block, name, array) {
        return (desc, index, fieldName) => this.cell(desc, block, name, { index, name: fieldName, array });
    }

    // Sends a value, then reads back what the device holds: the service answers result 1 also when the device
    // did not take the value as sent. Resolves to the note for the editor (null when kept as sent) and the
    // value the device holds, which the editor shows even while it keeps the focus.
    async commit(block, name, text, field) {
        const what = `${block}.${name}${field ? `[${field.index}].${field.name}` : ""}`;
        const held = () => (field ? fieldOf(this.state[block]?.[name], field) : this.state[block]?.[name]);
        let answer;
        try {
            answer = await setVariable(block, name, text, field);
        } catch (e) {
            this.status(`${what}: ${e.message}`, false);
            return { note: e.message, kept: held() };
        }
        if (!answer.ok) {
            this.status(`${what} = ${text}: refused (result 0${
                            answer.error ? `, ${answer.error}` : ", no such variable"})`,
                        false);
            return { note: "refused", kept: held() };
        }
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
                    const tree = await getJson("/api/v1/all.cgi");
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
    constructor(fields, editor) {
        this.editor = editor;
        this.el = el("table", { class: "record" });
        this.draw(fields);
        this.el.addEventListener(
            "focusout", () => setTimeout(() => this.stale && !editing(this.el) && this.draw(this.stale)));
    }

    draw(fields) {
        this.stale = null;
        this.keys = Object.keys(fields).join("\n");
        this.cells = new Map();
        this.el.replaceChildren(...Object.entries(fields).map(([field, value]) => {
            const cell = Array.isArray(value) ? new Nested(value) : this.editor(value, 0, field);
            this.cells.set(field, cell);
            return el("tr", { "data-field": field }, el("th", {}, field), el("td", {}, cell.el));
        }));
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
    constructor(items) {
        this.summary = el("summary", {});
        this.pages = new RecordPages(items, null);
        this.el = el("details", { class: "nested" }, this.summary, this.pages.el);
        this.update(items);
    }

    update(items) {
        this.summary.textContent = `${Array.isArray(items) ? items.length : 0} records`;
        if (Array.isArray(items)) this.pages.update(items);
    }
}

// An array of records, a page of elements at a time, each field of each element editable by its index.
class RecordPages {
    constructor(items, editor) {
        Object.assign(this, { items, editor, page: 0 });
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
        return { pages, first, shown: this.items.slice(first, first + PAGE) };
    }

    // The page's layout: when it is the same, only the cells' values change.
    layout() {
        const { first, shown } = this.shown();
        const columns = [];
        for (const item of shown)
            if (isPlainObject(item))
                for (const k of Object.keys(item))
                    if (!columns.includes(k)) columns.push(k);
        return `${this.items.length}|${first}|${columns.join(",")}|${
            shown.map((i) => isPlainObject(i) ? "o" : "x").join("")}`;
    }

    draw() {
        const { pages, first, shown } = this.shown();
        this.drawn = this.layout();
        this.cells = new Map();
        const columns = [];
        for (const item of shown)
            if (isPlainObject(item))
                for (const k of Object.keys(item))
                    if (!columns.includes(k)) columns.push(k);
        const table =
            el("table", {}, el("tr", {}, el("th", {}, "Index"), ...columns.map((c) => el("th", {}, c))));
        shown.forEach((item, i) => {
            const index = first + i;
            const tr = el("tr", { "data-index": index }, el("th", {}, String(index)));
            if (!isPlainObject(item)) {
                tr.append(el("td", { colspan: Math.max(1, columns.length) },
                             item instanceof Broken ? brokenMark(item) : visible(JSON.stringify(item))));
            } else {
                for (const c of columns) {
                    const v = item[c];
                    if (v === undefined) {
                        tr.append(el("td"));
                        continue;
                    }
                    const cell = Array.isArray(v) ? new Nested(v)
                                 : this.editor    ? this.editor(v, index, c)
                                                  : new ValueCell(v);
                    this.cells.set(`${index}|${c}`, cell);
                    tr.append(el("td", { "data-field": c }, cell.el));
                }
            }
            table.append(tr);
        });
        const go = (page) => {
            this.page = page;
            this.draw();
        };
        const nav = el(
            "div", { class: "pager" },
            el("button", { type: "button", disabled: this.page === 0, onclick: () => go(this.page - 1) },
               "‹"),
            ` elements ${this.items.length ? first : 0}–${
                Math.max(0, Math.min(this.items.length, first + PAGE) - 1)} of ${this.items.length} `,
            el("button",
               { type: "button", disabled: this.page >= pages - 1, onclick: () => go(this.page + 1) }, "›"));
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
