// The page's worker: the host side of both plug-ins. It hands every file to the
// plug-ins' exports as a memory block, turns their result codes into messages
// and their blocks into plain arrays for the page. The two modules
// (QrvImageModule, QrvArchiveModule) and Zip are placed before this script.
//
// Work comes in two kinds. What a person asked for (open, show an entry,
// downloads) runs first, one job at a time, with progress and Cancel. Between
// such jobs the worker looks through the shown archive for pictures and makes
// the thumbnails the page asks for, in small steps, silently; a background call
// stops at its next progress step as soon as a person's job arrives, and is
// taken up again later.
'use strict';

const RC_OK = 0, RC_NOT_IMPLEMENTED = -1, RC_ABORTED = 1, RC_UNKNOWN_FORMAT = 2,
  RC_NO_MEMORY = 4, RC_MEMORY_ERROR = 5, RC_READ_ERROR = 6, RC_INTERNAL_ERROR = 8;
const INPUT_MEMORY = 1, OUTPUT_MEMORY = 0x100, HEAD_SIZE = 2048, FILE_INFO_SIZE = 428;
const THUMB_SIDE = 128;  // a thumbnail fits a square of this many pixels
// What an entry is, once looked at; one that could not be read (short of
// memory) is no picture to the gallery, but the PNG download tries it again.
const KIND_UNKNOWN = 0, KIND_PICTURE = 1, KIND_OTHER = 2, KIND_UNREAD = 3;

// A failure the page shows as it is; `rc` is the plug-in's result code.
class Failure extends Error {
  constructor(message, rc) {
    super(message);
    this.rc = rc;
  }
}

// The same words as the command-line host for each result code, worded for
// what was being done (picture, picture info, listing, extract).
function resultMessage(rc, doing, target) {
  const picture = doing === 'picture' || doing === 'pictureInfo';
  switch (rc) {
    case RC_ABORTED: return 'interrupted';
    case RC_UNKNOWN_FORMAT:
      if (doing === 'picture') return 'damaged Quorvanel CG picture data';
      if (doing === 'extract') return 'damaged entry header for ' + target;
      return picture ? 'not a Quorvanel CG picture' : 'not a Quorvanel Archive, or a damaged entry';
    case RC_READ_ERROR: return picture ? 'picture ends early' : 'archive ends early';
    case RC_NO_MEMORY: return 'not enough memory';
    case RC_MEMORY_ERROR: return 'cannot lock a memory block';
    case RC_INTERNAL_ERROR: return 'the plug-in refused the request';
    case RC_NOT_IMPLEMENTED: return 'the plug-in does not offer this operation';
    default: return 'the plug-in answered with unknown result code ' + rc;
  }
}

let image = null, archive = null;  // the two modules, once started
let cancelRequested = false;
let lastYield = 0, lastShown = -1;
// The archive being shown: {name, address, length, entries, kinds, checked,
// scanNext, generation}. Its bytes stay in the archive module's memory, so that
// each extraction reads them where they are; kinds[i] says whether entry i is a
// picture, once looked at; generation is the page's count of opened files,
// handed back with every answer about the archive.
let current = null;
// What the progress callback of the running export call does: a person's job
// shows its progress as the part [from, from + span) of the whole and stops on
// Cancel; background work shows nothing and stops when stop() says so.
let running = { background: false, from: 0, span: 1, stop: () => cancelRequested };

// Lets the worker's event loop run once, so that messages can arrive.
function yieldToEvents() {
  return new Promise((resolve) => {
    const channel = new MessageChannel();
    channel.port1.onmessage = () => resolve();
    channel.port2.postMessage(0);
  });
}

// Progress from either plug-in: shown in whole percents; about every 30 ms the
// worker lets its event loop run, so that a Cancel (or, for background work, a
// person's job) can arrive, and answers nonzero once it has.
function onProgress(numerator, denominator) {
  const job = running;
  if (!job.background) {
    const fraction = denominator > 0 ? numerator / denominator : 0;
    const percent = Math.floor(100 * (job.from + job.span * fraction));
    if (percent !== lastShown) {
      lastShown = percent;
      postMessage({ type: 'progress', percent });
    }
  }
  if (job.stop()) return 1;
  const now = performance.now();
  if (now - lastYield < 30) return 0;
  lastYield = now;
  return yieldToEvents().then(() => (job.stop() ? 1 : 0));
}

async function start() {
  // Each module fills in the object it is given: one object each.
  [image, archive] = await Promise.all([QrvImageModule({ onProgress }), QrvArchiveModule({ onProgress })]);
}

// Runs `work(address)` with `bytes` copied into the module's memory, and frees
// the copy afterwards. Addresses below 64 KiB would read as file handles to a
// detection call, so a block there is refused (the heap starts far above).
async function withCopy(module, bytes, label, work) {
  const address = module._malloc(Math.max(bytes.length, 1));
  if (address === 0) throw new Failure(label + ': not enough memory', RC_NO_MEMORY);
  try {
    module.HEAPU8.set(bytes, address);
    return await work(address);
  } finally {
    module._free(address);
  }
}

function isSupported(module, bytes, label) {
  const head = new Uint8Array(HEAD_SIZE);
  head.set(bytes.subarray(0, HEAD_SIZE));
  return withCopy(module, head, label, (address) => {
    if (address < 0x10000) throw new Failure(label + ': cannot lock a memory block', RC_MEMORY_ERROR);
    return module._IsSupported(0, address) === 1;
  });
}

// Calls an export that may suspend at its progress callback; its result code.
async function call(module, name, types, args) {
  lastYield = performance.now();
  lastShown = -1;
  return module.ccall(name, 'number', types, args, { async: true });
}

// GetPicture over `bytes`, the bitmap handed to `convert(heap, infoBlock,
// bitsBlock)` before it is freed; by default the picture as RGBA rows.
async function decodePicture(bytes, label, convert = toRgba) {
  const outs = image._malloc(8);
  let decodeMs = 0;
  try {
    const rc = await withCopy(image, bytes, label, async (address) => {
      const start = performance.now();
      const answer = await call(image, 'GetPicture', ['number', 'number', 'number', 'number', 'number', 'number', 'number'],
        [address, bytes.length, INPUT_MEMORY, outs, outs + 4, image._qw_progress_callback(), 0]);
      decodeMs = performance.now() - start;
      return answer;
    });
    const heap32 = new Int32Array(image.HEAPU8.buffer);
    const infoBlock = heap32[outs >> 2], bitsBlock = heap32[(outs >> 2) + 1];
    if (rc !== RC_OK) throw new Failure(label + ': ' + resultMessage(rc, 'picture'), rc);
    try {
      return Object.assign(convert(image.HEAPU8, infoBlock, bitsBlock), { decodeMs });
    } finally {
      image._free(infoBlock);
      image._free(bitsBlock);
    }
  } finally {
    image._free(outs);
  }
}

// The plug-in's bitmap (a 40-byte header, 256 colours for 8 bits, rows from
// the bottom padded to 4 bytes, blue first), read one row at a time from the
// top: row(y, rgba, at) writes row y as RGBA from rgba[at].
function bitmapOf(heap, infoBlock, bitsBlock) {
  const view = new DataView(heap.buffer, infoBlock, 40);
  const width = view.getInt32(4, true), height = view.getInt32(8, true);
  const bits = view.getUint16(14, true);
  const stride = (width * (bits / 8) + 3) & ~3;
  const palette = infoBlock + 40;
  function row(y, rgba, at) {
    let from = bitsBlock + (height - 1 - y) * stride;
    for (let x = 0; x < width; ++x, at += 4) {
      if (bits === 8) {
        const colour = palette + heap[from++] * 4;
        rgba[at] = heap[colour + 2];
        rgba[at + 1] = heap[colour + 1];
        rgba[at + 2] = heap[colour];
      } else {
        rgba[at] = heap[from + 2];
        rgba[at + 1] = heap[from + 1];
        rgba[at + 2] = heap[from];
        from += 3;
      }
      rgba[at + 3] = 255;
    }
  }
  return { width, height, bits, row };
}

function toRgba(heap, infoBlock, bitsBlock) {
  const { width, height, bits, row } = bitmapOf(heap, infoBlock, bitsBlock);
  const rgba = new Uint8ClampedArray(width * height * 4);
  for (let y = 0; y < height; ++y) row(y, rgba, y * width * 4);
  return { width, height, bits, rgba };
}

// The bitmap shrunk to fit THUMB_SIDE (never enlarged): each thumbnail pixel
// the mean of the picture's pixels that fall on it.
function toThumbnail(heap, infoBlock, bitsBlock) {
  const { width, height, bits, row } = bitmapOf(heap, infoBlock, bitsBlock);
  const scale = Math.min(1, THUMB_SIDE / width, THUMB_SIDE / height);
  const w = Math.max(1, Math.round(width * scale)), h = Math.max(1, Math.round(height * scale));
  const column = new Int32Array(width);
  for (let x = 0; x < width; ++x) column[x] = Math.floor((x * w) / width);
  const sums = new Float64Array(w * h * 3), counts = new Float64Array(w * h);
  const line = new Uint8ClampedArray(width * 4);
  for (let y = 0; y < height; ++y) {
    row(y, line, 0);
    const base = Math.floor((y * h) / height) * w;
    for (let x = 0; x < width; ++x) {
      const cell = base + column[x];
      sums[cell * 3] += line[x * 4];
      sums[cell * 3 + 1] += line[x * 4 + 1];
      sums[cell * 3 + 2] += line[x * 4 + 2];
      counts[cell] += 1;
    }
  }
  const rgba = new Uint8ClampedArray(w * h * 4);
  for (let cell = 0; cell < w * h; ++cell) {
    for (let c = 0; c < 3; ++c) rgba[cell * 4 + c] = Math.round(sums[cell * 3 + c] / counts[cell]);
    rgba[cell * 4 + 3] = 255;
  }
  return { width: w, height: h, bits, pictureWidth: width, pictureHeight: height, rgba };
}

// A PNG of RGBA rows, made by the browser's own encoder (the one behind the
// page's PNG download): the same pixels, losslessly.
function pngOf({ width, height, rgba }) {
  if (typeof OffscreenCanvas === 'undefined') throw new Failure('this browser cannot make PNG files in a worker');
  const canvas = new OffscreenCanvas(width, height);
  canvas.getContext('2d').putImageData(new ImageData(rgba, width, height), 0, 0);
  return canvas.convertToBlob({ type: 'image/png' });
}

function forgetArchive() {
  if (current !== null) archive._free(current.address);
  current = null;
}

// GetArchiveInfo over the archive at `address`: the entries in archive order.
async function listArchive(address, length, label) {
  const out = archive._malloc(4);
  try {
    const rc = await call(archive, 'GetArchiveInfo', ['number', 'number', 'number', 'number'],
      [address, length, INPUT_MEMORY, out]);
    const listing = new Int32Array(archive.HEAPU8.buffer)[out >> 2];
    if (rc !== RC_OK) throw new Failure(label + ': ' + resultMessage(rc, 'listing'), rc);
    try {
      return readListing(archive.HEAPU8, listing);
    } finally {
      archive._free(listing);
    }
  } finally {
    archive._free(out);
  }
}

// FileInfo records up to the all-zero one: position at 8, size at 16, the
// zero-terminated name at 224.
function readListing(heap, listing) {
  const entries = [];
  const decoder = new TextDecoder('latin1');
  for (let record = listing; ; record += FILE_INFO_SIZE) {
    if (heap.subarray(record, record + FILE_INFO_SIZE).every((b) => b === 0)) break;
    const view = new DataView(heap.buffer, record, FILE_INFO_SIZE);
    const nameBytes = heap.subarray(record + 224, record + 424);
    const end = nameBytes.indexOf(0);
    entries.push({
      name: decoder.decode(nameBytes.subarray(0, end < 0 ? 200 : end)),
      position: view.getUint32(8, true),
      size: view.getUint32(16, true),
    });
  }
  return entries;
}

// GetFile with memory output for the shown archive's entry whose header is at
// `entry.position`: its bytes.
async function extractEntry(entry) {
  if (current === null) throw new Failure('no archive is open');
  const { name: label, address, length } = current;
  if (entry.position >= length) {
    throw new Failure(label + ': ' + resultMessage(RC_READ_ERROR, 'extract', entry.name), RC_READ_ERROR);
  }
  const out = archive._malloc(4);
  try {
    const rc = await call(archive, 'GetFile', ['number', 'number', 'number', 'number', 'number', 'number'],
      [address + entry.position, length - entry.position, out, INPUT_MEMORY | OUTPUT_MEMORY,
        archive._qw_progress_callback(), 0]);
    const block = new Int32Array(archive.HEAPU8.buffer)[out >> 2];
    if (rc !== RC_OK) {
      throw new Failure(label + ': ' + resultMessage(rc, 'extract', entry.name), rc);
    }
    try {
      return archive.HEAPU8.slice(block, block + entry.size);
    } finally {
      archive._free(block);
    }
  } finally {
    archive._free(out);
  }
}

// --- the archive as pictures ----------------------------------------------------

// Whether entry `index` is a picture, by the image filter's detection on its
// first bytes (`bytes`, the entry as extracted, or null when it could not be);
// the page hears of it with the next batch of kinds.
let foundKinds = [], lastKindsPost = 0;
async function noteKind(index, bytes) {
  const picture = bytes !== null && await isSupported(image, bytes, current.name);
  if (current.kinds[index] === KIND_UNKNOWN) current.checked += 1;
  current.kinds[index] = picture ? KIND_PICTURE : bytes === null ? KIND_UNREAD : KIND_OTHER;
  if (picture) foundKinds.push(index);
  return picture;
}

function postKinds(force) {
  if (current === null || (!force && performance.now() - lastKindsPost < 250)) return;
  lastKindsPost = performance.now();
  postMessage({ type: 'kinds', generation: current.generation, pictures: foundKinds, checked: current.checked });
  foundKinds = [];
}

// Names for files taken out of an archive, in archive order: the first entry of
// a name keeps it (the one `qrv extract` writes and a lookup by name finds), a
// later one gets ".2", ".3", ... as `qrv extract --manifest` names them. Entry
// names never hold a dot, so no two of these names are alike.
function fileNames(names, extension) {
  const seen = new Map();
  return names.map((name) => {
    const count = (seen.get(name) || 0) + 1;
    seen.set(name, count);
    return (count === 1 ? name : name + '.' + count) + extension;
  });
}

async function makeZip(files) {
  try {
    return await Zip.make(files);
  } catch (error) {
    throw new Failure(current.name + ': cannot make the ZIP file (' + error.message + ')');
  }
}

// Background: looks at entries not yet looked at, for about 20 ms or until
// other work is waiting.
async function scanSome() {
  const started = performance.now();
  const { entries, kinds } = current;
  running = { background: true, stop: () => foreground.length > 0 };
  while (current.scanNext < entries.length && performance.now() - started < 20 &&
    foreground.length === 0 && wanted.size === 0) {
    const index = current.scanNext;
    if (kinds[index] === KIND_UNKNOWN) {
      let bytes = null;
      try {
        bytes = await extractEntry(entries[index]);
      } catch (error) {
        if (error.rc === RC_ABORTED) break;  // a person's job came: later
      }
      await noteKind(index, bytes);
    }
    current.scanNext += 1;
  }
  postKinds(current.scanNext === entries.length);
}

// Thumbnails the page wants, index -> generation (the page's count of opened
// files, handed back so that it can drop answers for an earlier file), oldest
// request first.
const wanted = new Map();

// Background: the oldest wanted thumbnail, as a PNG; dropped without an answer
// when the page stops wanting it meanwhile, and kept for later when a person's
// job interrupts it.
async function makeThumbnail() {
  const [index, generation] = wanted.entries().next().value;
  const entry = current.entries[index];
  if (entry === undefined) {
    wanted.delete(index);
    return;
  }
  const gone = () => wanted.get(index) !== generation;
  running = { background: true, stop: () => foreground.length > 0 || gone() };
  let answer;
  try {
    const picture = await decodePicture(await extractEntry(entry), current.name + ': ' + entry.name, toThumbnail);
    answer = { type: 'thumb', index, generation, blob: await pngOf(picture), width: picture.width,
      height: picture.height, pictureWidth: picture.pictureWidth, pictureHeight: picture.pictureHeight,
      bits: picture.bits };
  } catch (error) {
    if (error.rc === RC_ABORTED) return;
    answer = { type: 'thumb', index, generation, error: messageOf(error) };
  }
  if (gone()) return;
  wanted.delete(index);
  postMessage(answer);
}

// --- a person's jobs --------------------------------------------------------------

function showPicture(picture, extra) {
  postMessage(Object.assign({ type: 'picture', width: picture.width, height: picture.height,
    bits: picture.bits, rgba: picture.rgba, decodeMs: picture.decodeMs }, extra), [picture.rgba.buffer]);
}

// Progress of step `index` of `count` in one job: its share of the bar.
function step(index, count) {
  running = { background: false, from: index / count, span: 1 / count, stop: () => cancelRequested };
  if (cancelRequested) throw new Failure(current.name + ': interrupted', RC_ABORTED);
}

const handlers = {
  async open({ name, bytes, generation }) {
    bytes = new Uint8Array(bytes);
    forgetArchive();
    wanted.clear();
    if (await isSupported(image, bytes, name)) {
      showPicture(await decodePicture(bytes, name), { name });
    } else if (await isSupported(archive, bytes, name)) {
      const address = archive._malloc(Math.max(bytes.length, 1));
      if (address === 0) throw new Failure(name + ': not enough memory', RC_NO_MEMORY);
      archive.HEAPU8.set(bytes, address);
      let entries;
      try {
        entries = await listArchive(address, bytes.length, name);
      } catch (error) {
        archive._free(address);
        throw error;
      }
      current = { name, address, length: bytes.length, entries, kinds: new Uint8Array(entries.length),
        checked: 0, scanNext: 0, generation };
      foundKinds = [];
      postMessage({ type: 'archive', name, entries });
    } else {
      throw new Failure(name + ': neither a Quorvanel CG picture nor a Quorvanel Archive');
    }
  },
  // An entry of the shown archive: shown when it is a picture, else only
  // offered for download.
  async entry({ entry }) {
    const data = await extractEntry(entry);
    if (await isSupported(image, data, current.name)) {
      showPicture(await decodePicture(data, current.name + ': ' + entry.name),
        { name: entry.name, entry: entry.name, data });
    } else {
      postMessage({ type: 'entry', name: entry.name });
    }
  },
  // Entries' bytes for downloads, one after another: each file on its own, or
  // all of them in one ZIP file.
  async extract({ entries, purpose }) {
    const files = [];
    for (let i = 0; i < entries.length; ++i) {
      step(i, entries.length);
      files.push(await extractEntry(entries[i]));
    }
    if (purpose === 'zip') {
      const names = fileNames(entries.map((entry) => entry.name), '');
      postMessage({ type: 'zip', purpose, name: current.name,
        blob: await makeZip(files.map((data, i) => ({ name: names[i], data }))) });
    } else {
      postMessage({ type: 'extracted', files: files.map((data, i) => ({ name: entries[i].name, data })) },
        files.map((data) => data.buffer));
    }
  },
  // Every picture entry as a PNG, in one ZIP file. Entries not yet looked at
  // are looked at on the way. A picture that cannot be decoded is left out and
  // named in the answer; the ZIP holds the others.
  async pictures() {
    const { entries, kinds } = current;
    // Numbered among all entries, not just the pictures, so that a picture
    // has the name `qrv extract --manifest` gives its entry.
    const names = fileNames(entries.map((entry) => entry.name), '.png');
    const pictures = [], failed = [];
    for (let i = 0; i < entries.length; ++i) {
      step(i, entries.length);
      if (kinds[i] === KIND_OTHER) continue;
      try {
        const bytes = await extractEntry(entries[i]).catch((error) => {
          // Named by its entry, as a picture that cannot be decoded is.
          if (error.rc === undefined || error.rc === RC_ABORTED) throw error;
          throw new Failure(entries[i].name + ': ' + resultMessage(error.rc, 'extract', entries[i].name), error.rc);
        });
        if (kinds[i] !== KIND_PICTURE && !(await noteKind(i, bytes))) continue;
        const picture = await decodePicture(bytes, entries[i].name);
        pictures.push({ name: names[i], png: await pngOf(picture) });
      } catch (error) {
        if (error.rc === RC_ABORTED) throw new Failure(current.name + ': interrupted', RC_ABORTED);
        failed.push(messageOf(error));
      }
    }
    postKinds(true);
    const blob = pictures.length === 0 ? null
      : await makeZip(pictures.map((picture) => ({ name: picture.name, data: picture.png })));
    postMessage({ type: 'zip', purpose: 'pictures', name: current.name, blob, count: pictures.length, failed });
  },
};

function messageOf(error) {
  return error instanceof Failure ? error.message
    : 'the page failed: ' + (error && error.message ? error.message : String(error));
}

// --- the work loop ---------------------------------------------------------------

const foreground = [];  // a person's jobs, in the order asked
let wake = null;        // resolves the loop's wait for a message

onmessage = (event) => {
  const message = event.data;
  if (message.type === 'cancel') {
    cancelRequested = true;
  } else if (message.type === 'thumb') {
    wanted.set(message.index, message.generation);
  } else if (message.type === 'unthumb') {
    wanted.delete(message.index);
  } else {
    foreground.push(message);
  }
  if (wake !== null) wake();
};

async function runJob(message) {
  cancelRequested = false;
  running = { background: false, from: 0, span: 1, stop: () => cancelRequested };
  try {
    await handlers[message.type](message);
  } catch (error) {
    postMessage({ type: 'error', message: messageOf(error) });
  }
}

async function workLoop() {
  // Without the plug-ins every job fails with the reason they did not start.
  const startFailure = await ready.then(() => null, (error) => 'the plug-ins cannot start in this browser: ' + error);
  for (;;) {
    await yieldToEvents();
    const archiveOpen = current !== null;
    if (foreground.length > 0) {
      const message = foreground.shift();
      if (startFailure === null) await runJob(message);
      else postMessage({ type: 'error', message: startFailure });
    } else if (archiveOpen && wanted.size > 0) {
      await makeThumbnail();
    } else if (archiveOpen && current.scanNext < current.entries.length) {
      try {
        await scanSome();
      } catch (error) {
        current.scanNext = current.entries.length;
        postKinds(true);
        postMessage({ type: 'error', message: messageOf(error) });
      }
    } else {
      await new Promise((resolve) => { wake = resolve; });
      wake = null;
    }
  }
}

// The second of a plug-in's identification strings: its name and version.
function pluginName(module) {
  const buffer = module._malloc(256);
  try {
    const length = module._GetPluginInfo(1, buffer, 256);
    return new TextDecoder('latin1').decode(module.HEAPU8.subarray(buffer, buffer + Math.max(0, length)));
  } finally {
    module._free(buffer);
  }
}

const ready = start();
ready.then(() => postMessage({ type: 'started', plugins: [pluginName(image), pluginName(archive)] }),
  (error) => postMessage({ type: 'error', message: 'the plug-ins cannot start in this browser: ' + error }));
workLoop();
