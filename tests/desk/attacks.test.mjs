// The desk against pages of other sites, in headless Chromium: a desk started with --emulate,
// its emulator's traffic logged, the person's own page open from a printed link, and attacker
// pages served from another port of this machine (the same site to a browser: it would get the
// desk's cookies, if it had any) and from "localhost" (another site), whose server logs every
// request it gets. What reaches a device is read from the emulator's log.
//   node --test tests/desk/
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { createServer } from 'node:http';
import { connect } from 'node:net';
import { readFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { api, codeOf, EmulatorLog, launchBrowser, loggingEmulator, noBrowser, session, sleep, startDesk, stopDesk, takeLink, until } from './harness.mjs';

const WATCHDOG_MS = 1000;
// The page's script, the desk and the loop share a loaded machine: the force must be gone well
// within this, though the watchdog takes it after one second.
const ZERO_WITHIN_MS = WATCHDOG_MS + 2000;

let folder;
let desk;
let log;
let browser;
let context;
let own;
let attacker;
let attackerPort;
const attackerLog = []; // every request the other server got: method, path and headers

const CHANGES = [
  ['POST', '/api/devices', { kind: 'handle', port: '/dev/tty' }],
  ['POST', '/api/scan', {}],
  ['POST', '/api/heartbeat', {}],
  ['POST', '/api/devices/corvane-1/loop', { running: true }],
  ['PUT', '/api/devices/corvane-1/effects', { force: [10, 0, 0], spring: { enabled: true, stiffness: 5000 } }],
  ['POST', '/api/devices/handle-1/status', {}],
  ['POST', '/api/devices/handle-1/state', { device_id: 1, user_data: '\u001b[2J' }],
  ['DELETE', '/api/devices/handle-1', undefined],
];
const READS = ['/', '/api/devices', '/api/events'];

// Attacker pages, made for the desk's port.
function attackPage(path) {
  const target = `http://127.0.0.1:${desk.port}`;
  if (path === '/fetch') {
    return `<script>
      window.done = Promise.allSettled(${JSON.stringify(CHANGES)}.map(([method, path, body]) =>
        fetch('${target}' + path, { method, mode: method === 'POST' ? 'no-cors' : 'cors', credentials: 'include',
          headers: { 'Content-Type': 'text/plain' }, body: body === undefined ? undefined : JSON.stringify(body) })));
    </script>`;
  }
  if (path === '/forms') {
    const forms = CHANGES.filter(([method]) => method === 'POST').map(([, path, body], n) => {
      // text/plain forms send name=value: a name that closes the JSON carries the payload.
      const json = JSON.stringify({ ...body, pad: '' });
      const name = json.slice(0, -2);
      return `<iframe name="sink${n}"></iframe><form method="POST" enctype="text/plain" target="sink${n}"
        action="${target}${path}"><input name='${name}' value='"}'></form>`;
    }).join('\n');
    return `${forms}<script>document.querySelectorAll('form').forEach((form) => form.submit());</script>`;
  }
  if (path === '/frame') return `<iframe id="desk" src="${target}/" width="800" height="600"></iframe>`;
  if (path === '/events') return `<iframe hidden src="${target}/api/events"></iframe>`;
  if (path === '/popup') return `<script>window.popup = window.open('${target}/', 'desk');</script>`;
  return '';
}

async function deskLog() {
  // The desk's message log, as the hello of its event stream gives it.
  return new Promise((done, fail) => {
    const socket = connect(desk.port, '127.0.0.1', () => {
      socket.write(`GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:${desk.port}\r\nX-Desk-Token: ${desk.token}\r\n\r\n`);
    });
    let text = '';
    socket.on('data', (chunk) => {
      text += chunk;
      const hello = text.match(/event: hello\ndata: (.*)\n\n/);
      if (hello) { socket.destroy(); done(JSON.parse(hello[1]).log); }
    });
    socket.on('error', fail);
  });
}

async function openOwnPage(link) {
  const page = await context.newPage();
  await page.goto(link ?? await takeLink(desk));
  await page.locator('#connection.on').waitFor();
  await page.locator('#panel-corvane-1').waitFor();
  return page;
}

// The own page sets 3 N and starts the loop; resolves once the force reaches the arm.
async function pushWithOwnPage(page) {
  await page.evaluate(async () => {
    const send = window.orvexDesk.call;
    await send('POST', '/api/devices/corvane-1/holder', {});
    await send('PUT', '/api/devices/corvane-1/effects', { force: [3, 0, 0], wall: { enabled: false }, damper: { enabled: true, coefficient: 4 } });
    await send('POST', '/api/devices/corvane-1/loop', { running: true });
  });
  const since = Date.now();
  await until('3 N at the arm', () => log.forces(since).some(({ force }) => force[0] > 2.9));
}

// The time from `since` until the Corvane's force commands are all zero, the loop still running.
async function timeToZero(since) {
  await sleep(ZERO_WITHIN_MS + 500);
  const forces = log.forces(since);
  const lastPush = forces.filter(({ force }) => force.some((f) => f !== 0)).at(-1);
  const after = forces.filter(({ at }) => at > (lastPush?.at ?? since));
  assert.ok(after.length > 50, `the loop kept running (${after.length} commands after the last push)`);
  return (lastPush?.at ?? since) - since;
}

async function stopLoop() {
  await api(desk, 'POST', '/api/devices/corvane-1/loop', { running: false });
}

before(async () => {
  if (noBrowser) return;
  folder = mkdtempSync(join(tmpdir(), 'orvex-desk-attacks-'));
  const logPath = join(folder, 'emulator.log');
  desk = await startDesk(['--emulator', loggingEmulator(folder, logPath)]);
  log = new EmulatorLog(logPath);
  attacker = createServer((request, answer) => {
    attackerLog.push(`${request.method} ${request.url} ${JSON.stringify(request.headers)}`);
    answer.writeHead(200, { 'Content-Type': 'text/html' });
    answer.end(`<!doctype html><title>attacker</title>${attackPage(new URL(request.url, 'http://x').pathname)}`);
  });
  await new Promise((done) => attacker.listen(0, '127.0.0.1', done));
  attackerPort = attacker.address().port;
  browser = await launchBrowser(['--host-resolver-rules=MAP rebound.test 127.0.0.1, MAP localhost 127.0.0.1']);
  context = await browser.newContext();
  own = await openOwnPage();
});

after(async () => {
  await browser?.close();
  attacker?.close();
  log?.close();
  await stopDesk(desk);
  if (folder) rmSync(folder, { recursive: true, force: true });
});

test('no-cors fetches and form posts from other sites reach no device', { skip: noBrowser }, async () => {
  await stopLoop();
  await sleep(300);
  const before = [log.commands('corvane'), log.commands('handle')];
  const logBefore = (await deskLog()).at(-1).seq;
  const sent = [];
  const answers = [];
  const posts = CHANGES.filter(([method]) => method === 'POST').length;
  for (const site of [`http://127.0.0.1:${attackerPort}`, `http://localhost:${attackerPort}`]) {
    for (const path of ['/fetch', '/forms']) {
      const page = await context.newPage();
      page.on('request', (request) => { if (request.url().startsWith(desk.origin)) sent.push([site, path, request.method()]); });
      page.on('response', (answer) => {
        if (answer.url().startsWith(desk.origin)) answers.push([site, path, answer.request().method(), answer.status()]);
      });
      await page.goto(site + path);
      // A no-cors answer stays hidden from the page (and its Cross-Origin-Resource-Policy keeps
      // it from the page entirely); the forms' answers show in their frames.
      if (path === '/fetch') await page.evaluate(() => window.done.then(() => true));
      else await until('the forms to be answered', () => answers.filter((a) => a[0] === site && a[1] === path).length >= posts);
      await page.close();
    }
  }
  await sleep(500);
  assert.ok(sent.length >= 4 * posts, JSON.stringify(sent));
  // Every form the desk answered, it refused, by where the form came from.
  assert.equal(answers.length, 2 * posts);
  assert.deepEqual(answers.filter(([, , , status]) => status !== 403), []);
  assert.deepEqual([log.commands('corvane'), log.commands('handle')], before);
  // Nothing sent, opened, closed or scanned: the log holds only what the streaming handle said.
  assert.deepEqual((await deskLog()).filter(({ seq, direction }) => seq > logBefore && direction !== 'received'), []);
  const { body } = await api(desk, 'GET', '/api/devices');
  assert.deepEqual(body.devices.map(({ id, running }) => [id, running]), [['corvane-1', false], ['handle-1', true]]);
});

test('a name rebound to the desk\'s address is refused on every route and the event stream', { skip: noBrowser }, async () => {
  const before = [log.commands('corvane'), log.commands('handle')];
  const rebound = await browser.newContext({ bypassCSP: true });
  const page = await rebound.newPage();
  const first = await page.goto(`http://rebound.test:${desk.port}/`);
  assert.equal(first.status(), 403);
  // Now the attacker's page has the desk's origin, as far as the browser knows.
  const statuses = await page.evaluate(async ([changes, reads, token]) => {
    const got = [];
    for (const [method, path, body] of changes) {
      const answer = await fetch(path, { method, headers: { 'Content-Type': 'application/json', 'X-Desk-Token': token }, body: body === undefined ? undefined : JSON.stringify(body) });
      got.push([method, path, answer.status]);
    }
    for (const path of reads) got.push(['GET', path, (await fetch(path, { headers: { 'X-Desk-Token': token } })).status]);
    got.push(['EventSource', '/api/events', await new Promise((done) => {
      const events = new EventSource('/api/events');
      events.onopen = () => { events.close(); done('open'); };
      events.onerror = () => { events.close(); done('refused'); };
    })]);
    return got;
  }, [CHANGES, READS, desk.token]);
  assert.deepEqual(statuses.filter(([, , status]) => status !== 403 && status !== 'refused'), []);
  assert.equal(statuses.length, CHANGES.length + READS.length + 1);
  await rebound.close();
  assert.deepEqual([log.commands('corvane'), log.commands('handle')], before);
});

test('the desk\'s page is not shown inside another site\'s frame', { skip: noBrowser }, async () => {
  const page = await context.newPage();
  const framed = page.waitForResponse((answer) => answer.url() === `${desk.origin}/`);
  await page.goto(`http://localhost:${attackerPort}/frame`);
  const answer = await framed;
  assert.equal(answer.headers()['x-frame-options'], 'DENY');
  await sleep(500);
  const frame = page.frames().find((f) => f !== page.mainFrame());
  // The browser blocked it: an error page, none of the desk's controls to click.
  const inside = await frame.evaluate(() => ({ desk: 'orvexDesk' in window, buttons: document.querySelectorAll('button').length })).catch(() => null);
  assert.ok(inside === null || (!inside.desk && inside.buttons === 0), JSON.stringify(inside));
  await page.close();
});

test('a hung page script, a hidden frame of the event stream and a stalled reader let go of the arm', { skip: noBrowser }, async (t) => {
  await t.test('the desk\'s page hangs in an endless loop', async () => {
    await pushWithOwnPage(own);
    await own.evaluate(() => { setTimeout(() => { for (;;);/* hung */ }, 300); });
    const since = Date.now() + 300;
    const took = await timeToZero(since);
    console.log(`# hung page: force zero after ${took} ms`);
    assert.ok(took < ZERO_WITHIN_MS, `${took} ms`);
    await stopLoop();
    await own.close({ runBeforeUnload: false });
  });

  await t.test('another site holds the event stream in a hidden frame', async () => {
    const frame = await context.newPage();
    const streamAnswer = frame.waitForResponse((answer) => answer.url().endsWith('/api/events'));
    await frame.goto(`http://127.0.0.1:${attackerPort}/events`);
    assert.equal((await streamAnswer).status(), 403);
    const page = await openOwnPage();
    await pushWithOwnPage(page);
    const since = Date.now();
    await page.close();
    const took = await timeToZero(since);
    console.log(`# hidden frame: force zero after ${took} ms`);
    assert.ok(took < ZERO_WITHIN_MS, `${took} ms`);
    await stopLoop();
    await frame.close();
  });

  await t.test('a client reads the event stream, then stops reading', async () => {
    const page = await openOwnPage();
    await pushWithOwnPage(page);
    const stalled = connect(desk.port, '127.0.0.1', () => {
      stalled.write(`GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:${desk.port}\r\nX-Desk-Token: ${desk.token}\r\n\r\n`);
    });
    await new Promise((done) => stalled.once('data', done));
    stalled.pause();
    const since = Date.now();
    await page.close();
    const took = await timeToZero(since);
    console.log(`# stalled reader: force zero after ${took} ms`);
    assert.ok(took < ZERO_WITHIN_MS, `${took} ms`);
    await stopLoop();
    stalled.destroy();
  });
});

test('2,000 idle connections neither grow the desk\'s threads nor stop its page', { skip: noBrowser }, async () => {
  const threads = () => Number(readFileSync(`/proc/${desk.child.pid}/status`, 'utf8').match(/^Threads:\s+(\d+)/m)[1]);
  const page = await openOwnPage();
  const before = threads();
  const idle = await Promise.all(Array.from({ length: 2000 }, (_, n) => new Promise((done) => {
    const socket = connect(desk.port, '127.0.0.1', () => {
      if (n % 2) socket.write(`POST /api/scan HTTP/1.1\r\nHost: 127.0.0.1:${desk.port}\r\nContent-Le`);
      done(socket);
    });
    socket.on('error', () => done(socket));
  })));
  await sleep(500);
  const during = threads();
  // A reload needs a new link: the session lived in the page.
  await page.goto(await takeLink(desk));
  await page.locator('#connection.on').waitFor({ timeout: 10000 });
  await page.locator('#panel-corvane-1 input[name=force-x]').fill('1');
  await page.locator('#panel-corvane-1 button[name=apply]').click();
  await until('the new force in the desk', async () => (await api(desk, 'GET', '/api/devices')).body.devices[0].settings.force[0] === 1);
  console.log(`# desk threads: ${before} before, ${during} with 2,000 idle connections`);
  assert.ok(during <= before, `${during} threads with 2,000 idle connections, ${before} before`);
  for (const socket of idle) socket.destroy();
  await page.close();
});

// The session token a page sends, read off its requests.
function tokenOf(page) {
  const seen = {};
  page.on('request', (request) => { seen.token = request.headers()['x-desk-token'] ?? seen.token; });
  return () => seen.token;
}

test('another server on this machine that the browser visits receives no token, no code, no cookie', { skip: noBrowser }, async () => {
  const page = await context.newPage();
  const token = tokenOf(page);
  await page.goto(await takeLink(desk));
  await page.locator('#connection.on').waitFor();
  await until('a request with the page\'s token', () => token());
  const visits = attackerLog.length;
  for (const site of [`http://127.0.0.1:${attackerPort}`, `http://localhost:${attackerPort}`]) {
    const other = await context.newPage();
    await other.goto(`${site}/anything?x=1`);
    await other.evaluate(() => fetch('/api/more', { credentials: 'include' }));
    await other.close();
  }
  const seen = attackerLog.slice(visits);
  assert.ok(seen.length >= 4, JSON.stringify(seen));
  const secrets = [token(), desk.token, ...desk.links.map(codeOf)];
  assert.deepEqual(seen.filter((line) => secrets.some((secret) => line.includes(secret)) || /"cookie"/.test(line)), []);
  await page.close();
});

test('a popup another port opens gets no page, and no force stays once the person\'s tab closes', { skip: noBrowser }, async () => {
  const page = await openOwnPage();
  await pushWithOwnPage(page);
  const opener = await context.newPage();
  const popped = opener.waitForEvent('popup');
  const deskAnswer = context.waitForEvent('response', (answer) => answer.url() === `${desk.origin}/`);
  await opener.goto(`http://127.0.0.1:${attackerPort}/popup`);
  const popup = await popped;
  assert.equal((await deskAnswer).status(), 403);
  await sleep(300);
  assert.equal(await popup.evaluate(() => 'orvexDesk' in window), false);
  const since = Date.now();
  await page.close();
  const took = await timeToZero(since);
  console.log(`# popup open, own tab closed: force zero after ${took} ms`);
  assert.ok(took < ZERO_WITHIN_MS, `${took} ms`);
  await stopLoop();
  await opener.close();
});

test('the history keeps only a dead code', { skip: noBrowser }, async () => {
  const link = await takeLink(desk);
  const page = await openOwnPage(link);
  assert.equal(page.url(), `${desk.origin}/`);
  // Whoever opens the link again, from the history or a shared screen, gets no session.
  assert.equal((await session(desk, link)).status, 401);
  const again = await context.newPage();
  await again.goto(link);
  await again.locator('#connection.bad').waitFor();
  assert.match(await again.locator('#notice').innerText(), /used already.*new link/s);
  assert.equal(await again.locator('#open-form button[type=submit]').isDisabled(), true);
  await again.reload(); // a reload has no code left at all
  await again.locator('#connection.bad').waitFor();
  assert.match(await again.locator('#notice').innerText(), /no one-time code/);
  await again.close();
  await page.close();
});

test('two tabs: one writer; the other takes over only on purpose, and the first shows it at once', { skip: noBrowser }, async () => {
  const first = await openOwnPage();
  await pushWithOwnPage(first);
  const second = await openOwnPage();
  const bar = second.locator('#panel-corvane-1 .holding');
  await bar.waitFor();
  assert.match(await bar.innerText(), /Read-only: another page \(page-\d+\) holds corvane-1/);
  assert.equal(await second.locator('#panel-corvane-1 button[name=apply]').isDisabled(), true);
  const refused = await second.evaluate(() => window.orvexDesk.call('PUT', '/api/devices/corvane-1/effects', { force: [-3, 0, 0] }).then(() => 'applied', (error) => error.message));
  assert.match(refused, /held by another page/);
  assert.equal((await api(desk, 'GET', '/api/devices')).body.devices[0].settings.force[0], 3);
  await bar.getByRole('button', { name: 'Take over' }).click();
  const tookAt = Date.now();
  await until('the first tab to say it lost the Corvane', async () => /took over corvane-1/.test(await first.locator('#notice').innerText()), 3);
  console.log(`# take-over shown on the first tab after ${Date.now() - tookAt} ms`);
  await first.locator('#panel-corvane-1 .holding').waitFor();
  const after = await first.evaluate(() => window.orvexDesk.call('PUT', '/api/devices/corvane-1/effects', { force: [-3, 0, 0] }).then(() => 'applied', (error) => error.message));
  assert.match(after, /held by another page/);
  await stopLoop();
  await first.close();
  await second.close();
});

test('moving a stiff spring\'s anchor across steps the wire force by at most 0.5 N a cycle', { skip: noBrowser }, async () => {
  const page = await openOwnPage();
  const send = (body) => page.evaluate((settings) => window.orvexDesk.call('PUT', '/api/devices/corvane-1/effects', settings), body);
  await page.evaluate(() => window.orvexDesk.call('POST', '/api/devices/corvane-1/holder', {}));
  await send({ force: [0, 0, 0], wall: { enabled: false }, damper: { enabled: true, coefficient: 2 }, spring: { enabled: true, stiffness: 5000, anchor: [0.05, 0, 0] } });
  await page.evaluate(() => window.orvexDesk.call('POST', '/api/devices/corvane-1/loop', { running: true }));
  const since = Date.now();
  await until('the spring to pull at 10 N', () => log.forces(since).some(({ force }) => force[0] > 9.9));
  await send({ spring: { anchor: [-0.05, 0, 0] } });
  await until('the spring to pull the other way at 10 N', () => log.forces(since).some(({ force }) => force[0] < -9.9));
  await sleep(200);
  const forces = log.forces(since).map(({ force }) => force);
  // Letting go (the watchdog on a stalled page, a stop) drops to zero at once; every other
  // change goes through the step limit.
  const steps = forces.slice(1).map((force, n) => [Math.hypot(...force.map((f, i) => f - forces[n][i])), force])
    .filter(([, force]) => force.some((f) => f !== 0)).map(([step]) => step);
  const largest = Math.max(...steps);
  console.log(`# spring anchor moved across: ${steps.length} steps, the largest ${largest.toFixed(4)} N`);
  assert.ok(largest <= 0.5 + 1e-3, `a step of ${largest} N`);
  await stopLoop();
  await send({ spring: { enabled: false, anchor: [0, 0, 0] } });
  await page.close();
});
