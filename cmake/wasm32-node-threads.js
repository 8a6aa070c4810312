// Prepended to the WebAssembly build's programs that run under node (the
// tests and ombrastel-snapshot). Their threads come from a pool of workers
// started before main: a thread asked for beyond it is refused, never waited
// for, as the program's own thread waits for its workers and would hang. The
// pool holds a thread for each processor of the machine (the fast engine's
// default), for each worker a --workers option asks for, and at least
// `least` (what the program's own tests start).
function ombrastelNodeThreads(least) {
  let threads = Math.max(least, require('os').cpus().length);
  const args = process.argv;
  for (let i = 0; i < args.length; ++i) {
    const option = /^--workers(?:=(.*))?$/.exec(args[i]);
    if (!option) continue;
    const asked = Number(option[1] !== undefined ? option[1] : args[i + 1]);
    // The tool itself refuses a count out of range, with its own message.
    if (Number.isInteger(asked) && asked >= 1 && asked <= 64) threads = Math.max(threads, asked);
  }
  return threads;
}
