// The journal as a document of blocks for the PDF, and one reflection as shared text.
// Pure: no DOM.

import { facetById } from './facets.js';
import { formatDay, formatMonth } from './time.js';

const facetName = (id) => facetById(id)?.name ?? 'Lumora';

// entries: newest first, as the journal shows them.
export function journalBlocks(entries, { today, query = '', polished = 0 } = {}) {
  const count = entries.length === 1 ? '1 reflection' : `${entries.length} reflections`;
  const days = polished === 1 ? '1 day polished' : `${polished} days polished`;
  const blocks = [
    { k: 'title', t: 'My Lumora journal' },
    { k: 'sub', t: `${count} · ${days} · exported ${formatDay(today)}` },
  ];
  if (query.trim()) blocks.push({ k: 'p', t: `Reflections matching “${query.trim()}”.` });
  if (!entries.length) {
    blocks.push({ k: 'p', t: 'No reflections yet. The first one is waiting for you.' });
    return blocks;
  }
  let month = null;
  for (const e of entries) {
    const m = formatMonth(e.day);
    if (m !== month) {
      if (month !== null) blocks.push({ k: 'gap' });
      blocks.push({ k: 'h', t: m });
      month = m;
    }
    blocks.push({ k: 'item', l: `${formatDay(e.day)} · ${facetName(e.facet)}`, t: e.text });
  }
  blocks.push({ k: 'gap' });
  blocks.push({ k: 'p', t: 'Polished one day at a time.' });
  return blocks;
}

export function shareSubject(entry) {
  return `My Lumora reflection · ${facetName(entry.facet)} · ${formatDay(entry.day)}`;
}

export function shareText(entry) {
  return `${entry.text}\n\n— ${facetName(entry.facet)}, ${formatDay(entry.day)}, from my Lumora journal`;
}
