// The saved state: one JSON value, its repair on load, and the merge with a copy that
// another computer wrote. Pure: no DOM, no clock (times are passed in).

import { BASE_FACETS, BASE_THEMES, FACETS, THEMES } from './facets.js';
import { cutText, wellFormed } from './text.js';
import { addDays, isDayKey } from './time.js';

export const STATE_VERSION = 1;
const FACET_IDS = FACETS.map((f) => f.id);
const THEME_IDS = THEMES.map((t) => t.id);
// Guards the saved value against runaway growth from a broken copy.
export const MAX_ENTRY_LENGTH = 20000;

// What the user wrote, in whole characters: a lone half of a pair cannot be saved.
const userText = (text) => wellFormed(cutText(text, MAX_ENTRY_LENGTH));

export function defaultState() {
  return {
    version: STATE_VERSION,
    introDone: false,
    theme: { id: 'midnight', updatedAt: 0 },
    unlocked: { facets: [...BASE_FACETS], themes: [...BASE_THEMES] },
    gifts: {},
    days: {},
    entries: {},
    // Settings of this computer; a copy from elsewhere never changes them.
    device: { sync: false, reminder: { on: false, time: '07:30' } },
  };
}

const isObject = (v) => v !== null && typeof v === 'object' && !Array.isArray(v);
const time = (v) => (Number.isFinite(v) && v >= 0 ? v : 0);

function knownList(list, allowed, base) {
  const out = new Set(base);
  if (Array.isArray(list)) for (const v of list) if (allowed.includes(v)) out.add(v);
  return allowed.filter((v) => out.has(v));
}

function normaliseEntry(id, raw) {
  if (!isObject(raw) || typeof raw.text !== 'string') return null;
  const entry = {
    id,
    day: isDayKey(raw.day) ? raw.day : '1970-01-01',
    facet: FACET_IDS.includes(raw.facet) ? raw.facet : 'calm',
    text: userText(raw.text),
    createdAt: time(raw.createdAt),
    updatedAt: time(raw.updatedAt),
  };
  if (raw.deleted === true) {
    entry.deleted = true;
    entry.text = '';
  }
  return entry;
}

// Any value in, a well-formed state out. Keys this version does not know are kept, so
// a newer version's data survives a round trip through an older one.
export function normaliseState(raw) {
  const base = defaultState();
  if (!isObject(raw)) return base;
  const out = { ...raw, ...base };
  out.introDone = raw.introDone === true;
  if (isObject(raw.theme) && THEME_IDS.includes(raw.theme.id)) {
    out.theme = { id: raw.theme.id, updatedAt: time(raw.theme.updatedAt) };
  }
  const unlocked = isObject(raw.unlocked) ? raw.unlocked : {};
  out.unlocked = {
    facets: knownList(unlocked.facets, FACET_IDS, BASE_FACETS),
    themes: knownList(unlocked.themes, THEME_IDS, BASE_THEMES),
  };
  if (!out.unlocked.themes.includes(out.theme.id)) out.theme = { id: 'midnight', updatedAt: 0 };
  if (isObject(raw.gifts)) {
    for (const [code, g] of Object.entries(raw.gifts)) {
      if (isObject(g) && typeof g.item === 'string') out.gifts[code] = { item: g.item, at: time(g.at) };
    }
  }
  if (isObject(raw.days)) {
    for (const [key, d] of Object.entries(raw.days)) {
      if (!isDayKey(key) || !isObject(d)) continue;
      const facets = knownList(d.facets, FACET_IDS, []);
      if (facets.length) out.days[key] = { facets, updatedAt: time(d.updatedAt) };
    }
  }
  if (isObject(raw.entries)) {
    for (const [id, e] of Object.entries(raw.entries)) {
      const entry = normaliseEntry(id, e);
      if (entry) out.entries[id] = entry;
    }
  }
  if (isObject(raw.device)) {
    const r = isObject(raw.device.reminder) ? raw.device.reminder : {};
    out.device = {
      sync: raw.device.sync === true,
      reminder: {
        on: r.on === true,
        time: typeof r.time === 'string' && /^\d{2}:\d{2}$/.test(r.time) ? r.time : '07:30',
      },
    };
    const draft = normaliseDraft(raw.device.draft);
    if (draft) out.device.draft = draft;
  }
  return canonical(out);
}

// A reflection being written and not saved yet, kept with this computer's settings so that
// quitting or a crash does not lose it. Only text with something in it counts.
function normaliseDraft(d) {
  if (!isObject(d) || typeof d.text !== 'string' || !d.text.trim()) return null;
  return {
    text: userText(d.text),
    facet: FACET_IDS.includes(d.facet) ? d.facet : null,
    editing: typeof d.editing === 'string' && d.editing ? d.editing : null,
  };
}

// The draft that text, facet and entry being edited make; null for empty text.
export function draftOf(text, facet, editing) {
  return normaliseDraft({ text, facet, editing });
}

// Objects with their keys in sorted order, so equal states give equal text.
export function canonical(value) {
  if (Array.isArray(value)) return value.map(canonical);
  if (!isObject(value)) return value;
  const out = {};
  for (const key of Object.keys(value).sort()) out[key] = canonical(value[key]);
  return out;
}

export function sameState(a, b) {
  return JSON.stringify(canonical(a)) === JSON.stringify(canonical(b));
}

// Newest wins; on equal times both computers pick the same copy, so they agree.
function newer(a, b) {
  if (a.updatedAt !== b.updatedAt) return a.updatedAt > b.updatedAt ? a : b;
  return JSON.stringify(canonical(a)) >= JSON.stringify(canonical(b)) ? a : b;
}

// Merges a copy from elsewhere into the local state. Entries, days and gifts of both
// survive; where both have the same entry, the later edit wins. This computer's own
// settings stay as they are. Returns the merged state and how many entries the remote
// copy added or changed.
export function mergeStates(localRaw, remoteRaw) {
  const local = normaliseState(localRaw);
  const remote = normaliseState(remoteRaw);
  const out = { ...remote, ...local };
  out.introDone = local.introDone || remote.introDone;
  out.theme = newer(local.theme, remote.theme);
  out.unlocked = {
    facets: FACET_IDS.filter((f) => local.unlocked.facets.includes(f) || remote.unlocked.facets.includes(f)),
    themes: THEME_IDS.filter((t) => local.unlocked.themes.includes(t) || remote.unlocked.themes.includes(t)),
  };
  out.gifts = { ...remote.gifts, ...local.gifts };
  for (const [code, g] of Object.entries(remote.gifts)) {
    if (local.gifts[code] && g.at < local.gifts[code].at) out.gifts[code] = g;
  }
  out.days = { ...remote.days, ...local.days };
  for (const [key, d] of Object.entries(remote.days)) {
    const mine = local.days[key];
    if (!mine) continue;
    out.days[key] = {
      facets: FACET_IDS.filter((f) => mine.facets.includes(f) || d.facets.includes(f)),
      updatedAt: Math.max(mine.updatedAt, d.updatedAt),
    };
  }
  let arrived = 0;
  out.entries = { ...local.entries };
  for (const [id, e] of Object.entries(remote.entries)) {
    const mine = local.entries[id];
    const winner = mine ? newer(mine, e) : e;
    if (winner !== mine) {
      out.entries[id] = e;
      if (!e.deleted) arrived++;
    }
  }
  out.device = local.device;
  return { state: normaliseState(out), arrived };
}

// ---- Reading the state ----

export function visibleEntries(state) {
  return Object.values(state.entries)
    .filter((e) => !e.deleted)
    .sort((a, b) => (a.day === b.day ? b.createdAt - a.createdAt : a.day < b.day ? 1 : -1));
}

export function searchEntries(state, query) {
  const words = String(query ?? '').toLowerCase().split(/\s+/).filter(Boolean);
  const facetName = (id) => FACETS.find((f) => f.id === id)?.name.toLowerCase() ?? id;
  return visibleEntries(state).filter((e) => {
    const hay = `${e.text} ${facetName(e.facet)} ${e.day}`.toLowerCase();
    return words.every((w) => hay.includes(w));
  });
}

export function polishedDays(state) {
  return Object.keys(state.days).sort();
}

// Consecutive polished days ending today, or yesterday while today is still open.
export function streak(state, today) {
  let day = state.days[today] ? today : addDays(today, -1);
  let n = 0;
  while (state.days[day]) {
    n++;
    day = addDays(day, -1);
  }
  return n;
}

export function facetCounts(state) {
  const counts = Object.fromEntries(FACET_IDS.map((f) => [f, 0]));
  for (const d of Object.values(state.days)) for (const f of d.facets) counts[f]++;
  return counts;
}

// Today's suggestion: the open facet polished least recently, never the same as
// yesterday's when another one is open; ties follow the order of the gem, turned by
// the day so that new users do not always start on the same facet.
export function suggestion(state, today) {
  const open = FACET_IDS.filter((f) => state.unlocked.facets.includes(f));
  const last = Object.fromEntries(open.map((f) => [f, '']));
  for (const [day, d] of Object.entries(state.days)) {
    for (const f of d.facets) if (f in last && day > last[f] && day < today) last[f] = day;
  }
  const done = state.days[today]?.facets ?? [];
  const turn = Number(today.replaceAll('-', '')) % open.length;
  const ordered = open.map((_, i) => open[(i + turn) % open.length]);
  const candidates = ordered.filter((f) => !done.includes(f));
  const pool = candidates.length ? candidates : ordered;
  return pool.reduce((best, f) => (last[f] < last[best] ? f : best), pool[0]);
}

// ---- Changing the state (each returns a new state) ----

export function polishDay(state, day, facet, now) {
  const d = state.days[day];
  const facets = d ? FACET_IDS.filter((f) => d.facets.includes(f) || f === facet) : [facet];
  return { ...state, days: { ...state.days, [day]: { facets, updatedAt: now } } };
}

export function writeEntry(state, { id, day, facet, text }, now) {
  const old = state.entries[id];
  const entry = {
    id,
    day,
    facet,
    text: userText(text),
    createdAt: old?.createdAt ?? now,
    updatedAt: Math.max(now, (old?.updatedAt ?? 0) + 1),
  };
  return { ...state, entries: { ...state.entries, [id]: entry } };
}

// A deletion is kept as a marker, so the entry does not come back from another copy.
export function deleteEntry(state, id, now) {
  const old = state.entries[id];
  if (!old) return state;
  const marker = { ...old, text: '', deleted: true, updatedAt: Math.max(now, old.updatedAt + 1) };
  return { ...state, entries: { ...state.entries, [id]: marker } };
}

export function newEntryId(now, random = Math.random) {
  return `e${now.toString(36)}${Math.floor(random() * 36 ** 4).toString(36).padStart(4, '0')}`;
}
