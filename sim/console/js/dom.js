// The one helper every pane builds its elements with.
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

// Restarts the highlight even when changes follow each other faster than it lasts.
export function flash(node) {
    node.classList.remove("changed");
    void node.offsetWidth;
    node.classList.add("changed");
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
