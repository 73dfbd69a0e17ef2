// The console's readers and checks without a browser: the lenient JSON reader on the shapes the service
// really sends, the log's readers and filters, the set-request bodies, the editors' input checks and
// read-back, the search, the service actions' answers and the watch list's plot.
import assert from "node:assert/strict";
import {test} from "node:test";

import {quote, setBody} from "../../sim/console/js/api.js";
import {Broken, parseLenient} from "../../sim/console/js/lenient-json.js";
import {cap, logLines, logRuns, parseLine, passes, splitAnswer} from "../../sim/console/js/log.js";
import {hitPath, search} from "../../sim/console/js/search.js";
import {actionError, checkCloseFocus} from "../../sim/console/js/service.js";
import {checkInput, keptNote, kindOf, visible} from "../../sim/console/js/values.js";
import {parsePath, pathOf, plot} from "../../sim/console/js/watch.js";

const int = (v) => `{"max":"4","min":"1","type":"int","value":"${v}"}`;
const tree = (blocks) => `{\r\n"id": 3,\r\n"errors": [],\r\n"variables": {${blocks}}}\r\n`;

test("a tree reads in order, values the service could not print marked in place, raw controls kept", () => {
    // The message is not escaped by the service, so it may hold quotes of its own. An update answer names a
    // block twice when its changed variables are not contiguous.
    const { value, problems } = parseLenient(
        tree(`"MemA" : {"X" : "ERROR": "Value "9" is not an entry of Axis","Y" : ${int(1)},"E" : []},\r\n  ` +
             `"MemB" : {"L" : [{"F": ${int(1)}},"ERROR": "element 1: out of range",{"F": ${int(3)}}]}, ` +
             `"MemA" : {"R" : [{"Name": {"value":"a\u0001b\tc\r\nd", "type": "string" }}]}`));
    assert.deepEqual(problems, []);
    assert.deepEqual([value.id, value.errors], [3, []]);
    const { MemA, MemB } = value.variables;
    assert.deepEqual(Object.keys(value.variables), ["MemA", "MemB"]);
    assert.deepEqual(Object.keys(MemA), ["X", "Y", "E", "R"]);
    assert.ok(MemA.X instanceof Broken && MemB.L[1] instanceof Broken);
    assert.equal(MemA.X.message, 'Value "9" is not an entry of Axis');
    assert.deepEqual([MemA.Y.value, MemA.E, MemB.L.length, MemB.L[2].F.value], ["1", [], 3, "3"]);
    assert.equal(MemA.R[0].Name.value, "a\u0001b\tc\r\nd");
    assert.equal(visible("a\u0001b\tc"), "a\u2401b\u2409c");
    // Escapes are decoded, a quote escaped by the service included.
    assert.equal(parseLenient(String.raw`{"a" : "say \"hi\" \u0041\\ \q"}`).value.a, 'say "hi" A\\ \\q');
});

test("what cannot be read is skipped to the next variable or block, and a cut gives what came before", () => {
    // A record cut off inside: the reader resumes at the next `"Name" : ` member.
    const broken = parseLenient(
        tree(`"MemA" : {"R" : {"F": {"value": "x" "y"},"G" : ${int(2)}},"MemB" : {"H" : ${int(3)}}`));
    assert.equal(broken.problems.length, 1);
    assert.ok(broken.value.variables.MemA.R instanceof Broken);
    assert.deepEqual([broken.value.variables.MemA.G.value, broken.value.variables.MemB.H.value], ["2", "3"]);
    // A block closed right after the broken value: the next block is a block again, not a variable of this.
    const closed = parseLenient(tree(`"MemA" : {"R" : {"F": [1 2]}},"MemB" : {"H" : ${int(3)}}`));
    assert.deepEqual(Object.keys(closed.value.variables), ["MemA", "MemB"]);
    assert.equal(closed.value.variables.MemB.H.value, "3");
    const cut = parseLenient(tree(`"MemA" : {"X" : ${int(2)},"Y" : {"max":"4","mi`).slice(0, -3));
    assert.ok(cut.problems.length > 0);
    assert.equal(cut.value.variables.MemA.X.value, "2");
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

test("log lines are read for time stamp, writer and level, filtered, and capped", () => {
    const partial = [];
    const text =
        "[   12.345678]           service  Error         requesthandler.cpp: 314 failed\n" +
        "      message-broker  DebugAll           eventpoll.cpp: 152 Call\nonewire-tool: ring written\nhalf";
    const lines = logLines(logRuns(text, []), partial).map((l) => ({...l, ...parseLine(l.text) }));
    assert.deepEqual(
        lines.map((l) => [l.time, l.program, l.level]),
        [[12.345678, "service", "Error"], [null, "message-broker", "DebugAll"], [null, "onewire-tool", ""]]);
    // The unended line waits for the rest, its colour with it.
    const [rest] = logLines(logRuns("<span style='color: #AA0000'> line\n", []), partial);
    assert.equal(rest.text, "half line");
    assert.deepEqual(rest.runs.map((r) => r.style.color), [undefined, "#AA0000"]);
    assert.deepEqual(parseLine("usb 1-1: new device"), { time: null, program: "", level: "" });
    const shown = (f) => lines.filter((l) => passes(l, f)).map((l) => l.program);
    assert.deepEqual(shown({ program: "service" }), ["service"]);
    assert.deepEqual(shown({ level: "Warn" }), ["service", "onewire-tool"]); // a line without a level passes
    assert.deepEqual(shown({ text: "CALL" }), ["message-broker"]);
    const kept = [1, 2, 3, 4, 5];
    assert.deepEqual([cap(kept, 3), kept], [[1, 2], [3, 4, 5]]);
    // The log answer's size line is split from the bytes after it.
    const { size, data } = splitAnswer(new TextEncoder().encode("1234\r\nä line\n"));
    assert.deepEqual([size, new TextDecoder().decode(data)], [1234, "ä line\n"]);
    assert.equal(splitAnswer(new TextEncoder().encode("0\r\n")).data.length, 0);
});

test("set bodies quote with the quote the value lacks", () => {
    assert.equal(setBody("MemPersistent", "FocusTorque", "3"), '{"MemPersistent": {"FocusTorque": "3"}}');
    assert.equal(setBody("MemCamera", "CamSpeedList", "25", { index: 1, name: "CamSpeed" }),
                 '{"MemCamera": {"CamSpeedList": {"Index": 1, "CamSpeed": "25"}}}');
    assert.equal(quote('say "hi"'), `'say "hi"'`);
    assert.throws(() => quote(`it's "x"`), /both kinds of quote/);
});

test("the read-back tells what the device kept when it is not what was sent", () => {
    const desc = (type, value, extra = {}) => ({ type, value, ...extra });
    assert.equal(
        keptNote("string", "Lens Controller with a long name", desc("string", "Lens Controller wit")),
        "device kept 'Lens Controller wit' (20-byte text)");
    assert.equal(keptNote("string", "x", desc("string", "x")), null);
    assert.equal(keptNote("enum", "Nope", desc("Axis", "Focus", { textid: ["Focus"] })),
                 "device kept 'Focus'");
    assert.equal(keptNote("number", "abc", desc("int", "3")), "device kept 3");
    assert.equal(keptNote("bool", "yes", desc("bool", "false")), "device kept 'false'");
    // A float is kept in single precision and printed with six decimals.
    assert.equal(keptNote("number", "29.5", desc("float", "29.500000")), null);
    assert.equal(keptNote("number", "0.1234567", desc("float", "0.123457")), null);
    assert.equal(keptNote("number", "16777217", desc("float", "16777216.000000")), null);
    assert.equal(keptNote("number", "2.5", desc("float", "2.000000")), "device kept 2.000000");
    assert.equal(keptNote("buffer", "FF", desc("string", "ff00", { max: "2" })), null);
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

test("service actions: a close-focus value as the tool takes it; an unanswered request is no error", () => {
    assert.equal(checkCloseFocus(" 0.45 "), "0.45");
    for (const wrong of ["-1", "1e3"]) assert.throws(() => checkCloseFocus(wrong), /not a close-focus value/);
    assert.equal(actionError(502, "<html>Bad Gateway</html>"), null);
    assert.equal(actionError(200, ""), null);
    assert.equal(actionError(400, '{"result": 0, "error": "parse error"}'), "400: parse error");
    assert.equal(actionError(404, "nothing here"), "HTTP 404: nothing here");
});

test("the watch list's plot spans the values and their limits, in steps up to now", () => {
    const p = plot([[0, 1], [500, 3]], { min: 0, max: 4 }, 1000, 1000, 100, 40);
    assert.deepEqual([p.low, p.high, p.points], [0, 4, "0,30 50,30 50,10 100,10"]);
    assert.deepEqual(p.limits.map((l) => [l.value, l.y]), [[0, 40], [4, 0]]);
    // A float's limits are its type's extremes: not drawn, the range is the values'.
    const f = plot([[0, 16.1], [600, 16.3]], { min: -1e38, max: 1e38 }, 1000, 1000, 100, 40);
    assert.deepEqual([f.low, f.high, f.limits], [16.1, 16.3, []]);
    // A sample older than the span holds at the left edge; one value alone gets a range around it.
    const old = plot([[-5000, 7]], null, 1000, 1000, 100, 40);
    assert.deepEqual([old.points, old.low, old.high], ["0,20 100,20", 6, 8]);
    for (const path of ["MemA.X", "MemM.FocusMotor.ActPosition", "MemC.List[3].Speed"])
        assert.equal(pathOf(parsePath(path)), path);
    assert.equal(parsePath("MemA"), null);
});

test("edited values are checked against the printed type and limits", () => {
    const torque = { max: "4", min: "1", type: "int", value: "2" };
    assert.equal(kindOf(torque), "number");
    assert.equal(checkInput(torque, "number", " 3 "), "3");
    assert.throws(() => checkInput(torque, "number", "5"), /outside 1 … 4/);
    assert.throws(() => checkInput(torque, "number", "2.5"), /whole number/);
    assert.throws(() => checkInput(torque, "number", "abc"), /not a number/);
    const speed = { max: "1e+38", min: "-1e+38", type: "float", value: "24.000000" };
    assert.equal(checkInput(speed, "number", "-2.5e3"), "-2.5e3");
    const flags = { max: "2", min: "0", type: "string", value: "0aff" };
    assert.equal(kindOf(flags), "buffer");
    assert.equal(checkInput(flags, "buffer", "ff00"), "ff00");
    assert.throws(() => checkInput(flags, "buffer", "fff"), /pairs of hex/);
    assert.throws(() => checkInput(flags, "buffer", "ff00ff"), /at most 4/);
    assert.equal(kindOf({ max: "0", min: "0", type: "string", value: "0a" }), "string");
    assert.equal(kindOf({ value: "Warn", type: "LogLevel", textid: ["Warn"] }), "enum");
    assert.equal(kindOf({ value: "true", type: "bool", textid: ["false", "true"] }), "bool");
    assert.equal(kindOf({ F: torque }), "record");
    assert.equal(kindOf(new Broken("x")), "broken");
});
