import { test } from 'node:test';
import assert from 'node:assert/strict';
import { bytesToBase64, chunkCount, renderChunk, renderFrames, sessionPlan } from '../../web/js/synth.js';

const short = (facet, day, duration) => sessionPlan(facet, day, { duration });

test('the same facet and day always give the same sound; another day does not', () => {
  // Short chunks keep the test quick; the sound does not depend on the chunk length.
  const plan = (facet, day) => sessionPlan(facet, day, { chunkSec: 4 });
  const a = renderChunk(plan('calm', '2026-12-08'), 2);
  const b = renderChunk(plan('calm', '2026-12-08'), 2);
  const other = renderChunk(plan('calm', '2026-12-09'), 2);
  const facet = renderChunk(plan('rest', '2026-12-08'), 2);
  assert.ok(Buffer.from(a).equals(Buffer.from(b)));
  assert.ok(!Buffer.from(a).equals(Buffer.from(other)));
  assert.ok(!Buffer.from(a).equals(Buffer.from(facet)));
});

test('every chunk holds 30 s of 44.1 kHz stereo s16le, the last one what is left', () => {
  const plan = sessionPlan('focus', '2026-12-08');
  assert.equal(plan.total, 10);
  assert.equal(renderChunk(plan, 0).length, 30 * 44100 * 4);
  assert.equal(renderChunk(plan, 9).length, 30 * 44100 * 4);
  const odd = short('focus', '2026-12-08', 95);
  assert.equal(odd.total, 4);
  assert.equal(chunkCount(95, 30), 4);
  assert.equal(renderChunk(odd, 2).length, 30 * 44100 * 4);
  assert.equal(renderChunk(odd, 3).length, 5 * 44100 * 4);
  assert.equal(renderChunk(odd, 4).length, 0);
});

test('chunks join seamlessly: rendering across a boundary equals the two chunks side by side', () => {
  const plan = sessionPlan('gratitude', '2026-12-08', { duration: 19, chunkSec: 5 });
  const frames = plan.chunkFrames;
  for (const k of [0, 1, 2]) {
    const a = new Int16Array(renderChunk(plan, k).buffer);
    const b = new Int16Array(renderChunk(plan, k + 1).buffer);
    const across = renderFrames(plan, (k + 1) * frames - 3000, 6000);
    assert.deepEqual(Array.from(across.subarray(0, 6000)), Array.from(a.subarray(a.length - 6000)), `end of chunk ${k}`);
    assert.deepEqual(Array.from(across.subarray(6000)), Array.from(b.subarray(0, 6000)), `start of chunk ${k + 1}`);
  }
});

test('the sound is audible, fades in from silence and stays clear of clipping', () => {
  const plan = sessionPlan('courage', '2026-12-08', { chunkSec: 10 });
  const first = new Int16Array(renderChunk(plan, 0).buffer);
  assert.equal(first[0], 0);
  assert.equal(first[1], 0);
  let peak = 0;
  let energy = 0;
  const middle = new Int16Array(renderChunk(plan, 15).buffer);
  for (const s of middle) {
    peak = Math.max(peak, Math.abs(s));
    energy += s * s;
  }
  const rms = Math.sqrt(energy / middle.length);
  assert.ok(rms > 1000, `rms ${rms}`);
  assert.ok(peak < 32000, `peak ${peak}`);
  // Left and right differ: the pad is spread across the stereo field.
  let diff = 0;
  for (let i = 0; i < 20000; i += 2) diff += Math.abs(middle[i] - middle[i + 1]);
  assert.ok(diff > 0);
  // The last frames of the session fade to silence.
  const last = new Int16Array(renderChunk(plan, 29).buffer);
  assert.ok(Math.abs(last[last.length - 2]) < 40);
});

test('Base64 is the standard form with padding and nothing else', () => {
  for (const n of [0, 1, 2, 3, 4, 5, 255, 256, 257]) {
    const bytes = new Uint8Array(n).map((_, i) => (i * 151 + 7) & 255);
    assert.equal(bytesToBase64(bytes), Buffer.from(bytes).toString('base64'), `length ${n}`);
  }
  const chunk = renderChunk(short('rest', '2026-12-08', 2), 0);
  const text = bytesToBase64(chunk);
  assert.match(text, /^[A-Za-z0-9+/]*={0,2}$/);
  assert.ok(Buffer.from(text, 'base64').equals(Buffer.from(chunk)));
});
