'use strict';
// What the web page's tests drive the browser with, on node's own modules:
// the page's server (scripts/serve_web.py), headless Chromium spoken to over
// the DevTools protocol on a pipe (--remote-debugging-pipe: JSON messages,
// each ended by a NUL byte, written to its fd 3 and read from its fd 4), and
// every console message, exception and log entry of the page and its
// Workers. Every wait has a deadline and says what it waited for.
const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

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

class Connection {
  constructor(input, output) {
    this.input = input;
    this.next = 1;
    this.pending = new Map();
    this.listeners = [];
    let held = '';
    output.setEncoding('utf8');
    output.on('data', (chunk) => {
      held += chunk;
      let end;
      while ((end = held.indexOf('\0')) >= 0) {
        const message = JSON.parse(held.slice(0, end));
        held = held.slice(end + 1);
        this.dispatch(message);
      }
    });
  }

  dispatch(message) {
    if (message.id !== undefined) {
      const call = this.pending.get(message.id);
      if (!call) return;
      this.pending.delete(message.id);
      if (message.error) call.reject(new Error(`${call.method}: ${message.error.message}`));
      else call.resolve(message.result);
      return;
    }
    for (const listener of this.listeners.slice()) listener(message);
  }

  send(method, params = {}, sessionId = undefined, ms = 30000) {
    const id = this.next++;
    const message = { id, method, params, ...(sessionId ? { sessionId } : {}) };
    const reply = new Promise((resolve, reject) => this.pending.set(id, { resolve, reject, method }));
    this.input.write(JSON.stringify(message) + '\0');
    return deadline(reply, ms, `reply to ${method}`);
  }

  on(listener) {
    this.listeners.push(listener);
  }
}

// Chromium, headless, with a profile of its own that is removed on close.
async function launch(extraFlags = []) {
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'ombrastel-chromium-'));
  const flags = ['--headless', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-default-browser-check', `--user-data-dir=${profile}`,
    '--remote-debugging-pipe', ...(process.getuid() === 0 ? ['--no-sandbox'] : []), ...extraFlags, 'about:blank'];
  const program = process.env.OMBRASTEL_CHROMIUM || 'chromium';
  const browser = spawn(program, flags, { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
  let errors = '';
  browser.stderr.on('data', (chunk) => { errors += chunk; });
  const exited = new Promise((resolve) => browser.on('exit', resolve));
  const started = new Promise((resolve, reject) => {
    browser.on('error', (error) => reject(new Error(`${program} could not be started: ${error.message}`)));
    browser.on('spawn', resolve);
  });
  await deadline(started, 20000, `start of ${program}`);
  const connection = new Connection(browser.stdio[3], browser.stdio[4]);
  return {
    connection,
    errors: () => errors,
    async close() {
      try {
        await connection.send('Browser.close');
      } catch (error) {
        browser.kill('SIGKILL');
      }
      await deadline(exited, 30000, 'end of Chromium');
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

// The browser's first tab, with every console message, exception and log
// entry of it and of its Workers (attached as they start, held until they
// are) kept in `messages`.
async function openTab(browser) {
  const connection = browser.connection;
  const messages = [];
  const names = new Map();
  const { targetInfos } = await connection.send('Target.getTargets');
  const target = targetInfos.find((t) => t.type === 'page');
  const { sessionId } = await connection.send('Target.attachToTarget', { targetId: target.targetId, flatten: true });
  names.set(sessionId, 'page');
  const text = (args) => args.map((a) => (a.value !== undefined ? String(a.value) : a.description || a.type)).join(' ');
  const watch = (session) => Promise.all([
    connection.send('Runtime.enable', {}, session),
    connection.send('Log.enable', {}, session).catch(() => {}),  // Workers have no Log domain
    connection.send('Target.setAutoAttach', { autoAttach: true, waitForDebuggerOnStart: true, flatten: true }, session),
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
      names.set(p.sessionId, `${p.targetInfo.type} ${p.targetInfo.url.split('/').pop()}`);
      watch(p.sessionId)
        .then(() => connection.send('Runtime.runIfWaitingForDebugger', {}, p.sessionId))
        .catch(() => {});  // a Worker that ended meanwhile
    }
  });
  await connection.send('Page.enable', {}, sessionId);
  await watch(sessionId);
  const send = (method, params, ms) => connection.send(method, params, sessionId, ms);
  return {
    targetId: target.targetId,
    messages,
    send,
    // The console's errors so far: messages at the error level, and
    // exceptions.
    errors: () => messages.filter((m) => ['error', 'assert', 'exception'].includes(m.level)),
    async go(url) {
      const loaded = new Promise((resolve) => connection.on((m) => {
        if (m.method === 'Page.loadEventFired' && m.sessionId === sessionId) resolve();
      }));
      const result = await send('Page.navigate', { url });
      if (result.errorText) throw new Error(`${url}: ${result.errorText}`);
      await deadline(loaded, 30000, `load of ${url}`);
    },
    // An expression's value in the page; a promise is waited for, up to
    // `ms`.
    async evaluate(expression, ms = 30000) {
      const r = await send('Runtime.evaluate', { expression, awaitPromise: true, returnByValue: true }, ms);
      if (r.exceptionDetails) {
        const d = r.exceptionDetails;
        throw new Error(d.exception ? d.exception.description : d.text);
      }
      return r.result.value;
    },
    // The page's window: `width` x `height` CSS pixels at `ratio` device
    // pixels each.
    async window(width, height, ratio = 1) {
      await send('Emulation.setDeviceMetricsOverride', { width, height, deviceScaleFactor: ratio, mobile: false });
    },
    // A key pressed and released, as a user's.
    async press(name) {
      const keys = {
        Space: { key: ' ', code: 'Space', windowsVirtualKeyCode: 32, text: ' ' },
        Escape: { key: 'Escape', code: 'Escape', windowsVirtualKeyCode: 27 },
      };
      const k = keys[name];
      await send('Input.dispatchKeyEvent', { type: 'keyDown', ...k });
      await send('Input.dispatchKeyEvent', { type: 'keyUp', key: k.key, code: k.code,
        windowsVirtualKeyCode: k.windowsVirtualKeyCode });
    },
  };
}

module.exports = { deadline, serve, launch, openTab };
