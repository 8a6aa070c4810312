'use strict';
// The web page in a headless browser (Chromium or Firefox), as a user would
// have it: served by scripts/serve_web.py, its frames read back from its
// canvas and their digests compared with the golden ones, its keys pressed,
// its window resized at every speed and to every size, its tab put in the
// background, a failure shown and kept, and a browser without what it
// needs. No scenario ends with a message in the console of the page or of
// its Workers.
//
//   node page_tests.js BROWSER SCENARIO SITE_FOLDER SERVE_SCRIPT GOLDEN_FRAMES SNAPSHOT_JS
//
// Exit status: 0 passed, 1 failed (what and why on standard error), 2 bad
// arguments.
const { execFileSync } = require('child_process');
const fs = require('fs');
const { deadline, serve, launch, browsers } = require('./browser');

const [browserKind, scenarioName, site, serveScript, goldenFile, snapshot] = process.argv.slice(2);

// Frame digests kept in tests/golden/frames.txt: "320x240 412" to digest.
const golden = new Map();
if (goldenFile && fs.existsSync(goldenFile)) {
  for (const line of fs.readFileSync(goldenFile, 'utf8').split('\n')) {
    const [size, frame, digest] = line.split(' ');
    if (size && !size.startsWith('#')) golden.set(`${size} ${frame}`, digest);
  }
}

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// --- Frames read back from the canvas --------------------------------------------------------

// The canvas read back now: its frame's number, size and digest. Those the
// golden file has are compared at once; the others are kept, to be
// compared with the digests of the WebAssembly build's own snapshot tool
// (whose digests another test compares with the golden ones) once the
// scenario is over: the tool takes every frame up to the last one it
// digests through the transform, which advances the zoom, and draws only
// those it digests, so each size is one run of it.
const unsettled = [];

// The animation's angles and zoom repeat after 29184 frames, but not its
// bits: frame 30102 at 2 x 390 differs from frame 918. Tiny frames at full
// speed pass that many within seconds, so each read is compared with the
// frame of its own number.

async function checkCanvas(tab, what, size = null) {
  const read = await tab.evaluate('window.ombrastel.canvasDigest()');
  check(read.width > 0, `${what}: nothing could be read back from the canvas`);
  if (size) {
    check(read.width === size[0] && read.height === size[1],
      `${what}: the canvas holds a ${read.width} x ${read.height} frame, not ${size[0]} x ${size[1]}`);
  }
  const expected = golden.get(`${read.width}x${read.height} ${read.frame}`);
  if (expected) {
    check(read.digest === expected, `${what}: frame ${read.frame} at ${read.width} x ${read.height} on the canvas ` +
      `has the digest ${read.digest}, not the golden ${expected}`);
  } else {
    unsettled.push({ what, ...read });
  }
  return read;
}

// The kept reads against the snapshot tool's digests; every mismatch is
// named.
function settleCanvasReads() {
  const started = Date.now();
  const count = unsettled.length;
  const bySize = new Map();
  for (const read of unsettled.splice(0)) {
    const size = `${read.width}x${read.height}`;
    if (!bySize.has(size)) bySize.set(size, []);
    bySize.get(size).push(read);
  }
  const wrong = [];
  for (const [size, reads] of bySize) {
    const frames = [...new Set(reads.map((r) => r.frame))].sort((a, b) => a - b);
    const sizeStarted = Date.now();
    const out = execFileSync(process.execPath, ['--no-experimental-fetch', snapshot, '--size', size,
      '--frames', frames.join(','), '--digest'],
    { encoding: 'utf8', timeout: 600000, maxBuffer: 1 << 24, stdio: ['ignore', 'pipe', 'pipe'] });
    const digests = new Map(out.trim().split('\n').map((line) => line.split(' ')));
    console.log(`  ${size}: frames ${frames.join(', ')} by the snapshot tool in ` +
      `${((Date.now() - sizeStarted) / 1000).toFixed(1)} s`);
    for (const read of reads) {
      const expected = digests.get(String(read.frame));
      if (!expected) {
        wrong.push(`${read.what}: ombrastel-snapshot gave no digest of frame ${read.frame} at ${size}`);
      } else if (read.digest !== expected) {
        wrong.push(`${read.what}: frame ${read.frame} at ${size.replace('x', ' x ')} on the canvas has the digest ` +
          `${read.digest}, not ${expected}`);
      }
    }
  }
  if (count) {
    console.log(`${count} frames read back at ${bySize.size} sizes, compared with the snapshot tool's in ` +
      `${((Date.now() - started) / 1000).toFixed(1)} s`);
  }
  check(wrong.length === 0, `frames read back from the canvas differ from the snapshot tool's:\n  ${wrong.join('\n  ')}`);
}

// --- The page's status ---------------------------------------------------------------------

// Counters the page keeps while it runs: frames drawn, idle pauses (and
// those with a frame being drawn), frames shown while the next was drawn,
// frames drawn into the buffer being shown, and the module's memory.
const counters = ['drawn', 'pauses', 'pausesWhileDrawing', 'overlapped', 'drawnIntoShown', 'memory'];

// What holds at every status of a page that runs or has stopped: the
// counters are there, no idle pause had a frame being drawn, and no frame
// was drawn into the buffer being shown.
function checkCounters(s, what) {
  if (s.phase !== 'running' && s.phase !== 'stopped') return;
  for (const name of counters) {
    check(Number.isInteger(s[name]) && s[name] >= 0, `${what}: the page's status has no count "${name}" ` +
      `(${JSON.stringify(s[name])})`);
  }
  check(s.pausesWhileDrawing === 0, `${what}: ${s.pausesWhileDrawing} of ${s.pauses} idle pauses had a frame ` +
    'being drawn');
  check(s.drawnIntoShown === 0, `${what}: ${s.drawnIntoShown} frames were drawn into the buffer being shown`);
}

// Waits until the page's status satisfies `condition`, a function of it
// written as JavaScript source; resolves with the status. A failure of the
// page ends the wait at once, unless `failed` is allowed.
async function until(tab, condition, what, { ms = 60000, failed = false } = {}) {
  const s = await tab.evaluate(`new Promise((resolve, reject) => {
    const page = window.ombrastel;
    if (!page) { reject(new Error('the page has no window.ombrastel')); return; }
    const test = ${condition};
    const timer = setTimeout(() => {
      stop();
      reject(new Error(${JSON.stringify(`no ${what} within ${ms / 1000} s; the page says `)} +
        JSON.stringify(page.status)));
    }, ${ms});
    function stop() {
      clearTimeout(timer);
      page.events.removeEventListener('status', look);
    }
    function look() {
      const s = page.status;
      if (${!failed} && s.phase === 'failed') {
        stop();
        reject(new Error(${JSON.stringify(`the page failed while waiting for ${what}: `)} + s.failure));
      } else if (test(s)) {
        stop();
        resolve(JSON.parse(JSON.stringify(s)));
      }
    }
    page.events.addEventListener('status', look);
    look();
  })`, ms + 10000);
  checkCounters(s, what);
  return s;
}

// Every status from now on, kept in the page under `name`, for a check of
// what the page said at a moment that a later status would hide.
async function record(tab, name) {
  await tab.evaluate(`(() => {
    const page = window.ombrastel;
    const records = window.ombrastelTestRecords || (window.ombrastelTestRecords = {});
    const list = records[${JSON.stringify(name)}] = [];
    page.events.addEventListener('status', () => list.push(JSON.parse(JSON.stringify(page.status))));
    return true;
  })()`);
}

// The statuses recorded under `name` up to the first that satisfies
// `condition`, once there is one.
async function recorded(tab, name, condition, what, ms = 60000) {
  const list = await tab.evaluate(`new Promise((resolve, reject) => {
    const page = window.ombrastel;
    const list = window.ombrastelTestRecords[${JSON.stringify(name)}];
    const test = ${condition};
    const timer = setTimeout(() => {
      stop();
      reject(new Error(${JSON.stringify(`no ${what} within ${ms / 1000} s; the page says `)} +
        JSON.stringify(page.status)));
    }, ${ms});
    function stop() {
      clearTimeout(timer);
      page.events.removeEventListener('status', look);
    }
    function look() {
      const at = list.findIndex(test);
      if (at < 0) return;
      stop();
      resolve(list.slice(0, at + 1));
    }
    page.events.addEventListener('status', look);
    look();
  })`, ms + 10000);
  list.forEach((s) => checkCounters(s, what));
  return list;
}

const overlay = (tab) => tab.evaluate('document.getElementById("overlay").textContent');
const title = (tab) => tab.evaluate('document.title');

async function runningAnimation(tab, url, query, what = 'running animation') {
  await tab.go(`${url}index.html${query}`);
  const s = await until(tab, "(s) => s.phase === 'running' && s.frame >= 2", what);
  check(s.mode === 'full', `the animation starts in mode ${s.mode}, not full`);
  return s;
}

// --- Resizes ---------------------------------------------------------------------------------

// Windows (CSS pixels, device pixel ratio) and the frames they give: each
// side of the window in device pixels less 10, down to an even number; a
// window that gives no frame gets the nearest one, a frame of more than
// 7680 x 4320 pixels in all is shrunk to that many, and each says why.
const noFrame = (w, h) => `The window, ${w} x ${h} pixels, gives no frame: each side, less 10 pixels, must ` +
  'come to 2 to 32766 pixels.';
const windows = {
  largest: { css: [769, 433, 10], frame: [7680, 4320], reason: '' },
  beyondLargest: { css: [770, 434, 10], frame: [7676, 4322], reason: 'The window, 7700 x 4340 pixels, gives a ' +
    'frame of more pixels than the program draws (33177600 in all). The frame is 7676 x 4322.' },
  widest: { css: [3300, 20, 10], frame: [32766, 190], reason: `${noFrame(33000, 200)} The frame is 32766 x 190.` },
  onePixel: { css: [1, 1, 1], frame: [2, 2], reason: `${noFrame(1, 1)} The frame is 2 x 2.` },
  smallest: { css: [12, 12, 1], frame: [2, 2], reason: '' },
  narrow: { css: [11, 400, 1], frame: [2, 390], reason: `${noFrame(11, 400)} The frame is 2 x 390.` },
  low: { css: [400, 5, 2], frame: [790, 2], reason: `${noFrame(800, 10)} The frame is 790 x 2.` },
  golden: { css: [330, 250, 1], frame: [320, 240], reason: '' },
  vga: { css: [652, 488, 1], frame: [642, 478], reason: '' },
  ratio15: { css: [213, 160, 1.5], frame: [310, 230], reason: '' },
  ratio3: { css: [73, 41, 3], frame: [208, 112], reason: '' },
  ratio2: { css: [501, 35, 2], frame: [992, 60], reason: '' },
  odd: { css: [131, 97, 1], frame: [120, 86], reason: '' },
  small: { css: [250, 190, 1], frame: [240, 180], reason: '' },
  tall: { css: [41, 301, 1], frame: [30, 290], reason: '' },
  wide: { css: [401, 61, 1], frame: [390, 50], reason: '' },
};

// A resize of the running page and the frame after it: the page says the
// frame's size and why it is that size, draws frames at it, and the one on
// the canvas is the right frame at that size.
async function resizeTo(tab, name, what) {
  const w = windows[name];
  const [fw, fh] = w.frame;
  const before = await tab.evaluate('JSON.parse(JSON.stringify(window.ombrastel.status))');
  await tab.window(...w.css);
  // The reason names the window: a frame of the size of the one before is
  // then told apart.
  const s = await until(tab, `(s) => s.width === ${fw} && s.height === ${fh} && ` +
    `s.sizeReason === ${JSON.stringify(w.reason)} && s.drawn > ${before.drawn}`, `${fw} x ${fh} frame of ${what}`,
  { ms: 120000 });
  check(s.phase === 'running', `${what}: phase ${s.phase}`);
  await checkCanvas(tab, what, w.frame);
  return s;
}

// Many resizes one after the other, none awaited but by the browser: the
// frame after them is at the last size.
async function storm(tab, names, what) {
  const last = windows[names[names.length - 1]];
  check(!names.slice(0, -1).some((n) => windows[n].frame.join() === last.frame.join()),
    'a storm ends at a size of its own');
  const before = await tab.evaluate('JSON.parse(JSON.stringify(window.ombrastel.status))');
  check(before.width !== last.frame[0] || before.height !== last.frame[1], 'a storm ends at a size of its own');
  const started = Date.now();
  for (const name of names) await tab.window(...windows[name].css);
  const seconds = (Date.now() - started) / 1000;
  const s = await until(tab, `(s) => s.width === ${last.frame[0]} && s.height === ${last.frame[1]}`,
    `frame after ${what}`, { ms: 120000 });
  await until(tab, `(s) => s.drawn > ${s.drawn}`, `frames after ${what}`);
  console.log(`${what}: ${names.length} resizes in ${seconds.toFixed(2)} s`);
  await checkCanvas(tab, `${what} (${names.length} resizes in ${seconds.toFixed(2)} s)`, last.frame);
}

// A resize, and the tab put in the background before the page has drawn at
// the new size; seen again, it draws at that size. Nothing is drawn while
// hidden.
async function hiddenDuringResize(tab, name, what) {
  const w = windows[name];
  await record(tab, what);
  await tab.window(...w.css);
  const show = await tab.hide();
  const hidden = (await recorded(tab, what, '(s) => s.hidden', `pause in the background during ${what}`)).pop();
  await record(tab, `${what}, seen again`);
  await show();
  const seen = (await recorded(tab, `${what}, seen again`, '(s) => !s.hidden', `${what}, seen again`)).pop();
  check(seen.drawn === hidden.drawn, `${what}: ${seen.drawn - hidden.drawn} frames drawn while hidden`);
  const s = await until(tab, `(s) => !s.hidden && s.width === ${w.frame[0]} && s.height === ${w.frame[1]} && ` +
    `s.drawn > ${seen.drawn}`, `frames after ${what}`);
  check(s.sizeReason === w.reason, `${what}: reason "${s.sizeReason}"`);
  await checkCanvas(tab, what, w.frame);
}

// Escape pressed while the window is resized: the page stops, at whichever
// size came first, and keeps the frame it stopped at; later resizes draw
// nothing.
async function escapeDuringResize(tab) {
  await Promise.all([tab.press('Escape'), tab.window(...windows.vga.css)]);
  const s = await until(tab, "(s) => s.phase === 'stopped'", 'stop after Escape during a resize');
  const stopped = await checkCanvas(tab, 'stopped during a resize');
  check(stopped.frame === s.frame, `stopped at frame ${s.frame}, but frame ${stopped.frame} is on the canvas`);
  // The page's own handler of the resize runs before this one.
  await tab.evaluate(`(window.ombrastelTestResized = new Promise((resolve) =>
    window.addEventListener('resize', resolve, { once: true })), true)`);
  await tab.window(...windows.small.css);
  const again = await tab.evaluate('window.ombrastelTestResized.then(() => window.ombrastel.canvasDigest())');
  check(again.frame === stopped.frame && again.width === stopped.width && again.digest === stopped.digest,
    `a resize after Escape changed the canvas: frame ${again.frame}, ${again.width} x ${again.height}`);
  check((await title(tab)) === 'Ombrastel, stopped', `title "${await title(tab)}"`);
}

// Dozens of resizes of the running page at full speed, then idle: the
// largest frames first, while frame numbers are small (the page starts at
// the largest); windows that give no frame; assorted sizes and device
// pixel ratios; a storm; a tab hidden in the middle of a resize. Then
// Escape during a resize.
async function resizes(tab, url, query, engine) {
  await tab.window(...windows.largest.css);
  let s = await runningAnimation(tab, url, query);
  check(engine(s), `the engine: ${s.engine}, ${s.threads} threads`);
  await checkCanvas(tab, 'full speed, the largest frame at the start', windows.largest.frame);
  for (const name of ['beyondLargest', 'largest', 'widest', 'onePixel', 'golden', 'vga', 'ratio15', 'smallest',
    'narrow', 'odd', 'ratio3', 'low', 'small', 'tall', 'ratio2', 'wide', 'golden']) {
    await resizeTo(tab, name, `full speed, resized to ${name}`);
  }
  const stormSizes = ['vga', 'onePixel', 'odd', 'tall', 'ratio15', 'wide', 'narrow', 'ratio3'];
  await storm(tab, [...stormSizes, ...stormSizes, ...stormSizes, 'small'], 'a storm of resizes at full speed');
  await hiddenDuringResize(tab, 'ratio15', 'a resize at full speed, hidden');
  await tab.press('Space');
  await until(tab, "(s) => s.mode === 'idle'", 'idle mode after Space');
  for (const name of ['golden', 'onePixel', 'odd', 'smallest', 'tall', 'ratio3', 'wide', 'narrow', 'small', 'ratio15',
    'low', 'golden']) {
    await resizeTo(tab, name, `idle, resized to ${name}`);
  }
  await storm(tab, [...stormSizes, ...stormSizes, 'small'], 'a storm of resizes while idle');
  await hiddenDuringResize(tab, 'odd', 'a resize while idle, hidden');
  s = await tab.evaluate('JSON.parse(JSON.stringify(window.ombrastel.status))');
  s = await until(tab, `(s) => s.drawn > ${s.drawn}`, 'frames after the resizes');
  check(s.phase === 'running' && s.mode === 'idle', `after the resizes: phase ${s.phase}, mode ${s.mode}`);
  check(tab.messages.length === 0, 'messages in the console during the resizes');
  await tab.press('Space');
  await until(tab, "(s) => s.mode === 'full'", 'full speed after the second Space');
  await escapeDuringResize(tab);
}

// --- Scenarios ------------------------------------------------------------------------------

const scenarios = {
  // Frame 412 kept on the canvas, with threads: its pixels are the golden
  // frame's, at the window's first size and at the size it is resized to.
  async still_frame_with_threads_and_a_resize(tab, url) {
    await tab.window(330, 250);
    await tab.go(`${url}index.html?frame=412`);
    let s = await until(tab, "(s) => s.phase === 'still' && s.digest !== ''", 'frame 412');
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
      s = await until(tab, "(s) => s.phase === 'still' && s.digest !== ''",
        `frame 412 of the reference engine with ${workers} workers`);
      check(s.engine.startsWith('reference engine, '), `${s.engine}`);
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
    let s = await until(tab, "(s) => s.phase === 'running' && s.frame >= 20 && s.fps > 0", 'running animation');
    check(s.mode === 'full', `mode ${s.mode}`);
    check(s.width === 642 && s.height === 478, `a 652 x 488 window gives a ${s.width} x ${s.height} frame`);
    check((await title(tab)).startsWith('Ombrastel, press space -> speed - full ('), `title "${await title(tab)}"`);
    check((await overlay(tab)).startsWith('full speed, '), `overlay "${await overlay(tab)}"`);
    await checkCanvas(tab, 'full speed');
    await tab.press('Space');
    s = await until(tab, "(s) => s.mode === 'idle'", 'idle mode after Space');
    s = await until(tab, `(s) => s.frame >= ${s.frame + 10}`, 'idle frames');
    check((await title(tab)).startsWith('Ombrastel, press space -> speed - idle ('), `title "${await title(tab)}"`);
    check((await overlay(tab)).startsWith('idle (1 ms pause a frame), '), `overlay "${await overlay(tab)}"`);
    await checkCanvas(tab, 'idle');
    // A smaller window: the animation goes on at the new size.
    await tab.window(330, 250);
    s = await until(tab, '(s) => s.width === 320 && s.height === 240', 'frame of the resized window');
    await until(tab, `(s) => s.frame >= ${s.frame + 5}`, 'frames after the resize');
    await checkCanvas(tab, 'idle, resized', [320, 240]);
    await tab.press('Space');
    s = await until(tab, "(s) => s.mode === 'full'", 'full speed after the second Space');
    await until(tab, `(s) => s.frame >= ${s.frame + 10}`, 'full-speed frames after the resize');
    await checkCanvas(tab, 'full speed, resized', [320, 240]);
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
    let s = await until(tab, "(s) => s.phase === 'still' && s.digest !== ''", 'frame 412');
    check(s.threads === 0, `${s.threads} threads without isolation`);
    check(/^One thread: the page is not cross-origin isolated/.test(s.threadsReason), `"${s.threadsReason}"`);
    check((await overlay(tab)).includes(s.threadsReason), 'the overlay does not say why there is one thread');
    check(s.digest === golden.get('320x240 412'), `frame 412 at 320 x 240 has the digest ${s.digest} on the canvas`);
    await tab.go(`${url}index.html`);
    s = await until(tab, "(s) => s.phase === 'running' && s.frame >= 20", 'running animation');
    check(s.threads === 0, `${s.threads} threads`);
    await checkCanvas(tab, 'one thread');
  },

  // Windows that give no frame: the nearest frame is drawn and the reason
  // shown; a reasonable window then draws as usual. (Frame 1473, kept on the
  // canvas: the golden file has it at 2 x 2 and 320 x 240.)
  async windows_out_of_the_limits(tab, url) {
    await tab.window(1, 1);
    await tab.go(`${url}index.html?frame=1473`);
    let s = await until(tab, "(s) => s.phase === 'still' && s.digest !== ''", 'frame 1473');
    check(s.width === 2 && s.height === 2, `a 1 x 1 window gives a ${s.width} x ${s.height} frame`);
    check(s.sizeReason === windows.onePixel.reason, `reason "${s.sizeReason}"`);
    check((await overlay(tab)).includes(s.sizeReason), 'the overlay does not say why the frame is 2 x 2');
    check(s.digest === golden.get('2x2 1473'), `frame 1473 at 2 x 2 has the digest ${s.digest} on the canvas`);
    await tab.window(...windows.widest.css);
    s = await until(tab, "(s) => s.width === 32766 && s.digest !== ''", 'the widest frame');
    check(s.height === 190 && s.sizeReason === windows.widest.reason, `${s.width} x ${s.height}: "${s.sizeReason}"`);
    await tab.window(330, 250);
    s = await until(tab, "(s) => s.width === 320 && s.digest !== ''", 'a 320 x 240 frame');
    check(s.height === 240 && s.sizeReason === '', `${s.width} x ${s.height}, reason "${s.sizeReason}"`);
    check(s.digest === golden.get('320x240 1473'), `frame 1473 at 320 x 240 has the digest ${s.digest} on the canvas`);
    // A window that comes while the widest frame's digest is being taken: no
    // digest said for the small frame is the wide one's.
    await record(tab, 'wide, then small');
    await tab.window(...windows.widest.css);
    await tab.window(330, 250);
    // (A browser may give the page the last size alone.)
    await until(tab, `(s) => s.width === 320 && s.digest === ${JSON.stringify(golden.get('320x240 1473'))}`,
      'the small frame again');
    await checkCanvas(tab, 'the small frame again', [320, 240]);
    const statuses = await tab.evaluate("window.ombrastelTestRecords['wide, then small']");
    for (const said of statuses.filter((x) => x.width === 320 && x.digest !== '')) {
      check(said.digest === golden.get('320x240 1473'), `a 320 x 240 frame said to have the digest ${said.digest}`);
    }
  },

  // A tab put in the background draws nothing until it is seen again, at
  // full speed and idle: the frames it has drawn, counted when it is hidden
  // and when it is seen again, are as many; then it goes on from the frame
  // it showed.
  async tab_in_the_background(tab, url) {
    await tab.window(330, 250);
    let s = await runningAnimation(tab, url, '');
    for (const mode of ['full', 'idle']) {
      if (mode === 'idle') {
        await tab.press('Space');
        s = await until(tab, "(s) => s.mode === 'idle'", 'idle mode after Space');
      }
      s = await until(tab, `(s) => s.drawn >= ${s.drawn + 10}`, `frames drawn, ${mode}`);
      await record(tab, `hidden, ${mode}`);
      const show = await tab.hide();
      const hidden = (await recorded(tab, `hidden, ${mode}`, '(s) => s.hidden', `pause in the background, ${mode}`))
        .pop();
      check((await title(tab)) === 'Ombrastel, paused in the background', `title "${await title(tab)}"`);
      // The Worker answers 30 reads of the canvas in turn, with its frame
      // tasks, were there any, in between.
      const first = await tab.evaluate('window.ombrastel.canvasDigest()');
      for (let i = 0; i < 30; i++) {
        const read = await tab.evaluate('window.ombrastel.canvasDigest()');
        check(read.frame === first.frame, `${mode}: frames ${first.frame} and ${read.frame} shown while hidden`);
      }
      await record(tab, `seen again, ${mode}`);
      await show();
      const seen = await recorded(tab, `seen again, ${mode}`, '(s) => !s.hidden', `the tab seen again, ${mode}`);
      const whileHidden = await tab.evaluate(`window.ombrastelTestRecords[${JSON.stringify(`hidden, ${mode}`)}]`);
      for (const h of [...whileHidden.filter((x) => x.hidden), ...seen]) {
        check(h.drawn === hidden.drawn, `${mode}: ${h.drawn - hidden.drawn} frames drawn while hidden ` +
          `(${hidden.drawn} when hidden, ${h.drawn} ${h.hidden ? 'later while hidden' : 'when seen again'})`);
      }
      s = await until(tab, `(s) => !s.hidden && s.drawn >= ${hidden.drawn + 10}`, `frames when seen again, ${mode}`);
      check(s.frame > first.frame, `${mode}: seen again at frame ${s.frame}, shown before ${first.frame}`);
      await checkCanvas(tab, `back in front, ${mode}`);
    }
  },

  // Idle: every frame has its pause, none with a frame being drawn, and no
  // frame is drawn while another is shown. Full speed: every frame is shown
  // while the next is drawn, never into the buffer being shown, and there
  // are no pauses.
  async idle_pauses_and_full_speed_overlap(tab, url) {
    await tab.window(330, 250);
    let s = await runningAnimation(tab, url, '?workers=2');
    const grows = async (mode) => {
      // Counted from a few frames into the mode: a pause under way when
      // the mode changed ends in the other one.
      const into = await until(tab, `(s) => s.mode === '${mode}'`, `${mode} mode`);
      const from = await until(tab, `(s) => s.drawn >= ${into.drawn + 3}`, `frames in ${mode} mode`);
      const to = await until(tab, `(s) => s.drawn >= ${from.drawn + 100}`, `100 frames, ${mode}`);
      const drawn = to.drawn - from.drawn;
      const pauses = to.pauses - from.pauses;
      const overlapped = to.overlapped - from.overlapped;
      const counts = `${drawn} frames drawn, ${pauses} idle pauses, ${overlapped} shown while the next was drawn`;
      if (mode === 'full') {
        check(pauses === 0 && Math.abs(overlapped - drawn) <= 1, `full speed: ${counts}`);
      } else {
        check(overlapped === 0 && Math.abs(pauses - drawn) <= 1, `idle: ${counts}`);
      }
      return to;
    };
    s = await grows('full');
    await tab.press('Space');
    s = await grows('idle');
    await tab.press('Space');
    s = await grows('full');
    // The same after a resize.
    await tab.window(652, 488);
    await until(tab, '(s) => s.width === 642', 'the frame after a resize');
    s = await grows('full');
    await tab.press('Space');
    s = await grows('idle');
    await checkCanvas(tab, 'idle after the counts', [642, 478]);
  },

  // Dozens of resizes, with the fast engine and two workers.
  async resizes_fast_engine(tab, url) {
    await resizes(tab, url, '?workers=2', (s) => s.engine.startsWith('fast engine, 2 workers') && s.threads >= 2);
  },

  // The same with the reference engine.
  async resizes_reference_engine(tab, url) {
    await resizes(tab, url, '?engine=reference', (s) => s.engine.startsWith('reference engine, ') && s.threads >= 2);
  },

  // The same on one thread: the page without cross-origin isolation.
  async resizes_one_thread(tab, url) {
    await resizes(tab, url, '', (s) => s.threads === 0);
  },

  // A hundred resizes back and forth between two sizes at full speed leave
  // the module's memory as it was after the first two.
  async memory_after_resizes_back_and_forth(tab, url) {
    await tab.window(330, 250);
    let s = await runningAnimation(tab, url, '?workers=2');
    let afterTwo = 0;
    for (let i = 1; i <= 100; i++) {
      const [css, frame] = i % 2 ? [[652, 488], [642, 478]] : [[330, 250], [320, 240]];
      await tab.window(...css);
      s = await until(tab, `(s) => s.width === ${frame[0]} && s.height === ${frame[1]} && s.drawn > ${s.drawn}`,
        `frame after resize ${i}`);
      if (i === 2) afterTwo = s.memory;
    }
    check(s.memory === afterTwo, `the module's memory: ${afterTwo} bytes after 2 resizes, ${s.memory} after 100`);
    await checkCanvas(tab, 'after 100 resizes', [320, 240]);
  },

  // A failure the page shows stays, whatever the drawing Worker says after
  // it: the Worker's error, or its failure message, taken by the page as if
  // the Worker had sent them, while the Worker itself keeps drawing and
  // telling its status, and is sent keys, resizes and the tab's comings
  // and goings.
  async failure_stays_shown(tab, url) {
    // The page's Worker, within reach of the test.
    await tab.beforeEachDocument(`const Original = window.Worker;
      window.Worker = class extends Original {
        constructor(...args) { super(...args); window.ombrastelTestWorker = this; }
      };`);
    const failures = [
      ['an error of the Worker', "new ErrorEvent('error', { message: 'a fault put in by the test', cancelable: true })",
        'The drawing Worker failed: a fault put in by the test.'],
      ['a failure message', "new MessageEvent('message', { data: { type: 'failed', text: 'Drawing failed: a fault' } })",
        'Drawing failed: a fault'],
    ];
    for (const [what, event, text] of failures) {
      await tab.window(330, 250);
      await runningAnimation(tab, url, '');
      // The Worker's statuses are counted as they come, whether the page
      // takes them or not.
      await tab.evaluate(`(() => {
        const worker = window.ombrastelTestWorker;
        window.ombrastelTestStatuses = 0;
        window.ombrastelTestStatus = new EventTarget();
        worker.addEventListener('message', (event) => {
          if (event.data.type === 'failed') return;
          window.ombrastelTestStatuses += 1;
          window.ombrastelTestStatus.dispatchEvent(new Event('status'));
        });
        worker.dispatchEvent(${event});
        return true;
      })()`);
      // Does `action`, waits for as many statuses from the Worker, then
      // looks.
      const stays = async (after, action, statuses = 2) => {
        const seen = await tab.evaluate('window.ombrastelTestStatuses');
        await action();
        await tab.evaluate(`new Promise((resolve) => {
          const look = () => { if (window.ombrastelTestStatuses >= ${seen + statuses}) resolve(true); };
          window.ombrastelTestStatus.addEventListener('status', look);
          look();
        })`, 30000).catch(() => { throw new Error(`${what}, then ${after}: no status from the Worker within 30 s`); });
        const s = await tab.evaluate('JSON.parse(JSON.stringify(window.ombrastel.status))');
        check(s.phase === 'failed' && s.failure === text, `${what}, then ${after}: phase ${s.phase}, "${s.failure}"`);
        check((await overlay(tab)) === text, `${what}, then ${after}: the overlay says "${await overlay(tab)}"`);
        check((await title(tab)) === 'Ombrastel, cannot start', `${what}, then ${after}: title "${await title(tab)}"`);
      };
      await stays('the Worker drawing on', async () => {});
      await stays('Space', () => tab.press('Space'));
      await stays('a resize', () => tab.window(652, 488));
      await stays('the tab hidden and seen again', async () => {
        const show = await tab.hide();
        await show();
      });
      await stays('Escape', () => tab.press('Escape'), 1);
    }
  },

  // Addresses whose options name nothing, or what the engine cannot do:
  // each is said in one line, and nothing is drawn.
  async addresses_the_page_refuses(tab, url) {
    const cases = [
      ['workers=0', 'Bad address: workers=0: give a whole number from 1 to 64.'],
      ['engine=fastest', 'Bad address: engine=fastest: give fast or reference.'],
      ['frame=-1', 'Bad address: frame=-1: give a whole number from 0 to 100000000.'],
      ['benchmark=big', 'Bad address: benchmark=big: give the frame size as WxH, such as 1910x1070.'],
      ['benchmark=320x240&settle=0.5', 'Bad address: settle=0.5: give a whole number from 0 to 60000.'],
      ['engine=reference&workers=3',
        'The engine cannot run here: the reference engine takes 1 or 2 workers, not 3'],
    ];
    for (const [query, wanted] of cases) {
      await tab.go(`${url}index.html?${query}`);
      const s = await until(tab, "(s) => s.phase !== 'starting'", `the page's answer to ?${query}`, { failed: true });
      check(s.phase === 'failed' && s.failure === wanted, `?${query}: "${s.failure}" instead of "${wanted}"`);
      check((await overlay(tab)) === wanted, `?${query}: the overlay does not show the failure`);
    }
  },

  // The benchmark mode, as scripts/benchmark_web.sh runs it: frames drawn
  // and not shown, by the engine with the workers asked for, their rate,
  // and, asked for, the frame's budget, each figure a number (a figure
  // printed from no frames or a failed clock would not be).
  async benchmark_and_its_budget(tab, url) {
    for (const budget of [false, true]) {
      // With the budget, frames drawn first for a while (as the default
      // has them, for 3 s), then the scene from its start again.
      const settle = budget ? '&settle=200' : '&settle=0';
      await tab.go(`${url}index.html?benchmark=320x240&frames=120&workers=2${budget ? '&budget' : ''}${settle}`);
      const s = await until(tab, '(s) => s.benchmark !== null', `the benchmark${budget ? ' with its budget' : ''}`);
      const b = s.benchmark;
      check(s.engine === 'fast engine, 2 workers, simd128', `engine "${s.engine}"`);
      check(b.frames === 120 && b.width === 320 && b.height === 240 && b.settle === (budget ? 200 : 0),
        `figures of ${JSON.stringify(b)}`);
      check(Number.isFinite(b.fps) && b.fps > 0, `${b.fps} frames/s`);
      if (!budget) {
        check(b.budget === null, `a budget not asked for: ${JSON.stringify(b.budget)}`);
        continue;
      }
      const figures = ['clearing', 'depth', 'shading', 'workers', 'waking', 'started', 'faces', 'walking', 'waiting',
        'handover', 'calling_thread_drawing', 'calling_thread_strips'];
      for (const f of figures) check(Number.isFinite(b.budget && b.budget[f]), `budget ${JSON.stringify(b.budget)}`);
      check(b.budget.shading > 0 && b.budget.calling_thread_drawing + b.budget.workers > 0,
        `no time drawing in the budget ${JSON.stringify(b.budget)}`);
    }
  },

  // A browser without WebAssembly SIMD: Chromium's V8 as on a processor
  // without SSE4.1, which it needs for them; Firefox with them switched off.
  async browser_without_webassembly_simd(tab, url) {
    await tab.go(`${url}index.html`);
    const s = await until(tab, "(s) => s.phase !== 'starting'", 'message', { failed: true });
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
      const remove = await tab.beforeEachDocument(c.script);
      await tab.go(`${url}index.html`);
      const s = await until(tab, "(s) => s.phase !== 'starting'", `message "${c.wanted}"`, { failed: true });
      check(s.phase === 'failed' && s.failure.startsWith(c.wanted), `"${s.failure}" instead of "${c.wanted} ..."`);
      check((await overlay(tab)) === s.failure, 'the overlay does not show the failure');
      check((await title(tab)) === 'Ombrastel, cannot start', `title "${await title(tab)}"`);
      await remove();
    }
  },
};

const settings = {
  one_thread_without_isolation: { isolation: false },
  resizes_one_thread: { isolation: false },
  browser_without_webassembly_simd: { wasmSimd: false },
};
// How long a scenario may take, at most; the resizes draw the largest frames.
const longScenarios = ['resizes_fast_engine', 'resizes_reference_engine', 'resizes_one_thread',
  'memory_after_resizes_back_and_forth'];

async function main() {
  const scenario = scenarios[scenarioName];
  if (!browsers.includes(browserKind) || !scenario || !snapshot) {
    console.error(`usage: page_tests.js ${browsers.join('|')} ${Object.keys(scenarios).join('|')} ` +
      'SITE SERVE_SCRIPT GOLDEN SNAPSHOT_JS');
    return 2;
  }
  const name = `${browserKind}.${scenarioName}`;
  const setting = settings[scenarioName] || {};
  const server = await serve(serveScript, site, { isolation: setting.isolation !== false });
  let browser = null;
  let tab = null;
  let status = 0;
  try {
    browser = await launch(browserKind, { wasmSimd: setting.wasmSimd !== false });
    tab = await browser.open();
    const ms = longScenarios.includes(scenarioName) ? 540000 : 240000;
    await deadline(scenario(tab, server.url), ms, `end of the scenario ${name}`);
    settleCanvasReads();
    check(tab.messages.length === 0, `messages in the console:\n  ${tab.messages.map((m) => `[${m.where}] ` +
      `${m.level}: ${m.text}`).join('\n  ')}`);
    console.log(`PASSED: ${name} (${browser.version})`);
  } catch (error) {
    status = 1;
    console.error(`FAILED: ${name}: ${error.message}`);
    if (tab) {
      for (const m of tab.messages) console.error(`  console [${m.where}] ${m.level}: ${m.text}`);
      try {
        const picture = `${name}.png`;
        fs.writeFileSync(picture, await deadline(tab.screenshot(), 30000, 'screenshot'));
        console.error(`  the tab at the failure: ${process.cwd()}/${picture}`);
      } catch (why) {
        console.error(`  no screenshot of the tab: ${why.message}`);
      }
    }
    if (browser && browser.output().trim()) {
      const lines = browser.output().trimEnd().split('\n');
      console.error(`  ${browser.name}'s standard error, its last lines:\n${lines.slice(-20).join('\n')}`);
    }
  } finally {
    try {
      if (browser) await browser.close();
    } finally {
      await server.close();
    }
  }
  return status;
}

main().then((status) => { process.exitCode = status; }, (error) => {
  console.error(`FAILED: ${browserKind}.${scenarioName}: ${error.stack || error}`);
  process.exitCode = 1;
});
