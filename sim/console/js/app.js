// The companion app's side of the device: its information, update packages with the status poll, and the
// three file folders. A delete, and an upload that would replace a file of the same name, are asked about
// first: neither can be undone.
import {failureText, getJson, request} from "./api.js";
import {confirmIn, el} from "./dom.js";
import {bytes, words} from "./human.js";

const APP = "/voxapp/v1";
export const FOLDERS = [
    ["lenstables", "Lens tables"],
    ["focusrings", "Focus rings"],
    ["setups", "Setups"],
];
// States after which the status poll has nothing more to report. "Rebooting" is not one of them: a real
// device comes back after it, and the poll goes on (through the failed requests of the reboot) until it does.
export const FINAL = new Set([
    "Success", "Failed", "FileNotFound", "FileCorrupt", "FileNotCompatible", "CopyingFailed", "RebootFailed",
    "DeviceNotFound"
]);
const IDLE = "NoFileSelected";

// What the status poll's answer shows: its state in words, and a percentage only where there is one. A host
// update reports none (its progress stays 0 until the reboot), so its bar runs without one and "Success"
// stands alone; an accessory's counts up to 100.
export function updateView(status, progress, host) {
    const text = status ? words(status) : "–";
    const p = Number(progress) || 0;
    if (!status || status === IDLE) return { text, percent: null, bar: 0 };
    if (status === "Success") return { text, percent: host ? null : 100, bar: 100 };
    if (FINAL.has(status)) return { text, percent: null, bar: 0 };
    return host || p <= 0 ? { text, percent: null, bar: null } : { text, percent: p, bar: p };
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
// The folders answer `{"result": "…"}`; anything else is shown as it came.
const resultOf = (text) => {
    try {
        return JSON.parse(text).result ?? text;
    } catch {
        return text;
    }
};

export class AppPane {
    constructor(root) {
        this.info = root.querySelector("#device-info");
        this.form = root.querySelector("#update-form");
        this.device = root.querySelector("#update-device");
        this.file = root.querySelector("#update-file");
        this.statusText = root.querySelector("#update-status");
        this.progress = root.querySelector("#update-progress");
        this.percent = root.querySelector("#update-percent");
        this.folders = root.querySelector("#folders");
        this.form.addEventListener("submit", (e) => {
            e.preventDefault();
            this.upload();
        });
        this.lists = new Map();
        this.names = new Map(); // folder -> the names it was last listed with
        this.messages = new Map();
        for (const [folder, title] of FOLDERS) this.folders.append(this.folderBox(folder, title));
        this.host = false; // the update followed is this device's own
    }

    // Everything anew: at start, and after the service was away.
    async reload() {
        await Promise.allSettled([this.loadInfo(), this.showStatus(), ...FOLDERS.map(([f]) => this.list(f))]);
    }

    async loadInfo() {
        try {
            this.showInfo((await getJson(`${APP}/device/info`, { timeout: 10000 })).value);
        } catch (e) {
            this.infoText = null;
            this.info.replaceChildren(el("dt", {}, "Device"), el("dd", { class: "error" }, failureText(e)));
        }
    }

    // The device information, as the heartbeat brings it: shown again only when it changed.
    showInfo(info) {
        const text = JSON.stringify(info ?? null);
        if (text === this.infoText) return;
        this.infoText = text;
        info ??= {};
        const devices = Array.isArray(info.devices) ? info.devices : [];
        const space = Number.isFinite(info.space_available) && Number.isFinite(info.space_total)
                          ? `${bytes(info.space_available)} free of ${bytes(info.space_total)}`
                          : "–";
        const rows = [
            ["Device", info._id], ["Name", info.name], ["Serial number", info.serialnumber],
            ["Firmware", info.firmwareversion], ["Space", space],
            [
                "Accessories",
                devices.map((d) => `${d.name} ${d.serialnumber} (firmware ${d.firmwareversion})`)
                        .join("; ") ||
                    "none"
            ]
        ];
        this.info.replaceChildren(
            ...rows.flatMap(([k, v]) => [el("dt", {}, k), el("dd", {}, String(v ?? "–"))]));
        const chosen = this.device.value;
        const targets = [
            [info._id, `${info.name} (this device)`],
            ...devices.map((d) => [d._id, `${d.name} ${d.serialnumber}`])
        ];
        this.device.replaceChildren(...targets.map(([id, label]) => el("option", { value: id }, label)));
        if (targets.some(([id]) => id === chosen)) this.device.value = chosen;
        this.hostId = info._id;
    }

    showUpdate(status, progress) {
        const view = updateView(status, progress, this.host);
        this.statusText.textContent = view.text;
        if (view.bar === null)
            this.progress.removeAttribute("value");
        else
            this.progress.value = view.bar;
        this.percent.textContent = view.percent === null ? "" : `${view.percent} %`;
    }

    async showStatus() {
        const status = (await getJson(`${APP}/device/status`, { timeout: 10000 })).value ?? {};
        this.showUpdate(String(status.status ?? ""), status.progress);
        return status;
    }

    // The package goes up as form data (the upload's own progress shown as it goes), then the status poll
    // follows the update to its end; the poll is also what starts it once the package is found valid.
    async upload() {
        const file = this.file.files[0];
        if (!file) return;
        const body = new FormData();
        body.append("deviceid", this.device.value);
        body.append("file", file, file.name);
        this.host = this.device.value === this.hostId;
        this.statusText.textContent = "Uploading";
        const answer = await new Promise((resolve) => {
            const xhr = new XMLHttpRequest();
            xhr.open("POST", `${APP}/device/update`);
            xhr.upload.onprogress = (e) => {
                if (!e.lengthComputable) return;
                this.progress.value = Math.round((100 * e.loaded) / e.total);
                this.percent.textContent = `${this.progress.value} % sent`;
            };
            xhr.onload = () =>
                resolve({ status: xhr.status, reason: xhr.statusText, text: xhr.responseText });
            xhr.onerror = () => resolve({ status: 0, text: "" });
            xhr.send(body);
        });
        let parsed = {};
        try {
            parsed = JSON.parse(answer.text);
        } catch { /* not the service's answer: its status tells */
        }
        if (!parsed.taskid) {
            const why = parsed.result ??
                        (answer.status ? `${answer.status} ${answer.reason}` : "no connection to the device");
            this.statusText.textContent = `Upload refused: ${why}`;
            this.percent.textContent = "";
            return;
        }
        this.statusText.textContent = "Sent; waiting for the device";
        this.loadInfo();
        const until = Date.now() + 10 * 60 * 1000;
        while (Date.now() < until) {
            await sleep(500);
            try {
                const status = await this.showStatus();
                if (FINAL.has(status.status)) return;
            } catch {
                this.statusText.textContent = "Waiting for the device";
            }
        }
        this.statusText.textContent += " (no end seen within 10 minutes)";
    }

    folderBox(folder, title) {
        const list = el("ul", { class: "files", "data-folder": folder });
        this.lists.set(folder, list);
        const input = el("input", { type: "file", multiple: "", "aria-label": `Upload files to ${title}` });
        const message = el("span", { class: "folder-result", role: "status" });
        const upload = el("label", { class: "upload" }, "Upload ", input);
        input.addEventListener("change", async () => {
            const files = [...input.files];
            const existing = files.filter((f) => this.names.get(folder)?.includes(f.name)).map((f) => f.name);
            if (existing.length &&
                !(await confirmIn(upload, `Replace ${existing.join(", ")} in ${title}?`, "Replace"))) {
                message.textContent = "Nothing uploaded";
                input.value = "";
                return;
            }
            const results = [];
            for (const file of files) {
                try {
                    results.push(`${file.name}: ${
                        resultOf(
                            await request(this.fileUrl(folder, file.name), { method: "PUT", body: file }))}`);
                } catch (e) {
                    results.push(`${file.name}: ${failureText(e)}`);
                }
            }
            message.textContent = results.join(", ");
            input.value = "";
            this.list(folder);
            this.loadInfo();
        });
        this.messages.set(folder, message);
        return el("section", { class: "folder", "data-folder": folder }, el("h3", {}, title), upload, message,
                  list);
    }

    fileUrl(folder, name) {
        return `${APP}/${folder}/file/${encodeURIComponent(name)}`;
    }

    async remove(folder, name, button) {
        const title = FOLDERS.find(([f]) => f === folder)[1];
        if (!(await confirmIn(button, `Delete ${name} from ${title}?`, "Delete"))) return;
        const result =
            await request(this.fileUrl(folder, name), { method: "DELETE" }).then(resultOf, failureText);
        this.messages.get(folder).textContent = `${name} deleted: ${result}`;
        this.list(folder);
        this.loadInfo();
    }

    async list(folder) {
        const list = this.lists.get(folder);
        const title = FOLDERS.find(([f]) => f === folder)[1];
        try {
            const names = (await getJson(`${APP}/${folder}/list`, { timeout: 10000 })).value;
            const items = (Array.isArray(names) ? names : []).map(String).sort();
            this.names.set(folder, items);
            list.replaceChildren(...items.map((name) => {
                const remove =
                    el("button", { type: "button", "aria-label": `Delete ${name} from ${title}` }, "Delete");
                remove.addEventListener("click", () => this.remove(folder, name, remove));
                return el("li", { "data-name": name },
                          el("a", { href: this.fileUrl(folder, name), download: name }, name), " ", remove);
            }));
            if (!items.length) list.append(el("li", { class: "empty" }, "no files"));
        } catch (e) {
            this.names.delete(folder);
            list.replaceChildren(el("li", { class: "error" }, `Not listed: ${failureText(e)}`));
        }
    }
}
