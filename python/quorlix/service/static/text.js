// Text from a model or a database, shown so that what a person reads is what is there.
//
// Such text may carry characters that change how the rest reads without showing themselves:
// a right-to-left override makes "invoice\u202Egnp.exe" read "invoiceexe.png", zero-width
// characters hide inside names, control characters vanish. As code review tools do, each is
// shown as a small marked code ("U+202E") in place of the character, so it neither acts nor
// hides; its name is in the marker's title. Every value is also isolated (dir="auto"), so a
// value in a right-to-left script reads correctly and cannot reorder what stands around it.
// Everything is put in as text nodes, never parsed as markup.

const NAMES = {
  0x00ad: "SOFT HYPHEN",
  0x034f: "COMBINING GRAPHEME JOINER",
  0x061c: "ARABIC LETTER MARK",
  0x115f: "HANGUL CHOSEONG FILLER",
  0x1160: "HANGUL JUNGSEONG FILLER",
  0x180e: "MONGOLIAN VOWEL SEPARATOR",
  0x200b: "ZERO WIDTH SPACE",
  0x200c: "ZERO WIDTH NON-JOINER",
  0x200d: "ZERO WIDTH JOINER",
  0x200e: "LEFT-TO-RIGHT MARK",
  0x200f: "RIGHT-TO-LEFT MARK",
  0x2028: "LINE SEPARATOR",
  0x2029: "PARAGRAPH SEPARATOR",
  0x202a: "LEFT-TO-RIGHT EMBEDDING",
  0x202b: "RIGHT-TO-LEFT EMBEDDING",
  0x202c: "POP DIRECTIONAL FORMATTING",
  0x202d: "LEFT-TO-RIGHT OVERRIDE",
  0x202e: "RIGHT-TO-LEFT OVERRIDE",
  0x2060: "WORD JOINER",
  0x2061: "FUNCTION APPLICATION",
  0x2062: "INVISIBLE TIMES",
  0x2063: "INVISIBLE SEPARATOR",
  0x2064: "INVISIBLE PLUS",
  0x2066: "LEFT-TO-RIGHT ISOLATE",
  0x2067: "RIGHT-TO-LEFT ISOLATE",
  0x2068: "FIRST STRONG ISOLATE",
  0x2069: "POP DIRECTIONAL ISOLATE",
  0x3164: "HANGUL FILLER",
  0xfeff: "ZERO WIDTH NO-BREAK SPACE",
  0xffa0: "HALFWIDTH HANGUL FILLER",
};

// Controls (tab and line feed excepted: they lay text out), the characters named above, the
// deprecated format characters, interlinear annotation marks and tag characters (which can
// spell out hidden text).
const HIDDEN = new RegExp(
  String.raw`[\u0000-\u0008\u000B-\u001F\u007F-\u009F\u00AD\u034F\u061C\u115F\u1160\u180E` +
    String.raw`\u200B-\u200F\u2028-\u202E\u2060-\u2064\u2066-\u206F\u3164\uFEFF\uFFA0` +
    String.raw`\uFFF9-\uFFFB\u{E0000}-\u{E007F}]`,
  "gu",
);
// A joiner between two emoji builds one picture (a family, a flag): it is left to do so.
const PICTURE = /[\p{Extended_Pictographic}\p{Emoji_Modifier}\uFE0F]/u;

function code(point) {
  return `U+${point.toString(16).toUpperCase().padStart(4, "0")}`;
}

function marker(character) {
  const point = character.codePointAt(0);
  const span = document.createElement("span");
  span.className = "hidden-char";
  span.textContent = code(point);
  const name = NAMES[point] || (point < 0xa0 ? "CONTROL CHARACTER" : "INVISIBLE CHARACTER");
  span.title = `${code(point)} ${name}`;
  return span;
}

function joinsPictures(text, index) {
  const before = text.slice(Math.max(0, index - 2), index);
  const after = text.slice(index + 1, index + 3);
  return PICTURE.test(before) && PICTURE.test(after);
}

// The nodes that show ``text``: text nodes, and a marker for each hidden character.
export function textNodes(text) {
  const value = String(text).replace(/\r\n/g, "\n");
  const fragment = document.createDocumentFragment();
  let at = 0;
  for (const match of value.matchAll(HIDDEN)) {
    if (match[0] === "\u200d" && joinsPictures(value, match.index)) continue;
    if (match.index > at) fragment.append(value.slice(at, match.index));
    fragment.append(marker(match[0]));
    at = match.index + match[0].length;
  }
  if (at < value.length) fragment.append(value.slice(at));
  return fragment;
}

// Puts ``text`` into ``target`` in place of what it held, isolated in its own direction.
export function showText(target, text) {
  target.dir = "auto";
  target.replaceChildren(textNodes(text));
}

// ``text`` as an isolated inline piece, to stand among other text.
export function isolated(text) {
  const piece = document.createElement("bdi");
  piece.append(textNodes(text));
  return piece;
}
