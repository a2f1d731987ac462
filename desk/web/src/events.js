// The desk's live event stream (server-sent events) read from a streamed fetch, so that the
// page's token goes in a header; reopened after a second when it breaks.
import { openEvents } from './api.js';

const RETRY_MS = 1000;

// Calls on[name](data) for each event, onState('on' | 'retrying' | 'ended', status) on changes.
export function followEvents(on, onState) {
  const run = async () => {
    for (;;) {
      let status = 0;
      try {
        const answer = await openEvents();
        status = answer.status;
        if (answer.ok) await readEvents(answer.body, on, () => onState('on'));
      } catch {
        // The desk went away or the connection broke: tried again below.
      }
      // A session the desk does not know is not coming back: a new link is needed.
      if (status === 401) { onState('ended', status); return; }
      onState('retrying', status);
      await new Promise((wake) => setTimeout(wake, RETRY_MS));
    }
  };
  run();
}

async function readEvents(body, on, opened) {
  const reader = body.pipeThrough(new TextDecoderStream()).getReader();
  let pending = '';
  opened();
  for (;;) {
    const { value, done } = await reader.read();
    if (done) return;
    pending += value;
    let end;
    while ((end = pending.indexOf('\n\n')) >= 0) {
      const block = pending.slice(0, end);
      pending = pending.slice(end + 2);
      let name = 'message';
      const data = [];
      for (const line of block.split('\n')) {
        if (line.startsWith('event: ')) name = line.slice(7);
        else if (line.startsWith('data: ')) data.push(line.slice(6));
      }
      if (data.length && on[name]) on[name](JSON.parse(data.join('\n')));
    }
  }
}
