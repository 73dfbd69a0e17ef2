// Whether the service is there, and the device's changes as they come.
//
// The update poll alone cannot tell: it is held until something changes, so a quiet device and a hung service
// look the same. A heartbeat can: the device information answers at once whenever the service runs, so one
// that is not answered within BEAT_TIMEOUT means a service that does not run (stopped, hung, or starved), and
// the badge says "stalled". Requests that fail outright (the web server's 502 while the service restarts, or
// no connection at all) say "lost". The first answer after either reloads every pane: changes made meanwhile
// are not reported later.
import {failureText, getJson} from "./api.js";

export const BEAT = 1000;
export const BEAT_TIMEOUT = 3000;

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

// The connection's state from the outcomes of requests: "connecting" until the first answer, then "live",
// "stalled" (a request that answers at once when the service runs did not) or "lost" (requests fail).
// Each event returns the state it left when it changed it, else null. No timers here: node tests it alone.
export class Liveness {
    constructor() {
        this.state = "connecting";
        this.seen = null; // when the service last answered
        this.why = "";
    }

    change(state, why) {
        const from = this.state;
        this.why = why;
        if (from === state) return null;
        this.state = state;
        return from;
    }

    answered(now) {
        this.seen = now;
        return this.change("live", "");
    }

    // A service that has failed outright stays lost until it answers: a time-out says nothing new then.
    timedOut(why) {
        return this.state === "lost" ? null : this.change("stalled", why);
    }

    failed(why) {
        return this.change("lost", why);
    }

    // Back from a time without the service: what the page shows may be out of date.
    static isBack(from, to) {
        return to === "live" && (from === "stalled" || from === "lost");
    }
}

export class Live {
    constructor({ onState, onUpdate, onProblems, onLiveness, onBack, onInfo }) {
        Object.assign(this, { onState, onUpdate, onProblems, onLiveness, onBack, onInfo });
        this.liveness = new Liveness();
        this.generation = 0;
    }

    start() {
        this.poll(++this.generation);
        this.beat();
    }

    note(from) {
        if (from === null) return;
        this.onLiveness(this.liveness.state, this.liveness.why);
        if (Liveness.isBack(from, this.liveness.state)) {
            this.resync();
            this.onBack(from);
        }
    }

    answered() {
        this.note(this.liveness.answered(Date.now()));
    }

    failed(e) {
        const why = failureText(e);
        this.note(e?.name === "TimeoutError" ? this.liveness.timedOut(why) : this.liveness.failed(why));
    }

    // A beat goes out only after BEAT without any answer: while the update poll or the log bring answers, the
    // service has shown that it runs, and a request of its own would only add to the log at the verbose
    // levels.
    async beat() {
        for (;;) {
            const quiet = Date.now() - (this.liveness.seen ?? 0);
            if (this.liveness.state === "live" && quiet < BEAT) {
                await sleep(BEAT - quiet);
                continue;
            }
            const started = Date.now();
            try {
                const info = await getJson("/voxapp/v1/device/info", { timeout: BEAT_TIMEOUT });
                this.answered();
                this.onInfo(info.value);
            } catch (e) {
                this.failed(e);
            }
            await sleep(Math.max(0, BEAT - (Date.now() - started)));
        }
    }

    // Reads the whole tree again; the update poll goes on.
    async reload(signal) {
        const tree = await getJson("/api/v1/all.cgi", { signal });
        this.answered();
        this.onState(tree.value?.variables, tree.problems);
        return tree;
    }

    // Drops the update request in flight and starts again with the whole tree.
    resync() {
        this.controller?.abort();
        this.poll(++this.generation);
    }

    async poll(generation) {
        let pause = 500;
        let needState = true;
        while (generation === this.generation) {
            const controller = new AbortController();
            this.controller = controller;
            // The service reports a change only to update requests already waiting, so the request goes out
            // before the tree is read: a change between the two is then in the tree or in the answer. An
            // answer older than the tree is corrected by the next one.
            const update = getJson("/api/v1/update.cgi", { signal: controller.signal });
            try {
                if (needState) {
                    update.catch(() => {}); // a failure is handled below, once the tree is read
                    await this.reload(controller.signal);
                    needState = false;
                    pause = 500;
                }
                const answer = await update;
                if (generation !== this.generation) return;
                this.answered();
                const body = answer.value ?? {};
                const errors = Array.isArray(body.errors) ? body.errors.map(String) : [];
                if (answer.problems.length || errors.length) this.onProblems([...errors, ...answer.problems]);
                if (body.variables) this.onUpdate(body.variables);
            } catch (e) {
                if (generation !== this.generation) return;
                needState = true;
                this.failed(e);
                await sleep(pause);
                pause = Math.min(pause * 2, 5000);
            }
        }
    }
}
