// What the desk's browser tests share: the desk started on a build folder's modules (optionally
// with its emulator's traffic logged), Debian's Chromium driven by playwright-core, requests
// made as the desk's own page makes them, and the emulator's log read as it grows.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { chmodSync, existsSync, readFileSync, statSync, writeFileSync, openSync, readSync, closeSync } from 'node:fs';
import { request } from 'node:http';
import { createRequire } from 'node:module';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

export const root = resolve(dirname(fileURLToPath(import.meta.url)), '..', '..');
export const build = resolve(process.env.ORVEX_MODULE_DIR ?? join(root, 'build'));
const CHROMIUM = '/usr/bin/chromium';
export const noBrowser = existsSync(CHROMIUM) ? false : `no browser at ${CHROMIUM}: script/bootstrap installs Debian's chromium`;

// The page's own packages hold the browser client.
const { chromium } = createRequire(join(root, 'desk', 'web', 'package.json'))('playwright-core');

function builtPython() {
  const cache = readFileSync(join(build, 'CMakeCache.txt'), 'utf8');
  return cache.match(/^Python_EXECUTABLE:[A-Z]*=(.*)$/m)[1];
}

// The emulator the desk starts, its traffic (-v) appended to `log`.
export function loggingEmulator(folder, log) {
  const wrapper = join(folder, 'logging-emulator');
  const emulator = join(build, 'tools', 'emulator', 'orvex-emulator');
  writeFileSync(wrapper, `#!/bin/sh\nexec '${emulator}' -v "$@" 2>>'${log}'\n`);
  chmodSync(wrapper, 0o755);
  return wrapper;
}

// `python -m OrvexDesk --emulate` on any free port: { child, origin, port, token, links, output }.
// The first link it prints is traded for `token`, the session `api` asks with; `takeLink` hands
// out the next ones, one per page.
export function startDesk(args = [], { emulate = true } = {}) {
  const child = spawn(builtPython(), ['-m', 'OrvexDesk', ...(emulate ? ['--emulate'] : []), '--port', '0', ...args], {
    env: { ...process.env, PYTHONPATH: build }, stdio: ['ignore', 'pipe', 'inherit'],
  });
  const desk = { child, links: [], taken: 0, output: '' };
  return new Promise((done, fail) => {
    child.stdout.on('data', async (chunk) => {
      desk.output += chunk;
      desk.links = [...desk.output.matchAll(/open (https?:\S+)/g)].map((found) => found[1]);
      if (desk.links.length && !desk.origin) {
        const url = new URL(desk.links[0]);
        Object.assign(desk, { origin: url.origin, port: Number(url.port) });
        desk.token = (await session(desk, await takeLink(desk))).body.token;
        done(desk);
      }
    });
    child.on('exit', (code) => fail(new Error(`the desk ended (${code}) before printing its link: ${desk.output}`)));
  });
}

// The next link the desk printed that no page was given yet.
export async function takeLink(desk) {
  await until('the desk\'s next link', () => desk.links.length > desk.taken);
  desk.taken += 1;
  return desk.links[desk.taken - 1];
}

export const codeOf = (link) => new URL(link).hash.slice('#code='.length);

// A link's code traded for a session, as the page does it: { status, body: { token, page } }.
export function session(desk, link) {
  return api(desk, 'POST', '/api/session', { code: codeOf(link) }, { 'X-Desk-Token': undefined });
}

export async function stopDesk(desk) {
  if (!desk || desk.child.exitCode !== null) return;
  desk.child.kill('SIGTERM');
  await new Promise((done) => desk.child.on('exit', done));
}

export function launchBrowser(extraArgs = []) {
  return chromium.launch({
    executablePath: CHROMIUM,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync',
      '--use-gl=angle', '--use-angle=swiftshader', '--enable-unsafe-swiftshader', ...extraArgs],
  });
}

// The desk under --emulate and its page in the browser, the page's errors gathered in `problems`.
export async function openDeskPage() {
  const desk = await startDesk();
  const browser = await launchBrowser();
  const page = await browser.newPage({ viewport: { width: 1500, height: 1000 } });
  const problems = [];
  page.on('console', (message) => { if (message.type() === 'error') problems.push(message.text()); });
  page.on('pageerror', (error) => problems.push(error.message));
  await page.goto(await takeLink(desk));
  return { desk, browser, page, problems };
}

export async function until(what, check, seconds = 10) {
  const end = Date.now() + seconds * 1000;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > end) assert.fail(`timed out waiting for ${what}`);
    await new Promise((wake) => setTimeout(wake, 100));
  }
}

export const sleep = (ms) => new Promise((wake) => setTimeout(wake, ms));

// A request as the desk's page makes it (token, origin, JSON), or with `headers` changed.
export function api(desk, method, path, body, headers = {}) {
  const data = body === undefined ? '' : JSON.stringify(body);
  return new Promise((done, fail) => {
    const sent = request({
      host: '127.0.0.1', port: desk.port, method, path,
      headers: Object.fromEntries(Object.entries({
        'X-Desk-Token': desk.token, Origin: desk.origin, 'Content-Type': 'application/json',
        'Content-Length': Buffer.byteLength(data), ...headers,
      }).filter(([, value]) => value !== undefined)),
    }, (answer) => {
      let text = '';
      answer.on('data', (chunk) => { text += chunk; });
      answer.on('end', () => done({ status: answer.statusCode, body: text ? JSON.parse(text) : null }));
    });
    sent.on('error', fail);
    sent.end(data);
  });
}

// The emulator's log as it grows, each line stamped with the time it was first seen.
export class EmulatorLog {
  constructor(path) {
    this.path = path;
    this.offset = 0;
    this.partial = '';
    this.lines = [];
    this.timer = setInterval(() => this.poll(), 25);
  }

  poll() {
    if (!existsSync(this.path)) return;
    const size = statSync(this.path).size;
    if (size <= this.offset) return;
    const fd = openSync(this.path, 'r');
    const chunk = Buffer.alloc(size - this.offset);
    readSync(fd, chunk, 0, chunk.length, this.offset);
    closeSync(fd);
    this.offset = size;
    const text = this.partial + chunk.toString();
    const lines = text.split('\n');
    this.partial = lines.pop();
    const now = Date.now();
    for (const line of lines) this.lines.push({ at: now, line });
  }

  // Commands the host sent to `device` ("corvane" or "handle") so far.
  commands(device) {
    this.poll();
    return this.lines.filter(({ line }) => line.startsWith(device) && / in /.test(line)).length;
  }

  // The force commands the Corvane received after `since` (ms): { at, force: [x, y, z] }.
  forces(since = 0) {
    this.poll();
    const found = [];
    for (const { at, line } of this.lines) {
      if (at < since || !line.startsWith('corvane') || !/ in /.test(line)) continue;
      const bytes = Buffer.from(line.slice(line.lastIndexOf(':') + 1).trim().split(' ').join(''), 'hex');
      if (bytes.length === 13 && bytes[0] === 0x2a) {
        found.push({ at, force: [bytes.readFloatLE(1), bytes.readFloatLE(5), bytes.readFloatLE(9)] });
      }
    }
    return found;
  }

  close() {
    clearInterval(this.timer);
  }
}
