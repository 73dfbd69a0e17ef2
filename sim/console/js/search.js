// Search over the whole state: variable and block names, the field names of records and the values held (not
// the entries an enumeration could take). Hits are listed with their path, each with live editors.
import {el} from "./dom.js";
import {isPlainObject} from "./lenient-json.js";

export const MAX_HITS = 200;

// A name matches its words too: "focus torque" finds FocusTorque.
const named = (name, q) => {
    const n = name.toLowerCase();
    return n.includes(q) || n.includes(q.replace(/\s+/g, ""));
};
const holds = (desc, q) =>
    isPlainObject(desc) && typeof desc.value === "string" && desc.value.toLowerCase().includes(q);

// The matches for a query, in tree order: a whole variable when its name or its block's matches, else each
// field (of each element) whose name or value matches. `more` counts the hits past `limit`.
export function search(state, query, limit = MAX_HITS) {
    const q = query.trim().toLowerCase();
    const hits = [];
    let more = 0;
    const add = (hit) => (hits.length < limit ? hits.push(hit) : more++);
    if (!q) return { hits, more };
    for (const [block, vars] of Object.entries(state)) {
        if (!isPlainObject(vars)) continue;
        const blockHit = named(block, q);
        for (const [name, value] of Object.entries(vars)) {
            if (blockHit || named(name, q)) {
                add({ block, name, match: "name" });
                continue;
            }
            const fields = (record, index, array) => {
                if (!isPlainObject(record)) return;
                for (const [field, desc] of Object.entries(record)) {
                    const byName = named(field, q);
                    if (byName || holds(desc, q))
                        add({ block, name, index, field, array, match: byName ? "field" : "value" });
                }
            };
            if (Array.isArray(value))
                value.forEach((record, index) => fields(record, index, true));
            else if (isPlainObject(value) && typeof value.type !== "string")
                fields(value, 0, false);
            else if (holds(value, q))
                add({ block, name, match: "value" });
        }
    }
    return { hits, more };
}

export const hitPath =
    (hit) => [hit.block, hit.name,
              ...(hit.field ? [hit.array ? `[${hit.index}] ${hit.field}` : hit.field] : [])]
                 .join(" › ");

export class SearchPane {
    constructor(list, tree) {
        Object.assign(this, { list, tree });
        this.query = "";
        this.disposers = [];
    }

    // Runs the query again over the current state; with no query the tree is shown instead.
    run(query = this.query) {
        this.query = query;
        this.disposers.forEach((dispose) => dispose());
        this.disposers = [];
        const active = this.query.trim() !== "";
        this.list.hidden = !active;
        this.tree.container.hidden = active;
        if (!active) return this.list.replaceChildren();
        const { hits, more } = search(this.tree.state, this.query);
        this.list.replaceChildren(...hits.map((hit) => this.hitView(hit)));
        if (!hits.length)
            this.list.append(el("p", { class: "empty" }, `Nothing matches "${this.query.trim()}".`));
        if (more)
            this.list.append(
                el("p", { class: "more" }, `${more} more matches; narrow the search to see them.`));
    }

    hitView(hit) {
        const path = el("div", { class: "path" }, hitPath(hit));
        if (!hit.field) {
            const view = this.tree.variableView(hit.block, hit.name);
            this.disposers.push(view.dispose);
            return el("div", { class: "hit", "data-match": hit.match }, path, view.el);
        }
        const cell =
            this.tree.fieldView(hit.block, hit.name, { index: hit.index, name: hit.field, array: hit.array });
        this.disposers.push(cell.dispose);
        return el("div", {
            class: "hit",
            "data-match": hit.match,
            "data-path": `${hit.block}.${hit.name}${hit.array ? `[${hit.index}]` : ""}.${hit.field}`
        },
                  path, cell.el);
    }
}
