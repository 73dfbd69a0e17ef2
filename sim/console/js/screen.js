// The device's display, fetched anew on demand and every few seconds. A picture that cannot be captured comes
// as JSON with status 500: its error is shown, and the last good picture stays.
import {failureText, HttpError} from "./api.js";

export class ScreenPane {
    constructor(img, error, auto, interval = 3000) {
        Object.assign(this, { img, error, auto, interval });
        this.url = null;
        this.busy = false;
    }

    async refresh() {
        if (this.busy) return;
        this.busy = true;
        try {
            const answer = await fetch("/api/v1/screen.cgi",
                                       { cache: "no-store", signal: AbortSignal.timeout(this.interval * 3) });
            if (!answer.ok) throw new HttpError(answer.status, answer.statusText, await answer.text());
            const blob = await answer.blob();
            if (!blob.type.startsWith("image/"))
                throw new Error(`the answer is not a picture (${blob.type})`);
            const old = this.url;
            this.url = URL.createObjectURL(blob);
            this.img.src = this.url;
            if (old) URL.revokeObjectURL(old);
            this.error.hidden = true;
        } catch (e) {
            this.error.textContent = `No picture: ${failureText(e)}`;
            this.error.hidden = false;
        } finally {
            this.busy = false;
        }
    }

    start() {
        this.refresh();
        setInterval(() => this.auto.checked && !document.hidden && this.refresh(), this.interval);
    }
}
