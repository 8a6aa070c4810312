'use strict';
// A WebSocket client (RFC 6455) on node's own modules, as much of one as a
// browser's remote protocol needs: the opening handshake over an HTTP
// upgrade, text messages out (masked, as a client's must be, each in one
// frame) and in (in one frame or fragmented over several), pings answered
// with pongs, and the closing handshake from either side.
const crypto = require('crypto');
const http = require('http');

const handshakeGuid = '258EAFA5-E914-47DA-95CA-C5AB0DC85B11';
const opcodes = { continuation: 0, text: 1, binary: 2, close: 8, ping: 9, pong: 10 };

// One frame from the client: FIN set, the payload masked.
function clientFrame(opcode, payload) {
  let header;
  if (payload.length < 126) {
    header = Buffer.from([0x80 | opcode, 0x80 | payload.length]);
  } else if (payload.length < 65536) {
    header = Buffer.alloc(4);
    header[0] = 0x80 | opcode;
    header[1] = 0x80 | 126;
    header.writeUInt16BE(payload.length, 2);
  } else {
    header = Buffer.alloc(10);
    header[0] = 0x80 | opcode;
    header[1] = 0x80 | 127;
    header.writeBigUInt64BE(BigInt(payload.length), 2);
  }
  const mask = crypto.randomBytes(4);
  const masked = Buffer.alloc(payload.length);
  for (let i = 0; i < payload.length; i++) masked[i] = payload[i] ^ mask[i & 3];
  return Buffer.concat([header, mask, masked]);
}

// The frames held in `bytes` from `offset` on, one at a time: null while the
// next one has not wholly come.
function readFrame(bytes, offset) {
  if (bytes.length - offset < 2) return null;
  const fin = (bytes[offset] & 0x80) !== 0;
  const opcode = bytes[offset] & 0x0f;
  const masked = (bytes[offset + 1] & 0x80) !== 0;
  let length = bytes[offset + 1] & 0x7f;
  let at = offset + 2;
  if (length === 126) {
    if (bytes.length - at < 2) return null;
    length = bytes.readUInt16BE(at);
    at += 2;
  } else if (length === 127) {
    if (bytes.length - at < 8) return null;
    const long = bytes.readBigUInt64BE(at);
    if (long > BigInt(Number.MAX_SAFE_INTEGER)) throw new Error(`a WebSocket frame of ${long} bytes`);
    length = Number(long);
    at += 8;
  }
  let mask = null;
  if (masked) {
    if (bytes.length - at < 4) return null;
    mask = bytes.subarray(at, at + 4);
    at += 4;
  }
  if (bytes.length - at < length) return null;
  let payload = bytes.subarray(at, at + length);
  if (mask) {
    payload = Buffer.from(payload);
    for (let i = 0; i < payload.length; i++) payload[i] ^= mask[i & 3];
  }
  return { fin, opcode, payload, end: at + length };
}

class WebSocketClient {
  constructor(socket, head) {
    this.socket = socket;
    // Messages that came before there was anyone to take them, as those
    // sent with the handshake's answer do.
    this.handler = null;
    this.queued = [];
    this.onclose = () => {};
    this.closed = false;
    this.closeSent = false;
    this.held = Buffer.alloc(0);
    this.parts = null;  // the frames of a fragmented message so far
    this.partsOpcode = 0;
    socket.setNoDelay(true);
    socket.on('data', (chunk) => this.received(chunk));
    socket.on('error', (error) => this.ended(`the connection failed: ${error.message}`));
    socket.on('close', () => this.ended('the connection was closed'));
    if (head && head.length) this.received(head);
  }

  // Opens ws://HOST:PORT/PATH; resolves once the server has accepted.
  static connect(url) {
    const address = new URL(url);
    const key = crypto.randomBytes(16).toString('base64');
    const wanted = crypto.createHash('sha1').update(key + handshakeGuid).digest('base64');
    return new Promise((resolve, reject) => {
      const request = http.request({
        host: address.hostname,
        port: address.port,
        path: address.pathname + address.search,
        headers: {
          Connection: 'Upgrade',
          Upgrade: 'websocket',
          'Sec-WebSocket-Version': '13',
          'Sec-WebSocket-Key': key,
        },
      });
      request.on('upgrade', (response, socket, head) => {
        if (response.headers['sec-websocket-accept'] !== wanted) {
          socket.destroy();
          reject(new Error(`${url} answered the WebSocket handshake with a wrong Sec-WebSocket-Accept`));
          return;
        }
        resolve(new WebSocketClient(socket, head));
      });
      request.on('response', (response) => {
        response.resume();
        reject(new Error(`${url} refused the WebSocket handshake: HTTP ${response.statusCode}`));
      });
      request.on('error', (error) => reject(new Error(`${url}: ${error.message}`)));
      request.end();
    });
  }

  set onmessage(handler) {
    this.handler = handler;
    for (const text of this.queued.splice(0)) handler(text);
  }

  send(text) {
    if (this.closed || this.closeSent) throw new Error('the WebSocket is closed');
    this.socket.write(clientFrame(opcodes.text, Buffer.from(text, 'utf8')));
  }

  // The closing handshake; resolves once the server has closed too.
  close(code = 1000) {
    if (this.closed) return Promise.resolve();
    const done = new Promise((resolve) => {
      const before = this.onclose;
      this.onclose = (why) => {
        before(why);
        resolve();
      };
    });
    if (!this.closeSent) {
      const payload = Buffer.alloc(2);
      payload.writeUInt16BE(code, 0);
      this.closeSent = true;
      this.socket.write(clientFrame(opcodes.close, payload));
    }
    return done;
  }

  received(chunk) {
    this.held = this.held.length ? Buffer.concat([this.held, chunk]) : chunk;
    let offset = 0;
    let frame;
    try {
      while ((frame = readFrame(this.held, offset))) {
        offset = frame.end;
        this.frame(frame);
      }
    } catch (error) {
      this.socket.destroy();
      this.ended(error.message);
      return;
    }
    this.held = this.held.subarray(offset);
  }

  frame({ fin, opcode, payload }) {
    if (opcode === opcodes.ping) {
      if (!this.closeSent) this.socket.write(clientFrame(opcodes.pong, payload));
    } else if (opcode === opcodes.pong) {
      // Nothing was asked.
    } else if (opcode === opcodes.close) {
      if (!this.closeSent) {
        this.closeSent = true;
        this.socket.write(clientFrame(opcodes.close, payload.subarray(0, 2)));
      }
      this.socket.end();
    } else if (opcode === opcodes.continuation) {
      if (!this.parts) throw new Error('a WebSocket continuation frame without a message begun');
      this.parts.push(Buffer.from(payload));
      if (fin) this.message(this.partsOpcode, Buffer.concat(this.parts));
    } else if (opcode === opcodes.text || opcode === opcodes.binary) {
      if (this.parts) throw new Error('a WebSocket message begun inside another');
      if (fin) {
        this.message(opcode, payload);
      } else {
        this.parts = [Buffer.from(payload)];
        this.partsOpcode = opcode;
      }
    } else {
      throw new Error(`a WebSocket frame of the unknown opcode ${opcode}`);
    }
  }

  message(opcode, payload) {
    this.parts = null;
    if (opcode !== opcodes.text) return;
    const text = payload.toString('utf8');
    if (this.handler) this.handler(text);
    else this.queued.push(text);
  }

  ended(why) {
    if (this.closed) return;
    this.closed = true;
    this.onclose(why);
  }
}

module.exports = { WebSocketClient, clientFrame, readFrame };
