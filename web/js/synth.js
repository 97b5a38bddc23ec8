// The session's sound: an ambient pad with soft bells, rendered from the facet and the
// day alone. Every sample is a function of its absolute frame number, so any chunk can
// be rendered on its own and chunks join without a click. Pure: runs in the worker, on
// the main thread as a fallback, and under Node for the tests.

import { facetById } from './facets.js';

export const SAMPLE_RATE = 44100;
export const CHUNK_SEC = 30;
export const SESSION_SEC = 300;
export const CHANNELS = 2;
export const BYTES_PER_FRAME = 4;

// FNV-1a, 32 bits.
export function hashText(text) {
  let h = 0x811c9dc5;
  for (let i = 0; i < text.length; i++) {
    h ^= text.charCodeAt(i);
    h = Math.imul(h, 0x01000193) >>> 0;
  }
  return h >>> 0;
}

// mulberry32: small, fast and the same on every engine.
export function prng(seed) {
  let a = seed >>> 0;
  return () => {
    a = (a + 0x6d2b79f5) >>> 0;
    let t = a;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

export function chunkCount(duration, chunkSec = CHUNK_SEC) {
  return Math.max(1, Math.ceil(duration / chunkSec));
}

// Everything the renderer needs, fixed by facet and day.
export function sessionPlan(facetId, day, { duration = SESSION_SEC, chunkSec = CHUNK_SEC, sampleRate = SAMPLE_RATE } = {}) {
  const facet = facetById(facetId) ?? facetById('calm');
  const seed = hashText(`${facet.id}|${day}`);
  const rand = prng(seed);
  const voices = facet.chord.map((semi, i) => ({
    freq: facet.root * 2 ** (semi / 12) * (1 + (rand() - 0.5) * 0.002),
    gain: (i === 0 ? 0.34 : 0.2) / (1 + i * 0.18),
    // Slow swells, each voice at its own pace.
    lfoHz: 0.018 + rand() * 0.03,
    lfoPhase: rand() * Math.PI * 2,
    pan: 0.5 + (i % 2 ? 1 : -1) * (0.12 + rand() * 0.25),
    detune: 0.0008 + rand() * 0.0012,
  }));
  const scale = [0, 2, 4, 7, 9, 12, 14, 16, 19, 24].map((s) => s + facet.chord[0]);
  const bells = [];
  for (let t = 3.5 + rand() * 2; t < duration - 8; t += facet.bellEvery * (0.7 + rand() * 0.6)) {
    bells.push({
      at: t,
      freq: facet.root * 4 * 2 ** (scale[Math.floor(rand() * scale.length)] / 12),
      gain: 0.06 + rand() * 0.05,
      decay: 0.55 + rand() * 0.35,
      pan: 0.2 + rand() * 0.6,
    });
  }
  return {
    facet: facet.id,
    day,
    seed,
    duration,
    chunkSec,
    sampleRate,
    totalFrames: Math.round(duration * sampleRate),
    chunkFrames: Math.round(chunkSec * sampleRate),
    total: chunkCount(duration, chunkSec),
    voices,
    bells,
  };
}

const BELL_PARTIALS = [
  [1, 1, 1],
  [2.76, 0.42, 1.9],
  [5.4, 0.18, 3.2],
  [8.93, 0.07, 4.6],
];
const BELL_SECONDS = 9;
const FADE_IN = 4;
const FADE_OUT = 6;
const MASTER = 1.1;
const TAU = Math.PI * 2;

function masterEnvelope(t, duration) {
  let g = 1;
  if (t < FADE_IN) g *= Math.sin((Math.PI / 2) * (t / FADE_IN)) ** 2;
  const left = duration - t;
  if (left < FADE_OUT) g *= left <= 0 ? 0 : Math.sin((Math.PI / 2) * (left / FADE_OUT)) ** 2;
  return g;
}

// Oscillators run by recurrence inside blocks that start at multiples of BLOCK in
// absolute frames, re-anchored with Math.sin at each block start. That is fast and
// still a pure function of the frame number: a chunk gives the same samples whether it
// is rendered alone or as part of a longer stretch.
const BLOCK = 2048;

// Calls visit(i, sinA, sinB, swell) for frames [from, to) of the output window that
// begins at `start`, where sinA, sinB and swell are sines of w1·n, w2·n and w3·n + p3.
function threeSines(start, from, to, w1, w2, w3, p3, visit) {
  const c1 = 2 * Math.cos(w1);
  const c2 = 2 * Math.cos(w2);
  const c3 = 2 * Math.cos(w3);
  for (let b = Math.floor(from / BLOCK) * BLOCK; b < to; b += BLOCK) {
    let a0 = Math.sin(w1 * (b - 1)), a1 = Math.sin(w1 * b);
    let b0 = Math.sin(w2 * (b - 1)), b1 = Math.sin(w2 * b);
    let s0 = Math.sin(w3 * (b - 1) + p3), s1 = Math.sin(w3 * b + p3);
    const last = Math.min(to, b + BLOCK);
    for (let n = b; n < last; n++) {
      if (n >= from) visit(n - start, a1, b1, s1);
      const a2 = c1 * a1 - a0; a0 = a1; a1 = a2;
      const b2 = c2 * b1 - b0; b0 = b1; b1 = b2;
      const s2 = c3 * s1 - s0; s0 = s1; s1 = s2;
    }
  }
}

// Interleaved 16-bit stereo samples for frames [start, start + count).
export function renderFrames(plan, start, count) {
  const out = new Int16Array(count * CHANNELS);
  const sr = plan.sampleRate;
  const end = start + count;
  const left = new Float64Array(count);
  const right = new Float64Array(count);

  for (const v of plan.voices) {
    const w = (TAU * v.freq) / sr;
    const gl = v.gain * Math.cos((v.pan * Math.PI) / 2);
    const gr = v.gain * Math.sin((v.pan * Math.PI) / 2);
    // The two detuned copies beat slowly; one leans left, the other right. Each voice
    // swells at its own slow pace.
    threeSines(start, start, end, w * (1 + v.detune), w * (1 - v.detune), (TAU * v.lfoHz) / sr, v.lfoPhase,
      (i, a, b, lfo) => {
        const swell = 0.55 + 0.45 * lfo;
        left[i] += gl * swell * (0.62 * a + 0.38 * b);
        right[i] += gr * swell * (0.38 * a + 0.62 * b);
      });
  }

  for (const bell of plan.bells) {
    const onset = Math.ceil(bell.at * sr);
    const from = Math.max(start, onset);
    const to = Math.min(end, onset + BELL_SECONDS * sr);
    if (from >= to) continue;
    const gl = bell.gain * Math.cos((bell.pan * Math.PI) / 2);
    const gr = bell.gain * Math.sin((bell.pan * Math.PI) / 2);
    const [[r1, g1, d1], [r2, g2, d2], [r3, g3, d3], [r4, g4, d4]] = BELL_PARTIALS;
    const w = (TAU * bell.freq) / sr;
    // Partials in pairs. Their phase counts from frame 0; the attack ramp hides where
    // the bell starts.
    const pair = (ra, ga, da, rb, gb, db) => {
      const ka = (bell.decay * da) / sr;
      const kb = (bell.decay * db) / sr;
      threeSines(start, from, to, w * ra, w * rb, 0, 0, (i, a, b) => {
        const k = i + start - onset;
        const attack = k < 176 ? k / 176 : 1;
        const s = attack * (ga * Math.exp(-ka * k) * a + gb * Math.exp(-kb * k) * b);
        left[i] += gl * s;
        right[i] += gr * s;
      });
    };
    pair(r1, g1, d1, r2, g2, d2);
    pair(r3, g3, d3, r4, g4, d4);
  }

  for (let n = start, i = 0; n < end; n++, i++) {
    const g = MASTER * masterEnvelope(n / sr, plan.duration);
    out[2 * i] = toSample(left[i] * g);
    out[2 * i + 1] = toSample(right[i] * g);
  }
  return out;
}

function toSample(x) {
  // A gentle knee instead of hard clipping, should the bells pile up.
  const y = x > 0.9 ? 0.9 + Math.tanh((x - 0.9) * 10) / 10 : x < -0.9 ? -0.9 + Math.tanh((x + 0.9) * 10) / 10 : x;
  return Math.max(-32768, Math.min(32767, Math.round(y * 32767)));
}

// The frames of chunk `index`; the last chunk holds what is left of the session.
export function chunkRange(plan, index) {
  const start = index * plan.chunkFrames;
  const count = Math.max(0, Math.min(plan.chunkFrames, plan.totalFrames - start));
  return { start, count };
}

const littleEndian = new Uint8Array(new Uint16Array([1]).buffer)[0] === 1;

// Chunk `index` as raw s16le bytes.
export function renderChunk(plan, index) {
  const { start, count } = chunkRange(plan, index);
  const samples = renderFrames(plan, start, count);
  if (!littleEndian) {
    const view = new DataView(samples.buffer);
    for (let i = 0; i < samples.length; i++) view.setInt16(2 * i, samples[i], true);
  }
  return new Uint8Array(samples.buffer);
}

const ALPHABET = 'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/';

// Standard Base64 with "=" padding and no line breaks: the only form native code takes.
export function bytesToBase64(bytes) {
  const codes = new Uint8Array(Math.ceil(bytes.length / 3) * 4);
  const table = new Uint8Array(64);
  for (let i = 0; i < 64; i++) table[i] = ALPHABET.charCodeAt(i);
  let o = 0;
  let i = 0;
  for (; i + 2 < bytes.length; i += 3) {
    const n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    codes[o++] = table[n >>> 18];
    codes[o++] = table[(n >>> 12) & 63];
    codes[o++] = table[(n >>> 6) & 63];
    codes[o++] = table[n & 63];
  }
  if (i < bytes.length) {
    const two = i + 1 < bytes.length;
    const n = (bytes[i] << 16) | (two ? bytes[i + 1] << 8 : 0);
    codes[o++] = table[n >>> 18];
    codes[o++] = table[(n >>> 12) & 63];
    codes[o++] = two ? table[(n >>> 6) & 63] : 61;
    codes[o++] = 61;
  }
  return new TextDecoder('ascii').decode(codes);
}
