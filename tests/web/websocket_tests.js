'use strict';
// The WebSocket client the page's tests speak WebDriver BiDi over
// (websocket.js), against a server written here on node's net module: what
// a browser may send and the client must take (messages fragmented, pings
// among the fragments, lengths of 7, 16 and 64 bits, the server closing
// first) and what the client must send (masked frames, pongs, the closing
// handshake); and the handshakes it must refuse.
//
//   node websocket_tests.js
const crypto = require('crypto');
const net = require('net');
const { WebSocketClient, readFrame } = require('./websocket');
const { deadline } = require('./browser');

const failures = [];
function check(condition, what) {
  if (!condition) failures.push(what);
}

// A frame from the server: never masked.
function serverFrame(opcode, payload, fin = true) {
  const length = payload.length;
  const header = length < 126 ? Buffer.from([opcode | (fin ? 0x80 : 0), length])
    : length < 65536 ? Buffer.from([opcode | (fin ? 0x80 : 0), 126, length >> 8, length & 0xff])
      : Buffer.concat([Buffer.from([opcode | (fin ? 0x80 : 0), 127]),
        (() => { const b = Buffer.alloc(8); b.writeBigUInt64BE(BigInt(length)); return b; })()]);
  return Buffer.concat([header, payload]);
}

// A server for one connection: `script(socket, frames)` runs once the
// handshake is done, with the client's frames, unmasked, as they come.
function server(script, { accept = true, wrongKey = false } = {}) {
  const masks = [];
  const listening = net.createServer((socket) => {
    let held = Buffer.alloc(0);
    let upgraded = false;
    const frames = [];
    const waiting = [];
    const next = () => new Promise((resolve) => {
      if (frames.length) resolve(frames.shift());
      else waiting.push(resolve);
    });
    socket.on('data', (chunk) => {
      held = Buffer.concat([held, chunk]);
      if (!upgraded) {
        const end = held.indexOf('\r\n\r\n');
        if (end < 0) return;
        const head = held.subarray(0, end).toString('latin1');
        held = held.subarray(end + 4);
        upgraded = true;
        const key = /^Sec-WebSocket-Key: (.*)$/mi.exec(head)[1].trim();
        if (!accept) {
          socket.end('HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n');
          return;
        }
        const answer = crypto.createHash('sha1').update((wrongKey ? 'x' : '') + key +
          '258EAFA5-E914-47DA-95CA-C5AB0DC85B11').digest('base64');
        socket.write('HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
          `Sec-WebSocket-Accept: ${answer}\r\n\r\n`);
        script(socket, next).catch((error) => failures.push(`the server's script: ${error.message}`));
      }
      let frame;
      let offset = 0;
      while ((frame = readFrame(held, offset))) {
        masks.push((held[offset + 1] & 0x80) !== 0);
        offset = frame.end;
        const f = { opcode: frame.opcode, fin: frame.fin, payload: Buffer.from(frame.payload) };
        if (waiting.length) waiting.shift()(f);
        else frames.push(f);
      }
      held = held.subarray(offset);
    });
    socket.on('error', () => {});
  });
  return new Promise((resolve) => listening.listen(0, '127.0.0.1', () => resolve({
    url: `ws://127.0.0.1:${listening.address().port}/session`,
    masks,
    close: () => new Promise((done) => listening.close(done)),
  })));
}

async function messagesAndControlFrames() {
  const long = 'x'.repeat(70000);
  const middle = 'é'.repeat(150);  // 300 bytes: a 16-bit length
  let pong = null;
  let clientClose = null;
  const s = await server(async (socket, next) => {
    // Text in three fragments with a ping among them, then the two lengths.
    socket.write(serverFrame(1, Buffer.from('{"a":'), false));
    socket.write(serverFrame(9, Buffer.from('are you there')));
    socket.write(serverFrame(0, Buffer.from('[1,2,'), false));
    socket.write(serverFrame(0, Buffer.from('3]}')));
    socket.write(serverFrame(1, Buffer.from(middle)));
    // A long message written a byte at a time at its start.
    const frame = serverFrame(1, Buffer.from(long));
    for (let i = 0; i < 12; i++) socket.write(frame.subarray(i, i + 1));
    socket.write(frame.subarray(12));
    pong = await next();
    const echoed = await next();
    socket.write(serverFrame(1, Buffer.from(`echo ${echoed.payload.toString()}`)));
    // The server closes first.
    const code = Buffer.from([0x03, 0xe8]);
    socket.write(serverFrame(8, code));
    clientClose = await next();
    socket.end();
  });
  const client = await WebSocketClient.connect(s.url);
  const got = [];
  const closed = new Promise((resolve) => { client.onclose = resolve; });
  const all = new Promise((resolve) => {
    client.onmessage = (text) => {
      got.push(text);
      if (got.length === 3) client.send('a'.repeat(200) + ' masked');
      if (got.length === 4) resolve();
    };
  });
  await deadline(all, 20000, 'four messages from the server');
  await deadline(closed, 20000, 'end of the connection the server closed');
  check(got[0] === '{"a":[1,2,3]}', `the fragmented message came as "${got[0]}"`);
  check(got[1] === middle, 'the message of 300 bytes did not come whole');
  check(got[2] === long, `the message of 70000 bytes came as ${got[2] && got[2].length} characters`);
  check(got[3] === `echo ${'a'.repeat(200)} masked`, `the client's message reached the server as "${got[3]}"`);
  check(pong && pong.opcode === 10 && pong.payload.toString() === 'are you there', 'the ping had no pong of its own');
  check(clientClose && clientClose.opcode === 8 && clientClose.payload.equals(Buffer.from([0x03, 0xe8])),
    'the client did not answer the server\'s close with its own');
  check(s.masks.length >= 3 && s.masks.every(Boolean), `the client's frames masked: ${s.masks.join(' ')}`);
  await s.close();
}

async function clientClosesFirst() {
  let closeFrame = null;
  const s = await server(async (socket, next) => {
    closeFrame = await next();
    socket.write(serverFrame(8, closeFrame.payload));
    socket.end();
  });
  const client = await WebSocketClient.connect(s.url);
  await deadline(client.close(1000), 20000, 'end of the closing handshake');
  check(closeFrame && closeFrame.opcode === 8 && closeFrame.payload.readUInt16BE(0) === 1000,
    'the client\'s close frame did not carry 1000');
  let refused = '';
  try {
    client.send('after the close');
  } catch (error) {
    refused = error.message;
  }
  check(refused === 'the WebSocket is closed', `a message sent after the close: "${refused}"`);
  await s.close();
}

async function refusedHandshakes() {
  for (const [what, options, words] of [['a 404', { accept: false }, 'HTTP 404'],
    ['a wrong Sec-WebSocket-Accept', { wrongKey: true }, 'wrong Sec-WebSocket-Accept']]) {
    const s = await server(async () => {}, options);
    let message = '';
    try {
      await deadline(WebSocketClient.connect(s.url), 20000, `answer to ${what}`);
    } catch (error) {
      message = error.message;
    }
    check(message.includes(words), `a handshake answered with ${what}: "${message}"`);
    await s.close();
  }
}

(async () => {
  await messagesAndControlFrames();
  await clientClosesFirst();
  await refusedHandshakes();
  for (const failure of failures) console.error(`FAILED: ${failure}`);
  if (!failures.length) console.log('PASSED');
  process.exitCode = failures.length ? 1 : 0;
})().catch((error) => {
  console.error(`FAILED: ${error.stack || error}`);
  process.exitCode = 1;
});
