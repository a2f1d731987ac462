// Every signal that ends the desk lets go of the arm first: with the loop holding 3 N, the desk
// is sent SIGHUP (its terminal closed), SIGTERM, SIGINT (Ctrl-C) or SIGQUIT (Ctrl-\), and the
// last force command its emulator received before the desk exited must be zero.
//   node --test tests/desk/
import assert from 'node:assert/strict';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { test } from 'node:test';
import { api, EmulatorLog, loggingEmulator, sleep, startDesk, until } from './harness.mjs';

for (const signal of ['SIGHUP', 'SIGTERM', 'SIGINT', 'SIGQUIT']) {
  test(`${signal} sends zero force before the desk exits`, async () => {
    const folder = mkdtempSync(join(tmpdir(), 'orvex-desk-signals-'));
    const logPath = join(folder, 'emulator.log');
    const desk = await startDesk(['--emulator', loggingEmulator(folder, logPath)]);
    const log = new EmulatorLog(logPath);
    let beating = true;
    try {
      await api(desk, 'PUT', '/api/devices/corvane-1/effects', { force: [3, 0, 0] });
      await api(desk, 'POST', '/api/devices/corvane-1/loop', { running: true });
      const beats = (async () => {
        while (beating) {
          await api(desk, 'POST', '/api/heartbeat', {}).catch(() => {});
          await sleep(150);
        }
      })();
      await until('3 N at the arm', () => log.forces().some(({ force }) => force[0] > 2.9));
      const ended = new Promise((done) => desk.child.on('exit', (code, by) => done({ code, by })));
      desk.child.kill(signal);
      const { code, by } = await ended;
      beating = false;
      await beats;
      await sleep(200); // the emulator's last lines
      const forces = log.forces();
      console.log(`# ${signal}: exit ${code ?? by}, ${forces.length} force commands, the last ${JSON.stringify(forces.at(-1).force)}`);
      assert.deepEqual([code, by], [0, null]);
      assert.deepEqual(forces.at(-1).force, [0, 0, 0],
        `the emulator's last lines:\n${log.lines.slice(-8).map(({ line }) => line).join('\n')}\nthe desk said:\n${desk.output}`);
      assert.match(desk.output, /stopped/);
    } finally {
      beating = false;
      log.close();
      if (desk.child.exitCode === null) desk.child.kill('SIGKILL');
      rmSync(folder, { recursive: true, force: true });
    }
  });
}
