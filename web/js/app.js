// The Lumora page: screens, saved state, and the conversation with the native side.

import { BASE_FACETS, FACETS, THEMES, facetById } from './facets.js';
import {
  deleteEntry, draftOf, facetCounts, mergeStates, newEntryId, normaliseState, polishDay, polishedDays,
  sameState, searchEntries, streak, suggestion, visibleEntries, writeEntry,
} from './state.js';
import { dayKey, formatClock, formatDay, normaliseTime } from './time.js';
import { SessionPlayer } from './session.js';
import { bytesToBase64, renderChunk } from './synth.js';
import { GIFT_ITEMS, codeFromInput, giftLink, makeGiftCode, redeemGift } from './gifts.js';
import { journalBlocks, shareSubject, shareText } from './journal_doc.js';
import { SYNC_FORGET_LABEL, SYNC_FORGOTTEN_TEXT, SYNC_OFF_TEXT, syncStatusText } from './sync_text.js';
import { markMatches } from './text.js';

const SCREENS = ['intro', 'home', 'session', 'journal', 'settings'];
const SAVE_DELAY_MS = 400;
// With sync on, local saves wait this long at most for the first cloud copy, so that
// what another computer wrote is merged in before this one overwrites it.
const CLOUD_WAIT_MS = 3500;
const HELP_REVIEW_URL = 'https://lumora.app/review';

const $ = (id) => document.getElementById(id);
const el = (tag, props = {}, ...children) => {
  const node = document.createElement(tag);
  for (const [k, v] of Object.entries(props)) {
    if (k === 'class') node.className = v;
    else if (k === 'text') node.textContent = v;
    else if (k.startsWith('on')) node.addEventListener(k.slice(2), v);
    else if (v !== false && v !== null && v !== undefined) node.setAttribute(k, v === true ? '' : v);
  }
  for (const c of children) if (c !== null && c !== undefined) node.append(c);
  return node;
};
const SVG = 'http://www.w3.org/2000/svg';
const svg = (tag, attrs = {}) => {
  const node = document.createElementNS(SVG, tag);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  return node;
};

// ---- Native channel ----

function post(message) {
  try {
    window.webkit?.messageHandlers?.lumora?.postMessage(message);
  } catch {
    // Outside Lumora (a plain browser) there is nobody to tell.
  }
}

const inset = Math.max(0, Number(window.__LUMORA_INSET_TOP__) || 0);
document.documentElement.style.setProperty('--inset', `${inset}px`);

// ---- State and saving ----

let state = normaliseState(window.__LUMORA_STATE__);
let saveTimer = null;
let cloudReady = !state.device.sync;
let cloudWait = null;
let explicitPull = false;

function today() {
  return dayKey(new Date());
}

function commit(next) {
  state = normaliseState(next);
  scheduleSave();
  render();
}

function scheduleSave() {
  clearTimeout(saveTimer);
  saveTimer = setTimeout(flushSave, SAVE_DELAY_MS);
}

function flushSave() {
  clearTimeout(saveTimer);
  saveTimer = null;
  if (!cloudReady) {
    saveTimer = 'waiting';
    return;
  }
  post({ type: 'save', data: state, sync: state.device.sync });
}

function waitForCloud() {
  cloudReady = false;
  clearTimeout(cloudWait);
  cloudWait = setTimeout(cloudAnswered, CLOUD_WAIT_MS);
}

function cloudAnswered() {
  clearTimeout(cloudWait);
  cloudWait = null;
  if (cloudReady) return;
  cloudReady = true;
  if (saveTimer === 'waiting') flushSave();
}

// Sends a pending save at once; the program calls this before it quits. Until the first
// cloud copy has answered, a save would let this computer's older journal overwrite the
// cloud's, so the state comes back instead, for the program to keep on this computer only,
// and the cloud save keeps waiting for that answer. Answers false when nothing is pending.
function flushPending() {
  if (saveTimer === null) return false;
  if (!cloudReady) return { local: state };
  flushSave();
  return true;
}

if (!cloudReady) waitForCloud();
window.addEventListener('pagehide', () => {
  if (cloudReady) flushPending();
});

// ---- Notices ----

function notify(text, { warn = false } = {}) {
  const box = $('notices');
  while (box.children.length >= 3) box.firstElementChild.remove();
  const close = el('button', { type: 'button', 'aria-label': 'Dismiss', text: '×' });
  const notice = el('div', { class: warn ? 'notice warn' : 'notice' }, el('p', { text: String(text) }), close);
  const remove = () => notice.remove();
  close.addEventListener('click', remove);
  box.append(notice);
  setTimeout(remove, warn ? 14000 : 8000);
}

// ---- Screens ----

let screen = null;
let selected = null;

function show(name, { focus = true } = {}) {
  if (!SCREENS.includes(name)) name = 'home';
  if (name !== 'intro' && !state.introDone) name = 'intro';
  if (screen === 'session' && name !== 'session') leaveSession();
  const changed = name !== screen;
  screen = name;
  document.body.dataset.screen = name;
  for (const s of SCREENS) {
    const section = $(`screen-${s}`);
    section.hidden = s !== name;
    if (changed && s === name) {
      section.classList.remove('enter');
      void section.offsetWidth;
      section.classList.add('enter');
    }
  }
  for (const b of document.querySelectorAll('.nav')) {
    if (b.dataset.go === name) b.setAttribute('aria-current', 'page');
    else b.removeAttribute('aria-current');
  }
  if (name === 'session') enterSession();
  render();
  if (changed) {
    post({ type: 'event', name: 'screen', detail: { screen: name } });
    $('main').scrollTop = 0;
    if (focus) $(`screen-${name}`).querySelector('h1')?.focus?.();
  }
}

for (const b of document.querySelectorAll('[data-go]')) b.addEventListener('click', () => show(b.dataset.go));
for (const h of document.querySelectorAll('.screen h1')) h.setAttribute('tabindex', '-1');

function render() {
  document.body.dataset.theme = state.theme.id;
  if (screen === 'home' || screen === 'intro') renderHome();
  if (screen === 'journal') renderJournal();
  if (screen === 'settings') renderSettings();
  if (screen === 'session') renderSession();
}

function currentFacet() {
  if (!selected || !state.unlocked.facets.includes(selected)) selected = suggestion(state, today());
  return facetById(selected);
}

const facetColour = (f, light = 62) => `hsl(${f.hue} 80% ${light}%)`;

// ---- The gem ----

// showcase: the gem as it can become, for the welcome screen.
function drawGem(target, { interactive = false, showcase = false } = {}) {
  const counts = showcase ? Object.fromEntries(FACETS.map((f) => [f.id, 5])) : facetCounts(state);
  const days = showcase ? 12 : polishedDays(state).length;
  const chosen = interactive ? currentFacet().id : null;
  target.querySelectorAll(':scope > :not(title)').forEach((n) => n.remove());
  const defs = svg('defs');
  const halo = svg('radialGradient', { id: `halo-${target.id || 'x'}` });
  halo.append(svg('stop', { offset: '0%', 'stop-color': 'var(--accent)', 'stop-opacity': String(0.12 + Math.min(days, 30) * 0.012) }));
  halo.append(svg('stop', { offset: '100%', 'stop-color': 'var(--accent)', 'stop-opacity': '0' }));
  defs.append(halo);
  target.append(defs);
  target.append(svg('circle', { r: 108, fill: `url(#${halo.id})` }));
  target.append(svg('circle', { r: 96, class: 'ring' }));

  const R = 84;
  const T = 40;
  const at = (r, deg) => [r * Math.cos((deg * Math.PI) / 180), r * Math.sin((deg * Math.PI) / 180)];
  const group = svg('g', { 'aria-hidden': 'true' });
  FACETS.forEach((f, i) => {
    const a0 = -90 + 60 * i;
    const a1 = a0 + 60;
    const open = showcase || state.unlocked.facets.includes(f.id);
    const polish = Math.min(counts[f.id], 8) / 8;
    const grad = svg('linearGradient', { id: `g-${target.id}-${f.id}`, x1: '0', y1: '0', x2: '1', y2: '1' });
    const light = 30 + polish * 34;
    const sat = 60 + polish * 30;
    if (open) {
      grad.append(svg('stop', { offset: '0%', 'stop-color': `hsl(${f.hue} ${sat}% ${light + 16}%)` }));
      grad.append(svg('stop', { offset: '100%', 'stop-color': `hsl(${f.hue} ${sat}% ${light - 6}%)` }));
    } else {
      // An empty setting, waiting for its stone.
      grad.append(svg('stop', { offset: '0%', 'stop-color': 'rgba(170, 205, 255, 0.10)' }));
      grad.append(svg('stop', { offset: '100%', 'stop-color': 'rgba(170, 205, 255, 0.03)' }));
    }
    defs.append(grad);
    const pts = [at(T, a0), at(R, a0), at(R, a1), at(T, a1)].map((p) => p.map((v) => v.toFixed(2)).join(',')).join(' ');
    const poly = svg('polygon', {
      points: pts,
      fill: `url(#${grad.id})`,
      class: `facet${open ? '' : ' locked'}`,
      opacity: open ? String(0.75 + polish * 0.25) : '1',
    });
    if (chosen === f.id) {
      poly.setAttribute('stroke', '#fff');
      poly.setAttribute('stroke-width', '1.6');
    }
    if (interactive && open) poly.addEventListener('click', () => selectFacet(f.id));
    group.append(poly);
    const [lx, ly] = at(R + 15, a0 + 30);
    const label = svg('text', {
      x: lx.toFixed(1), y: (ly + 3).toFixed(1), 'text-anchor': Math.abs(lx) < 5 ? 'middle' : lx > 0 ? 'start' : 'end',
      class: `facet-label${chosen === f.id ? ' today' : ''}`,
    });
    label.textContent = f.name;
    if (!open) label.setAttribute('opacity', '0.55');
    group.append(label);
  });
  const table = [0, 1, 2, 3, 4, 5].map((i) => at(T, -90 + 60 * i).map((v) => v.toFixed(2)).join(',')).join(' ');
  const tableFill = svg('polygon', { points: table, fill: 'rgba(220, 240, 255, 0.10)', class: 'table' });
  group.append(tableFill);
  // Sparkles: more of them as days are polished.
  const sparkles = Math.min(6, Math.ceil(days / 3));
  for (let i = 0; i < sparkles; i++) {
    const [x, y] = at(i % 2 ? T : R, -90 + 60 * i);
    const s = svg('path', {
      d: `M${x} ${y - 6} L${x + 1.4} ${y - 1.4} L${x + 6} ${y} L${x + 1.4} ${y + 1.4} L${x} ${y + 6} L${x - 1.4} ${y + 1.4} L${x - 6} ${y} L${x - 1.4} ${y - 1.4} Z`,
      class: 'shine',
      style: `animation-delay: ${(i * 0.4).toFixed(2)}s`,
    });
    group.append(s);
  }
  target.append(group);
  const openCount = state.unlocked.facets.length;
  const title = target.querySelector('title');
  if (title) title.textContent = `Your gem: ${openCount} of 6 facets open, ${days} ${days === 1 ? 'day' : 'days'} polished.`;
}

function selectFacet(id) {
  if (!state.unlocked.facets.includes(id)) return;
  selected = id;
  render();
}

// ---- Home ----

function renderHome() {
  drawGem(document.querySelector('.gem-intro'), { showcase: true });
  if (screen !== 'home') return;
  drawGem($('home-gem'), { interactive: true });
  const day = today();
  const days = polishedDays(state).length;
  const run = streak(state, day);
  $('home-stats').replaceChildren(
    el('strong', { text: String(days) }), days === 1 ? ' day polished' : ' days polished',
    run > 1 ? ` · ${run}-day streak` : '',
  );
  $('home-date').textContent = `Today · ${formatDay(day)}`;
  const f = currentFacet();
  const suggested = suggestion(state, day);
  $('home-title').textContent = f.id === suggested ? "Today's suggestion" : 'Your choice today';
  $('today-name').textContent = f.name;
  $('today-dot').style.background = facetColour(f);
  $('today-dot').style.color = facetColour(f);
  $('today-line').textContent = f.line;
  const done = state.days[day]?.facets ?? [];
  const doneEl = $('today-done');
  doneEl.hidden = done.length === 0;
  doneEl.textContent = done.length
    ? `Polished today: ${done.map((id) => facetById(id).name).join(', ')}. Well done.`
    : '';
  const counts = facetCounts(state);
  const chips = FACETS.map((facet) => {
    const open = state.unlocked.facets.includes(facet.id);
    const chip = el('button', {
      type: 'button', role: 'radio', class: open ? 'chip' : 'chip locked',
      'aria-checked': String(facet.id === f.id), 'aria-disabled': open ? null : 'true',
      'aria-label': open ? `${facet.name}, polished ${counts[facet.id]} times` : `${facet.name}, opens with a gift`,
      'data-facet': facet.id, tabindex: facet.id === f.id ? '0' : '-1',
      onclick: () => (open ? selectFacet(facet.id) : notify(`${facet.name} opens with a gift code from a friend. Enter it in Settings.`)),
      onkeydown: (e) => chipKeys(e, facet.id),
    },
    el('span', { class: 'dot', style: open ? `background:${facetColour(facet)}` : '' }),
    el('span', { text: facet.name }),
    el('span', { class: 'n', text: open ? (counts[facet.id] ? `✦ ${counts[facet.id]}` : '') : 'gift' }));
    return chip;
  });
  const had = document.activeElement?.dataset?.facet;
  $('home-facets').replaceChildren(...chips);
  if (had) $('home-facets').querySelector(`[data-facet="${f.id}"]`)?.focus();
}

// Arrow keys move within the facet radio group, as in any radio group.
function chipKeys(event, id) {
  const keys = { ArrowRight: 1, ArrowDown: 1, ArrowLeft: -1, ArrowUp: -1 };
  if (!(event.key in keys)) return;
  event.preventDefault();
  const open = FACETS.filter((f) => state.unlocked.facets.includes(f.id)).map((f) => f.id);
  const i = open.indexOf(id);
  selectFacet(open[(i + keys[event.key] + open.length) % open.length]);
  $('home-facets').querySelector(`[data-facet="${selected}"]`)?.focus();
}

$('home-begin').addEventListener('click', () => show('session'));
$('home-reflect').addEventListener('click', () => {
  show('journal', { focus: false });
  $('composer-text').focus();
});

// ---- Intro ----

$('intro-start').addEventListener('click', () => {
  commit({ ...state, introDone: true });
  show('home');
});

// ---- Session ----

function makeRenderer() {
  const inline = (plan, index) =>
    new Promise((resolve) => setTimeout(() => resolve(bytesToBase64(renderChunk(plan, index))), 0));
  let worker = null;
  const jobs = new Map();
  let next = 1;
  const fallBack = () => {
    worker = null;
    for (const job of jobs.values()) inline(job.plan, job.index).then(job.resolve);
    jobs.clear();
  };
  try {
    worker = new Worker(new URL('./synth_worker.js', import.meta.url), { type: 'module' });
    worker.onmessage = (e) => {
      const job = jobs.get(e.data.job);
      jobs.delete(e.data.job);
      job?.resolve(e.data.pcm);
    };
    worker.onerror = (e) => {
      e.preventDefault?.();
      fallBack();
    };
  } catch {
    worker = null;
  }
  return (plan, index) => {
    if (!worker) return inline(plan, index);
    return new Promise((resolve) => {
      const job = next++;
      jobs.set(job, { plan, index, resolve });
      worker.postMessage({ job, facet: plan.facet, day: plan.day, duration: plan.duration, index });
    });
  };
}

const player = new SessionPlayer({
  post,
  render: makeRenderer(),
  onChange: () => screen === 'session' && renderSession(),
  onEnd: sessionEnded,
});
let sessionFacet = null;
let sessionDay = null;
let seeking = false;
let sessionTimer = null;

function enterSession() {
  const f = currentFacet();
  const day = today();
  if (!player.isOpen || sessionFacet !== f.id || sessionDay !== day) {
    sessionFacet = f.id;
    sessionDay = day;
    player.open(f.id, day, `${f.name} · ${formatDay(day)}`);
  }
  $('session-title').textContent = f.name;
  $('session-day').textContent = formatDay(day);
  $('session-line').textContent = f.line;
  $('session-orb').parentElement.style.setProperty('--facet', facetColour(f, 64));
  $('session-seek').max = String(player.duration);
  $('session-dur').textContent = formatClock(player.duration);
  renderSession();
}

// The clock moves only while a session plays and someone can see it; otherwise the
// player's own changes redraw the screen.
function keepClock(playing) {
  const ticking = playing && screen === 'session' && !document.hidden;
  if (ticking && !sessionTimer) sessionTimer = setInterval(renderSession, 250);
  if (!ticking && sessionTimer) {
    clearInterval(sessionTimer);
    sessionTimer = null;
  }
}

// Leaving the player keeps a running session going (one can write while listening);
// a session that is not playing is closed, which frees its chunks.
function leaveSession() {
  clearInterval(sessionTimer);
  sessionTimer = null;
  if (player.isOpen && !player.wanted) player.close();
}

const STATUS_TEXT = {
  idle: 'Press play when you are ready.',
  preparing: 'Preparing the sound…',
  waiting: 'Waiting for the next part of the sound…',
  playing: 'Breathe in slowly… and out.',
  paused: 'Paused.',
  ended: 'Session complete. Your gem shines a little more.',
};

// The orb's size at a point of the session: in for five seconds, out for five, eased, and
// moved once a second, with the clock.
function breathAt(position) {
  const second = Math.floor(position) % 10;
  const way = (second <= 5 ? second : 10 - second) / 5;
  return 0.86 + 0.14 * (1 - Math.cos(Math.PI * way)) / 2;
}

function setText(element, text) {
  if (element.textContent !== text) element.textContent = text;
}

// Nobody sees a hidden page: the reports that keep coming change nothing until it is seen
// again, when it is drawn afresh.
function renderSession() {
  if (screen !== 'session' || document.hidden) return keepClock(false);
  const status = player.status();
  const pos = player.position();
  const playBtn = $('session-play');
  const playing = player.wanted;
  playBtn.classList.toggle('playing', playing);
  playBtn.setAttribute('aria-label', playing ? 'Pause' : status === 'ended' ? 'Play again' : 'Play');
  const orb = $('session-orb');
  orb.classList.toggle('playing', status === 'playing');
  const breath = status === 'playing' ? breathAt(pos).toFixed(4) : '';
  if (orb.parentElement.style.getPropertyValue('--breath') !== breath) orb.parentElement.style.setProperty('--breath', breath);
  const seek = $('session-seek');
  if (!seeking) {
    const second = String(Math.floor(pos));
    if (seek.value !== second) seek.value = second;
    setText($('session-pos'), formatClock(pos));
  }
  // Set only on a change: the ticks in between would otherwise repaint the timeline.
  const fill = player.duration ? (Number(seek.value) / player.duration) * 100 : 0;
  if (seek.style.getPropertyValue('--fill') !== `${fill.toFixed(2)}%`) seek.style.setProperty('--fill', `${fill.toFixed(2)}%`);
  const spoken = `${formatClock(Number(seek.value))} of ${formatClock(player.duration)}`;
  if (seek.getAttribute('aria-valuetext') !== spoken) seek.setAttribute('aria-valuetext', spoken);
  const line = $('session-status');
  if (line.dataset.status !== status) {
    line.dataset.status = status;
    line.textContent = STATUS_TEXT[status];
    line.classList.toggle('waiting', status === 'waiting' || status === 'preparing');
  }
  $('session-after').hidden = status !== 'ended';
  keepClock(playing);
}

function sessionEnded() {
  commit(polishDay(state, sessionDay ?? today(), sessionFacet ?? currentFacet().id, Date.now()));
  notify(`${facetById(sessionFacet)?.name ?? 'Your facet'} is polished for today. ✦`);
}

$('session-play').addEventListener('click', () => player.toggle());
$('session-back15').addEventListener('click', () => player.skip(-15));
$('session-fwd15').addEventListener('click', () => player.skip(15));
$('session-seek').addEventListener('input', (e) => {
  seeking = true;
  $('session-pos').textContent = formatClock(Number(e.target.value));
  renderSession();
});
$('session-seek').addEventListener('change', (e) => {
  seeking = false;
  player.seek(Number(e.target.value));
});
$('session-back').addEventListener('click', () => {
  player.close();
  show('home');
});
$('session-home').addEventListener('click', () => {
  player.close();
  show('home');
});
$('session-reflect').addEventListener('click', () => {
  player.close();
  composerFacet = sessionFacet;
  show('journal', { focus: false });
  $('composer-text').focus();
});

document.addEventListener('keydown', (e) => {
  if (screen !== 'session' || e.altKey || e.ctrlKey || e.metaKey) return;
  const typing = ['INPUT', 'TEXTAREA', 'SELECT', 'BUTTON'].includes(e.target.tagName);
  if (e.key === 'Escape') {
    $('session-back').click();
  } else if ((e.key === ' ' || e.key === 'k') && !typing) {
    e.preventDefault();
    player.toggle();
  }
});

// ---- Journal ----

let composerFacet = null;
let editing = null;

// A reflection left unsaved last time comes back as it was.
if (state.device.draft) {
  const { text, facet, editing: id } = state.device.draft;
  $('composer-text').value = text;
  if (facet) composerFacet = facet;
  if (id && state.entries[id] && !state.entries[id].deleted) editing = id;
}

// Unsaved text is kept with the state, so quitting or a crash does not lose it.
function keepDraft() {
  const draft = draftOf($('composer-text').value, composerFacet, editing);
  const { draft: old = null, ...device } = state.device;
  if (JSON.stringify(old) === JSON.stringify(draft)) return;
  state = { ...state, device: draft ? { ...device, draft } : device };
  scheduleSave();
}

$('composer-text').addEventListener('input', keepDraft);

function renderJournal() {
  const select = $('composer-facet');
  const open = FACETS.filter((f) => state.unlocked.facets.includes(f.id));
  if (!composerFacet || !state.unlocked.facets.includes(composerFacet)) composerFacet = currentFacet().id;
  if (select.options.length !== open.length) {
    select.replaceChildren(...open.map((f) => el('option', { value: f.id, text: f.name })));
  }
  select.value = composerFacet;
  $('composer-prompt').textContent = facetById(composerFacet).prompt;
  $('composer-title').textContent = editing ? 'Edit reflection' : "Today's reflection";
  $('composer-save').textContent = editing ? 'Save changes' : 'Save reflection';

  const query = $('journal-search').value;
  const found = searchEntries(state, query);
  const total = visibleEntries(state).length;
  $('journal-count').textContent = query.trim()
    ? `${found.length} of ${total} reflections match “${query.trim()}”`
    : total === 1 ? '1 reflection' : `${total} reflections`;
  $('journal-export').disabled = found.length === 0;
  const list = $('journal-entries');
  if (!found.length) {
    list.replaceChildren(el('li', {
      class: 'empty',
      text: total ? 'Nothing matches your search.' : 'Your reflections will gather here, one day at a time.',
    }));
    return;
  }
  list.replaceChildren(...found.map((e) => entryItem(e, query)));
}

function highlighted(text, query) {
  return markMatches(text, query).map(([part, marked]) => (marked ? el('mark', { text: part }) : part));
}

function entryItem(entry, query) {
  const f = facetById(entry.facet);
  const del = el('button', { type: 'button', class: 'quiet', text: 'Delete', 'aria-label': `Delete the reflection of ${formatDay(entry.day)}` });
  del.addEventListener('click', () => {
    if (del.dataset.armed) {
      commit(deleteEntry(state, entry.id, Date.now()));
      notify('Reflection deleted.');
      return;
    }
    del.dataset.armed = '1';
    del.textContent = 'Delete for good?';
    setTimeout(() => {
      delete del.dataset.armed;
      del.textContent = 'Delete';
    }, 4000);
  });
  return el('li', { class: 'entry', 'data-entry': entry.id },
    el('div', { class: 'entry-head' },
      el('span', { class: 'dot', style: `background:${facetColour(f)}` }),
      el('span', { class: 'facet-name', text: f.name }),
      el('span', { text: formatDay(entry.day) })),
    el('p', { class: 'entry-text' }, ...highlighted(entry.text, query)),
    el('div', { class: 'entry-actions' },
      el('button', {
        type: 'button', class: 'quiet', text: 'Share', 'aria-label': `Share the reflection of ${formatDay(entry.day)}`,
        onclick: () => post({ type: 'share', subject: shareSubject(entry), text: shareText(entry) }),
      }),
      el('button', {
        type: 'button', class: 'quiet', text: 'Edit', 'aria-label': `Edit the reflection of ${formatDay(entry.day)}`,
        onclick: () => startEdit(entry),
      }),
      del));
}

function startEdit(entry) {
  editing = entry.id;
  composerFacet = entry.facet;
  $('composer-text').value = entry.text;
  renderJournal();
  $('composer-text').focus();
}

$('composer-facet').addEventListener('change', (e) => {
  composerFacet = e.target.value;
  keepDraft();
  renderJournal();
});

$('composer').addEventListener('submit', (e) => {
  e.preventDefault();
  const text = $('composer-text').value.trim();
  if (!text) {
    $('composer-hint').textContent = 'Write a few words first.';
    $('composer-text').focus();
    return;
  }
  const now = Date.now();
  const old = editing ? state.entries[editing] : null;
  const day = old ? old.day : today();
  let next = writeEntry(state, { id: editing ?? newEntryId(now), day, facet: composerFacet, text }, now);
  if (!old) next = polishDay(next, day, composerFacet, now);
  // Whether it reached the disk is for native code to tell.
  $('composer-hint').textContent = old ? 'Reflection updated.' : 'Added to your journal. Your day is polished.';
  setTimeout(() => ($('composer-hint').textContent = ''), 4000);
  editing = null;
  $('composer-text').value = '';
  const { draft, ...device } = next.device;
  commit({ ...next, device });
});

$('journal-search').addEventListener('input', () => renderJournal());

$('journal-export').addEventListener('click', () => {
  const query = $('journal-search').value;
  const blocks = journalBlocks(searchEntries(state, query), {
    today: today(), query, polished: polishedDays(state).length,
  });
  post({ type: 'sharePdf', name: 'Lumora Journal', blocks });
});

// ---- Settings ----

function renderSettings() {
  const r = state.device.reminder;
  $('reminder-on').setAttribute('aria-checked', String(r.on));
  if (document.activeElement !== $('reminder-time')) $('reminder-time').value = r.time;
  $('sync-on').setAttribute('aria-checked', String(state.device.sync));
  $('sync-now').disabled = !state.device.sync;
  const give = $('gift-give');
  if (!give.options.length) {
    give.replaceChildren(...GIFT_ITEMS.map((g) => el('option', {
      value: g.id, text: g.kind === 'facet' ? `${facetById(g.id).name} facet` : `${g.word[0]}${g.word.slice(1).toLowerCase()} theme`,
    })));
  }
  $('themes').replaceChildren(...THEMES.map((t) => {
    const open = state.unlocked.themes.includes(t.id);
    return el('button', {
      type: 'button', role: 'radio', class: 'theme', 'aria-checked': String(state.theme.id === t.id),
      disabled: !open, 'aria-label': open ? t.name : `${t.name}, opens with a gift`, 'data-theme-id': t.id,
      onclick: () => commit({ ...state, theme: { id: t.id, updatedAt: Date.now() } }),
    },
    el('span', { class: 'swatch', style: `background: linear-gradient(135deg, ${t.accent}, ${t.accent2})` }),
    el('span', { text: open ? t.name : `${t.name} · gift` }));
  }));
}

function setReminder(on, time) {
  commit({ ...state, device: { ...state.device, reminder: { on, time } } });
  post({ type: 'reminder', on, time });
}

$('reminder-on').addEventListener('click', () => {
  const r = state.device.reminder;
  setReminder(!r.on, r.time);
  notify(state.device.reminder.on ? `I'll remind you every day at ${r.time}.` : 'Daily reminder off.');
});
$('reminder-time').addEventListener('change', (e) => {
  const time = normaliseTime(e.target.value);
  const r = state.device.reminder;
  if (time === r.time) return;
  if (r.on) setReminder(true, time);
  else commit({ ...state, device: { ...state.device, reminder: { on: false, time } } });
});

$('sync-on').addEventListener('click', () => {
  const on = !state.device.sync;
  if (on) {
    // Fetch what other computers wrote first; the save that switches sync on follows
    // once it has been merged.
    waitForCloud();
    explicitPull = true;
    post({ type: 'cloudPull' });
  }
  commit({ ...state, device: { ...state.device, sync: on } });
  if (!on) notify(SYNC_OFF_TEXT);
});
$('sync-now').addEventListener('click', () => {
  explicitPull = true;
  post({ type: 'cloudPull' });
});
$('sync-forget').addEventListener('click', (e) => {
  const b = e.currentTarget;
  if (!b.dataset.armed) {
    b.dataset.armed = '1';
    b.textContent = 'Remove? Press again';
    setTimeout(() => {
      delete b.dataset.armed;
      b.textContent = SYNC_FORGET_LABEL;
    }, 4000);
    return;
  }
  delete b.dataset.armed;
  b.textContent = SYNC_FORGET_LABEL;
  post({ type: 'cloudForget' });
  // Keeping sync on would upload everything again with the next change.
  commit({ ...state, device: { ...state.device, sync: false } });
  cloudAnswered();
  notify(SYNC_FORGOTTEN_TEXT);
});

function receiveGift(code) {
  const result = redeemGift(state, code, Date.now());
  if (result.state !== state) commit(result.state);
  notify(result.message, { warn: !result.ok });
  return result.ok;
}

$('gift-form').addEventListener('submit', (e) => {
  e.preventDefault();
  if (receiveGift(codeFromInput($('gift-code').value))) $('gift-code').value = '';
});
$('gift-share').addEventListener('click', () => {
  const item = GIFT_ITEMS.find((g) => g.id === $('gift-give').value);
  const code = makeGiftCode(item.id);
  const what = `the ${$('gift-give').selectedOptions[0]?.textContent ?? 'gift'}`;
  post({
    type: 'share',
    subject: 'A Lumora gift for you',
    text: `I'm giving you ${what} in Lumora. Open this link on your computer: ${giftLink(code)}\n` +
      `Or enter the code ${code} in Lumora's Settings, under Gifts.`,
  });
});

for (const b of document.querySelectorAll('[data-open]')) {
  b.addEventListener('click', () => post({ type: 'open', url: b.dataset.open }));
}
$('review').addEventListener('click', () => post({ type: 'review', explicit: true, url: HELP_REVIEW_URL }));

// ---- Native callbacks ----

window.__lmCloud = (arg) => {
  if (arg === null || typeof arg !== 'object') return;
  const asked = explicitPull;
  explicitPull = false;
  if ('data' in arg) {
    const { state: merged, arrived } = mergeStates(state, arg.data);
    const changed = !sameState(merged, state);
    // A copy that lacks what this computer has (another computer wrote it first) gets the
    // merged journal back, even when nothing here changed. Each computer's own settings
    // are its own, so they do not count.
    const behind = state.device.sync && !sameState({ ...merged, device: null }, { ...normaliseState(arg.data), device: null });
    if (changed) {
      state = merged;
      render();
    }
    if (changed || behind) scheduleSave();
    const text = syncStatusText(arg, { arrived, changed, asked });
    if (text) notify(text);
  } else if (arg.empty === true) {
    // The empty folder gets this computer's journal now, not only with the next change.
    if (state.device.sync) {
      scheduleSave();
      notify(syncStatusText(arg));
    }
  } else if (typeof arg.error === 'string') {
    notify(syncStatusText(arg), { warn: true });
  } else {
    return;
  }
  cloudAnswered();
};

window.__lmNative = (report) => {
  if (report && typeof report === 'object') player.report(report);
};

window.__lmNote = (text) => notify(String(text));

window.__lmGift = (code) => receiveGift(typeof code === 'string' ? code : '');

window.__lmFlush = () => flushPending();

// A hidden or minimised window: animations pause and the clock stops until it is seen.
function followVisibility() {
  document.documentElement.classList.toggle('page-hidden', document.hidden);
  renderSession();
}
document.addEventListener('visibilitychange', followVisibility);
followVisibility();

// The engine answers the query anew when the desktop turns animations off, but does not
// restyle the page by itself: a class carries the change.
const lessMotion = matchMedia('(prefers-reduced-motion: reduce)');
const followMotion = () => document.documentElement.classList.toggle('reduced-motion', lessMotion.matches);
lessMotion.addEventListener('change', followMotion);
followMotion();

// For the tests and for anyone poking at the page in the inspector.
Object.defineProperty(window, '__lumoraPage', {
  value: Object.freeze({ state: () => state, screen: () => screen, player }),
});

// ---- Start ----

const resume = typeof window.__LUMORA_RESUME__ === 'string' ? window.__LUMORA_RESUME__ : null;
show(!state.introDone ? 'intro' : SCREENS.includes(resume) ? resume : 'home', { focus: false });
