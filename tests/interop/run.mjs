// tests/interop/run.mjs: the JavaScript peer over stdin/stdout.
// Reads one JSON request {"stringify": [rows, ...], "parse": [text, ...]} and writes
// {"stringify": [text, ...], "parse": [{"rows": rows} or {"error": message}, ...]}.
// Lone surrogates travel as \uXXXX escapes, which JSON.stringify writes for them.
import { parse, stringify } from "./vorl.mjs";

function parseOutcome(text) {
  try {
    return { rows: parse(text) };
  } catch (error) {
    if (!(error instanceof SyntaxError)) throw error;
    return { error: error.message };
  }
}

const chunks = [];
for await (const chunk of process.stdin) chunks.push(chunk);
const request = JSON.parse(Buffer.concat(chunks).toString("utf8"));
const reply = {
  stringify: (request.stringify ?? []).map(stringify),
  parse: (request.parse ?? []).map(parseOutcome),
};
process.stdout.write(JSON.stringify(reply));
