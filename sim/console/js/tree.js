// The variable tree: blocks as collapsible sections, each variable with an editor chosen by its type. Blocks are
// rendered when first opened, and arrays of records a page at a time: the whole tree is over a megabyte of text.
import { Broken, isPlainObject } from "./lenient-json.js";
import { setVariable } from "./api.js";

const PAGE = 10;
const el = (tag, attrs = {}, ...children) => {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs)) {
        if (k === "class") node.className = v;
        else if (k.startsWith("on")) node.addEventListener(k.slice(2), v);
        else if (v !== undefined && v !== null && v !== false) node.setAttribute(k, v === true ? "" : v);
    }
    node.append(...children.filter((c) => c !== undefined && c !== null));
    return node;
};

// Control characters that record strings keep are shown as their visible pictures (U+2400...).
export const visible = (text) =>
    String(text).replace(/[\u0000-\u001f\u007f]/g, (c) => String.fromCharCode(c === "\u007f" ? 0x2421 : 0x2400 + c.charCodeAt(0)));

// What a printed value is. A buffer prints like a string, but with its length as "max" and its bytes as hex.
export function kindOf(value) {
    if (value instanceof Broken) return "broken";
    if (Array.isArray(value)) return "records";
    if (!isPlainObject(value)) return "raw";
    if (typeof value.type !== "string") return "record";
    switch (value.type) {
    case "bool": return "bool";
    case "int": case "float": return "number";
    case "string": {
        const length = Number(value.max);
        return length > 0 && typeof value.value === "string" && value.value.length === 2 * length &&
            /^[0-9a-fA-F]*$/.test(value.value) ? "buffer" : "string";
    }
    default: return Array.isArray(value.textid) ? "enum" : "raw";
    }
}

// Checks an edited text against the printed type and limits; returns the text to send or throws the reason.
export function checkInput(desc, kind, text) {
    if (kind === "number") {
        const t = text.trim();
        if (!/^[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?$/.test(t)) throw new Error(`"${text}" is not a number`);
        if (desc.type === "int" && !/^[-+]?\d+$/.test(t)) throw new Error(`"${text}" is not a whole number`);
        const n = Number(t), min = Number(desc.min), max = Number(desc.max);
        if (desc.min !== undefined && desc.max !== undefined && !(min === 0 && max === 0) && (n < min || n > max))
            throw new Error(`${t} is outside ${desc.min} … ${desc.max}`);
        return t;
    }
    if (kind === "buffer") {
        const t = text.trim();
        if (!/^([0-9a-fA-F]{2})*$/.test(t)) throw new Error("a buffer is written as pairs of hex digits");
        if (t.length > 2 * Number(desc.max)) throw new Error(`a buffer of ${desc.max} bytes takes at most ${2 * desc.max} hex digits`);
        return t;
    }
    return text;
}

export class Tree {
    constructor(container, status) {
        this.container = container;
        this.status = status;
        this.state = Object.create(null);
        this.rows = new Map(); // "Block.Var" -> row element with its refresh function
        this.query = "";
    }

    load(variables) {
        this.state = isPlainObject(variables) ? variables : Object.create(null);
        this.rows.clear();
        const open = new Set([...this.container.querySelectorAll("details.block[open]")].map((d) => d.dataset.block));
        this.container.replaceChildren();
        for (const [block, vars] of Object.entries(this.state)) {
            const count = isPlainObject(vars) ? Object.keys(vars).length : 0;
            const details = el("details", { class: "block", "data-block": block },
                el("summary", {}, block, el("span", { class: "count" }, ` ${count}`)));
            details.addEventListener("toggle", () => details.open && this.renderBlock(details));
            this.container.append(details);
            if (vars instanceof Broken) details.append(this.broken(vars));
            if (open.has(block)) details.open = true;
        }
        if (!this.container.children.length) this.container.textContent = "The device state holds no blocks.";
        this.filter(this.query);
    }

    // Values from an update answer: stored, and shown with a highlight where their rows are on the page.
    update(variables) {
        for (const [block, vars] of Object.entries(variables)) {
            if (!isPlainObject(vars)) continue;
            if (!isPlainObject(this.state[block])) this.state[block] = Object.create(null);
            for (const [name, value] of Object.entries(vars)) {
                this.state[block][name] = value;
                const row = this.rows.get(`${block}.${name}`);
                if (row) row.refresh(value, true);
            }
        }
    }

    filter(query) {
        this.query = query.trim().toLowerCase();
        for (const details of this.container.querySelectorAll("details.block")) {
            const block = details.dataset.block;
            const vars = this.state[block];
            if (!this.query) {
                details.hidden = false;
                details.querySelectorAll(".var").forEach((r) => (r.hidden = false));
                continue;
            }
            const whole = block.toLowerCase().includes(this.query);
            const names = isPlainObject(vars) ? Object.keys(vars) : [];
            const hits = names.filter((n) => whole || n.toLowerCase().includes(this.query));
            details.hidden = hits.length === 0;
            if (hits.length) {
                details.open = true;
                this.renderBlock(details);
                for (const row of details.querySelectorAll(".var"))
                    row.hidden = !(whole || row.dataset.name.toLowerCase().includes(this.query));
            }
        }
    }

    renderBlock(details) {
        if (details.dataset.rendered) return;
        details.dataset.rendered = "1";
        const block = details.dataset.block;
        const vars = this.state[block];
        if (!isPlainObject(vars)) return;
        const list = el("div", { class: "vars" });
        for (const name of Object.keys(vars)) list.append(this.row(block, name));
        details.append(list);
    }

    row(block, name) {
        const row = el("div", { class: "var", "data-name": name, "data-var": `${block}.${name}` });
        let pending;
        let page = 0;
        row.refresh = (value, changed) => {
            // Not under the user's hands: a value arriving while its editor has the focus waits for the blur.
            if (row.contains(document.activeElement) && document.activeElement.matches("input[type=text], input[type=number], input:not([type])")) {
                pending = value;
                return;
            }
            pending = undefined;
            const kind = kindOf(value);
            row.dataset.kind = kind;
            const body = kind === "records" ? this.records(block, name, value, () => page, (p) => (page = p))
                : kind === "record" ? this.record(value, (field, text) => this.commit(block, name, text, { index: 0, name: field }))
                : this.value(value, (text) => this.commit(block, name, text));
            row.replaceChildren(el("span", { class: "name" }, name), body);
            if (changed) {
                row.classList.remove("changed");
                void row.offsetWidth; // restarts the highlight when changes follow each other
                row.classList.add("changed");
            }
        };
        row.addEventListener("focusout", () => pending !== undefined && setTimeout(() => pending !== undefined && row.refresh(pending, true)));
        row.refresh(this.state[block][name], false);
        this.rows.set(`${block}.${name}`, row);
        return row;
    }

    async commit(block, name, text, field) {
        const what = `${block}.${name}${field ? `[${field.index}].${field.name}` : ""}`;
        try {
            const { ok, error } = await setVariable(block, name, text, field);
            this.status(ok ? `${what} = ${text}: result 1` : `${what} = ${text}: result 0${error ? `, error: ${error}` : ", the device took nothing"}`, ok);
            if (!ok) this.rows.get(`${block}.${name}`)?.refresh(this.state[block][name], false);
        } catch (e) {
            this.status(`${what}: ${e.message}`, false);
        }
    }

    broken(value) {
        return el("span", { class: "broken", title: value.raw || value.message }, `⚠ ${value.message}`);
    }

    // One printed value with its editor; `commit` is absent for values that cannot be set.
    value(desc, commit) {
        const kind = kindOf(desc);
        const wrap = el("span", { class: `value is-${kind}` });
        const limits = desc && desc.min !== undefined && desc.max !== undefined && kind === "number"
            ? el("span", { class: "limits" }, `${desc.min} … ${desc.max}`) : null;
        const typeLabel = kind === "broken" || kind === "raw" ? null
            : el("span", { class: "type" }, kind === "buffer" ? `buffer ${desc.max}` : desc.type);
        const send = (text, input) => {
            try {
                const checked = checkInput(desc, kind, text);
                input?.classList.remove("invalid");
                commit(checked);
            } catch (e) {
                input?.classList.add("invalid");
                this.status(e.message, false);
            }
        };
        switch (kind) {
        case "broken":
            wrap.append(this.broken(desc));
            break;
        case "bool": {
            const input = el("input", { type: "checkbox", role: "switch", disabled: !commit });
            input.checked = desc.value === "true";
            input.addEventListener("change", () => send(input.checked ? "true" : "false"));
            wrap.append(el("label", { class: "switch" }, input, el("span", { class: "slider" })));
            break;
        }
        case "enum": {
            const select = el("select", { disabled: !commit });
            for (const entry of desc.textid) select.append(el("option", { value: entry }, entry));
            if (!desc.textid.includes(desc.value))
                select.prepend(el("option", { value: desc.value, class: "invalid" }, `${desc.value} (not an entry)`));
            select.value = desc.value;
            select.addEventListener("change", () => send(select.value));
            wrap.append(select);
            break;
        }
        case "number": case "string": case "buffer": {
            const shown = kind === "string" ? visible(desc.value ?? "") : String(desc.value ?? "");
            const input = el("input", { type: "text", value: shown, readonly: !commit, spellcheck: "false",
                inputmode: kind === "number" ? "decimal" : undefined,
                size: Math.max(6, Math.min(40, shown.length + 2)) });
            if (kind === "string" && shown !== desc.value) {
                input.classList.add("control");
                input.title = "holds control characters, shown as their pictures";
            }
            input.addEventListener("keydown", (e) => e.key === "Enter" && input.blur());
            input.addEventListener("change", () => send(input.value, input));
            wrap.append(input);
            break;
        }
        default:
            wrap.append(el("code", {}, visible(JSON.stringify(desc))));
        }
        wrap.append(...[typeLabel, limits].filter(Boolean));
        return wrap;
    }

    // A single record: a small table of its fields. Nested arrays of records cannot be set through the service.
    record(fields, commit) {
        const table = el("table", { class: "record" });
        for (const [field, value] of Object.entries(fields)) {
            const cell = Array.isArray(value) ? this.nested(value) : this.value(value, commit && ((t) => commit(field, t)));
            table.append(el("tr", {}, el("th", {}, field), el("td", {}, cell)));
        }
        return table;
    }

    nested(items) {
        const details = el("details", { class: "nested" }, el("summary", {}, `${items.length} records`));
        details.addEventListener("toggle", () => {
            if (details.open && details.children.length === 1) {
                let page = 0;
                details.append(this.pagedTable(items, () => page, (p) => (page = p), null));
            }
        }, { once: false });
        return details;
    }

    // An array of records, a page of elements at a time, each field of each element editable by its index.
    records(block, name, items, getPage, setPage) {
        return this.pagedTable(items, getPage, setPage,
            (index, field, text) => this.commit(block, name, text, { index, name: field }));
    }

    pagedTable(items, getPage, setPage, commit) {
        const box = el("div", { class: "records" });
        const draw = () => {
            const pages = Math.max(1, Math.ceil(items.length / PAGE));
            const page = Math.min(getPage(), pages - 1);
            const first = page * PAGE;
            const shown = items.slice(first, first + PAGE);
            const columns = [];
            for (const item of shown)
                if (isPlainObject(item)) for (const k of Object.keys(item)) if (!columns.includes(k)) columns.push(k);
            const table = el("table", {},
                el("tr", {}, el("th", {}, "Index"), ...columns.map((c) => el("th", {}, c))));
            shown.forEach((item, i) => {
                const index = first + i;
                const tr = el("tr", { "data-index": index }, el("th", {}, String(index)));
                if (!isPlainObject(item)) {
                    tr.append(el("td", { colspan: Math.max(1, columns.length) },
                        item instanceof Broken ? this.broken(item) : visible(JSON.stringify(item))));
                } else {
                    for (const c of columns) {
                        const v = item[c];
                        tr.append(el("td", {}, v === undefined ? "" : Array.isArray(v) ? this.nested(v)
                            : this.value(v, commit && ((t) => commit(index, c, t)))));
                    }
                }
                table.append(tr);
            });
            const nav = el("div", { class: "pager" },
                el("button", { type: "button", disabled: page === 0, onclick: () => { setPage(page - 1); draw(); } }, "‹"),
                ` elements ${items.length ? first : 0}–${Math.max(0, Math.min(items.length, first + PAGE) - 1)} of ${items.length} `,
                el("button", { type: "button", disabled: page >= pages - 1, onclick: () => { setPage(page + 1); draw(); } }, "›"));
            box.replaceChildren(nav, table);
        };
        draw();
        return box;
    }
}
