// The console's lenient reader against the browser's JSON.parse (the baseline) on answers taken from the
// running simulated device: the whole tree (strict JSON on that device) and the same tree with the shapes
// only the lenient reader survives. Run by bench/console_reader.sh.
import {readFileSync} from "node:fs";

import {parseLenient} from "../sim/console/js/lenient-json.js";

const tree = readFileSync(process.argv[2], "latin1");
const broken = tree.replace(/"KnobAssignment" : \{[^}]*\}/,
                            '"KnobAssignment" : "ERROR": "Value "9" is not an entry of "Axis""')
                   .replace(/"RadioChannel" : \{/, '"RadioChannel" : {"Cut": [1 2 ');

function time(name, fn, text) {
    for (let i = 0; i < 3; i++) fn(text); // warm-up
    const runs = 20;
    const start = process.hrtime.bigint();
    for (let i = 0; i < runs; i++) fn(text);
    const ms = Number(process.hrtime.bigint() - start) / 1e6 / runs;
    return { name, ms };
}

const base = time("JSON.parse, strict tree (baseline)", JSON.parse, tree);
const rows = [
    base, time("parseLenient, strict tree", parseLenient, tree),
    time("parseLenient, broken tree", parseLenient, broken)
];
let failed = false;
try {
    JSON.parse(broken);
} catch {
    failed = true;
}
console.log(`tree: ${tree.length} bytes; JSON.parse of the broken tree ${failed ? "fails" : "succeeds"}`);
for (const r of rows)
    console.log(`${r.name.padEnd(40)} ${r.ms.toFixed(1).padStart(7)} ms  ${(r.ms / base.ms).toFixed(2)}x`);
