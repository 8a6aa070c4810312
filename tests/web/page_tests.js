'use strict';
// The web page in headless Chromium, as a user would have it: served by
// scripts/serve_web.py, its frames read back from its canvas and their
// digests compared with the golden ones, its keys pressed, its window
// resized, its tab put in the background, and a browser without what it
// needs. No scenario ends with an error in the console of the page or of
// its Workers.
//
//   node page_tests.js SCENARIO SITE_FOLDER SERVE_SCRIPT GOLDEN_FRAMES SNAPSHOT_JS
//
// Exit status: 0 passed, 1 failed (what and why on standard error).
const { execFileSync } = require('child_process');
const fs = require('fs');
const { deadline, serve, launch, openTab } = require('./browser');

const [scenarioName, site, serveScript, goldenFile, snapshot] = process.argv.slice(2);

// Frame digests kept in tests/golden/frames.txt: "320x240 412" to digest.
const golden = new Map();
for (const line of fs.readFileSync(goldenFile, 'utf8').split('\n')) {
  const [size, frame, digest] = line.split(' ');
  if (size && !size.startsWith('#')) golden.set(`${size} ${frame}`, digest);
}

// The digest of frame k at a size, by the WebAssembly build's own snapshot
// tool under node (whose digests another test compares with the golden
// ones): for frames the golden file does not keep.
function snapshotDigest(width, height, k) {
  const out = execFileSync(process.execPath, ['--no-experimental-fetch', snapshot, '--size', `${width}x${height}`,
    '--frames', String(k), '--digest'], { encoding: 'utf8', timeout: 300000, stdio: ['ignore', 'pipe', 'pipe'] });
  const [frame, digest] = out.trim().split(' ');
  if (frame !== String(k)) throw new Error(`ombrastel-snapshot gave "${out.trim()}" for frame ${k}`);
  return digest;
}

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// Waits until the page's status satisfies `condition`, a function of it
// written as JavaScript source; resolves with the status.
function until(tab, condition, what, ms = 60000) {
  return tab.evaluate(`new Promise((resolve, reject) => {
    const page = window.ombrastel;
    if (!page) { reject(new Error('the page has no window.ombrastel')); return; }
    const test = ${condition};
    const timer = setTimeout(() => {
      page.events.removeEventListener('status', look);
      reject(new Error(${JSON.stringify(`no ${what} within ${ms / 1000} s; the page says `)} +
        JSON.stringify(page.status)));
    }, ${ms});
    function look() {
      if (!test(page.status)) return;
      clearTimeout(timer);
      page.events.removeEventListener('status', look);
      resolve(JSON.parse(JSON.stringify(page.status)));
    }
    page.events.addEventListener('status', look);
    look();
  })`, ms + 10000);
}

const overlay = (tab) => tab.evaluate('document.getElementById("overlay").textContent');
const title = (tab) => tab.evaluate('document.title');

// The frame on the canvas read back now, its digest, and the digest it
// should have.
async function checkCanvas(tab, what) {
  const read = await tab.evaluate('window.ombrastel.canvasDigest()');
  check(read.width > 0, `${what}: nothing could be read back from the canvas`);
  const expected = golden.get(`${read.width}x${read.height} ${read.frame}`) ||
    snapshotDigest(read.width, read.height, read.frame);
  check(read.digest === expected,
    `${what}: frame ${read.frame} at ${read.width} x ${read.height} on the canvas has the digest ${read.digest}, ` +
    `not ${expected}`);
  return read;
}

// --- Scenarios ------------------------------------------------------------------------------

const scenarios = {
  // Frame 412 kept on the canvas, with threads: its pixels are the golden
  // frame's, at the window's first size and at the size it is resized to.
  async still_frame_with_threads_and_a_resize(tab, url) {
    await tab.window(330, 250);
    await tab.go(`${url}index.html?frame=412`);
    let s = await until(tab, "(s) => s.phase === 'still' && s.digest !== '' || s.phase === 'failed'", 'frame 412');
    check(s.phase === 'still', `the page failed: ${s.failure}`);
    check(s.threads >= 2 && s.threadsReason === '', `threads: ${s.threads}, ${s.threadsReason}`);
    check(s.width === 320 && s.height === 240, `a 330 x 250 window gives a ${s.width} x ${s.height} frame`);
    check(s.digest === golden.get('320x240 412'), `frame 412 at 320 x 240 has the digest ${s.digest} on the canvas`);
    check((await overlay(tab)).includes(s.digest), 'the overlay does not show the digest');
    check((await title(tab)) === 'Ombrastel, frame 412', `title "${await title(tab)}"`);
    await tab.window(652, 488);
    s = await until(tab, "(s) => s.width === 642 && s.digest !== ''", 'frame 412 at 642 x 478');
    check(s.height === 478, `a 652 x 488 window gives a ${s.width} x ${s.height} frame`);
    check(s.digest === golden.get('642x478 412'), `frame 412 at 642 x 478 has the digest ${s.digest} on the canvas`);
    // The reference engine, with its two workers and with one.
    for (const workers of [2, 1]) {
      await tab.go(`${url}index.html?frame=412&engine=reference&workers=${workers}`);
      s = await until(tab, "(s) => s.phase === 'still' && s.digest !== '' || s.phase === 'failed'",
        `frame 412 of the reference engine with ${workers} workers`);
      check(s.phase === 'still' && s.engine.startsWith('reference engine, '), `${s.engine}: ${s.failure}`);
      check(s.digest === golden.get('642x478 412'),
        `frame 412 of the reference engine with ${workers} workers has the digest ${s.digest} on the canvas`);
    }
  },

  // The animation with threads: its frames at full speed and idle, the
  // keys, a resize, and Escape. (It starts in the larger window: frames of
  // 320 x 240, which it reaches after more of them, are in the golden file.)
  async animation_keys_and_resize(tab, url) {
    await tab.window(652, 488);
    await tab.go(`${url}index.html`);
    let s = await until(tab, "(s) => s.phase === 'running' && s.frame >= 20 && s.fps > 0 || s.phase === 'failed'",
      'running animation');
    check(s.phase === 'running' && s.mode === 'full', `phase ${s.phase}, mode ${s.mode}: ${s.failure}`);
    check(s.width === 642 && s.height === 478, `a 652 x 488 window gives a ${s.width} x ${s.height} frame`);
    check((await title(tab)).startsWith('Ombrastel, press space -> speed - full ('), `title "${await title(tab)}"`);
    check((await overlay(tab)).startsWith('full speed, '), `overlay "${await overlay(tab)}"`);
    // Full speed: each frame is shown while the next is drawn.
    await checkCanvas(tab, 'full speed');
    await tab.press('Space');
    s = await until(tab, "(s) => s.mode === 'idle'", 'idle mode after Space');
    s = await until(tab, `(s) => s.frame >= ${s.frame + 10}`, 'idle frames');
    check((await title(tab)).startsWith('Ombrastel, press space -> speed - idle ('), `title "${await title(tab)}"`);
    check((await overlay(tab)).startsWith('idle (1 ms pause a frame), '), `overlay "${await overlay(tab)}"`);
    await checkCanvas(tab, 'idle');
    // A smaller window: the animation goes on at the new size.
    await tab.window(330, 250);
    s = await until(tab, "(s) => s.width === 320 && s.height === 240", 'frame of the resized window');
    await until(tab, `(s) => s.frame >= ${s.frame + 5}`, 'frames after the resize');
    await checkCanvas(tab, 'idle, resized');
    await tab.press('Space');
    s = await until(tab, "(s) => s.mode === 'full'", 'full speed after the second Space');
    await until(tab, `(s) => s.frame >= ${s.frame + 10}`, 'full-speed frames after the resize');
    await checkCanvas(tab, 'full speed, resized');
    await tab.press('Escape');
    s = await until(tab, "(s) => s.phase === 'stopped'", 'stop after Escape');
    check((await title(tab)) === 'Ombrastel, stopped', `title "${await title(tab)}"`);
    check((await overlay(tab)).startsWith(`Stopped (Escape) at frame ${s.frame}.`), `overlay "${await overlay(tab)}"`);
    // Nothing is drawn after it: the canvas keeps the frame it stopped at.
    const last = await checkCanvas(tab, 'stopped');
    check(last.frame === s.frame, `stopped at frame ${s.frame}, but frame ${last.frame} is on the canvas`);
    const again = await tab.evaluate('window.ombrastel.canvasDigest()');
    check(again.frame === s.frame && again.digest === last.digest, 'the canvas changed after Escape');
  },

  // A server without the isolation headers: one thread, said why, and the
  // same pixels, kept and animated.
  async one_thread_without_isolation(tab, url) {
    await tab.window(330, 250);
    await tab.go(`${url}index.html?frame=412`);
    let s = await until(tab, "(s) => s.phase === 'still' && s.digest !== '' || s.phase === 'failed'", 'frame 412');
    check(s.phase === 'still', `the page failed: ${s.failure}`);
    check(s.threads === 0, `${s.threads} threads without isolation`);
    check(/^One thread: the page is not cross-origin isolated/.test(s.threadsReason), `"${s.threadsReason}"`);
    check((await overlay(tab)).includes(s.threadsReason), 'the overlay does not say why there is one thread');
    check(s.digest === golden.get('320x240 412'), `frame 412 at 320 x 240 has the digest ${s.digest} on the canvas`);
    await tab.go(`${url}index.html`);
    s = await until(tab, "(s) => s.phase === 'running' && s.frame >= 20 || s.phase === 'failed'", 'running animation');
    check(s.phase === 'running' && s.threads === 0, `phase ${s.phase}, ${s.threads} threads: ${s.failure}`);
    await checkCanvas(tab, 'one thread');
  },

  // Windows that give no frame: the nearest frame is drawn and the reason
  // shown; a reasonable window then draws as usual. (Frame 1473, kept on the
  // canvas: the golden file has it at 2 x 2 and 320 x 240.)
  async windows_out_of_the_limits(tab, url) {
    await tab.window(1, 1);
    await tab.go(`${url}index.html?frame=1473`);
    let s = await until(tab, "(s) => s.phase === 'still' && s.digest !== '' || s.phase === 'failed'", 'frame 1473');
    check(s.phase === 'still', `the page failed: ${s.failure}`);
    check(s.width === 2 && s.height === 2, `a 1 x 1 window gives a ${s.width} x ${s.height} frame`);
    check(s.sizeReason === 'The window, 1 x 1 pixels, gives no frame: each side, less 10 pixels, must come to 2 ' +
      'to 32766 pixels. The frame is 2 x 2.', `reason "${s.sizeReason}"`);
    check((await overlay(tab)).includes(s.sizeReason), 'the overlay does not say why the frame is 2 x 2');
    check(s.digest === golden.get('2x2 1473'), `frame 1473 at 2 x 2 has the digest ${s.digest} on the canvas`);
    // 33000 x 200 device pixels: wider than a frame may be.
    await tab.window(3300, 20, 10);
    s = await until(tab, "(s) => s.width === 32766 && s.digest !== ''", 'the widest frame');
    check(s.height === 190, `a 33000 x 200 window gives a ${s.width} x ${s.height} frame`);
    check(s.sizeReason.startsWith('The window, 33000 x 200 pixels, gives no frame') &&
      s.sizeReason.endsWith('The frame is 32766 x 190.'), `reason "${s.sizeReason}"`);
    await tab.window(330, 250);
    s = await until(tab, "(s) => s.width === 320 && s.digest !== ''", 'a 320 x 240 frame');
    check(s.height === 240 && s.sizeReason === '', `${s.width} x ${s.height}, reason "${s.sizeReason}"`);
    check(s.digest === golden.get('320x240 1473'), `frame 1473 at 320 x 240 has the digest ${s.digest} on the canvas`);
  },

  // A tab put in the background draws nothing until it is seen again, then
  // goes on from the frame it showed.
  async tab_in_the_background(tab, url, browser) {
    await tab.window(330, 250);
    await tab.go(`${url}index.html`);
    let s = await until(tab, "(s) => s.phase === 'running' && s.frame >= 20 || s.phase === 'failed'", 'animation');
    check(s.phase === 'running', `the page failed: ${s.failure}`);
    const { targetId } = await browser.connection.send('Target.createTarget', { url: 'about:blank' });
    await browser.connection.send('Target.activateTarget', { targetId });
    s = await until(tab, '(s) => s.hidden', 'pause in the background');
    check((await title(tab)) === 'Ombrastel, paused in the background', `title "${await title(tab)}"`);
    const hiddenAt = await tab.evaluate('window.ombrastel.canvasDigest()');
    const stillHidden = await tab.evaluate('window.ombrastel.canvasDigest()');
    check(stillHidden.frame === hiddenAt.frame, `frames ${hiddenAt.frame} and ${stillHidden.frame} drawn while hidden`);
    await browser.connection.send('Target.closeTarget', { targetId });
    await browser.connection.send('Target.activateTarget', { targetId: tab.targetId });
    s = await until(tab, `(s) => !s.hidden && s.frame >= ${hiddenAt.frame + 10}`, 'frames when seen again');
    await checkCanvas(tab, 'back in front');
  },

  // Addresses whose options name nothing, or what the engine cannot do:
  // each is said in one line, and nothing is drawn.
  async addresses_the_page_refuses(tab, url) {
    const cases = [
      ['workers=0', 'Bad address: workers=0: give a whole number from 1 to 64.'],
      ['engine=fastest', 'Bad address: engine=fastest: give fast or reference.'],
      ['frame=-1', 'Bad address: frame=-1: give a whole number from 0 to 100000000.'],
      ['benchmark=big', 'Bad address: benchmark=big: give the frame size as WxH, such as 1910x1070.'],
      ['engine=reference&workers=3',
        'The engine cannot run here: the reference engine takes 1 or 2 workers, not 3'],
    ];
    for (const [query, wanted] of cases) {
      await tab.go(`${url}index.html?${query}`);
      const s = await until(tab, "(s) => s.phase !== 'starting'", `the page's answer to ?${query}`);
      check(s.phase === 'failed' && s.failure === wanted, `?${query}: "${s.failure}" instead of "${wanted}"`);
      check((await overlay(tab)) === wanted, `?${query}: the overlay does not show the failure`);
    }
  },

  // A browser without WebAssembly SIMD: V8 as on a processor without
  // SSE4.1, which it needs for them.
  async browser_without_webassembly_simd(tab, url) {
    await tab.go(`${url}index.html`);
    const s = await until(tab, "(s) => s.phase !== 'starting'", 'message');
    check(s.phase === 'failed' && s.failure.startsWith('This browser has no WebAssembly SIMD'), `"${s.failure}"`);
    check((await overlay(tab)) === s.failure, 'the overlay does not show the failure');
    check((await title(tab)) === 'Ombrastel, cannot start', `title "${await title(tab)}"`);
  },

  // Pages without WebAssembly, or without OffscreenCanvas, as older
  // browsers are: each says so.
  async browsers_without_webassembly_or_offscreencanvas(tab, url) {
    const cases = [
      { script: 'delete globalThis.WebAssembly;', wanted: 'This browser has no WebAssembly,' },
      { script: 'delete HTMLCanvasElement.prototype.transferControlToOffscreen;',
        wanted: 'This browser cannot hand a canvas to a Worker (OffscreenCanvas)' },
    ];
    for (const c of cases) {
      const added = await tab.send('Page.addScriptToEvaluateOnNewDocument', { source: c.script });
      await tab.go(`${url}index.html`);
      const s = await until(tab, "(s) => s.phase !== 'starting'", `message "${c.wanted}"`);
      check(s.phase === 'failed' && s.failure.startsWith(c.wanted), `"${s.failure}" instead of "${c.wanted} ..."`);
      check((await overlay(tab)) === s.failure, 'the overlay does not show the failure');
      check((await title(tab)) === 'Ombrastel, cannot start', `title "${await title(tab)}"`);
      await tab.send('Page.removeScriptToEvaluateOnNewDocument', { identifier: added.identifier });
    }
  },
};

const settings = {
  one_thread_without_isolation: { isolation: false },
  browser_without_webassembly_simd: { flags: ['--js-flags=--no-enable-sse4-1'] },
};

async function main() {
  const scenario = scenarios[scenarioName];
  if (!scenario || !snapshot) {
    console.error(`usage: page_tests.js ${Object.keys(scenarios).join('|')} SITE SERVE_SCRIPT GOLDEN SNAPSHOT_JS`);
    return 2;
  }
  const setting = settings[scenarioName] || {};
  const server = await serve(serveScript, site, { isolation: setting.isolation !== false });
  let browser = null;
  let tab = null;
  let status = 0;
  try {
    browser = await launch(setting.flags || []);
    tab = await openTab(browser);
    await deadline(scenario(tab, server.url, browser), 240000, `end of the scenario ${scenarioName}`);
    const errors = tab.errors();
    check(errors.length === 0, `errors in the console:\n  ${errors.map((e) => `[${e.where}] ${e.text}`).join('\n  ')}`);
    console.log(`PASSED: ${scenarioName}`);
  } catch (error) {
    status = 1;
    console.error(`FAILED: ${scenarioName}: ${error.message}`);
    if (tab) for (const m of tab.messages) console.error(`  console [${m.where}] ${m.level}: ${m.text}`);
    if (browser && browser.errors()) {
      const lines = browser.errors().trimEnd().split('\n');
      console.error(`  Chromium's standard error, its last lines:\n${lines.slice(-20).join('\n')}`);
    }
  } finally {
    if (browser) await browser.close();
    await server.close();
  }
  return status;
}

main().then((status) => { process.exitCode = status; }, (error) => {
  console.error(`FAILED: ${scenarioName}: ${error.stack || error}`);
  process.exitCode = 1;
});
