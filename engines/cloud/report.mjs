#!/usr/bin/env node
// Cloud report engine: has a vision model behind any OpenAI-compatible
// chat-completions endpoint write the report for one saved capture.
//
//   node cloud/report.mjs --capture DIR --intent=TEXT --output FILE --input video
//
// The local engine (run with --stage) does the reading: key moments, a frame
// about every second, the text on screen and the manifest's timeline, all under
// a hidden staging folder in the capture. This script sends those to the model,
// checks that the answer is a Markdown report whose links stay inside the
// capture, appends the key moments and timeline with their seek links, and puts
// the report and its evidence in place. A failure leaves the capture as it was
// and ends with one line that says what to do.
//
// Configuration: $XDG_CONFIG_HOME/snagreel/cloud.json (mode 0600)
//   { "endpoint": "https://…/v1", "model": "…", "apiKey": "…",
//     "timeoutSeconds": 180, "maxImages": 64 }
// or SNAGREEL_CLOUD_ENDPOINT, SNAGREEL_CLOUD_MODEL, SNAGREEL_CLOUD_API_KEY,
// SNAGREEL_CLOUD_TIMEOUT_SECONDS, which win over the file.

import { spawn } from 'node:child_process';
import { randomUUID } from 'node:crypto';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { parseArgs } from 'node:util';

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const MAX_BODY_BYTES = 4 * 1024 * 1024;
const MAX_REPORT_BYTES = 256 * 1024;

class EngineError extends Error {}

const say = (line) => process.stdout.write(`${line}\n`);

function parseArguments(argv) {
  try {
    const { values } = parseArgs({
      args: argv,
      options: {
        capture: { type: 'string' },
        intent: { type: 'string', default: '' },
        output: { type: 'string' },
        input: { type: 'string', default: 'video' },
      },
      strict: true,
      allowPositionals: false,
    });
    if (!values.capture || !values.output) throw new Error('--capture and --output are required');
    if (values.input !== 'video') throw new Error(`unsupported --input ${values.input}`);
    return values;
  } catch (error) {
    throw new EngineError(`The report engine was started wrongly: ${error.message}.`);
  }
}

// --- Configuration ----------------------------------------------------------------

export function configPath(env = process.env) {
  const base = env.XDG_CONFIG_HOME && path.isAbsolute(env.XDG_CONFIG_HOME)
    ? env.XDG_CONFIG_HOME
    : path.join(os.homedir(), '.config');
  return path.join(base, 'snagreel', 'cloud.json');
}

function isLoopback(hostname) {
  const host = hostname.replace(/^\[|\]$/g, '').toLowerCase();
  return host === 'localhost' || host === '::1' || /^127\.\d+\.\d+\.\d+$/.test(host);
}

export function loadConfig(env = process.env) {
  const file = configPath(env);
  let stored = {};
  let stat = null;
  try {
    stat = fs.lstatSync(file);
  } catch (error) {
    if (error.code !== 'ENOENT') throw new EngineError(`${file} cannot be read (${error.code}).`);
  }
  if (stat) {
    if (!stat.isFile()) throw new EngineError(`${file} is not a plain file; replace it with one.`);
    if ((stat.mode & 0o077) !== 0) {
      throw new EngineError(`${file} holds an API key but others can read it; run: chmod 600 ${file}`);
    }
    try {
      stored = JSON.parse(fs.readFileSync(file, 'utf8'));
    } catch {
      throw new EngineError(`${file} is not valid JSON; fix it or remove it.`);
    }
    if (stored === null || typeof stored !== 'object' || Array.isArray(stored)) {
      throw new EngineError(`${file} must hold a JSON object with endpoint, model and apiKey.`);
    }
  }
  const pick = (envName, key) => (env[envName] !== undefined && env[envName] !== '' ? env[envName] : stored[key]);
  const config = {
    endpoint: pick('SNAGREEL_CLOUD_ENDPOINT', 'endpoint'),
    model: pick('SNAGREEL_CLOUD_MODEL', 'model'),
    apiKey: pick('SNAGREEL_CLOUD_API_KEY', 'apiKey'),
    timeoutSeconds: Number(pick('SNAGREEL_CLOUD_TIMEOUT_SECONDS', 'timeoutSeconds') ?? 180),
    maxImages: Number(stored.maxImages ?? 64),
    file,
  };
  if (typeof config.endpoint !== 'string' || !config.endpoint || typeof config.model !== 'string' || !config.model) {
    throw new EngineError(
      `The cloud engine is not set up: put "endpoint", "model" and "apiKey" in ${file} (chmod 600), ` +
        'or set SNAGREEL_CLOUD_ENDPOINT, SNAGREEL_CLOUD_MODEL and SNAGREEL_CLOUD_API_KEY.');
  }
  if (config.apiKey !== undefined && typeof config.apiKey !== 'string') {
    throw new EngineError(`"apiKey" in ${file} must be a string.`);
  }
  if (!(config.timeoutSeconds > 0)) config.timeoutSeconds = 180;
  if (!(config.maxImages >= 1)) config.maxImages = 64;
  let url;
  try {
    url = new URL(config.endpoint);
  } catch {
    throw new EngineError(`The model service address "${config.endpoint}" is not a URL; fix "endpoint" in ${file}.`);
  }
  if (url.username || url.password) {
    throw new EngineError(`Put the API key in "apiKey", not in the endpoint address (${file}).`);
  }
  if (url.protocol !== 'https:' && !(url.protocol === 'http:' && isLoopback(url.hostname))) {
    throw new EngineError('The model service address must start with https:// (plain http:// only to this computer); fix "endpoint".');
  }
  if (!/\/chat\/completions\/?$/.test(url.pathname)) {
    url.pathname = `${url.pathname.replace(/\/+$/, '')}/chat/completions`;
  }
  config.url = url;
  return config;
}

// --- The capture and the local engine's reading -------------------------------------

function checkOutput(capture, output) {
  if (fs.realpathSync(path.dirname(output)) !== capture) {
    throw new EngineError('The report must be written inside the capture folder.');
  }
  if (!/^[A-Za-z0-9][A-Za-z0-9._ -]*\.md$/.test(path.basename(output))) {
    throw new EngineError('The report file name is not one Snagreel can open.');
  }
  if (fs.existsSync(output)) throw new EngineError('A report with this name already exists; nothing was changed.');
}

function runLocalReading(args, output, stage, state) {
  const python = path.join(ROOT, '.venv', 'bin', 'python');
  const script = path.join(ROOT, 'scripts', 'local_report.py');
  return new Promise((resolve, reject) => {
    const child = spawn(python, [script, '--capture', args.capture, `--intent=${args.intent}`, '--output', output,
      '--stage', stage, '--every', '1', '--sample-width', '768'], { stdio: ['ignore', 'inherit', 'pipe'] });
    state.child = child;
    let errors = '';
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (chunk) => { errors += chunk; });
    child.on('error', (error) => reject(new EngineError(
      `The local reading step cannot be started (${error.code}); reinstall Snagreel's report engines.`)));
    child.on('close', (code) => {
      state.child = null;
      if (code === 0) return resolve();
      const lines = errors.split('\n').filter((l) => l.trim());
      reject(new EngineError(lines.at(-1) ?? 'The recording could not be read.'));
    });
  });
}

// --- The request ---------------------------------------------------------------------

const SYSTEM_PROMPT = `You write bug reports from short screen recordings.
Write the report in Markdown using only: "#" headings, paragraphs, "-" or "1." lists,
fenced code blocks, \`code\`, **bold**, *italic* and [label](target) links. No HTML,
no tables, no images. Start with a "# " title. Then: what the user was trying to do,
what went wrong (quote error messages exactly), steps that led there, and what to
check next. Refer to moments in the clip with links of the form [0:12.5](clip.mp4#t=12.5)
(seconds from the start of the clip). You may link the evidence pictures by the paths
given. Do not invent links to anything else. Answer with the report only.`;

function thin(list, count) {
  if (list.length <= count) return list;
  if (count <= 0) return [];
  return Array.from({ length: count }, (_, i) => list[Math.floor((i * list.length) / count)]);
}

function dataURL(file) {
  const type = file.endsWith('.png') ? 'image/png' : 'image/jpeg';
  return `data:${type};base64,${fs.readFileSync(file).toString('base64')}`;
}

export function buildRequest(config, facts, stage) {
  const lines = [];
  lines.push(`What the user was doing: ${facts.intent.trim() || '(no description given)'}`);
  lines.push(`Clip: ${facts.durationSeconds.toFixed(1)} s, ${facts.width}x${facts.height}, ${facts.frameCount} frames.`);
  lines.push('', 'Error-looking lines read on screen:');
  for (const e of facts.errors) lines.push(`- at ${e.timestampSeconds.toFixed(1)} s: ${e.line}`);
  if (facts.errors.length === 0) lines.push('- none');
  lines.push('', 'Text read on screen at each key moment:');
  for (const m of facts.moments) {
    lines.push(`Key moment ${m.id} at ${m.timestampSeconds.toFixed(1)} s (${m.reason}; picture ${m.path}):`);
    lines.push(...(m.text.length ? m.text.map((t) => `  ${t}`) : ['  (no text)']));
  }
  lines.push('', 'Timeline from the recorder (seconds from clip start):');
  for (const t of facts.timeline) lines.push(`- ${t.atSeconds.toFixed(1)} s: ${t.text}`);
  if (facts.timeline.length === 0) lines.push('- nothing recorded');

  const content = [{ type: 'text', text: lines.join('\n') }];
  const moments = thin(facts.moments, config.maxImages);
  const samples = thin(facts.samples, Math.max(0, config.maxImages - moments.length));
  for (const m of moments) {
    content.push({ type: 'text', text: `Key moment ${m.id} at ${m.timestampSeconds.toFixed(1)} s:` });
    const file = path.join(stage, 'run', m.path.split('/').slice(2).join('/'));
    content.push({ type: 'image_url', image_url: { url: dataURL(file) } });
  }
  for (const s of samples) {
    content.push({ type: 'text', text: `Frame at ${s.timestampSeconds.toFixed(1)} s:` });
    content.push({ type: 'image_url', image_url: { url: dataURL(path.join(stage, s.path)) } });
  }
  return {
    model: config.model,
    temperature: 0.2,
    max_tokens: 4096,
    messages: [{ role: 'system', content: SYSTEM_PROMPT }, { role: 'user', content }],
  };
}

function describeStatus(status, headers, config) {
  const where = config.file;
  if (status === 401 || status === 403) {
    return `The model service refused the API key (HTTP ${status}); check "apiKey" in ${where}.`;
  }
  if (status === 429) {
    const retry = Number(headers['retry-after']);
    const wait = retry > 0 ? `about ${Math.ceil(retry / 60)} minute${retry > 60 ? 's' : ''}` : 'a few minutes';
    return `The model service is limiting requests (HTTP 429); wait ${wait} and write the report again.`;
  }
  if (status === 404) return `The model service has no such endpoint or model (HTTP 404); check "endpoint" and "model" in ${where}.`;
  if (status === 413) return 'The model service refused the request as too large (HTTP 413); lower "maxImages" in ' + `${where}.`;
  if (status >= 500) return `The model service failed (HTTP ${status}); try again later.`;
  return `The model service refused the request (HTTP ${status}); check the settings in ${where}.`;
}

export function post(config, body, state) {
  const payload = Buffer.from(JSON.stringify(body));
  const client = config.url.protocol === 'https:' ? https : http;
  const headers = { 'content-type': 'application/json', 'content-length': payload.length, accept: 'application/json' };
  if (config.apiKey) headers.authorization = `Bearer ${config.apiKey}`;
  return new Promise((resolve, reject) => {
    let settled = false;
    const finish = (fn, value) => {
      if (settled) return;
      settled = true;
      clearTimeout(timer);
      fn(value);
    };
    const request = client.request(config.url, { method: 'POST', headers, agent: false }, (response) => {
      const chunks = [];
      let size = 0;
      response.on('data', (chunk) => {
        size += chunk.length;
        if (size > MAX_BODY_BYTES) {
          request.destroy();
          finish(reject, new EngineError('The model service sent an answer far too large for a report; nothing was written. Try again, or use another model.'));
          return;
        }
        chunks.push(chunk);
      });
      response.on('end', () => {
        if (response.statusCode < 200 || response.statusCode > 299) {
          finish(reject, new EngineError(describeStatus(response.statusCode, response.headers, config)));
        } else {
          finish(resolve, Buffer.concat(chunks).toString('utf8'));
        }
      });
      response.on('error', () => finish(reject, new EngineError('The model service broke off its answer; try again later.')));
    });
    const timer = setTimeout(() => {
      request.destroy();
      finish(reject, new EngineError(`The model service did not answer within ${config.timeoutSeconds} s; try again later, or raise "timeoutSeconds" in ${config.file}.`));
    }, config.timeoutSeconds * 1000);
    request.on('error', (error) => finish(reject, new EngineError(
      `The model service at ${config.url.host} cannot be reached (${error.code ?? error.message}); check the network and "endpoint" in ${config.file}.`)));
    state.request = request;
    request.end(payload);
  });
}

// --- The answer -------------------------------------------------------------------------

const NOT_MARKDOWN = "The model service's answer is not a Markdown report; nothing was written. Try again, or use another model.";

export function answerText(body) {
  let parsed;
  try {
    parsed = JSON.parse(body);
  } catch {
    throw new EngineError("The model service's answer is not a chat completion; check \"endpoint\" in the cloud settings.");
  }
  let content = parsed?.choices?.[0]?.message?.content;
  if (Array.isArray(content)) content = content.map((part) => (typeof part?.text === 'string' ? part.text : '')).join('');
  if (typeof content !== 'string') throw new EngineError(NOT_MARKDOWN);
  return content;
}

const INLINE_LINK = /(!?)\[([^\]\n]+)\]\(\s*(?:<([^>\n]+)>|([^\s)]+))(?:\s+(?:"[^"\n]*"|'[^'\n]*'))?\s*\)/g;

function allowedTarget(target, evidence) {
  if (/^https?:\/\/[^/\s@]+/i.test(target)) return true;
  if (/^clip\.mp4(#t=\d+(\.\d+)?)?$/.test(target)) return true;
  return evidence.has(target);
}

// The model's answer as a report this app can show and export: refused when it is
// not Markdown at all; links the package cannot follow become their label, and
// anything the export would take for a link or an HTML asset is broken up.
export function checkedMarkdown(answer, evidence) {
  let text = answer.replace(/\r\n?/g, '\n').trim();
  const wrapped = /^```(?:markdown|md)?\n([\s\S]*)\n```$/i.exec(text);
  if (wrapped) text = wrapped[1].trim();
  if (!text || Buffer.byteLength(text) > MAX_REPORT_BYTES) throw new EngineError(NOT_MARKDOWN);
  if (/[\u0000-\u0008\u000b\u000c\u000e-\u001f\u007f\ufffd]/.test(text)) throw new EngineError(NOT_MARKDOWN);
  if (/^</.test(text) || /<\/?(html|head|body|div|script|table|style|iframe)\b/i.test(text)) throw new EngineError(NOT_MARKDOWN);
  if (/^[{[]/.test(text)) {
    try {
      JSON.parse(text);
      throw new EngineError(NOT_MARKDOWN);
    } catch (error) {
      if (error instanceof EngineError) throw error;
    }
  }
  const kept = [];
  text = text.replace(INLINE_LINK, (source, bang, label, angled, bare) => {
    const target = angled ?? bare;
    if (bang || !allowedTarget(target, evidence)) return label;
    kept.push(`[${label}](${target})`);
    return `\u0000${kept.length - 1}\u0000`;
  });
  text = text
    .replaceAll('](', '] (')
    .replace(/<(?=(img|a|video|source)\b)/gi, '< ')
    .replace(/^(\s*\[[^\]\n]+\]):/gm, '$1 :');
  return text.replace(/\u0000(\d+)\u0000/g, (_, index) => kept[Number(index)]);
}

function section(markdown, title) {
  const parts = markdown.split(/^(?=## )/m);
  return parts.find((part) => part.startsWith(`## ${title}\n`))?.trimEnd() ?? '';
}

export function composeReport(answer, localMarkdown, facts, config, runPath) {
  const pictures = facts.moments.length + facts.samples.length;
  const lookedAt = [
    '## What was looked at',
    '',
    `This report was written by the model "${config.model}" at ${config.url.host} from up to ${Math.min(pictures, config.maxImages)} ` +
      `downscaled pictures of the clip (${facts.moments.length} key moments and about one frame per second), ` +
      'the text read on screen at the key moments, the timeline in the capture\'s manifest and your description.',
    '',
    'It did not look at: sound (never recorded), typed keys (never recorded), or network requests ' +
      '(the manifest keeps only the passive network path state). A model can be wrong; check what it says against the recording.',
    '',
    `Evidence: [key moment index](evidence/${runPath}/evidence.json)`,
  ].join('\n');
  return [answer, section(localMarkdown, 'Key moments'), section(localMarkdown, 'Timeline'), lookedAt]
    .filter(Boolean).join('\n\n') + '\n';
}

// --- Putting things in place -------------------------------------------------------------

function commit(capture, output, stage, runPath, markdown) {
  const evidence = path.join(capture, 'evidence');
  let madeEvidence = false;
  if (!fs.existsSync(evidence)) {
    fs.mkdirSync(evidence, { mode: 0o700 });
    madeEvidence = true;
  } else if (!fs.lstatSync(evidence).isDirectory()) {
    throw new EngineError("The capture's evidence folder is not a plain folder; nothing was changed.");
  }
  const target = path.join(evidence, runPath);
  const temporary = path.join(capture, `.report-${randomUUID()}.tmp`);
  try {
    if (fs.existsSync(target)) throw new EngineError('Evidence for this report already exists; nothing was changed.');
    fs.renameSync(path.join(stage, 'run'), target);
    try {
      const fd = fs.openSync(temporary, 'wx', 0o600);
      try {
        fs.writeSync(fd, markdown);
        fs.fsyncSync(fd);
      } finally {
        fs.closeSync(fd);
      }
      fs.linkSync(temporary, output);
    } catch (error) {
      fs.rmSync(target, { recursive: true, force: true });
      throw error;
    }
  } catch (error) {
    if (madeEvidence) fs.rmSync(evidence, { recursive: true, force: true });
    throw error;
  } finally {
    fs.rmSync(temporary, { force: true });
  }
}

async function main(argv, state) {
  const args = parseArguments(argv);
  const capture = fs.realpathSync(args.capture);
  if (!fs.statSync(capture).isDirectory()) throw new EngineError('The capture folder does not exist.');
  const output = path.resolve(args.output);
  checkOutput(capture, output);
  const runPath = path.basename(output, '.md').replace(/[^A-Za-z0-9._-]/g, '-').replace(/^\.+/, '') || 'report';
  const config = loadConfig();

  const stage = path.join(capture, `.engine-${randomUUID()}`);
  fs.mkdirSync(stage, { mode: 0o700 });
  state.stage = stage;
  try {
    await runLocalReading(args, output, stage, state);
    const facts = JSON.parse(fs.readFileSync(path.join(stage, 'facts.json'), 'utf8'));
    const localMarkdown = fs.readFileSync(path.join(stage, 'report.md'), 'utf8');
    say(`Asking ${config.model} for the report…`);
    const body = await post(config, buildRequest(config, facts, stage), state);
    say('Checking the answer…');
    const evidence = new Set(facts.moments.map((m) => m.path));
    evidence.add(`evidence/${runPath}/evidence.json`);
    const answer = checkedMarkdown(answerText(body), evidence);
    commit(capture, output, stage, runPath, composeReport(answer, localMarkdown, facts, config, runPath));
    say('Report written.');
  } finally {
    fs.rmSync(stage, { recursive: true, force: true });
  }
}

if (process.argv[1] && fs.realpathSync(process.argv[1]) === fileURLToPath(import.meta.url)) {
  const state = { child: null, request: null, stage: null };
  // Cancelling sends a polite terminate: stop the reading step and wait for it,
  // so nothing is still writing into the staging folder when it is removed.
  process.on('SIGTERM', () => {
    const leave = () => {
      if (state.stage) fs.rmSync(state.stage, { recursive: true, force: true });
      process.exit(143);
    };
    state.request?.destroy();
    if (state.child) {
      state.child.once('close', leave);
      state.child.kill('SIGTERM');
    } else {
      leave();
    }
  });
  main(process.argv.slice(2), state).catch((error) => {
    const message = error instanceof EngineError
      ? error.message
      : `The report could not be written: ${error.message}`;
    process.stderr.write(`${message.replace(/\s*\n\s*/g, ' ')}\n`, () => process.exit(1));
  });
}
