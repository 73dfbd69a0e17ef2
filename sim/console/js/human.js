// The device's words made readable for people: names split into words, sizes, limits that mean something, and
// colours a technician can read on the log's dark background. No DOM here; node tests these alone.

// "FocusTorque" → "Focus torque", "AUXMotor" → "AUX motor", "ServiceMode1WireRingLabel" → "Service mode 1Wire
// ring label". Words in capitals stay so; a block's "Mem" says nothing to a reader.
export function words(name, {block = false} = {}) {
    const raw = block ? String(name).replace(/^Mem(?=[A-Z])/, "") : String(name);
    const parts = raw.replace(/_+/g, " ")
                      .replace(/(?<=[a-z])(?=[A-Z0-9])|(?<=[A-Z])(?=[A-Z][a-z])/g, " ")
                      .split(/\s+/)
                      .filter(Boolean);
    return parts.map((w, i) => (i > 0 && /^[A-Z][a-z]+$/.test(w) ? w.toLowerCase() : w)).join(" ");
}

// Sizes in the units a file manager shows (powers of 1000), three digits at most.
export function bytes(n) {
    const value = Number(n);
    if (!Number.isFinite(value)) return "unknown";
    if (Math.abs(value) < 1000) return `${value} bytes`;
    const units = ["kB", "MB", "GB", "TB"];
    let scaled = value / 1000, unit = 0;
    while (Math.abs(scaled) >= 999.5 && unit < units.length - 1) {
        scaled /= 1000;
        unit++;
    }
    const digits = Math.abs(scaled) >= 99.95 ? 0 : Math.abs(scaled) >= 9.995 ? 1 : 2;
    return `${scaled.toFixed(digits)} ${units[unit]}`;
}

// The tree prints "min 0 max 0" for a number without limits; anything that is not a number counts as none.
export function limitsOf(desc) {
    if (!desc || desc.min === undefined || desc.max === undefined) return null;
    const min = Number(desc.min), max = Number(desc.max);
    if (!Number.isFinite(min) || !Number.isFinite(max) || (min === 0 && max === 0)) return null;
    return { min, max };
}

// The limits worth showing: a limit that is only the type's own end (a 32-bit int's, or the ±1e38 the tree
// prints for floats) says nothing about the variable and is left out.
const INT_ENDS = [-2147483648, 2147483647];
const FLOAT_END = 1e37;
export function shownLimits(desc) {
    const limits = limitsOf(desc);
    if (!limits) return null;
    const end = (v, i) => (desc.type === "float" ? Math.abs(v) >= FLOAT_END : v === INT_ENDS[i]);
    const min = end(limits.min, 0) ? null : limits.min, max = end(limits.max, 1) ? null : limits.max;
    return min === null && max === null ? null : { min, max };
}

export function limitsText(limits) {
    if (!limits) return "";
    if (limits.min !== null && limits.max !== null) return `${limits.min} … ${limits.max}`;
    return limits.min !== null ? `≥ ${limits.min}` : `≤ ${limits.max}`;
}

// A value the device holds outside the limits it prints (another client may set any value).
export function outsideLimits(desc) {
    const limits = limitsOf(desc), n = Number(desc?.value);
    return !!limits && desc.value !== "" && Number.isFinite(n) && (n < limits.min || n > limits.max);
}

// How long ago, in words: "3 s", "2 min", "1 h".
export function age(ms) {
    const s = Math.max(0, Math.round(ms / 1000));
    if (s < 120) return `${s} s`;
    if (s < 7200) return `${Math.round(s / 60)} min`;
    return `${Math.round(s / 3600)} h`;
}

// WCAG's contrast of two colours written #rrggbb.
const luminance = (hex) => {
    const [r, g, b] = [1, 3, 5]
                          .map((i) => parseInt(hex.slice(i, i + 2), 16) / 255)
                          .map((c) => (c <= 0.04045 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4));
    return 0.2126 * r + 0.7152 * g + 0.0722 * b;
};
export function contrast(a, b) {
    const [x, y] = [luminance(a), luminance(b)].sort((p, q) => q - p);
    return (x + 0.05) / (y + 0.05);
}

// The log's colours are the terminal's, made for a black screen (#AA0000 on black is 2.7:1): each is mixed
// toward white just enough to be read on the pane's background.
export function readable(colour, background, wanted = 4.5) {
    const rgb = [1, 3, 5].map((i) => parseInt(colour.slice(i, i + 2), 16));
    for (let mix = 0; mix <= 1; mix += 0.05) {
        const hex =
            "#" + rgb.map((c) => Math.round(c + (255 - c) * mix).toString(16).padStart(2, "0")).join("");
        if (contrast(hex, background) >= wanted) return hex;
    }
    return "#ffffff";
}
