// Talking to the desk: JSON requests carrying the token the desk printed, when it asked for one.

const TOKEN_KEY = 'orvex-desk-token';

function token() {
  const given = new URLSearchParams(location.search).get('token');
  if (given) sessionStorage.setItem(TOKEN_KEY, given);
  return sessionStorage.getItem(TOKEN_KEY);
}

export class RequestError extends Error {}

export async function call(method, path, body) {
  const headers = { 'Content-Type': 'application/json' };
  const held = token();
  if (held) headers['X-Desk-Token'] = held;
  const answer = await fetch(path, {
    method,
    headers,
    body: body === undefined ? undefined : JSON.stringify(body),
  });
  const data = await answer.json().catch(() => ({}));
  if (!answer.ok) throw new RequestError(data.error ?? `${method} ${path}: ${answer.status}`);
  return data;
}

// EventSource cannot send headers: the token goes in the query.
export function eventsUrl() {
  const held = token();
  return held ? `/api/events?token=${encodeURIComponent(held)}` : '/api/events';
}
