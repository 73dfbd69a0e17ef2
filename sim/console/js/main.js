import {AppPane} from "./app.js";
import {age} from "./human.js";
import {Live} from "./live.js";
import {LogPane} from "./logpane.js";
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
    list: $("log"),
    program: $("log-program"),
    level: $("log-level"),
    text: $("log-text"),
    polling: $("log-polling"),
    keep: $("log-keep"),
    counter: $("log-count"),
    end: $("log-end"),
    problem: $("log-problem"),
    onAnswer: () => live.answered(),
});
const service = new ServicePane($("service-pane"), tree, log);
const app = new AppPane($("app-pane"));
const screen = new ScreenPane($("screen"), $("screen-error"), $("screen-auto"));

const problems = $("tree-problems");
const showProblems = (list) => {
    problems.hidden = !list.length;
    problems.textContent =
        list.length ? `Values that could not be read: ${list.slice(0, 20).join("; ")}` : "";
};

// The header follows the product's name as the device holds it.
const product = $("product");
const showProduct = (desc) => (product.textContent = typeof desc?.value === "string" ? desc.value : "");

// While the service does not answer, what the page shows is as old as its last answer: greyed, and said so.
const connection = $("connection");
const staleNote = $("stale-note");
const WORDS = {
    connecting: "connecting…",
    live: "live",
    stalled: "stalled",
    lost: "reconnecting"
};
let ticker = null;
const showAge = () => {
    const seen = live.liveness.seen;
    staleNote.textContent =
        seen === null ? "" : `no answer for ${age(Date.now() - seen)}: shown as it was then`;
};

const live = new Live({
    onState(variables, found) {
        // Everything that follows variables is renewed with the tree.
        tree.load(variables);
        search.run();
        watch.load();
        service.load();
        showProblems(found);
        showProduct(tree.state.MemPersistent?.ProductName);
        tree.follow("MemPersistent", "ProductName", { update: showProduct });
    },
    onUpdate: (variables) => tree.update(variables),
    onProblems: showProblems,
    onLiveness(state, why) {
        document.body.dataset.connection = state;
        connection.dataset.state = state;
        connection.textContent = WORDS[state];
        connection.title = why;
        const stale = state === "stalled" || state === "lost";
        staleNote.hidden = !stale;
        clearInterval(ticker);
        if (stale) {
            showAge();
            ticker = setInterval(showAge, 1000);
        }
    },
    // The live tree is read anew by the update poll; the other panes are read here. A service that was lost
    // has started anew, and its log with it.
    onBack(from) {
        if (from === "lost") log.restart();
        app.reload();
        screen.refresh();
    },
    onInfo: (info) => app.showInfo(info),
});

let searchTimer;
$("search").addEventListener("input", (e) => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(() => search.run(e.target.value), 150);
});
$("reload").addEventListener("click", () => live.reload().catch((e) => live.failed(e)));

live.start();
log.run();
$("screen-refresh").addEventListener("click", () => screen.refresh());
screen.start();
app.reload();
