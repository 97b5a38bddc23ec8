// Gift codes: what a code unlocks, and making codes to give away. A code is the item's
// word, a hyphen, four random letters and two check letters, e.g. COURAGE-7QKM2D.
// Pure: no DOM.

import { facetById, themeById } from './facets.js';
import { hashText } from './synth.js';

export const GIFT_ITEMS = [
  { word: 'COURAGE', kind: 'facet', id: 'courage' },
  { word: 'KINDNESS', kind: 'facet', id: 'kindness' },
  { word: 'AURORA', kind: 'theme', id: 'aurora' },
  { word: 'EMBER', kind: 'theme', id: 'ember' },
];

// No 0/O or 1/I, so a code read aloud or copied by hand survives.
const LETTERS = 'ABCDEFGHJKLMNPQRSTUVWXYZ23456789';

function check(word, nonce) {
  const h = hashText(`lumora-gift|${word}|${nonce}`);
  return LETTERS[h % 32] + LETTERS[(h >>> 5) % 32];
}

// A gift link or a bare code, as typed or pasted.
export function codeFromInput(text) {
  const raw = String(text ?? '').trim();
  const link = /^lumora-gift:[^?]*\?(.*)$/i.exec(raw);
  if (link) {
    for (const part of link[1].split('&')) {
      const [name, value = ''] = part.split('=');
      if (name === 'g') {
        try {
          return decodeURIComponent(value).trim();
        } catch {
          return value.trim();
        }
      }
    }
    return '';
  }
  return raw;
}

// → { item } for a valid code, or { error: 'empty' | 'unknown' }.
export function parseGiftCode(code) {
  const text = String(code ?? '').trim().toUpperCase().replaceAll('_', '-');
  if (!text) return { error: 'empty' };
  const m = /^([A-Z]+)-([A-Z0-9]{4})([A-Z0-9]{2})$/.exec(text);
  if (!m) return { error: 'unknown' };
  const item = GIFT_ITEMS.find((g) => g.word === m[1]);
  if (!item || check(m[1], m[2]) !== m[3]) return { error: 'unknown' };
  return { item, code: text };
}

export function makeGiftCode(itemId, random = Math.random) {
  const item = GIFT_ITEMS.find((g) => g.id === itemId);
  if (!item) return null;
  let nonce = '';
  for (let i = 0; i < 4; i++) nonce += LETTERS[Math.floor(random() * 32) % 32];
  return `${item.word}-${nonce}${check(item.word, nonce)}`;
}

export function giftLink(code) {
  return `lumora-gift://open?g=${code}`;
}

function itemName(item) {
  return item.kind === 'facet' ? facetById(item.id).name : `the ${themeById(item.id).name} theme`;
}

// Applies a received code to the state. Returns the new state and what to tell the user.
export function redeemGift(state, code, now) {
  const parsed = parseGiftCode(code);
  if (parsed.error === 'empty') {
    return { state, ok: false, message: 'That gift link arrived empty. Ask your friend to send it once more.' };
  }
  if (parsed.error) {
    return {
      state,
      ok: false,
      message: "This gift code doesn't open anything we know. Check it with the friend who sent it.",
    };
  }
  const { item } = parsed;
  const list = item.kind === 'facet' ? state.unlocked.facets : state.unlocked.themes;
  const name = itemName(item);
  const gifts = { ...state.gifts, [parsed.code]: state.gifts[parsed.code] ?? { item: item.id, at: now } };
  if (list.includes(item.id)) {
    return {
      state: { ...state, gifts },
      ok: true,
      item,
      message: `${name[0].toUpperCase()}${name.slice(1)} is already yours. Thank your friend anyway!`,
    };
  }
  const unlocked =
    item.kind === 'facet'
      ? { ...state.unlocked, facets: [...list, item.id] }
      : { ...state.unlocked, themes: [...list, item.id] };
  const message =
    item.kind === 'facet'
      ? `A gift! ${name} now shines on your gem.`
      : `A gift! ${name[0].toUpperCase()}${name.slice(1)} is yours. Choose it in Settings.`;
  return { state: { ...state, unlocked, gifts }, ok: true, item, message, unlocked: true };
}
