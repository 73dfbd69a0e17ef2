// One printed value with its editor. A newer value from the device changes the editor in place, so that the
// rest of the page, and the focus, stay as they are; while the user is in the editor the value waits, and is
// shown when the focus leaves it.
import {editing, el, flash, forcing} from "./dom.js";
import {checkInput, kindOf, limitsOf, visible} from "./values.js";

// Values whose editor has the same parts: only the value itself needs writing into it.
const shapeOf = (desc, kind) => kind === "broken" || kind === "raw"
                                    ? `${kind}:${Math.random()}`
                                    : `${kind}|${desc.type}|${desc.min}|${desc.max}|${
                                          Array.isArray(desc.textid) ? desc.textid.join(",") : ""}`;

export class ValueCell {
    // commit(text) sends an edited value and resolves to what the device kept and a note on it (null when
    // kept as sent); absent for values that cannot be set. pin, when given, adds the value to the watch list.
    constructor(desc, { commit, pin, status } = {}) {
        Object.assign(this, { commit, pin, status });
        this.el = el("span", { class: "value" });
        this.noteEl = el("span", { class: "kept", role: "status" });
        this.el.addEventListener("focusout",
                                 () => setTimeout(() => this.pending !== undefined && !editing(this.el) &&
                                                        this.update(this.pending)));
        this.build(desc);
    }

    update(desc) {
        if (editing(this.el)) {
            this.pending = desc;
            return;
        }
        this.pending = undefined;
        const kind = kindOf(desc);
        if (shapeOf(desc, kind) !== this.shape) {
            this.build(desc);
            flash(this.el);
        } else if (this.write(desc)) {
            flash(this.el);
        }
    }

    note(text) {
        this.noteEl.textContent = text ?? "";
        this.noteEl.hidden = !text;
    }

    send(text, input) {
        let checked;
        try {
            checked = checkInput(this.desc, this.kind, text);
        } catch (e) {
            input?.classList.add("invalid");
            this.status?.(e.message, false);
            return;
        }
        input?.classList.remove("invalid");
        this.note("");
        // What the device holds after the set is written into the editor by the read-back, not a value that
        // was waiting for the focus to leave.
        this.pending = undefined;
        this.commit(checked).then(({ note, kept }) => {
            if (kept !== undefined) forcing(() => this.update(kept));
            this.note(note);
        });
    }

    build(desc) {
        const kind = kindOf(desc);
        Object.assign(this, { desc, kind, shape: shapeOf(desc, kind) });
        this.el.className = `value is-${kind}`;
        this.el.replaceChildren();
        const commit = this.commit;
        switch (kind) {
        case "broken":
            this.el.append(brokenMark(desc));
            return;
        case "bool": {
            this.input = el("input", { type: "checkbox", role: "switch", disabled: !commit });
            this.input.addEventListener("change", () => this.send(this.input.checked ? "true" : "false"));
            this.el.append(el("label", { class: "switch" }, this.input, el("span", { class: "slider" })));
            break;
        }
        case "enum": {
            this.input = el("select", { disabled: !commit },
                            ...desc.textid.map((entry) => el("option", { value: entry }, entry)));
            this.input.addEventListener("change", () => this.send(this.input.value));
            this.el.append(this.input);
            break;
        }
        case "number":
        case "string":
        case "buffer": {
            const input = el("input", {
                type: "text",
                readonly: !commit,
                spellcheck: "false",
                inputmode: kind === "number" ? "decimal" : undefined
            });
            input.addEventListener("keydown", (e) => e.key === "Enter" && input.blur());
            input.addEventListener("change", () => this.send(input.value, input));
            this.input = input;
            this.el.append(input);
            break;
        }
        default:
            this.input = null;
            this.el.append(el("code", {}, visible(JSON.stringify(desc))));
            return;
        }
        this.write(desc);
        this.el.append(el("span", { class: "type" }, kind === "buffer" ? `buffer ${desc.max}` : desc.type));
        const limits = kind === "number" && limitsOf(desc);
        if (limits) this.el.append(el("span", { class: "limits" }, `${desc.min} … ${desc.max}`));
        if (kind === "number" && this.pin)
            this.el.append(el("button", {
                type: "button",
                class: "pin",
                title: "Watch this value's history",
                onclick: () => this.pin()
            },
                              "watch"));
        this.el.append(this.noteEl);
        this.note(this.noteEl.textContent);
    }

    // Writes a value of the same shape into the editor; tells whether it differed from what was shown.
    write(desc) {
        const old = this.desc?.value;
        this.desc = desc;
        const input = this.input;
        switch (this.kind) {
        case "bool":
            input.checked = desc.value === "true";
            break;
        case "enum": {
            input.querySelector("option.invalid")?.remove();
            if (!desc.textid.includes(desc.value))
                input.prepend(
                    el("option", { value: desc.value, class: "invalid" }, `${desc.value} (not an entry)`));
            input.value = desc.value;
            break;
        }
        case "number":
        case "string":
        case "buffer": {
            const shown = this.kind === "string" ? visible(desc.value ?? "") : String(desc.value ?? "");
            input.value = shown;
            input.size = Math.max(6, Math.min(40, shown.length + 2));
            input.classList.remove("invalid");
            const control = this.kind === "string" && shown !== desc.value;
            input.classList.toggle("control", control);
            input.title = control ? "holds control characters, shown as their pictures" : "";
            break;
        }
        default:
            return false;
        }
        return old !== desc.value;
    }
}

export function brokenMark(value) {
    return el("span", { class: "broken", title: value.raw || value.message }, `⚠ ${value.message}`);
}
