import { test } from 'node:test';
import assert from 'node:assert/strict';
import { addDays, dayKey, daysBetween, formatClock, formatDay, isDayKey, normaliseTime } from '../../web/js/time.js';

test('clock text', () => {
  const cases = [
    [0, '0:00'], [0.99, '0:00'], [59.999, '0:59'], [60, '1:00'], [61.5, '1:01'], [299.9, '4:59'],
    [300, '5:00'], [3599, '59:59'], [3600, '1:00:00'], [3725, '1:02:05'],
    [-3, '0:00'], [NaN, '0:00'], [Infinity, '0:00'], [undefined, '0:00'], ['42', '0:42'],
  ];
  for (const [input, text] of cases) assert.equal(formatClock(input), text, String(input));
});

test('calendar days', () => {
  assert.equal(dayKey(new Date(2026, 0, 5, 23, 59)), '2026-01-05');
  assert.equal(addDays('2026-12-31', 1), '2027-01-01');
  assert.equal(addDays('2024-03-01', -1), '2024-02-29');
  // Across both daylight-saving changes, wherever the tests run.
  assert.equal(addDays('2026-03-28', 2), '2026-03-30');
  assert.equal(addDays('2026-10-24', 2), '2026-10-26');
  assert.equal(daysBetween('2026-03-01', '2026-04-01'), 31);
  assert.equal(formatDay('2026-12-08'), 'Tue 8 Dec 2026');
  assert.ok(isDayKey('2024-02-29'));
  assert.ok(!isDayKey('2026-02-29'));
  assert.ok(!isDayKey('2026-1-01'));
});

test('reminder time text', () => {
  assert.equal(normaliseTime('7:05'), '07:05');
  assert.equal(normaliseTime('21:30'), '21:30');
  for (const bad of ['', '24:00', '12:60', 'x', null, '7']) assert.equal(normaliseTime(bad), '07:30', String(bad));
});
