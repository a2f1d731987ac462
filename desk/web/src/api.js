// Talking to the desk: JSON requests carrying the token the desk put in its page. The event
// stream gets it from the page's cookie, since an EventSource cannot send headers.

const token = document.querySelector('meta[name="desk-token"]')?.content ?? '';

// The printed link carries the token; once the page holds it, the address bar need not.
if (new URLSearchParams(location.search).has('token')) history.replaceState(null, '', location.pathname);

export class RequestError extends Error {}

export async function call(method, path, body) {
  const answer = await fetch(path, {
    method,
    headers: { 'Content-Type': 'application/json', 'X-Desk-Token': token },
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const data = await answer.json().catch(() => ({}));
  if (!answer.ok) throw new RequestError(data.error ?? `${method} ${path}: ${answer.status}`);
  return data;
}

export const EVENTS_URL = '/api/events';
