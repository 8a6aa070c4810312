'use strict';
// What the web page's tests and benchmark drive a browser with, on node's
// own modules: the page's server (scripts/serve_web.py), and a headless
// browser behind one interface that each browser implements over its own
// remote protocol:
//   Chromium  the DevTools protocol on a pipe (--remote-debugging-pipe: JSON
//             messages, each ended by a NUL byte, written to its fd 3 and
//             read from its fd 4)
//   Firefox   WebDriver BiDi on a WebSocket (--remote-debugging-port=0: it
//             says the port it took on its standard error; the session at
//             ws://127.0.0.1:PORT/session)
//
//   const browser = await launch('firefox', { wasmSimd: true });
//   const tab = await browser.open();    // its first tab
//   await tab.window(330, 250, 1);       // CSS pixels, device pixel ratio
//   await tab.go(url);                   // resolves once loaded
//   await tab.evaluate('document.title') // a value, a promise's waited for
//   await tab.press('Space');            // or 'Escape', as a user's key
//   const show = await tab.hide();       // another tab in front; show()
//                                        // closes it and brings this back
//   const remove = await tab.beforeEachDocument(source); // a script run
//                                        // before the page's own
//   tab.messages                         // every console message, exception
//                                        // and log entry of the page and of
//                                        // its Workers: { where, level, text }
//   await tab.screenshot()               // the tab as a PNG
//   await browser.close();               // its profile removed
//
// Each browser has a fresh profile of its own in a temporary folder, removed
// when it is closed. Every wait has a deadline and says what it waited for.
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { WebSocketClient } = require('./websocket');

// Resolves with `promise`, or rejects with `what` once `ms` have passed.
function deadline(promise, ms, what) {
  let timer;
  const late = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no ${what} within ${ms / 1000} s`)), ms);
  });
  return Promise.race([promise, late]).finally(() => clearTimeout(timer));
}

// The page's folder served on 127.0.0.1; resolves once the server has said
// its address.
function serve(serveScript, folder, { isolation = true } = {}) {
  const args = [serveScript, '--quiet', folder, ...(isolation ? [] : ['--no-isolation'])];
  const server = spawn('python3', args, { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  let errors = '';
  server.stderr.on('data', (chunk) => { errors += chunk; });
  const exited = new Promise((resolve) => server.on('exit', resolve));
  const address = new Promise((resolve, reject) => {
    server.stdout.on('data', (chunk) => {
      output += chunk;
      const line = /^(http:\/\/127\.0\.0\.1:[0-9]+\/)\n/.exec(output);
      if (line) resolve(line[1]);
    });
    server.on('exit', (code) => reject(new Error(`the server ended (${code}) before saying its address: ${errors}`)));
  });
  return deadline(address, 20000, 'address from scripts/serve_web.py').then((url) => ({
    url,
    async close() {
      server.kill('SIGTERM');
      await deadline(exited, 20000, 'end of the server');
    },
  }));
}

// Numbered commands and their replies, and events to every listener, over
// a channel of JSON messages: `write(text)` sends one, `connect(receive)`
// hands each one received to `receive`.
class Connection {
  constructor(name, write) {
    this.name = name;
    this.write = write;
    this.next = 1;
    this.pending = new Map();
    this.listeners = [];
    this.lost = null;
  }

  received(text) {
    const message = JSON.parse(text);
    if (message.id !== undefined) {
      const call = this.pending.get(message.id);
      if (!call) return;
      this.pending.delete(message.id);
      // DevTools: { error: { message } }; BiDi: { type: 'error', error, message }.
      if (message.error) {
        const why = typeof message.error === 'string' ? `${message.error}: ${message.message}` : message.error.message;
        call.reject(new Error(`${call.method}: ${why}`));
      } else {
        call.resolve(message.result);
      }
      return;
    }
    for (const listener of this.listeners.slice()) listener(message);
  }

  // The browser went away: every command waiting fails, and so does any
  // later one.
  closed(why) {
    this.lost = `${this.name} ${why}`;
    for (const call of this.pending.values()) call.reject(new Error(`${call.method}: ${this.lost}`));
    this.pending.clear();
  }

  send(method, params = {}, extra = {}, ms = 30000) {
    if (this.lost) return Promise.reject(new Error(`${method}: ${this.lost}`));
    const id = this.next++;
    const reply = new Promise((resolve, reject) => this.pending.set(id, { resolve, reject, method }));
    this.write(JSON.stringify({ id, method, params, ...extra }));
    return deadline(reply, ms, `reply of ${this.name} to ${method}`).finally(() => this.pending.delete(id));
  }

  on(listener) {
    this.listeners.push(listener);
    return () => {
      this.listeners = this.listeners.filter((l) => l !== listener);
    };
  }
}

// The browser's program started with a fresh profile; resolves once it has
// started, rejects with one line if it cannot be.
async function startProgram(name, program, args, stdio) {
  const child = spawn(program, args, { stdio });
  let errors = '';
  child.stderr.setEncoding('utf8');
  child.stderr.on('data', (chunk) => { errors += chunk; });
  const exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve(signal || code)));
  const started = new Promise((resolve, reject) => {
    child.on('error', (error) => reject(new Error(`${name} (${program}) could not be started: ${error.message}`)));
    child.on('spawn', resolve);
  });
  await deadline(started, 20000, `start of ${name} (${program})`);
  return { child, exited, errors: () => errors };
}

// Ends the browser: asked to close, or killed if it does not answer; then
// its profile goes.
async function endProgram(name, started, ask, profile) {
  let ended = false;
  try {
    await ask();
    await deadline(started.exited, 30000, `end of ${name}`);
    ended = true;
  } finally {
    if (!ended) {
      started.child.kill('SIGKILL');
      await deadline(started.exited, 30000, `end of ${name} once killed`);
    }
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

// The names a message's origin is given: the page, or the script of one of
// its Workers.
function scriptName(url) {
  return url ? url.split('?')[0].split('/').pop() : '';
}

// --- Chromium, over the DevTools protocol --------------------------------------------------

async function launchChromium({ wasmSimd = true } = {}) {
  const program = process.env.OMBRASTEL_CHROMIUM || 'chromium';
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'ombrastel-chromium-'));
  const flags = ['--headless', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-default-browser-check', `--user-data-dir=${profile}`,
    '--remote-debugging-pipe', ...(process.getuid() === 0 ? ['--no-sandbox'] : []),
    // V8 as on a processor without SSE4.1, which it needs for WebAssembly
    // SIMD.
    ...(wasmSimd ? [] : ['--js-flags=--no-enable-sse4-1']), 'about:blank'];
  let started;
  try {
    started = await startProgram('Chromium', program, flags, ['ignore', 'ignore', 'pipe', 'pipe', 'pipe']);
  } catch (error) {
    fs.rmSync(profile, { recursive: true, force: true });
    throw error;
  }
  const connection = new Connection('Chromium', (text) => started.child.stdio[3].write(text + '\0'));
  let held = '';
  const output = started.child.stdio[4];
  output.setEncoding('utf8');
  output.on('data', (chunk) => {
    held += chunk;
    let end;
    while ((end = held.indexOf('\0')) >= 0) {
      const text = held.slice(0, end);
      held = held.slice(end + 1);
      connection.received(text);
    }
  });
  started.exited.then((how) => connection.closed(`ended (${how})`));
  let version = '';
  try {
    version = (await connection.send('Browser.getVersion')).product;
  } catch (error) {
    await endProgram('Chromium', started, async () => {}, profile);
    throw new Error(`Chromium (${program}) started but does not answer: ${error.message}; its standard error: ` +
      started.errors().trim().split('\n').slice(-5).join(' | '));
  }
  return {
    name: 'Chromium',
    version,
    output: started.errors,
    open: () => openChromiumTab(connection),
    close: () => endProgram('Chromium', started, () => connection.send('Browser.close'), profile),
  };
}

// The browser's first tab, with every console message, exception and log
// entry of it and of its Workers (attached as they start, held until they
// are).
async function openChromiumTab(connection) {
  const messages = [];
  const names = new Map();
  const { targetInfos } = await connection.send('Target.getTargets');
  const target = targetInfos.find((t) => t.type === 'page');
  const { sessionId } = await connection.send('Target.attachToTarget', { targetId: target.targetId, flatten: true });
  names.set(sessionId, 'page');
  const text = (args) => args.map((a) => (a.value !== undefined ? String(a.value) : a.description || a.type)).join(' ');
  const watch = (session) => Promise.all([
    connection.send('Runtime.enable', {}, { sessionId: session }),
    connection.send('Log.enable', {}, { sessionId: session }).catch(() => {}),  // Workers have no Log domain
    connection.send('Target.setAutoAttach', { autoAttach: true, waitForDebuggerOnStart: true, flatten: true },
      { sessionId: session }),
  ]);
  connection.on((message) => {
    const where = names.get(message.sessionId) || 'browser';
    const p = message.params;
    if (message.method === 'Runtime.consoleAPICalled') {
      messages.push({ where, level: p.type, text: text(p.args) });
    } else if (message.method === 'Runtime.exceptionThrown') {
      const d = p.exceptionDetails;
      messages.push({ where, level: 'exception', text: d.exception ? d.exception.description : d.text });
    } else if (message.method === 'Log.entryAdded') {
      messages.push({ where, level: p.entry.level, text: `${p.entry.text} ${p.entry.url || ''}` });
    } else if (message.method === 'Target.attachedToTarget') {
      names.set(p.sessionId, `${p.targetInfo.type} ${scriptName(p.targetInfo.url)}`);
      watch(p.sessionId)
        .then(() => connection.send('Runtime.runIfWaitingForDebugger', {}, { sessionId: p.sessionId }))
        .catch(() => {});  // a Worker that ended meanwhile
    }
  });
  await connection.send('Page.enable', {}, { sessionId });
  await watch(sessionId);
  const send = (method, params, ms) => connection.send(method, params, { sessionId }, ms);
  const keys = {
    Space: { key: ' ', code: 'Space', windowsVirtualKeyCode: 32, text: ' ' },
    Escape: { key: 'Escape', code: 'Escape', windowsVirtualKeyCode: 27 },
  };
  return {
    messages,
    errors: () => messages.filter((m) => ['error', 'assert', 'exception'].includes(m.level)),
    async go(url) {
      let stop;
      const loaded = new Promise((resolve) => {
        stop = connection.on((m) => {
          if (m.method === 'Page.loadEventFired' && m.sessionId === sessionId) resolve();
        });
      });
      try {
        const result = await send('Page.navigate', { url });
        if (result.errorText) throw new Error(`${url}: ${result.errorText}`);
        await deadline(loaded, 30000, `load of ${url}`);
      } finally {
        stop();
      }
    },
    async evaluate(expression, ms = 30000) {
      const r = await send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true }, ms);
      if (r.exceptionDetails) {
        const d = r.exceptionDetails;
        // The message, without the stack DevTools adds to it.
        throw new Error(d.exception ? d.exception.description.split('\n    at ')[0] : d.text);
      }
      return r.result.value;
    },
    async window(width, height, ratio = 1) {
      await send('Emulation.setDeviceMetricsOverride', { width, height, deviceScaleFactor: ratio, mobile: false });
    },
    async press(name) {
      const k = keys[name];
      await send('Input.dispatchKeyEvent', { type: 'keyDown', ...k });
      await send('Input.dispatchKeyEvent', { type: 'keyUp', key: k.key, code: k.code,
        windowsVirtualKeyCode: k.windowsVirtualKeyCode });
    },
    async hide() {
      const { targetId } = await connection.send('Target.createTarget', { url: 'about:blank' });
      await connection.send('Target.activateTarget', { targetId });
      return async () => {
        await connection.send('Target.closeTarget', { targetId });
        await connection.send('Target.activateTarget', { targetId: target.targetId });
      };
    },
    async beforeEachDocument(source) {
      const { identifier } = await send('Page.addScriptToEvaluateOnNewDocument', { source });
      return () => send('Page.removeScriptToEvaluateOnNewDocument', { identifier });
    },
    async screenshot() {
      return Buffer.from((await send('Page.captureScreenshot', { format: 'png' })).data, 'base64');
    },
  };
}

// --- Firefox, over WebDriver BiDi ----------------------------------------------------------

// While a WebDriver BiDi session is open, Firefox's remote agent listens for
// the Workers that start in every process. A Worker started by a Worker (as
// the module's threads are, by the page's drawing Worker) then waits for
// the content process's main thread to register it, and, in about one page
// load in fifteen, waits for ever: the page never leaves "starting" (seen
// with Firefox ESR 153; none in 800 loads without a session). The listener
// is of no use to these tests, which take the Workers' console messages
// from the page's console, where Firefox gives them: it is unregistered,
// through the access to the browser's own code that
// --remote-allow-system-access grants. (Firefox then says on its standard
// error, as a content process starts, that the listener is not there.)
async function withoutWorkerListener(connection) {
  const { contexts } = await connection.send('browsingContext.getTree', { 'moz:scope': 'chrome' });
  const r = await connection.send('script.evaluate', {
    expression: "ChromeUtils.unregisterProcessActor('WebDriverWorkerListener'), 'unregistered'",
    target: { context: contexts[0].context }, awaitPromise: false,
  });
  if (r.type !== 'success' || r.result.value !== 'unregistered') {
    throw new Error('its listener of Workers, under which a Worker started by a Worker may never start, cannot be ' +
      `unregistered: ${r.type === 'exception' ? r.exceptionDetails.text : JSON.stringify(r)}`);
  }
}

async function launchFirefox({ wasmSimd = true } = {}) {
  const program = process.env.OMBRASTEL_FIREFOX || 'firefox';
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'ombrastel-firefox-'));
  // Besides the settings Firefox takes for itself when it is driven: no
  // first-run pages, no session restored.
  const prefs = {
    'browser.shell.checkDefaultBrowser': false,
    'browser.startup.page': 0,
    'browser.sessionstore.resume_from_crash': false,
    'datareporting.policy.dataSubmissionEnabled': false,
    'toolkit.telemetry.reportingpolicy.firstRun': false,
  };
  fs.writeFileSync(path.join(profile, 'user.js'),
    Object.entries(prefs).map(([name, value]) => `user_pref(${JSON.stringify(name)}, ${JSON.stringify(value)});\n`)
      .join(''));
  let started;
  try {
    started = await startProgram('Firefox', program,
      ['--headless', '--remote-debugging-port=0', '--remote-allow-system-access', '--profile', profile, '--no-remote',
        'about:blank'],
      ['ignore', 'ignore', 'pipe']);
  } catch (error) {
    fs.rmSync(profile, { recursive: true, force: true });
    throw error;
  }
  const listening = new Promise((resolve, reject) => {
    const look = () => {
      const line = /WebDriver BiDi listening on (ws:\/\/127\.0\.0\.1:[0-9]+)/.exec(started.errors());
      if (line) resolve(line[1]);
    };
    started.child.stderr.on('data', look);
    started.exited.then((how) => reject(new Error(`Firefox (${program}) ended (${how}) before it listened for ` +
      `WebDriver BiDi; its standard error: ${started.errors().trim().split('\n').slice(-5).join(' | ')}`)));
    look();
  });
  let connection;
  let socket;
  let capabilities;
  try {
    const address = await deadline(listening, 60000, 'WebDriver BiDi address on the standard error of Firefox');
    socket = await WebSocketClient.connect(`${address}/session`);
    connection = new Connection('Firefox', (text) => socket.send(text));
    socket.onmessage = (text) => connection.received(text);
    socket.onclose = (why) => connection.closed(`closed its WebDriver BiDi connection (${why})`);
    ({ capabilities } = await connection.send('session.new', { capabilities: {} }));
    await withoutWorkerListener(connection);
  } catch (error) {
    await endProgram('Firefox', started, async () => {}, profile);
    throw new Error(`Firefox (${program}) cannot be driven: ${error.message}`);
  }
  return {
    name: 'Firefox',
    version: `Firefox ${capabilities.browserVersion}`,
    output: started.errors,
    open: () => openFirefoxTab(connection, { wasmSimd }),
    async close() {
      await endProgram('Firefox', started, async () => {
        await connection.send('browser.close');
        await deadline(socket.close(), 30000, 'end of the WebDriver BiDi connection of Firefox');
      }, profile);
    },
  };
}

// Firefox has no setting that takes WebAssembly's SIMD away. Without them,
// its WebAssembly.validate is made, before the page's own scripts run, to
// refuse every module that holds the byte 0xfd, the prefix of the SIMD
// instructions, as a browser without them refuses a module that uses them.
const withoutWasmSimd = `const validate = WebAssembly.validate;
  WebAssembly.validate = (bytes) => !new Uint8Array(bytes.buffer || bytes, bytes.byteOffset || 0,
    bytes.byteLength).includes(0xfd) && validate(bytes);`;

async function openFirefoxTab(connection, { wasmSimd }) {
  const messages = [];
  const { contexts } = await connection.send('browsingContext.getTree', { maxDepth: 0 });
  const context = contexts[0].context;
  if (!wasmSimd) {
    await connection.send('script.addPreloadScript', { functionDeclaration: `() => { ${withoutWasmSimd} }`,
      contexts: [context] });
  }
  // Firefox gives the page's Workers' messages to the page's realm; their
  // first stack frame says whose they are.
  connection.on((message) => {
    if (message.method !== 'log.entryAdded') return;
    const p = message.params;
    const frames = p.stackTrace ? p.stackTrace.callFrames : [];
    const script = frames.length ? scriptName(frames[0].url) : '';
    const where = p.source.context === context ? `page${script ? ` ${script}` : ''}` : 'another tab';
    messages.push({ where, level: p.type === 'javascript' ? 'exception' : p.level, text: p.text });
  });
  await connection.send('session.subscribe', { events: ['log.entryAdded'] });
  const keys = { Space: ' ', Escape: '\uE00C' };
  return {
    messages,
    errors: () => messages.filter((m) => ['error', 'exception'].includes(m.level)),
    async go(url) {
      await connection.send('browsingContext.navigate', { context, url, wait: 'complete' }, {}, 30000);
    },
    async evaluate(expression, ms = 30000) {
      // The value comes back as JSON, as DevTools' returnByValue gives it.
      const r = await connection.send('script.evaluate', {
        expression: `(async () => JSON.stringify({ value: await (${expression}) }))()`,
        target: { context }, awaitPromise: true, resultOwnership: 'none',
      }, {}, ms);
      if (r.type === 'exception') throw new Error(r.exceptionDetails.text);
      return JSON.parse(r.result.value).value;
    },
    async window(width, height, ratio = 1) {
      await connection.send('browsingContext.setViewport', { context, viewport: { width, height },
        devicePixelRatio: ratio });
    },
    async press(name) {
      const value = keys[name];
      await connection.send('input.performActions', { context, actions: [{ type: 'key', id: 'keyboard',
        actions: [{ type: 'keyDown', value }, { type: 'keyUp', value }] }] });
    },
    async hide() {
      const other = (await connection.send('browsingContext.create', { type: 'tab' })).context;
      return async () => {
        await connection.send('browsingContext.close', { context: other });
        await connection.send('browsingContext.activate', { context });
      };
    },
    async beforeEachDocument(source) {
      const { script } = await connection.send('script.addPreloadScript', {
        functionDeclaration: `() => { ${source} }`, contexts: [context] });
      return () => connection.send('script.removePreloadScript', { script });
    },
    async screenshot() {
      return Buffer.from((await connection.send('browsingContext.captureScreenshot', { context })).data, 'base64');
    },
  };
}

const browsers = { chromium: launchChromium, firefox: launchFirefox };

// One of `browsers`, started headless.
function launch(kind, options = {}) {
  const start = browsers[kind];
  if (!start) return Promise.reject(new Error(`no browser "${kind}": give ${Object.keys(browsers).join(' or ')}`));
  return start(options);
}

module.exports = { deadline, serve, launch, browsers: Object.keys(browsers) };
