// One printed value with its editor. A newer value from the device changes the editor in place, so that the
// rest of the page, and the focus, stay as they are; while the user is in the editor the value waits, and is
// shown when the focus leaves it. Every control is named by the variable's path, for screen readers.
import {editing, el, forcing, mark} from "./dom.js";
import {limitsText, outsideLimits, shownLimits, words} from "./human.js";
import {checkInput, kindOf, visible} from "./values.js";

// Values whose editor has the same parts: only the value itself needs writing into it.
const shapeOf = (desc, kind) => kind === "broken" || kind === "raw"
                                    ? `${kind}:${Math.random()}`
                                    : `${kind}|${desc.type}|${desc.min}|${desc.max}|${
                                          Array.isArray(desc.textid) ? desc.textid.join(",") : ""}`;

export class ValueCell {
    // path names the value ("Block.Var", "Block.Var[3].Field"). commit(text, signal, answered) sends an
    // edited value, calls answered() once the service has taken it, and resolves to what the device kept and
    // a note on it (null when kept as sent); absent for values that cannot be set. pin, when given, adds the
    // value to the watch list; status(text, ok) tells the page's status line.
    constructor(desc, { path, commit, pin, status } = {}) {
        Object.assign(this, { path, commit, pin, status });
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
            mark(this.el);
        } else if (this.write(desc)) {
            mark(this.el);
        }
    }

    note(text, cancel) {
        this.noteEl.replaceChildren(text ?? "");
        if (cancel)
            this.noteEl.append(" ", el("button", {
                                   type: "button",
                                   class: "cancel",
                                   "aria-label": `Cancel the change of ${this.path}`,
                                   onclick: cancel
                               },
                                       "cancel"));
        this.noteEl.hidden = !text;
    }

    // A value the page refuses names its variable: the status line is read far from the field.
    refuse(reason, input) {
        input?.classList.add("invalid");
        input?.setAttribute("aria-invalid", "true");
        this.note(reason);
        this.status?.(`${this.path}: ${reason}`, false);
    }

    // Puts the device's value back into the editor, dropping what the user typed.
    revert() {
        this.input?.classList.remove("invalid");
        this.input?.removeAttribute("aria-invalid");
        this.note("");
        this.write(this.desc);
    }

    send(text, input) {
        let checked;
        try {
            checked = checkInput(this.desc, this.kind, text);
        } catch (e) {
            this.refuse(e.message, input);
            return false;
        }
        input?.classList.remove("invalid");
        input?.removeAttribute("aria-invalid");
        // What the device holds after the set is written into the editor by the read-back, not a value that
        // was waiting for the focus to leave.
        this.pending = undefined;
        const controller = new AbortController();
        this.el.classList.add("sending");
        this.note("sending…", () => controller.abort());
        this.commit(checked, controller.signal, () => this.note("reading back…")).then(({ note, kept }) => {
            this.el.classList.remove("sending");
            if (kept !== undefined) forcing(() => this.update(kept));
            this.note(note);
        });
        return true;
    }

    build(desc) {
        const kind = kindOf(desc);
        Object.assign(this, { desc, kind, shape: shapeOf(desc, kind) });
        this.el.className = `value is-${kind}`;
        this.el.replaceChildren();
        const commit = this.commit;
        const name = this.path;
        switch (kind) {
        case "broken":
            this.input = null;
            this.el.append(brokenMark(desc));
            return;
        case "bool": {
            this.input =
                el("input", { type: "checkbox", role: "switch", disabled: !commit, "aria-label": name });
            this.input.addEventListener("change", () => this.send(this.input.checked ? "true" : "false"));
            this.el.append(el("label", { class: "switch" }, this.input, el("span", { class: "slider" })));
            break;
        }
        case "enum": {
            this.input = el("select", { disabled: !commit, "aria-label": name },
                            ...desc.textid.map((entry) => el("option", { value: entry }, words(entry))));
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
                "aria-label": name,
                inputmode: kind === "number" ? "decimal" : undefined
            });
            // Enter sends, and a refused text stays in the field to be corrected; Escape puts the device's
            // value back. Leaving the field sends what changed.
            input.addEventListener("keydown", (e) => {
                if (e.key === "Enter" && input.value !== this.shown) {
                    e.preventDefault();
                    if (this.send(input.value, input)) this.shown = input.value;
                } else if (e.key === "Escape") {
                    e.preventDefault();
                    this.revert();
                }
            });
            input.addEventListener("change",
                                   () => input.value !== this.shown && this.send(input.value, input));
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
        const limits = kind === "number" && shownLimits(desc);
        if (limits) this.el.append(el("span", { class: "limits" }, limitsText(limits)));
        this.outside = el("span", { class: "outside", hidden: true });
        this.el.append(this.outside);
        if (kind === "number" && this.pin)
            this.el.append(el("button", {
                type: "button",
                class: "pin",
                "aria-label": `Watch ${name}`,
                title: `Watch ${name}: its value over time`,
                onclick: () => this.pin()
            },
                              "watch"));
        this.el.append(this.noteEl);
        this.flagOutside(desc);
    }

    // Another client may set any value: one outside the printed limits is shown as such.
    flagOutside(desc) {
        if (!this.outside) return;
        const outside = this.kind === "number" && outsideLimits(desc);
        this.outside.hidden = !outside;
        this.outside.textContent = outside ? `⚠ outside ${desc.min} … ${desc.max}` : "";
        this.input?.classList.toggle("out-of-limits", outside);
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
            this.shown = shown;
            input.value = shown;
            input.size = Math.max(6, Math.min(40, shown.length + 2));
            input.classList.remove("invalid");
            input.removeAttribute("aria-invalid");
            const control = this.kind === "string" && shown !== desc.value;
            input.classList.toggle("control", control);
            input.title = control ? "holds control characters, shown as their pictures" : "";
            this.flagOutside(desc);
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
