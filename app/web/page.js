'use strict';
// The page's main thread: it checks what the browser offers, sizes the
// canvas from the window as the program sizes its window from the screen,
// hands the canvas to the drawing Worker (worker.js) and passes it the keys,
// the window's size and whether the tab is seen. It draws nothing itself.
//
// URL parameters (all optional):
//   engine=fast|reference, workers=N   the engine, as the program's options
//   frame=K                            frame K alone, kept on the canvas
//   benchmark=WxH, frames=N            N frames of WxH with the fast engine
//                                      and 2 workers (or workers=N), none
//                                      shown; frames/s
//   budget                             with benchmark: the frame's budget
//                                      too, as ombrastel-bench gives it
//                                      (timing the stages slows the frames)
//   settle=MS                          with benchmark: MS milliseconds of
//                                      frames drawn first (default 3000)
//
// What it says goes to the overlay and the title, and to window.ombrastel
// (status and an event per change), which the tests read.
(() => {
  const overlay = document.getElementById('overlay');
  const canvas = document.getElementById('frame');
  const windowArea = document.getElementById('window');
  const params = new URLSearchParams(location.search);

  const status = {
    phase: 'starting',  // starting, running, still, stopped, benchmark, failed
    threads: 0,         // the module's threads: 0 for the single-threaded one
    threadsReason: '',  // why there is one thread, when there is
    mode: 'full',       // full or idle
    fps: 0,
    frame: 0,           // the frame on the canvas
    width: 0,           // the frame's size
    height: 0,
    engine: '',
    sizeReason: '',     // why the frame is not the window's less 10 pixels
    hidden: false,
    digest: '',         // frame=K: SHA-256 of the canvas' pixels
    benchmark: null,    // benchmark: its figures
    failure: '',
    // What the frame step counted: frames drawn, frames shown while the
    // next was drawn, frames drawn into the buffer being shown (none ever),
    // idle pauses and those with a frame being drawn (none ever); and the
    // module's memory in bytes.
    drawn: 0,
    overlapped: 0,
    drawnIntoShown: 0,
    pauses: 0,
    pausesWhileDrawing: 0,
    memory: 0,
  };
  const events = new EventTarget();
  window.ombrastel = { status, events };

  const title = {
    full: 'Ombrastel, press space -> speed - full',
    idle: 'Ombrastel, press space -> speed - idle',
  };

  function changed() {
    events.dispatchEvent(new Event('status'));
  }

  // The first failure is the one shown: what fails after it follows from it.
  function fail(text) {
    if (status.phase === 'failed') return;
    status.phase = 'failed';
    status.failure = text;
    overlay.className = 'failed';
    overlay.textContent = text;
    document.title = 'Ombrastel, cannot start';
    changed();
  }

  function render() {
    const lines = [];
    if (status.phase === 'running') {
      const mode = status.hidden ? 'paused while the tab is hidden'
        : status.mode === 'full' ? 'full speed' : 'idle (1 ms pause a frame)';
      lines.push(`${mode}, ${status.fps.toFixed(1)} frames/s, frame ${status.frame}, ` +
        `${status.width} x ${status.height}`);
      document.title = status.hidden ? 'Ombrastel, paused in the background'
        : `${title[status.mode]} (${status.fps.toFixed(1)} frames/s)`;
    } else if (status.phase === 'still') {
      lines.push(`Frame ${status.frame}, ${status.width} x ${status.height}`);
      lines.push(`SHA-256 of its pixels: ${status.digest || '...'}`);
      document.title = `Ombrastel, frame ${status.frame}`;
    } else if (status.phase === 'stopped') {
      lines.push(`Stopped (Escape) at frame ${status.frame}. Reload the page to start again.`);
      document.title = 'Ombrastel, stopped';
    } else if (status.phase === 'benchmark') {
      const b = status.benchmark;
      lines.push(b ? `Benchmark: ${b.frames} frames of ${b.width} x ${b.height} in ${b.seconds.toFixed(3)} s, ` +
        `${b.fps.toFixed(2)} frames/s` : 'Benchmark: drawing ...');
      document.title = b ? `Ombrastel benchmark, ${b.fps.toFixed(2)} frames/s` : 'Ombrastel benchmark';
    } else {
      lines.push('Starting Ombrastel ...');
    }
    if (status.engine) lines.push(status.engine + (status.threads ? `; ${status.threads} threads started` : ''));
    if (status.threadsReason) lines.push(status.threadsReason);
    if (status.sizeReason) lines.push(status.sizeReason);
    if (status.phase === 'running') lines.push('Space: full speed or idle. Escape: stop.');
    overlay.className = '';
    overlay.textContent = lines.join('\n');
  }

  // --- What the browser must offer --------------------------------------------------------

  // A module of one function that makes a 128-bit vector: valid only where
  // the browser has WebAssembly's fixed-width SIMD.
  const simdProbe = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 8, 1, 6, 0,
    65, 0, 253, 15, 11]);
  if (typeof WebAssembly !== 'object' || typeof WebAssembly.validate !== 'function') {
    fail('This browser has no WebAssembly, which Ombrastel is drawn with.');
    return;
  }
  if (!WebAssembly.validate(simdProbe)) {
    fail('This browser has no WebAssembly SIMD (128-bit fixed-width vectors), with which Ombrastel draws four ' +
      'pixels at a time. Browsers since 2021 have it: Chrome and Edge 91, Firefox 89, Safari 16.4.');
    return;
  }
  if (typeof Worker !== 'function' || typeof canvas.transferControlToOffscreen !== 'function') {
    fail('This browser cannot hand a canvas to a Worker (OffscreenCanvas), where Ombrastel draws its frames ' +
      'away from the page. Browsers since 2023 can: Chrome and Edge 69, Firefox 105, Safari 17.');
    return;
  }
  // Threads need memory shared between Workers, which a browser gives only
  // to a page its server isolates from other origins' pages.
  const isolated = self.crossOriginIsolated === true && typeof SharedArrayBuffer === 'function';
  if (!isolated) {
    status.threadsReason = self.crossOriginIsolated === true
      ? 'One thread: this browser gives the page no shared memory (SharedArrayBuffer) for threads.'
      : 'One thread: the page is not cross-origin isolated (its server sends no "Cross-Origin-Opener-Policy: ' +
        'same-origin" and "Cross-Origin-Embedder-Policy: require-corp"), and only such a page may share ' +
        'memory between threads.';
  }

  // --- Options --------------------------------------------------------------------------

  function whole(name, least, most) {
    const text = params.get(name);
    if (text === null) return null;
    if (!/^[0-9]+$/.test(text) || Number(text) < least || Number(text) > most)
      throw new Error(`${name}=${text}: give a whole number from ${least} to ${most}`);
    return Number(text);
  }

  let options;
  try {
    const engine = params.get('engine') || 'fast';
    if (engine !== 'fast' && engine !== 'reference') throw new Error(`engine=${engine}: give fast or reference`);
    options = { engine, workers: whole('workers', 1, 64), frame: whole('frame', 0, 100000000), benchmark: null };
    if (params.has('benchmark')) {
      const size = /^([0-9]+)x([0-9]+)$/.exec(params.get('benchmark'));
      if (!size) throw new Error(`benchmark=${params.get('benchmark')}: give the frame size as WxH, such as 1910x1070`);
      const settle = whole('settle', 0, 60000);
      options.benchmark = { width: Number(size[1]), height: Number(size[2]), frames: whole('frames', 1, 100000) || 300,
        workers: options.workers || 2, budget: params.has('budget'), settle: settle === null ? 3000 : settle };
    }
  } catch (error) {
    fail(`Bad address: ${error.message}.`);
    return;
  }

  // The threads the module starts before its first frame: a worker for each
  // processor the browser reports (or for each one asked for), and the
  // reference engine's two.
  const workers = options.benchmark ? options.benchmark.workers
    : options.workers || Math.min(64, Math.max(1, navigator.hardwareConcurrency || 1));
  status.threads = isolated ? Math.max(2, workers) : 0;

  // --- The window's size in device pixels -------------------------------------------------------

  function windowPixels() {
    const ratio = window.devicePixelRatio || 1;
    return { width: Math.round(windowArea.clientWidth * ratio), height: Math.round(windowArea.clientHeight * ratio) };
  }

  // The canvas shows the frame at one canvas pixel to a device pixel.
  function placeCanvas(width, height) {
    const ratio = window.devicePixelRatio || 1;
    canvas.style.width = `${width / ratio}px`;
    canvas.style.height = `${height / ratio}px`;
  }

  // --- The drawing Worker ----------------------------------------------------------------------

  const offscreen = canvas.transferControlToOffscreen();
  const worker = new Worker('worker.js');
  worker.onerror = (event) => {
    event.preventDefault();
    fail(`The drawing Worker failed: ${event.message || 'worker.js could not be loaded'}.`);
  };
  worker.onmessage = (event) => {
    const message = event.data;
    if (message.type === 'failed') {
      fail(message.text);
      return;
    }
    // A failure stays shown: what the Worker said before it, or says after
    // it, changes nothing.
    if (status.phase === 'failed') return;
    Object.assign(status, message.status);
    if (message.type === 'size') placeCanvas(status.width, status.height);
    render();
    changed();
  };

  worker.postMessage({
    type: 'start',
    canvas: offscreen,
    module: isolated ? 'ombrastel-threads.js' : 'ombrastel-single.js',
    threads: status.threads,
    window: windowPixels(),
    hidden: document.hidden,
    engine: options.engine,
    workers: options.workers || 0,
    frame: options.frame,
    benchmark: options.benchmark,
  }, [offscreen]);

  // A new size of the window, or a new ratio of device pixels to CSS
  // pixels (the browser's zoom, a move to another screen).
  let lastWindow = windowPixels();
  function windowChanged() {
    const now = windowPixels();
    if (now.width === lastWindow.width && now.height === lastWindow.height) return;
    lastWindow = now;
    worker.postMessage({ type: 'window', window: now });
  }
  window.addEventListener('resize', windowChanged);
  function watchRatio() {
    matchMedia(`(resolution: ${window.devicePixelRatio || 1}dppx)`).addEventListener('change', () => {
      windowChanged();
      watchRatio();
    }, { once: true });
  }
  watchRatio();

  document.addEventListener('visibilitychange', () => {
    worker.postMessage({ type: 'visible', hidden: document.hidden });
  });

  window.addEventListener('keydown', (event) => {
    if (event.code === 'Space' || event.key === ' ') {
      event.preventDefault();
      worker.postMessage({ type: 'space' });
    } else if (event.key === 'Escape' || event.key === 'Esc') {
      event.preventDefault();
      worker.postMessage({ type: 'escape' });
    }
  });

  // The frame on the canvas, read back from it: its number, size and the
  // SHA-256 of its pixels as the program's digests take them.
  window.ombrastel.canvasDigest = () => new Promise((resolve) => {
    const channel = new MessageChannel();
    channel.port1.onmessage = (event) => resolve(event.data);
    worker.postMessage({ type: 'digest', reply: channel.port2 }, [channel.port2]);
  });
})();
