// The page's worker: the host side of both plug-ins. It hands every file to the
// plug-ins' exports as a memory block, turns their result codes into messages
// and their blocks into plain arrays for the page. The two modules
// (QrvImageModule, QrvArchiveModule) are placed before this script.
'use strict';

const RC_OK = 0, RC_NOT_IMPLEMENTED = -1, RC_ABORTED = 1, RC_UNKNOWN_FORMAT = 2,
  RC_NO_MEMORY = 4, RC_MEMORY_ERROR = 5, RC_READ_ERROR = 6, RC_INTERNAL_ERROR = 8;
const INPUT_MEMORY = 1, OUTPUT_MEMORY = 0x100, HEAD_SIZE = 2048, FILE_INFO_SIZE = 428;

// A failure the page shows as it is.
class Failure extends Error {}

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
// The archive being shown, {name, address, length}: its bytes stay in the
// archive module's memory, so that each extraction reads them where they are.
let current = null;

// Progress from either plug-in: shown in whole percents; about every 30 ms the
// worker lets its event loop run, so that a Cancel can arrive, and answers
// nonzero once it has.
function onProgress(numerator, denominator) {
  const percent = denominator > 0 ? Math.floor((100 * numerator) / denominator) : 0;
  if (percent !== lastShown) {
    lastShown = percent;
    postMessage({ type: 'progress', percent });
  }
  if (cancelRequested) return 1;
  const now = performance.now();
  if (now - lastYield < 30) return 0;
  lastYield = now;
  return new Promise((resolve) => {
    const channel = new MessageChannel();
    channel.port1.onmessage = () => resolve(cancelRequested ? 1 : 0);
    channel.port2.postMessage(0);
  });
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
  if (address === 0) throw new Failure(label + ': not enough memory');
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
    if (address < 0x10000) throw new Failure(label + ': cannot lock a memory block');
    return module._IsSupported(0, address) === 1;
  });
}

// Calls an export that may suspend at its progress callback; its result code.
async function call(module, name, types, args) {
  lastYield = performance.now();
  lastShown = -1;
  return module.ccall(name, 'number', types, args, { async: true });
}

// GetPicture over `bytes`: the picture as RGBA rows from the top.
async function decodePicture(bytes, label) {
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
    if (rc !== RC_OK) throw new Failure(label + ': ' + resultMessage(rc, 'picture'));
    try {
      return Object.assign(toRgba(image.HEAPU8, infoBlock, bitsBlock), { decodeMs });
    } finally {
      image._free(infoBlock);
      image._free(bitsBlock);
    }
  } finally {
    image._free(outs);
  }
}

// The plug-in's bitmap (a 40-byte header, 256 colours for 8 bits, rows from
// the bottom padded to 4 bytes, blue first) as RGBA rows from the top.
function toRgba(heap, infoBlock, bitsBlock) {
  const view = new DataView(heap.buffer, infoBlock, 40);
  const width = view.getInt32(4, true), height = view.getInt32(8, true);
  const bits = view.getUint16(14, true);
  const stride = (width * (bits / 8) + 3) & ~3;
  const rgba = new Uint8ClampedArray(width * height * 4);
  const palette = infoBlock + 40;
  for (let y = 0; y < height; ++y) {
    let from = bitsBlock + (height - 1 - y) * stride;
    let to = y * width * 4;
    for (let x = 0; x < width; ++x, to += 4) {
      if (bits === 8) {
        const colour = palette + heap[from++] * 4;
        rgba[to] = heap[colour + 2];
        rgba[to + 1] = heap[colour + 1];
        rgba[to + 2] = heap[colour];
      } else {
        rgba[to] = heap[from + 2];
        rgba[to + 1] = heap[from + 1];
        rgba[to + 2] = heap[from];
        from += 3;
      }
      rgba[to + 3] = 255;
    }
  }
  return { width, height, bits, rgba };
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
    if (rc !== RC_OK) throw new Failure(label + ': ' + resultMessage(rc, 'listing'));
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
// `entry.position`.
async function extractEntry(entry) {
  if (current === null) throw new Failure('no archive is open');
  const { name: label, address, length } = current;
  if (entry.position >= length) {
    throw new Failure(label + ': ' + resultMessage(RC_READ_ERROR, 'extract', entry.name));
  }
  const out = archive._malloc(4);
  try {
    const rc = await call(archive, 'GetFile', ['number', 'number', 'number', 'number', 'number', 'number'],
      [address + entry.position, length - entry.position, out, INPUT_MEMORY | OUTPUT_MEMORY,
        archive._qw_progress_callback(), 0]);
    const block = new Int32Array(archive.HEAPU8.buffer)[out >> 2];
    if (rc !== RC_OK) {
      throw new Failure(label + ': ' + resultMessage(rc, 'extract', entry.name));
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

function showPicture(picture, extra) {
  postMessage(Object.assign({ type: 'picture', width: picture.width, height: picture.height,
    bits: picture.bits, rgba: picture.rgba, decodeMs: picture.decodeMs }, extra), [picture.rgba.buffer]);
}

const handlers = {
  async open({ name, bytes }) {
    bytes = new Uint8Array(bytes);
    forgetArchive();
    if (await isSupported(image, bytes, name)) {
      showPicture(await decodePicture(bytes, name), { name });
    } else if (await isSupported(archive, bytes, name)) {
      const address = archive._malloc(Math.max(bytes.length, 1));
      if (address === 0) throw new Failure(name + ': not enough memory');
      archive.HEAPU8.set(bytes, address);
      let entries;
      try {
        entries = await listArchive(address, bytes.length, name);
      } catch (error) {
        archive._free(address);
        throw error;
      }
      current = { name, address, length: bytes.length };
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
  // Entries' bytes for downloads, one after another.
  async extract({ entries, purpose }) {
    const files = [];
    for (const entry of entries) {
      files.push({ name: entry.name, data: await extractEntry(entry) });
    }
    postMessage({ type: 'extracted', purpose, files }, files.map((f) => f.data.buffer));
  },
};

let ready = start();
let queue = Promise.resolve();

onmessage = (event) => {
  const message = event.data;
  if (message.type === 'cancel') {
    cancelRequested = true;
    return;
  }
  queue = queue.then(async () => {
    cancelRequested = false;
    try {
      await ready;
      await handlers[message.type](message);
    } catch (error) {
      const text = error instanceof Failure ? error.message
        : 'the page failed: ' + (error && error.message ? error.message : String(error));
      postMessage({ type: 'error', message: text });
    }
  });
};

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

ready.then(() => postMessage({ type: 'started', plugins: [pluginName(image), pluginName(archive)] }),
  (error) => postMessage({ type: 'error', message: 'the plug-ins cannot start in this browser: ' + error }));
