import { test } from 'node:test';
import assert from 'node:assert/strict';
import { codeFromInput, makeGiftCode, parseGiftCode, redeemGift } from '../../web/js/gifts.js';
import { normaliseState } from '../../web/js/state.js';
import { journalBlocks } from '../../web/js/journal_doc.js';

test('gift codes check themselves', () => {
  let seed = 0;
  const random = () => ((seed = (seed * 9301 + 49297) % 233280) / 233280);
  for (const id of ['courage', 'kindness', 'aurora', 'ember']) {
    const code = makeGiftCode(id, random);
    assert.match(code, /^[A-Z]+-[A-Z2-9]{6}$/);
    assert.equal(parseGiftCode(code).item.id, id);
    assert.equal(parseGiftCode(code.toLowerCase()).item.id, id, 'typed in lower case');
    // Change one letter of the random part: the check fails.
    const broken = code.replace(/-(.)/, (_, c) => `-${c === 'A' ? 'B' : 'A'}`);
    assert.deepEqual(parseGiftCode(broken), { error: 'unknown' });
  }
  assert.deepEqual(parseGiftCode(''), { error: 'empty' });
  assert.deepEqual(parseGiftCode('FREE-STUFF'), { error: 'unknown' });
  assert.equal(makeGiftCode('calm'), null);
});

test('links and pasted text give the code', () => {
  assert.equal(codeFromInput('  lumora-gift://open?a=1&g=COURAGE-ABCDEF&g=x '), 'COURAGE-ABCDEF');
  assert.equal(codeFromInput('lumora-gift://open?a=1'), '');
  assert.equal(codeFromInput(' EMBER-XYZ234 '), 'EMBER-XYZ234');
});

test('redeeming unlocks once, and says so in plain words', () => {
  const code = makeGiftCode('courage', () => 0.1);
  const s0 = normaliseState(null);
  const first = redeemGift(s0, code, 5);
  assert.ok(first.unlocked);
  assert.ok(first.state.unlocked.facets.includes('courage'));
  assert.match(first.message, /Courage/);
  const again = redeemGift(normaliseState(first.state), code, 6);
  assert.ok(again.ok && !again.unlocked);
  assert.match(again.message, /already yours/);
  const theme = redeemGift(s0, makeGiftCode('ember', () => 0.3), 7);
  assert.ok(theme.state.unlocked.themes.includes('ember'));
  const unknown = redeemGift(s0, 'HELLO', 8);
  assert.equal(unknown.state, s0);
  assert.equal(unknown.ok, false);
  assert.match(unknown.message, /doesn't open anything/);
  assert.match(redeemGift(s0, '', 9).message, /empty/);
});

test('the journal document uses only the block kinds the exporter knows', () => {
  const entries = [
    { id: 'b', day: '2026-12-08', facet: 'focus', text: 'Second' },
    { id: 'a', day: '2026-11-30', facet: 'calm', text: 'First' },
  ];
  const blocks = journalBlocks(entries, { today: '2026-12-08', polished: 2 });
  for (const b of blocks) assert.ok(['title', 'sub', 'h', 'item', 'gap', 'p'].includes(b.k), b.k);
  assert.deepEqual(blocks.filter((b) => b.k === 'h').map((b) => b.t), ['December 2026', 'November 2026']);
  assert.deepEqual(blocks.filter((b) => b.k === 'item').map((b) => [b.l, b.t]), [
    ['Tue 8 Dec 2026 · Focus', 'Second'],
    ['Mon 30 Nov 2026 · Calm', 'First'],
  ]);
  assert.equal(blocks[1].t, '2 reflections · 2 days polished · exported Tue 8 Dec 2026');
  assert.ok(journalBlocks([], { today: '2026-12-08' }).some((b) => b.k === 'p'));
});
