// The kernel log, followed by offset. The service sends kernel text as it is, with colour spans of its own around
// it and nothing escaped: so the text is never handed to the browser as HTML. Only the service's span tags are
// recognised, and only their colours are applied; everything else stays text.

const SPAN = /<span style='([^'<>]*)'>|<\/span>/g;
const STYLE = /^\s*(color|background-color):\s*(#[0-9A-Fa-f]{6})\s*;?\s*$/;

// Splits converted log text into runs of text with the colours in force. `open` is the stack of styles still open
// from earlier text (spans are not balanced and may continue across answers); it is updated in place.
export function logRuns(text, open) {
    const runs = [];
    let last = 0;
    const style = () => {
        const s = {};
        for (const o of open) if (o) s[o.property] = o.colour;
        return s;
    };
    for (const m of text.matchAll(SPAN)) {
        if (m.index > last) runs.push({ text: text.slice(last, m.index), style: style() });
        if (m[0] === "</span>") open.pop();
        else {
            const parsed = STYLE.exec(m[1]);
            open.push(parsed ? { property: parsed[1], colour: parsed[2] } : null);
        }
        last = m.index + m[0].length;
    }
    if (last < text.length) runs.push({ text: text.slice(last), style: style() });
    return runs;
}

// The answer's first line is the log's size when the request arrived; the rest starts at the offset asked for,
// unless that was 0 or beyond the end (a restarted service), when it is the whole log.
export function splitAnswer(bytes) {
    let i = 0;
    while (i < bytes.length && bytes[i] !== 0x0a) i++;
    const size = Number(new TextDecoder().decode(bytes.subarray(0, i)).trim());
    return { size, data: bytes.subarray(Math.min(i + 1, bytes.length)) };
}

export class LogPane {
    constructor(pre, follow) {
        Object.assign(this, { pre, follow });
        this.offset = 0;
        this.reset();
    }

    reset() {
        this.pre.replaceChildren();
        this.open = [];
        this.decoder = new TextDecoder("utf-8");
    }

    append(text) {
        const atEnd = this.pre.scrollTop + this.pre.clientHeight >= this.pre.scrollHeight - 4;
        for (const run of logRuns(text, this.open)) {
            const span = document.createElement("span");
            span.textContent = run.text;
            if (run.style.color) span.style.color = run.style.color;
            if (run.style["background-color"]) span.style.backgroundColor = run.style["background-color"];
            if (run.style.color || run.style["background-color"]) span.className = "coloured";
            this.pre.append(span);
        }
        if (this.follow.checked || atEnd) this.pre.scrollTop = this.pre.scrollHeight;
    }

    async run() {
        let pause = 500;
        for (;;) {
            try {
                const asked = this.offset;
                const answer = await fetch(`/api/v1/log.cgi?offset=${asked}`, { cache: "no-store" });
                if (!answer.ok) throw new Error(`HTTP ${answer.status}`);
                const { size, data } = splitAnswer(new Uint8Array(await answer.arrayBuffer()));
                const whole = asked === 0 || !(size >= asked);
                if (whole) this.reset();
                // Offsets count bytes; a character split between two answers is completed by the next.
                this.append(this.decoder.decode(data, { stream: true }));
                this.offset = (whole ? 0 : asked) + data.length;
                pause = 500;
                // Offset 0 always answers at once: with an empty log, ask again only after a while.
                if (this.offset === 0) await new Promise((r) => setTimeout(r, 1000));
            } catch (e) {
                await new Promise((r) => setTimeout(r, pause));
                pause = Math.min(pause * 2, 5000);
            }
        }
    }
}
