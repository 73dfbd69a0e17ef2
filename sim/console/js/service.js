// The technician's 1-Wire actions: the connected modem's type, and writing a pre-marked focus ring. A
// successful action ends its request without an answer, which the web server turns into 502: that is no error
// here. What happened is read from the MemServiceMode variables and from the log, where the 1-Wire tool and
// the service say whether the ring was written. A body the service cannot use still comes back as an error
// and is shown.
import {answerFailure, failureText} from "./api.js";
import {el} from "./dom.js";
import {words} from "./human.js";

const BLOCK = "MemServiceMode";
export const SHOWN = [
    "ServiceModeWritingToRing1Wire", "ServiceMode1WireRingLabel", "ServiceModeWritingToModem1Wire",
    "ServiceMode1WireModemLabel", "ServiceModeConnectedModemType"
];
// The service's own lines that end a ring write, and the tool's prefix.
const RING_WRITTEN = "Premarked-ring encryption successful";
const RING_FAILED = "Writing to the premarked ring's 1Wire failed";
const TOOL = "onewire-tool";
const REPORT_WAIT = 10000;

// The close-focus value as the 1-Wire tool takes it: a decimal number, no sign or exponent.
export function checkCloseFocus(text) {
    const t = text.trim();
    if (!/^[0-9]+(\.[0-9]+)?$/.test(t))
        throw new Error(`"${text}" is not a close-focus value: digits, with a decimal point if needed`);
    return t;
}

// What an action's answer means: null when the service ended it without an answer (502 through the web
// server, or an empty 200), else the failure in words.
export function actionError(status, text, reason) {
    if (status === 502 || (status === 200 && !text.trim())) return null;
    return answerFailure(status, reason, text);
}

export class ServicePane {
    constructor(root, tree, log) {
        Object.assign(this, { tree, log });
        this.status = root.querySelector("#service-status");
        this.lines = root.querySelector("#service-lines");
        this.vars = root.querySelector("#service-vars");
        this.modem = root.querySelector("#modem-form");
        this.ring = root.querySelector("#ring-form");
        this.modem.addEventListener("submit", (e) => {
            e.preventDefault();
            this.writeModem(this.modem.elements.devType.value);
        });
        this.ring.addEventListener("submit", (e) => {
            e.preventDefault();
            this.writeRing(this.ring.elements.unit.value, this.ring.elements.focusCloseValue.value);
        });
        this.cells = new Map(SHOWN.map((name) => [name, el("dd", { "data-var": name }, "–")]));
        this.vars.replaceChildren(
            ...SHOWN.flatMap((name) => [el("dt", { title: name }, words(name.replace(/^ServiceMode/, ""))),
                                        this.cells.get(name)]));
        this.watching = null; // the ring write whose lines are awaited
        log.onLine((line) => this.logLine(line));
    }

    // Called after every read of the whole tree: the views it follows are renewed with it.
    load() {
        for (const name of SHOWN) {
            const show = (desc) => (this.cells.get(name).textContent = desc?.value ?? "–");
            show(this.tree.state[BLOCK]?.[name]);
            this.tree.follow(BLOCK, name, { update: show });
        }
    }

    say(text, state) {
        this.status.textContent = text;
        this.status.dataset.state = state;
    }

    async post(script, body) {
        const answer = await fetch(`/api/v1/${script}`,
                                   { method: "POST", body: JSON.stringify(body), cache: "no-store" });
        return actionError(answer.status, await answer.text(), answer.statusText);
    }

    async writeModem(devType) {
        this.say(`Setting the modem type ${devType}…`, "busy");
        try {
            const error = await this.post("modemdata.cgi", { devType });
            if (error) return this.say(`Modem not set: ${error}`, "bad");
            // The service sets the label before the type, so the type's next value comes with both.
            const type =
                (await this.tree.readBack(BLOCK, "ServiceModeConnectedModemType"))?.value ?? "unknown";
            const label = this.tree.state[BLOCK]?.ServiceMode1WireModemLabel?.value ?? "";
            this.say(`Modem type ${devType} sent: the device reports ${type}, "${label}"`, "done");
        } catch (e) {
            this.say(`Modem not set: ${failureText(e)}`, "bad");
        }
    }

    async writeRing(unit, value) {
        let close;
        try {
            close = checkCloseFocus(value);
        } catch (e) {
            return this.say(e.message, "bad");
        }
        this.lines.replaceChildren();
        this.watching = { unit, close };
        this.say(`Writing the ring (${unit}, close focus ${close})…`, "busy");
        try {
            const error = await this.post("premarkeddata.cgi", { unit, focusCloseValue: close });
            if (error) {
                this.watching = null;
                this.say(`Ring not written: ${error}`, "bad");
            } else if (this.watching) {
                this.say("Ring write ended; waiting for the tool's report in the log…", "busy");
                const watched = this.watching;
                // The service has finished by the time it ends the request: a verdict missing this long after
                // will not come (a log that is not followed, or lines the kernel dropped).
                setTimeout(() => {
                    if (this.watching !== watched) return;
                    this.watching = null;
                    this.say("Ring write ended, but the log has no verdict on it: see the variables below",
                             "bad");
                }, REPORT_WAIT);
            }
        } catch (e) {
            this.watching = null;
            this.say(`Ring not written: ${failureText(e)}`, "bad");
        }
    }

    // The lines of a ring write in progress: the tool's own, and the service's verdict that ends it.
    logLine(line) {
        if (!this.watching) return;
        const tool = line.program === TOOL;
        const written = line.text.includes(RING_WRITTEN);
        const failed = line.text.includes(RING_FAILED);
        if (!tool && !written && !failed && !(line.program === "service" && line.level === "Error")) return;
        this.lines.append(el("li", { "data-level": line.level || "tool" }, line.text.trim()));
        if (written) {
            this.watching = null;
            this.say("Ring written", "good");
        } else if (failed) {
            this.watching = null;
            const reason =
                [...this.lines.children].find((li) => li.textContent.startsWith(`${TOOL}:`))?.textContent;
            this.say(`Ring not written${reason ? `: ${reason}` : ""}`, "bad");
        }
    }
}
