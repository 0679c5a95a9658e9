// tests/interop/vorl.mjs: a VORL writer and reader in JavaScript, a peer that keeps its
// text as UTF-16. String lengths and indices here are UTF-16 code units already, so
// lengths and positions are this language's own.

export const HEX = "0123456789abcdef";
export const END_OF_INPUT = "Unexpected end of input";

// Rows (arrays of strings) -> one VORL text.
export function stringify(rows) {
  const pieces = [];
  for (const row of rows) {
    for (const item of row) {
      if (typeof item !== "string") throw new TypeError("VORL items are strings");
      const lengthField = String(item.length);
      pieces.push(HEX[lengthField.length - 1], lengthField, item);
    }
    pieces.push(";");
  }
  return pieces.join("");
}

function tokenError(unit, position) {
  return new SyntaxError(`Unexpected token '${unit}' at position ${position}`);
}

function endError() {
  return new SyntaxError(END_OF_INPUT);
}

// Number of length characters announced by an H digit (a code point), or -1.
function hDigits(code) {
  if (code >= 0x30 && code <= 0x39) return code - 0x2f;
  // Clearing bit 0x20 folds 'a'-'f' onto 'A'-'F' and moves no other code point there.
  const upper = code & ~0x20;
  if (upper >= 0x41 && upper <= 0x46) return upper - 0x36;
  return -1;
}

function digitValue(code) {
  return code >= 0x30 && code <= 0x39 ? code - 0x30 : -1;
}

// A text holding a character above U+FFFF, i.e. a surrogate pair, is read by the wide
// rules; any other text, lone surrogates included, by the narrow rules.
const SURROGATE_PAIR = /[\uD800-\uDBFF][\uDC00-\uDFFF]/;

// One VORL text -> rows, or a SyntaxError with the message and UTF-16 position.
export function parse(text) {
  if (text.length === 0) throw endError();
  return SURROGATE_PAIR.test(text) ? parseWide(text) : parseNarrow(text);
}

// Every code unit is a character: positions and lengths are plain indices.
function parseNarrow(text) {
  const length = text.length;
  const rows = [];
  let row = [];
  let i = 0;
  for (;;) {
    const ch = text.charCodeAt(i);
    if (ch === 0x3b) {
      rows.push(row);
      if (i + 1 === length) return rows;
      row = [];
      i += 1;
      continue;
    }
    const count = hDigits(ch);
    if (count < 0) throw tokenError(text[i], i);
    // The length field and one character after it must fit before any is looked at.
    const start = i + 1 + count;
    if (start >= length) throw endError();
    let n = 0;
    for (let j = i + 1; j < start; j++) {
      const d = digitValue(text.charCodeAt(j));
      if (d < 0) throw tokenError(text[j], j);
      n = n * 10 + d;
    }
    // Beyond 2^53 n is inexact, but then it is far past any string's length anyway.
    const end = start + n;
    if (end >= length) throw endError();
    row.push(text.slice(start, end));
    i = end;
  }
}

// Characters above U+FFFF are two code units. Positions are code-unit indices; the bound
// before a length field counts characters, and a payload end that splits a character is
// reported at its low surrogate.
function parseWide(text) {
  const length = text.length;
  const rows = [];
  let row = [];
  let pos = 0;
  for (;;) {
    const ch = text.codePointAt(pos);
    if (ch === 0x3b) {
      rows.push(row);
      pos += 1;
      if (pos === length) return rows;
      row = [];
      continue;
    }
    const count = hDigits(ch);
    if (count < 0) throw tokenError(String.fromCodePoint(ch), pos);
    pos += 1;
    if (charactersFrom(text, pos, count) < count) throw endError();
    let target = 0;
    for (let k = 0; k < count; k++) {
      const c = text.codePointAt(pos);
      const d = digitValue(c);
      if (d < 0) throw tokenError(String.fromCodePoint(c), pos);
      target = target * 10 + d;
      pos += 1;
    }
    const start = pos;
    let taken = 0;
    while (taken < target) {
      if (pos >= length) throw endError();
      const units = text.codePointAt(pos) > 0xffff ? 2 : 1;
      pos += units;
      taken += units;
    }
    if (taken > target) throw tokenError(text[pos - 1], start + target);
    if (pos >= length) throw endError();
    row.push(text.slice(start, pos));
  }
}

// How many characters (a surrogate pair is one) follow `pos`, counting at most `limit`.
function charactersFrom(text, pos, limit) {
  let count = 0;
  while (count < limit && pos < text.length) {
    pos += text.codePointAt(pos) > 0xffff ? 2 : 1;
    count += 1;
  }
  return count;
}
