import { test } from 'node:test';
import assert from 'node:assert/strict';
import { cutText, markMatches, wellFormed } from '../../web/js/text.js';

const LONE = /[\uD800-\uDBFF](?![\uDC00-\uDFFF])|(?<![\uD800-\uDBFF])[\uDC00-\uDFFF]/;

test('cutting never splits a surrogate pair', () => {
  // An emoji straddling the limit goes whole.
  assert.equal(cutText('ab😀c', 3), 'ab');
  // A pair ending exactly at the limit stays.
  assert.equal(cutText('ab😀c', 4), 'ab😀');
  assert.equal(cutText('abcdef', 3), 'abc');
  assert.equal(cutText('abc', 3), 'abc');
  assert.equal(cutText('😀', 1), '');
  const long = '😀'.repeat(10001);
  for (const max of [19999, 20000]) {
    const cut = cutText(long, max);
    assert.ok(cut.length <= max && cut.length >= max - 1, `${max}: ${cut.length}`);
    assert.doesNotMatch(cut, LONE);
  }
});

test('unpaired surrogates become U+FFFD and pairs stay', () => {
  assert.equal(wellFormed('a\uD83D'), 'a\uFFFD');
  assert.equal(wellFormed('\uDE00b'), '\uFFFDb');
  // The wrong way round is two lone halves.
  assert.equal(wellFormed('\uDE00\uD83D'), '\uFFFD\uFFFD');
  assert.equal(wellFormed('x😀\uD83D😀'), 'x😀\uFFFD😀');
});

test('search marks cover whole characters of the original text', () => {
  const marked = (text, query) => markMatches(text, query).filter(([, m]) => m).map(([p]) => p);
  // İ lower-cases to two units, which shifts every index after it.
  const text = 'İz 😀 morning tea';
  const parts = markMatches(text, 'TEA');
  assert.equal(parts.map(([p]) => p).join(''), text);
  assert.deepEqual(marked(text, 'TEA'), ['tea']);
  assert.deepEqual(marked('İ😀 İ😀', '😀'), ['😀', '😀']);
  for (const [p] of markMatches('İ😀x', 'x')) assert.doesNotMatch(p, LONE);
  // A word matching half of what İ became marks the whole İ.
  assert.deepEqual(marked('aİb', 'i'), ['İ']);
  assert.deepEqual(marked('Tea and tea', 'tea an'), ['Tea', 'an', 'tea']);
  assert.deepEqual(markMatches('plain', '  '), [['plain', false]]);
});
