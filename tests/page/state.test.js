import { test } from 'node:test';
import assert from 'node:assert/strict';
import {
  defaultState, deleteEntry, mergeStates, normaliseState, polishDay, sameState, searchEntries,
  streak, suggestion, visibleEntries, writeEntry,
} from '../../web/js/state.js';

const entry = (id, text, updatedAt, extra = {}) => ({ id, day: '2026-12-01', facet: 'calm', text, createdAt: 1, updatedAt, ...extra });
const withEntries = (...entries) => ({ ...defaultState(), entries: Object.fromEntries(entries.map((e) => [e.id, e])) });

test('normalising repairs anything into a usable state and keeps unknown keys', () => {
  for (const raw of [null, undefined, 42, 'x', [], [1, 2]]) assert.deepEqual(normaliseState(raw), normaliseState(null));
  const s = normaliseState({
    introDone: 'yes',
    future: { keep: true },
    unlocked: { facets: ['courage', 'bogus'], themes: ['ember', 7] },
    theme: { id: 'nope', updatedAt: 5 },
    days: { '2026-02-30': { facets: ['calm'] }, '2026-03-01': { facets: ['rest', 'x'] }, bad: {} },
    entries: { a: { text: 'hi', facet: 'weird', day: 'soon', updatedAt: -1 }, b: { text: 3 }, c: 'no' },
    device: { sync: 1, reminder: { on: true, time: '7:5' } },
  });
  assert.equal(s.introDone, false);
  assert.deepEqual(s.future, { keep: true });
  assert.deepEqual(s.unlocked.facets, ['calm', 'focus', 'gratitude', 'courage', 'rest']);
  assert.deepEqual(s.unlocked.themes, ['midnight', 'ember']);
  assert.equal(s.theme.id, 'midnight');
  assert.deepEqual(Object.keys(s.days), ['2026-03-01']);
  assert.deepEqual(s.days['2026-03-01'].facets, ['rest']);
  assert.deepEqual(Object.keys(s.entries), ['a']);
  assert.equal(s.entries.a.facet, 'calm');
  assert.equal(s.entries.a.updatedAt, 0);
  assert.deepEqual(s.device, { sync: false, reminder: { on: true, time: '07:30' } });
  // Normalising twice changes nothing, so saves of an unchanged state are byte-identical.
  assert.equal(JSON.stringify(normaliseState(s)), JSON.stringify(s));
});

test('merge keeps the entries of both copies and the newest edit of each', () => {
  const local = withEntries(entry('a', 'local a', 10), entry('b', 'local b, edited later', 30));
  const remote = withEntries(entry('b', 'remote b', 20), entry('c', 'only remote', 5));
  const { state, arrived } = mergeStates(local, remote);
  assert.deepEqual(Object.keys(state.entries).sort(), ['a', 'b', 'c']);
  assert.equal(state.entries.b.text, 'local b, edited later');
  assert.equal(state.entries.c.text, 'only remote');
  assert.equal(arrived, 1);

  const newerRemote = withEntries(entry('a', 'remote a, newer', 11));
  const second = mergeStates(state, newerRemote);
  assert.equal(second.state.entries.a.text, 'remote a, newer');
  assert.equal(second.arrived, 1);
});

test('merge is symmetric: two computers end with the same journal', () => {
  const a = withEntries(entry('x', 'from A', 7), entry('y', 'A wins', 9), entry('t', 'tie A', 4));
  const b = withEntries(entry('x', 'from B', 7), entry('y', 'B older', 8), entry('z', 'B only', 1), entry('t', 'tie B', 4));
  a.days = { '2026-12-01': { facets: ['calm'], updatedAt: 3 } };
  b.days = { '2026-12-01': { facets: ['rest'], updatedAt: 2 }, '2026-12-02': { facets: ['focus'], updatedAt: 2 } };
  a.unlocked = { facets: ['calm', 'focus', 'gratitude', 'rest', 'courage'], themes: ['midnight'] };
  b.unlocked = { facets: ['calm', 'focus', 'gratitude', 'rest'], themes: ['midnight', 'aurora'] };
  const ab = mergeStates(a, b).state;
  const ba = mergeStates(b, a).state;
  const shared = (s) => ({ ...s, device: null });
  assert.ok(sameState(shared(ab), shared(ba)));
  assert.equal(ab.entries.y.text, 'A wins');
  assert.deepEqual(ab.days['2026-12-01'].facets, ['calm', 'rest']);
  assert.ok(ab.days['2026-12-02']);
  assert.ok(ab.unlocked.facets.includes('courage'));
  assert.ok(ab.unlocked.themes.includes('aurora'));
  // Merging what one already has brings nothing new.
  const again = mergeStates(ab, ab);
  assert.ok(sameState(again.state, ab));
  assert.equal(again.arrived, 0);
});

test('a deletion travels, but a later edit elsewhere outlives it', () => {
  let local = withEntries(entry('a', 'text', 10));
  local = deleteEntry(local, 'a', 20);
  assert.equal(visibleEntries(local).length, 0);
  const staleRemote = withEntries(entry('a', 'text', 10));
  assert.equal(visibleEntries(mergeStates(local, staleRemote).state).length, 0);
  const editedRemote = withEntries(entry('a', 'edited after the delete', 25));
  assert.equal(visibleEntries(mergeStates(local, editedRemote).state)[0].text, 'edited after the delete');
});

test("merge never takes the other computer's settings", () => {
  const local = { ...defaultState(), device: { sync: true, reminder: { on: true, time: '21:05' } } };
  const remote = { ...defaultState(), device: { sync: false, reminder: { on: false, time: '06:00' } }, introDone: true };
  const { state } = mergeStates(local, remote);
  assert.deepEqual(state.device, local.device);
  assert.equal(state.introDone, true);
});

test('writing, editing and searching entries', () => {
  let s = normaliseState(null);
  s = writeEntry(s, { id: 'e1', day: '2026-12-07', facet: 'calm', text: 'Quiet morning tea' }, 100);
  s = writeEntry(s, { id: 'e2', day: '2026-12-08', facet: 'focus', text: 'One task, then the next' }, 200);
  // An edit within the same millisecond still counts as newer.
  const edited = writeEntry(s, { id: 'e1', day: '2026-12-07', facet: 'calm', text: 'Quiet morning' }, 100);
  assert.ok(edited.entries.e1.updatedAt > s.entries.e1.updatedAt);
  assert.equal(edited.entries.e1.createdAt, 100);
  assert.deepEqual(visibleEntries(s).map((e) => e.id), ['e2', 'e1']);
  assert.deepEqual(searchEntries(s, 'TEA').map((e) => e.id), ['e1']);
  assert.deepEqual(searchEntries(s, 'focus').map((e) => e.id), ['e2']);
  assert.deepEqual(searchEntries(s, 'quiet next').map((e) => e.id), []);
  assert.equal(searchEntries(s, '   ').length, 2);
});

test('streak and suggestion follow the polished days', () => {
  let s = normaliseState(null);
  for (const [day, facet] of [['2026-12-05', 'calm'], ['2026-12-06', 'focus'], ['2026-12-07', 'gratitude']]) {
    s = polishDay(s, day, facet, 1);
  }
  assert.equal(streak(s, '2026-12-08'), 3);
  assert.equal(streak(s, '2026-12-09'), 0);
  // Rest has never been polished, so it comes first; the others follow oldest first.
  assert.equal(suggestion(s, '2026-12-08'), 'rest');
  s = polishDay(s, '2026-12-08', 'rest', 2);
  assert.equal(streak(s, '2026-12-08'), 4);
  assert.equal(suggestion(s, '2026-12-09'), 'calm');
  // Locked facets are never suggested.
  assert.ok(['calm', 'focus', 'gratitude', 'rest'].includes(suggestion(normaliseState(null), '2026-01-01')));
});

test('an unsaved reflection stays with this computer and is repaired on load', () => {
  const withDraft = (draft) => normaliseState({ ...defaultState(), device: { sync: false, draft } });
  assert.deepEqual(withDraft({ text: ' Morning light ', facet: 'calm', editing: 'e1' }).device.draft,
    { text: ' Morning light ', facet: 'calm', editing: 'e1' });
  assert.deepEqual(withDraft({ text: 'x', facet: 'bogus', editing: 7 }).device.draft,
    { text: 'x', facet: null, editing: null });
  for (const bad of [null, 'text', { text: '   \n' }, { text: 5 }, []]) {
    assert.equal('draft' in withDraft(bad).device, false, JSON.stringify(bad));
  }
  assert.equal(withDraft({ text: 'a'.repeat(30000) }).device.draft.text.length, 20000);
  // A copy from elsewhere never brings its draft, nor takes this one away.
  const local = { ...defaultState(), device: { sync: true, draft: { text: 'mine' } } };
  const remote = { ...defaultState(), device: { sync: true, draft: { text: 'theirs' } } };
  assert.equal(mergeStates(local, remote).state.device.draft.text, 'mine');
  assert.equal('draft' in mergeStates({ ...defaultState() }, remote).state.device, false);
});

test('text cut or repaired on the way in stays valid UTF-16', () => {
  const lone = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;
  // An emoji straddling the limit, as a broken copy or a long paste would bring it.
  const long = `${'a'.repeat(19999)}😀 and more`;
  const s = normaliseState({
    entries: { a: { text: long }, b: { text: 'half \uD83D a pair' } },
    device: { draft: { text: long } },
  });
  const written = writeEntry(s, { id: 'c', day: '2026-12-01', facet: 'calm', text: long }, 1);
  for (const text of [s.entries.a.text, s.device.draft.text, written.entries.c.text]) {
    assert.doesNotMatch(text, lone);
    assert.equal(text, 'a'.repeat(19999));
  }
  assert.equal(s.entries.b.text, 'half \uFFFD a pair');
  // A pair that ends exactly at the limit is kept whole.
  assert.equal(normaliseState({ entries: { a: { text: `${'a'.repeat(19998)}😀!` } } }).entries.a.text.slice(-2), '😀');
});
