// The console's readers and checks without a browser: the lenient JSON reader on the shapes the service really
// sends, the log's span reader, the set-request bodies and the editors' input checks.
import { test } from "node:test";
import assert from "node:assert/strict";
import { parseLenient, Broken } from "../../sim/console/js/lenient-json.js";
import { logRuns, splitAnswer } from "../../sim/console/js/log.js";
import { setBody, quote } from "../../sim/console/js/api.js";
import { kindOf, checkInput, visible } from "../../sim/console/js/tree.js";

const int = (v) => `{"max":"4","min":"1","type":"int","value":"${v}"}`;
const tree = (blocks) => `{\r\n"id": 3,\r\n"variables": {${blocks}}}\r\n`;

test("a strict tree reads as it is, blocks and variables in order", () => {
    const { value, problems } = parseLenient(tree(`"MemA" : {"X" : ${int(2)},"Y" : []},"MemB" : {}`));
    assert.deepEqual(problems, []);
    assert.equal(value.id, 3);
    assert.deepEqual(Object.keys(value.variables), ["MemA", "MemB"]);
    assert.equal(value.variables.MemA.X.value, "2");
    assert.deepEqual(value.variables.MemA.Y, []);
});

test("values the service could not print are marked, and their neighbours survive", () => {
    // The message is not escaped by the service, so it may hold quotes of its own.
    const text = tree(`"MemA" : {"X" : "ERROR": "Value "9" is not an entry of Axis","Y" : ${int(1)}},` +
        `"MemB" : {"L" : [{"F": ${int(1)}},"ERROR": "element 1: out of range",{"F": ${int(3)}}]}`);
    const { value, problems } = parseLenient(text);
    assert.deepEqual(problems, []);
    assert.ok(value.variables.MemA.X instanceof Broken);
    assert.equal(value.variables.MemA.X.message, 'Value "9" is not an entry of Axis');
    assert.equal(value.variables.MemA.Y.value, "1");
    const list = value.variables.MemB.L;
    assert.equal(list.length, 3);
    assert.ok(list[1] instanceof Broken);
    assert.equal(list[2].F.value, "3");
});

test("raw control characters in record strings are kept", () => {
    const { value, problems } = parseLenient(tree(`"MemA" : {"R" : [{"Name": {"value":"a\u0001b\tc\r\nd", "type": "string" }}]}`));
    assert.deepEqual(problems, []);
    assert.equal(value.variables.MemA.R[0].Name.value, "a\u0001b\tc\r\nd");
    assert.equal(visible("a\u0001b\tc"), "a\u2401b\u2409c");
    // Escapes are decoded, a quote escaped by the service included.
    assert.equal(parseLenient(String.raw`{"a" : "say \"hi\" \u0041\\ \q"}`).value.a, 'say "hi" A\\ \\q');
});

test("a member that cannot be read is skipped to the next variable or block", () => {
    // A record cut off inside: the reader resumes at the next `"Name" : ` member.
    const broken = tree(`"MemA" : {"R" : {"F": {"value": "x" "y"},"G" : ${int(2)}},"MemB" : {"H" : ${int(3)}}`);
    const { value, problems } = parseLenient(broken);
    assert.equal(problems.length, 1);
    assert.ok(value.variables.MemA.R instanceof Broken);
    assert.equal(value.variables.MemA.G.value, "2");
    assert.equal(value.variables.MemB.H.value, "3");
    // A block closed right after the broken value: the next block is a block again, not a variable of this one.
    const closed = parseLenient(tree(`"MemA" : {"R" : {"F": [1 2]}},"MemB" : {"H" : ${int(3)}}`));
    assert.deepEqual(Object.keys(closed.value.variables), ["MemA", "MemB"]);
    assert.equal(closed.value.variables.MemB.H.value, "3");
});

test("a cut-off answer gives what came before the cut", () => {
    const { value, problems } = parseLenient(tree(`"MemA" : {"X" : ${int(2)},"Y" : {"max":"4","mi`).slice(0, -3));
    assert.ok(problems.length > 0);
    assert.equal(value.variables.MemA.X.value, "2");
    assert.equal(parseLenient("").value, undefined);
});

test("a block that an update answer names twice keeps the variables of both", () => {
    const update = `{\r\n"id": 4,\r\n"errors": [],\r\n"variables": {\r\n  "MemA" : {\r\n    "X" : ${int(1)}\r\n  }, ` +
        `\r\n  "MemB" : {\r\n    "Z" : ${int(2)}\r\n  }, \r\n  "MemA" : {\r\n    "Y" : ${int(3)}\r\n  }\r\n}\r\n}\r\n`;
    const { value, problems } = parseLenient(update);
    assert.deepEqual(problems, []);
    assert.deepEqual(Object.keys(value.variables.MemA), ["X", "Y"]);
    assert.deepEqual(value.errors, []);
});

test("log text becomes coloured runs; unknown styles and markup stay harmless", () => {
    const open = [];
    const runs = logRuns("a<span style='color: #AA0000'>red <b>x</b><span style=''>still red</span></span>plain" +
        "<span style='background-color: #0000AA'>blue", open);
    assert.deepEqual(runs.map((r) => [r.text, r.style.color ?? r.style["background-color"] ?? ""]), [
        ["a", ""], ["red <b>x</b>", "#AA0000"], ["still red", "#AA0000"], ["plain", ""], ["blue", "#0000AA"]]);
    // The span left open continues into the next answer; a stray close does not fail.
    assert.equal(logRuns("more</span></span>after", open)[0].style["background-color"], "#0000AA");
    assert.deepEqual(logRuns("after", open)[0].style, {});
    assert.deepEqual(logRuns("<span style='color: red; x: url(y)'>z", [])[0].style, {});
});

test("the log answer's size line is split from the bytes after it", () => {
    const bytes = new TextEncoder().encode("1234\r\nä line\n");
    const { size, data } = splitAnswer(bytes);
    assert.equal(size, 1234);
    assert.equal(new TextDecoder().decode(data), "ä line\n");
    assert.equal(data.length, 8);
    assert.equal(splitAnswer(new TextEncoder().encode("0\r\n")).data.length, 0);
});

test("set bodies quote with the quote the value lacks", () => {
    assert.equal(setBody("MemPersistent", "FocusTorque", "3"), '{"MemPersistent": {"FocusTorque": "3"}}');
    assert.equal(setBody("MemCamera", "CamSpeedList", "25", { index: 1, name: "CamSpeed" }),
        '{"MemCamera": {"CamSpeedList": {"Index": 1, "CamSpeed": "25"}}}');
    assert.equal(quote('say "hi"'), `'say "hi"'`);
    assert.throws(() => quote(`it's "x"`), /both kinds of quote/);
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
