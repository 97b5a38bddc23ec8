// Cutting and marking up what the user wrote. Native code carries text as UTF-8, which
// has no room for half of a surrogate pair, so nothing here may split one.
// Pure: no DOM.

const isHigh = (unit) => unit >= 0xd800 && unit <= 0xdbff;

// At most `max` UTF-16 units of text, one fewer where the cut would split a pair.
export function cutText(text, max) {
  const s = String(text);
  if (s.length <= max) return s;
  return s.slice(0, max > 0 && isHigh(s.charCodeAt(max - 1)) ? max - 1 : max);
}

// Text with each unpaired surrogate replaced by U+FFFD, which UTF-8 can carry.
export function wellFormed(text) {
  return String(text).replace(/[\uD800-\uDBFF][\uDC00-\uDFFF]|[\uD800-\uDFFF]/g, (m) => (m.length === 2 ? m : '\uFFFD'));
}

// The text cut into [part, marked] pairs, marked where a word of the query occurs,
// ignoring case. Lower-casing can change a text's length (İ becomes two units), so the
// matches are found in the lower-cased text and mapped back to whole characters.
export function markMatches(text, query) {
  const words = String(query ?? '').toLowerCase().split(/\s+/).filter(Boolean);
  if (!words.length) return [[text, false]];
  let lower = '';
  const from = [];
  const to = [];
  let i = 0;
  for (const ch of text) {
    const lc = ch.toLowerCase();
    for (let k = 0; k < lc.length; k++) {
      from.push(i);
      to.push(i + ch.length);
    }
    lower += lc;
    i += ch.length;
  }
  const parts = [];
  let done = 0;
  let at = 0;
  while (at < lower.length) {
    let best = -1;
    let len = 0;
    for (const w of words) {
      const i = lower.indexOf(w, at);
      if (i !== -1 && (best === -1 || i < best)) {
        best = i;
        len = w.length;
      }
    }
    if (best === -1) break;
    const start = Math.max(from[best], done);
    const end = to[best + len - 1];
    if (end > start) {
      if (start > done) parts.push([text.slice(done, start), false]);
      parts.push([text.slice(start, end), true]);
      done = end;
    }
    at = best + len;
  }
  if (done < text.length || !parts.length) parts.push([text.slice(done), false]);
  return parts;
}
