import { test } from 'node:test';
import assert from 'node:assert/strict';
import { LOOKAHEAD, SessionPlayer } from '../../web/js/session.js';

// A player with a fake clock, a renderer that answers when told, and a message log.
function rig() {
  const sent = [];
  const renders = [];
  let clock = 1_000_000;
  let ended = 0;
  const player = new SessionPlayer({
    post: (m) => sent.push(m),
    render: (plan, index) => new Promise((resolve) => renders.push({ index, resolve })),
    onEnd: () => ended++,
    now: () => clock,
    random: () => 0.5,
  });
  const flush = async () => {
    while (renders.length) renders.shift().resolve(`pcm${renders.length}`);
    await new Promise((r) => setTimeout(r, 0));
  };
  return {
    player, sent, renders, flush,
    advance: (ms) => (clock += ms),
    types: () => sent.map((m) => m.type),
    chunks: () => sent.filter((m) => m.type === 'audioChunk').map((m) => m.index),
    get ended() { return ended; },
  };
}

test('opening and playing sends the protocol in order, with only the first chunks', async () => {
  const r = rig();
  r.player.open('calm', '2026-12-08', 'Calm');
  const open = r.sent[0];
  assert.equal(open.type, 'audioOpen');
  assert.match(open.id, /^[A-Za-z0-9]+$/);
  assert.equal(open.duration, 300);
  assert.equal(open.chunkSec, 30);
  assert.equal(open.sampleRate, 44100);
  r.player.play();
  assert.deepEqual(r.types(), ['audioOpen', 'audioPlay', 'session']);
  assert.deepEqual(r.sent[2], { type: 'session', active: true });
  assert.equal(r.player.status(), 'preparing');
  await r.flush();
  assert.deepEqual(r.chunks(), [0, 1]);
  const chunk = r.sent.find((m) => m.type === 'audioChunk');
  assert.equal(chunk.id, open.id);
  assert.equal(chunk.total, 10);
  assert.equal(r.player.status(), 'playing');
});

test('chunks follow the play position and never run far ahead', async () => {
  const r = rig();
  r.player.open('focus', '2026-12-08', 'Focus');
  r.player.play();
  await r.flush();
  const id = r.sent[0].id;
  for (let t = 1; t <= 95; t++) {
    r.advance(1000);
    r.player.report({ id, t, playing: true });
    await r.flush();
    const ahead = Math.max(...r.chunks()) - Math.floor(t / 30);
    assert.ok(ahead <= LOOKAHEAD, `at ${t} s chunk ${Math.max(...r.chunks())} was sent`);
  }
  assert.deepEqual(r.chunks(), [0, 1, 2, 3, 4]);
  // A seek far ahead sends the chunk there and the one after, not those in between.
  r.player.seek(200);
  await r.flush();
  assert.deepEqual(r.chunks(), [0, 1, 2, 3, 4, 6, 7]);
  assert.deepEqual(r.sent.filter((m) => m.type === 'audioSeek').map((m) => m.at), [200]);
  assert.equal(new Set(r.chunks()).size, r.chunks().length, 'no chunk is sent twice');
});

test('a report of no playback shows waiting; other sessions are ignored', async () => {
  const r = rig();
  r.player.open('rest', '2026-12-08', 'Rest');
  r.player.play();
  await r.flush();
  const id = r.sent[0].id;
  r.advance(3000);
  r.player.report({ id, t: 30, playing: false });
  assert.equal(r.player.status(), 'waiting');
  r.player.report({ id: 'other', t: 200, playing: true });
  assert.equal(r.player.position(), 30);
  r.advance(1000);
  r.player.report({ id, t: 31, playing: true });
  assert.equal(r.player.status(), 'playing');
  // Between reports the position moves on with the clock, but not past a second and a half.
  r.advance(500);
  assert.equal(r.player.position(), 31.5);
  r.advance(10000);
  assert.equal(r.player.position(), 32.5);
});

test('pause, resume and the end of the session', async () => {
  const r = rig();
  r.player.open('kindness', '2026-12-08', 'Kindness', { duration: 60 });
  r.player.play();
  await r.flush();
  const id = r.sent[0].id;
  r.advance(5000);
  r.player.report({ id, t: 5, playing: true });
  r.player.pause();
  assert.deepEqual(r.sent.slice(-2), [{ type: 'audioPause', id }, { type: 'session', active: false }]);
  assert.equal(r.player.status(), 'paused');
  r.player.play();
  assert.deepEqual(r.sent.slice(-2), [{ type: 'audioResume', id }, { type: 'session', active: true }]);
  r.advance(60000);
  r.player.report({ id, t: 60, playing: false });
  assert.equal(r.player.status(), 'ended');
  assert.equal(r.ended, 1);
  assert.deepEqual(r.sent.at(-1), { type: 'session', active: false });
  // Later reports go back to the last seek; the session stays ended.
  r.advance(1000);
  r.player.report({ id, t: 5, playing: false });
  assert.equal(r.player.status(), 'ended');
  // Playing again starts over; a late end report from before does not end it again.
  r.player.play();
  assert.deepEqual(r.sent.at(-2), { type: 'audioPlay', id, at: 0 });
  r.player.report({ id, t: 60, playing: false });
  assert.equal(r.ended, 1);
  assert.equal(r.player.status(), 'playing');
});

test('closing drops chunks that are still being rendered', async () => {
  const r = rig();
  r.player.open('calm', '2026-12-08', 'Calm');
  r.player.play();
  r.player.close();
  await r.flush();
  assert.deepEqual(r.chunks(), []);
  assert.deepEqual(r.types().slice(-2), ['audioClose', 'session']);
  assert.equal(r.player.status(), 'idle');
  r.player.report({ id: r.sent[0].id, t: 3, playing: true });
  assert.equal(r.player.position(), 0);
});
