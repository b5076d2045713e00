// The page of qzcache view in a real browser: Debian's chromium, headless, against a running
// `qzcache view` on a demo cache with one frame file deleted. Checks that points are drawn,
// that two frames give different pictures, that the page logs no error, that playback marks
// the missing frame in red and goes on past it, and that Ctrl-C stops the server cleanly.
//   node viewer_test.mjs path/to/qzcache
// Exit status 77 (a skip for CTest) only when chromium is not installed.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

const CHROMIUM = '/usr/bin/chromium';
const tool = process.argv[2];
const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'qzcache-viewer-'));
let server = null;
let browser = null;

// Every wait below is bounded; this one bounds them all.
const deadline = setTimeout(() => {
  console.error('FAIL: the browser test did not finish within 150 s');
  cleanUp();
  process.exit(1);
}, 150000);

function cleanUp() {
  if (server && server.exitCode === null) server.kill('SIGKILL');
  fs.rmSync(dir, { recursive: true, force: true });
}

function within(ms, what, promise) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no answer within ${ms} ms`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// Share of lit pixels in two screenshots of the points, and of pixels that differ between them.
function comparePictures(page, first, second) {
  return page.evaluate(async (pngs) => {
    const pixels = await Promise.all(pngs.map(async (png) => {
      const image = new Image();
      image.src = `data:image/png;base64,${png}`;
      await image.decode();
      const context = new OffscreenCanvas(image.width, image.height).getContext('2d');
      context.drawImage(image, 0, 0);
      return context.getImageData(0, 0, image.width, image.height).data;
    }));
    const offBy = (a, b, i) => Math.abs(a[i] - b[0]) + Math.abs(a[i + 1] - b[1]) + Math.abs(a[i + 2] - b[2]);
    const lit = [0, 0];
    let differing = 0;
    for (let i = 0; i < pixels[0].length; i += 4) {
      // The background is rgb(28, 29, 33); anything clearly off it is a drawn point.
      for (const k of [0, 1]) if (offBy(pixels[k], [28, 29, 33], i) > 40) lit[k]++;
      if (offBy(pixels[0], pixels[1].slice(i, i + 3), i) > 40) differing++;
    }
    const count = pixels[0].length / 4;
    return { lit: lit.map((n) => n / count), differing: differing / count };
  }, [first.toString('base64'), second.toString('base64')]);
}

async function main() {
  if (!fs.existsSync(CHROMIUM)) {
    console.log(`SKIPPED: ${CHROMIUM} is not installed (apt-get install chromium)`);
    return 77;
  }
  let chromium;
  try {
    ({ chromium } = await import('playwright-core'));
  } catch {
    throw new Error('playwright-core is missing: run npm ci in tests/viewer');
  }
  execFileSync(tool, ['demo', dir, '--grid', '40', '--frames', '12'], { stdio: 'ignore', timeout: 60000 });
  fs.rmSync(path.join(dir, 'wave_perframeFrame5.kcx'));
  server = spawn(tool, ['view', path.join(dir, 'wave_perframe.xml'), '--port', '0'],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  server.stderr.on('data', (chunk) => { output += chunk; });
  const address = await within(20000, 'qzcache view printing its address', new Promise((resolve, reject) => {
    server.stdout.on('data', (chunk) => {
      output += chunk;
      const found = output.match(/http:\/\/\S+/);
      if (found) resolve(found[0]);
    });
    server.on('exit', (code) => reject(new Error(`qzcache view ended (${code}): ${output}`)));
  }));

  browser = await chromium.launchPersistentContext(path.join(dir, 'profile'), {
    executablePath: CHROMIUM,
    headless: true,
    viewport: { width: 1100, height: 700 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const page = browser.pages()[0] ?? await browser.newPage();
  const errors = [];
  page.on('console', (message) => {
    if (message.type() === 'error') errors.push(`${message.text()} (${message.location().url})`);
  });
  page.on('pageerror', (error) => errors.push(error.message));
  const show = async (frame) => {
    await page.fill('#frame', String(frame));
    await page.press('#frame', 'Enter');
    await page.waitForFunction((f) => document.body.dataset.drawn === f, String(frame), { timeout: 20000 });
  };

  await page.goto(`${address}&frame=1`, { timeout: 20000 });
  await page.waitForFunction(() => document.body.dataset.drawn === '1', null, { timeout: 20000 });
  const stage = page.locator('#view');
  const first = await stage.screenshot({ timeout: 20000 });
  await show(8);
  const pictures = await comparePictures(page, first, await stage.screenshot({ timeout: 20000 }));
  assert.ok(pictures.lit[0] > 0.01 && pictures.lit[1] > 0.01, `points drawn: ${JSON.stringify(pictures)}`);
  assert.ok(pictures.differing > 0.005, `frames 1 and 8 look alike: ${JSON.stringify(pictures)}`);
  assert.deepEqual(errors, [], 'the page logged errors');

  // Frame 5 (1250 ticks) lost its file: playback marks it and goes on.
  await show(3);
  await page.click('#play');
  await page.waitForFunction(() => document.body.dataset.failed === '1250' &&
    Number(document.body.dataset.drawn) >= 7, null, { timeout: 20000 });
  await page.click('#play');
  const unexpected = errors.filter((text) => !text.includes('/api/frame?channel=') || !text.includes('time=1250'));
  assert.deepEqual(unexpected, [], 'errors other than the missing frame');
  await browser.close();
  browser = null;

  server.kill('SIGINT');
  const code = await within(10000, 'qzcache view stopping on SIGINT',
    new Promise((resolve) => server.on('exit', (status) => resolve(status))));
  assert.equal(code, 0, 'qzcache view exit status after SIGINT');
  return 0;
}

let status = 1;
try {
  status = await main();
  if (status === 0) console.log('1 passed, 0 failed');
} catch (error) {
  console.error(`FAIL: ${error.stack || error}`);
  console.log('0 passed, 1 failed');
} finally {
  if (browser) await browser.close().catch(() => {});
  cleanUp();
  clearTimeout(deadline);
}
process.exit(status);
