'use strict';
// The page's drawing Worker: it holds the canvas (an OffscreenCanvas the
// page handed over) and the module (app/platform_web.cpp), and runs the
// program's loop as a browser lets it: one frame a task, yielding between
// frames so that keys, sizes and the canvas' own updates get through.
//
// Each task is one frame step of the module (the program's own, written
// once for every platform):
//   full speed  the frame drawn last is put on the canvas while the engine
//               draws the next one, which the next task shows at once
//   idle        after a frame is shown, a 1 ms pause (a timer) in which
//               nothing is drawn; then the next frame is drawn and shown
//
// Everything it tells the page is a message: 'size' and 'status' with the
// page's status fields that changed, 'failed' with one line.

let M = null;                // the module
let context = null;          // the canvas' 2D context
let image = null;            // the ImageData put on the canvas
let width = 0;
let height = 0;
let threads = 0;
let phase = 'starting';      // running, still, stopped, benchmark, failed
let hidden = false;
let fullSpeed = true;
let stillFrame = null;       // frame=K: the frame kept on the canvas
let pendingWindow = null;    // a window size not yet drawn at
let pause = false;           // the last step asked for an idle pause
let scheduled = false;
let shownFrame = 0;          // the number of the frame on the canvas
let rate = { since: 0, frames: 0, fps: 0, reported: 0 };

const tasks = new MessageChannel();
tasks.port1.onmessage = (event) => {
  if (event.data === 'pause') {
    M._web_pause();
    setTimeout(step, 1);
  } else {
    step();
  }
};

function post(type, fields) {
  postMessage({ type, status: fields });
}

function failed(text) {
  phase = 'failed';
  postMessage({ type: 'failed', text });
}

function text(pointer) {
  return M.UTF8ToString(pointer);
}

// --- Frames ------------------------------------------------------------------------------

// Starts the frames at the size the window gives, the first shown being
// frame k; or, with `resize`, goes on at that size with the frame that was
// to come next.
function startAt(window, k, resize = false) {
  const sizeReason = text(M._web_frame_for_window(window.width, window.height));
  width = M._web_window_frame_width();
  height = M._web_window_frame_height();
  const refused = text(resize ? M._web_resize(width, height) : M._web_start(width, height, k));
  if (refused) {
    failed(refused);
    return false;
  }
  context.canvas.width = width;
  context.canvas.height = height;
  image = threads ? new ImageData(width, height) : null;
  post('size', { width, height, sizeReason });
  return true;
}

// One frame step of the module; false when no more frames can be drawn.
function stepFrame(overlap) {
  const outcome = M._web_step(overlap ? 1 : 0);
  if (outcome < 0) {
    failed(`Drawing failed: ${text(M._web_failure())}`);
    return false;
  }
  pause = outcome === 1;
  show();
  return true;
}

// Puts the part of the canvas' colours that the step changed on the canvas.
// The module's memory is shared between threads where there are threads,
// and an ImageData cannot hold shared memory: the changed rows are copied
// into one of its own. Without threads, the ImageData holds the module's
// memory itself.
function show() {
  shownFrame = M._web_frame_number();
  const pointer = M._web_colours();
  const left = M._web_put_left();
  const top = M._web_put_top();
  const right = M._web_put_right();
  const bottom = M._web_put_bottom();
  if (right <= left || bottom <= top) return;  // the canvas shows this frame already
  if (threads) {
    image.data.set(M.HEAPU8.subarray(pointer + top * width * 4, pointer + bottom * width * 4), top * width * 4);
  } else if (!image || image.data.buffer !== M.HEAPU8.buffer || image.data.byteOffset !== pointer) {
    image = new ImageData(new Uint8ClampedArray(M.HEAPU8.buffer, pointer, width * height * 4), width, height);
  }
  context.putImageData(image, 0, 0, left, top, right - left, bottom - top);
}

function countFrame() {
  const now = performance.now();
  rate.frames += 1;
  if (now - rate.since >= 500) {
    rate.fps = (rate.frames * 1000) / (now - rate.since);
    rate.frames = 0;
    rate.since = now;
  }
  if (now - rate.reported >= 250) report();
}

// The step's counts, which the page's tests read.
function counts() {
  const c = new Float64Array(M.HEAPU8.buffer, M._web_counts(), 7);
  return {
    drawn: c[0], overlapped: c[2], drawnIntoShown: c[3], pauses: c[4], pausesWhileDrawing: c[5], memory: c[6],
  };
}

function report() {
  rate.reported = performance.now();
  post('status', {
    phase, mode: fullSpeed ? 'full' : 'idle', fps: rate.fps, frame: shownFrame, hidden, ...counts(),
  });
}

function schedule() {
  if (scheduled || phase !== 'running' || hidden) return;
  scheduled = true;
  // The pause is a timer set from a message's task, never from a timer's:
  // browsers stretch timers set by timers to 4 ms.
  tasks.port2.postMessage(pause ? 'pause' : 'now');
}

function step() {
  scheduled = false;
  if (phase !== 'running' || hidden) return;
  try {
    if (pendingWindow) {
      const window = pendingWindow;
      pendingWindow = null;
      if (!startAt(window, 0, true)) return;
    }
    if (!stepFrame(true)) return;
    countFrame();
    schedule();
  } catch (error) {
    failed(`Drawing failed: ${error.message || error}`);
  }
}

// frame=K: frame K, at every size the window takes, and the digest of what
// the canvas shows.
async function showStill(window) {
  post('status', { digest: '' });
  if (!startAt(window, stillFrame) || !stepFrame(false)) return;
  phase = 'still';
  post('status', { phase, frame: shownFrame, digest: '' });
  const read = await canvasDigest();
  // A newer size may have come meanwhile; its digest follows.
  if (read.width === width && read.height === height) post('status', { digest: read.digest });
}

// --- What is on the canvas -----------------------------------------------------------------

// The SHA-256 of the canvas' pixels read back, over the bytes blue, green,
// red and a zero per pixel, rows from the top: the program's digest of the
// frame (ombrastel-snapshot --digest, tests/golden/frames.txt).
async function canvasDigest() {
  // As they are now: a resize may come while the digest is taken.
  const frame = shownFrame;
  const shown = { width, height };
  const pixels = context.getImageData(0, 0, shown.width, shown.height).data;
  const bytes = new Uint8Array(pixels.length);
  for (let i = 0; i < pixels.length; i += 4) {
    bytes[i] = pixels[i + 2];
    bytes[i + 1] = pixels[i + 1];
    bytes[i + 2] = pixels[i];
  }
  const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', bytes));
  return {
    frame, width: pixels.length ? shown.width : 0, height: pixels.length ? shown.height : 0,
    digest: Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join(''),
  };
}

// --- Start-up --------------------------------------------------------------------------------

async function start(message) {
  // Every frame is put from memory, and the page's digests read the canvas
  // back: a canvas kept in memory, not in a graphics processor, serves both.
  context = message.canvas.getContext('2d', { alpha: false, willReadFrequently: true });
  if (!context) {
    failed('The canvas gave no 2D context to draw on.');
    return;
  }
  threads = message.threads;
  hidden = message.hidden;
  const moduleErrors = [];
  try {
    importScripts(message.module);
    M = await createOmbrastelModule({
      // The module's threads load the module's script, not this one.
      mainScriptUrlOrBlob: new URL(message.module, self.location.href).href,
      ombrastelThreads: threads,
      print: (line) => console.log(line),
      printErr: (line) => moduleErrors.push(line),
    });
  } catch (error) {
    const why = moduleErrors.length ? moduleErrors.join(' ') : error.message || String(error);
    failed(`The module ${message.module} could not be loaded: ${why}`);
    return;
  }
  const workers = message.benchmark ? message.benchmark.workers : message.workers;
  const refused = text(M._web_choose_engine(message.engine === 'reference' ? 1 : 0, workers));
  if (refused) {
    failed(`The engine cannot run here: ${refused}`);
    return;
  }
  const engine = text(M._web_engine_text());
  post('status', { engine, threads: M._web_has_threads() ? threads : 0 });

  if (message.benchmark) {
    benchmark(message.benchmark, engine);
  } else if (message.frame !== null) {
    stillFrame = message.frame;
    await showStill(takeWindow(message.window));
  } else if (startAt(takeWindow(message.window), 0)) {
    phase = 'running';
    pause = false;
    rate = { since: performance.now(), frames: 0, fps: 0, reported: 0 };
    report();
    schedule();
  }
}

// The window's latest size: one that came while the module loaded, or the
// first.
function takeWindow(first) {
  const window = pendingWindow || first;
  pendingWindow = null;
  return window;
}

// benchmark=WxH: frames drawn one after the other, none shown.
function benchmark(options, engine) {
  phase = 'benchmark';
  post('status', { phase, width: options.width, height: options.height });
  const warmup = 60;
  const seconds = M._web_benchmark(options.width, options.height, options.settle, warmup, options.frames,
    options.budget ? 1 : 0);
  if (seconds < 0) {
    failed(text(M._web_benchmark_refusal()));
    return;
  }
  post('status', {
    benchmark: {
      width: options.width, height: options.height, frames: options.frames, settle: options.settle, warmup, seconds,
      fps: options.frames / seconds, engine, budget: options.budget ? JSON.parse(text(M._web_benchmark_budget())) : null,
    },
  });
}

// --- Messages from the page ------------------------------------------------------------------

onmessage = (event) => {
  const message = event.data;
  try {
    switch (message.type) {
      case 'start':
        start(message).catch((error) => failed(`Start-up failed: ${error.message || error}`));
        break;
      case 'window':
        if (phase === 'running') {
          pendingWindow = message.window;
          schedule();
        } else if (phase === 'still') {
          showStill(message.window).catch((error) => failed(`Drawing failed: ${error.message || error}`));
        } else if (phase === 'starting') {
          pendingWindow = message.window;
        }
        break;
      case 'visible':
        hidden = message.hidden;
        if (phase === 'running') {
          report();
          schedule();
        }
        break;
      case 'space':
        if (phase !== 'running') break;
        fullSpeed = M._web_space() === 1;
        report();
        schedule();
        break;
      case 'escape':
        if (phase !== 'running') break;
        phase = 'stopped';
        M._web_stop();
        post('status', { phase, frame: shownFrame, ...counts() });
        break;
      case 'digest':
        if (!context || !width) {
          message.reply.postMessage({ frame: 0, width: 0, height: 0, digest: '' });
          break;
        }
        canvasDigest().then(
          (read) => message.reply.postMessage(read),
          (error) => message.reply.postMessage({ frame: 0, width: 0, height: 0, digest: '', error: String(error) }));
        break;
    }
  } catch (error) {
    failed(`The Worker failed: ${error.message || error}`);
  }
};
