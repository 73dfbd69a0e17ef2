// The companion app's side of the device: its information, update packages with the status poll, and the
// three file folders.
import {getJson, getText} from "./api.js";
import {el} from "./dom.js";

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
        this.messages = new Map();
        for (const [folder, title] of FOLDERS) this.folders.append(this.folderBox(folder, title));
    }

    async start() {
        await Promise.allSettled([this.loadInfo(), this.showStatus(), ...FOLDERS.map(([f]) => this.list(f))]);
    }

    async loadInfo() {
        try {
            const info = (await getJson(`${APP}/device/info`)).value ?? {};
            const rows = [
                ["Device", info._id], ["Name", info.name], ["Serial number", info.serialnumber],
                ["Firmware", info.firmwareversion],
                ["Space", `${info.space_available} of ${info.space_total} bytes free`]
            ];
            this.info.replaceChildren(
                ...rows.flatMap(([k, v]) => [el("dt", {}, k), el("dd", {}, String(v ?? "–"))]));
            const targets = [
                [info._id, `${info.name} (this device)`],
                ...(Array.isArray(info.devices) ? info.devices : [])
                    .map((d) => [d._id, `${d.name} ${d.serialnumber}`])
            ];
            this.device.replaceChildren(...targets.map(([id, label]) => el("option", { value: id }, label)));
        } catch (e) {
            this.info.replaceChildren(el("dt", {}, "Device"), el("dd", { class: "error" }, e.message));
        }
    }

    async showStatus() {
        const status = (await getJson(`${APP}/device/status`)).value ?? {};
        this.statusText.textContent = String(status.status ?? "–");
        this.progress.value = Number(status.progress) || 0;
        this.percent.textContent = `${Number(status.progress) || 0} %`;
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
        this.statusText.textContent = "Uploading";
        const answer = await new Promise((resolve) => {
            const xhr = new XMLHttpRequest();
            xhr.open("POST", `${APP}/device/update`);
            xhr.upload.onprogress = (e) => {
                if (!e.lengthComputable) return;
                this.progress.value = Math.round((100 * e.loaded) / e.total);
                this.percent.textContent = `${this.progress.value} % sent`;
            };
            xhr.onload = () => resolve({ status: xhr.status, text: xhr.responseText });
            xhr.onerror = () => resolve({ status: 0, text: "" });
            xhr.send(body);
        });
        let parsed;
        try {
            parsed = JSON.parse(answer.text);
        } catch {
            parsed = {};
        }
        if (!parsed.taskid) {
            this.statusText.textContent = `Upload refused: ${parsed.result ?? `HTTP ${answer.status}`}`;
            return;
        }
        this.statusText.textContent = `Task ${parsed.taskid}`;
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
        const input = el("input", { type: "file", multiple: "" });
        const message = el("span", { class: "folder-result" });
        input.addEventListener("change", async () => {
            const results = [];
            for (const file of input.files) {
                try {
                    results.push(`${file.name}: ${
                        resultOf(
                            await getText(this.fileUrl(folder, file.name), { method: "PUT", body: file }))}`);
                } catch (e) {
                    results.push(`${file.name}: ${e.message}`);
                }
            }
            message.textContent = results.join(", ");
            input.value = "";
            this.list(folder);
        });
        this.messages.set(folder, message);
        return el("section", { class: "folder", "data-folder": folder }, el("h3", {}, title),
                  el("label", { class: "upload" }, "Upload ", input), message, list);
    }

    fileUrl(folder, name) {
        return `${APP}/${folder}/file/${encodeURIComponent(name)}`;
    }

    async list(folder) {
        const list = this.lists.get(folder);
        try {
            const names = (await getJson(`${APP}/${folder}/list`)).value;
            const items = (Array.isArray(names) ? names : []).map(String).sort();
            list.replaceChildren(...items.map(
                (name) => el("li", { "data-name": name },
                             el("a", { href: this.fileUrl(folder, name), download: name }, name), " ",
                             el("button", {
                                 type: "button",
                                 title: `Delete ${name}`,
                                 onclick: async () => {
                                     const result = await getText(this.fileUrl(folder, name), {
                                                        method: "DELETE"
                                                    }).catch((e) => e.message);
                                     this.messages.get(folder).textContent =
                                         `${name} deleted: ${resultOf(result)}`;
                                     this.list(folder);
                                 }
                             },
                                "Delete"))));
            if (!items.length) list.append(el("li", { class: "empty" }, "no files"));
        } catch (e) {
            list.replaceChildren(el("li", { class: "error" }, e.message));
        }
    }
}
