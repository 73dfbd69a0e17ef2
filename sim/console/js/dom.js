// The helpers every pane builds its elements with.
export const el = (tag, attrs = {}, ...children) => {
    const node = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs)) {
        if (k === "class")
            node.className = v;
        else if (k.startsWith("on"))
            node.addEventListener(k.slice(2), v);
        else if (v !== undefined && v !== null && v !== false)
            node.setAttribute(k, v === true ? "" : v);
    }
    node.append(...children.filter((c) => c !== undefined && c !== null));
    return node;
};

// A changed value is marked by a class that one sweep takes off a moment later. No animation runs per value:
// an animation repaints every frame for as long as it lasts, and a value that moves five times a second would
// keep one running for good. A value that goes on moving simply stays marked.
const MARKED_FOR = 1000;
const marked = new Map(); // node -> when it last changed
let sweeper = null;
export function mark(node) {
    if (!marked.has(node)) node.classList.add("changed");
    marked.set(node, performance.now());
    sweeper ??= setInterval(() => {
        const now = performance.now();
        for (const [n, when] of marked)
            if (now - when >= MARKED_FOR) {
                n.classList.remove("changed");
                marked.delete(n);
            }
        if (!marked.size) sweeper = clearInterval(sweeper);
    }, MARKED_FOR / 2);
}

// Set while the device's answer to the user's own edit is written: that one goes in under the focus.
let forced = false;
export function forcing(write) {
    forced = true;
    try {
        write();
    } finally {
        forced = false;
    }
}

// An element the user is typing in or choosing from: a live value must not be written into it.
export const editing = (node) => {
    if (forced) return false;
    const active = document.activeElement;
    return !!active && active !== document.body && node.contains(active) &&
           active.matches("input, select, textarea");
};

// Asks in place before what cannot be undone (a delete, an overwrite): the question and its two answers take
// the place of `node` until one is chosen, Escape or "Cancel" being no. Resolves to the answer.
export function confirmIn(node, question, yes) {
    return new Promise((resolve) => {
        const done = (answer) => {
            box.replaceWith(node);
            resolve(answer);
        };
        const cancel = el("button", { type: "button", onclick: () => done(false) }, "Cancel");
        const box =
            el("span", { class: "confirm", role: "group", "aria-label": question }, el("span", {}, question),
               " ", el("button", { type: "button", class: "danger", onclick: () => done(true) }, yes), " ",
               cancel);
        box.addEventListener("keydown", (e) => e.key === "Escape" && done(false));
        node.replaceWith(box);
        cancel.focus();
    });
}
