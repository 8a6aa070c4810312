'use strict';
// One run of the web page's benchmark mode in a headless browser (chromium
// or firefox, driven as the page's tests drive them, tests/web/browser.js):
// the page served as ./run.sh --web serves it, opened at
// index.html?benchmark=WxH&frames=N, which draws N frames with the fast
// engine and 2 workers, or WORKERS (after 60 not measured, and those after
// 3 s of frames that settle the browser's compiled code), none shown.
// Prints the page's figures and the browser's version as one JSON line;
// with `budget`, the frame's budget too (stages timed: slower frames).
// Used by scripts/benchmark_web.sh.
//
//   node benchmark_web.js BROWSER SITE_FOLDER WxH FRAMES [WORKERS [budget]]
const path = require('path');
const { serve, launch, browsers } = require('../tests/web/browser');

async function main() {
  const [kind, site, size, frames, workers = '2', budget = ''] = process.argv.slice(2);
  if (!browsers.includes(kind) || !site || !/^[0-9]+x[0-9]+$/.test(size || '') || !/^[0-9]+$/.test(frames || '') ||
      !/^[0-9]+$/.test(workers) || !['', 'budget'].includes(budget)) {
    console.error(`usage: benchmark_web.js ${browsers.join('|')} SITE_FOLDER WxH FRAMES [WORKERS [budget]]`);
    return 2;
  }
  const server = await serve(path.join(__dirname, 'serve_web.py'), site);
  let browser = null;
  try {
    browser = await launch(kind);
    const tab = await browser.open();
    await tab.go(`${server.url}index.html?benchmark=${size}&frames=${frames}&workers=${workers}${budget ? '&budget' : ''}`);
    const status = await tab.evaluate(`new Promise((resolve, reject) => {
      const page = window.ombrastel;
      const timer = setTimeout(() => reject(new Error('no figures from the page within 600 s')), 600000);
      const look = () => {
        if (!page.status.benchmark && page.status.phase !== 'failed') return;
        clearTimeout(timer);
        resolve(JSON.parse(JSON.stringify(page.status)));
      };
      page.events.addEventListener('status', look);
      look();
    })`, 610000);
    if (status.phase === 'failed') throw new Error(status.failure);
    const errors = tab.errors();
    if (errors.length) throw new Error(`errors in the console: ${errors.map((e) => e.text).join('; ')}`);
    console.log(JSON.stringify({ ...status.benchmark, threads: status.threads, browser: browser.version }));
    return 0;
  } finally {
    try {
      if (browser) await browser.close();
    } finally {
      await server.close();
    }
  }
}

main().then((code) => { process.exitCode = code; }, (error) => {
  console.error(`benchmark_web.js: ${error.message}`);
  process.exitCode = 1;
});
