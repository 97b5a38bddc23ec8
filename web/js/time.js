// Clock and calendar text. Pure: no DOM, no locale, so the page reads the same everywhere.

const MONTHS = [
  'January', 'February', 'March', 'April', 'May', 'June',
  'July', 'August', 'September', 'October', 'November', 'December',
];
const WEEKDAYS = ['Sun', 'Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat'];

// Seconds as m:ss, or h:mm:ss from one hour on. Anything that is not a finite,
// non-negative number shows as 0:00; fractions are dropped, never rounded up, so
// the clock does not show a second before it has passed.
export function formatClock(seconds) {
  let s = Number(seconds);
  if (!Number.isFinite(s) || s < 0) s = 0;
  s = Math.floor(s);
  const h = Math.floor(s / 3600);
  const m = Math.floor((s % 3600) / 60);
  const sec = s % 60;
  const two = (n) => String(n).padStart(2, '0');
  return h > 0 ? `${h}:${two(m)}:${two(sec)}` : `${m}:${two(sec)}`;
}

// The local calendar day of a date as YYYY-MM-DD.
export function dayKey(date = new Date()) {
  const y = date.getFullYear();
  const m = String(date.getMonth() + 1).padStart(2, '0');
  const d = String(date.getDate()).padStart(2, '0');
  return `${y}-${m}-${d}`;
}

export function isDayKey(text) {
  if (typeof text !== 'string' || !/^\d{4}-\d{2}-\d{2}$/.test(text)) return false;
  const date = parseDayKey(text);
  return date !== null && dayKey(date) === text;
}

// Noon of that day, so that adding days never trips over a daylight-saving change.
export function parseDayKey(key) {
  const m = /^(\d{4})-(\d{2})-(\d{2})$/.exec(String(key));
  if (!m) return null;
  const date = new Date(Number(m[1]), Number(m[2]) - 1, Number(m[3]), 12);
  return Number.isNaN(date.getTime()) ? null : date;
}

export function addDays(key, n) {
  const date = parseDayKey(key);
  if (!date) return key;
  date.setDate(date.getDate() + n);
  return dayKey(date);
}

// Whole days from a to b (b later gives a positive number).
export function daysBetween(a, b) {
  const da = parseDayKey(a);
  const db = parseDayKey(b);
  if (!da || !db) return 0;
  return Math.round((db - da) / 86400000);
}

export function formatDay(key) {
  const date = parseDayKey(key);
  if (!date) return String(key);
  return `${WEEKDAYS[date.getDay()]} ${date.getDate()} ${MONTHS[date.getMonth()].slice(0, 3)} ${date.getFullYear()}`;
}

export function formatMonth(key) {
  const date = parseDayKey(key);
  if (!date) return String(key);
  return `${MONTHS[date.getMonth()]} ${date.getFullYear()}`;
}

// "HH:MM" from loose input; the reminder keeps 07:30 when the text makes no sense.
export function normaliseTime(text) {
  const m = /^(\d{1,2}):(\d{1,2})$/.exec(String(text ?? '').trim());
  if (!m) return '07:30';
  const h = Number(m[1]);
  const min = Number(m[2]);
  if (h > 23 || min > 59) return '07:30';
  return `${String(h).padStart(2, '0')}:${String(min).padStart(2, '0')}`;
}
