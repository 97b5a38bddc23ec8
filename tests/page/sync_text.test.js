import { test } from 'node:test';
import assert from 'node:assert/strict';
import { SYNC_FORGOTTEN_TEXT, SYNC_OFF_TEXT, syncStatusText } from '../../web/js/sync_text.js';

const STATUSES = [
  { empty: true }, { error: 'read' }, { error: 'big' }, { error: 'quota' }, { error: 'unavailable' },
  { error: 'write' }, { error: 'something new' }, { error: 'toString' },
];

// A sync answer says nothing about the save on this computer, which may have failed.
test('no sync text vouches for the copy on this computer', () => {
  const merged = [
    [{ data: {} }, { arrived: 1 }], [{ data: {} }, { arrived: 3 }],
    [{ data: {} }, { asked: true }], [{ data: {} }, { asked: true, changed: true }],
  ];
  const texts = [
    ...STATUSES.map((s) => syncStatusText(s)),
    ...merged.map(([arg, outcome]) => syncStatusText(arg, outcome)),
    SYNC_OFF_TEXT, SYNC_FORGOTTEN_TEXT,
  ];
  for (const text of texts) {
    assert.equal(typeof text, 'string');
    assert.ok(text.length > 0);
    assert.doesNotMatch(text, /saved|safe|stays on this computer|cloud/i);
  }
});

test('each failure has its own text, and an unreachable folder says what to check', () => {
  const texts = STATUSES.map((s) => syncStatusText(s));
  const fallback = syncStatusText({ error: 'something new' });
  assert.equal(new Set(texts.slice(0, 6)).size, 6);
  assert.ok(!texts.slice(0, 6).includes(fallback));
  // Names of Object.prototype are not statuses either.
  assert.equal(syncStatusText({ error: 'toString' }), fallback);
  const unavailable = syncStatusText({ error: 'unavailable' });
  assert.match(unavailable, /sync folder/);
  assert.match(unavailable, /connected/);
});

test('a pull only claims nothing is new when the journal did not change', () => {
  const quiet = syncStatusText({ data: {} }, { asked: true });
  const changed = syncStatusText({ data: {} }, { asked: true, changed: true });
  assert.notEqual(changed, quiet);
  assert.doesNotMatch(changed, /nothing new|in sync/i);
  // A pull nobody asked for that brought nothing stays silent.
  assert.equal(syncStatusText({ data: {} }, { changed: true }), null);
  assert.match(syncStatusText({ data: {} }, { arrived: 2 }), /2 reflections/);
  for (const junk of [null, 'x', 3, {}, { empty: false }]) assert.equal(syncStatusText(junk), null);
});
