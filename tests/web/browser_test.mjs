// The web page in headless Chromium against the native host: pictures, archives,
// the gallery of an archive's pictures, downloads, failures and Cancel. Every
// test file is made by the project's own tools (qrv encode and qrv pack from
// generated BMPs, and qrv_test_archives' table of archives that the mount test
// shares); expected answers come from qrv convert, qrv list --json and qrv
// extract.
//
// usage: node browser_test.mjs PAGE.html NATIVE_BUILD_DIR [--speed PICTURE]
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import zlib from 'node:zlib';
import puppeteer from 'puppeteer-core';

const [pageFile, nativeDir] = process.argv.slice(2);
const speedIndex = process.argv.indexOf('--speed');
const speedPicture = speedIndex > 0 ? process.argv[speedIndex + 1] : null;
if (!pageFile || !nativeDir) {
  console.error('usage: node browser_test.mjs PAGE.html NATIVE_BUILD_DIR [--speed PICTURE]');
  process.exit(2);
}
const qrvPath = path.resolve(nativeDir, 'qrv');
const corpusDir = new URL('../corpus', import.meta.url).pathname;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'qrv-web-'));
const site = path.join(work, 'site');
fs.mkdirSync(site);
fs.copyFileSync(pageFile, path.join(site, 'index.html'));

const qrv = (...args) => execFileSync(qrvPath, args, { maxBuffer: 1 << 30, stdio: ['ignore', 'pipe', 'pipe'] });

// --- test files --------------------------------------------------------------

// A BMP of `width` x `height`: 24-bit from pixel(x, y) -> [r, g, b], or 8-bit
// grey from pixel(x, y) -> level.
function writeBmp(file, width, height, bits, pixel) {
  const stride = (width * (bits / 8) + 3) & ~3;
  const paletteSize = bits === 8 ? 1024 : 0;
  const offset = 54 + paletteSize;
  const bytes = Buffer.alloc(offset + stride * height);
  bytes.write('BM', 0, 'latin1');
  bytes.writeUInt32LE(bytes.length, 2);
  bytes.writeUInt32LE(offset, 10);
  bytes.writeUInt32LE(40, 14);
  bytes.writeInt32LE(width, 18);
  bytes.writeInt32LE(height, 22);
  bytes.writeUInt16LE(1, 26);
  bytes.writeUInt16LE(bits, 28);
  bytes.writeUInt32LE(stride * height, 34);
  if (bits === 8) {
    bytes.writeUInt32LE(256, 46);
    for (let i = 0; i < 256; ++i) bytes.writeUInt32LE(i * 0x010101, 54 + i * 4);
  }
  for (let y = 0; y < height; ++y) {
    let at = offset + (height - 1 - y) * stride;
    for (let x = 0; x < width; ++x) {
      if (bits === 8) {
        bytes[at++] = pixel(x, y);
      } else {
        const [r, g, b] = pixel(x, y);
        bytes[at++] = b;
        bytes[at++] = g;
        bytes[at++] = r;
      }
    }
  }
  fs.writeFileSync(file, bytes);
}

// Gradients with seeded noise: runs of every length and sign.
function noisy(seed) {
  let state = seed >>> 0;
  return () => {
    state = (Math.imul(state, 1664525) + 1013904223) >>> 0;
    return state >>> 24;
  };
}

function makeFiles() {
  const at = (name) => path.join(site, name);
  const n1 = noisy(1), n2 = noisy(2), n3 = noisy(3);
  writeBmp(at('colour.bmp'), 203, 117, 24,
    (x, y) => [(x * 5 + (n1() & 7)) & 255, (y * 3) & 255, ((x ^ y) + (n1() & 3)) & 255]);
  writeBmp(at('grey.bmp'), 301, 199, 8, (x, y) => ((x + y * 2) & 255) ^ (n2() & 15));
  writeBmp(at('large.bmp'), 3000, 3000, 24, (x, y) => [x & 255, y & 255, n3()]);
  qrv('encode', at('colour.bmp'), at('colour.qcg'));
  qrv('encode', at('grey.bmp'), at('grey.qcg'));
  qrv('encode', at('large.bmp'), at('large.qcg'));
  for (const name of ['colour.bmp', 'grey.bmp', 'large.bmp']) fs.rmSync(at(name));
  qrv('convert', at('colour.qcg'), path.join(work, 'colour.bmp'));
  qrv('convert', at('grey.qcg'), path.join(work, 'grey.bmp'));

  fs.writeFileSync(path.join(work, 'notes.txt'), 'Packed for the browser tests.\n'.repeat(40));
  fs.writeFileSync(path.join(work, 'noise.bin'), Buffer.from(Array.from({ length: 5000 }, noisy(4))));
  fs.copyFileSync(at('grey.qcg'), path.join(work, 'grey_picture'));
  qrv('pack', at('bundle.dat'), path.join(work, 'notes.txt'), path.join(work, 'grey_picture'),
    path.join(work, 'noise.bin'));

  const colour = fs.readFileSync(at('colour.qcg'));
  const bundle = fs.readFileSync(at('bundle.dat'));
  fs.writeFileSync(at('cut_picture.qcg'), colour.subarray(0, colour.length >> 1));
  fs.writeFileSync(at('cut_archive.dat'), bundle.subarray(0, bundle.length - 100));
  const huge = Buffer.from(colour);
  huge.writeUInt16BE(30000, 7);  // 2.7 GB of pixels: more than a page may have
  huge.writeUInt16BE(30000, 9);
  fs.writeFileSync(at('huge.qcg'), huge);
}

// --- the server: the site's folder on 127.0.0.1, every request recorded --------

const requests = [];
const server = http.createServer((request, response) => {
  requests.push(request.url);
  if (request.url === '/stall.qcg') {  // sends a little, then nothing: for Cancel
    response.writeHead(200, { 'Content-Length': 1 << 20 });
    response.write(Buffer.alloc(1024));
    return;
  }
  const file = path.join(site, decodeURIComponent(new URL(request.url, 'http://x').pathname));
  if (!file.startsWith(site) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
    response.writeHead(404).end('not found');
    return;
  }
  response.writeHead(200, { 'Content-Type': file.endsWith('.html') ? 'text/html' : 'application/octet-stream' });
  fs.createReadStream(file).pipe(response);
});

// --- checks ------------------------------------------------------------------

let failures = 0;
function check(name, ok, detail) {
  console.log((ok ? 'ok   ' : 'FAIL ') + name + (ok || detail === undefined ? '' : ': ' + detail));
  if (!ok) failures += 1;
}

// The plug-in's bitmap as written by qrv convert to BMP, as RGBA rows from the top.
function bmpToRgba(file) {
  const bytes = fs.readFileSync(file);
  const offset = bytes.readUInt32LE(10), width = bytes.readInt32LE(18);
  const height = bytes.readInt32LE(22), bits = bytes.readUInt16LE(28);
  const stride = (width * (bits / 8) + 3) & ~3;
  const out = Buffer.alloc(width * height * 4);
  for (let y = 0; y < height; ++y) {
    let at = offset + (height - 1 - y) * stride;
    for (let x = 0; x < width; ++x) {
      const o = (y * width + x) * 4;
      if (bits === 8) {
        const colour = 54 + bytes[at++] * 4;
        out[o] = bytes[colour + 2]; out[o + 1] = bytes[colour + 1]; out[o + 2] = bytes[colour];
      } else {
        out[o] = bytes[at + 2]; out[o + 1] = bytes[at + 1]; out[o + 2] = bytes[at];
        at += 3;
      }
      out[o + 3] = 255;
    }
  }
  return { width, height, bits, rgba: out };
}

// A PNG of 8-bit RGB or RGBA as RGBA rows from the top.
function pngToRgba(bytes) {
  let at = 8, width = 0, height = 0, channels = 0;
  const data = [];
  while (at < bytes.length) {
    const length = bytes.readUInt32BE(at), type = bytes.toString('latin1', at + 4, at + 8);
    const chunk = bytes.subarray(at + 8, at + 8 + length);
    if (type === 'IHDR') {
      width = chunk.readUInt32BE(0);
      height = chunk.readUInt32BE(4);
      if (chunk[8] !== 8 || (chunk[9] !== 2 && chunk[9] !== 6) || chunk[12] !== 0) {
        throw new Error('PNG kind not handled by the test');
      }
      channels = chunk[9] === 6 ? 4 : 3;
    }
    if (type === 'IDAT') data.push(chunk);
    at += 12 + length;
  }
  const raw = zlib.inflateSync(Buffer.concat(data));
  const stride = width * channels, rows = Buffer.alloc(stride * height);
  for (let y = 0; y < height; ++y) {
    const filter = raw[y * (stride + 1)], line = raw.subarray(y * (stride + 1) + 1, (y + 1) * (stride + 1));
    for (let i = 0; i < stride; ++i) {
      const a = i >= channels ? rows[y * stride + i - channels] : 0;
      const b = y > 0 ? rows[(y - 1) * stride + i] : 0;
      const c = i >= channels && y > 0 ? rows[(y - 1) * stride + i - channels] : 0;
      const p = a + b - c, pa = Math.abs(p - a), pb = Math.abs(p - b), pc = Math.abs(p - c);
      const predictor = [0, a, b, (a + b) >> 1, pa <= pb && pa <= pc ? a : pb <= pc ? b : c][filter];
      rows[y * stride + i] = (line[i] + predictor) & 255;
    }
  }
  const out = Buffer.alloc(width * height * 4);
  for (let i = 0, j = 0; i < out.length; i += 4, j += channels) {
    out[i] = rows[j]; out[i + 1] = rows[j + 1]; out[i + 2] = rows[j + 2];
    out[i + 3] = channels === 4 ? rows[j + 3] : 255;
  }
  return { width, height, rgba: out };
}

async function settled(page, timeout = 30000) {
  await page.waitForFunction(() => ['ready', 'error'].includes(document.body.dataset.state), { timeout });
  return page.evaluate(() => ({ state: document.body.dataset.state, error: document.body.dataset.error }));
}

async function canvasFacts(page) {
  return page.evaluate(() => {
    const canvas = document.getElementById('canvas');
    const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
    let text = '';
    for (let i = 0; i < data.length; i += 0x8000) text += String.fromCharCode(...data.subarray(i, i + 0x8000));
    return { width: +canvas.dataset.width, height: +canvas.dataset.height, bits: +canvas.dataset.bits,
      decodeMs: +canvas.dataset.decodeMs, rgba: btoa(text) };
  }).then((f) => Object.assign(f, { rgba: Buffer.from(f.rgba, 'base64') }));
}

// The rows, once all are in place (a long list goes in a slice at a time).
async function rows(page) {
  await page.waitForFunction(() => !document.getElementById('entries').hasAttribute('aria-busy'));
  return page.evaluate(() => [...document.querySelectorAll('#entries tbody tr')].map((row) => ({
    name: row.dataset.name, size: +row.dataset.size, position: +row.dataset.position })));
}

async function waitForFile(folder, name, timeout = 10000) {
  const file = path.join(folder, name);
  for (const start = Date.now(); Date.now() - start < timeout;) {
    if (fs.existsSync(file)) return fs.readFileSync(file);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return null;
}

// --- the cases -----------------------------------------------------------------

// Pictures: the canvas equals qrv convert's bitmap; failures: state and message
// (the malformed-input corpus adds many more, checked against qrv's answers).
const cases = [
  { file: 'colour.qcg', picture: 'colour.bmp', bits: 24 },
  { file: 'grey.qcg', picture: 'grey.bmp', bits: 8 },
  { file: 'bundle.dat', archive: true },
  { file: 'cut_picture.qcg', error: /^cut_picture\.qcg: picture ends early$/ },
  { file: 'huge.qcg', error: /^huge\.qcg: not enough memory$/ },
  { file: 'cut_archive.dat', error: /^cut_archive\.dat: archive ends early$/ },
  { file: 'missing.qcg', error: /^missing\.qcg: cannot fetch \(HTTP 404\)$/ },
];

async function runCase(browser, base, entry) {
  const page = await browser.newPage();
  await page.goto(`${base}/index.html?src=${entry.file}`);
  const state = await settled(page);
  const name = entry.file;
  if (entry.error) {
    check(`${name}: error with a message`, state.state === 'error' && entry.error.test(state.error),
      JSON.stringify(state));
  } else if (entry.picture) {
    const facts = await canvasFacts(page);
    const expected = bmpToRgba(path.join(work, entry.picture));
    check(`${name}: ready`, state.state === 'ready', JSON.stringify(state));
    check(`${name}: size and depth`, facts && facts.width === expected.width &&
      facts.height === expected.height && facts.bits === entry.bits,
      facts && `${facts.width}x${facts.height}x${facts.bits}`);
    check(`${name}: pixels equal the plug-in's bitmap`, facts && expected.rgba.equals(facts.rgba));
    // Fitted to a window narrower than the picture, then back to 100%.
    await page.setViewport({ width: 120, height: 400 });
    const shownWidth = () => page.$eval('#canvas', (canvas) => canvas.getBoundingClientRect().width);
    await page.click('#zoom');
    const fitted = await shownWidth();
    await page.click('#zoom');
    const full = await shownWidth();
    check(`${name}: fit to window and 100%`, fitted < 120 && full === expected.width, `${fitted}, ${full}`);
    const downloads = fs.mkdtempSync(path.join(work, 'downloads-'));
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
    await page.click('#download-png');
    const png = await waitForFile(downloads, name.replace(/\.qcg$/, '.png'));
    const decoded = png && pngToRgba(png);
    check(`${name}: the PNG download holds the same pixels`, decoded !== null &&
      decoded.width === expected.width && expected.rgba.equals(decoded.rgba));
  } else if (entry.archive) {
    await checkArchive(page, name);
  }
  await page.close();
}

async function checkArchive(page, name) {
  const listed = JSON.parse(qrv('list', '--json', path.join(site, name)).toString()).entries;
  const about = await page.$eval('#about', (footer) => footer.textContent);
  check('the page names both plug-ins', about.includes('Quorvanel CG to DIB filter ver0.02') &&
    about.includes('Quorvanel Archive extract library ver0.02'), about);
  const shown = await rows(page);
  const same = (list) => JSON.stringify(list.map(({ name, size, position }) => [name, size, position]));
  check(`${name}: rows equal qrv list --json`, same(shown) === same(listed), same(shown));

  // Every entry downloads as qrv extracts it; all of them as one ZIP.
  const downloads = fs.mkdtempSync(path.join(work, 'downloads-'));
  const cdp = await page.createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads });
  for (const entry of listed) {
    await page.click(`#entries tr[data-name="${entry.name}"] button.download`);
    await settled(page);
    const got = await waitForFile(downloads, entry.name);
    const expected = qrv('extract', path.join(site, name), entry.name, '--stdout');
    check(`${name}: download of ${entry.name} equals qrv extract --stdout`, got !== null && expected.equals(got),
      got === null ? 'downloaded: ' + JSON.stringify(fs.readdirSync(downloads)) : `${got.length} bytes`);
  }
  await page.click('#download-all');
  await settled(page);
  const zipName = name.replace(/\.[^.]*$/, '') + '.zip';
  const zip = await waitForFile(downloads, zipName);
  let zipOk = zip !== null;
  for (const entry of zipOk ? listed : []) {
    const inside = execFileSync('unzip', ['-p', path.join(downloads, zipName), entry.name], { maxBuffer: 1 << 30 });
    zipOk &&= inside.equals(qrv('extract', path.join(site, name), entry.name, '--stdout'));
  }
  if (zipOk) execFileSync('unzip', ['-tq', path.join(downloads, zipName)]);
  check(`${name}: ZIP of all entries holds what qrv extracts`, zipOk);

  // Sorting by size, then filtering by name.
  await page.click('#entries th[data-key="size"] button');
  const bySize = (await rows(page)).map((row) => row.size);
  check(`${name}: sorted by size`, JSON.stringify(bySize) === JSON.stringify([...bySize].sort((a, b) => a - b)) &&
    bySize.length === listed.length, JSON.stringify(bySize));
  await page.type('#filter', 'PICT');
  const filtered = (await rows(page)).map((row) => row.name);
  check(`${name}: filter box`, JSON.stringify(filtered) === '["grey_picture"]', JSON.stringify(filtered));

  // An entry that is a picture is shown; one that is not says so.
  await page.click('#entries tr[data-name="grey_picture"]');
  const shownPicture = await settled(page);
  const facts = await canvasFacts(page);
  const expected = bmpToRgba(path.join(work, 'grey.bmp'));
  check(`${name}: the picture entry is shown`, shownPicture.state === 'ready' && facts &&
    facts.width === expected.width && facts.bits === 8 && expected.rgba.equals(facts.rgba));
  await page.$eval('#filter', (input) => { input.value = ''; input.dispatchEvent(new Event('input')); });
  await page.click('#entries tr[data-name="notes_txt"]');
  const notPicture = await settled(page);
  const message = await page.$eval('#message', (element) => element.textContent);
  const pictureHidden = await page.$eval('#picture', (element) => element.hidden);
  check(`${name}: an entry that is no picture is not shown`, notPicture.state === 'ready' &&
    pictureHidden && /not a Quorvanel CG picture/.test(message), message);
}

// Cancel during a large picture: the plug-in stops and the page says so.
async function checkCancel(browser, base) {
  const page = await browser.newPage();
  await page.goto(`${base}/index.html?src=large.qcg`);
  // Pressed from inside the page at the first progress step, before the
  // decoding can finish.
  const pressedAt = await page.evaluate(() => new Promise((resolve) => {
    const progress = document.getElementById('progress');
    const timer = setInterval(() => {
      if (progress.value <= 0) return;
      clearInterval(timer);
      document.getElementById('cancel').click();
      resolve(progress.value);
    }, 1);
  }));
  const state = await settled(page);
  check('large.qcg: Cancel stops the decoding', state.state === 'error' && state.error === 'large.qcg: interrupted',
    JSON.stringify(state) + ` (pressed at ${pressedAt}%)`);
  // The worker is free again: the next file opens.
  await dropFile(page, 'colour.qcg');
  const after = await settled(page);
  const facts = await canvasFacts(page);
  check('a dropped file opens after a Cancel', after.state === 'ready' && facts && facts.width === 203,
    JSON.stringify(after));
  await page.close();
}

// What qrv says of a file, taken from its last stderr line "qrv: PATH: message".
function qrvAnswer(...args) {
  try {
    return { ok: true, out: qrv(...args).toString() };
  } catch (error) {
    const lines = error.stderr.toString().trim().split('\n');
    const last = lines[lines.length - 1];
    const file = args.find((arg) => arg.includes('/'));
    return { ok: false, message: last.slice(last.indexOf(file) + file.length + 2) };
  }
}

// Every file of the malformed-input corpus, dropped on one page in turn: the
// page fails where qrv fails, in qrv's words (those of `qrv info` when neither
// plug-in takes the file or the listing fails, of `qrv convert` when decoding
// fails, with no pixel limit: the page answers as the plug-in does), and shows
// what qrv shows otherwise.
async function checkCorpus(browser, base, corpusDir) {
  const folder = path.join(site, 'corpus');
  fs.mkdirSync(folder);
  const files = [];
  for (const kind of ['image', 'archive']) {
    for (const name of fs.readdirSync(path.join(corpusDir, kind)).sort()) {
      fs.copyFileSync(path.join(corpusDir, kind, name), path.join(folder, name));
      files.push(name);
    }
  }
  const page = await browser.newPage();
  await page.goto(`${base}/index.html`);
  let matched = 0;
  const mismatches = [];
  for (const name of files) {
    const file = path.join(folder, name);
    await dropFile(page, 'corpus/' + name);
    const state = await settled(page);
    let expected;
    const info = qrvAnswer('info', file);
    if (!info.ok) {
      expected = { state: 'error', error: `${name}: ${info.message}` };
    } else if (info.out.includes('Quorvanel CG picture')) {
      const bmp = path.join(work, 'corpus.bmp');
      const converted = qrvAnswer('convert', '--max-pixels', '0', file, bmp);
      expected = converted.ok ? { state: 'ready', error: '', rgba: bmpToRgba(bmp).rgba }
        : { state: 'error', error: `${name}: ${converted.message}` };
    } else {
      const listed = JSON.parse(qrv('list', '--json', file).toString()).entries;
      expected = { state: 'ready', error: '', rows: listed.map((e) => [e.name, e.size, e.position]) };
    }
    let same = state.state === expected.state && state.error === expected.error;
    if (same && expected.rgba) same = expected.rgba.equals((await canvasFacts(page)).rgba);
    if (same && expected.rows) {
      const shown = (await rows(page)).map((e) => [e.name, e.size, e.position]);
      same = JSON.stringify(shown) === JSON.stringify(expected.rows);
    }
    if (same) matched += 1;
    else mismatches.push(`${name}: page ${JSON.stringify(state)}, qrv ${JSON.stringify({ ...expected, rgba: undefined })}`);
  }
  await page.close();
  check(`corpus: ${matched} of ${files.length} files answered as qrv answers`,
    files.length > 40 && matched === files.length, '\n  ' + mismatches.join('\n  '));
}

// Cancel while a ?src file is still coming.
async function checkCancelFetch(browser, base) {
  const page = await browser.newPage();
  await page.goto(`${base}/index.html?src=stall.qcg`);
  await page.waitForFunction(() => document.body.dataset.state === 'busy', { timeout: 10000 });
  await page.click('#cancel');
  const state = await settled(page);
  check('stall.qcg: Cancel stops the download', state.state === 'error' && state.error === 'stall.qcg: interrupted',
    JSON.stringify(state));
  await page.close();
}

// From file:// with the file picker (after the gallery's archives are made),
// and nothing fetched but the page.
async function checkFileUrl(browser) {
  const page = await browser.newPage();
  const fetched = [];
  page.on('request', (request) => fetched.push(request.url()));
  await page.goto('file://' + path.join(site, 'index.html'));
  const input = await page.$('#file');
  await input.uploadFile(path.join(site, 'grey.qcg'));
  const state = await settled(page);
  const facts = await canvasFacts(page);
  check('file://: a picked picture is shown', state.state === 'ready' && facts && facts.bits === 8,
    JSON.stringify(state));
  // The gallery's thumbnails are blob: images, which the page's policy must let in.
  await input.uploadFile(path.join(site, galleryArchive.file));
  await settled(page);
  await galleryLoaded(page);
  const states = (await galleryItems(page)).map((item) => item.state);
  check('file://: a picked archive shows its gallery', states.length > 0 && states.includes('ready') &&
    !states.includes('pending'), JSON.stringify(states));
  const foreign = fetched.filter((url) => !url.startsWith('file://') && !url.startsWith('blob:') &&
    !url.startsWith('data:'));
  check('file://: no other request', foreign.length === 0, JSON.stringify(foreign));
  await page.close();
}

// Drops `name` (fetched from the server) on the page, as a person would.
function dropFile(page, name) {
  return page.evaluate((file) => fetch(file).then((r) => r.arrayBuffer()).then((bytes) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([bytes], file.split('/').pop()));
    document.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }), name);
}

// GetPicture's time in the worker, one page opening the picture 11 times, in
// the benchmark's unit (10^6 decoded pixel bytes per second): median and best.
async function measureSpeed(browser, base, picture) {
  fs.copyFileSync(picture, path.join(site, 'speed.qcg'));
  const page = await browser.newPage();
  await page.goto(`${base}/index.html`);
  const times = [];
  let facts = null;
  for (let i = 0; i < 11; ++i) {
    await dropFile(page, 'speed.qcg');
    const state = await settled(page, 120000);
    if (state.state !== 'ready') throw new Error(JSON.stringify(state));
    facts = await page.$eval('#canvas', (canvas) => ({ ...canvas.dataset }));
    times.push(+facts.decodeMs);
  }
  await page.close();
  const sorted = [...times].sort((a, b) => a - b);
  const pixelBytes = facts.width * facts.height * (facts.bits / 8);
  const rate = (ms) => (pixelBytes / 1e6 / (ms / 1000)).toFixed(1);
  console.log(`GetPicture in the browser: ${path.basename(picture)} ${facts.width}x${facts.height}x${facts.bits}, ` +
    `median ${sorted[5].toFixed(1)} ms = ${rate(sorted[5])} MB/s, best ${sorted[0].toFixed(1)} ms = ` +
    `${rate(sorted[0])} MB/s; runs (ms): ${times.map((t) => t.toFixed(1)).join(' ')}`);
}

// --- the gallery ---------------------------------------------------------------

// The gallery's own archive, made by qrv pack, for what needs every entry's
// bytes (a repeated name's too): each pack is a list of [file name, made from,
// the item expected for it: its data-state, or null for an entry that is no
// picture]; the packs are joined (each one's end mark dropped but the last), so
// that an entry name may come twice. The table of archives shared with the
// mount test holds the other cases.
const longName = 'l'.repeat(230);  // more than the listing's 200 characters
const galleryArchive = { file: 'gallery.dat', packs: [[
  ['notes.txt', 'notes', null],
  ['colour.qcg', 'colour', 'ready'],
  ['cut.qcg', 'cut', 'error'],
  ['a', 'grey', 'ready'],
  [longName, 'colour', 'ready'],
  ['noise.bin', 'noise', null],
], [
  ['colour.qcg', 'grey', 'ready'],  // the same name again, another picture
  ['noise.bin', 'colour', 'ready'],  // a picture named as an earlier entry that is none
]] };

function sourceFile(source) {
  return { colour: path.join(site, 'colour.qcg'), grey: path.join(site, 'grey.qcg'),
    cut: path.join(site, 'cut_picture.qcg'), notes: path.join(work, 'notes.txt'),
    noise: path.join(work, 'noise.bin') }[source];
}

// Every entry of the gallery's own archive: as listed, with the file it was
// made from and its item.
function packArchive({ file, packs }) {
  const parts = packs.map((pack, p) => {
    const folder = fs.mkdtempSync(path.join(work, 'pack-'));
    const out = path.join(work, `${file}.${p}`);
    qrv('pack', out, ...pack.map(([name, source]) => {
      fs.copyFileSync(sourceFile(source), path.join(folder, name));
      return path.join(folder, name);
    }));
    const bytes = fs.readFileSync(out);
    return p === packs.length - 1 ? bytes : bytes.subarray(0, bytes.length - 4);
  });
  fs.writeFileSync(path.join(site, file), Buffer.concat(parts));
  const listed = JSON.parse(qrv('list', '--json', path.join(site, file)).toString()).entries;
  return packs.flat().map(([, source, state], i) => ({ ...listed[i], source: sourceFile(source), state }));
}

// What qrv convert makes of a file: its pixels, or its message.
const converted = new Map();
function convertedBy(source) {
  if (!converted.has(source)) {
    const bmp = path.join(work, `converted-${converted.size}.bmp`);
    const answer = qrvAnswer('convert', source, bmp);
    converted.set(source, answer.ok ? { rgba: bmpToRgba(bmp).rgba } : { message: answer.message });
  }
  return converted.get(source);
}

async function galleryItems(page) {
  return page.evaluate(() => [...document.querySelectorAll('#thumbs .thumb')].map((item) => ({
    name: item.dataset.name, state: item.dataset.state, error: item.dataset.error || '',
    selected: item.classList.contains('selected') })));
}

// Waits until every entry is looked at and no item in view waits for its
// thumbnail.
async function galleryLoaded(page, timeout = 30000) {
  await page.waitForFunction(() => {
    const gallery = document.getElementById('gallery'), box = document.getElementById('thumbs');
    if (gallery.dataset.total === '0' || gallery.dataset.checked !== gallery.dataset.total ||
      box.hasAttribute('aria-busy')) {
      return false;
    }
    return ![...box.querySelectorAll('.thumb[data-state="pending"]')].some((item) =>
      item.offsetTop + item.offsetHeight > box.scrollTop && item.offsetTop < box.scrollTop + box.clientHeight);
  }, { timeout, polling: 100 });
}

async function downloadsTo(page) {
  const folder = fs.mkdtempSync(path.join(work, 'downloads-'));
  const cdp = await page.createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: folder });
  return folder;
}

function zipNames(file) {
  return execFileSync('unzip', ['-Z1', file]).toString().split('\n').filter((line) => line !== '');
}

// Opens the archive at `url` and checks its list and grid against `all`: every
// entry in archive order, as listed, with `source` (a file holding its bytes)
// and `state` (its item's, or null for no item). Returns the page, still open.
async function checkGallery(browser, base, url, all) {
  const file = path.basename(url);
  const expected = all.filter((entry) => entry.state !== null);
  const page = await browser.newPage();
  await page.goto(`${base}/index.html?src=${url}`);
  await settled(page);
  await galleryLoaded(page);

  // The grid: the pictures by content, in archive order; the list: every entry.
  const items = await galleryItems(page);
  const grid = (list) => JSON.stringify(list.map(({ name, state }) => [name, state]));
  check(`${url}: the grid holds the picture entries`, grid(items) === grid(expected), grid(items));
  const same = (list) => JSON.stringify(list.map(({ name, size, position }) => [name, size, position]));
  const shown = await rows(page);
  check(`${url}: the list holds every entry as qrv list --json`, same(shown) === same(all), same(shown));
  const damaged = expected.map((entry, i) => [entry, items[i]]).filter(([entry]) => entry.state === 'error');
  if (damaged.length > 0) {
    const wrong = damaged.filter(([{ name, source }, item]) =>
      !item || item.error !== `${file}: ${name}: ${convertedBy(source).message}`);
    check(`${url}: a damaged picture's item has qrv convert's message`, wrong.length === 0,
      JSON.stringify(wrong.map(([, item]) => item)));
  }
  const galleryShown = await page.$eval('#gallery', (element) => !element.hidden);
  const zipEnabled = await page.$eval('#download-pictures', (button) => !button.disabled);
  check(`${url}: gallery and PNG download offered only with pictures`,
    galleryShown === expected.length > 0 && zipEnabled === expected.length > 0, `${galleryShown} ${zipEnabled}`);
  return page;
}

// The table of archives that qrv_test_archives writes for the mount test too,
// with the same expected answers: refused as qrv list refuses it (a picture is
// shown as one, with no entries), or listed as qrv list --json lists it, with
// a grid of the entries that archives.json names as pictures, whole or damaged.
async function checkSharedTable(browser, base) {
  const folder = path.join(site, 'table');
  execFileSync(path.resolve(nativeDir, 'qrv_test_archives'), [folder]);
  const table = JSON.parse(fs.readFileSync(path.join(folder, 'archives.json'))).archives;
  for (const row of table) {
    const archive = path.join(folder, row.file), url = `table/${row.file}`;
    if (row.pack) qrv('pack', '-q', archive, ...row.pack.map((input) => path.join(folder, input)));
    if (row.refused) {
      const page = await browser.newPage();
      await page.goto(`${base}/index.html?src=${url}`);
      const state = await settled(page);
      const entries = (await rows(page)).length;
      const want = qrvAnswer('info', archive).out?.includes('Quorvanel CG picture') ? { state: 'ready', error: '' }
        : { state: 'error', error: `${row.file}: ${row.refused}` };
      check(`${url}: refused as qrv list refuses it`, state.state === want.state && state.error === want.error &&
        entries === 0, JSON.stringify({ ...state, entries }));
      await page.close();
      continue;
    }
    const extracted = path.join(work, 'extracted', row.file);
    qrv('extract', '-q', archive, '-C', extracted);
    const listed = JSON.parse(qrv('list', '--json', archive).toString()).entries;
    const stateOf = (name) => row.pictures.includes(name) ? 'ready'
      : row.damaged_pictures.includes(name) ? 'error' : null;
    const all = listed.map((entry) => ({ ...entry, source: path.join(extracted, entry.name),
      state: stateOf(entry.name) }));
    await (await checkGallery(browser, base, url, all)).close();
  }
}

// The gallery's own archive also goes through clicks, arrow keys and ZIPs.
async function checkOwnGallery(browser, base) {
  const all = packArchive(galleryArchive);
  const expected = all.filter((entry) => entry.state !== null);
  const page = await checkGallery(browser, base, galleryArchive.file, all);
  await checkSteps(page, galleryArchive.file, expected);
  await checkPictureZip(page, galleryArchive.file, expected, all);
  await page.close();
}

// Clicking an item and the arrow keys open the pictures in the grid's order;
// the arrows stop at either end.
async function checkSteps(page, file, expected) {
  const last = expected.length - 1;
  const steps = [['click', 0], ...expected.slice(1).map((_, i) => ['ArrowRight', i + 1]), ['ArrowRight', last],
    ['ArrowLeft', last - 1], ['click', last]];
  const wrong = [];
  for (const [action, want] of steps) {
    if (action === 'click') await page.click(`#thumbs .thumb:nth-child(${want + 1})`);
    else await page.keyboard.press(action);
    const state = await settled(page);
    const selected = (await galleryItems(page)).findIndex((item) => item.selected);
    const { name, source } = expected[want];
    const answer = convertedBy(source);
    let same = selected === want;
    if (same && answer.rgba) {
      const facts = await canvasFacts(page);
      const title = await page.$eval('#picture-name', (element) => element.textContent);
      same = state.state === 'ready' && title === name && answer.rgba.equals(facts.rgba);
    } else if (same) {
      same = state.state === 'error' && state.error === `${file}: ${name}: ${answer.message}`;
    }
    if (!same) wrong.push(`${action}: item ${selected} (${JSON.stringify(state)}), not ${want}`);
  }
  check(`${file}: clicks and arrow keys step through the pictures`, wrong.length === 0, wrong.join('; '));
}

// "Download pictures as PNG (ZIP)": every picture that decodes, named after
// its entry (a repeated name with .2, counted over all entries as `qrv extract
// --manifest` counts), pixels as qrv converts them; a picture
// that cannot be decoded is named in the message. "Download all as ZIP" names
// repeated entries the same way.
async function checkPictureZip(page, file, expected, all) {
  const folder = await downloadsTo(page);
  const stem = file.replace(/\.[^.]*$/, '');
  const seen = new Map();
  const named = (name, extension) => {
    const count = (seen.get(name) || 0) + 1;
    seen.set(name, count);
    return name + (count === 1 ? '' : '.' + count) + extension;
  };
  const unzipped = (zip, name) => execFileSync('unzip', ['-p', zip, name], { maxBuffer: 1 << 30 });

  await page.click('#download-pictures');
  const state = await settled(page);
  const pngZip = path.join(folder, `${stem}-png.zip`);
  const names = (await waitForFile(folder, path.basename(pngZip))) === null ? [] : zipNames(pngZip);
  const numbered = all.map((entry) => named(entry.name, '.png'));
  const good = expected.filter((entry) => entry.state === 'ready');
  const wantNames = all.flatMap((entry, i) => entry.state === 'ready' ? [numbered[i]] : []);
  check(`${file}: ZIP of PNGs has one file per picture`, JSON.stringify(names) === JSON.stringify(wantNames),
    JSON.stringify(names));
  const unlike = names.length !== good.length ? good
    : good.filter((entry, i) => !convertedBy(entry.source).rgba.equals(pngToRgba(unzipped(pngZip, names[i])).rgba));
  check(`${file}: ZIP of PNGs holds the plug-in's pixels`, unlike.length === 0,
    unlike.map((entry) => entry.name).join(', '));
  const bad = expected.filter((entry) => entry.state === 'error');
  check(`${file}: the pictures left out are named`, bad.length === 0 ? state.state === 'ready'
    : state.state === 'error' && bad.every((entry) =>
      state.error.includes(`${entry.name}: ${convertedBy(entry.source).message}`)), JSON.stringify(state));

  seen.clear();
  await page.click('#download-all');
  await settled(page);
  const wholeZip = path.join(folder, `${stem}.zip`);
  const allNames = (await waitForFile(folder, path.basename(wholeZip))) === null ? [] : zipNames(wholeZip);
  const unequal = allNames.length !== all.length ? all : all.filter((entry, i) => allNames[i] !== named(entry.name, '') ||
    !unzipped(wholeZip, allNames[i]).equals(fs.readFileSync(entry.source)));
  check(`${file}: ZIP of all entries names repeated entries apart`, unequal.length === 0, JSON.stringify(allNames));
}

// 10,000 entries, three in four of them small pictures: the list and the
// gallery come complete, only thumbnails in view are made (also after a scroll
// to the end), and the PNG ZIP shows progress and stops at Cancel.
async function checkManyEntries(browser, base) {
  const count = 10000;
  const folder = fs.mkdtempSync(path.join(work, 'many-'));
  const n = noisy(5);
  writeBmp(path.join(work, 'small.bmp'), 24, 16, 24, () => [n(), n(), n()]);
  qrv('encode', path.join(work, 'small.bmp'), path.join(work, 'small.qcg'));
  const names = [];
  for (let i = 0; i < count; ++i) {
    names.push(`e${String(i).padStart(5, '0')}`);
    fs.linkSync(path.join(work, i % 4 === 3 ? 'notes.txt' : 'small.qcg'), path.join(folder, names[i]));
  }
  qrv('pack', path.join(site, 'many.dat'), ...names.map((name) => path.join(folder, name)));
  const pictures = names.filter((_, i) => i % 4 !== 3);

  const page = await browser.newPage();
  const started = Date.now();
  await page.goto(`${base}/index.html?src=many.dat`);
  const state = await settled(page, 60000);
  const listedAfter = Date.now() - started;
  await galleryLoaded(page, 120000);
  const loadedAfter = Date.now() - started;
  const rowCount = (await rows(page)).length;
  const items = await galleryItems(page);
  check(`many.dat: ${count} rows and ${pictures.length} gallery items`, state.state === 'ready' &&
    rowCount === count && JSON.stringify(items.map((item) => item.name)) === JSON.stringify(pictures),
    `${rowCount} rows, ${items.length} items`);
  await page.$eval('#thumbs', (box) => { box.scrollTop = box.scrollHeight; });
  await galleryLoaded(page);
  const after = await galleryItems(page);
  const ready = after.filter((item) => item.state === 'ready').length;
  check('many.dat: thumbnails only for items in view', after[after.length - 1].state === 'ready' &&
    ready > 0 && ready < 400, `${ready} ready`);
  console.log(`     many.dat: listed after ${listedAfter} ms, gallery complete after ${loadedAfter} ms`);

  const downloads = await downloadsTo(page);
  await page.click('#download-pictures');
  const pressedAt = await page.evaluate(() => new Promise((resolve) => {
    const progress = document.getElementById('progress');
    const timer = setInterval(() => {
      if (progress.value < 2) return;
      clearInterval(timer);
      document.getElementById('cancel').click();
      resolve(progress.value);
    }, 5);
  }));
  const cancelled = await settled(page, 60000);
  await new Promise((resolve) => setTimeout(resolve, 500));
  check('many.dat: the PNG ZIP shows progress and stops at Cancel', cancelled.state === 'error' &&
    cancelled.error === 'many.dat: interrupted' && fs.readdirSync(downloads).length === 0,
    JSON.stringify(cancelled) + ` (pressed at ${pressedAt}%)`);
  await page.close();
}

// --- main ----------------------------------------------------------------------

const started = Date.now();
const port = await new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server.address().port)));
const base = `http://127.0.0.1:${port}`;
const browser = await puppeteer.launch({
  executablePath: process.env.QRV_CHROMIUM || '/usr/bin/chromium',
  headless: true,
  userDataDir: path.join(work, 'profile'),
  args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--disable-component-update',
    '--disable-sync', '--no-first-run', '--disable-default-apps'],
});
try {
  if (speedPicture) {
    await measureSpeed(browser, base, speedPicture);
  } else {
    makeFiles();
    for (const entry of cases) await runCase(browser, base, entry);
    await checkCancel(browser, base);
    await checkCancelFetch(browser, base);
    await checkCorpus(browser, base, corpusDir);
    await checkSharedTable(browser, base);
    await checkOwnGallery(browser, base);
    await checkFileUrl(browser);
    await checkManyEntries(browser, base);
    const allowed = new Set(['/index.html', ...cases.map((c) => c.file), 'large.qcg', 'colour.qcg', 'stall.qcg',
      galleryArchive.file, 'many.dat']
      .map((f) => f.startsWith('/') ? f : '/' + f));
    const foreign = requests.map((url) => new URL(url, base).pathname)
      .filter((p) => !allowed.has(p) && !p.startsWith('/corpus/') && !p.startsWith('/table/'));
    check('no request but the page and the files opened', foreign.length === 0, JSON.stringify(foreign));
  }
} catch (error) {
  check('the run completed', false, error.stack);
} finally {
  await browser.close();
  server.close();
  fs.rmSync(work, { recursive: true, force: true });
}
console.log(`${failures === 0 ? 'all passed' : failures + ' failed'} in ${((Date.now() - started) / 1000).toFixed(1)} s`);
process.exit(failures === 0 ? 0 : 1);
