import {AppPane} from "./app.js";
import {Live} from "./live.js";
import {LogPane} from "./log.js";
import {ScreenPane} from "./screen.js";
import {SearchPane} from "./search.js";
import {ServicePane} from "./service.js";
import {Tree} from "./tree.js";
import {WatchPane} from "./watch.js";

const $ = (id) => document.getElementById(id);

const setResult = $("set-result");
const tree = new Tree($("tree"), (text, ok) => {
    setResult.textContent = text;
    setResult.dataset.ok = ok ? "1" : "0";
});
const search = new SearchPane($("results"), tree);
const watch = new WatchPane($("watch-pane"), tree);
tree.pin = (pin) => watch.pin(pin);
const log = new LogPane({
    pre: $("log"),
    follow: $("log-follow"),
    pause: $("log-pause"),
    program: $("log-program"),
    level: $("log-level"),
    text: $("log-text"),
    keep: $("log-keep"),
    counter: $("log-count")
});
const service = new ServicePane($("service-pane"), tree, log);

const problems = $("tree-problems");
const showProblems = (list) => {
    problems.hidden = !list.length;
    problems.textContent =
        list.length ? `Values that could not be read: ${list.slice(0, 20).join("; ")}` : "";
};

const connection = $("connection");
const live = new Live({
    onState(variables, found) {
        // Everything that follows variables is renewed with the tree.
        tree.load(variables);
        search.run();
        watch.load();
        service.load();
        showProblems(found);
        const name = variables?.MemPersistent?.ProductName?.value;
        $("product").textContent = typeof name === "string" ? name : "";
    },
    onUpdate: (variables) => tree.update(variables),
    onProblems: showProblems,
    onConnection(state, why) {
        connection.dataset.state = state;
        connection.textContent = state === "lost" ? "reconnecting" : state;
        connection.title = why ?? "";
    },
});

let searchTimer;
$("search").addEventListener("input", (e) => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(() => search.run(e.target.value), 150);
});
$("reload").addEventListener("click", () => live.reload().catch((e) => showProblems([e.message])));

live.start();
log.run();
const screen = new ScreenPane($("screen"), $("screen-error"), $("screen-auto"));
$("screen-refresh").addEventListener("click", () => screen.refresh());
screen.start();
new AppPane($("app-pane")).start();
