// The facets of the gem, the themes, and what each one sounds and reads like.

export const FACETS = [
  {
    id: 'calm',
    name: 'Calm',
    hue: 200,
    // Root of the pad in Hz and the chord above it, in semitones.
    root: 110.0,
    chord: [0, 7, 12, 16, 19],
    bellEvery: 11,
    line: 'Let the breath slow down by itself.',
    prompt: 'What felt quiet today, even for a moment?',
  },
  {
    id: 'focus',
    name: 'Focus',
    hue: 228,
    root: 123.47,
    chord: [0, 7, 12, 14, 19],
    bellEvery: 9,
    line: 'One thing at a time, gently.',
    prompt: 'What deserves your full attention tomorrow?',
  },
  {
    id: 'gratitude',
    name: 'Gratitude',
    hue: 42,
    root: 130.81,
    chord: [0, 4, 7, 12, 16],
    bellEvery: 8,
    line: 'Notice what is already here.',
    prompt: 'Name three small things you are thankful for.',
  },
  {
    id: 'courage',
    name: 'Courage',
    hue: 12,
    root: 98.0,
    chord: [0, 7, 10, 12, 19],
    bellEvery: 10,
    line: 'Steady feet, open chest.',
    prompt: 'What would you try if you felt a little braver?',
  },
  {
    id: 'kindness',
    name: 'Kindness',
    hue: 328,
    root: 116.54,
    chord: [0, 4, 9, 12, 16],
    bellEvery: 12,
    line: 'Warmth for yourself first, then outward.',
    prompt: 'Who could use a kind word from you this week?',
  },
  {
    id: 'rest',
    name: 'Rest',
    hue: 262,
    root: 87.31,
    chord: [0, 7, 12, 15, 19],
    bellEvery: 14,
    line: 'Nothing to do. Nowhere to be.',
    prompt: 'What can you put down for tonight?',
  },
];

// Open from the first start; the others come as gifts.
export const BASE_FACETS = ['calm', 'focus', 'gratitude', 'rest'];

export const THEMES = [
  { id: 'midnight', name: 'Midnight', accent: '#8fd3ff', accent2: '#c9b6ff' },
  { id: 'aurora', name: 'Aurora', accent: '#7ff0c4', accent2: '#8fd3ff' },
  { id: 'ember', name: 'Ember', accent: '#ffc27a', accent2: '#ff9fb0' },
];

export const BASE_THEMES = ['midnight'];

export function facetById(id) {
  return FACETS.find((f) => f.id === id) ?? null;
}

export function themeById(id) {
  return THEMES.find((t) => t.id === id) ?? null;
}
