// Follows the device's changes with one long-poll request always outstanding. When the service goes away (a
// restart shows as failed requests or 502s from the web server), it retries with a growing pause and, once
// the service answers again, reads the whole state anew: changes made while nobody listened are not reported
// later.
import {getJson} from "./api.js";

export class Live {
    constructor({ onState, onUpdate, onConnection, onProblems }) {
        Object.assign(this, { onState, onUpdate, onConnection, onProblems });
        this.running = false;
        this.generation = 0;
    }

    start() {
        this.running = true;
        this.loop(++this.generation);
    }

    // Reads the whole tree again without dropping the outstanding update request.
    async reload() {
        const tree = await getJson("/api/v1/all.cgi");
        this.onState(tree.value?.variables, tree.problems);
        return tree;
    }

    async loop(generation) {
        let pause = 500;
        let needState = true;
        while (this.running && generation === this.generation) {
            // The service reports a change only to update requests already waiting, so the request goes out
            // before the tree is read: a change between the two is then in the tree or in the answer. An
            // answer older than the tree is corrected by the next one.
            const update = getJson("/api/v1/update.cgi");
            try {
                if (needState) {
                    this.onConnection("connecting");
                    update.catch(() => {}); // a failure is handled below, once the tree is read
                    await this.reload();
                    needState = false;
                    pause = 500;
                    this.onConnection("live");
                }
                const answer = await update;
                const body = answer.value ?? {};
                const errors = Array.isArray(body.errors) ? body.errors.map(String) : [];
                if (answer.problems.length || errors.length) this.onProblems([...errors, ...answer.problems]);
                if (body.variables) this.onUpdate(body.variables);
            } catch (e) {
                needState = true;
                this.onConnection("lost", e.message);
                await new Promise((r) => setTimeout(r, pause));
                pause = Math.min(pause * 2, 5000);
            }
        }
    }
}
