// A ZIP file of several entries, deflated with the browser's own
// CompressionStream('deflate-raw'); an entry that does not shrink is stored, and
// so is one given as a Blob (already compressed, such as a PNG file: it stays a
// Blob, which the browser may keep outside the script's memory).
// Names are written as UTF-8 (flag bit 11); sizes must stay below 4 GiB (no
// ZIP64: entries of a Quorvanel Archive are 32-bit sized anyway, and the total
// size and the count are checked).
const Zip = (() => {
  const crcTable = new Uint32Array(256);
  for (let n = 0; n < 256; ++n) {
    let c = n;
    for (let k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    crcTable[n] = c >>> 0;
  }
  function crc32(bytes) {
    let c = 0xffffffff;
    for (let i = 0; i < bytes.length; ++i) c = crcTable[(c ^ bytes[i]) & 0xff] ^ (c >>> 8);
    return (c ^ 0xffffffff) >>> 0;
  }
  async function deflate(bytes) {
    if (typeof CompressionStream === 'undefined') return null;
    const stream = new Blob([bytes]).stream().pipeThrough(new CompressionStream('deflate-raw'));
    return new Uint8Array(await new Response(stream).arrayBuffer());
  }
  // files: [{name, data: Uint8Array or Blob}] -> Blob of type application/zip.
  async function make(files) {
    if (files.length > 0xffff) throw new Error('more than 65,535 entries');
    const encoder = new TextEncoder();
    const parts = [], central = [];
    let offset = 0;
    for (const file of files) {
      const name = encoder.encode(file.name);
      const stored = file.data instanceof Blob;
      const data = stored ? new Uint8Array(await file.data.arrayBuffer()) : file.data;
      const crc = crc32(data);
      let body = stored ? null : await deflate(data);
      let method = 8;
      if (body === null || body.length >= data.length) {
        body = data;
        method = 0;
      }
      const bodySize = body.length;
      if (stored) body = file.data;
      const local = new DataView(new ArrayBuffer(30));
      local.setUint32(0, 0x04034b50, true);
      local.setUint16(4, 20, true);
      local.setUint16(6, 0x0800, true);
      local.setUint16(8, method, true);
      local.setUint16(12, 0x21, true);  // 1980-01-01, no time of its own
      local.setUint32(14, crc, true);
      local.setUint32(18, bodySize, true);
      local.setUint32(22, data.length, true);
      local.setUint16(26, name.length, true);
      const record = new DataView(new ArrayBuffer(46));
      record.setUint32(0, 0x02014b50, true);
      record.setUint16(4, 20, true);
      record.setUint16(6, 20, true);
      for (let i = 6; i < 28; ++i) record.setUint8(i + 2, local.getUint8(i));
      record.setUint32(42, offset, true);
      parts.push(local, name, body);
      central.push(record, name);
      offset += 30 + name.length + bodySize;
      if (offset > 0xffffffff) throw new Error('the ZIP file would exceed 4 GiB');
    }
    const centralSize = central.reduce((sum, part) => sum + part.byteLength, 0);
    const end = new DataView(new ArrayBuffer(22));
    end.setUint32(0, 0x06054b50, true);
    end.setUint16(8, files.length, true);
    end.setUint16(10, files.length, true);
    end.setUint32(12, centralSize, true);
    end.setUint32(16, offset, true);
    return new Blob([...parts, ...central, end], { type: 'application/zip' });
  }
  return { make, crc32 };
})();
