// The page's heartbeat: the only thing that keeps a servo loop's force on. The desk lets go of
// the arm (its watchdog, one second) when the beats stop: this script hung, the page closed or
// lost the desk, or the page went out of sight, where the browser would slow its timers to about
// a beat a second and the force would stutter.
import { call } from './api.js';

const BEAT_MS = 150;
const MAX_IN_FLIGHT = 3; // a slow answer must not hold back the next beat, nor pile them up

export function startHeartbeat() {
  let inFlight = 0;
  setInterval(async () => {
    if (inFlight >= MAX_IN_FLIGHT || document.visibilityState !== 'visible') return;
    inFlight += 1;
    try {
      await call('POST', '/api/heartbeat', {});
    } catch {
      // The event stream shows the lost connection; the next beat tries again.
    } finally {
      inFlight -= 1;
    }
  }, BEAT_MS);
}
