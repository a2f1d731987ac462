// Talking to the desk. The link the desk printed carries a one-time code in its fragment (never
// sent to any server); the page trades it once for a session token that lives in this page's
// memory only and goes in a header on every request: no cookie (which a browser would send to
// every server on this machine) and no storage that a reload, a duplicated tab or a popup could
// carry elsewhere. A reload thus needs a new link: the desk prints the next one in its terminal.

export class RequestError extends Error {
  constructor(message, status) {
    super(message);
    this.status = status;
  }
}

let session = null; // { token, page }: this page's, once traded

// Takes the code out of the address bar (the history keeps it, used and dead) and trades it.
export async function openSession() {
  const code = new URLSearchParams(location.hash.slice(1)).get('code');
  if (location.hash) history.replaceState(null, '', location.pathname);
  if (!code) throw new RequestError('This page\'s address holds no one-time code', 401);
  session = await send('POST', '/api/session', {}, { code });
  return session.page;
}

async function send(method, path, headers, body) {
  const answer = await fetch(path, {
    method,
    headers: { 'Content-Type': 'application/json', ...headers },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const data = await answer.json().catch(() => ({}));
  if (!answer.ok) throw new RequestError(data.error ?? `${method} ${path}: ${answer.status}`, answer.status);
  return data;
}

export function call(method, path, body) {
  return send(method, path, { 'X-Desk-Token': session?.token ?? '' }, body);
}

// The event stream, read with this page's token in a header (an EventSource cannot send one).
export function openEvents(signal) {
  return fetch('/api/events', { headers: { 'X-Desk-Token': session?.token ?? '' }, signal, cache: 'no-store' });
}
