// Drives the control panel in headless Chromium. Started by
// panel_browser_test.sh, which runs the sources and the panel and passes:
//   PANEL_URL, ARTIFACTS (folder for screenshots), CAMERA_LOG (the test
//   camera's output), and a command to run in ROUTED_CHECK that watches
//   "Panel Output 1" and prints what it receives; KILL_PUMP ends strobe_pump.
import { chromium } from 'playwright-core';
import { execSync } from 'node:child_process';
import { readFileSync } from 'node:fs';

const env = process.env;
const failures = [];
const check = (ok, what) => {
  console.log(`${ok ? 'ok' : 'FAILED'}: ${what}`);
  if (!ok) failures.push(what);
};
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function until(predicate, ms) {
  const end = Date.now() + ms;
  for (;;) {
    if (await predicate()) return true;
    if (Date.now() > end) return false;
    await sleep(50);
  }
}
const cameraSaid = (text) => readFileSync(env.CAMERA_LOG, 'utf8').includes(text);

const browser = await chromium.launch({
  executablePath: env.CHROMIUM || '/usr/bin/chromium',
  args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage'],
});
try {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  page.on('pageerror', (e) => failures.push(`page error: ${e.message}`));
  const started = Date.now();
  await page.goto(env.PANEL_URL);
  const pump = page.locator('article.tile', { hasText: '(My Video)' });
  const camera = page.locator('article.tile', { hasText: '(Test Camera)' });
  const listed = await until(async () => (await pump.count()) === 1 && (await camera.count()) === 1, 2000);
  check(listed, `strobe_pump and the test camera listed within 2 s (${Date.now() - started} ms)`);

  // The preview moves: a new picture within a second.
  await until(async () => ((await pump.locator('img').getAttribute('src')) || '') !== '', 3000);
  const before = await pump.locator('img').getAttribute('src');
  await sleep(1000);
  const after = await pump.locator('img').getAttribute('src');
  // The new picture may still be loading: it must show within a moment.
  const shown = await until(async () => pump.locator('img').evaluate((img) => img.complete && img.naturalWidth > 0), 2000);
  check(before !== after && shown, `the preview changes over a second (${before} -> ${after})`);
  await page.screenshot({ path: `${env.ARTIFACTS}/panel-sources.png` });

  // An output, routed to the camera by a click.
  await page.click('#add-output');
  const routeButton = camera.locator('button.route', { hasText: 'Panel Output 1' });
  check(await until(async () => (await routeButton.count()) === 1, 3000), '"Panel Output 1" is offered on the tile');
  await routeButton.click();
  check(await until(async () => (await page.locator('#outputs').textContent()).includes('Test Camera'), 3000),
    'the output shows its route');
  const watched = execSync(env.ROUTED_CHECK, { encoding: 'utf8' });
  check(/video \d+ fps 1280x720/.test(watched), `a receiver of "Panel Output 1" gets the camera's frames: ${watched.trim().split('\n').pop()}`);

  // Camera control and tally reach the test camera.
  check(await until(async () => (await camera.locator('button.recall').count()) === 1, 3000), 'the camera offers presets');
  await camera.locator('input.preset').fill('5');
  await camera.locator('button.recall').click();
  check(await until(async () => cameraSaid('recall preset 5'), 3000), 'the preset button makes the camera recall preset 5');
  await camera.locator('input.preset').fill('100');
  await camera.locator('button.recall').click();
  check((await page.locator('#message').textContent()).includes('0 to 99'), 'a preset of 100 is refused, not sent');
  await camera.locator('button.pgm').click();
  check(await until(async () => cameraSaid('tally: program on'), 3000), 'the program button puts the camera on program');
  check(await until(async () => (await camera.getAttribute('class')).includes('program'), 3000), 'the tile shows its tally');
  await page.screenshot({ path: `${env.ARTIFACTS}/panel-routed.png` });

  // A source that ends greys out.
  execSync(env.KILL_PUMP);
  check(await until(async () => (await pump.getAttribute('class')).includes('gone'), 5000), 'a source that ends greys out');
  await page.screenshot({ path: `${env.ARTIFACTS}/panel-gone.png` });
} finally {
  await browser.close();
}
if (failures.length) {
  console.log(`${failures.length} check(s) failed`);
  process.exit(1);
}
console.log('all checks passed');
