// The cloud engine from the build tree's workspace against fake model services on
// 127.0.0.1: what it sends, what it writes for a good answer, and that every bad
// answer ends in one line saying what to do and leaves the capture as it was.

import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

const root = process.env.SNAGREEL_ENGINES_ROOT;
const font = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf';
const reportName = 'report-cloud-2026-12-07T04-30-00Z-0A1B2C3D.md';

let work;
let capture;
let server;
let port;
let answer = (request, response) => response.end();
const requests = [];

// Every path below `folder` (Debian's node has no recursive readdir yet).
function listing(folder, prefix = '') {
  return fs.readdirSync(folder, { withFileTypes: true }).flatMap((entry) => {
    const name = prefix + entry.name;
    return entry.isDirectory() ? [name, ...listing(path.join(folder, entry.name), `${name}/`)] : [name];
  }).sort();
}

before(async () => {
  assert.ok(root, 'SNAGREEL_ENGINES_ROOT names the workspace to test');
  work = fs.mkdtempSync(path.join(os.tmpdir(), 'snagreel-cloud-'));
  capture = path.join(work, 'capture');
  fs.mkdirSync(capture);
  const made = spawnSync('ffmpeg', ['-v', 'error', '-f', 'lavfi', '-i', 'color=c=white:s=640x360:r=15:d=3', '-vf',
    `drawtext=fontfile=${font}:text='Payment declined':x=40:y=60:fontsize=32:enable='gte(t,1.5)'`,
    '-c:v', 'libx264', '-pix_fmt', 'yuv420p', path.join(capture, 'clip.mp4')]);
  assert.equal(made.status, 0, String(made.stderr));
  fs.writeFileSync(path.join(capture, 'manifest.json'), JSON.stringify({
    actualSeconds: 3, captureId: 'c', codec: 'h264', requestedSeconds: 30, gaps: [],
  }));
  server = http.createServer((request, response) => {
    const chunks = [];
    request.on('data', (chunk) => chunks.push(chunk));
    request.on('end', () => {
      requests.push({ headers: request.headers, url: request.url, body: Buffer.concat(chunks).toString() });
      answer(request, response);
    });
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  port = server.address().port;
});

after(() => {
  server.closeAllConnections();
  server.close();
  fs.rmSync(work, { recursive: true, force: true });
});

function clean() {
  fs.rmSync(path.join(capture, reportName), { force: true });
  fs.rmSync(path.join(capture, 'evidence'), { recursive: true, force: true });
}

function runEngine(env = {}) {
  clean();
  const config = path.join(work, 'config');
  return new Promise((resolve) => {
    const child = spawn('node', [path.join(root, 'cloud/report.mjs'), '--capture', capture, '--intent=Pay for the order',
      '--output', path.join(capture, reportName), '--input', 'video'], {
      cwd: root,
      env: {
        PATH: process.env.PATH, XDG_CONFIG_HOME: config, SNAGREEL_CLOUD_ENDPOINT: `http://127.0.0.1:${port}/v1`,
        SNAGREEL_CLOUD_MODEL: 'vision-1', SNAGREEL_CLOUD_API_KEY: 'secret', ...env,
      },
    });
    let out = '';
    let err = '';
    child.stdout.on('data', (chunk) => { out += chunk; });
    child.stderr.on('data', (chunk) => { err += chunk; });
    child.on('close', (code) => resolve({ code, out, err, lastLine: err.trim().split('\n').at(-1) }));
  });
}

const completion = (content) => (request, response) => {
  response.setHeader('content-type', 'application/json');
  response.end(JSON.stringify({ choices: [{ message: { role: 'assistant', content } }] }));
};

test('a good answer becomes the report, with the evidence and seek links beside it', async () => {
  answer = completion('```markdown\n# Payment declined\n\nThe card was refused at [0:01.5](clip.mp4#t=1.5). ' +
    'See [the picture](evidence/report-cloud-2026-12-07T04-30-00Z-0A1B2C3D/frames/moment-02.png), ' +
    '[a secret](file:///etc/passwd) and ![an image](evidence/x.png).\n```');
  requests.length = 0;
  const run = await runEngine();
  assert.equal(run.code, 0, run.err);
  assert.equal(requests.length, 1);
  const { headers, url, body } = requests[0];
  assert.equal(url, '/v1/chat/completions');
  assert.equal(headers.authorization, 'Bearer secret');
  const sent = JSON.parse(body);
  assert.equal(sent.model, 'vision-1');
  const parts = sent.messages.at(-1).content;
  assert.match(parts[0].text, /Pay for the order/);
  assert.match(parts[0].text, /Payment declined/, 'the text read on screen goes along');
  const images = parts.filter((p) => p.type === 'image_url').map((p) => p.image_url.url);
  assert.ok(images.some((u) => u.startsWith('data:image/png;base64,')), 'key moments');
  assert.ok(images.filter((u) => u.startsWith('data:image/jpeg;base64,')).length >= 3, 'about one frame a second');

  const report = fs.readFileSync(path.join(capture, reportName), 'utf8');
  assert.match(report, /^# Payment declined\n/);
  assert.match(report, /\[0:01\.5\]\(clip\.mp4#t=1\.5\)/);
  assert.match(report, /\[the picture\]\(evidence\/report-cloud-[^)]+moment-02\.png\)/);
  assert.match(report, /, a secret and an image\./, 'links that leave the capture become plain text');
  assert.match(report, /## Key moments/);
  const evidence = path.join(capture, 'evidence', path.basename(reportName, '.md'));
  const index = JSON.parse(fs.readFileSync(path.join(evidence, 'evidence.json'), 'utf8'));
  for (const frame of index.frames) assert.ok(fs.existsSync(path.join(evidence, frame.path)), frame.path);
  assert.deepEqual(fs.readdirSync(capture).filter((n) => n.startsWith('.')), [], 'no staging left');
});

test('refusals, failures and bad answers end with what to do and change nothing', async (t) => {
  const status = (code, headers = {}) => (request, response) => {
    response.writeHead(code, headers);
    response.end('{"error":{"message":"no"}}');
  };
  const cases = [
    ['401', status(401), {}, /refused the API key \(HTTP 401\); check "apiKey"/],
    ['429', status(429, { 'retry-after': '120' }), {}, /limiting requests \(HTTP 429\); wait about 2 minutes/],
    ['500', status(500), {}, /failed \(HTTP 500\); try again later/],
    ['time-out', () => {}, { SNAGREEL_CLOUD_TIMEOUT_SECONDS: '1' }, /did not answer within 1 s/],
    ['huge body', (request, response) => {
      response.writeHead(200, { 'content-type': 'application/json' });
      const chunk = Buffer.alloc(1 << 20, 'a');
      for (let i = 0; i < 6; i++) response.write(chunk);
      response.end();
    }, {}, /far too large/],
    ['HTML', completion('<html><body><h1>Report</h1></body></html>'), {}, /not a Markdown report/],
    ['JSON', completion('{"report": "text"}'), {}, /not a Markdown report/],
    ['not configured', status(500), { SNAGREEL_CLOUD_ENDPOINT: '', SNAGREEL_CLOUD_MODEL: '' }, /not set up: put "endpoint"/],
    ['plain http elsewhere', status(500), { SNAGREEL_CLOUD_ENDPOINT: 'http://192.0.2.1/v1' }, /must start with https:\/\//],
  ];
  clean();
  const before = listing(capture);
  for (const [name, behaviour, env, expected] of cases) {
    await t.test(name, async () => {
      answer = behaviour;
      const run = await runEngine(env);
      assert.notEqual(run.code, 0);
      assert.match(run.lastLine, expected);
      assert.equal(run.err.trim().split('\n').length, 1, run.err);
      assert.deepEqual(listing(capture), before);
    });
  }
});

test('a settings file others can read is refused; a private one is used', async () => {
  const folder = path.join(work, 'config', 'snagreel');
  fs.mkdirSync(folder, { recursive: true });
  const file = path.join(folder, 'cloud.json');
  fs.writeFileSync(file, JSON.stringify({ endpoint: `http://127.0.0.1:${port}`, model: 'from-file', apiKey: 'k2' }));
  const fromFile = { SNAGREEL_CLOUD_ENDPOINT: '', SNAGREEL_CLOUD_MODEL: '', SNAGREEL_CLOUD_API_KEY: '' };
  fs.chmodSync(file, 0o644);
  const open = await runEngine(fromFile);
  assert.notEqual(open.code, 0);
  assert.match(open.lastLine, /chmod 600/);

  fs.chmodSync(file, 0o600);
  answer = completion('# Fine\n\nAll good.');
  requests.length = 0;
  const run = await runEngine(fromFile);
  assert.equal(run.code, 0, run.err);
  assert.equal(JSON.parse(requests[0].body).model, 'from-file');
  assert.equal(requests[0].headers.authorization, 'Bearer k2');
  fs.rmSync(file);
});
