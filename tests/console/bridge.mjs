// The real bridge binary against the simulator, as the browser tests drive it:
// started and stopped by the suite, its control socket, and plain HTTP.
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { request } from 'node:http';
import { createConnection } from 'node:net';
import { tmpdir } from 'node:os';
import { join } from 'node:path';

const SANITIZER = /ERROR: AddressSanitizer|WARNING: ThreadSanitizer|ERROR: LeakSanitizer|runtime error:/;

export class Bridge {
  constructor(binary, scenario, extraArgs = []) {
    this.binary = binary;
    this.scenario = scenario;
    this.extraArgs = extraArgs;
    this.runtime = mkdtempSync(join(tmpdir(), 'orvex-console-'));
    this.control = join(this.runtime, 'sim.sock');
    this.port = 0;
    this.stdout = '';
    this.stderr = '';
    this.child = null;
  }

  // Starts on this.port (0: a free one) and waits for the listening line.
  async start() {
    this.stdout = '';
    this.stderr = '';
    const args = ['--port', String(this.port), '--simulate', this.scenario, '--sim-control', this.control, '--verbose'];
    const child = spawn(this.binary, [...args, ...this.extraArgs], {
      // Answers go to a trust file of the test's own, and no question reaches
      // the desktop of whoever runs the tests.
      env: {
        ...process.env,
        XDG_RUNTIME_DIR: this.runtime,
        XDG_CONFIG_HOME: this.runtime,
        DBUS_SESSION_BUS_ADDRESS: `unix:path=${join(this.runtime, 'no-bus')}`,
      },
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    this.child = child;
    this.exited = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    child.stdout.on('data', (d) => (this.stdout += d));
    child.stderr.on('data', (d) => (this.stderr += d));
    const deadline = Date.now() + 30000;
    while (Date.now() < deadline) {
      const m = /listening on \S+ port (\d+)/.exec(this.stderr);
      if (m) {
        this.port = Number(m[1]);
        return;
      }
      if (child.exitCode !== null) break;
      await sleep(50);
    }
    throw new Error(`the bridge did not start:\n${this.stderr}`);
  }

  // SIGTERM and a bounded wait; a sanitizer report in its output fails.
  async stop() {
    if (!this.child) return;
    const child = this.child;
    this.child = null;
    child.kill('SIGTERM');
    const timer = setTimeout(() => child.kill('SIGKILL'), 15000);
    const { code, signal } = await this.exited;
    clearTimeout(timer);
    if (SANITIZER.test(this.stderr)) throw new Error(`sanitizer report from the bridge:\n${this.stderr}`);
    if (code !== 0) throw new Error(`the bridge ended with ${code ?? signal}:\n${this.stderr}`);
  }

  async dispose() {
    try {
      await this.stop();
    } finally {
      rmSync(this.runtime, { recursive: true, force: true });
    }
  }

  received() {
    return this.stdout.split('\n').filter((line) => line.startsWith('Received message: '));
  }

  url(path = '/') {
    return `http://127.0.0.1:${this.port}${path}`;
  }

  // One request on the simulator's control socket, one reply.
  sim(requestObject) {
    return new Promise((resolve, reject) => {
      const socket = createConnection(this.control);
      let buffer = '';
      const timer = setTimeout(() => {
        socket.destroy();
        reject(new Error('no reply on the control socket'));
      }, 10000);
      socket.on('connect', () => socket.write(JSON.stringify(requestObject) + '\n'));
      socket.on('data', (d) => {
        buffer += d;
        const end = buffer.indexOf('\n');
        if (end < 0) return;
        clearTimeout(timer);
        socket.end();
        const reply = JSON.parse(buffer.slice(0, end));
        if (!reply.ok) reject(new Error(`control request refused: ${reply.error}`));
        else resolve(reply);
      });
      socket.on('error', (e) => {
        clearTimeout(timer);
        reject(e);
      });
    });
  }

  // A plain HTTP request with the Host header given (default: as a browser
  // on 127.0.0.1 sends it).
  http(path, { method = 'GET', host } = {}) {
    return new Promise((resolve, reject) => {
      const req = request(
        { host: '127.0.0.1', port: this.port, path, method, headers: { Host: host ?? `127.0.0.1:${this.port}` } },
        (res) => {
          let body = '';
          res.setEncoding('utf8');
          res.on('data', (d) => (body += d));
          res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body }));
        },
      );
      req.setTimeout(10000, () => req.destroy(new Error('HTTP request timed out')));
      req.on('error', reject);
      req.end();
    });
  }
}

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Polls fn until it returns a truthy value; throws with what after timeoutMs.
export async function eventually(fn, what, timeoutMs = 10000) {
  const deadline = Date.now() + timeoutMs;
  let last;
  while (Date.now() < deadline) {
    last = await fn();
    if (last) return last;
    await sleep(50);
  }
  throw new Error(`timed out waiting for ${what}`);
}
