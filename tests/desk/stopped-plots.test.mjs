// The desk's page while its loop is stopped: plots that show their window and say how to start.
//   node --test tests/desk/
import assert from 'node:assert/strict';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';
import { build, noBrowser, openDeskPage, stopDesk, until } from './harness.mjs';

const shots = join(build, 'desk-screenshots');

let desk;
let browser;
let page;
let problems;

before(async () => {
  if (noBrowser) return;
  mkdirSync(shots, { recursive: true });
  ({ desk, browser, page, problems } = await openDeskPage());
  await page.locator('#panel-corvane-1').waitFor();
});

after(async () => {
  await browser?.close();
  await stopDesk(desk);
});

test('with the loop stopped, the plots show their axes and say how to start', { skip: noBrowser }, async () => {
  const corvane = page.locator('#panel-corvane-1');
  const hints = corvane.locator('.plot-hint:visible');
  await until('the hints', async () => (await hints.count()) === 3);
  assert.match(await hints.first().innerText(), /press Start loop/);
  await corvane.locator('.plot').first().screenshot({ path: join(shots, 'stopped-plot.png') });
  // The empty window's scales are set, so its axes are drawn: time from 0 to 10 s.
  const scale = await page.evaluate(() => window.orvexDesk.panels.get('corvane-1').plots[0].plot.scales.x);
  assert.deepEqual([scale.min, scale.max], [0, 10]);
  assert.deepEqual(problems, []);
});
