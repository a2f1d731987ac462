// The desk's hand under --emulate: the arm dragged with the mouse in the 3D view into a sphere,
// the proxy and the force seen; and plots that say how to start while the loop is stopped.
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

// Where the arm is on the view's canvas, and the point of the drag plane (through the
// arm, facing the camera) that lies `reach` along x from the arm.
function geometry(reach) {
  return page.evaluate((reach) => {
    const panel = window.orvexDesk.panels.get('corvane-1');
    const { camera, renderer } = panel.view;
    const facing = camera.getWorldDirection(panel.effector.position.clone());
    const from = panel.effector.position.clone();
    const along = facing.clone().multiplyScalar(-facing.x).add({ x: 1, y: 0, z: 0 }).normalize();
    const to = from.clone().addScaledVector(along, reach);
    const box = renderer.domElement.getBoundingClientRect();
    const screen = (p) => {
      const v = p.clone().project(camera);
      return { x: (v.x + 1) / 2 * box.width, y: (1 - v.y) / 2 * box.height };
    };
    return { from: screen(from), to: screen(to), target: to.toArray(), along: along.toArray() };
  }, reach);
}

test('the arm dragged into a sphere meets its surface: the proxy stays on it and pushes back', { skip: noBrowser }, async () => {
  const corvane = page.locator('#panel-corvane-1');
  assert.deepEqual(await page.evaluate(() => window.orvexDesk.call('GET', '/api/hand')), { available: true });
  await corvane.getByRole('button', { name: 'Start loop' }).click();
  await until('the loop\'s first state', () => page.evaluate(() => Boolean(window.orvexDesk.panels.get('corvane-1').state)));

  // A sphere of 3 cm whose surface the hand's target lies 5 mm inside: 2.5 cm beyond the target.
  const { target, along } = await geometry(0.05);
  const centre = target.map((t, i) => t + 0.025 * along[i]);
  await corvane.locator('select[name=shape-kind]').selectOption('sphere');
  const values = { 'shape-radius': 0.03, 'shape-stiffness': 1000, 'shape-damping': 2 };
  ['x', 'y', 'z'].forEach((axis, i) => { values[`shape-position-${axis}`] = centre[i].toFixed(4); });
  for (const [name, value] of Object.entries(values)) await corvane.locator(`input[name=${name}]`).fill(String(value));
  await corvane.locator('button[name=add-shape]').click();
  await until('the sphere listed', async () => (await corvane.locator('ul.shapes li').count()) === 1);
  // Positions on the canvas, wherever the page has it at each move. The view is in sight at the
  // page's top, and nothing may scroll it during the drag, which would cancel the drag.
  await page.evaluate(() => window.scrollTo(0, 0));
  const canvas = corvane.locator('.scene canvas');
  const { from, to } = await geometry(0.05);
  const at = async (share) => {
    const box = await canvas.boundingBox();
    await page.mouse.move(box.x + from.x + (to.x - from.x) * share, box.y + from.y + (to.y - from.y) * share);
  };
  await at(0);
  await page.mouse.down();
  for (let step = 1; step <= 20; step += 1) await at(step / 20);
  // The hand's relaxed grip (300 N/m) against the sphere's 1000 N/m: about 1.2 mm in, 1.2 N back.
  let seen;
  const state = await until('the arm against the sphere', async () => {
    const s = await page.evaluate(() => window.orvexDesk.panels.get('corvane-1').state);
    seen = s;
    const force = Math.hypot(...(s?.force ?? [0]));
    return s?.proxy && force > 0.5 ? s : null;
  }, 20).catch(async (error) => { throw new Error(`${error.message}: ${JSON.stringify(seen)}, loop ${await corvane.locator("header").innerText()}, target ${target}, centre ${centre}, log ${(await page.locator(".line").allInnerTexts()).filter((line) => !line.includes("handle-1")).slice(-10)}`); });
  const outwards = state.proxy.map((p, i) => p - centre[i]);
  assert.ok(Math.abs(Math.hypot(...outwards) - 0.03) < 0.002, `the proxy off the surface: ${state.proxy}`);
  const pushing = state.force.reduce((sum, f, i) => sum + f * outwards[i], 0) / Math.hypot(...state.force) / 0.03;
  assert.ok(pushing > 0.9, `the force does not push out of the sphere: ${state.force}`);
  assert.ok(await page.evaluate(() => window.orvexDesk.panels.get('corvane-1').sceneShapes.proxy.visible));
  await corvane.locator('.scene').screenshot({ path: join(shots, 'hand-drag.png') });
  await page.mouse.up();

  // Let go, the sphere pushes the arm back out to rest on its surface.
  await until('the arm out of the sphere', async () => {
    const s = await page.evaluate(() => window.orvexDesk.panels.get('corvane-1').state);
    return Math.hypot(...s.force) < 0.05;
  }, 20);
  assert.deepEqual(problems, []);
});
