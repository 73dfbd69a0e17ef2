// The console's readers and checks without a browser: the lenient JSON reader on the shapes the service
// really sends, the log's readers and filters, the set-request bodies, the editors' input checks and
// read-back, the search, the service actions' answers and the watch list's plot.
import assert from "node:assert/strict";
import {test} from "node:test";

import {answerFailure, failureText, quote, setBody} from "../../sim/console/js/api.js";
import {updateView} from "../../sim/console/js/app.js";
import {bytes, limitsText, outsideLimits, readable, shownLimits, words} from "../../sim/console/js/human.js";
import {Broken, parseLenient} from "../../sim/console/js/lenient-json.js";
import {Liveness} from "../../sim/console/js/live.js";
import {isPolling, LogFeed, logLines, logRuns, parseLine, passes} from "../../sim/console/js/log.js";
import {hitPath, search} from "../../sim/console/js/search.js";
import {actionError, checkCloseFocus} from "../../sim/console/js/service.js";
import {checkInput, keptNote, kindOf, parsePath, pathOf, visible} from "../../sim/console/js/values.js";
import {bound, plot, valueAt} from "../../sim/console/js/watch.js";

const int = (v) => `{"max":"4","min":"1","type":"int","value":"${v}"}`;
const tree = (blocks) => `{\r\n"id": 3,\r\n"errors": [],\r\n"variables": {${blocks}}}\r\n`;

test("a tree reads in order, values the service could not print marked in place, raw controls kept", () => {
    // The message is not escaped by the service, so it may hold quotes of its own. An update answer names a
    // block twice when its changed variables are not contiguous.
    const { value, problems } = parseLenient(
        tree(`"MemA" : {"X" : "ERROR": "Value "9" is not an entry of Axis","Y" : ${int(1)},"E" : []},\r\n  ` +
             `"MemB" : {"L" : [{"F": ${int(1)}},"ERROR": "element 1: out of range",{"F": ${int(3)}}]}, ` +
             `"MemA" : {"R" : [{"Name": {"value":"a\u0001b\tc\r\nd", "type": "string" }}]}`));
    const { MemA, MemB } = value.variables;
    assert.deepEqual([problems, value.id, value.errors, Object.keys(value.variables), Object.keys(MemA)],
                     [[], 3, [], ["MemA", "MemB"], ["X", "Y", "E", "R"]]);
    assert.ok(MemA.X instanceof Broken && MemB.L[1] instanceof Broken);
    assert.deepEqual([MemA.X.message, MemA.Y.value, MemA.E, MemB.L.length, MemB.L[2].F.value],
                     ['Value "9" is not an entry of Axis', "1", [], 3, "3"]);
    assert.equal(MemA.R[0].Name.value, "a\u0001b\tc\r\nd");
    assert.equal(visible("a\u0001b\tc"), "a\u2401b\u2409c");
    // Escapes are decoded, a quote escaped by the service included.
    assert.equal(parseLenient(String.raw`{"a" : "say \"hi\" \u0041\\ \q"}`).value.a, 'say "hi" A\\ \\q');
});

test("what cannot be read is skipped to the next variable or block, and a cut gives what came before", () => {
    // A record cut off inside: the reader resumes at the next `"Name" : ` member.
    const broken = parseLenient(
        tree(`"MemA" : {"R" : {"F": {"value": "x" "y"},"G" : ${int(2)}},"MemB" : {"H" : ${int(3)}}`));
    const { MemA, MemB } = broken.value.variables;
    assert.deepEqual([broken.problems.length, MemA.R instanceof Broken, MemA.G.value, MemB.H.value],
                     [1, true, "2", "3"]);
    // A block closed right after the broken value: the next block is a block again, not a variable of this.
    const closed = parseLenient(tree(`"MemA" : {"R" : {"F": [1 2]}},"MemB" : {"H" : ${int(3)}}`));
    assert.deepEqual([Object.keys(closed.value.variables), closed.value.variables.MemB.H.value],
                     [["MemA", "MemB"], "3"]);
    const cut = parseLenient(tree(`"MemA" : {"X" : ${int(2)},"Y" : {"max":"4","mi`).slice(0, -3));
    assert.deepEqual([cut.problems.length > 0, cut.value.variables.MemA.X.value], [true, "2"]);
    assert.equal(parseLenient("").value, undefined);
});

test("log text becomes coloured runs; entities read back, unknown styles and markup stay harmless", () => {
    const open = [];
    const runs = logRuns(
        "a<span style='color: #AA0000'>red &lt;b&gt;x&amp;lt;<i><span style=''>still red</span></span>" +
            "plain<span style='background-color: #0000AA'>blue",
        open);
    assert.deepEqual(runs.map((r) => [r.text, r.style.color ?? r.style["background-color"] ?? ""]), [
        ["a", ""], ["red <b>x&lt;<i>", "#AA0000"], ["still red", "#AA0000"], ["plain", ""],
        ["blue", "#0000AA"]
    ]);
    // The span left open continues into the next answer; a stray close does not fail.
    assert.equal(logRuns("more</span></span>after", open)[0].style["background-color"], "#0000AA");
    assert.deepEqual(logRuns("after", open)[0].style, {});
    assert.deepEqual(logRuns("<span style='color: red; x: url(y)'>z", [])[0].style, {});
});

test("log lines are read for time stamp, writer and level, and filtered", () => {
    const partial = [];
    const text =
        "[   12.345678]           service  Error         requesthandler.cpp: 314 failed\n" +
        "      message-broker  DebugAll           eventpoll.cpp: 152 Call\nonewire-tool: ring written\n" +
        "             service  DebugMost     requesthandler.cpp: 112 REQUEST handle(7, 1, /api/v1/log.cgi)\nhalf";
    const lines = logLines(logRuns(text, []), partial).map((l) => ({...l, ...parseLine(l.text) }));
    lines.forEach((l) => (l.polling = isPolling(l)));
    assert.deepEqual(lines.map((l) => [l.time, l.program, l.level, l.polling]), [
        [12.345678, "service", "Error", false], [null, "message-broker", "DebugAll", false],
        [null, "onewire-tool", "", false], [null, "service", "DebugMost", true]
    ]);
    // The unended line waits for the rest, its colour with it.
    const [rest] = logLines(logRuns("<span style='color: #AA0000'> line\n", []), partial);
    assert.equal(rest.text, "half line");
    assert.deepEqual(rest.runs.map((r) => r.style.color), [undefined, "#AA0000"]);
    assert.deepEqual(parseLine("usb 1-1: new device"), { time: null, program: "", level: "" });
    const shown = (f) => lines.filter((l) => passes(l, f)).map((l) => l.program);
    assert.deepEqual(shown({ program: "service" }), ["service"]);
    assert.deepEqual(shown({ level: "Warn" }), ["service", "onewire-tool"]); // a line without a level passes
    assert.deepEqual(shown({ text: "CALL" }), ["message-broker"]);
    assert.equal(shown({ polling: true }).length, 4);
});

test("the log follows each answer's size line, keeps its bound, and marks what the service dropped", () => {
    const answer = (size, text) => new TextEncoder().encode(`${size}\r\n${text}`);
    const numbered = (from, to) => Array.from({ length: to - from }, (_, i) => `line ${from + i}\n`).join("");
    const feed = new LogFeed(3);
    // The first answer: all the service keeps of a log of 1000 bytes, the rest older than it keeps. The bound
    // counts ended lines: the unended rest waits for the next answer.
    const kept = `<span style='color: #AA0000'>${numbered(0, 5)}li`;
    let change = feed.take(0, answer(1000, kept));
    assert.deepEqual([change.reset, feed.offset, feed.lines.map((l) => l.text)],
                     [true, 1000, ["line 2", "line 3", "line 4"]]);
    // The colour of lines skipped for the bound.
    assert.equal(feed.lines[0].runs[0].style.color, "#AA0000");
    // A held request answered with what came since: the size line is the offset asked.
    change = feed.take(1000, answer(1000, "ne 5\nli"));
    assert.deepEqual([feed.offset, change.dropped, feed.lines.map((l) => l.text)],
                     [1007, 1, ["line 3", "line 4", "line 5"]]);
    // An offset the service no longer keeps: it answers from its oldest byte, up to the size.
    change = feed.take(1007, answer(5000, "line 90\n"));
    assert.deepEqual(
        [feed.offset, feed.lines.length, ...change.added.map((l) => [l.gap ?? false, l.text])],
        [5000, 3, [true, "… 3.98 kB of older log that the service no longer keeps …"], [false, "line 90"]]);
    // A service started anew has a shorter log: read from its start.
    change = feed.take(5000, answer(6, "again\n"));
    assert.deepEqual([change.reset, feed.offset, feed.lines.map((l) => l.text)], [true, 6, ["again"]]);
    assert.throws(() => feed.take(6, new TextEncoder().encode("<html>")), /no size line/);
});

test("set bodies quote with the quote the value lacks", () => {
    assert.equal(setBody("MemPersistent", "FocusTorque", "3"), '{"MemPersistent": {"FocusTorque": "3"}}');
    assert.equal(setBody("MemCamera", "CamSpeedList", "25", { index: 1, name: "CamSpeed" }),
                 '{"MemCamera": {"CamSpeedList": {"Index": 1, "CamSpeed": "25"}}}');
    assert.equal(quote('say "hi"'), `'say "hi"'`);
    assert.throws(() => quote(`it's "x"`), /both kinds of quote/);
});

test("the read-back tells what the device kept when it is not what was sent", () => {
    const note = (kind, sent, type, value, extra) => keptNote(kind, sent, { type, value, ...extra });
    assert.deepEqual(
        [note("string", "x", "string", "x"), note("string", "Lens Controller wit!", "string", "Lens")],
        [null, "device kept 'Lens' (5-byte text)"]);
    assert.equal(note("enum", "Nope", "Axis", "Focus", { textid: ["Focus"] }), "device kept 'Focus'");
    assert.equal(note("number", "abc", "int", "3"), "device kept 3");
    assert.equal(note("buffer", "FF", "string", "ff00", { max: "2" }), null);
    // A float is kept in single precision and printed with six decimals: the same up to either.
    assert.equal(note("number", "29.5", "float", "29.500000"), null);
    assert.equal(note("number", "0.1234567", "float", "0.123457"), null);
    assert.equal(note("number", "16777217", "float", "16777216.000000"), null);
    assert.equal(note("number", "2.5", "float", "2.000000"), "device kept 2.000000");
    assert.match(keptNote("number", "1", undefined), /could not be read back/);
});

test("the search finds names, record fields and values, with where they are", () => {
    const v = (value) => ({ type: "string", value });
    const state = {
        MemA: { UpdateFileName: v("x"), Motor: { CalRequest: v("false"), Colour: v("Orange") } },
        MemB: { List: [{ Name: v("plain") }, { Name: v("orange peel") }], Other: v("ORANGE") },
    };
    const found = (q, limit) => search(state, q, limit);
    assert.deepEqual(found("updatefile").hits, [{ block: "MemA", name: "UpdateFileName", match: "name" }]);
    assert.deepEqual(
        found("calrequest").hits,
        [{ block: "MemA", name: "Motor", index: 0, field: "CalRequest", array: false, match: "field" }]);
    assert.deepEqual(found("orange").hits.map((h) => [h.name, h.index, h.field]),
                     [["Motor", 0, "Colour"], ["List", 1, "Name"], ["Other", undefined, undefined]]);
    assert.deepEqual(found("memb").hits.map((h) => h.name), ["List", "Other"]);
    assert.deepEqual(
        [...found("updatefile").hits, ...found("orange").hits].map(hitPath),
        ["MemA › UpdateFileName", "MemA › Motor › Colour", "MemB › List › [1] Name", "MemB › Other"]);
    assert.deepEqual([found("orange", 1).hits.length, found("orange", 1).more], [1, 2]);
    assert.deepEqual(found("  ").hits, []);
});

test("failures and states are told in words: statuses, the service's errors, not a web server's page", () => {
    assert.equal(answerFailure(502, "", "<html><body>502 Bad Gateway</body></html>"), "502 Bad Gateway");
    assert.equal(answerFailure(500, "Internal Server Error", '{"result": 0, "error": "no broker"}'),
                 "500 Internal Server Error: no broker");
    assert.equal(failureText(new TypeError("Failed to fetch")), "no connection to the device");
    // A service action ends its request without an answer: the web server's 502 is its success.
    assert.equal(actionError(502, "<html>Bad Gateway</html>"), null);
    assert.equal(actionError(200, ""), null);
    assert.equal(actionError(400, '{"result": 0, "error": "parse error"}', "Bad Request"),
                 "400 Bad Request: parse error");
    assert.equal(checkCloseFocus(" 0.45 "), "0.45");
    for (const wrong of ["-1", "1e3"]) assert.throws(() => checkCloseFocus(wrong), /not a close-focus value/);
    // A host update reports no progress: no "Success 0 %", and a bar without a figure while it runs.
    assert.deepEqual(updateView("NoFileSelected", 0, false),
                     { text: "No file selected", percent: null, bar: 0 });
    assert.deepEqual(updateView("InProgress", 0, true), { text: "In progress", percent: null, bar: null });
    assert.deepEqual(updateView("Success", 0, true), { text: "Success", percent: null, bar: 100 });
    assert.deepEqual(updateView("InProgress", 35, false), { text: "In progress", percent: 35, bar: 35 });
});

test("names, sizes, limits and colours are made readable", () => {
    // Capitals stay together, a digit follows a lower-case letter as a word of its own.
    const named = ["AUXMotor", "ServiceMode1WireRingLabel", "P2400"].map((n) => words(n));
    assert.deepEqual(named, ["AUX motor", "Service mode 1Wire ring label", "P2400"]);
    assert.equal(words("MemPersistent", { block: true }), "Persistent");
    assert.deepEqual([999, 300e6, 4048125952].map(bytes), ["999 bytes", "300 MB", "4.05 GB"]);
    // A limit that is only the type's own end says nothing, nor the "0 … 0" the tree prints for no limits.
    const limits = (type, min, max) => shownLimits({ type, min, max, value: "0" });
    assert.equal(limits("float", "-1e+38", "1e+38"), null);
    assert.equal(limits("int", "-2147483648", "2147483647"), null);
    assert.equal(limits("int", "0", "0"), null);
    assert.equal(limitsText(limits("int", "0", "2147483647")), "≥ 0");
    assert.equal(limitsText(limits("int", "1", "4")), "1 … 4");
    const torque = (value) => outsideLimits({ type: "int", min: "1", max: "4", value });
    assert.deepEqual([torque("9"), torque("4")], [true, false]);
    // The terminal's dark red (2.4:1 on the log's background) is lightened just enough to be read: #c85959 is
    // the first step toward white that reaches 4.5:1. A colour that can be read already stays.
    assert.deepEqual([readable("#AA0000", "#0d1117"), readable("#FFFF55", "#0d1117")],
                     ["#c85959", "#ffff55"]);
});

test("the heartbeat: stalled on a beat unanswered, lost on a failed request, back at the next answer", () => {
    const live = new Liveness();
    assert.equal(live.state, "connecting");
    assert.equal(live.timedOut("no answer within 3 s"), "connecting");
    assert.deepEqual([live.state, live.why], ["stalled", "no answer within 3 s"]);
    assert.equal(live.answered(1000), "stalled");
    assert.ok(Liveness.isBack("stalled", live.state));
    assert.equal(live.answered(2000), null); // still live: nothing to reload
    assert.equal(live.failed("502 Bad Gateway"), "live");
    assert.equal(live.timedOut("no answer"), null); // a lost service stays lost until it answers
    assert.deepEqual([live.state, live.seen, Liveness.isBack(live.answered(9000), "live")],
                     ["lost", 2000, true]);
    assert.ok(!Liveness.isBack("connecting", "live"));
});

test("the watch list's plot: steps up to now, limits worth drawing, a time axis, a bounded history", () => {
    const p = plot([[0, 1], [500, 3]], { min: 0, max: 4 }, 20000, 20000, 100, 40);
    assert.deepEqual([p.low, p.high, p.points], [0, 4, "0,30 2.5,30 2.5,10 100,10"]);
    assert.deepEqual(p.limits.map((l) => [l.value, l.y]), [[0, 40], [4, 0]]);
    assert.deepEqual(p.ticks.map((t) => [t.x, t.label]),
                     [[100, "now"], [75, "−5 s"], [50, "−10 s"], [25, "−15 s"], [0, "−20 s"]]);
    // A history shorter than the window fills the plot; one longer is cut at the window.
    const young = plot([[50000, 7], [58000, 8]], null, 60000, 300000, 100, 40);
    assert.deepEqual([young.from, young.points.split(" ")[0]], [50000, "0,40"]);
    assert.equal(plot([[0, 7]], null, 600000, 60000, 100, 40).from, 540000);
    assert.deepEqual([valueAt([[0, 1], [10, 2]], 5), valueAt([[0, 1], [10, 2]], -1)], [1, undefined]);
    const history = Array.from({ length: 10 }, (_, i) => [i, i]);
    assert.deepEqual(bound(history, 10, 8).map(([t]) => t), [0, 2, 4, 5, 6, 7, 8, 9]);
    assert.deepEqual(bound([[0, 1], [1, 2], [2e6, 3]], 2e6 + 1000).map(([t]) => t), [1, 2e6]);
    for (const path of ["MemA.X", "MemM.FocusMotor.ActPosition", "MemC.List[3].Speed"])
        assert.equal(pathOf(parsePath(path)), path);
    assert.equal(parsePath("MemA"), null);
});

test("edited values are checked against the printed type and limits", () => {
    const torque = { max: "4", min: "1", type: "int", value: "2" };
    assert.equal(checkInput(torque, "number", " 3 "), "3");
    for (const [text, why] of [["5", /outside 1 … 4/], ["2.5", /whole number/], ["abc", /not a number/]])
        assert.throws(() => checkInput(torque, "number", text), why);
    const speed = { max: "1e+38", min: "-1e+38", type: "float", value: "24.000000" };
    assert.equal(checkInput(speed, "number", "-2.5e3"), "-2.5e3");
    const flags = { max: "2", min: "0", type: "string", value: "0aff" };
    assert.equal(checkInput(flags, "buffer", "ff00"), "ff00");
    assert.throws(() => checkInput(flags, "buffer", "fff"), /pairs of hex/);
    assert.throws(() => checkInput(flags, "buffer", "ff00ff"), /at most 4/);
    // A string without a length is text, however its value looks.
    const kinds = [
        torque, flags, {...flags, max: "0" }, { value: "Warn", type: "LogLevel", textid: ["Warn"] },
        { value: "true", type: "bool", textid: ["false", "true"] }, { F: torque }, new Broken("x")
    ];
    assert.deepEqual(kinds.map(kindOf), ["number", "buffer", "string", "enum", "bool", "record", "broken"]);
});
