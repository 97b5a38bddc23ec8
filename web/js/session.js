// One audio session as the page drives it: opens it natively, renders chunks just
// ahead of the play position, follows the native position reports. DOM-free; the
// renderer and the message channel are handed in.

import { sessionPlan } from './synth.js';

// Chunks rendered ahead of the one that holds the position: enough to cover the
// render time, little enough that a session never travels all at once.
export const LOOKAHEAD = 1;
// A report can still show the state before a command we just sent.
const SETTLE_MS = 1500;

export class SessionPlayer {
  // post(message): sends to native. render(plan, index) → Promise<Base64 text>.
  // onChange(): the visible state changed. onEnd(): the session played to its end.
  constructor({ post, render, onChange = () => {}, onEnd = () => {}, now = () => Date.now(), random = Math.random }) {
    this.post = post;
    this.render = render;
    this.onChange = onChange;
    this.onEnd = onEnd;
    this.now = now;
    this.random = random;
    this.id = null;
  }

  get isOpen() {
    return this.id !== null;
  }

  open(facet, day, title, options = {}) {
    if (this.isOpen) this.close();
    this.plan = sessionPlan(facet, day, options);
    // Letters and digits only: the id travels between single quotes in native reports.
    this.id = `s${this.now().toString(36)}${Math.floor(this.random() * 36 ** 5).toString(36)}`.replace(/[^A-Za-z0-9]/g, '');
    this.sent = new Set();
    this.pending = new Set();
    this.t = 0;
    this.reportAt = this.now();
    this.nativePlaying = false;
    this.wanted = false;
    this.started = false;
    this.ended = false;
    this.activeSent = false;
    this.commandAt = 0;
    this.post({
      type: 'audioOpen',
      id: this.id,
      title,
      duration: this.plan.duration,
      chunkSec: this.plan.chunkSec,
      sampleRate: this.plan.sampleRate,
    });
    this.onChange();
  }

  get duration() {
    return this.plan ? this.plan.duration : 0;
  }

  play() {
    if (!this.isOpen || this.wanted) return;
    this.wanted = true;
    this.commandAt = this.now();
    if (!this.started || this.ended) {
      if (this.ended) this.t = 0;
      this.started = true;
      this.ended = false;
      this.ensureAhead(this.t);
      this.post({ type: 'audioPlay', id: this.id, at: this.t });
    } else {
      this.ensureAhead(this.t);
      this.post({ type: 'audioResume', id: this.id });
    }
    this.reportAt = this.now();
    this.setActive(true);
    this.onChange();
  }

  pause() {
    if (!this.isOpen || !this.wanted) return;
    this.t = this.position();
    this.wanted = false;
    this.nativePlaying = false;
    this.post({ type: 'audioPause', id: this.id });
    this.setActive(false);
    this.onChange();
  }

  toggle() {
    if (this.wanted) this.pause();
    else this.play();
  }

  seek(at) {
    if (!this.isOpen) return;
    const t = Math.max(0, Math.min(this.duration, Number(at) || 0));
    this.t = t;
    this.reportAt = this.now();
    this.commandAt = this.now();
    this.ended = false;
    this.ensureAhead(t);
    if (this.started) this.post({ type: 'audioSeek', id: this.id, at: t });
    this.onChange();
  }

  skip(seconds) {
    this.seek(this.position() + seconds);
  }

  close() {
    if (!this.isOpen) return;
    this.post({ type: 'audioClose', id: this.id });
    this.setActive(false);
    this.id = null;
    this.wanted = false;
    this.onChange();
  }

  // A native report: { id, t, playing }.
  report({ id, t, playing }) {
    if (!this.isOpen || id !== this.id || !Number.isFinite(t)) return;
    const settling = this.now() - this.commandAt < SETTLE_MS;
    // Just after a command the report may describe the moment before it.
    if (!settling) {
      this.t = t;
      this.nativePlaying = playing === true;
    } else if (playing === true && this.wanted) {
      this.t = t;
      this.nativePlaying = true;
    }
    this.reportAt = this.now();
    // The end is reported once only (later reports go back to the last seek), so it
    // counts even while settling, unless it is a stale one from before a replay.
    const nearEnd = !settling || this.t > this.duration - 5;
    if (nearEnd && this.wanted && playing !== true && t >= this.duration - 0.05) {
      this.t = this.duration;
      this.wanted = false;
      this.ended = true;
      this.setActive(false);
      this.onEnd();
    }
    if (!this.ended) this.ensureAhead(this.t);
    this.onChange();
  }

  // The position to show: the last report, moved on by the clock while playing.
  position() {
    if (!this.isOpen) return 0;
    if (this.wanted && this.nativePlaying && !this.waitingForChunk()) {
      const moved = Math.min((this.now() - this.reportAt) / 1000, 1.5);
      return Math.min(this.duration, this.t + moved);
    }
    return this.t;
  }

  // The chunk holding the position has not been handed over yet.
  waitingForChunk() {
    if (!this.isOpen) return false;
    const c = this.chunkAt(this.t);
    return !this.sent.has(c);
  }

  // What the player should say: 'idle', 'preparing', 'waiting', 'playing', 'paused', 'ended'.
  status() {
    if (!this.isOpen) return 'idle';
    if (this.ended) return 'ended';
    if (!this.wanted) return this.started ? 'paused' : 'idle';
    if (this.waitingForChunk()) return 'preparing';
    const settling = this.now() - this.commandAt < SETTLE_MS;
    if (!this.nativePlaying && !settling) return 'waiting';
    return 'playing';
  }

  chunkAt(t) {
    const last = this.plan.total - 1;
    return Math.max(0, Math.min(last, Math.floor(t / this.plan.chunkSec)));
  }

  ensureAhead(t) {
    const first = this.chunkAt(t);
    for (let k = first; k <= Math.min(first + LOOKAHEAD, this.plan.total - 1); k++) this.request(k);
  }

  request(index) {
    if (this.sent.has(index) || this.pending.has(index)) return;
    const id = this.id;
    const plan = this.plan;
    this.pending.add(index);
    Promise.resolve(this.render(plan, index)).then(
      (pcm) => {
        if (this.id !== id) return;
        this.pending.delete(index);
        this.post({ type: 'audioChunk', id, index, pcm, total: plan.total });
        this.sent.add(index);
        this.onChange();
      },
      () => {
        if (this.id === id) this.pending.delete(index);
      },
    );
  }

  setActive(active) {
    if (active === this.activeSent) return;
    this.activeSent = active;
    this.post({ type: 'session', active });
  }
}
