// What the page says about syncing. Syncing goes through a folder that the user's own
// sync program keeps in step between computers. Whether the journal is saved on this
// computer is told by native code in its own notes; a sync answer says nothing about it,
// so none of these texts may either.
// Pure: no DOM.

const EMPTY_TEXT = 'There is no journal in the sync folder yet. Lumora will copy this computer’s journal there.';
const ERROR_TEXT = {
  read: 'The journal in the sync folder could not be read, so nothing from your other computers was added.',
  big: 'Your journal has grown too large to sync, so syncing has paused.',
  quota: 'The sync folder is full, so syncing has paused.',
  unavailable: 'The sync folder cannot be reached. Check that the disk or network share it is on is connected.',
  write: 'Your journal could not be written to the sync folder. Lumora tries again with your next change.',
};

// arg: what native code answered to a pull. For a copy that was merged, `arrived` is how
// many reflections it brought, `changed` whether the journal changed at all, and `asked`
// whether the user asked for this pull. Null when there is nothing to say.
export function syncStatusText(arg, { arrived = 0, changed = false, asked = false } = {}) {
  if (arg === null || typeof arg !== 'object') return null;
  if ('data' in arg) {
    if (arrived > 0) {
      return arrived === 1
        ? 'A reflection arrived from your other computer.'
        : `${arrived} reflections arrived from your other computers.`;
    }
    if (!asked) return null;
    return changed
      ? 'Your journal now has the changes from your other computers.'
      : 'The sync folder has nothing new for this computer.';
  }
  if (arg.empty === true) return EMPTY_TEXT;
  if (typeof arg.error === 'string') {
    return Object.hasOwn(ERROR_TEXT, arg.error) ? ERROR_TEXT[arg.error] : 'Syncing did not work this time.';
  }
  return null;
}

export const SYNC_OFF_TEXT = 'Sync is off. Your journal is no longer copied to the sync folder.';
export const SYNC_FORGET_LABEL = 'Remove from sync folder';
export const SYNC_FORGOTTEN_TEXT =
  'Sync is off. Lumora removes your journal from the sync folder if it can reach it; the journal on this computer is not touched.';
